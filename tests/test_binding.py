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
from test_module import METHODS, _is_static, _method_name

ROOT = Path(__file__).resolve().parent.parent
NOTE = "<note>"  # stands for ". " and the note on rejected subclasses

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


def last_entry(exc):
    fs = traceback.extract_tb(exc.__traceback__)[-1]
    return fs.filename, fs.lineno, fs.name


def entry_of(where):
    if where is None:
        return __file__, None, "invoke"
    qualname, line = where
    return "cantorel/manage", line, f"cantorel.manage.{qualname}"


def check_failure(exc, kind, message, where):
    assert type(exc) is kind
    if message is not None and message.endswith(NOTE):
        head = message[: -len(NOTE)] + ". "
        assert str(exc).startswith(head)
        note = str(exc)[len(head):]
        assert re.search(r"subclass", note, re.I) and "rejected" in note
        assert "CANTOREL_ALLOW_SUBCLASSES" in note
    elif message is not None:
        assert str(exc) == message
    filename, line, name = last_entry(exc)
    want = entry_of(where)
    assert (filename, name) == (want[0], want[2])
    if want[1] is not None:
        assert line == want[1]
        tb = exc.__traceback__
        while tb.tb_next is not None:
            tb = tb.tb_next
        frame = tb.tb_frame  # made for the entry: module globals, no locals
        assert frame.f_globals is M.__dict__ and frame.f_locals == {}
        assert (frame.f_code.co_filename, frame.f_code.co_name, frame.f_code.co_firstlineno) == (
            filename, name, line)


def count(name, how, n, given):
    return f"{name}() takes {how} {n} positional argument{'' if n == 1 else 's'} ({given} given)"


def typed(param, expected, got, note=False):
    return f"Argument '{param}' has incorrect type (expected {expected}, got {got})" + (
        NOTE if note else "")


