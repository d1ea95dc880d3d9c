"""Reference and memory leaks: every method, called many times on its success
path and on each failure path. After a warm-up, the loop must leave the
reference counts of the objects it passes around unchanged and must not grow
the memory tracemalloc traces by more than a small bound. Exceptions are
dropped inside the loop so that no traceback stays alive. The messages
themselves are checked elsewhere; here a fragment only shows the path is taken."""
import re
import types

import numpy as np
import pytest

from conftest import assert_no_leak
from signatures import METHODS, call_shapes, expected, function, row_id

N, WARM_UP = 10_000, 200


class BytesSub(bytes):
    pass


class Env:
    """The objects a case passes around; `keep` are those whose counts must not move."""

    def __init__(self, manage, probe, monkeypatch, model_home, tmp_path):
        self.m, self.mp, self.model_home, self.tmp_path = manage, monkeypatch, model_home, tmp_path
        self.probe = probe
        self.marker, self.frame = object(), bytes(range(256)) * 4
        self.prob, self.fprob = np.array(0.25, np.float32), float("0.75")
        self.state = np.ones((2, 1, 128), np.float32)
        self.det = self.fake(lambda: (self.prob, self.state))
        self.keep = [self.marker, self.frame, self.prob, self.fprob, self.state, self.det,
                     self.det.sess, self.det.sr, self.det.ctx, manage.VoiceVD,
                     manage.VoiceVD.reset, manage.VoiceVD.__call__]

    def use(self, *objs):
        self.keep.extend(objs)
        return objs[-1]

    def fake(self, make):
        det = object.__new__(self.m.VoiceVD)
        det.sess = types.SimpleNamespace(run=lambda names, feed: make())
        det.state, det.ctx = np.zeros((2, 1, 128), np.float32), np.zeros((1, 64), np.float32)
        det.sr = np.array(16000, dtype=np.int64)
        return det

    def returns(self, make):
        """A call on a detector whose session's run does `make()`."""
        det = self.use(self.fake(make))
        return lambda: det(self.frame)

    def real(self):
        self.mp.setenv("HOME", str(self.model_home))
        det = self.use(self.m.VoiceVD())
        return self.use(det.sess) and det

    def patch(self, name, value=None):
        self.mp.setattr(self.m, name, value) if value else self.mp.delattr(self.m, name)


class Options(types.SimpleNamespace):
    def add_session_config_entry(self, key, value):
        self.entry = (key, value)


def fail():  # a fresh exception each time: a reused one collects tracebacks
    raise RuntimeError("model failed")


def _frame_of(make):
    def build(e):
        value = e.use(make(e.frame))
        return lambda: e.det(value)
    return build


def _method(row, module, shape, fail=None):
    """The method of cantorel.manage or of the probe (whose bodies only record
    the bound values, and raise a fresh `fail` when it is set), called in
    one of its call shapes."""
    def build(e):
        target = getattr(e, module)
        if module == "probe":
            e.mp.setattr(target, "fail", fail)
        instance = object.__new__(getattr(target, row[0]))
        args, keywords = next((a, k) for i, a, k, raw in call_shapes(row, instance) if i == shape)
        f = function(target, row)
        # small ints and short strings are shared by the whole process
        e.use(f, instance, *(v for v in [*args, *(v for _, v in keywords)]
                             if type(v) not in (int, str)))
        kwargs = dict(keywords)
        return lambda: f(*args, **kwargs)
    return build


