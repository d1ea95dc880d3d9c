"""How every method of cantorel.manage binds its arguments, type-tests them
and reports failures; hostile arguments; module-global look-up at each use."""
import builtins
import ctypes
import inspect
import os
import re
import sys
import traceback
import types
from pathlib import Path

import numpy as np
import pytest

import cantorel.manage as M
from conftest import entries, entry, ours
from test_module import METHODS, _is_static, _method_name, valid_call

ROOT = Path(__file__).resolve().parent.parent
NOTE = "<note>"  # stands for ". " and the note on rejected subclasses

V, RT, AP, IN, OUT = (object.__new__(getattr(M, c)) for c in (
    "VoiceVD", "RecVoice_T", "AudioPlayer", "Input", "Output"))
LINES = {f"{r[0]}.{_method_name(r)}": r[1] for r in METHODS}


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
# pending bodies run after binding (entry at the def line + 1); each method's plain
# call is in test_pending_bodies_bind_first: (id, callable, args, kwargs, qualname)
BODIES = [
    ("recvoice-defaults", M.RecVoice, (), {}, "RecVoice.__init__"),
    ("recvoice-none-device", M.RecVoice, (1, 2), {"device_index": None}, "RecVoice.__init__"),
    ("recvoice-huge", M.RecVoice, (10 ** 100, -10 ** 100, 2 ** 64), {}, "RecVoice.__init__"),
    ("input-keyword", M.Input, (), {"asr_model": "m"}, "Input.__init__"),
    ("input-all-keywords", M.Input.__init__, (),
     {"max_time": -2 ** 63, "self": IN, "sld": 2 ** 63, "asr_model": None}, "Input.__init__"),
    ("rvt-extra", M.RecVoice_T, (1, 2), {"x": 3}, "RecVoice_T.__init__"),
    ("rvt-self-keyword", M.RecVoice_T.__init__, (), {"self": RT, "sld": 1}, "RecVoice_T.__init__"),
    ("splitsen-keywords", OUT._splitsen, (), {"sep": "", "start": -1, "text": ""},
     "Output._splitsen"),
    ("play-instance", AP.play_audio, (), {"audio_data": b""}, "AudioPlayer.play_audio"),
]
KEYWORD_MESSAGES = {"multiple": "{}() got multiple values for keyword argument '{}'",
                    "unexpected": "{}() got an unexpected keyword argument '{}'"}
CASES = (
    [(i, f, a, k, TypeError, count(q.split(".")[1], *c), (q, LINES[q]))
     for i, f, a, k, q, *c in COUNTS]
    + [(i, f, a, k, TypeError, KEYWORD_MESSAGES[how].format(q.split(".")[1], kw), (q, LINES[q]))
       for i, f, a, k, q, how, kw in KEYWORDS]
    + [(i, f, a, k, TypeError, got and f"Argument '{p}' has incorrect type (expected {e}, got "
        f"{got})" + (NOTE if note else ""), None) for i, f, a, k, p, e, got, note in TYPES]
    + [(i, f, a, k, NotImplementedError, None, (q, LINES[q] + 1)) for i, f, a, k, q in BODIES])


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


PENDING = [r for r in METHODS if r[0] != "VoiceVD"]


@pytest.mark.parametrize("row", PENDING, ids=lambda r: f"{r[0]}.{_method_name(r)}")
def test_pending_bodies_bind_first(row):
    cls, line = row[0], row[1]
    f, args, n_params = valid_call(row)
    where = (f"{cls}.{f.__name__}", line)
    with pytest.raises(NotImplementedError) as info:
        invoke(f, *args)
    check_failure(info.value, NotImplementedError, None, (where[0], line + 1))
    # too many (or, with *args, too few) arguments fail in binding, before the body
    collects = f.__code__.co_flags & inspect.CO_VARARGS
    bad = [] if collects else args + [0] * (n_params + 1 - len(args))
    with pytest.raises(TypeError) as info:
        invoke(f, *bad)
    check_failure(info.value, TypeError, None, where)
    if not _is_static(row):  # the same through an instance
        with pytest.raises(NotImplementedError):
            invoke(getattr(args[0], f.__name__), *args[1:])


# ------------------------------------------------------ differential checks

def _twin(row):
    ns = {}
    exec(f"def {row[2]}: pass", ns)
    return ns[_method_name(row)]


