"""The import of cantorel.manage, its namespace and classes, and the
introspection data of its 24 methods, checked against Python twins."""
import collections
import copy
import importlib.machinery
import inspect
import os
import pickle
import queue
import threading
import time
import typing
import weakref

import numpy
import onnxruntime
import pyaudio
import pytest
import simpleaudio

import cantorel.manage as M
from conftest import check_python
from signatures import (CLASS_LINES, LINES, METHODS, SEP, TWINS, is_static, method_name,
                        row_id)
from cantorel_dev.twin import line_of


def _pair(row):
    cls, _, _, _ = row
    name = method_name(row)
    return getattr(getattr(M, cls), name), getattr(TWINS[cls], name)


# ------------------------------------------------------------- introspection

@pytest.mark.parametrize("row", METHODS, ids=row_id)
def test_method_introspection(row):
    cls, line, _, local = row
    f, twin = _pair(row)
    assert type(f).__name__ != "function"  # the native type, not a Python function
    assert (f.__name__, f.__qualname__, f.__module__) == (
        twin.__name__, f"{cls}.{twin.__name__}", "cantorel.manage")
    assert f.__qualname__ == twin.__qualname__
    assert f.__doc__ is None and f.__kwdefaults__ is None
    assert f.__defaults__ == twin.__defaults__
    assert f.__defaults__ is None or type(f.__defaults__) is tuple
    assert list(f.__annotations__.items()) == list(twin.__annotations__.items())
    assert all(type(v) is str for v in f.__annotations__.values())
    assert f.__globals__ is M.__dict__

    code, tcode = f.__code__, twin.__code__
    assert (code.co_filename, code.co_name, code.co_firstlineno) == (
        "cantorel/manage", twin.__name__, line)
    assert code.co_firstlineno == tcode.co_firstlineno
    for attr in ("co_argcount", "co_posonlyargcount", "co_kwonlyargcount", "co_varnames",
                 "co_nlocals"):
        assert getattr(code, attr) == getattr(tcode, attr), attr
    assert code.co_posonlyargcount == code.co_kwonlyargcount == 0
    flags = (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS | inspect.CO_OPTIMIZED
             | inspect.CO_NEWLOCALS)
    assert code.co_flags & flags == tcode.co_flags & flags
    assert code.co_varnames[code.co_argcount + bool(code.co_flags & inspect.CO_VARARGS)
                            + bool(code.co_flags & inspect.CO_VARKEYWORDS):] == tuple(local.split())

    assert inspect.signature(f) == inspect.signature(twin)
    assert str(inspect.signature(f)) == str(inspect.signature(twin))
    obj, tobj = object.__new__(getattr(M, cls)), object.__new__(TWINS[cls])
    bound, tbound = getattr(obj, f.__name__), getattr(tobj, f.__name__)
    assert inspect.signature(bound) == inspect.signature(tbound)
    if is_static(row):
        assert bound is f
    else:
        assert (bound.__func__, bound.__self__) == (f, obj)


def test_every_method_is_in_the_table():
    listed = {(c, method_name(r)) for r in METHODS for c in [r[0]]}
    found = {(c, k) for c in CLASS_LINES for k, v in vars(getattr(M, c)).items()
             if isinstance(v, staticmethod) or type(v) is type(M.VoiceVD.reset)}
    assert found == listed and len(listed) == 24


def test_functions_bind_as_python_functions():
    f = M.VoiceVD.__dict__["reset"]
    obj = object.__new__(M.VoiceVD)
    bound = f.__get__(obj)
    assert type(bound) is type(obj.reset) and bound.__func__ is f and bound.__self__ is obj
    assert f.__get__(obj, M.VoiceVD).__self__ is obj
    assert f.__get__(None, M.VoiceVD) is f
    assert M.VoiceVD.reset is f
    # any object binds, as with a Python function
    assert f.__get__(42).__self__ == 42
    assert bound == f.__get__(obj) and hash(bound) == hash(f.__get__(obj))


@pytest.mark.parametrize("row", METHODS, ids=row_id)
def test_functions_are_objects_as_python_functions_are(row):
    f, _ = _pair(row)
    assert pickle.loads(pickle.dumps(f)) is f and copy.deepcopy(f) is f
    ref = weakref.ref(f)
    assert ref() is f
    f.marker = row[1]
    try:
        assert f.__dict__ == {"marker": row[1]} and f.marker == row[1]
    finally:
        del f.marker
    assert f.__dict__ == {}
    assert repr(f).startswith(f"<function {f.__qualname__} at 0x")


