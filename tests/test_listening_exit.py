"""Ending the interpreter while listening: a capture thread inside the real
model's run, one waiting in the stream's read, and Input._recognize waiting
for it on another daemon thread. Each runs in a fresh interpreter, 20 times;
the process must end with status 0 and nothing from the C++ runtime or the
interpreter's fatal-error path on stderr.

Without the exit guard the first case aborts: a daemon thread that
finalization finds inside onnxruntime's run is ended there with pthread_exit,
and onnxruntime's noexcept frames turn the forced unwind into std::terminate."""
import pytest

from conftest import clean_exits

PRELUDE = r"""
import sys, threading, time
import cantorel.manage as M
from listening_fakes import PyAudioModule

SILENCE = bytes(1024)

class Stream:
    def __init__(self):
        self.reads = 0
        self.entered = threading.Event()

    def start_stream(self):
        pass

    def stop_stream(self):
        pass

stream_kind = {kind!r}

class Looping(Stream):
    # Hands out silence as fast as it is asked for: the capture never ends
    # and its thread spends most of its time inside the model's run.
    def read(self, num_frames, exception_on_overflow=True):
        self.reads += 1
        if self.reads >= 30:
            self.entered.set()
        return SILENCE

class Paced(Stream):
    # Real-time pace: a frame every 32 ms, waiting in a sleep like a device read.
    def read(self, num_frames, exception_on_overflow=True):
        self.reads += 1
        if self.reads >= 5:
            self.entered.set()
        time.sleep(0.032)
        return SILENCE

class Blocking(Stream):
    # Waits for a frame that never comes, waking up every half millisecond,
    # so it tries to take the GIL back while the interpreter finalizes.
    def read(self, num_frames, exception_on_overflow=True):
        self.entered.set()
        while True:
            time.sleep(0.0005)

streams = []
def make_stream():
    streams.append({{"looping": Looping, "paced": Paced, "blocking": Blocking}}[stream_kind]())
    return streams[-1]

M.pyaudio = PyAudioModule(make_stream)

def waiting_in(thread, name):
    for _ in range(5000):
        frame = sys._current_frames().get(thread.ident)
        while frame is not None:
            if frame.f_code.co_name == name:
                return True
            frame = frame.f_back
        time.sleep(0.001)
    return False
"""

CASES = {
    "capture inside the model run": ("looping", r"""
rec = M.RecVoice_T()
rec.start_recording()
detector = M.VoiceVD()
def spin():
    while True:
        detector(SILENCE)
threading.Thread(target=spin, daemon=True).start()
assert streams[0].entered.wait(60)
"""),
    "capture at real-time pace": ("paced", r"""
rec = M.RecVoice_T()
rec.start_recording()
assert streams[0].entered.wait(60)
"""),
    "capture waiting in read": ("blocking", r"""
rec = M.RecVoice_T()
rec.start_recording()
assert streams[0].entered.wait(60)
"""),
    "recognize waiting for the capture": ("blocking", r"""
class Model:
    def generate(self, samples):
        return "never"

listener = M.Input(Model())
waiter = threading.Thread(target=listener._recognize, daemon=True)
waiter.start()
assert streams[0].entered.wait(60)
# Thread.join() waits in Python until 3.12, in C below join() from 3.13
assert waiting_in(waiter, "_wait_for_tstate_lock" if sys.version_info < (3, 13) else "join")
"""),
}

ALSO = ["core dumped", "Traceback"]


@pytest.mark.parametrize("case", CASES)
def test_interpreter_exit_while_listening(model_home, case):
    kind, body = CASES[case]
    code = PRELUDE.format(kind=kind) + body + "\nprint('main done', flush=True)\n"
    for proc in clean_exits(code, 20, env={"HOME": str(model_home)}, also=ALSO):
        assert proc.stdout == "main done\n", proc.stderr[-3000:]


LATE_HANDLERS = r"""
import atexit, os, threading
# Registered before the module's own exit hook, so it runs after it.
def late():
    frame = bytes(1024)
    # The thread that runs the exit hooks still uses the detector ...
    os.write(1, b"main thread: %s\n" % (b"scored" if isinstance(detector(frame), float) else b"?"))
    # ... while another thread reaching the model run now parks there for good.
    done = threading.Event()
    def score():
        detector(frame)
        done.set()
    threading.Thread(target=score, daemon=True).start()
    os.write(1, b"other thread: %s\n" % (b"scored" if done.wait(0.5) else b"parked"))
atexit.register(late)
import cantorel.manage as M
detector = M.VoiceVD()
print("main done", flush=True)
"""


def test_after_the_exit_hook_only_the_exiting_thread_runs_the_model(model_home):
    [proc] = clean_exits(LATE_HANDLERS, env={"HOME": str(model_home)}, also=ALSO)
    assert proc.stdout == "main done\nmain thread: scored\nother thread: parked\n"