ROWS = {f"{r[0]}.{_method_name(r)}": r for r in METHODS}


# ----------------------------------------------------------- raw vectorcall

VECTORCALL = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object,
                               ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                               ctypes.py_object)
OFFSET_FLAG = 1 << (8 * ctypes.sizeof(ctypes.c_size_t) - 1)  # PY_VECTORCALL_ARGUMENTS_OFFSET
TP_VECTORCALL_OFFSET = 7 * ctypes.sizeof(ctypes.c_void_p)   # within PyTypeObject, 3.10


def raw_vectorcall(f, args, kwnames=(), kwvalues=(), flag=0):
    """Calls f through the vectorcall pointer it stores, as the interpreter would."""
    off = ctypes.c_ssize_t.from_address(id(type(f)) + TP_VECTORCALL_OFFSET).value
    pointer = ctypes.c_void_p.from_address(id(f) + off).value
    items = list(args) + list(kwvalues)
    array = (ctypes.py_object * max(1, len(items)))(*items)
    return VECTORCALL(pointer)(f, array, len(args) | flag, tuple(kwnames))


def test_raw_vectorcall_reads_the_right_pointer():
    def twin(self):
        return self
    expected = ctypes.cast(ctypes.pythonapi._PyFunction_Vectorcall, ctypes.c_void_p).value
    off = ctypes.c_ssize_t.from_address(id(types.FunctionType) + TP_VECTORCALL_OFFSET).value
    assert ctypes.c_void_p.from_address(id(twin) + off).value == expected
    assert raw_vectorcall(twin, [], ("self",), (5,)) == 5


@pytest.mark.parametrize("qualname, args, kwargs, raw", [
    ("VoiceVD.reset", (V,), {"other": 1}, False),
    ("Input.__init__", (IN, "m"), {"sld": 1, "zzz": 2}, False),
    ("Output._splitsen", ("t",), {"start": 0, "end": 1}, False),
    ("AudioPlayer.play_audio", (), {"data": b""}, False),
    ("VoiceVD.reset", (V,), {1: 2}, True),  # names that are not strings
    ("RecVoice_T.__init__", (RT,), {1: 2}, True),
    ("Output._splitsen", ("t", 0), {1: 2}, True),
])
def test_keyword_failures_read_as_python(qualname, args, kwargs, raw):
    row = ROWS[qualname]
    messages = []
    for target in (_twin(row), getattr(getattr(M, row[0]), _method_name(row))):
        with pytest.raises(TypeError) as info:
            if raw:
                raw_vectorcall(target, args, tuple(kwargs), tuple(kwargs.values()))
            else:
                target(*args, **kwargs)
        messages.append(str(info.value))
    assert messages[0] == messages[1]
    assert entry(info.value) == ours(qualname, row[1])
    if raw:
        assert messages[0] == f"{_method_name(row)}() keywords must be strings"


def test_duplicate_keyword_names():
    with pytest.raises(TypeError) as info:
        raw_vectorcall(M.Input.__init__, [IN, "m"], ("sld", "sld"), (1, 2))
    assert str(info.value) == "__init__() got multiple values for keyword argument 'sld'"
    assert entry(info.value) == ("cantorel/manage", 158, "cantorel.manage.Input.__init__")


def test_arguments_offset_flag_is_masked():
    with pytest.raises(NotImplementedError):
        raw_vectorcall(M.Output._splitsen, ["t", 0], flag=OFFSET_FLAG)
    with pytest.raises(NotImplementedError):
        raw_vectorcall(M.Output._splitsen, ["t"], ("start",), (0,), flag=OFFSET_FLAG)


# --------------------------------------------------------- hostile keywords

class Hostile(Exception):
    pass


class HostileName(str):
    """A keyword name whose __eq__ and __hash__ raise once armed."""
    armed = False

    def __eq__(self, other):
        if HostileName.armed:
            raise Hostile("__eq__")
        return str.__eq__(self, other)

    def __hash__(self):
        if HostileName.armed:
            raise Hostile("__hash__")
        return str.__hash__(self)


@pytest.fixture
def armed():
    HostileName.armed = True
    yield
    HostileName.armed = False


