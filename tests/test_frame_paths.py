"""VoiceVD.__call__ builds a frame's arrays in one pass while `np` is the numpy
the module imported and `ctx` a plain float32 row, and step by step through
`np` otherwise. The two must be indistinguishable: here the same frames go
through twin detectors, one with the genuine numpy and one with a stand-in
namespace holding the very same numpy functions (which forces the steps), and
everything observable is compared. Also: the model's one-element probability
is converted without numpy's deprecation warning."""
import tracemalloc
import types
import warnings

import numpy as np
import pytest

from cantorel_dev.twin import line_of
from conftest import entries, run_python

STAND_IN = types.SimpleNamespace(**vars(np))  # numpy's functions, not numpy


class Session:
    """Records what run receives (copied at the time) and returns `result(feed)`."""

    def __init__(self, result=None):
        self.feeds = []
        self.result = result or (lambda feed: (np.array([[0.25]], np.float32), feed["state"] + 1))

    def run(self, names, feed):
        self.feeds.append((names, list(feed), {k: describe(v) for k, v in feed.items()},
                           {k: v for k, v in feed.items()}))
        return self.result(feed)


def describe(a):
    """An array as plain values: type, dtype, shape, strides, flags, bytes."""
    if not isinstance(a, np.ndarray):
        return ("object", type(a).__name__, repr(a))
    flags = {k: a.flags[k] for k in ("C_CONTIGUOUS", "F_CONTIGUOUS", "OWNDATA", "WRITEABLE",
                                     "ALIGNED", "WRITEBACKIFCOPY")}
    return (type(a).__name__, a.dtype.str, a.shape, a.strides, flags, a.tobytes())


def detector(manage, ctx, result=None, cls=None):
    det = object.__new__(cls or manage.VoiceVD)
    det.sess = Session(result)
    det.state = np.zeros((2, 1, 128), np.float32)
    det.sr = np.array(16000, dtype=np.int64)
    if ctx is not None:
        det.ctx = ctx
    return det


def observe(manage, det, frame, np_value):
    """One call with `np` bound to np_value: everything one can see of it."""
    saved = manage.np
    manage.np = np_value
    state = det.state
    feeds = len(det.sess.feeds)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                result = det(frame)
                outcome = ("returned", type(result).__name__, result)
            except Exception as e:
                outcome = ("raised", type(e).__name__, str(e),
                           [x for x in entries(e) if x[0] == "cantorel/manage"])
    finally:
        manage.np = saved
    seen = {"outcome": outcome, "warnings": [(w.category.__name__, str(w.message)) for w in caught],
            "runs": len(det.sess.feeds) - feeds, "state_replaced": det.state is not state}
    if seen["runs"]:
        names, keys, described, feed = det.sess.feeds[-1]
        seen["feed"] = (names, keys, described, feed["state"] is state, feed["sr"] is det.sr)
        x = det.ctx.base if isinstance(det.ctx, np.ndarray) else None
        # the context is a view of x, which run got a copy of
        seen["x"] = (describe(x) if x is not None else None,
                     x is not None and x.base is None and feed["input"] is not x
                     and np.shares_memory(det.ctx, x) and not np.shares_memory(feed["input"], x))
    ctx = getattr(det, "ctx", None)
    seen["ctx"] = describe(ctx) if isinstance(ctx, np.ndarray) else repr(ctx)
    seen["state"] = describe(det.state) if isinstance(det.state, np.ndarray) else repr(det.state)
    return seen


def call_twice(manage, make, frames, result=None, cls=None):
    """The frames through a detector on genuine numpy and a twin on the stand-in."""
    dets = [detector(manage, make(), result, cls), detector(manage, make(), result, cls)]
    out = []
    for frame in frames:
        a = observe(manage, dets[0], frame, np)
        b = observe(manage, dets[1], frame, STAND_IN)
        assert a == b, (frame[:8], a, b)
        out.append(a)
    return out


def pcm(n, seed=0):
    return np.random.default_rng(seed).integers(-32768, 32768, n, dtype=np.int16).tobytes()


