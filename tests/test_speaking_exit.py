"""Ending the interpreter while Output's workers are alive.

The workers are daemon threads that wait in a queue, in the host's model or
in the player's wait, with the GIL released. One that wakes after the
interpreter has begun finalizing is ended by pthread_exit, whose forced unwind
passes through the module's frames: it must pass quietly (no catch that
swallows it, no noexcept on its way) and must not touch reference counts on a
thread that no longer holds the GIL. Each case runs in 20 fresh interpreters."""
import pytest

from conftest import clean_exits

SCRIPT = r"""
import atexit, os, threading, time, types
import cantorel.manage as M
from exit_scenes import Guard, release_while_finalizing

MODE = {mode!r}
lock = threading.Lock()
lock.acquire()
inside = threading.Event()
daemon_ids = []

def wait_there():
    daemon_ids.append(threading.get_native_id())
    inside.set()
    if MODE.endswith("sleep"):
        time.sleep(0.05)
    else:
        lock.acquire()
    os.write(2, b"wait returned\n")

class GuardedText(str):
    pass

# Only the last piece ("Still being said.") waits.
class Model:
    def ort_predict(self, text):
        last = isinstance(text, GuardedText)
        if last and MODE.startswith("synthesis"):
            wait_there()
        return (b"\1\0" if last else b"\0\0") * 480

class Playing:
    def __init__(self, last):
        self.guard, self.last = Guard(), last
    def wait_done(self):
        if self.last and MODE.startswith("playback"):
            wait_there()

class WaveObject:
    def __init__(self, data, **kwargs):
        self.last = data[0] == 1
    def play(self):
        return Playing(self.last)

M.sa = types.SimpleNamespace(WaveObject=WaveObject)
out = M.Output(Model())
out._add_stream(["Already said. "])
out._wait_all()
if MODE != "idle":
    text = GuardedText("Still being said.")
    text.guard = Guard()
    out.output_queue.put((1, text))
    del text
    inside.wait()
    if MODE.endswith("atexit"):
        atexit.register(lock.release)
    elif MODE.endswith("finalizing"):
        release_while_finalizing(lock.release, daemon_ids[0])
print("main done\n", end="")  # one write: a worker's line may come before or after it
"""

# idle: both workers blocked on empty queues. synthesis-*/playback-*: the TTS
# worker inside the model, or the play worker inside the player's wait. The
# "finalizing" variants wake the worker deterministically after finalization
# has begun and wait until it has been ended; "atexit" races the wake-up
# against the start of finalization; "sleep" is a short blocking call that
# ends on its own, as a synthesiser's or a player's would.
MODES = ["idle", "synthesis-finalizing", "synthesis-atexit", "synthesis-sleep",
         "playback-finalizing", "playback-atexit", "playback-sleep"]
RUNS = 20


@pytest.mark.parametrize("mode", MODES)
def test_interpreter_ends_cleanly_with_workers_alive(mode):
    for proc in clean_exits(SCRIPT.format(mode=mode), RUNS,
                            also=["guard freed on the daemon thread"]):
        assert "main done\n" in proc.stdout, proc.stdout  # a worker may print around it
        assert "[TTS] Already said." in proc.stdout
        if mode.endswith("finalizing"):
            # The worker woke during finalization and was ended before running
            # any more Python code.
            assert "released while finalizing\ndaemon ended\n" in proc.stderr, proc.stderr
            assert "wait returned" not in proc.stderr
