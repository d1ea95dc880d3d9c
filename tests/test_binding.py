"""How every method of cantorel.manage binds its arguments, type-tests them
and reports failures (the raw vectorcall and hostile keyword names: test_binding_raw.py).

Failures of binding happen before any body runs, so they are checked on the
module itself. Successful binding is checked on the probe (see conftest),
whose classes are built from the same method rows with every body replaced
by a recorder of the bound values, so no check depends on what a body does."""
import re
from pathlib import Path

import numpy as np
import pytest

import cantorel.manage as M
from conftest import entries, entry, ours
from signatures import (LINES, METHODS, NOTE, ROWS, call, call_shapes, check_binding_failure,
                        expected, function, is_static, method_name, parameters, recorder, row_id)


ROOT = Path(__file__).resolve().parent.parent

V, RT, AP, IN, OUT = (object.__new__(getattr(M, c)) for c in (
    "VoiceVD", "RecVoice_T", "AudioPlayer", "Input", "Output"))


class Bytes(bytes):
    pass


class Text(str):
    pass


def invoke(call, *args, **kwargs):
    """The caller's frame: the last traceback entry of a failure the module
    reports without an entry of its own."""
    return call(*args, **kwargs)


def check_failure(exc, kind, message, where):
    """`where` is (qualname, line) of the module's entry, or None for the caller's."""
    assert type(exc) is kind
    if message is not None and message.endswith(NOTE):
        head = message[: -len(NOTE)] + ". "
        assert str(exc).startswith(head)
        note = str(exc)[len(head):]
        assert re.search(r"subclass", note, re.I) and "rejected" in note
        assert "CANTOREL_ALLOW_SUBCLASSES" in note
    elif message is not None:
        assert str(exc) == message
    if where is None:
        assert entry(exc)[::2] == (__file__, "invoke")
        return
    assert entry(exc) == ours(*where)
    tb = exc.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    code = tb.tb_frame.f_code  # made for the entry: module globals, no locals
    assert tb.tb_frame.f_globals is M.__dict__ and tb.tb_frame.f_locals == {}
    assert (code.co_filename, code.co_firstlineno, code.co_name) == ours(*where)


def count(name, how, n, given):
    return f"{name}() takes {how} {n} positional argument{'' if n == 1 else 's'} ({given} given)"


