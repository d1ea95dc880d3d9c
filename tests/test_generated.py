"""Generated inputs against the Python twins: random mixes of positional and
keyword arguments for every method, frames of every length for the detector,
scripts of frames, probabilities, clocks and failures for the capture loop,
hostile streams for the intake. Each case runs the module and a plain Python
statement of the same code and compares everything they do, failures and
their traceback lines included.

Example counts are modest; the profile in conftest fixes the seed so that a
run is repeatable (CANTOREL_HYPOTHESIS=explore draws new examples)."""
import contextlib
import io
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import cantorel.manage as M
from cantorel_dev import twin
from conftest import entries, examples
from listening_fakes import STEP, Rig, kept, newest, numpy_with
from signatures import (METHODS, VALID, BytesSub, IntSub, StrSub, call, check_binding_failure,
                        expected, function, is_static, method_name, parameters)
from cantorel_dev.speaking_twin import add_stream as intake_twin
from test_binding import same_values



# ------------------------------------------------------------- argument binding

VALUES = [VALID[k] for k in ("text", "start", "audio_data", "sep")] + [
    None, True, 1.5, StrSub("x"), BytesSub(b"\0\0"), IntSub(2), -1, 2 ** 70, b"", ""]


SELF = object()  # stands for the instance, made per module


@st.composite
def calls(draw):
    """(row, through an instance, args, keyword pairs, raw): a call of any
    shape; mostly the right values, now and then a wrong or an extra one."""
    row = draw(st.sampled_from(METHODS))
    names, _, _ = parameters(row)
    right = {**VALID, "self": SELF, "llm_stream": None}
    value = lambda p: draw(st.sampled_from(VALUES)) if draw(  # noqa: E731
        st.integers(0, 3)) == 0 else right.get(p, 0)
    n = draw(st.integers(0, len(names) + 1))
    args = [value(p) for p in list(names[:n]) + ["extra"] * (n - len(names[:n]))]
    rest = list(names[n:])
    key = st.one_of(st.sampled_from(rest or list(names) or ["x"]),
                    st.sampled_from(list(names) + ["bogus", "self"]),
                    st.sampled_from(list(names) + ["y"]).map(StrSub),
                    st.sampled_from([1, None, b"self"]))
    keywords = [(k, value(str(k))) for k in draw(st.lists(key, max_size=4))]
    plain = all(type(k) in (str, StrSub) for k, _ in keywords)
    unique = len({str(k) for k, _ in keywords}) == len(keywords)
    raw = not (plain and unique) or draw(st.booleans())
    return row, draw(st.booleans()), args, keywords, raw


@settings(max_examples=examples(400), deadline=None)
@given(case=calls())
def test_random_calls_bind_as_the_twin(probe, case):
    """The probe binds like a Python function of the same signature: the same
    values, or the same TypeError; the module refuses the same calls the same way."""
    row, through_instance, args, keywords, raw = case
    for module in (probe, M):
        instance = object.__new__(getattr(module, row[0]))
        full = [instance if v is SELF else v for v in args]
        keys = [(k, instance if v is SELF else v) for k, v in keywords]
        kind, want = expected(row, full, keys, raw)
        f = function(module, row)
        if through_instance and (is_static(row) or full[:1] == [instance]):
            f = getattr(instance, method_name(row))
            full = full if is_static(row) else full[1:]
        if module is M and kind == "bound":
            continue  # the body would run
        probe.fail, probe.bound = None, None
        if kind == "bound":
            assert call(f, full, keys, raw) is None
            same_values(row, probe.bound, want)
            continue
        with pytest.raises(TypeError) as info:
            call(f, full, keys, raw)
        check_binding_failure(info.value, row, kind, want)
        assert probe.bound is None


# ------------------------------------------------------------- the detector

# VoiceVD.__call__ as the twin states it, run on a second native detector's
# session, state and context.
detector_twin = twin.load().VoiceVD.__call__


@pytest.fixture(scope="module")
def detectors(model_home):
    import os
    home, os.environ["HOME"] = os.environ.get("HOME"), str(model_home)
    try:
        pair = M.VoiceVD(), M.VoiceVD()
    finally:
        os.environ["HOME"] = home
    return pair