# (name, expected exception or None, message fragment, builds the operation, iterations)
CASES = [
    # VoiceVD.__init__
    ("init-real-model", None, None, lambda e: e.real() and e.m.VoiceVD, 50),
    ("init-fake-ort", None, None, lambda e: e.patch("ort", types.SimpleNamespace(
        InferenceSession=lambda path, providers: e.marker)) or e.m.VoiceVD, N),
    ("init-fake-ort-options", None, None, lambda e: e.patch("ort", types.SimpleNamespace(
        SessionOptions=Options, InferenceSession=lambda path, sess_options,
        providers: e.marker)) or e.m.VoiceVD, N),
    ("init-options-fail", RuntimeError, "model failed", lambda e: e.patch(
        "ort", types.SimpleNamespace(SessionOptions=fail, InferenceSession=None)) or e.m.VoiceVD, N),
    ("init-model-missing", Exception, "voicevd.pt",
     lambda e: e.mp.setenv("HOME", str(e.tmp_path)) or e.m.VoiceVD, 1000),
    ("init-os-deleted", NameError, "'os'", lambda e: e.patch("os") or e.m.VoiceVD, N),
    ("init-ort-deleted", NameError, "'ort'", lambda e: e.patch("ort") or e.m.VoiceVD, N),
    ("init-too-many", TypeError, r"\(2 given\)", lambda e: lambda: e.m.VoiceVD(e.marker), N),
    ("init-unexpected-keyword", TypeError, "unexpected",
     lambda e: lambda: e.m.VoiceVD(path=e.marker), N),
    # reset
    ("reset-through-class", None, None, lambda e: lambda: e.m.VoiceVD.reset(e.det), N),
    ("reset-self-by-keyword", None, None, lambda e: lambda: e.m.VoiceVD.reset(self=e.det), N),
    ("reset-bound-method", None, None, lambda e: e.det.reset, N),
    ("reset-no-self", TypeError, r"\(0 given\)", lambda e: e.m.VoiceVD.reset, N),
    ("reset-multiple-values", TypeError, "multiple values",
     lambda e: lambda: e.m.VoiceVD.reset(e.det, self=e.det), N),
    ("reset-state-without-fill", AttributeError, "fill",
     lambda e: setattr(e.det, "state", e.marker) or e.det.reset, N),
    # __call__
    ("call-real-model", None, None, lambda e: (lambda det: lambda: det(e.frame))(e.real()), N),
    ("call-fake-session", None, None, lambda e: lambda: e.det(e.frame), N),
    ("call-keywords-through-class", None, None,
     lambda e: lambda: e.m.VoiceVD.__call__(pcm_bytes=e.frame, self=e.det), N),
    ("call-prob-is-float", None, None, lambda e: e.returns(lambda: [e.fprob, e.state]), N),
    ("call-result-iterated", None, None, lambda e: e.returns(lambda: iter((e.prob, e.state))), N),
    ("call-empty-frame", None, None, lambda e: lambda: e.det(b""), N),
    ("call-too-many", TypeError, r"\(3 given\)", lambda e: lambda: e.det(e.frame, e.frame), N),
    ("call-missing-frame", TypeError, r"\(1 given\)", lambda e: e.det, N),
    ("call-unexpected-keyword", TypeError, "unexpected",
     lambda e: lambda: e.det(e.frame, pcm=e.frame), N),
    ("call-multiple-values", TypeError, "multiple values",
     lambda e: lambda: e.det(e.frame, pcm_bytes=e.frame), N),
    ("call-odd-length", ValueError, "multiple of element size", _frame_of(lambda f: f[1:]), N),
    ("call-np-deleted", NameError, "'np'", lambda e: e.patch("np") or (lambda: e.det(e.frame)), N),
    ("call-run-returns-one", ValueError, "need more than 1", lambda e: e.returns(lambda: (e.prob,)),
     N),
    ("call-run-returns-three", ValueError, "too many",
     lambda e: e.returns(lambda: [e.prob, e.state, e.state]), N),
    ("call-run-iterates-none", ValueError, "need more than 0", lambda e: e.returns(lambda: iter(())),
     N),
    ("call-run-iterates-three", ValueError, "too many",
     lambda e: e.returns(lambda: iter((e.prob, e.state, e.state))), N),
    ("call-run-not-iterable", TypeError, "iteration over a 0-d", lambda e: e.returns(lambda: e.prob),
     N),
    ("call-prob-not-convertible", TypeError, "only",
     lambda e: e.returns(lambda: (np.zeros(3, np.float32), e.state)), N),
    ("call-run-raises", RuntimeError, "model failed", lambda e: e.returns(fail), N),
]


CASES += [(f"call-{name}", TypeError, f"got {type(make(b'')).__name__}", _frame_of(make), N)
          for name, make in [("bytearray", bytearray), ("memoryview", memoryview),
                             ("none", lambda f: None), ("bytes-subclass", BytesSub)]]
# Every method: binding that succeeds and a failure inside the body (on the
# probe), binding that fails (on the module); then the other ways to reach a body.
for r in METHODS:
    CASES += [
        (f"bound {row_id(r)}", None, None, _method(r, "probe", "positional-all"), N),
        (f"bound by keyword {row_id(r)}", None, None, _method(r, "probe", "keywords-from-0"), N),
        (f"body fails {row_id(r)}", RuntimeError, row_id(r), _method(r, "probe", "positional-all",
                                                                     RuntimeError), N),
    ]
    refused = [(i, expected(r, a, k)[1]) for i, a, k, raw in call_shapes(r, object())
               if not raw and expected(r, a, k)[0] == "binding"]
    CASES += [(f"{shape} {row_id(r)}", TypeError, re.escape(message), _method(r, "m", shape), N)
              for shape, message in refused[:2]]