@pytest.mark.parametrize("cls, name, replacement, call, bound", [
    ("RecVoice", "__init__", ("x", "y", "z"), lambda c: c.__init__(object.__new__(c)), (4, 5, None)),
    ("Input", "__init__", (1.5, None), lambda c: c.__init__(object.__new__(c), "model"),
     ("model", 1, 3)),
    ("Output", "_splitsen", (b"bytes",), lambda c: c._splitsen("text", 0), ("text", 0, SEP)),
    ("Output", "_splitsen", None, lambda c: c._splitsen("text", 0), ("text", 0, SEP)),
])
def test_replaced_defaults_change_introspection_only(probe, cls, name, replacement, call, bound):
    """Introspection reports the replacement; binding applies the fixed
    defaults (a replaced default that binding applied would fail the type
    test). Binding is seen on the probe, built from the same rows."""
    functions = [getattr(getattr(m, cls), name) for m in (M, probe)]
    saved = [f.__defaults__ for f in functions]
    try:
        for f in functions:
            f.__defaults__ = replacement
            assert f.__defaults__ == replacement
            if replacement is not None:
                assert [p.default for p in inspect.signature(f).parameters.values()
                        if p.default is not p.empty] == list(replacement)
        probe.fail, probe.bound = None, None
        assert call(getattr(probe, cls)) is None
        assert probe.bound[-len(bound):] == bound
        assert [type(v) for v in probe.bound[-len(bound):]] == [type(v) for v in bound]
    finally:
        for f, before in zip(functions, saved):
            f.__defaults__ = before
    assert [f.__defaults__ for f in functions] == saved


