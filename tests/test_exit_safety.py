"""Ending the interpreter while a daemon thread is inside VoiceVD.__call__.

The daemon waits in the session's run with the GIL released. When it wakes
after the interpreter has started finalizing, CPython ends it with
pthread_exit, whose forced unwind passes through the module's frames: it must
pass through them quietly, and they must not touch reference counts (or run
Python code) on a thread that no longer holds the GIL."""
import pytest

from conftest import run_python

SCRIPT = r"""
import atexit, functools, os, sys, threading, time, types
import numpy as np
import cantorel.manage as manage

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

class Guard:
    # Held only by the bound run that the module keeps while calling it.
    def __del__(self, write=os.write, ident=threading.get_ident, main=threading.get_ident(),
                finalizing=sys.is_finalizing):
        if ident() != main and finalizing():
            write(2, b"guard freed on the daemon thread\n")

class Session:
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
    class Late:
        # Freed when sys.modules is emptied, after finalization has begun.
        def __del__(self, release=lock.release, sleep=time.sleep, write=os.write,
                    exists=os.path.exists, task="/proc/self/task/%d" % daemon_ids[0]):
            write(2, b"released while finalizing\n")
            release()
            for _ in range(500):
                if not exists(task):
                    write(2, b"daemon ended\n")
                    break
                sleep(0.01)
    holder = sys.modules["exit_holder"] = types.ModuleType("exit_holder")
    holder.late = Late()
    del holder
print("main done")
"""

FATAL = ["terminate called", "FATAL: exception not rethrown", "Fatal Python error",
         "Segmentation fault", "Aborted", "guard freed on the daemon thread"]


# "finalizing" wakes the daemon deterministically after finalization has begun
# (which also covers a daemon that merely sleeps in a blocking call); "atexit"
# races its wake-up against the start of finalization.
@pytest.mark.parametrize("mode, run", [(m, i) for m in ("finalizing", "atexit") for i in range(10)])
def test_interpreter_ends_cleanly_with_a_daemon_inside_call(model_home, mode, run):
    proc = run_python(SCRIPT.format(mode=mode), env={"HOME": str(model_home)}, timeout=60)
    assert (proc.returncode, proc.stdout) == (0, "main done\n"), proc.stderr
    assert not [text for text in FATAL if text in proc.stderr], proc.stderr
    if mode == "finalizing":
        # The daemon woke during finalization and was ended before resuming Python code.
        assert "released while finalizing\ndaemon ended\n" in proc.stderr
        assert "run returned" not in proc.stderr