FRAMES = [pcm(512), pcm(256, 1), b"", pcm(1), pcm(512, 2), b"\x01", b"\x01" * 1023, pcm(2048, 3),
          pcm(7, 4), np.array([-32768, 0, 32767, 1, -1], np.int16).tobytes()]
CONTEXTS = {  # (makes the context, whether the one-pass path can take it)
    "zeros": (lambda: np.zeros((1, 64), np.float32), True),
    "values": (lambda: np.linspace(-1, 1, 64, dtype=np.float32)[None, :], True),
    "short": (lambda: np.ones((1, 10), np.float32), True),
    "empty": (lambda: np.zeros((1, 0), np.float32), True),
    "fortran": (lambda: np.asfortranarray(np.ones((1, 64), np.float32)), True),
    "long": (lambda: np.arange(300, dtype=np.float32)[None, :] / 300, True),
    "float64": (lambda: np.zeros((1, 64)), False),
    "big-endian": (lambda: np.ones((1, 64), ">f4"), False),
    "strided": (lambda: np.ones((1, 128), np.float32)[:, ::2], False),
    "two-rows": (lambda: np.zeros((2, 64), np.float32), False),
    "one-dimensional": (lambda: np.zeros(64, np.float32), False),
    "subclass": (lambda: np.zeros((1, 64), np.float32).view(type("Row", (np.ndarray,), {})),
                 False),
    "matrix": (lambda: np.asmatrix(np.zeros((1, 64), np.float32)), False),
    "list": (lambda: [[0.0] * 64], False),
    "int16": (lambda: np.zeros((1, 64), np.int16), False),
    "missing": (lambda: None, False),
}


@pytest.mark.parametrize("context", list(CONTEXTS))
def test_both_paths_see_the_same(manage, context):
    seen = call_twice(manage, CONTEXTS[context][0], FRAMES)
    if context == "zeros":  # the frames reach the model scaled, after the context
        assert seen[0]["outcome"][:2] == ("returned", "float") and seen[0]["x"][1]
        assert seen[5]["outcome"][:2] == ("raised", "ValueError")  # odd length
        assert seen[5]["runs"] == 0


def test_context_read_once_per_call(manage):
    reads = []

    class Counting(manage.VoiceVD):
        @property
        def ctx(self):
            reads.append(1)
            return self.__dict__["ctx"]

        @ctx.setter
        def ctx(self, value):
            self.__dict__["ctx"] = value

    for frame in (pcm(512), b"\x01", b""):
        for np_value in (np, STAND_IN):
            det = detector(manage, np.zeros((1, 64), np.float32), cls=Counting)
            reads.clear()
            manage.np = np_value
            try:
                det(frame)
            except ValueError:
                pass
            finally:
                manage.np = np
            assert len(reads) == 1 - len(frame) % 2


@pytest.mark.parametrize("result", [
    lambda feed: (np.float32(0.5), feed["state"]),
    lambda feed: [np.array([0.75], np.float64), feed["state"] * 2],
    lambda feed: (np.zeros(3), None),
    lambda feed: (),
    lambda feed: iter([1, 2, 3]),
    lambda feed: 1 / 0,
], ids=["scalar", "list", "three-elements", "empty", "iterator", "raises"])
def test_the_run_and_what_follows_are_the_same(manage, result):
    call_twice(manage, CONTEXTS["values"][0], [pcm(512), b"", pcm(512, 5)], result)


def test_a_patched_numpy_is_called(manage, monkeypatch):
    """A host's replacement of a numpy function takes the frame off the
    one-pass path, and back on it when undone."""
    calls = []
    real = np.frombuffer
    monkeypatch.setattr(np, "frombuffer", lambda *a, **k: calls.append(a) or real(*a, **k))
    det = detector(manage, np.zeros((1, 64), np.float32))
    det(pcm(512))
    assert len(calls) == 1
    monkeypatch.undo()
    det(pcm(512))
    assert len(calls) == 1


def peak_of(call):
    tracemalloc.reset_peak()
    before = tracemalloc.get_traced_memory()[0]
    call()
    return tracemalloc.get_traced_memory()[1] - before


