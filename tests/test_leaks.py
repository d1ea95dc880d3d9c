"""Reference and memory leaks: every implemented method, and every pending one,
called many times on its success path and on each failure path.

After a warm-up, the loop must leave the reference counts of the objects it
passes around unchanged and must not grow the memory that tracemalloc traces
by more than a small bound. Exceptions are caught and dropped inside the loop
so that nothing keeps a traceback alive.
"""
import gc
import sys
import tracemalloc
import types

import numpy as np
import pytest

N = 10_000
WARM_UP = 200
TOLERANCE = 64 * 1024

# float() of a one-element array with ndim > 0 warns under numpy >= 1.25; the
# real model's first output is such an array. "ignore" keeps no registry.
pytestmark = pytest.mark.filterwarnings("ignore:Conversion of an array with ndim")

FRAME = bytes(range(256)) * 4  # 1024 bytes


class BytesSub(bytes):
    pass


class FakeSession:
    """`run` returns what `make()` builds, or raises what `make()` raises."""

    def __init__(self, make):
        self.make = make

    def run(self, output_names, feed):
        return self.make()


def detector(manage, sess):
    det = object.__new__(manage.VoiceVD)
    det.sess = sess
    det.state = np.zeros((2, 1, 128), np.float32)
    det.ctx = np.zeros((1, 64), np.float32)
    det.sr = np.array(16000, dtype=np.int64)
    return det


class Env:
    def __init__(self, manage, monkeypatch, model_home, tmp_path):
        self.m = manage
        self.mp = monkeypatch
        self.model_home = model_home
        self.tmp_path = tmp_path

    def real(self):
        self.mp.setenv("HOME", str(self.model_home))
        return self.m.VoiceVD()

    def fake(self, make):
        return detector(self.m, FakeSession(make))

    def fake_ok(self):
        prob = np.array(0.25, dtype=np.float32)
        state = np.ones((2, 1, 128), np.float32)
        return self.fake(lambda: (prob, state)), prob, state


# Each case returns (operation, expected exception or None, message pattern,
# objects whose reference counts must not move, iterations).
CASES = {}


def case(name):
    def register(fn):
        CASES[name] = fn
        return fn
    return register


# ---------------------------------------------------------------- __init__
@case("init-real-model")
def _(e):
    e.real()  # the HOME is set from here on
    return e.m.VoiceVD, None, None, [e.m.VoiceVD], 50


@case("init-fake-ort")
def _(e):
    sess = object()
    e.mp.setattr(e.m, "ort", types.SimpleNamespace(InferenceSession=lambda path, providers: sess))
    return e.m.VoiceVD, None, None, [sess, e.m.VoiceVD], N


@case("init-model-missing")
def _(e):
    e.mp.setenv("HOME", str(e.tmp_path))
    return e.m.VoiceVD, Exception, "voicevd.pt", [e.m.VoiceVD], 1000


@case("init-os-deleted")
def _(e):
    e.mp.delattr(e.m, "os")
    return e.m.VoiceVD, NameError, "name 'os' is not defined", [e.m.VoiceVD], N


@case("init-ort-deleted")
def _(e):
    e.mp.delattr(e.m, "ort")
    return e.m.VoiceVD, NameError, "name 'ort' is not defined", [e.m.VoiceVD], N


@case("init-too-many")
def _(e):
    marker = object()
    return (lambda: e.m.VoiceVD(marker), TypeError,
            r"takes exactly 1 positional argument \(2 given\)", [marker], N)


@case("init-unexpected-keyword")
def _(e):
    marker = object()
    return (lambda: e.m.VoiceVD(path=marker), TypeError,
            "unexpected keyword argument 'path'", [marker], N)


# ---------------------------------------------------------------- reset
@case("reset-through-class")
def _(e):
    det = e.fake_ok()[0]
    return lambda: e.m.VoiceVD.reset(det), None, None, [det, det.state, det.ctx], N