TE, NIE = TypeError, NotImplementedError
# (id, callable, args, kwargs, exception, message or None, (qualname, line) or None)
CASES = [
    # count messages: exactly / at most / at least, singular / plural
    ("reset-bound-extra", lambda: V.reset, (1,), {}, TE, count("reset", "exactly", 1, 2),
     ("VoiceVD.reset", 23)),
    ("reset-none", lambda: M.VoiceVD.reset, (), {}, TE, count("reset", "exactly", 1, 0),
     ("VoiceVD.reset", 23)),
    ("call-missing", lambda: M.VoiceVD.__call__, (V,), {}, TE,
     count("__call__", "exactly", 2, 1), ("VoiceVD.__call__", 27)),
    ("call-extra", lambda: V, (b"", b""), {}, TE, count("__call__", "exactly", 2, 3),
     ("VoiceVD.__call__", 27)),
    ("vvd-init-extra", lambda: M.VoiceVD, (1,), {}, TE, count("__init__", "exactly", 1, 2),
     ("VoiceVD.__init__", 14)),
    ("recvoice-six", lambda: M.RecVoice, (1, 2, 3, 4, 5), {}, TE,
     count("__init__", "at most", 4, 6), ("RecVoice.__init__", 44)),
    ("recvoice-none", lambda: M.RecVoice.__init__, (), {}, TE,
     count("__init__", "at least", 1, 0), ("RecVoice.__init__", 44)),
    ("recvoice-kw-only", lambda: M.RecVoice.__init__, (), {"sld": 1}, TE,
     count("__init__", "at least", 1, 0), ("RecVoice.__init__", 44)),
    ("input-empty", lambda: M.Input, (), {}, TE, count("__init__", "at least", 2, 1),
     ("Input.__init__", 158)),
    ("input-self-by-keyword", lambda: M.Input.__init__, (), {"self": IN, "sld": 1}, TE,
     count("__init__", "at least", 2, 1), ("Input.__init__", 158)),
    ("input-defaults-by-keyword", lambda: M.Input.__init__, (IN,), {"sld": 1, "max_time": 2},
     TE, count("__init__", "at least", 2, 1), ("Input.__init__", 158)),
    ("input-no-self", lambda: M.Input.__init__, (), {"asr_model": 1}, TE,
     count("__init__", "at least", 2, 0), ("Input.__init__", 158)),
    ("input-five", lambda: M.Input, (1, 2, 3, 4), {}, TE, count("__init__", "at most", 4, 5),
     ("Input.__init__", 158)),
    ("output-extra", lambda: M.Output, (1, 2), {}, TE, count("__init__", "exactly", 2, 3),
     ("Output.__init__", 198)),
    ("output-empty", lambda: M.Output, (), {}, TE, count("__init__", "exactly", 2, 1),
     ("Output.__init__", 198)),
    ("add-stream-missing", lambda: OUT._add_stream, (), {}, TE,
     count("_add_stream", "exactly", 2, 1), ("Output._add_stream", 263)),
    ("wait-all-extra", lambda: OUT._wait_all, (1, 2), {}, TE,
     count("_wait_all", "exactly", 1, 3), ("Output._wait_all", 287)),
    ("splitsen-class-one", lambda: M.Output._splitsen, ("t",), {}, TE,
     count("_splitsen", "at least", 2, 1), ("Output._splitsen", 220)),
    ("splitsen-instance-one", lambda: OUT._splitsen, ("t",), {}, TE,
     count("_splitsen", "at least", 2, 1), ("Output._splitsen", 220)),
    ("splitsen-four", lambda: OUT._splitsen, ("t", 0, ",", 1), {}, TE,
     count("_splitsen", "at most", 3, 4), ("Output._splitsen", 220)),
    ("play-class-none", lambda: M.AudioPlayer.play_audio, (), {}, TE,
     count("play_audio", "exactly", 1, 0), ("AudioPlayer.play_audio", 140)),
    ("play-instance-two", lambda: AP.play_audio, (b"", b""), {}, TE,
     count("play_audio", "exactly", 1, 2), ("AudioPlayer.play_audio", 140)),
    ("rvt-none", lambda: M.RecVoice_T.__init__, (), {}, TE, count("__init__", "at least", 1, 0),
     ("RecVoice_T.__init__", 114)),
    ("rvt-keywords-only", lambda: M.RecVoice_T.__init__, (), {"x": 1}, TE,
     count("__init__", "at least", 1, 0), ("RecVoice_T.__init__", 114)),
    # keywords: multiple values, unexpected, the first failing keyword decides
    ("input-multiple", lambda: M.Input, ("m",), {"asr_model": "m"}, TE,
     "__init__() got multiple values for keyword argument 'asr_model'", ("Input.__init__", 158)),
    ("input-unexpected", lambda: M.Input, ("m",), {"sld": 1, "bogus": 2}, TE,
     "__init__() got an unexpected keyword argument 'bogus'", ("Input.__init__", 158)),
    ("input-unexpected-first", lambda: M.Input, ("m",), {"bogus": 1, "asr_model": 2}, TE,
     "__init__() got an unexpected keyword argument 'bogus'", ("Input.__init__", 158)),
    ("input-multiple-first", lambda: M.Input, ("m",), {"asr_model": 2, "bogus": 1}, TE,
     "__init__() got multiple values for keyword argument 'asr_model'", ("Input.__init__", 158)),
    ("input-multiple-before-type-test", lambda: M.Input, ("m", True), {"sld": 1}, TE,
     "__init__() got multiple values for keyword argument 'sld'", ("Input.__init__", 158)),
    ("reset-self-twice", lambda: M.VoiceVD.reset, (V,), {"self": V}, TE,
     "reset() got multiple values for keyword argument 'self'", ("VoiceVD.reset", 23)),
    ("reset-unexpected", lambda: V.reset, (), {"other": 1}, TE,
     "reset() got an unexpected keyword argument 'other'", ("VoiceVD.reset", 23)),
    ("rvt-self-twice", lambda: RT.__init__, (1,), {"self": RT}, TE,
     "__init__() got multiple values for keyword argument 'self'", ("RecVoice_T.__init__", 114)),
    ("splitsen-unexpected", lambda: M.Output._splitsen, ("t", 0), {"self": 1}, TE,
     "_splitsen() got an unexpected keyword argument 'self'", ("Output._splitsen", 220)),
    ("play-instance-keyword", lambda: AP.play_audio, (b"",), {"audio_data": b""}, TE,
     "play_audio() got multiple values for keyword argument 'audio_data'",
     ("AudioPlayer.play_audio", 140)),
    ("count-before-type-test", lambda: M.RecVoice, (True, 1, 2, 3), {}, TE,
     count("__init__", "at most", 4, 5), ("RecVoice.__init__", 44)),
    # type tests: no entry of the module, parameter order decides
    ("pcm-bytearray", lambda: V, (bytearray(2),), {}, TE,
     typed("pcm_bytes", "bytes", "bytearray"), None),
    ("pcm-none", lambda: M.VoiceVD.__call__, (V,), {"pcm_bytes": None}, TE,
     typed("pcm_bytes", "bytes", "NoneType"), None),
    ("pcm-subclass", lambda: V, (Bytes(b"\0\0"),), {}, TE,
     typed("pcm_bytes", "bytes", "Bytes", note=True), None),
    ("sld-bool", lambda: M.RecVoice, (True,), {}, TE, typed("sld", "int", "bool", True), None),
    ("sld-none", lambda: M.RecVoice, (None,), {}, TE, typed("sld", "int", "NoneType"), None),
    ("max-time-float", lambda: M.RecVoice, (1, 2.0), {}, TE,
     typed("max_time", "int", "float"), None),
    ("device-str", lambda: M.RecVoice, (), {"device_index": "0"}, TE,
     typed("device_index", "int", "str"), None),
    ("device-bool", lambda: M.RecVoice, (), {"device_index": False}, TE,
     typed("device_index", "int", "bool", True), None),
    ("parameter-order", lambda: M.RecVoice, (), {"device_index": 1.5, "sld": True}, TE,
     typed("sld", "int", "bool", True), None),
    ("input-max-time-none", lambda: M.Input, ("m",), {"max_time": None}, TE,
     typed("max_time", "int", "NoneType"), None),
    ("splitsen-text-bytes", lambda: M.Output._splitsen, (b"t", 0), {}, TE,
     typed("text", "str", "bytes"), None),
    ("splitsen-sep-none", lambda: OUT._splitsen, ("t", 0, None), {}, TE,
     typed("sep", "str", "NoneType"), None),
    ("splitsen-sep-subclass", lambda: M.Output._splitsen, ("t", 0, Text(",")), {}, TE,
     typed("sep", "str", "Text", True), None),
    ("sld-numpy-int", lambda: M.RecVoice, (np.int64(4),), {}, TE, None, None),
    ("play-memoryview", lambda: M.AudioPlayer.play_audio, (memoryview(b""),), {}, TE,
     typed("audio_data", "bytes", "memoryview"), None),
    # bodies that are still pending run after binding: entry at the first line + 1
    ("recvoice-defaults", lambda: M.RecVoice, (), {}, NIE, None, ("RecVoice.__init__", 45)),
    ("recvoice-none-device", lambda: M.RecVoice, (1, 2), {"device_index": None}, NIE, None,
     ("RecVoice.__init__", 45)),
    ("recvoice-huge", lambda: M.RecVoice, (10 ** 100, -10 ** 100, 2 ** 64), {}, NIE, None,
     ("RecVoice.__init__", 45)),
    ("input-keyword", lambda: M.Input, (), {"asr_model": "m"}, NIE, None, ("Input.__init__", 159)),
    ("input-all-keywords", lambda: M.Input.__init__, (),
     {"max_time": -2 ** 63, "self": IN, "sld": 2 ** 63, "asr_model": None}, NIE, None,
     ("Input.__init__", 159)),
    ("rvt-extra", lambda: M.RecVoice_T, (1, 2), {"x": 3}, NIE, None, ("RecVoice_T.__init__", 115)),
    ("rvt-self-keyword", lambda: M.RecVoice_T.__init__, (), {"self": RT, "sld": 1}, NIE, None,
     ("RecVoice_T.__init__", 115)),
    ("splitsen-default-sep", lambda: M.Output._splitsen, ("t", 0), {}, NIE, None,
     ("Output._splitsen", 221)),
    ("splitsen-keywords", lambda: OUT._splitsen, (), {"sep": "", "start": -1, "text": ""}, NIE,
     None, ("Output._splitsen", 221)),
    ("play-instance", lambda: AP.play_audio, (), {"audio_data": b""}, NIE, None,
     ("AudioPlayer.play_audio", 141)),
    ("add-stream-any", lambda: M.Output._add_stream, (OUT, object()), {}, NIE, None,
     ("Output._add_stream", 264)),
]


