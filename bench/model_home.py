"""The real model in a temporary HOME, for the benchmarks that load it: the
detector always reads ~/.cache/sonvale/voicevd.pt, and a benchmark must not
touch the user's own."""
import contextlib
import os
import shutil
import sys
import tempfile
from pathlib import Path

MODEL = Path(__file__).resolve().parent.parent / "build" / "models" / "silero_vad.onnx"


@contextlib.contextmanager
def model_home():
    """Points HOME at a temporary directory holding the model for the duration."""
    if not MODEL.is_file():
        sys.exit(f"bench: no model at {MODEL}; run tools/fetch_model.py first")
    home = tempfile.mkdtemp(prefix="bench-home-")
    saved = os.environ.get("HOME")
    try:
        target = Path(home) / ".cache" / "sonvale" / "voicevd.pt"
        target.parent.mkdir(parents=True)
        shutil.copyfile(MODEL, target)
        os.environ["HOME"] = home
        yield home
    finally:
        if saved is not None:
            os.environ["HOME"] = saved
        shutil.rmtree(home, ignore_errors=True)