def _outcome(call, *args):
    try:
        return "value", call(*args)
    except Exception as e:
        return "raised", type(e), str(e).split("\n")[0]


@settings(max_examples=examples(120), deadline=None)
@given(frames=st.lists(st.one_of(st.binary(max_size=4096),
                                 st.integers(0, 4096).map(lambda n: bytes([0x5a]) * n)),
                       min_size=1, max_size=3))
def test_detector_on_frames_of_every_length(detectors, frames):
    """The real model on random bytes, against the same statements: the same
    probability, state and context to the bit, or the same failure (an odd
    length, or a width the model refuses) with the state left as it was."""
    native, other = detectors
    for d in detectors:
        d.reset()
    for frame in frames:
        state = native.state
        got, want = _outcome(native, frame), _outcome(detector_twin, other, frame)
        assert got == want
        np.testing.assert_array_equal(native.ctx, other.ctx)
        np.testing.assert_array_equal(native.state, other.state)
        if len(frame) % 2:
            assert native.state is state


# ------------------------------------------------------------- the capture loop

class Boom(Exception):
    pass


class Raising:
    """A probability whose comparisons (or truth) raise."""

    def __init__(self, where):
        self.where = where

    def __gt__(self, other):
        if self.where == "compare":
            raise Boom("compare")
        return self

    def __bool__(self):
        raise Boom("truth")

    def __float__(self):
        return 0.5

    def __repr__(self):
        return f"Raising({self.where!r})"


def _raise(exc):
    raise exc


PROB = st.one_of(
    st.sampled_from([0.0, 0.35, 0.5, 0.6, 0.9, 1.0, math.nan, math.inf, -1.0]),
    st.floats(0, 1), st.sampled_from([0, 1, True, np.float32(0.7), np.float64(0.2)]),
    st.sampled_from(["detector fails", "compare raises", "truth raises", "not a number"]))
STEPS = st.sampled_from([STEP, STEP, 0.25, 0.032, 0.0, -STEP, -5.0])


def _prob(p):
    if p == "detector fails":
        return lambda frame: _raise(Boom("detector"))
    if p in ("compare raises", "truth raises"):
        return Raising(p.split()[0])
    return "x" if p == "not a number" else p


@st.composite
def scripts(draw):
    n = draw(st.integers(1, 90))
    return dict(probs=draw(st.lists(PROB, min_size=n, max_size=n)),
                steps=draw(st.lists(STEPS, min_size=n, max_size=n)),
                sld=draw(st.sampled_from([0, 1, 2])), max_time=draw(st.sampled_from([0, 1, 3])),
                mean=draw(st.sampled_from(["numpy", "newest", "raw"])),
                toggle=draw(st.none() | st.integers(0, n)),
                read_fails=draw(st.none() | st.integers(0, n)),
                reenter=draw(st.none() | st.integers(0, n)),
                clock_fails=draw(st.none() | st.integers(1, 2 * n)),
                stop_fails=draw(st.booleans()), captures=draw(st.integers(1, 2)),
                text=draw(st.sampled_from([" hi ", None, "", b" b ", 5, StrSub(" s "), Boom])))


def _lines(exc):
    return [(line, name.rsplit(".", 1)[-1]) for f, line, name in entries(exc)
            if f in ("cantorel/manage", str(twin.PATH))]