# count failures: (id, callable, args, kwargs, qualname, how, n, given)
COUNTS = [
    ("reset-bound-extra", V.reset, (1,), {}, "VoiceVD.reset", "exactly", 1, 2),
    ("reset-none", M.VoiceVD.reset, (), {}, "VoiceVD.reset", "exactly", 1, 0),
    ("call-missing", M.VoiceVD.__call__, (V,), {}, "VoiceVD.__call__", "exactly", 2, 1),
    ("call-extra", V, (b"", b""), {}, "VoiceVD.__call__", "exactly", 2, 3),
    ("vvd-init-extra", M.VoiceVD, (1,), {}, "VoiceVD.__init__", "exactly", 1, 2),
    ("recvoice-six", M.RecVoice, (1, 2, 3, 4, 5), {}, "RecVoice.__init__", "at most", 4, 6),
    ("recvoice-none", M.RecVoice.__init__, (), {}, "RecVoice.__init__", "at least", 1, 0),
    ("recvoice-kw-only", M.RecVoice.__init__, (), {"sld": 1}, "RecVoice.__init__", "at least", 1, 0),
    ("count-before-type-test", M.RecVoice, (True, 1, 2, 3), {}, "RecVoice.__init__", "at most", 4, 5),
    ("input-empty", M.Input, (), {}, "Input.__init__", "at least", 2, 1),
    ("input-self-by-keyword", M.Input.__init__, (), {"self": IN, "sld": 1}, "Input.__init__",
     "at least", 2, 1),
    ("input-defaults-by-keyword", M.Input.__init__, (IN,), {"sld": 1, "max_time": 2},
     "Input.__init__", "at least", 2, 1),
    ("input-no-self", M.Input.__init__, (), {"asr_model": 1}, "Input.__init__", "at least", 2, 0),
    ("input-five", M.Input, (1, 2, 3, 4), {}, "Input.__init__", "at most", 4, 5),
    ("output-extra", M.Output, (1, 2), {}, "Output.__init__", "exactly", 2, 3),
    ("output-empty", M.Output, (), {}, "Output.__init__", "exactly", 2, 1),
    ("add-stream-missing", OUT._add_stream, (), {}, "Output._add_stream", "exactly", 2, 1),
    ("wait-all-extra", OUT._wait_all, (1, 2), {}, "Output._wait_all", "exactly", 1, 3),
    ("splitsen-class-one", M.Output._splitsen, ("t",), {}, "Output._splitsen", "at least", 2, 1),
    ("splitsen-instance-one", OUT._splitsen, ("t",), {}, "Output._splitsen", "at least", 2, 1),
    ("splitsen-four", OUT._splitsen, ("t", 0, ",", 1), {}, "Output._splitsen", "at most", 3, 4),
    ("play-class-none", M.AudioPlayer.play_audio, (), {}, "AudioPlayer.play_audio", "exactly", 1, 0),
    ("play-instance-two", AP.play_audio, (b"", b""), {}, "AudioPlayer.play_audio", "exactly", 1, 2),
    ("rvt-none", M.RecVoice_T.__init__, (), {}, "RecVoice_T.__init__", "at least", 1, 0),
    ("rvt-keywords-only", M.RecVoice_T.__init__, (), {"x": 1}, "RecVoice_T.__init__", "at least",
     1, 0),
]
# keyword failures; the first failing keyword decides: (id, callable, args, kwargs, qualname,
# "multiple" or "unexpected", keyword)
KEYWORDS = [
    ("input-multiple", M.Input, ("m",), {"asr_model": "m"}, "Input.__init__", "multiple", "asr_model"),
    ("input-unexpected", M.Input, ("m",), {"sld": 1, "bogus": 2}, "Input.__init__", "unexpected",
     "bogus"),
    ("input-unexpected-first", M.Input, ("m",), {"bogus": 1, "asr_model": 2}, "Input.__init__",
     "unexpected", "bogus"),
    ("input-multiple-first", M.Input, ("m",), {"asr_model": 2, "bogus": 1}, "Input.__init__",
     "multiple", "asr_model"),
    ("input-multiple-before-type-test", M.Input, ("m", True), {"sld": 1}, "Input.__init__",
     "multiple", "sld"),
    ("reset-self-twice", M.VoiceVD.reset, (V,), {"self": V}, "VoiceVD.reset", "multiple", "self"),
    ("reset-unexpected", V.reset, (), {"other": 1}, "VoiceVD.reset", "unexpected", "other"),
    ("rvt-self-twice", RT.__init__, (1,), {"self": RT}, "RecVoice_T.__init__", "multiple", "self"),
    ("splitsen-unexpected", M.Output._splitsen, ("t", 0), {"self": 1}, "Output._splitsen",
     "unexpected", "self"),
    ("play-instance-keyword", AP.play_audio, (b"",), {"audio_data": b""}, "AudioPlayer.play_audio",
     "multiple", "audio_data"),
]
# type tests, in parameter order, with no entry of the module:
# (id, callable, args, kwargs, parameter, expected, got or None, whether a subclass was rejected)
TYPES = [
    ("pcm-bytearray", V, (bytearray(2),), {}, "pcm_bytes", "bytes", "bytearray", False),
    ("pcm-none", M.VoiceVD.__call__, (V,), {"pcm_bytes": None}, "pcm_bytes", "bytes", "NoneType",
     False),
    ("pcm-subclass", V, (Bytes(b"\0\0"),), {}, "pcm_bytes", "bytes", "Bytes", True),
    ("sld-bool", M.RecVoice, (True,), {}, "sld", "int", "bool", True),
    ("sld-none", M.RecVoice, (None,), {}, "sld", "int", "NoneType", False),
    ("sld-numpy-int", M.RecVoice, (np.int64(4),), {}, "sld", "int", None, False),
    ("max-time-float", M.RecVoice, (1, 2.0), {}, "max_time", "int", "float", False),
    ("device-str", M.RecVoice, (), {"device_index": "0"}, "device_index", "int", "str", False),
    ("device-bool", M.RecVoice, (), {"device_index": False}, "device_index", "int", "bool", True),
    ("parameter-order", M.RecVoice, (), {"device_index": 1.5, "sld": True}, "sld", "int", "bool",
     True),
    ("input-max-time-none", M.Input, ("m",), {"max_time": None}, "max_time", "int", "NoneType",
     False),
    ("splitsen-text-bytes", M.Output._splitsen, (b"t", 0), {}, "text", "str", "bytes", False),
    ("splitsen-sep-none", OUT._splitsen, ("t", 0, None), {}, "sep", "str", "NoneType", False),
    ("splitsen-sep-subclass", M.Output._splitsen, ("t", 0, Text(",")), {}, "sep", "str", "Text",
     True),
    ("play-memoryview", M.AudioPlayer.play_audio, (memoryview(b""),), {}, "audio_data", "bytes",
     "memoryview", False),
]
KEYWORD_MESSAGES = {"multiple": "{}() got multiple values for keyword argument '{}'",
                    "unexpected": "{}() got an unexpected keyword argument '{}'"}
