"""Ending the interpreter while a daemon thread is inside VoiceVD.__call__.

The daemon waits in the session's run with the GIL released. When it wakes
after the interpreter has started finalizing, CPython ends it with
pthread_exit, whose forced unwind passes through the module's frames: it must
pass through them quietly, and they must not touch reference counts (or run
Python code) on a thread that no longer holds the GIL."""
import os

import pytest

from conftest import clean_exits
from exit_scenes import SCENES

SCRIPT = r"""
import atexit, functools, os, threading
import numpy as np
import cantorel.manage as manage
from exit_scenes import Guard, release_while_finalizing

MODE = {mode!r}
detector = manage.VoiceVD()
lock = threading.Lock()
lock.acquire()
inside = threading.Event()
daemon_ids = []

def blocking_run(names, feed):
    daemon_ids.append(threading.get_native_id())
    inside.set()
    lock.acquire()
    os.write(2, b"run returned\n")
    return np.zeros(1, np.float32), feed["state"]

class Session:
    # The guard is held only by the bound run that the module keeps while calling it.
    @property
    def run(self):
        bound = functools.partial(blocking_run)
        bound.guard = Guard()
        return bound

detector.sess = Session()
threading.Thread(target=manage.VoiceVD.__call__, args=(detector, b"\0" * 1024),
                 daemon=True).start()
inside.wait()

if MODE == "atexit":
    atexit.register(lock.release)
elif MODE == "finalizing":
    release_while_finalizing(lock.release, daemon_ids[0])
print("main done")
"""


# "finalizing" wakes the daemon deterministically after finalization has begun
# (which also covers a daemon that merely sleeps in a blocking call); "atexit"
# races its wake-up against the start of finalization.
@pytest.mark.parametrize("mode", ["finalizing", "atexit"])
def test_interpreter_ends_cleanly_with_a_daemon_inside_call(model_home, mode):
    for proc in clean_exits(SCRIPT.format(mode=mode), 10, env={"HOME": str(model_home)},
                            also=["guard freed on the daemon thread"]):
        assert proc.stdout == "main done\n", proc.stderr
        if mode == "finalizing":
            # The daemon woke during finalization and was ended before resuming Python code.
            assert "released while finalizing\ndaemon ended\n" in proc.stderr
            assert "run returned" not in proc.stderr


# ------------------------------------------------------------ the exit matrix

MATRIX = r"""
import sys, time
from exit_scenes import start_scene
start_scene({scene!r})
print("main done", time.monotonic(), flush=True)
{ending}
"""
# (the statement that ends the main module, the status the process must end with)
ENDINGS = {"normal": ("", 0), "sys.exit": ("sys.exit(3)", 3),
           "uncaught exception": ("raise LookupError('ended by the host')", 1)}
EXIT_RUNS = int(os.environ.get("CANTOREL_EXIT_RUNS", "20"))
# The exit hook waits for model runs at most 2 s; what the interpreter's own
# finalization takes on a loaded machine comes on top.
LONGEST_EXIT = 15


@pytest.mark.parametrize("ending", ENDINGS)
@pytest.mark.parametrize("scene", list(SCENES))
def test_exit_matrix(model_home, scene, ending):
    """Interpreter exit while the module's threads are at each place they
    wait or work: the expected status, no abort, no message from the C++
    runtime, and no wait beyond the exit hook's."""
    statement, status = ENDINGS[ending]
    code = MATRIX.format(scene=scene, ending=statement)
    also = ["guard freed on the daemon thread", "Exception ignored"]
    for proc in clean_exits(code, EXIT_RUNS, env={"HOME": str(model_home)}, status=status,
                            also=also, workers=4):
        head, stamp = proc.stdout.rsplit(" ", 1)
        assert head.endswith("main done"), proc.stdout + proc.stderr[-3000:]
        assert proc.ended - float(stamp) < LONGEST_EXIT
        tracebacks = proc.stderr.count("Traceback")
        assert tracebacks == (ending == "uncaught exception"), proc.stderr[-3000:]
        if tracebacks:
            assert proc.stderr.rstrip().endswith("LookupError: ended by the host")