@pytest.mark.parametrize("call, args, kwargs, kind, message, where",
                         [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_binding(call, args, kwargs, kind, message, where):
    with pytest.raises(BaseException) as info:
        invoke(call(), *args, **kwargs)
    check_failure(info.value, kind, message, where)
    module_entries = [fs for fs in traceback.extract_tb(info.value.__traceback__)
                      if fs.filename == "cantorel/manage"]
    assert len(module_entries) == (where is not None)


def test_note_names_a_build_option_that_exists():
    with pytest.raises(TypeError) as info:
        M.RecVoice(True)
    note = str(info.value).split("). ", 1)[1]
    option = re.search(r"CANTOREL_ALLOW_SUBCLASSES", note).group(0)
    assert re.search(rf"option\(\s*{option}\b", (ROOT / "CMakeLists.txt").read_text())


def _valid_args(row):
    values = {"self": object.__new__(getattr(M, row[0])), "asr_model": "m", "tts_model": "t",
              "llm_stream": iter(()), "audio_data": b"", "text": "t", "start": 0}
    f = getattr(getattr(M, row[0]), _method_name(row))
    params = [p for p in f.__code__.co_varnames[:f.__code__.co_argcount]]
    required = len(params) - len(f.__defaults__ or ())
    return f, [values[p] for p in params[:required]], len(params)


PENDING = [r for r in METHODS if r[0] != "VoiceVD"]


@pytest.mark.parametrize("row", PENDING, ids=lambda r: f"{r[0]}.{_method_name(r)}")
def test_pending_bodies_bind_first(row):
    cls, line = row[0], row[1]
    f, args, n_params = _valid_args(row)
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


@pytest.mark.parametrize("qualname, args, kwargs", [
    ("VoiceVD.reset", (V,), {"other": 1}),
    ("Input.__init__", (IN, "m"), {"sld": 1, "zzz": 2}),
    ("Output._splitsen", ("t",), {"start": 0, "end": 1}),
    ("AudioPlayer.play_audio", (), {"data": b""}),
])
def test_unexpected_keyword_reads_as_python(qualname, args, kwargs):
    row = ROWS[qualname]
    f = getattr(getattr(M, row[0]), _method_name(row))
    messages = []
    for target in (f, _twin(row)):
        with pytest.raises(TypeError) as info:
            target(*args, **kwargs)
        messages.append(str(info.value))
    assert messages[0] == messages[1]


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


@pytest.mark.parametrize("row", [ROWS["VoiceVD.reset"], ROWS["RecVoice_T.__init__"],
                                 ROWS["Output._splitsen"]], ids=lambda r: r[2][:12])
def test_non_string_keyword_names(row):
    f = getattr(getattr(M, row[0]), _method_name(row))
    args = ["t", 0] if _is_static(row) else [object.__new__(getattr(M, row[0]))]
    messages = []
    for target in (f, _twin(row)):
        with pytest.raises(TypeError) as info:
            raw_vectorcall(target, args, (1,), (2,))
        messages.append(str(info.value))
    assert messages[0] == messages[1] == f"{f.__name__}() keywords must be strings"
    assert last_entry(info.value)[0] != "cantorel/manage"
    with pytest.raises(TypeError) as info:
        raw_vectorcall(f, args, (1,), (2,))
    assert last_entry(info.value) == ("cantorel/manage", row[1], f"cantorel.manage.{row[0]}."
                                      f"{_method_name(row)}")


def test_duplicate_keyword_names():
    with pytest.raises(TypeError) as info:
        raw_vectorcall(M.Input.__init__, [IN, "m"], ("sld", "sld"), (1, 2))
    assert str(info.value) == "__init__() got multiple values for keyword argument 'sld'"
    assert last_entry(info.value) == ("cantorel/manage", 158, "cantorel.manage.Input.__init__")


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
    assert last_entry(info.value) == ("cantorel/manage", 24, "cantorel.manage.VoiceVD.reset")
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


def test_binding_keeps_reference_counts():
    value, text, obj = object(), "t" * 3, object.__new__(M.Input)
    before = [sys.getrefcount(o) for o in (value, text, obj)]
    for _ in range(50):
        for call in (lambda: M.Input.__init__(obj, value, bogus=value),
                     lambda: M.Input.__init__(obj, value, sld=True),
                     lambda: M.Input.__init__(obj, asr_model=value),
                     lambda: M.Output._splitsen(text, 0, text),
                     lambda: M.RecVoice_T.__init__(obj, value, text=value)):
            with pytest.raises((TypeError, NotImplementedError)):
                call()
    assert [sys.getrefcount(o) for o in (value, text, obj)] == before


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
    assert last_entry(info.value) == ("cantorel/manage", line, f"cantorel.manage.VoiceVD.{qual}")
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
    assert isinstance(det(FRAME), float)

    made = []
    monkeypatch.setattr(M, "ort", types.SimpleNamespace(
        InferenceSession=lambda path, providers: made.append((path, providers)) or "session"))
    assert M.VoiceVD().sess == "session"
    assert made == [(det.model_path, ["CPUExecutionProvider"])]