CASES = (
    [(i, f, a, k, TypeError, count(q.split(".")[1], *c), (q, LINES[q]))
     for i, f, a, k, q, *c in COUNTS]
    + [(i, f, a, k, TypeError, KEYWORD_MESSAGES[how].format(q.split(".")[1], kw), (q, LINES[q]))
       for i, f, a, k, q, how, kw in KEYWORDS]
    + [(i, f, a, k, TypeError, got and f"Argument '{p}' has incorrect type (expected {e}, got "
        f"{got})" + (NOTE if note else ""), None) for i, f, a, k, p, e, got, note in TYPES])


@pytest.mark.parametrize("call, args, kwargs, kind, message, where",
                         [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_binding(call, args, kwargs, kind, message, where):
    with pytest.raises(BaseException) as info:
        invoke(call, *args, **kwargs)
    check_failure(info.value, kind, message, where)
    assert [f[0] for f in entries(info.value)].count("cantorel/manage") == (where is not None)


def test_note_names_a_build_option_that_exists():
    with pytest.raises(TypeError) as info:
        M.RecVoice(True)
    note = str(info.value).split("). ", 1)[1]
    option = re.search(r"CANTOREL_ALLOW_SUBCLASSES", note).group(0)
    assert re.search(rf"option\(\s*{option}\b", (ROOT / "CMakeLists.txt").read_text())


# ---------------------------------------------- every call shape, every method

def same_values(row, got, want):
    """The probe's bound values against the Python twin's: what the caller
    passed is passed on as the very object, defaults and *args/**kwargs
    are equal values of the same type."""
    defaults = recorder(row).__defaults__ or ()
    assert type(got) is tuple and len(got) == len(want), (got, want)
    for g, w in zip(got, want):
        if any(w is d for d in defaults) or type(w) in (tuple, dict):
            assert type(g) is type(w) and g == w, (g, w)
        else:
            assert g is w, (g, w)


def outcomes(module, row):
    """Each call shape of the method in `module`, through the class and, where
    `self` is positional or the method is static, through an instance:
    (id, the call, what binding must give)."""
    cls = getattr(module, row[0])
    instance = object.__new__(cls)
    for shape, args, keywords, raw in call_shapes(row, instance):
        want = expected(row, args, keywords, raw)
        f = function(module, row)
        yield shape, lambda: call(f, args, keywords, raw), want
        if is_static(row):
            yield shape + "-instance", (lambda: call(getattr(instance, method_name(row)), args,
                                                     keywords, raw)), want
        elif args and args[0] is instance:
            bound = getattr(instance, method_name(row))
            yield shape + "-instance", lambda: call(bound, args[1:], keywords, raw), want


@pytest.mark.parametrize("row", METHODS, ids=row_id)
def test_binding_failures_of_every_shape(row):
    """Every call shape that binding refuses, on the module: the message, and
    one entry at the def line (none for a type test)."""
    refused = 0
    for shape, invoke_, (kind, message) in outcomes(M, row):
        if kind == "bound":
            continue  # would run the body
        refused += 1
        with pytest.raises(TypeError) as info:
            invoke_()
        check_binding_failure(info.value, row, kind, message)
    assert refused >= 10


@pytest.mark.parametrize("row", METHODS, ids=row_id)
def test_every_shape_binds_as_a_python_function(probe, row):
    """Every call shape on the probe: the bound values that a Python function
    with the same signature receives, or the failure the module reports."""
    probe.fail = None
    for shape, invoke_, (kind, want) in outcomes(probe, row):
        probe.bound = None
        if kind == "bound":
            assert invoke_() is None, shape
            same_values(row, probe.bound, want)
        else:
            with pytest.raises(TypeError) as info:
                invoke_()
            check_binding_failure(info.value, row, kind, want)
            assert probe.bound is None, shape


@pytest.mark.parametrize("row", METHODS, ids=row_id)
def test_the_probe_is_built_from_the_module_rows(probe, row):
    f, p = function(M, row), function(probe, row)
    assert type(f).__name__ == type(p).__name__ and f is not p
    for attr in ("__name__", "__qualname__", "__module__", "__defaults__", "__kwdefaults__",
                 "__annotations__", "__doc__"):
        assert getattr(f, attr) == getattr(p, attr), attr
    for attr in ("co_varnames", "co_argcount", "co_flags", "co_firstlineno", "co_name",
                 "co_filename", "co_posonlyargcount", "co_kwonlyargcount"):
        assert getattr(f.__code__, attr) == getattr(p.__code__, attr), attr
    assert [(k, type(v).__name__) for k, v in vars(getattr(M, row[0])).items()] == \
        [(k, type(v).__name__) for k, v in vars(getattr(probe, row[0])).items()]


# calls that bind, with the values they bind (SELF stands for the instance):
# (id, class, method or None for a call of the class, args, kwargs, via an instance)
BINDS = [
    ("recvoice-defaults", "RecVoice", None, (), {}, False),
    ("recvoice-none-device", "RecVoice", None, (1, 2), {"device_index": None}, False),
    ("recvoice-huge", "RecVoice", None, (10 ** 100, -10 ** 100, 2 ** 64), {}, False),
    ("input-keyword", "Input", None, (), {"asr_model": "m"}, False),
    ("input-all-keywords", "Input", "__init__", (),
     {"max_time": -2 ** 63, "self": "SELF", "sld": 2 ** 63, "asr_model": None}, False),
    ("rvt-extra", "RecVoice_T", None, (1, 2), {"x": 3}, False),
    ("rvt-self-keyword", "RecVoice_T", "__init__", (), {"self": "SELF", "sld": 1}, False),
    ("splitsen-keywords", "Output", "_splitsen", (), {"sep": "", "start": -1, "text": ""}, True),
    ("splitsen-class", "Output", "_splitsen", ("t", 0), {}, False),
    ("play-instance", "AudioPlayer", "play_audio", (), {"audio_data": b""}, True),
    ("reset-self-keyword", "VoiceVD", "reset", (), {"self": "SELF"}, False),
    ("call-keywords", "VoiceVD", "__call__", (), {"pcm_bytes": b"\0", "self": "SELF"}, False),
]


@pytest.mark.parametrize("cls, method, args, kwargs, via_instance", [b[1:] for b in BINDS],
                         ids=[b[0] for b in BINDS])
def test_calls_bind(probe, cls, method, args, kwargs, via_instance):
    probe.fail, probe.bound = None, None
    klass = getattr(probe, cls)
    instance = object.__new__(klass)
    kwargs = {k: instance if v == "SELF" else v for k, v in kwargs.items()}
    row = ROWS[f"{cls}.{method or '__init__'}"]
    if method is None:
        made = klass(*args, **kwargs)
        assert type(made) is klass and probe.bound[0] is made
        want = recorder(row)(made, *args, **kwargs)
    else:
        target = getattr(instance if via_instance else klass, method)
        assert target(*args, **kwargs) is None
        want = recorder(row)(*((instance,) if via_instance and not is_static(row) else ()),
                             *args, **kwargs)
    same_values(row, probe.bound, want)


@pytest.mark.parametrize("row", METHODS, ids=row_id)
def test_binding_comes_before_the_body(probe, row):
    """A body runs only after binding and reports its own failure at its own
    line; a binding failure stops before it, on the probe as in the module."""
    instance = object.__new__(getattr(probe, row[0]))
    names, required, collects = parameters(row)
    _, args, keywords, _ = call_shapes(row, instance)[0]  # the required parameters, by position
    assert keywords == [] and len(args) == required
    # too many (or, with *args, too few) positional arguments
    bad = [] if collects else args + [0] * (len(names) + 1 - len(args))
    refused = expected(row, bad, [])
    assert refused[0] == "binding"
    through_instance = not is_static(row)
    calls = [(function(probe, row), 0)] + (
        [(getattr(instance, method_name(row)), 1)] if through_instance else [])
    probe.fail = LookupError
    try:
        for f, skip in calls:
            probe.bound = None
            with pytest.raises(LookupError) as info:
                f(*args[skip:])
            assert info.value.args == (row_id(row),)
            assert [e for e in entries(info.value) if e[0] == "cantorel/manage"] == [
                ours(row_id(row), row[1] + 1)]
            same_values(row, probe.bound, recorder(row)(*args))
            if skip and collects:
                continue  # an instance always supplies self
            probe.bound = None
            with pytest.raises(TypeError) as info:
                f(*bad[skip:])
            check_binding_failure(info.value, row, *refused)
            assert probe.bound is None
    finally:
        probe.fail = None
    with pytest.raises(TypeError) as info:  # the module itself, the same way
        function(M, row)(*bad)
    check_binding_failure(info.value, row, *refused)
