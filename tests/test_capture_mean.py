"""The capture loop's own mean of the smoothing window (prob_avg), computed
natively while `np` is the numpy the module imported and the window a deque
of plain floats: the same double as np.mean to the bit, the same warnings
and errors (those windows are left to numpy), and np.mean called as before
in every other case."""
import ctypes
import importlib.util
import math
import random
import struct
import sys
import sysconfig
import warnings
from collections import deque

import numpy as np
import pytest
from hypothesis import example, given, settings, strategies as st

import cantorel.manage as M
from conftest import ROOT, compile_native, entries, ours, run_python
from listening_fakes import EndOfScript, Rig, numpy_with
from cantorel_dev.twin import line_of

SNAN = struct.unpack("<d", struct.pack("<Q", 0x7FF0000000000001))[0]
TINY = sys.float_info.min  # the smallest normal double
MEAN_LINE = line_of("RecVoice.vad_audio", "prob_avg =")


def bits(x):
    return struct.pack("<d", x)


@pytest.fixture(scope="module")
def native(tmp_path_factory):
    """The header the capture loop uses, built into a probe: mean(window) is
    the native mean, or None where the loop calls np.mean instead."""
    name = "_cantorel_mean_probe"
    path = tmp_path_factory.mktemp("mean") / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    compile_native([ROOT / "tests" / "native" / "mean_probe.cpp"], path, shared=True)
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def numpy_reports(window):
    """Whether np.mean(window) warns or raises under np.seterr(all='raise')."""
    try:
        with np.errstate(all="raise"):
            np.mean(window)
    except FloatingPointError:
        return True
    return False


values = st.one_of(
    st.floats(0.0, 1.0),                                       # probabilities
    st.floats(),                                               # anything, nan and inf included
    st.floats(-TINY, TINY),                                    # subnormals and zeros
    st.floats(1e300, 1.7e308).flatmap(lambda x: st.sampled_from([x, -x])),  # overflow
    st.sampled_from([0.0, -0.0, math.inf, -math.inf, math.nan, -math.nan, SNAN, 1e16, -1e16]),
)


def check_against_numpy(native, window):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        want = np.mean(window)
    got = native.mean(window)
    if got is None:
        # Left to numpy only where numpy has something to report.
        assert len(window) > 128 or numpy_reports(window), list(window)
    else:
        if len({bits(x) for x in window if math.isnan(x)}) > 1:
            # Which of two different NaNs a sum passes on depends on the order
            # of the operands in numpy's compiled loop; prob_avg only meets a
            # comparison, for which every NaN is alike.
            assert math.isnan(got) and math.isnan(want)
        else:
            assert bits(got) == bits(want), (list(window), got, want)
        assert not numpy_reports(window)
    return got


@pytest.mark.parametrize("n", [*range(1, 11), 15, 16, 17, 64, 127, 128])
@settings(max_examples=150, deadline=None)
@given(data=st.data())
def test_native_mean_is_numpy_mean_to_the_bit(native, n, data):
    window = deque(data.draw(st.lists(values, min_size=n, max_size=n)), maxlen=max(n, 10))
    check_against_numpy(native, window)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from([1e16, -1e16, 1.0, 3.0, 0.1, -0.0, TINY, 5e-324]),
                min_size=1, max_size=40))
@example([-0.0] * 8)   # numpy starts its sum from 0.0: the mean is 0.0, not -0.0
@example([5e-324, 0.0])  # the division underflows
def test_the_order_of_the_sum_is_numpy_s(native, window):
    """Cancelling terms make every order of summation give its own result."""
    assert check_against_numpy(native, deque(window)) is not None or numpy_reports(deque(window))


@pytest.mark.parametrize("window, native_too", [
    ([0.5] * 129, False),                  # longer than numpy's one block
    ([0.5, np.float64(0.5)], False), ([0.5, 1], False), ([True], False),
    ([0.5, type("F", (float,), {})(0.5)], False),
    ([], False),
    ([0.25, 0.5], True),
])
def test_other_windows_are_left_to_numpy(native, window, native_too):
    assert (native.mean(deque(window)) is not None) == native_too
    assert native.mean(list(window)) is None
    assert native.mean(type("D", (deque,), {})(window)) is None