@case("reset-bound-keyword")
def _(e):
    det = e.fake_ok()[0]
    reset = e.m.VoiceVD.reset
    return lambda: reset(self=det), None, None, [det, reset, det.state], N


@case("reset-bound-method")
def _(e):
    det = e.fake_ok()[0]
    return det.reset, None, None, [det, det.state, det.ctx], N


@case("reset-no-self")
def _(e):
    return (e.m.VoiceVD.reset, TypeError, r"takes exactly 1 positional argument \(0 given\)",
            [e.m.VoiceVD.reset], N)


@case("reset-multiple-values")
def _(e):
    det = e.fake_ok()[0]
    return (lambda: e.m.VoiceVD.reset(det, self=det), TypeError,
            "multiple values for keyword argument 'self'", [det], N)


@case("reset-state-without-fill")
def _(e):
    det = e.fake_ok()[0]
    det.state = object()
    return det.reset, AttributeError, "fill", [det, det.state], N


# ---------------------------------------------------------------- __call__
@case("call-real-model")
def _(e):
    det = e.real()
    frame = bytes(FRAME)
    return lambda: det(frame), None, None, [det, det.sess, det.sr, frame], N


@case("call-fake-session")
def _(e):
    det, prob, state = e.fake_ok()
    frame = bytes(FRAME)
    return lambda: det(frame), None, None, [det, frame, prob, state, det.sr], N


@case("call-keywords-through-class")
def _(e):
    det, prob, state = e.fake_ok()
    frame = bytes(FRAME)
    call = e.m.VoiceVD.__call__
    return (lambda: call(pcm_bytes=frame, self=det), None, None, [det, frame, prob, state, call],
            N)


@case("call-prob-is-float")
def _(e):
    prob, state = float("0.75"), np.ones((2, 1, 128), np.float32)
    det = e.fake(lambda: [prob, state])
    frame = bytes(FRAME)
    return lambda: det(frame), None, None, [det, frame, prob, state], N


@case("call-result-iterated")
def _(e):
    prob, state = np.array(0.5, np.float32), np.ones((2, 1, 128), np.float32)
    det = e.fake(lambda: iter((prob, state)))
    frame = bytes(FRAME)
    return lambda: det(frame), None, None, [det, frame, prob, state], N


@case("call-empty-frame")
def _(e):
    det, prob, state = e.fake_ok()
    return lambda: det(b""), None, None, [det, prob, state], N


def _type_case(value_factory, pattern):
    def build(e):
        det, _, state = e.fake_ok()
        value = value_factory()
        ctx = det.ctx
        return (lambda: det(value), TypeError, pattern, [det, value, state, ctx], N)
    return build


CASES["call-bytearray"] = _type_case(
    lambda: bytearray(FRAME), r"Argument 'pcm_bytes' has incorrect type \(expected bytes, got "
                              r"bytearray\)$")
CASES["call-memoryview"] = _type_case(lambda: memoryview(FRAME), "got memoryview")
CASES["call-none"] = _type_case(lambda: None, "got NoneType")
CASES["call-bytes-subclass"] = _type_case(lambda: BytesSub(FRAME),
                                          r"got BytesSub\)\. Subclasses of built-in types")


@case("call-too-many")
def _(e):
    det = e.fake_ok()[0]
    frame = bytes(FRAME)
    return (lambda: det(frame, frame), TypeError,
            r"takes exactly 2 positional arguments \(3 given\)", [det, frame], N)


@case("call-missing-frame")
def _(e):
    det = e.fake_ok()[0]
    return det, TypeError, r"takes exactly 2 positional arguments \(1 given\)", [det], N


@case("call-unexpected-keyword")
def _(e):
    det = e.fake_ok()[0]
    frame = bytes(FRAME)
    return (lambda: det(frame, pcm=frame), TypeError, "unexpected keyword argument 'pcm'",
            [det, frame], N)


@case("call-multiple-values")
def _(e):
    det = e.fake_ok()[0]
    frame = bytes(FRAME)
    return (lambda: det(frame, pcm_bytes=frame), TypeError,
            "multiple values for keyword argument 'pcm_bytes'", [det, frame], N)


