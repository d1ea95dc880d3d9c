"""RecVoice_T, the capture on a thread of its own, under the scripted PyAudio,
clock and detector of test_capture.py: its arguments reach the base class,
base failures are reported at the super call; the thread's states, and
failures of its start, is_alive and join."""
import threading
import types

import pytest

import cantorel.manage as M
from conftest import entries, our_lines, ours
from cantorel_dev import twin
from listening_fakes import Boom, Gate, Rig, kept, raise_


def line(method, statement):
    """The module's line for `statement` (or (statement, which of several)) in
    a method of RecVoice, or of the class it names."""
    return twin.line_of(method if "." in method else f"RecVoice.{method}",
                        *(statement if isinstance(statement, tuple) else (statement,)))



def test_background_recorder_forwards_its_arguments(monkeypatch):
    rig = Rig(M, monkeypatch, [])
    rec = M.RecVoice_T(2, 3, 7)
    assert (rec._sld, rec.max_time_record, rig.pyaudio.opened[0][1][-1]) == (
        2, 3, ("input_device_index", 7))
    assert list(vars(rec))[-2:] == ["thread", "audio_np"]
    assert rec.thread is None and rec.audio_np is None and rec.get_audio() is None
    assert rec.stop_recording() is None

    rec = M.RecVoice_T(max_time=4, sld=2)
    assert (rec._sld, rec.max_time_record) == (2, 4)


def test_background_recorder_reports_base_failures_at_its_super_call(monkeypatch):
    Rig(M, monkeypatch, [])
    obj = object.__new__(M.RecVoice_T)
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'") as info:
        M.RecVoice_T.__init__(obj, 1, 2, x=3)
    assert [e for e in entries(info.value) if e[0] == "cantorel/manage"] == [
        ours("RecVoice_T.__init__", line("RecVoice_T.__init__", "super()")),
        ours("RecVoice.__init__", line("__init__", "def"))]
    assert vars(obj) == {}
    with pytest.raises(TypeError, match="at most 4 positional arguments \\(5 given\\)"):
        M.RecVoice_T(1, 2, 3, 4)
    with pytest.raises(TypeError) as info:
        M.RecVoice_T.__init__(object())  # super() needs an instance of the class
    assert our_lines(info.value, "RecVoice_T.__init__") == [line("RecVoice_T.__init__", "super()")]


def test_a_subclass_reaches_the_base_constructor_once(monkeypatch):
    rig = Rig(M, monkeypatch, [])

    class Sub(M.RecVoice_T):
        def __init__(self, *args, **kwargs):
            M.RecVoice_T.__init__(self, *args, **kwargs)
            self.extra = True

    # The module calls the super() it found at import, whatever is bound now.
    monkeypatch.setattr("builtins.super", lambda *a: pytest.fail("super() looked up again"))
    monkeypatch.setattr(M, "super", lambda *a: pytest.fail("super() looked up"), raising=False)
    sub = Sub(sld=3)
    assert len(rig.pyaudio.handles) == 1 and sub._sld == 3 and sub.extra
    assert sub.thread is None and sub.audio_np is None


def test_background_capture_states(monkeypatch):
    rig = Rig(M, monkeypatch, [0.9] + [0.0] * 40)
    rec = M.RecVoice_T(sld=1)
    made = []

    class Thread(threading.Thread):
        def __init__(self, *args, **kwargs):
            made.append((args, dict(kwargs)))
            super().__init__(*args, **kwargs)

    monkeypatch.setattr(M, "threading", types.SimpleNamespace(Thread=Thread))
    gate = rig.stream.on_read = Gate(10)
    assert rec.start_recording() is None
    assert made == [((), {"target": rec._record_audio_thread, "daemon": True})]
    thread = rec.thread
    assert type(thread) is Thread and thread.daemon
    assert gate.reached.wait(30)
    # While capturing: no second thread, no result yet, stop_recording waits.
    assert rec.start_recording() is None and rec.thread is thread and len(made) == 1
    assert rec.get_audio() is None
    stopped = threading.Event()
    waiter = threading.Thread(target=lambda: (rec.stop_recording(), stopped.set()))
    waiter.start()
    assert not stopped.wait(0.2)
    gate.opened.set()
    waiter.join(30)
    assert stopped.is_set() and not thread.is_alive()
    first = rec.get_audio()
    assert kept(first) == list(range(34)) and rec.get_audio() is first
    assert rec.stop_recording() is None

    # A new capture makes a new thread; the old result stays until it completes.
    rec.voicevd.script = iter([0.9] + [0.0] * 40)
    gate = rig.stream.on_read = Gate(40)
    rig.stream.count = 100
    rec.start_recording()
    assert rec.thread is not thread and len(made) == 2
    assert gate.reached.wait(30)
    assert rec.get_audio() is first
    gate.opened.set()
    rec.stop_recording()
    assert kept(rec.get_audio()) == list(range(34, 68))