@pytest.mark.parametrize("attr, value, message", [
    ("__defaults__", 5, "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
    ("__annotations__", [], "__annotations__ must be set to a dict object"),
    ("__name__", None, "__name__ must be set to a string object"),
    ("__qualname__", b"x", "__qualname__ must be set to a string object"),
    ("__code__", None, "__code__ must be set to a code object"),
])
def test_attribute_setters_reject_as_python_functions_do(attr, value, message):
    def twin():
        pass
    for f in (M.Output._add_stream, twin):
        before = getattr(f, attr)
        with pytest.raises(TypeError) as info:
            setattr(f, attr, value)
        assert str(info.value) == message
        assert getattr(f, attr) is before


# ------------------------------------------------------ namespace and classes

IMPORTED = [("queue", queue), ("sa", simpleaudio), ("Optional", typing.Optional),
            ("Generator", typing.Generator), ("List", typing.List), ("Tuple", typing.Tuple),
            ("time", time), ("threading", threading), ("np", numpy),
            ("deque", collections.deque), ("os", os), ("pyaudio", pyaudio),
            ("ort", onnxruntime)]


def test_module_attributes():
    import builtins
    assert [n for n, v in IMPORTED if getattr(M, n) is not v] == []
    assert M.__builtins__ is builtins
    assert M.__name__ == "cantorel.manage" and M.__package__ == "cantorel"
    assert M.__doc__ is None
    assert isinstance(M.__loader__, importlib.machinery.ExtensionFileLoader)
    assert M.__loader__.path == M.__file__
    assert not hasattr(M, "__path__")
    assert type(M.__test__) is dict and M.__test__ == {}
    for absent in ("FORMAT", "RATE", "CHANNELS", "FRAME_SIZE"):
        assert not hasattr(M, absent)
    assert not [k for k, v in vars(M).items() if callable(v) and not isinstance(v, type)
                and not inspect.ismodule(v) and k not in dict(IMPORTED)]


@pytest.mark.parametrize("cls", list(CLASS_LINES))
def test_class_namespace(cls):
    klass, twin = getattr(M, cls), TWINS[cls]
    added = {"__dict__", "__weakref__", "__doc__"}
    assert [k for k in klass.__dict__ if k not in added] == \
        [k for k in twin.__dict__ if k not in added]
    assert list(klass.__dict__)[0] == "__module__"
    assert klass.__module__ == "cantorel.manage" and klass.__qualname__ == cls == klass.__name__
    assert klass.__doc__ is None and type(klass) is type
    assert [isinstance(v, staticmethod) for v in klass.__dict__.values()] == \
        [isinstance(v, staticmethod) for v in twin.__dict__.values()]
    for k, v in klass.__dict__.items():
        if isinstance(v, staticmethod):
            assert v.__func__ is getattr(klass, k) and type(v.__func__) is type(M.VoiceVD.reset)


def test_derived_class():
    assert M.RecVoice_T.__mro__ == (M.RecVoice_T, M.RecVoice, object)
    assert M.RecVoice_T.__bases__ == (M.RecVoice,)
    assert "__orig_bases__" not in M.RecVoice_T.__dict__
    assert M.RecVoice_T.vad_audio is M.RecVoice.vad_audio
    assert M.RecVoice_T.record_audio is M.RecVoice.record_audio
    assert "__weakref__" not in M.RecVoice_T.__dict__
    for cls in CLASS_LINES:
        if cls != "RecVoice_T":
            assert getattr(M, cls).__bases__ == (object,)


# -------------------------------------------------- import in fresh processes

def test_fresh_namespace_order_without_a_version_warning():
    check_python("""
        import sys, types
        # the interpreter the module was built by and for: no warning to fail on
        assert sys.warnoptions == ['error::RuntimeWarning']
        fake = sys.modules['pyaudio'] = types.ModuleType('pyaudio')  # taken from sys.modules
        import cantorel.manage as m
        assert [k for k in vars(m) if not k.startswith('__')] == [
            'queue', 'sa', 'Optional', 'Generator', 'List', 'Tuple', 'time', 'threading', 'np',
            'deque', 'os', 'pyaudio', 'ort', 'VoiceVD', 'RecVoice', 'RecVoice_T', 'AudioPlayer',
            'Input', 'Output']
        assert list(vars(m))[-1] == '__test__'
        assert sys.modules['cantorel.manage'] is m and m.pyaudio is fake
    """, env={"PYTHONWARNINGS": "error::RuntimeWarning"})


def test_reimport_returns_the_same_module_as_the_host_left_it():
    check_python("""
        import importlib, sys
        import cantorel.manage as m
        m.np = 'rebound'
        m.extra = 1
        del m.deque
        for _ in range(2):
            del sys.modules['cantorel.manage']
            m2 = importlib.import_module('cantorel.manage')
            assert m2 is m and sys.modules['cantorel.manage'] is m
            assert (m2.np, m2.extra, hasattr(m2, 'deque')) == ('rebound', 1, False)
        import cantorel.manage as m3
        assert m3 is m
    """)


def test_exec_on_a_second_module_object_is_refused():
    check_python(f"""
        import importlib.util, sys
        found = importlib.util.find_spec('cantorel.manage')
        m1 = importlib.util.module_from_spec(found)
        m2 = importlib.util.module_from_spec(found)
        found.loader.exec_module(m1)
        assert sys.modules['cantorel.manage'] is m1
        found.loader.exec_module(m1)  # the same object again: nothing runs
        e, tb = raises(RuntimeError, found.loader.exec_module, m2)
        assert str(e) == ("Module 'manage' has already been imported. "
                          "Re-initialisation is not supported."), e
        assert all(entry[0] != 'cantorel/manage' for entry in tb), tb
        assert not hasattr(m2, 'VoiceVD')
        import cantorel.manage as m
        assert m is m1 and sys.modules['cantorel.manage'] is m1
        e, tb = raises(TypeError, m1.Output._splitsen, 'x')
        assert str(e) == '_splitsen() takes at least 2 positional arguments (1 given)'
        assert tb[-1] == ('cantorel/manage', {LINES["Output._splitsen"]},
                          'cantorel.manage.Output._splitsen')
        # np is found; the bare instance has no context yet
        e, tb = raises(AttributeError, object.__new__(m1.VoiceVD), b'\\0\\0')
        assert 'ctx' in str(e) and tb[-1][1] == {line_of("VoiceVD.__call__", "x = ")}, tb
    """)


def test_create_step_copies_the_import_details():
    """Imported under another name: loader, origin, parent and search locations
    are copied, missing ones skipped, and the module is entered under its own
    name as well."""
    check_python("""
        import _imp, glob, importlib, os, sys, types, cantorel
        origin, = glob.glob(os.path.join(os.path.dirname(cantorel.__file__), 'manage.*.so'))

        class Broken:  # a failure other than AttributeError fails the create step
            name, origin = 'cantorel.manage', origin
            parent = property(lambda self: 1 / 0)
        raises(ZeroDivisionError, _imp.create_dynamic, Broken())
        details = types.SimpleNamespace(name='alias.manage', origin=origin,
                                     submodule_search_locations=['/nowhere'])
        m = _imp.create_dynamic(details)
        d = vars(m)
        assert m.__name__ == 'alias.manage' and d['__file__'] == origin
        assert d['__path__'] == ['/nowhere'] and d['__loader__'] is None
        assert d.get('__package__') is None
        assert 'cantorel.manage' not in sys.modules
        assert _imp.exec_dynamic(m) == 0
        assert sys.modules['cantorel.manage'] is m and 'alias.manage' not in sys.modules
        assert m.VoiceVD.__module__ == 'cantorel.manage'
        assert importlib.import_module('cantorel.manage') is m
    """)


@pytest.mark.parametrize("module, bound", [
    ("queue", "queue"), ("simpleaudio", "sa"), ("numpy", "np"), ("pyaudio", "pyaudio"),
    ("onnxruntime", "ort")])
def test_missing_module_fails_the_import_at_its_line(module, bound):
    line = line_of(None, f"import {module}")
    check_python(f"""
        import sys, importlib
        sys.modules[{module!r}] = None
        for attempt in range(2):
            e, tb = raises(ModuleNotFoundError, __import__, 'cantorel.manage')
            assert str(e) == 'import of {module} halted; None in sys.modules', e
            assert tb[-1] == ('cantorel/manage', {line}, 'init cantorel.manage'), tb
            assert sum(entry[0] == 'cantorel/manage' for entry in tb) == 1
            last = e.__traceback__
            while last.tb_next is not None:
                last = last.tb_next
            assert last.tb_frame.f_globals['__name__'] == 'cantorel.manage'
            assert last.tb_frame.f_code.co_firstlineno == {line} and last.tb_frame.f_locals == {{}}
            assert 'cantorel.manage' not in sys.modules
        del sys.modules[{module!r}]
        import cantorel.manage as m
        assert m.{bound} is importlib.import_module({module!r})
        assert m.VoiceVD.reset.__globals__ is vars(m) and m.__test__ == {{}}
        e, tb = raises(AttributeError, object.__new__(m.VoiceVD), b'\\0\\0')
        assert tb[-1] == ('cantorel/manage', {line_of("VoiceVD.__call__", "x = ")},
                          'cantorel.manage.VoiceVD.__call__'), tb
    """)


def test_failure_inside_an_imported_package_propagates(tmp_path):
    (tmp_path / "pyaudio.py").write_text("raise LookupError('broken device layer')\n")
    check_python(f"""
        import sys
        e, tb = raises(LookupError, __import__, 'cantorel.manage')
        assert type(e) is LookupError and e.args == ('broken device layer',)
        assert ('cantorel/manage', {line_of(None, "import pyaudio")},
                'init cantorel.manage') in tb, tb
        assert tb[-1][1:] == (1, '<module>'), tb
        assert 'cantorel.manage' not in sys.modules
    """, env={"PYTHONPATH": str(tmp_path)})


@pytest.mark.parametrize("module, names, absent", [
    ("collections", "deque", "deque"),
    ("typing", "Optional Generator List Tuple", "Tuple Generator"),  # first in list order
    ("typing", "Optional Generator List Tuple", "Tuple"),
])
def test_from_import_of_a_missing_name(module, names, absent):
    line = line_of(None, f"from {module} import")
    missing = next(n for n in names.split() if n in absent.split())
    check_python(f"""
        import sys, types
        import queue, simpleaudio, typing, time, threading, numpy, collections, os
        import pyaudio, onnxruntime
        real = sys.modules[{module!r}]
        fake = types.ModuleType({module!r})
        for n in {names!r}.split():
            if n not in {absent!r}.split():
                setattr(fake, n, getattr(real, n))
        sys.modules[{module!r}] = fake
        e, tb = raises(ImportError, __import__, 'cantorel.manage')
        assert type(e) is ImportError and str(e) == 'cannot import name {missing}', str(e)
        assert tb[-1] == ('cantorel/manage', {line}, 'init cantorel.manage'), tb
        assert 'cantorel.manage' not in sys.modules
        # an already imported submodule of that name stands in for the attribute
        markers = {{n: types.ModuleType({module!r} + '.' + n) for n in {absent!r}.split()}}
        sys.modules.update({{{module!r} + '.' + n: v for n, v in markers.items()}})
        import cantorel.manage as m
        for n in {names!r}.split():
            assert getattr(m, n) is markers.get(n, getattr(real, n))
    """)


# A second interpreter that shares the GIL (the only kind before 3.12; from
# 3.12 one with its own GIL refuses the module before it runs, as it does
# every module without per-interpreter support), and running code in it,
# raising what failed there.
SUBINTERPRETER = """
        if sys.version_info >= (3, 13):
            import _interpreters as interpreters
            cid = interpreters.create('legacy')
            def run_string(cid, code):
                failed = interpreters.run_string(cid, code)
                if failed is not None:
                    raise RuntimeError(failed.formatted)
        else:
            import _xxsubinterpreters as interpreters
            cid = interpreters.create(**({'isolated': False} if sys.version_info >= (3, 12) else {}))
            def run_string(cid, code):
                try:
                    interpreters.run_string(cid, code)
                except interpreters.RunFailedError as e:
                    raise RuntimeError(str(e))
"""


def test_second_interpreter_is_refused():
    check_python("""
        import sys
        import cantorel.manage as m
    """ + SUBINTERPRETER + f"""
        try:
            run_string(cid, "import cantorel.manage")
        except RuntimeError as e:
            assert "ImportError" in str(e)
            assert ("Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.") in str(e), e
        else:
            raise AssertionError('imported in a second interpreter')
        run_string(cid, "import sys; assert 'cantorel.manage' not in sys.modules")
        interpreters.destroy(cid)
        import importlib
        assert importlib.import_module('cantorel.manage') is m
        e, tb = raises(TypeError, m.VoiceVD.reset)
        assert str(e) == 'reset() takes exactly 1 positional argument (0 given)'
        assert tb[-1] == ('cantorel/manage', {LINES["VoiceVD.reset"]},
                          'cantorel.manage.VoiceVD.reset')
    """)


REFUSED = ("Interpreter change detected - this module can only be loaded into one "
           "interpreter per process.")


@pytest.mark.parametrize("first", ["failed in the main interpreter", "in a sub-interpreter",
                                   "failed in a sub-interpreter"])
def test_the_first_interpreter_to_import_keeps_the_module(first):
    """The interpreter of the first import, successful or not, is the only
    one that may import the module: a failed import does not hand it on, and
    a sub-interpreter that imported first keeps it even once destroyed. The
    process then ends cleanly."""
    check_python(f"""
        import sys
        FIRST = {first!r}
        REFUSED = {REFUSED!r}
        if sys.version_info >= (3, 13):
            import _interpreters as interpreters
            def run(code):
                cid = interpreters.create('legacy')
                try:
                    failed = interpreters.run_string(cid, code)
                    return None if failed is None else failed.formatted
                finally:
                    interpreters.destroy(cid)
        else:
            import _xxsubinterpreters as interpreters
            def run(code):
                # from 3.12 one with its own GIL refuses the module before it runs
                shared = {{'isolated': False}} if sys.version_info >= (3, 12) else {{}}
                cid = interpreters.create(**shared)
                try:
                    interpreters.run_string(cid, code)
                    return None
                except interpreters.RunFailedError as e:
                    return str(e)
                finally:
                    interpreters.destroy(cid)

        if FIRST == "failed in the main interpreter":
            sys.modules['numpy'] = None
            raises(ModuleNotFoundError, __import__, 'cantorel.manage')
            del sys.modules['numpy']
            assert REFUSED in run("import cantorel.manage")
            import cantorel.manage as m
            assert m.VoiceVD.reset.__globals__ is vars(m)
        else:
            fails = FIRST.startswith("failed")
            # onnxruntime's import never returns in a sub-interpreter: a stand-in
            code = ("import sys; sys.modules['numpy'] = None\\n" if fails else "") + '''
        import sys, types
        sys.modules['onnxruntime'] = types.ModuleType('onnxruntime')
        import cantorel.manage as m
        out = m.Output.__new__(m.Output)
        assert m.Output._splitsen("a. b", 0) == (2, ["a."])
        '''
            message = run(code)
            assert (message is not None and "ModuleNotFoundError" in message) if fails \\
                else message is None, message
            assert 'cantorel.manage' not in sys.modules
            e, tb = raises(ImportError, __import__, 'cantorel.manage')
            assert str(e) == REFUSED and 'cantorel.manage' not in sys.modules
            assert REFUSED in run("import cantorel.manage")
    """)