@pytest.mark.parametrize("via_dict", [True, False], ids=["star-star", "raw"])
def test_str_subclass_keywords_bind_by_content(armed, via_dict):
    def call(f, args, names, values):
        if via_dict:
            HostileName.armed = False
            kwargs = dict(zip(names, values))
            HostileName.armed = True
            return f(*args, **kwargs)
        return raw_vectorcall(f, args, names, values)

    with pytest.raises(NotImplementedError):
        call(M.Output._splitsen, [], [HostileName("text"), HostileName("start")], ["t", 0])
    with pytest.raises(AttributeError) as info:  # the body ran on the bare instance
        call(M.VoiceVD.reset, [], [HostileName("self")], [V])
    assert entry(info.value) == ("cantorel/manage", 24, "cantorel.manage.VoiceVD.reset")
    with pytest.raises(TypeError) as info:
        call(M.RecVoice_T.__init__, [RT], [HostileName("self")], [RT])
    assert str(info.value) == "__init__() got multiple values for keyword argument 'self'"
    with pytest.raises(TypeError) as info:
        call(M.VoiceVD.reset, [V], [HostileName("selfish")], [V])
    assert str(info.value) == "reset() got an unexpected keyword argument 'selfish'"


def test_hostile_hash_into_kwargs_propagates(armed):
    key, value, obj = HostileName("x"), object(), object.__new__(M.RecVoice_T)
    before = [sys.getrefcount(o) for o in (key, value, obj)]
    for _ in range(50):
        with pytest.raises(Hostile) as info:
            raw_vectorcall(M.RecVoice_T.__init__, [obj, 1], [key], [value])
        assert str(info.value) == "__hash__"
        entries = [(fs.filename, fs.lineno, fs.name)
                   for fs in traceback.extract_tb(info.value.__traceback__)]
        assert entries[-2:] == [("cantorel/manage", 114, "cantorel.manage.RecVoice_T.__init__"),
                                (__file__, entries[-1][1], "__hash__")]
        del info
    assert [sys.getrefcount(o) for o in (key, value, obj)] == before


# ------------------------------------------------- module globals at each use

FRAME = np.zeros(512, np.int16).tobytes()


@pytest.mark.parametrize("name, line, call", [
    ("np", 28, lambda det: det(FRAME)),
    ("os", 15, lambda det: M.VoiceVD()),
    ("ort", 18, lambda det: M.VoiceVD()),
    ("np", 19, lambda det: M.VoiceVD()),
])
def test_deleted_global_raises_name_error(vad_env, monkeypatch, name, line, call):
    det = M.VoiceVD()
    assert isinstance(det(FRAME), float)  # every global looked up (and cached) once
    value = getattr(M, name)
    monkeypatch.delattr(M, name)
    with pytest.raises(NameError) as info:
        call(det)
    assert str(info.value) == f"name '{name}' is not defined"
    qual = "__call__" if line >= 27 else "__init__"
    assert entry(info.value) == ("cantorel/manage", line, f"cantorel.manage.VoiceVD.{qual}")
    monkeypatch.setattr(builtins, name, value, raising=False)  # the built-ins come next
    call(det)
    monkeypatch.undo()
    call(det)


@pytest.mark.parametrize("key", ["self", HostileName("self")], ids=["str", "str-subclass"])
def test_reset_with_self_by_keyword(vad_env, key):
    det = M.VoiceVD()
    for _ in range(3):
        det(np.full(512, 12000, np.int16).tobytes())
    assert det.state.any() and det.ctx.any()
    kwargs = {key: det}
    HostileName.armed = True
    try:
        assert M.VoiceVD.reset(**kwargs) is None
    finally:
        HostileName.armed = False
    assert not det.state.any() and not det.ctx.any()
    assert det.state.shape == (2, 1, 128) and det.ctx.shape == (1, 64)


def test_rebound_globals_take_effect(model_home, monkeypatch, tmp_path):
    monkeypatch.setenv("HOME", str(tmp_path))  # the real ~/.cache holds no model here
    seen = []

    def expanduser(path):
        seen.append(path)
        return str(model_home / ".cache")

    monkeypatch.setattr(M, "os", types.SimpleNamespace(
        path=types.SimpleNamespace(expanduser=expanduser, join=os.path.join)))
    det = M.VoiceVD()
    assert seen == ["~/.cache"]
    assert det.model_path == str(model_home / ".cache" / "sonvale" / "voicevd.pt")
    assert isinstance(det(FRAME), float)  # a rebound ort: see test_voice_vd