def test_a_failing_capture_thread_keeps_the_previous_result(monkeypatch):
    rig = Rig(M, monkeypatch, [0.9] + [0.0] * 33 + [lambda f: raise_(Boom("detector"))])
    rec = M.RecVoice_T(sld=1)
    rig.stream.count = 100
    reported = []
    monkeypatch.setattr(threading, "excepthook", reported.append)
    rec.start_recording()
    rec.stop_recording()
    first = rec.get_audio()
    rec.start_recording()
    rec.thread.join()
    assert rec.get_audio() is first and rec.stop_recording() is None
    assert len(reported) == 1 and type(reported[0].exc_value) is Boom
    lines = {n.rsplit(".", 1)[-1]: l for f, l, n in entries(reported[0].exc_value)
             if f == "cantorel/manage"}
    assert lines == {"_record_audio_thread": line("RecVoice_T._record_audio_thread", "self"),
                     "record_audio": line("record_audio", "return"),
                     "vad_audio": line("vad_audio", "p = self.voicevd")}
    assert rig.stream.log[-1] == ("stop_stream",)


def test_a_thread_that_cannot_start_is_replaced_by_the_next_start(monkeypatch):
    rig = Rig(M, monkeypatch, [0.9] + [0.0] * 40)
    rec = M.RecVoice_T(sld=1)

    class Unstartable(threading.Thread):
        def start(self):
            raise RuntimeError("can't start new thread")

    monkeypatch.setattr(M, "threading", types.SimpleNamespace(Thread=Unstartable))
    with pytest.raises(RuntimeError) as info:
        rec.start_recording()
    assert our_lines(info.value, "RecVoice_T.start_recording") == [
        line("RecVoice_T.start_recording", "self.thread.start")]
    assert type(rec.thread) is Unstartable and not rec.thread.is_alive()
    assert rec.stop_recording() is None
    monkeypatch.delattr(M, "threading")
    with pytest.raises(NameError, match="name 'threading' is not defined") as info:
        rec.start_recording()
    assert our_lines(info.value, "RecVoice_T.start_recording") == [
        line("RecVoice_T.start_recording", "self.thread =")]
    monkeypatch.setattr(M, "threading", threading, raising=False)
    rec.voicevd.script = iter([0.9] + [0.0] * 40)
    rec.start_recording()
    rec.stop_recording()
    assert type(rec.thread) is threading.Thread and kept(rec.get_audio())[0] == 0


@pytest.mark.parametrize("thread, asked", [(0, False), ("", False), ([], False),
                                           ("alive?", True)])
def test_stop_recording_tests_the_thread_by_truth(monkeypatch, thread, asked):
    Rig(M, monkeypatch, [])
    rec = M.RecVoice_T()
    calls = []
    if asked:
        thread = types.SimpleNamespace(is_alive=lambda: calls.append("is_alive") or 0,
                                       join=lambda: pytest.fail("joined a thread that is not alive"))
    rec.thread = thread
    assert rec.stop_recording() is None
    assert calls == (["is_alive"] if asked else [])


def test_is_alive_and_join_failures_propagate(monkeypatch):
    Rig(M, monkeypatch, [])
    rec = M.RecVoice_T()
    rec.thread = types.SimpleNamespace(is_alive=lambda: raise_(Boom("alive")))
    for method in ("start_recording", "stop_recording"):
        with pytest.raises(Boom) as info:
            getattr(rec, method)()
        assert our_lines(info.value, f"RecVoice_T.{method}") == [
            line(f"RecVoice_T.{method}", "if self.thread")]
    rec.thread = types.SimpleNamespace(is_alive=lambda: True, join=lambda: raise_(Boom("join")))
    with pytest.raises(Boom) as info:
        rec.stop_recording()
    assert our_lines(info.value, "RecVoice_T.stop_recording") == [
        line("RecVoice_T.stop_recording", "self.thread.join")]
    assert rec.start_recording() is None  # "alive": nothing started