BINDING_CASES = [  # (name, exception, fragment, module, class, method or None, args, kwargs); ... is a marker
    ("RecVoice()", None, None, "probe", "RecVoice", None, (), {}),
    ("RecVoice(all keywords)", None, None, "probe", "RecVoice", None, (),
     dict(sld=1, max_time=2, device_index=None)),
    ("RecVoice_T(extra arguments)", None, None, "probe", "RecVoice_T", None,
     (..., 2), dict(a=..., b=3)),
    ("RecVoice_T(extra arguments) fails", RuntimeError, "RecVoice_T", "probe", "RecVoice_T", None,
     (..., 2), dict(a=..., b=3)),
    ("AudioPlayer()", None, None, "probe", "AudioPlayer", None, (), {}),
    ("Input(model, 2, 3)", None, None, "probe", "Input", None, (..., 2, 3), {}),
    ("Output(model)", RuntimeError, "Output.__init__", "probe", "Output", None, (...,), {}),
    ("Output._splitsen(sep)", None, None, "probe", "Output", "_splitsen",
     ("a. b",), dict(start=0, sep=".")),
    ("Output._add_stream(keyword)", RuntimeError, "_add_stream", "probe", "Output",
     "_add_stream", (...,), dict(llm_stream=...)),
    ("RecVoice(sld=str)", TypeError, "got str", "m", "RecVoice", None, (), dict(sld="4")),
    ("RecVoice(sld=bool)", TypeError, r"got bool\)\. Subclasses", "m", "RecVoice", None, (True,),
     {}),
    ("RecVoice(device_index=float)", TypeError, "got float", "m", "RecVoice", None, (),
     dict(device_index=1.0)),
    ("RecVoice(too many)", TypeError, r"\(5 given\)", "m", "RecVoice", None, (1, 2, 3, 4), {}),
    ("RecVoice_T(self twice)", TypeError, "multiple values", "m", "RecVoice_T", "__init__", (...,),
     dict(self=...)),
    ("RecVoice_T.__init__()", TypeError, r"\(0 given\)", "m", "RecVoice_T", "__init__", (), {}),
    ("AudioPlayer.play_audio(str)", TypeError, "got str", "m", "AudioPlayer", "play_audio",
     ("x",), {}),
    ("Input()", TypeError, r"\(1 given\)", "m", "Input", None, (), {}),
    ("Input(max_time=str)", TypeError, "got str", "m", "Input", None, (...,), dict(max_time="3")),
    ("Output._splitsen(bytes)", TypeError, "got bytes", "m", "Output", "_splitsen", (b"x", 0), {}),
    ("Output._add_stream(unexpected)", TypeError, "unexpected", "m", "Output", "_add_stream",
     (..., ...), dict(x=1)),
]


def _bound_call(module, cls, method, args, kwargs, fail):
    def build(e):
        target = getattr(e, module)
        if module == "probe":
            e.mp.setattr(target, "fail", fail)
        fn = e.use(getattr(getattr(target, cls), method) if method else getattr(target, cls))
        a = tuple(e.marker if x is Ellipsis else x for x in args)
        kw = {k: (e.marker if v is Ellipsis else v) for k, v in kwargs.items()}
        return lambda: fn(*a, **kw)
    return build


CASES += [(name, exc, pattern, _bound_call(*rest, fail=exc if exc is RuntimeError else None), N)
          for name, exc, pattern, *rest in BINDING_CASES]


@pytest.mark.parametrize("build, exc, pattern, n", [c[3:4] + c[1:3] + c[4:] for c in CASES],
                         ids=[c[0] for c in CASES])
def test_no_leak(build, exc, pattern, n, manage, probe, monkeypatch, model_home, tmp_path):
    env = Env(manage, probe, monkeypatch, model_home, tmp_path)
    op = build(env)
    if exc is None:
        op()
    else:
        with pytest.raises(exc, match=pattern):
            op()
    assert_no_leak(op, env.keep, runs=n, warm_up=min(n // 5, WARM_UP), swallow=exc or ())