@case("call-odd-length")
def _(e):
    det, _, state = e.fake_ok()
    frame = bytes(1023)
    return lambda: det(frame), ValueError, "multiple of element size", [det, frame, state], N


@case("call-np-deleted")
def _(e):
    det = e.fake_ok()[0]
    frame = bytes(FRAME)
    e.mp.delattr(e.m, "np")
    return lambda: det(frame), NameError, "name 'np' is not defined", [det, frame], N


def _unpack_case(make_result, exc, pattern):
    def build(e):
        prob, state = np.array(0.5, np.float32), np.ones((2, 1, 128), np.float32)
        det = e.fake(lambda: make_result(prob, state))
        frame = bytes(FRAME)
        return lambda: det(frame), exc, pattern, [det, frame, prob, state], N
    return build


CASES["call-run-returns-one"] = _unpack_case(
    lambda p, s: (p,), ValueError, r"^need more than 1 value to unpack$")
CASES["call-run-returns-three"] = _unpack_case(
    lambda p, s: [p, s, s], ValueError, r"^too many values to unpack \(expected 2\)$")
CASES["call-run-iterates-none"] = _unpack_case(
    lambda p, s: iter(()), ValueError, r"^need more than 0 values to unpack$")
CASES["call-run-iterates-three"] = _unpack_case(
    lambda p, s: iter((p, s, s)), ValueError, r"^too many values to unpack \(expected 2\)$")
CASES["call-run-not-iterable"] = _unpack_case(lambda p, s: p, TypeError, "iteration over a 0-d")
CASES["call-prob-not-convertible"] = _unpack_case(
    lambda p, s: (np.zeros(3, np.float32), s), TypeError, "only")


@case("call-run-raises")
def _(e):
    def fail():  # a fresh exception each time: a reused one collects tracebacks
        raise RuntimeError("model failed")
    det = e.fake(fail)
    frame = bytes(FRAME)
    return lambda: det(frame), RuntimeError, "model failed", [det, frame, det.sess], N


# ---------------------------------------------------------------- pending methods
def _pending(getter, args, kwargs=None, exc=NotImplementedError, pattern="not available"):
    def build(e):
        marker = object()
        fn = getter(e.m)
        a = tuple(marker if x is Ellipsis else x for x in args)
        kw = {k: (marker if v is Ellipsis else v) for k, v in (kwargs or {}).items()}
        return lambda: fn(*a, **kw), exc, pattern, [marker, fn], N
    return build


_PENDING = {
    "RecVoice()": (lambda m: m.RecVoice, (), {}),
    "RecVoice(all keywords)": (lambda m: m.RecVoice, (), dict(sld=1, max_time=2,
                                                             device_index=None)),
    "RecVoice.vad_audio": (lambda m: m.RecVoice.vad_audio, (...,), {}),
    "RecVoice.record_audio": (lambda m: m.RecVoice.record_audio, (...,), {}),
    "RecVoice_T(extra arguments)": (lambda m: m.RecVoice_T, (..., 2), dict(a=..., b=3)),
    "RecVoice_T.start_recording": (lambda m: m.RecVoice_T.start_recording, (...,), {}),
    "RecVoice_T._record_audio_thread": (lambda m: m.RecVoice_T._record_audio_thread, (...,), {}),
    "RecVoice_T.stop_recording": (lambda m: m.RecVoice_T.stop_recording, (...,), {}),
    "RecVoice_T.get_audio": (lambda m: m.RecVoice_T.get_audio, (...,), {}),
    "AudioPlayer()": (lambda m: m.AudioPlayer, (), {}),
    "AudioPlayer.play_audio": (lambda m: m.AudioPlayer.play_audio, (FRAME,), {}),
    "Input(model, 2, 3)": (lambda m: m.Input, (..., 2, 3), {}),
    "Input._init": (lambda m: m.Input._init, (...,), {}),
    "Input._recognize": (lambda m: m.Input._recognize, (...,), {}),
    "Input._reset": (lambda m: m.Input._reset, (...,), {}),
    "Output(model)": (lambda m: m.Output, (...,), {}),
    "Output._init_threads": (lambda m: m.Output._init_threads, (...,), {}),
    "Output._splitsen": (lambda m: m.Output._splitsen, ("a. b", 0), {}),
    "Output._splitsen(sep)": (lambda m: m.Output._splitsen, ("a. b",), dict(start=0, sep=".")),
    "Output._tts_worker": (lambda m: m.Output._tts_worker, (...,), {}),
    "Output._play_worker": (lambda m: m.Output._play_worker, (...,), {}),
    "Output._add_stream": (lambda m: m.Output._add_stream, (...,), dict(llm_stream=...)),
    "Output._wait_all": (lambda m: m.Output._wait_all, (...,), {}),
}
for _label, (_get, _args, _kw) in _PENDING.items():
    CASES[f"pending {_label}"] = _pending(_get, _args, _kw)

