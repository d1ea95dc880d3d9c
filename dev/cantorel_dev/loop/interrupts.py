"""How a run ends early: Ctrl-C and SIGTERM, a step's deadline, and the quiet
that follows, while the devices go away under threads still using them."""
from __future__ import annotations

import os
import signal
import sys
import threading

from .errors import LoopError


class Deadline:
    """Interrupts the main thread if a step has not ended within `seconds`, so a
    capture that never hears speech cannot hang the demo."""

    def __init__(self, seconds: float, what: str):
        self.seconds, self.what, self.expired = seconds, what, False

    def _fire(self) -> None:
        self.expired = True
        # A real signal, sent to the main thread: it wakes a blocking join or queue
        # wait there, which a merely simulated interrupt would not.
        main = threading.main_thread().ident
        if main is not None:
            signal.pthread_kill(main, signal.SIGINT)

    def __enter__(self) -> "Deadline":
        self.timer = threading.Timer(self.seconds, self._fire)
        self.timer.daemon = True
        self.timer.start()
        return self

    def __exit__(self, kind, exc, tb) -> None:
        self.timer.cancel()
        if kind is KeyboardInterrupt and self.expired:
            raise LoopError(f"{self.what} did not finish within {self.seconds:.0f} s")


_quiet = False


def quiet_workers_from_now_on() -> None:
    """After Ctrl-C the devices go away under threads that are still using them: the
    module's capture and playback workers, PortAudio's and simpleaudio's own. What
    they raise or print then is expected and not the user's business, so from here
    on only this program's own messages reach the terminal."""
    global _quiet
    if _quiet:
        return
    _quiet = True
    threading.excepthook = lambda args: None
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):
            pass
    # Python-level messages go on through a copy of the terminal's stderr; what
    # native code writes to file descriptor 2, and the workers' prints, go nowhere.
    sys.stderr = os.fdopen(os.dup(2), "w", buffering=1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    os.close(devnull)
    sys.stdout = open(os.devnull, "w")


_interrupted = threading.Event()


def _on_signal(signum, frame):
    _interrupted.set()
    # While the main thread starts a child process, the handler may run inside a
    # fork hook, where CPython drops the exception (printing "Exception ignored")
    # and the program would go on as if nothing had happened. There the
    # interrupt waits for the next checkpoint(), right after the start.
    while frame is not None:
        if frame.f_code.co_name == "_execute_child" and frame.f_globals.get("__name__") == "subprocess":
            return
        frame = frame.f_back
    raise KeyboardInterrupt


def catch_interrupts() -> None:
    """Ctrl-C and SIGTERM end the run through _on_signal (main thread only)."""
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, _on_signal)
        signal.signal(signal.SIGTERM, _on_signal)


def was_interrupted() -> bool:
    return _interrupted.is_set()


def checkpoint() -> None:
    """Raises the KeyboardInterrupt that came while a child process was starting."""
    if _interrupted.is_set():
        raise KeyboardInterrupt
