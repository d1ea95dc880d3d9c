"""AudioPlayer.play_audio with a scripted `sa` module, and with the real
simpleaudio where no output device exists. Its calls, failure lines and
entries are compared with the module's Python twin in test_differential.py."""
import pytest

from conftest import clean_exits, run_python
from speaking_fakes import scripted_sa

import cantorel.manage as M



@pytest.fixture
def log(monkeypatch):
    calls = []
    monkeypatch.setattr(M, "sa", scripted_sa(calls))
    return calls


class Bytes(bytes):
    pass


@pytest.mark.parametrize("value", [bytearray(b"\0\0"), memoryview(b"\0\0"), Bytes(b"\0\0"), None,
                                   "\0\0"], ids=lambda v: type(v).__name__)
def test_only_exact_bytes_are_played(log, capsys, value):
    with pytest.raises(TypeError, match="Argument 'audio_data' has incorrect type"):
        M.AudioPlayer.play_audio(value)
    assert log == [] and capsys.readouterr().out == ""


# ------------------------------------------------------------ in a fresh interpreter

def test_the_failure_line_is_not_flushed(tmp_path):
    # With stdout a pipe, an unflushed line is written only at exit: after
    # what the script writes to the descriptor directly.
    proc = run_python("""
        import os, types
        import cantorel.manage as M
        def fail(*args, **kwargs):
            raise OSError("no device")
        M.sa = types.SimpleNamespace(WaveObject=fail)
        M.AudioPlayer.play_audio(b"\\0\\0")
        os.write(1, b"written directly\\n")
    """, env={"PYTHONUNBUFFERED": ""})  # empty: stdout is buffered as usual
    assert (proc.returncode, proc.stdout) == (0, "written directly\nno device\n"), proc.stderr


def test_without_an_output_device(tmp_path):
    """The real simpleaudio with an ALSA configuration that defines no device."""
    empty = tmp_path / "alsa.conf"
    empty.write_text("")
    [proc] = clean_exits("""
        import cantorel.manage as M
        for n in (4800, 1, 0):
            assert M.AudioPlayer.play_audio(b"\\0\\0" * n) is None
        print("carried on")
    """, env={"ALSA_CONFIG_PATH": str(empty)}, timeout=120)
    lines = proc.stdout.splitlines()
    assert lines[-1] == "carried on"
    assert all(line.startswith("Error opening PCM device.") for line in lines[:-1]), lines
