"""Input: the recorder it builds, every line _recognize prints for each kind
of result the recognizer returns, and a capture run on the real background
recorder under a scripted PyAudio. The order of reads, a recorder that fails,
what passes through and the failure lines are differential cases
(speech_input in test_differential.py)."""
import signal
import sys
import threading
import time
import types

import numpy as np
import pytest

import cantorel.manage as M
from conftest import our_lines
from cantorel_dev import twin
from listening_fakes import Gate, Rig, frame_bytes, kept


class Stdout:
    """Records what print writes and when it flushes."""

    def __init__(self):
        self.events = []

    def write(self, text):
        self.events.append(text)
        return len(text)

    def flush(self):
        self.events.append(None)

    def lines(self):
        return "".join(e for e in self.events if e is not None)


class FakeRecorder:
    """Stands for RecVoice_T: logs the calls _recognize makes."""

    made = []

    def __init__(self, *args, **kwargs):
        FakeRecorder.made.append(self)
        self.args, self.kwargs, self.log = args, list(kwargs.items()), []
        self.audio = np.frombuffer(frame_bytes(1) * 3, np.int16)
        self.thread = types.SimpleNamespace(
            join=lambda *a, **k: self.log.append(("join", a, k)))

    def start_recording(self, *a, **k):
        self.log.append(("start_recording", a, k))

    def get_audio(self, *a, **k):
        self.log.append(("get_audio", a, k))
        return self.audio


