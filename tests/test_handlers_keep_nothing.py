"""Once a handler or a cleanup has finished, the body keeps nothing of the
exception it dealt with: not the exception, not its traceback, not the frames
and locals that traceback reaches. Python's `except ... as e` deletes `e`, so
an object that only a failed callee's frame held is freed then; the same must
hold for every handler of the module, in the workers' loops that never return
as in calls that do. Each case fails once inside a callee that holds a `Big`
and checks, by weak reference and without the garbage collector, that it is
gone when the handler is done."""
import gc
import io
import sys
import types
import weakref

import pytest

import cantorel.manage as M
from speaking_fakes import finishes


class Big:
    """What a failed model run may have allocated."""


class Failure(Exception):
    pass


class Tracker:
    def __init__(self):
        self.refs = []

    def fail(self, *args):
        """Raises from a frame whose local is the only reference to a Big."""
        big = Big()
        self.refs.append(weakref.ref(big))
        raise Failure("failed")

    def all_gone(self):
        return bool(self.refs) and all(r() is None for r in self.refs)


def quiet_sa(**overrides):
    class Playing:
        def wait_done(self):
            pass

    class WaveObject:
        def __init__(self, data, **kwargs):
            pass

        def play(self):
            return Playing()

    for name, method in overrides.items():
        setattr(WaveObject, name, method)
    return types.SimpleNamespace(WaveObject=WaveObject)


def tts_worker(t, monkeypatch):
    monkeypatch.setattr(M, "sa", quiet_sa())
    out = M.Output(types.SimpleNamespace(ort_predict=t.fail))
    out._add_stream(["one. two. three."])
    finishes(out._wait_all)  # the worker is back in its loop, blocked on the queue


def play_worker(t, monkeypatch):
    class Player:
        def play_audio(self, audio_data):
            t.fail()

    monkeypatch.setattr(M, "AudioPlayer", Player)  # looked up when the worker starts
    out = M.Output(types.SimpleNamespace(ort_predict=lambda text: b"\0\0"))
    out._add_stream(["one. two."])
    finishes(out._wait_all)


def play_audio(t, monkeypatch):
    monkeypatch.setattr(M, "sa", quiet_sa(play=lambda self: t.fail()))
    M.AudioPlayer.play_audio(b"\0\0")


def add_stream(t, monkeypatch):
    def stream():
        yield "a. b"
        t.fail()

    out = M.Output.__new__(M.Output)
    out.output_queue = types.SimpleNamespace(put=lambda item: None)
    out._add_stream(stream())


def recognize(t, monkeypatch):
    inp = M.Input.__new__(M.Input)
    inp.recorder = types.SimpleNamespace(start_recording=t.fail)
    assert inp._recognize() is None


def capture_finally(t, monkeypatch, cleanup_fails=False):
    rec = M.RecVoice.__new__(M.RecVoice)
    rec.FRAME_SIZE = 512
    rec.stream = types.SimpleNamespace(
        read=lambda n, exception_on_overflow: t.fail(),
        stop_stream=t.fail if cleanup_fails else (lambda: None))
    try:  # not pytest.raises, whose record would keep the traceback
        rec.vad_audio()
    except Failure:
        pass
    else:
        raise AssertionError("vad_audio returned")


CASES = {
    "tts-worker": tts_worker,
    "play-worker": play_worker,
    "play-audio": play_audio,
    "add-stream": add_stream,
    "recognize": recognize,
    "capture-finally": capture_finally,
    "capture-finally-cleanup-fails": lambda t, mp: capture_finally(t, mp, cleanup_fails=True),
}


@pytest.mark.parametrize("case", list(CASES))
def test_nothing_outlives_the_handler(monkeypatch, case):
    t = Tracker()
    monkeypatch.setattr(sys, "stdout", io.StringIO())
    gc.disable()  # only references count: a kept traceback is no cycle
    try:
        CASES[case](t, monkeypatch)
        assert t.all_gone(), f"{sum(r() is not None for r in t.refs)} of {len(t.refs)} kept"
    finally:
        gc.enable()


def test_nothing_outlives_the_handler_inside_the_call(probe):
    """The next pass of a loop in the same call already finds the failed pass's
    objects gone, as Python's loop does."""
    t = Tracker()
    seen = []
    items = [t.fail, lambda: seen.append(t.all_gone()), t.fail, lambda: seen.append(t.all_gone())]
    gc.disable()
    try:
        assert probe.Handlers.loop_except(items, lambda e: None) == "done"
    finally:
        gc.enable()
    assert seen == [True, True]
