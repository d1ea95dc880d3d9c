"""What every part of the voice loop uses: the error the user can fix, progress
lines, and the constants of the capture and playback formats."""
from __future__ import annotations

import time
from pathlib import Path

from speech_frames import ENTER, FRAME, RATE, STAY, WINDOW  # noqa: F401  (re-exported)

ROOT = Path(__file__).resolve().parent.parent.parent
SPEECH = 0.5            # a frame whose own probability is above this is speech
PLAY_RATE = 48000       # playback: what the TTS adapter returns
SLD = 1                 # Input's default: seconds of silence that end an utterance
MODEL = Path("~/.cache/sonvale/voicevd.pt")
INSTALL_MODEL = "bash tools/setup.sh (or: python tools/fetch_model.py)"
# The model hands its probability back as a (1, 1) array; float() of it warns on
# every frame with numpy 1.25 and later, and the value is right.
NDIM_WARNING = "Conversion of an array with ndim > 0"


class LoopError(Exception):
    """A problem the user can fix; the message says how. Printed as one line."""


def one_line(text: str, limit: int = 300) -> str:
    """`text` with its whitespace runs collapsed and cut to `limit` characters,
    for quoting what another program said inside a one-line message."""
    flat = " ".join(str(text).split())
    return flat if len(flat) <= limit else flat[:limit - 3] + "..."


def say(msg: str = "", end: str = "\n") -> None:
    print(msg, end=end, flush=True)


class Step:
    """Prints `what ...` before a long step and `done (1.2 s)` after it."""

    def __init__(self, what: str):
        self.what = what

    def __enter__(self) -> "Step":
        self.t0 = time.monotonic()
        say(f"{self.what} ...", end=" ")
        return self

    def __exit__(self, kind, exc, tb) -> None:
        if kind is None:
            say(f"done ({time.monotonic() - self.t0:.1f} s)")
        else:
            say("")