def _capture_run(target, monkeypatch, s):
    probs = [_prob(p) for p in s["probs"]]
    rig = Rig(target, monkeypatch, probs * s["captures"], exact=s["mean"] == "newest")
    if s["mean"] == "raw":
        monkeypatch.setattr(target, "np", numpy_with(mean=lambda hist: hist[-1]))
    rec = target.RecVoice(sld=s["sld"], max_time=s["max_time"])
    rig.stream.step = 0.0
    reentered = []

    def on_read(i):
        rig.clock.now += s["steps"][i % len(s["steps"])]
        if i == s["toggle"]:
            rec.frame_is_append = not rec.frame_is_append
        if i == s["read_fails"]:
            raise Boom("read")
        if i == s["reenter"] and not reentered:  # the stream calls back into the capture
            reentered.append(_outcome(lambda: _summary(rec.vad_audio())))
    rig.stream.on_read = on_read
    rig.clock.fail_at = s["clock_fails"]
    if s["stop_fails"]:
        rig.stream.stop_error = Boom("stop")
    outcomes = []
    for _ in range(s["captures"]):
        try:
            outcomes.append(("returned", _summary(rec.record_audio())))
        except Exception as e:
            outcomes.append(("raised", type(e).__name__, str(e), _lines(e),
                             type(e.__context__).__name__))
    return (outcomes, reentered, rig.stream.log, rig.clock.calls, [repr(p) for p in rec.hist],
            rec.time_start, list(vars(rec)))


def _summary(audio):
    return None if audio is None else (audio.dtype.str, audio.flags.writeable, kept(audio))


@settings(max_examples=examples(100), deadline=None)
@given(s=scripts())
def test_capture_scripts_against_the_twin(s):
    """Frames, probabilities of every kind (NaN, ints, numpy scalars, objects
    whose comparison or truth raises, values numpy cannot average), clocks
    that stand still or go backwards, reads, clocks and stop_stream that
    fail, a stream that re-enters the capture, and a recogniser returning
    wrong types: the module does what its Python twin does."""
    results = []
    for target in (M, twin.load()):
        with pytest.MonkeyPatch.context() as mp:
            results.append(_capture_run(target, mp, s))
    assert results[0] == results[1]


@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")
@settings(max_examples=examples(60), deadline=None)
@given(s=scripts())
def test_recognize_scripts_against_the_twin(s):
    class Model:
        def generate(self, samples):
            if s["text"] is Boom:
                raise Boom("recogniser")
            return s["text"]

    results = []
    for target in (M, twin.load()):
        with pytest.MonkeyPatch.context() as mp:
            probs = [_prob(p) for p in s["probs"]]
            rig = Rig(target, mp, probs, exact=s["mean"] == "newest")
            listener = target.Input(Model(), sld=s["sld"], max_time=s["max_time"])
            rig.stream.on_read = lambda i: setattr(rig.clock, "now", rig.clock.now
                                                   + s["steps"][i % len(s["steps"])] - STEP)
            with contextlib.redirect_stdout(io.StringIO()) as printed:
                outcome = _outcome(listener._recognize)
            results.append((outcome, printed.getvalue(), rig.stream.log))
    assert results[0] == results[1]


# ------------------------------------------------------------- hostile streams

class Queue:
    def __init__(self, log, fail_at):
        self.log, self.fail_at = log, fail_at

    def put(self, item):
        if len(self.log) == self.fail_at:
            raise Boom("queue full")
        self.log.append(("put", item))


@settings(max_examples=examples(150), deadline=None)
@given(chunks=st.lists(st.one_of(st.text(alphabet="ab .,!你😀", max_size=8), st.just(StrSub(". s")),
                                 st.sampled_from([5, None, b"x."])), max_size=12),
       fail_at=st.none() | st.integers(0, 12), raise_at=st.none() | st.integers(0, 12),
       reenter_at=st.none() | st.integers(0, 12))
def test_hostile_streams_against_the_twin(chunks, fail_at, raise_at, reenter_at):
    """Chunks that are not str, a stream that raises or re-enters the intake,
    a queue that refuses an item: the same items, lines and order."""
    logs = []
    for method in (M.Output._add_stream, intake_twin):
        def make(out=None):
            for i, chunk in enumerate(chunks):
                if i == raise_at:
                    raise Boom("stream broke")
                if i == reenter_at and out is not None:
                    method(out, make())
                yield chunk

        out = M.Output.__new__(M.Output)
        out.log = []
        out.output_queue = Queue(out.log, fail_at)
        with contextlib.redirect_stdout(io.StringIO()) as printed:
            assert method(out, make(out)) is None
        logs.append((out.log, printed.getvalue()))
    assert logs[0] == logs[1]