def test_the_one_pass_path_is_taken(manage):
    """Witnessed by memory: on genuine numpy a call holds only x and the copy
    for the model; the steps hold the converted and scaled frame as well."""
    n = 1 << 16
    frame = pcm(n)
    dets = [detector(manage, np.zeros((1, 64), np.float32),
                     lambda feed: (np.float32(0.5), feed["state"])) for _ in range(2)]
    for d in dets:
        d.sess.run = lambda names, feed: (np.float32(0.5), feed["state"])
    tracemalloc.start()
    try:
        peaks = []
        for d, np_value in zip(dets, (np, STAND_IN)):
            manage.np = np_value
            try:
                d(frame)
                peaks.append(peak_of(lambda: d(frame)))
            finally:
                manage.np = np
    finally:
        tracemalloc.stop()
    one_array = 4 * n
    assert peaks[0] < 2.5 * one_array < peaks[1], peaks


# ------------------------------------------------------------ float(prob)

PROBS = [
    ("2-d", np.array([[0.625]], np.float32)),
    ("1-d", np.array([0.5], np.float64)),
    ("0-d", np.array(0.25, np.float32)),
    ("3-d", np.full((1, 1, 1), 0.125, np.float16)),
    ("big-endian", np.array([[0.75]], ">f8")),
    ("strided", np.arange(4, dtype=np.float32)[2::4].reshape(1, 1)),
    ("int", np.array([[3]], np.int64)),
    ("bool", np.array([True])),
    ("object", np.array([[0.5]], dtype=object)),
    ("object-str", np.array(["0.5"], dtype=object)),
    ("subclass", np.array([[0.375]], np.float32).view(type("Prob", (np.ndarray,), {}))),
    ("numpy-scalar", np.float32(0.875)),
    ("float", 0.0625),
]


def plain_float(prob):
    """What float() gives for the one element of an array of one element, on
    any numpy (newer ones refuse float() of an array with dimensions)."""
    if isinstance(prob, np.ndarray) and prob.size == 1:
        prob = prob.reshape(())
    return float(prob)


@pytest.mark.parametrize("name, prob", PROBS, ids=[p[0] for p in PROBS])
def test_one_element_probability_without_a_warning(manage, name, prob):
    det = detector(manage, np.zeros((1, 64), np.float32), lambda feed: (prob, feed["state"]))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        got = det(pcm(512))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        want = plain_float(prob)
    assert type(got) is float and got == want
    if type(prob) is float:
        assert got is prob


@pytest.mark.parametrize("prob, exc", [
    (np.zeros(2, np.float32), TypeError), (np.zeros((1, 0), np.float32), TypeError),
    (np.array(["speech"], dtype=object), ValueError), (np.array([[None]]), TypeError),
    (object(), TypeError)])
def test_other_probabilities_fail_as_float_does(manage, prob, exc):
    det = detector(manage, np.zeros((1, 64), np.float32), lambda feed: (prob, feed["state"]))
    with pytest.raises(exc) as info:
        det(pcm(512))
    with warnings.catch_warnings(), pytest.raises(exc) as plain:
        warnings.simplefilter("ignore")
        plain_float(prob)
    assert str(info.value) == str(plain.value)
    assert entries(info.value)[-1][:2] == ("cantorel/manage", line_of("VoiceVD.__call__", "return float("))


def test_a_subclass_conversion_of_its_own_is_used(manage):
    class Own(np.ndarray):
        def __float__(self):
            return 42.0
    prob = np.array([[0.5]], np.float32).view(Own)
    det = detector(manage, np.zeros((1, 64), np.float32), lambda feed: (prob, feed["state"]))
    assert det(pcm(512)) == 42.0


def test_real_model_under_deprecation_errors(model_home):
    proc = run_python("""
        import numpy as np
        import cantorel.manage as M
        d = M.VoiceVD()
        out = [d(np.full(512, v, np.int16).tobytes()) for v in (0, 3000, -3000, 0)]
        assert all(type(p) is float and 0.0 <= p <= 1.0 for p in out), out
        print('OK')
    """, env={"HOME": str(model_home), "PYTHONWARNINGS": "error::DeprecationWarning"})
    assert proc.returncode == 0 and proc.stdout.strip() == "OK", proc.stderr[-3000:]