def test_the_floating_point_flags_are_left_as_they_were(native):
    libm = ctypes.CDLL(None)
    FE_OVERFLOW = 0x08  # x86-64
    if not sysconfig.get_platform().endswith("x86_64"):
        pytest.skip("the flag's value is the x86-64 one")
    libm.feclearexcept(0x1D)
    assert native.mean(deque([1e308, 1e308])) is None
    assert libm.fetestexcept(0x1D) == 0           # what the sum raised is cleared again
    libm.feraiseexcept(FE_OVERFLOW)
    assert native.mean(deque([0.25, 0.5])) == 0.375
    assert libm.fetestexcept(0x1D) == FE_OVERFLOW  # what was set before stays set
    libm.feclearexcept(0x1D)


# ------------------------------------------------------------ in the capture loop

class MeanCalls:
    """Counts the runs of numpy's own mean (numpy/_core/_methods.py: _mean)
    on this thread."""

    def __init__(self):
        self.count = 0

    def __call__(self, frame, event, arg):
        code = frame.f_code
        if event == "call" and code.co_name == "_mean" and "numpy" in code.co_filename:
            self.count += 1

    def __enter__(self):
        sys.setprofile(self)
        return self

    def __exit__(self, *exc):
        sys.setprofile(None)


def run(rec):
    try:
        return rec.vad_audio()
    except EndOfScript as e:
        return e


def window_at(threshold, n, above, rng):
    """A window of n probabilities on the edge of `threshold`, its newest value
    swept one step at a time: the first whose np.mean is above it, or the last
    that is not. From 8 values on, one that a plain left-to-right sum would
    put on the other side."""
    up = lambda x: float(np.nextafter(x, math.inf))  # noqa: E731
    down = lambda x: float(np.nextafter(x, -math.inf))  # noqa: E731
    for _ in range(10_000):
        w = [rng.random() for _ in range(n - 1)]
        x = n * threshold - math.fsum(w)
        if not 0.0 <= x <= 1.0:
            continue
        while np.mean(deque(w + [x])) > threshold:
            x = down(x)
        while np.mean(deque(w + [x])) <= threshold:
            x = up(x)
        window = w + [x if above else down(x)]
        if n < 8 or (sum(window) / n > threshold) != above:
            return window
    raise AssertionError("no such window")


@pytest.mark.parametrize("n", range(1, 11))
@pytest.mark.parametrize("threshold", [0.6, 0.35])
@pytest.mark.parametrize("above", [False, True])
def test_the_threshold_sees_numpy_s_mean(monkeypatch, n, threshold, above):
    """The last window at or below the threshold is not speech, the first one
    above it is. From 8 values on, a plain sum would decide otherwise."""
    window = window_at(threshold, n, above, random.Random(n))
    assert (np.mean(deque(window)) > threshold) == above
    staying = threshold == 0.35
    rig = Rig(M, monkeypatch, ([1.0] if staying else []) + [window[-1]], exact=False)
    # Entering speech: max_time 0 ends the capture at the first speech frame.
    # Staying in it: sld 0 ends it at the first frame that is not speech.
    rec = M.RecVoice(sld=0 if staying else 1, max_time=100 if staying else 0)
    at = 1 if staying else 0
    rig.stream.on_read = lambda i: setattr(rec, "hist", deque(window[:-1], maxlen=10)) \
        if i == at else None
    with MeanCalls() as calls:
        result = run(rec)
    assert calls.count == 0  # the native mean decided
    speech = not isinstance(result, EndOfScript)
    if staying:
        speech = not speech  # speech goes on, and the stream runs out
    assert speech == above


def windows_of(kind, rec):
    """Probabilities of `kind` from the detector, and the window they go to."""
    return {
        "floats": ([0.25, 0.75] * 3, None),
        "numpy floats": ([np.float64(0.25), np.float64(0.75)] * 3, None),
        "ints": ([0, 1] * 3, None),
        "a float subclass": ([type("F", (float,), {})(0.5)] * 6, None),
        "a list": ([0.25, 0.75] * 3, []),
        "a deque subclass": ([0.25, 0.75] * 3, type("D", (deque,), {})(maxlen=10)),
        "a long deque": ([0.25] * 6, deque([0.5] * 140)),
    }[kind]


@pytest.mark.parametrize("kind, native_too", [
    ("floats", True), ("numpy floats", False), ("ints", False), ("a float subclass", False),
    ("a list", False), ("a deque subclass", False), ("a long deque", False)])