_PENDING_FAILURES = {
    "RecVoice(sld=str)": (lambda m: m.RecVoice, (), dict(sld="4"), "expected int, got str"),
    "RecVoice(sld=bool)": (lambda m: m.RecVoice, (True,), {}, r"got bool\)\. Subclasses"),
    "RecVoice(device_index=float)": (lambda m: m.RecVoice, (), dict(device_index=1.0),
                                     "expected int, got float"),
    "RecVoice(too many)": (lambda m: m.RecVoice, (1, 2, 3, 4), {}, r"at most 4 .*\(5 given\)"),
    "RecVoice_T(self twice)": (lambda m: m.RecVoice_T.__init__, (...,), dict(self=...),
                               "multiple values for keyword argument 'self'"),
    "RecVoice_T.__init__()": (lambda m: m.RecVoice_T.__init__, (), {}, r"at least 1 .*\(0 given\)"),
    "AudioPlayer.play_audio(str)": (lambda m: m.AudioPlayer.play_audio, ("x",), {},
                                    "expected bytes, got str"),
    "Input()": (lambda m: m.Input, (), {}, r"at least 2 positional arguments \(1 given\)"),
    "Input(max_time=str)": (lambda m: m.Input, (...,), dict(max_time="3"), "expected int"),
    "Output._splitsen(bytes)": (lambda m: m.Output._splitsen, (b"x", 0), {}, "expected str"),
    "Output._add_stream(unexpected)": (lambda m: m.Output._add_stream, (..., ...), dict(x=1),
                                       "unexpected keyword argument 'x'"),
}
for _label, (_get, _args, _kw, _pattern) in _PENDING_FAILURES.items():
    CASES[f"binding {_label}"] = _pending(_get, _args, _kw, TypeError, _pattern)


# ---------------------------------------------------------------- the check
def _loop(op, exc, n):
    for _ in range(n):
        try:
            op()
        except exc:
            pass


@pytest.mark.parametrize("name", list(CASES))
def test_no_leak(name, manage, monkeypatch, model_home, tmp_path):
    op, exc, pattern, keep, n = CASES[name](Env(manage, monkeypatch, model_home, tmp_path))
    # The case takes the path it names.
    if exc is None:
        op()
    else:
        with pytest.raises(exc, match=pattern):
            op()
    exc = exc or ()
    _loop(op, exc, min(n // 5, WARM_UP))

    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    try:
        gc.collect()
        refs_before = [sys.getrefcount(o) for o in keep]
        mem_before = tracemalloc.get_traced_memory()[0]
        _loop(op, exc, n)
        gc.collect()
        mem_after = tracemalloc.get_traced_memory()[0]
        refs_after = [sys.getrefcount(o) for o in keep]
    finally:
        if started:
            tracemalloc.stop()

    assert refs_after == refs_before, [type(o).__name__ for o in keep]
    assert mem_after - mem_before < TOLERANCE, f"grew by {mem_after - mem_before} bytes"
