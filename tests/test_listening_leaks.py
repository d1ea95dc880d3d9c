"""Nothing leaks across 1,000 scripted captures: the blocking capture on its
success path and on each failure path, the background capture with its
thread, and Input._recognize on each kind of outcome. After a warm-up the
loop must leave the reference counts of the objects it passes around as they
were and must not grow the memory tracemalloc traces beyond a small bound."""
import threading

import pytest

import cantorel.manage as M
from conftest import Tracked, assert_handler_keeps_nothing, assert_no_leak
from listening_fakes import Clock, PyAudioModule, numpy_with, newest

N, WARM_UP = 1000, 50
SPEECH, SILENCE = float("0.9"), float("0.0")
PER_CAPTURE = [SPEECH] + [SILENCE] * 33  # sld 1, a frame every 1/32 s: 34 frames
FRAMES = [bytes([i]) * 1024 for i in range(len(PER_CAPTURE))]


class Boom(Exception):
    pass


class CyclingStream:
    """Hands out the same frame objects capture after capture."""

    def __init__(self, clock):
        self.clock, self.i, self.stop_error = clock, 0, None

    def read(self, num_frames, exception_on_overflow=True):
        frame = FRAMES[self.i % len(FRAMES)]
        self.i += 1
        self.clock.now += 1 / 32
        return frame

    def start_stream(self):
        pass

    def stop_stream(self):
        if self.stop_error is not None:
            raise self.stop_error("stop failed")  # a fresh one each time


class Detector:
    fail_at = None

    def __init__(self):
        self.i = 0

    def __call__(self, frame):
        i, self.i = self.i % len(PER_CAPTURE), self.i + 1
        if i == Detector.fail_at:
            self.i = 0
            raise Boom("detector")
        return PER_CAPTURE[i]


class Model:
    def __init__(self, result):
        self.result = result

    def generate(self, samples):
        if isinstance(self.result, type):
            raise self.result("model failed")
        return self.result


@pytest.fixture
def fakes(monkeypatch):
    clock = Clock()
    monkeypatch.setattr(M, "time", clock)
    monkeypatch.setattr(M, "pyaudio", PyAudioModule(lambda: CyclingStream(clock)))
    monkeypatch.setattr(M, "VoiceVD", Detector)
    monkeypatch.setattr(M, "np", numpy_with(mean=newest))
    monkeypatch.setattr(Detector, "fail_at", None)
    return monkeypatch


def swallow(call):
    def run():
        try:
            call()
        except Exception:
            pass
    return run


def _blocking(fakes, variant):
    rec = M.RecVoice(sld=1)
    keep = [rec, rec.stream, rec.voicevd, rec.hist, rec.pa, SPEECH, SILENCE, *FRAMES,
            M.RecVoice, M.RecVoice.record_audio, M.RecVoice.vad_audio]
    if variant == "detector fails":
        fakes.setattr(Detector, "fail_at", 3)
        return swallow(rec.record_audio), keep
    if variant == "stop_stream fails":
        rec.stream.stop_error = RuntimeError
        return swallow(rec.record_audio), keep
    if variant == "detector and stop_stream fail":
        fakes.setattr(Detector, "fail_at", 3)
        rec.stream.stop_error = RuntimeError
        return swallow(rec.record_audio), keep
    if variant == "nothing kept":
        rec.frame_is_append = False
    return rec.record_audio, keep


def _background(fakes, variant):
    rec = M.RecVoice_T(sld=1)

    def cycle():
        rec.start_recording()
        rec.stop_recording()
        rec.get_audio()

    return cycle, [rec, rec.stream, rec.voicevd, rec.hist, *FRAMES, M.RecVoice_T]


def _recognize(fakes, variant):
    result = {"text": "  hello ", "none": None, "bytes": b" hi ", "model fails": Boom}[variant]
    model = Model(result)
    listener = M.Input(model)
    rec = listener.recorder
    return listener._recognize, [listener, model, rec, rec.stream, rec.voicevd, *FRAMES, result]


def _constructor(fakes, variant):
    def failing_open(self, **kwargs):
        raise OSError(-9996, "Invalid input device")

    fakes.setattr(M.pyaudio.PyAudio, "open", failing_open)
    construct = swallow(M.RecVoice)

    def call():
        construct()
        M.pyaudio.handles.clear()  # the fake's own record of each PyAudio()

    return call, [M.RecVoice, M.pyaudio]


CASES = [
    ("capture", _blocking), ("capture, detector fails", _blocking),
    ("capture, stop_stream fails", _blocking), ("capture, detector and stop_stream fail", _blocking),
    ("capture, nothing kept", _blocking), ("background capture", _background),
    ("recognize text", _recognize), ("recognize none", _recognize),
    ("recognize bytes", _recognize), ("recognize model fails", _recognize),
    ("constructor, open fails", _constructor),
]


@pytest.mark.parametrize("name, build", CASES, ids=[c[0] for c in CASES])
def test_no_leaks(fakes, name, build):
    variant = name.split(", ", 1)[1] if ", " in name else name.split(" ", 1)[-1]
    call, keep = build(fakes, variant)
    assert_no_leak(call, keep, runs=N, warm_up=WARM_UP)


@pytest.mark.parametrize("where", ["recogniser", "capture"])
def test_recognize_keeps_nothing_it_caught(fakes, where):
    """_recognize lets go of the recogniser's failure it caught; the capture
    thread keeps nothing of the detector's failure that ended it."""
    listener = M.Input(Model(Tracked))
    if where == "capture":
        fakes.setattr(threading, "excepthook", lambda args: None)  # pytest's own keeps it
        fakes.setattr(Detector, "__call__", lambda self, frame: (_ for _ in ()).throw(
            Tracked("detector")))
    assert_handler_keeps_nothing(listener._recognize)
