"""Pieces shared by the scripts that end an interpreter while a daemon thread
waits inside the module. Those scripts run in fresh interpreters with tests/
as their working directory and import this; they must import it from the
main thread."""
import os
import sys
import threading
import time
import types


class Guard:
    """Given to the module's frames while a daemon waits there, and held by
    nothing else. Says so on stderr if it is freed on the daemon thread during
    finalization: a reference count touched by a thread that no longer holds
    the GIL."""

    # Everything it uses is bound now: module globals may be gone when it runs.
    def __del__(self, write=os.write, ident=threading.get_ident, main=threading.get_ident(),
                finalizing=sys.is_finalizing):
        if ident() != main and finalizing():
            write(2, b"guard freed on the daemon thread\n")


def release_while_finalizing(release, native_id):
    """Calls `release()` once finalization has begun (when sys.modules is
    emptied), then waits until the daemon thread `native_id` has ended. Writes
    "released while finalizing" and then "daemon ended" to stderr."""

    class Late:
        def __del__(self, release=release, sleep=time.sleep, write=os.write,
                    exists=os.path.exists, task="/proc/self/task/%d" % native_id):
            write(2, b"released while finalizing\n")
            release()
            for _ in range(500):
                if not exists(task):
                    write(2, b"daemon ended\n")
                    break
                sleep(0.01)

    holder = sys.modules["exit_holder"] = types.ModuleType("exit_holder")
    holder.late = Late()