def test_only_a_deque_of_floats_skips_numpy(monkeypatch, kind, native_too):
    probs, window = windows_of(kind, None)
    Rig(M, monkeypatch, probs, exact=False)
    rec = M.RecVoice()
    if window is not None:
        rec.hist = window
    with MeanCalls() as calls:
        assert isinstance(run(rec), EndOfScript)  # no speech: the script runs out
    assert calls.count == (0 if native_too else len(probs))


@pytest.mark.parametrize("np_kind", ["stand-in", "stand-in with numpy's mean", "patched numpy"])
def test_a_replaced_np_or_mean_is_called_with_the_window(monkeypatch, np_kind):
    seen = []
    numpy_mean = np.mean

    def mean(window):
        seen.append((window, tuple(window)))
        return numpy_mean(window)

    Rig(M, monkeypatch, [0.25, 0.75, 0.5], exact=False)
    if np_kind == "stand-in":
        monkeypatch.setattr(M, "np", numpy_with(mean=mean))
    elif np_kind == "stand-in with numpy's mean":
        monkeypatch.setattr(M, "np", numpy_with())
    else:
        monkeypatch.setattr(np, "mean", mean)
    rec = M.RecVoice()
    with MeanCalls() as calls:
        assert isinstance(run(rec), EndOfScript)
    if np_kind == "stand-in with numpy's mean":
        assert calls.count == 3
    else:
        assert [w for w, _ in seen] == [rec.hist] * 3
        assert [v for _, v in seen] == [(0.25,), (0.25, 0.75), (0.25, 0.75, 0.5)]


def test_a_numpy_mean_replaced_before_the_import_is_called(tmp_path):
    proc = run_python("""
        import numpy as np
        calls, numpy_mean = [], np.mean
        np.mean = lambda window: calls.append(len(window)) or numpy_mean(window)
        import cantorel.manage as M
        from listening_fakes import EndOfScript, Rig
        Rig(M, type("Patch", (), {"setattr": staticmethod(setattr)})(), [0.25, 0.5], exact=False)
        try:
            M.RecVoice().vad_audio()
        except EndOfScript:
            print(calls)
    """, env={"HOME": str(tmp_path)})
    assert proc.stdout == "[1, 2]\n", proc.stderr[-2000:]


def test_the_window_is_looked_up_as_before(monkeypatch):
    """`self.hist` is read twice each frame (append, mean), also when the mean is native."""
    Rig(M, monkeypatch, [0.25, 0.75], exact=False)
    reads = []

    class Watched(M.RecVoice):
        @property
        def hist(self):
            reads.append("hist")
            return self.__dict__["window"]

        @hist.setter
        def hist(self, value):
            self.__dict__["window"] = value

    rec = Watched()
    with MeanCalls() as calls:
        run(rec)
    assert reads == ["hist"] * 4 and calls.count == 0


@pytest.mark.parametrize("window, message", [
    ([1e308, 1e308], "overflow encountered in reduce"),
    ([math.inf, -math.inf], "invalid value encountered in reduce"),
    ([SNAN, 0.5], "invalid value encountered in reduce"),
])
def test_numpy_s_warnings_and_errors_come_as_before(monkeypatch, window, message):
    Rig(M, monkeypatch, window[-1:], exact=False)
    rec = M.RecVoice()
    rec.hist = deque(window[:-1], maxlen=10)
    with pytest.warns(RuntimeWarning, match=message):
        run(rec)
    rec.hist = deque(window[:-1], maxlen=10)
    rec.voicevd.script = iter(window[-1:])
    rec.stream.index = 0
    with np.errstate(all="raise"), pytest.raises(FloatingPointError, match=message) as info:
        rec.vad_audio()
    assert entries(info.value)[1] == ours("RecVoice.vad_audio", MEAN_LINE)


def test_an_underflowing_mean_raises_where_numpy_is_asked_to(monkeypatch):
    Rig(M, monkeypatch, [0.0], exact=False)
    rec = M.RecVoice()
    rec.hist = deque([5e-324], maxlen=10)
    with np.errstate(under="raise"), pytest.raises(FloatingPointError,
                                                   match="underflow") as info:
        rec.vad_audio()
    assert entries(info.value)[1] == ours("RecVoice.vad_audio", MEAN_LINE)
    # Under numpy's default the same window is quietly not speech.
    rec.hist = deque([5e-324], maxlen=10)
    rec.voicevd.script = iter([0.0])
    rec.stream.index = 0
    with MeanCalls() as calls:
        assert isinstance(run(rec), EndOfScript)
    assert calls.count == 1
