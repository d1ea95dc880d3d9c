"""Unbounded recursion through the module's methods, as a hostile host can set
it up by rebinding module globals: every call through the module's function
type counts toward the recursion limit, so it ends in RecursionError with the
interpreter's own message, as the same code in Python does, never in a crash.
Run in fresh interpreters, since a failure here is a crash."""
import sys

import pytest

from conftest import clean_exits, public_api_build

SCRIPT = r"""
import sys, traceback, types
import numpy as np
import cantorel.manage as M

def ours(e):
    return [f.name for f in traceback.extract_tb(e.__traceback__)
            if f.filename == 'cantorel/manage']

def attempt(call):
    try:
        call()
    except RecursionError as e:
        return str(e), ours(e), traceback.extract_tb(e.__traceback__)
    raise AssertionError('no RecursionError')

real_os, real_np = M.os, M.np
if ROUTE == 'expanduser':
    # VoiceVD() -> os.path.expanduser(...) is VoiceVD.__init__ -> os.path.expanduser(...) ...
    M.os = types.SimpleNamespace(path=types.SimpleNamespace(expanduser=M.VoiceVD.__init__))
    call = M.VoiceVD
    names = {'cantorel.manage.VoiceVD.__init__'}
    PYTHON_FRAMES_PER_STEP = 1  # each step is one call of the module's function

    class Twin:
        def __init__(self):
            twin_os.path.expanduser('~/.cache')
    twin_os = types.SimpleNamespace(path=types.SimpleNamespace(expanduser=Twin.__init__))
    twin_message, _, twin_entries = attempt(Twin)
    assert twin_message == 'maximum recursion depth exceeded'
    twin_depth = sum(f.name == '__init__' for f in twin_entries)
else:
    # det(frame) -> np.frombuffer(...) calls det again -> ...
    det = object.__new__(M.VoiceVD)
    M.np = types.SimpleNamespace(frombuffer=lambda b, dtype: det(b), int16=np.int16)
    call = lambda: det(b'\0\0')
    names = {'cantorel.manage.VoiceVD.__call__'}
    PYTHON_FRAMES_PER_STEP = 2  # the module's function and the lambda
    twin_message = None

first, second = attempt(call), attempt(call)
if twin_message is None:
    # which step of the chain meets the limit first names itself in the message
    assert first[0].startswith('maximum recursion depth exceeded'), first[0]
else:
    assert first[0] == twin_message, (first[0], twin_message)
    # Python's limit, not the C guard's, ends the loop unless it was raised
    # past that guard (from 3.12): then at exactly the twin's depth.
    if sys.version_info < (3, 12) or sys.getrecursionlimit() <= 1000:
        assert len(first[1]) == twin_depth, (len(first[1]), twin_depth)
assert set(first[1]) == names and len(first[1]) > 100, first[1][:5]
# every call left the count as it found it: the same depth again
assert len(first[1]) == len(second[1]), (len(first[1]), len(second[1]))
# the limit in force is the one read: a lower one stops sooner
limit = sys.getrecursionlimit()
sys.setrecursionlimit(limit // 2)
lower = attempt(call)
sys.setrecursionlimit(limit)
if sys.version_info < (3, 12) or len(first[1]) * PYTHON_FRAMES_PER_STEP > 0.9 * limit:
    assert len(lower[1]) < len(first[1]) * 0.6, (len(lower[1]), len(first[1]))
else:
    # From 3.12 the interpreter also counts each return from native code
    # into Python against a fixed limit of its own, which ended this chain
    # first; a lower Python limit stops it no later.
    assert sys.version_info >= (3, 12), (len(first[1]), limit)
    assert len(lower[1]) <= len(first[1]), (len(lower[1]), len(first[1]))
# still usable, with the globals put back
M.os, M.np = real_os, real_np
det = object.__new__(M.VoiceVD)
det.ctx = np.zeros((1, 64), np.float32)
det.state, det.sr = np.zeros((2, 1, 128), np.float32), np.array(16000)
det.sess = types.SimpleNamespace(run=lambda names, feed: (np.float32(0.5), feed['state']))
assert det(b'\0\0' * 512) == 0.5
print('depth', len(first[1]))
"""


@pytest.mark.parametrize("route", ["expanduser", "frombuffer"])
@pytest.mark.parametrize("limit, thread", [
    (None, False), (20000, True),
    pytest.param(50000, False, marks=pytest.mark.skipif(
        sys.version_info < (3, 12), reason="before 3.12 Python's own frames use the C stack "
        "and a loop of them at this limit ends the process as the module's does"))])
def test_runaway_recursion_is_a_recursion_error(route, limit, thread):
    """Also with a limit far above the default: a host that raises it must
    still get the error before the C stack ends, as long as Python would.
    From 3.12 a plain Python loop never touches the C stack, so at any limit
    the module's calls must meet the interpreter's C guard first."""
    code = f"ROUTE = {route!r}\n"
    if limit and not thread:
        code += "import sys\nsys.setrecursionlimit(%d)\n" % limit + SCRIPT
    elif limit:
        # 20000 frames of plain Python fit in the main thread's 8 MB stack;
        # a thread of 64 MB leaves room for the native frames too.
        code += ("import sys, threading\nsys.setrecursionlimit(%d)\n"
                 "threading.stack_size(64 << 20)\n" % limit)
        body = SCRIPT.replace("\n", "\n    ")
        code += ("def main():\n    " + body + "\nt = threading.Thread(target=main)\n"
                 "t.start()\nt.join()\n")
    else:
        code += SCRIPT
    [proc] = clean_exits(code, timeout=120)
    assert proc.stdout.startswith("depth "), proc.stdout + proc.stderr[-3000:]


def test_the_interpreter_fields_are_read_directly(probe):
    """On the private path, the finalizing flag, the thread state and the
    recursion limit are read at offsets confirmed at start-up where the
    version keeps them in reach (the public path reads none);
    on the interpreter the module is built for, each one it has is confirmed
    (else every call pays for the public calls). None: not read on that
    version (3.12 keeps the thread state thread-local; from 3.11 the count
    and its limit are in the thread state itself)."""
    expected = {(3, 10): (True, True, True), (3, 11): (True, True, None)}
    if public_api_build():
        assert probe.layout == (None, None, None)
    else:
        assert probe.layout == expected.get(sys.version_info[:2], (True, None, None))