class Model:
    def __init__(self, result=None, error=None):
        self.result, self.error, self.calls = result, error, []

    def generate(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error is not None:
            raise self.error
        return self.result


@pytest.fixture
def fake_recorder(monkeypatch):
    FakeRecorder.made = []
    monkeypatch.setattr(M, "RecVoice_T", FakeRecorder)
    return FakeRecorder


def recording_stdout(monkeypatch):
    """Installed from the test body: pytest puts its own sys.stdout back
    between the set-up and the call."""
    stdout = Stdout()
    monkeypatch.setattr(sys, "stdout", stdout)
    return stdout


# ------------------------------------------------------------------ construction

@pytest.mark.parametrize("args, kwargs, sld, max_time", [
    ((), {}, 1, 3), ((2, 4), {}, 2, 4), ((), {"max_time": 7}, 1, 7), ((5,), {}, 5, 3),
])
def test_input_builds_its_recorder_with_keywords_only(fake_recorder, args, kwargs, sld,
                                                      max_time):
    model = Model()
    inp = M.Input(model, *args, **kwargs)
    assert list(vars(inp)) == ["asr_model", "sld", "max_time", "recorder"]
    assert (inp.asr_model, inp.sld, inp.max_time) == (model, sld, max_time)
    [recorder] = fake_recorder.made
    assert inp.recorder is recorder
    assert (recorder.args, recorder.kwargs) == ((), [("sld", sld), ("max_time", max_time)])
    assert M.Input(asr_model=model).asr_model is model


@pytest.mark.parametrize("kwargs, name", [({"sld": True}, "sld"), ({"max_time": 2.5}, "max_time"),
                                          ({"sld": None}, "sld")])
def test_wrong_argument_types(fake_recorder, kwargs, name):
    with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
        M.Input("m", **kwargs)
    assert fake_recorder.made == []


def test_reset_builds_a_new_recorder_with_the_current_settings(fake_recorder):
    inp = M.Input("m")
    old = inp.recorder
    inp.sld, inp.max_time = 2, 6
    assert inp._reset() is None
    assert inp.recorder is not old and inp.recorder.kwargs == [("sld", 2), ("max_time", 6)]
    assert old.log == []  # neither stopped nor joined


# ------------------------------------------------------------------ _recognize

class Stripped(str):
    def strip(self):
        return Stripped(str.strip(self))


class Odd:
    def __init__(self, stripped):
        self.stripped = stripped

    def strip(self):
        return self.stripped


# (what generate returns, the printed text, the result)
RESULTS = {
    "text with blanks": ("  hello \n", "[ASR] hello\n", "hello"),
    "empty": ("", "[ASR] None\n", None),
    "None": (None, "[ASR] None\n", None),
    "only blanks": (" \t \n", "[ASR] \n", ""),
    "bytes": (b" hi ", "[ASR] b'hi'\nError Expected str, got bytes\n", None),
    "str subclass": (Stripped(" x "), "[ASR] x\nError Expected str, got Stripped\n", None),
    "strip gives an int": (Odd(5), "[ASR] 5\nError Expected str, got int\n", None),
    "strip gives a str": (Odd("fine"), "[ASR] fine\n", "fine"),
    "zero": (0, "[ASR] None\n", None),
    "no strip": (7, "Error 'int' object has no attribute 'strip'\n", None),
    "exception": (ValueError("model failed"), "Error model failed\n", None),
    "exception without text": (RuntimeError(), "Error \n", None),
}


@pytest.mark.parametrize("given, printed, expected", RESULTS.values(), ids=RESULTS.keys())
def test_recognize_prints_one_line_per_outcome(monkeypatch, fake_recorder, given, printed, expected):
    out = recording_stdout(monkeypatch)
    model = Model(error=given) if isinstance(given, Exception) else Model(given)
    inp = M.Input(model)
    result = inp._recognize()
    assert result == expected and type(result) is type(expected)
    assert out.lines() == printed
    # Each line is flushed at once.
    assert [e for e in out.events if e != ""][-1] is None
    assert out.events.count(None) == printed.count("\n")
    assert inp.recorder.log == [("start_recording", (), {}), ("join", (), {}),
                                ("get_audio", (), {})]
    assert len(model.calls) == 1 and model.calls[0][1] == {}
    assert model.calls[0][0][0] is inp.recorder.audio  # handed over as it is


@pytest.mark.parametrize("audio", [None, np.zeros(0, np.int16), [], ""])
def test_no_voice(monkeypatch, fake_recorder, audio):
    out = recording_stdout(monkeypatch)
    model = Model("never")
    inp = M.Input(model)
    inp.recorder.audio = audio
    assert inp._recognize() is None
    assert out.lines() == "Not valid Voice\n" and model.calls == []


# ------------------------------------------------------------------ with the real recorder

def test_recognize_with_the_background_recorder(monkeypatch):
    out = recording_stdout(monkeypatch)
    rig = Rig(M, monkeypatch, [0.0] * 5 + [0.9] * 3 + [0.0] * 40)
    model = Model(" yes ")
    inp = M.Input(model)
    assert inp._recognize() == "yes"
    [((audio,), kwargs)] = model.calls
    assert kwargs == {}
    assert audio is inp.recorder.audio_np and not audio.flags.writeable
    assert audio.dtype == np.int16 and kept(audio) == list(range(8 + 33))
    assert out.lines() == "[ASR] yes\n" and rig.stream.log[-1] == ("stop_stream",)


def test_a_failing_capture_thread_lets_recognize_return(monkeypatch):
    out = recording_stdout(monkeypatch)
    rig = Rig(M, monkeypatch, [0.0, lambda f: 1 / 0])
    reported = []
    monkeypatch.setattr(threading, "excepthook", reported.append)
    model = Model("never")
    inp = M.Input(model)
    assert inp._recognize() is None
    assert out.lines() == "Not valid Voice\n" and model.calls == []
    assert type(reported[0].exc_value) is ZeroDivisionError
    assert rig.stream.log[-1] == ("stop_stream",)


# Where Thread.join() waits: in Python until 3.12, in C below join() from 3.13.
JOIN_WAIT = "_wait_for_tstate_lock" if sys.version_info < (3, 13) else "join"


def _wait_until_joining(ident):
    for _ in range(3000):
        frame = sys._current_frames().get(ident)
        if frame is not None and frame.f_code.co_name == JOIN_WAIT:
            return True
        time.sleep(0.001)
    return False


def test_a_keyboard_interrupt_while_waiting_reaches_the_caller(monkeypatch):
    out = recording_stdout(monkeypatch)
    rig = Rig(M, monkeypatch, [0.0] * 5 + [0.9] * 3 + [0.0] * 40)
    inp = M.Input(Model("never"))
    hold = rig.stream.on_read = Gate(3)
    main = threading.get_ident()

    def interrupt():
        assert hold.reached.wait(30) and _wait_until_joining(main)
        signal.pthread_kill(main, signal.SIGINT)

    helper = threading.Thread(target=interrupt)
    helper.start()
    try:
        with pytest.raises(KeyboardInterrupt) as info:
            inp._recognize()
    finally:
        helper.join()
        hold.opened.set()
        inp.recorder.thread.join(30)
    assert our_lines(info.value, "Input._recognize") == [
        twin.line_of("Input._recognize", "self.recorder.thread.join()")]
    assert out.lines() == ""


def test_recognize_waits_for_a_capture_already_running(monkeypatch):
    out = recording_stdout(monkeypatch)
    rig = Rig(M, monkeypatch, [0.0] * 5 + [0.9] * 3 + [0.0] * 40)
    model = Model("late")
    inp = M.Input(model)
    hold = rig.stream.on_read = Gate(6)
    inp.recorder.start_recording()
    thread = inp.recorder.thread
    assert hold.reached.wait(30)
    threading.Timer(0.05, hold.opened.set).start()
    assert inp._recognize() == "late"
    assert inp.recorder.thread is thread and kept(model.calls[0][0][0])[0] == 0
    assert out.lines() == "[ASR] late\n"
