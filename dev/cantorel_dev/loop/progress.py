"""Progress lines: what the loop is doing, and how long each long step took."""
from __future__ import annotations

import time


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
