"""Binding through the raw vectorcall: the keyword-names tuple as a call site
passes it, keyword names that are str subclasses or raise on comparison and
hashing, and a call site that binds by the shape it remembers."""
import ctypes
import sys
import traceback
import types

import numpy as np
import pytest

import cantorel.manage as M
from conftest import FakeSession, entry, ours
from signatures import LINES, OFFSET_FLAG, ROWS, TP_VECTORCALL_OFFSET, function, method_name, raw_vectorcall
from cantorel_dev.twin import line_of

V, RT, IN = (object.__new__(getattr(M, c)) for c in ("VoiceVD", "RecVoice_T", "Input"))


# ----------------------------------------------------------- raw vectorcall

def test_raw_vectorcall_reads_the_right_pointer():
    def plain(self):
        return self
    def other():
        pass
    off = ctypes.c_ssize_t.from_address(id(types.FunctionType) + TP_VECTORCALL_OFFSET).value
    found = ctypes.c_void_p.from_address(id(plain) + off).value
    try:  # exported until 3.12
        vectorcall = ctypes.cast(ctypes.pythonapi._PyFunction_Vectorcall, ctypes.c_void_p).value
    except AttributeError:  # every Python function stores the same one
        vectorcall = ctypes.c_void_p.from_address(id(other) + off).value
    assert found == vectorcall and found
    assert raw_vectorcall(plain, [], ("self",), (5,)) == 5


def _plain_twin(row):
    """The method as a module-level function: Python names it by its plain name."""
    ns = {}
    exec(f"def {row[2]}: pass", ns)
    return ns[method_name(row)]


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
    for target in (_plain_twin(row), function(M, row)):
        with pytest.raises(TypeError) as info:
            if raw:
                raw_vectorcall(target, args, tuple(kwargs), tuple(kwargs.values()))
            else:
                target(*args, **kwargs)
        messages.append(str(info.value))
    assert messages[0] == messages[1]
    assert entry(info.value) == ours(qualname, row[1])
    if raw:
        assert messages[0] == f"{method_name(row)}() keywords must be strings"


def test_duplicate_keyword_names():
    with pytest.raises(TypeError) as info:
        raw_vectorcall(M.Input.__init__, [IN, "m"], ("sld", "sld"), (1, 2))
    assert str(info.value) == "__init__() got multiple values for keyword argument 'sld'"
    assert entry(info.value) == ours("Input.__init__", LINES["Input.__init__"])


def test_arguments_offset_flag_is_masked(probe):
    probe.fail = None
    for names, values in [((), ()), (("start",), (0,))]:
        probe.bound = None
        assert raw_vectorcall(probe.Output._splitsen, ["t", 0][:2 - len(names)], names, values,
                              flag=OFFSET_FLAG) is None
        assert probe.bound == ("t", 0, probe.Output._splitsen.__defaults__[0])
    det = object.__new__(M.VoiceVD)  # the module's own fast path and binder
    det.sess, det.sr = FakeSession(), np.array(16000)
    det.state, det.ctx = np.zeros((2, 1, 128), np.float32), np.zeros((1, 64), np.float32)
    assert raw_vectorcall(M.VoiceVD.__call__, [det, b"\0\0"], flag=OFFSET_FLAG) == 0.25
    assert raw_vectorcall(M.VoiceVD.__call__, [det], ("pcm_bytes",), (b"\0\0",),
                          flag=OFFSET_FLAG) == 0.25
    assert len(det.sess.calls) == 2


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
def test_str_subclass_keywords_bind_by_content(armed, via_dict, probe):
    def call(f, args, names, values):
        if via_dict:
            HostileName.armed = False
            kwargs = dict(zip(names, values))
            HostileName.armed = True
            return f(*args, **kwargs)
        return raw_vectorcall(f, args, names, values)

    probe.fail, probe.bound = None, None
    call(probe.Output._splitsen, [], [HostileName("start"), HostileName("text")], [0, "t"])
    assert probe.bound == ("t", 0, probe.Output._splitsen.__defaults__[0])
    with pytest.raises(AttributeError) as info:  # the body ran on the bare instance
        call(M.VoiceVD.reset, [], [HostileName("self")], [V])
    assert entry(info.value) == ours("VoiceVD.reset", line_of("VoiceVD.reset", "self.state.fill"))
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
        assert entries[-2:] == [ours("RecVoice_T.__init__", LINES["RecVoice_T.__init__"]),
                                (__file__, entries[-1][1], "__hash__")]
        del info
    assert [sys.getrefcount(o) for o in (key, value, obj)] == before


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


def test_a_call_site_binds_the_same_way_every_time(probe):
    """A call site passes the same keyword-names tuple on every call; binding
    by the shape remembered from the last call must still bind each call's
    own values, apply the type tests and the fixed defaults, and notice a
    different number of positional arguments with the same names."""
    probe.fail = None
    inst = object.__new__(probe.RecVoice)
    f = probe.RecVoice.__init__
    for sld in [1, 2, 10 ** 30, True, 3, None, 4]:
        probe.bound = None
        try:
            f(inst, sld=sld, device_index=None)  # one call site: one kwnames tuple
        except TypeError as e:
            assert type(sld) is not int and "Argument 'sld' has incorrect type" in str(e)
            assert probe.bound is None
            continue
        assert type(sld) is int
        assert probe.bound[0] is inst and probe.bound[1] is sld and probe.bound[2:] == (5, None)
    names = ("max_time", "sld")
    for args, values, want in [((inst,), (7, 8), (inst, 8, 7, None)),
                               ((inst,), (9, 10), (inst, 10, 9, None)),
                               ((inst, 1), (7, 8), "multiple"),
                               ((inst,), (7, 8), (inst, 8, 7, None)),
                               ((), (7, 8), "at least")]:
        probe.bound = None
        try:
            raw_vectorcall(f, args, names, values)
        except TypeError as e:
            assert want in str(e) and probe.bound is None
        else:
            assert probe.bound == want
