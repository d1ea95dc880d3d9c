"""The module's Python twin: `manage.py` is the whole module as plain Python,
every statement on the source line that the native module reports for it,
so the twin's traceback entries carry the same lines (and, mapped by
`entries`, the same names). It is the oracle the differential tests run
against, the source of the method table (`signatures.py` reads it with
inspect) and the benchmarks' plain-Python and Cython contenders.

    from cantorel_dev import twin
    m = twin.load()                  # a fresh module object, imports done
    m.sa = fake_simpleaudio          # globals replaced as on the module
    m.Output(model)._add_stream(...)

Where the twin cannot follow the module (tests that depend on these stay
with the module alone):
- binding: the count and keyword messages are the module's own wording (the
  binding tests derive them from the twin's signatures); the exact-type
  tests on entry are the annotations, applied by `load(exact=True)` through
  a wrapper whose entries `entries` leaves out;
- the module calls the `print`, `super` and `staticmethod` it found at
  import, the twin whatever the names mean at each call; the twin's `range`
  (in `_splitsen`) is a native loop in the module, which calls no `range`;
- the exit guard (the interpreter's exit waits for a thread inside a model
  run) and the module-import steps (one module object per process, the
  version warning) have no Python statement;
- the twin's function objects are Python functions (`__code__` has byte
  code, `__defaults__` changed later changes what binding applies);
- the mends (`mends.py`) add traceback entries of their own, which
  `entries` leaves out."""
import functools
import inspect
import traceback
import types
from pathlib import Path

PATH = Path(__file__).with_name("manage.py")
MENDS = str(Path(__file__).with_name("mends.py"))
HERE = str(Path(__file__))
TESTED = {"bytes": bytes, "int": int, "str": str}
SUBCLASS_NOTE = ("Subclasses of built-in types are rejected by this build; rebuild with the "
                 "CMake option CANTOREL_ALLOW_SUBCLASSES=ON to accept them")
SOURCE = PATH.read_text()
CODE = compile(SOURCE, str(PATH), "exec")
NAME = "cantorel.manage"
MODULE_FILE = "cantorel/manage"


def _exact(f):
    """f, first testing its annotated built-in parameters for the exact type."""
    signature = inspect.signature(f)
    tested = [(name, TESTED[p.annotation], p.default is None)
              for name, p in signature.parameters.items() if p.annotation in TESTED]

    @functools.wraps(f)
    def checked(*args, **kwargs):
        bound = signature.bind(*args, **kwargs)
        bound.apply_defaults()
        for name, kind, none_ok in tested:
            value = bound.arguments[name]
            if type(value) is not kind and not (none_ok and value is None):
                note = isinstance(value, kind)
                raise TypeError(f"Argument '{name}' has incorrect type (expected "
                                f"{kind.__name__}, got {type(value).__name__})"
                                + (". " + SUBCLASS_NOTE if note else ""))
        return f(*args, **kwargs)
    return checked


def load(exact=False, **replacements):
    """A fresh module object holding the twin, named as the module, with
    `replacements` bound over its globals after its body ran; with `exact`
    the methods test their annotated parameters' types on entry."""
    mod = types.ModuleType(NAME)
    mod.__file__ = str(PATH)
    exec(CODE, mod.__dict__)
    mod.__dict__.update(replacements)
    for cls in [v for v in vars(mod).values() if isinstance(v, type) and v.__module__ == NAME]:
        for name, value in list(vars(cls).items()) if exact else ():
            f = getattr(value, "__func__", value)
            if isinstance(f, types.FunctionType) and any(
                    a in TESTED for a in f.__annotations__.values()):
                wrapped = _exact(f)
                setattr(cls, name, staticmethod(wrapped) if f is not value else wrapped)
    return mod


def _method_lines():
    """[(first line, qualname)] of every method, in source order."""
    mod = types.ModuleType(NAME)
    exec(CODE, mod.__dict__)
    out = []
    for value in vars(mod).values():
        if isinstance(value, type) and value.__module__ == NAME:
            for attr in vars(value).values():
                f = getattr(attr, "__func__", attr)
                if isinstance(f, types.FunctionType):
                    out.append((f.__code__.co_firstlineno, f.__qualname__))
    return sorted(out)


METHOD_LINES = _method_lines()


def qualname_at(line):
    """The method whose body holds `line`, or None for the module body."""
    found = None
    for first, qualname in METHOD_LINES:
        if first <= line:
            found = qualname
    return found


def entry_as_module(filename, line, name):
    """A traceback entry of the twin written as the module writes its own."""
    if filename != str(PATH):
        return filename, line, name
    qualname = qualname_at(line) if name != "<module>" else None
    return MODULE_FILE, line, f"{NAME}.{qualname}" if qualname else f"init {NAME}"


def entries(exc):
    """(file, line, name) of each traceback entry, the twin's written as the
    module's and the mends' left out, so the module's and the twin's compare equal."""
    return [entry_as_module(f.filename, f.lineno, f.name)
            for f in traceback.extract_tb(exc.__traceback__) if f.filename not in (MENDS, HERE)]


def line_of(qualname, statement, nth=None):
    """The line of the one statement (or the `nth`) that starts with
    `statement` in method `qualname` (its def line included; None: the
    module body): for the tests
    that cannot run through the twin (a signal, a thread the interpreter
    reports, a fresh interpreter) but name the line the module reports."""
    first = dict((q, f) for f, q in METHOD_LINES)[qualname] if qualname else 0
    found = [i for i, text in enumerate(SOURCE.splitlines(), 1)
             if i >= first and (qualname_at(i) == qualname or i == first)
             and text.strip().startswith(statement)]
    assert len(found) == 1 or nth is not None, (qualname, statement, found)
    return found[nth or 0]
