"""The runtime's handlers (rt::try_except, rt::try_finally) against Python's
own try statement: bodies of the probe's class `Handlers`
(tests/native/handler_bodies.cpp) and Python twins with the same statements on
the same lines, called the same way in the same process. What is compared:
the result or the exception (type, message, its traceback entries, its
__context__ chain), what sys.exc_info() shows inside every callable the body
calls, and sys.exc_info() after the call, inside an outer handler or not."""
import builtins
import sys
import traceback

import pytest

from conftest import entries

# The twins, line for line; compiled as the file "cantorel/manage" and named
# as the module names its entries, so that their traceback entries read
# exactly as the native ones.
TWIN_LINES = {
    10: "def except_basic(region, handler):",
    11: "    try:",
    12: "        region()",
    13: "    except Exception as e:",
    14: "        handler(e)",
    15: "    return 'done'",
    20: "def finally_basic(region, cleanup):",
    21: "    try:",
    22: "        region()",
    23: "    finally:",
    24: "        cleanup()",
    25: "    return 'done'",
    30: "def except_finally(region, handler, cleanup):",
    31: "    try:",
    32: "        try:",
    33: "            region()",
    34: "        except Exception as e:",
    35: "            handler(e)",
    36: "    finally:",
    37: "        cleanup()",
    38: "    return 'done'",
    40: "def loop_except(items, handler):",
    41: "    for item in items:",
    42: "        try:",
    43: "            item()",
    44: "        except Exception as e:",
    45: "            handler(e)",
    46: "    return 'done'",
    50: "def except_in_finally(region, cleanup, handler):",
    51: "    try:",
    52: "        region()",
    53: "    finally:",
    54: "        try:",
    55: "            cleanup()",
    56: "        except Exception as e:",
    57: "            handler(e)",
    58: "    return 'done'",
    60: "def throw_cxx(kind, region):",  # `raise Thrown` stands for the C++ throw
    61: "    if kind != 'in_handler':",
    62: "        raise Thrown(kind)",
    63: "    try:",
    64: "        region()",
    65: "    except Exception:",
    66: "        raise Thrown(kind)",
}
SOURCE = "\n".join(TWIN_LINES.get(i, "") for i in range(1, max(TWIN_LINES) + 1))


def line_of(body, statement):
    """The twin's line of `statement` in `body`: the lines the native entries name."""
    first = next(i for i, text in TWIN_LINES.items() if text.startswith(f"def {body}("))
    return next(i for i, text in sorted(TWIN_LINES.items())
                if i > first and text.strip() == statement)


class Thrown(Exception):
    pass


def make_twins():
    ns = {"__name__": "cantorel.manage"}
    exec(compile(SOURCE, "cantorel/manage", "exec"), ns)
    for name in [k for k, v in ns.items() if callable(v)]:
        f = ns[name]
        f.__code__ = f.__code__.replace(co_name=f"cantorel.manage.Handlers.{name}")
    ns["Thrown"] = Thrown
    return ns


class Trouble(Exception):
    pass


class Outer(Exception):
    pass


def describe(exc, depth=0):
    """An exception and the chain of its contexts, as plain values."""
    if exc is None or depth > 4:
        return None
    return (type(exc).__name__, str(exc), entries(exc), exc.__suppress_context__,
            describe(exc.__cause__, depth + 1), describe(exc.__context__, depth + 1))


class Log:
    """Callables for the bodies to call; each notes what sys.exc_info() shows
    when it runs, and then returns or raises a fresh exception."""

    def __init__(self):
        self.notes = []

    def exc_info(self):
        kind, value, tb = sys.exc_info()
        if value is None:
            return None
        assert kind is type(value) and tb is value.__traceback__
        return describe(value)

    def step(self, name, raises=None, message=""):
        def run(*args):
            self.notes.append((name, [describe(a) if isinstance(a, BaseException) else a
                                      for a in args], self.exc_info()))
            if raises is not None:
                raise raises(f"{name}: {message or raises.__name__}")
        return run


def observe(body, make_args, *, outer=False):
    """Calls body(*make_args(log)) and describes everything seen."""
    log = Log()
    args = make_args(log)

    def call():
        try:
            return ("returned", body(*args))
        except BaseException as e:  # KeyboardInterrupt and SystemExit included
            return ("raised", describe(e))

    if outer:
        try:
            raise Outer("outer")
        except Outer:
            result = call()
            after = log.exc_info()
    else:
        result = call()
        after = log.exc_info()
    return result, log.notes, after


@pytest.fixture
def pair(probe):
    """(native, twin) for a body name, the probe's module namespace clean."""
    twins = make_twins()
    saved = dict(vars(probe))
    yield lambda name: (getattr(probe.Handlers, name), twins[name]), twins
    for key in [k for k in vars(probe) if k not in saved]:
        delattr(probe, key)


def compare(functions, make_args):
    native, twin = functions
    for outer in (False, True):
        n = observe(native, make_args, outer=outer)
        t = observe(twin, make_args, outer=outer)
        assert n == t, f"outer={outer}\nnative: {n}\ntwin:   {t}"
    return n


def ok(log, name):
    return log.step(name)


def raising(kind, message=""):
    return lambda log, name: log.step(name, kind, message)


REGIONS = {  # what the protected region does
    "succeeds": ok,
    "raises-exception": raising(Trouble),
    "raises-value-error": raising(ValueError, "bad value"),
    "raises-keyboard-interrupt": raising(KeyboardInterrupt),
    "raises-system-exit": raising(SystemExit),
    "raises-generator-exit": raising(GeneratorExit),
}
HANDLERS = {  # what the handler or the cleanup does
    "returns": ok,
    "raises": raising(LookupError, "in the handler"),
    "raises-keyboard-interrupt": raising(KeyboardInterrupt),
}


@pytest.mark.parametrize("handler", list(HANDLERS))
@pytest.mark.parametrize("region", list(REGIONS))
def test_except(pair, region, handler):
    get, _ = pair
    result, notes, _ = compare(get("except_basic"), lambda log: (
        REGIONS[region](log, "region"), HANDLERS[handler](log, "handler")))
    handled = region in ("raises-exception", "raises-value-error")
    assert [n[0] for n in notes] == ["region"] + (["handler"] if handled else [])
    if handled:  # the handler saw the exception as exc_info, with the method's entry on it
        assert notes[1][2][2][0] == ("cantorel/manage", line_of("except_basic", "region()"),
                                     "cantorel.manage.Handlers.except_basic")


@pytest.mark.parametrize("cleanup", list(HANDLERS))
@pytest.mark.parametrize("region", list(REGIONS))
def test_finally(pair, region, cleanup):
    get, _ = pair
    result, notes, _ = compare(get("finally_basic"), lambda log: (
        REGIONS[region](log, "region"), HANDLERS[cleanup](log, "cleanup")))
    assert [n[0] for n in notes] == ["region", "cleanup"]


# The two nestings: (body, its callables in the order it takes them, regions).
NESTED = {"except-then-finally": ("except_finally", ("handler", "cleanup"),
                                  ["succeeds", "raises-exception", "raises-keyboard-interrupt"]),
          "except-inside-finally": ("except_in_finally", ("cleanup", "handler"),
                                    ["succeeds", "raises-exception", "raises-system-exit"])}


@pytest.mark.parametrize("cleanup", list(HANDLERS))
@pytest.mark.parametrize("handler", list(HANDLERS))
@pytest.mark.parametrize("nesting, region", [(n, r) for n, (_, _, regions) in NESTED.items()
                                             for r in regions])
def test_nested_handlers(pair, nesting, region, handler, cleanup):
    get, _ = pair
    body, order, _ = NESTED[nesting]
    does = {"handler": HANDLERS[handler], "cleanup": HANDLERS[cleanup]}
    compare(get(body), lambda log: (
        REGIONS[region](log, "region"), *(does[name](log, name) for name in order)))


@pytest.mark.parametrize("handler", ["returns", "raises"])
def test_handler_in_a_loop(pair, handler):
    """Each pass gets a fresh traceback: no entry collects from earlier passes."""
    get, _ = pair
    result, notes, _ = compare(get("loop_except"), lambda log: (
        [log.step(f"item{i}", Trouble if i % 2 else None) for i in range(5)],
        HANDLERS[handler](log, "handler")))
    if handler == "returns":
        seen = [n[2] for n in notes if n[0] == "handler"]
        assert len(seen) == 2 and all(len(s[2]) == 2 for s in seen)


def test_the_class_is_looked_up_when_the_clause_runs(pair, probe):
    """A module global `Exception` shadows the built-in, and one rebound by
    the region itself is the one the clause matches against."""
    get, twins = pair
    for ns in (vars(probe), twins):
        ns["Exception"] = KeyError
    compare(get("except_basic"), lambda log: (
        raising(Trouble)(log, "region"), ok(log, "handler")))  # not a KeyError: passes
    compare(get("except_basic"), lambda log: (
        raising(KeyError)(log, "region"), ok(log, "handler")))

    def rebinding(log):
        def region():
            for ns in (vars(probe), twins):
                ns["Exception"] = Trouble
            raise Trouble("rebound")
        return region, ok(log, "handler")

    for ns in (vars(probe), twins):
        ns["Exception"] = KeyError
    n = observe(get("except_basic")[0], rebinding)
    for ns in (vars(probe), twins):
        ns["Exception"] = KeyError
    t = observe(get("except_basic")[1], rebinding)
    assert n == t and n[0] == ("returned", "done")


def test_a_missing_class_fails_at_the_clause(pair, probe):
    """NameError at the except line, with the exception being handled as its
    context, as the interpreter reports it."""
    get, _ = pair
    saved = builtins.Exception
    del builtins.Exception
    try:
        results = [observe(f, lambda log: (raising(Trouble)(log, "region"), ok(log, "handler")))
                   for f in get("except_basic")]
    finally:
        builtins.Exception = saved
    assert results[0] == results[1]
    (kind, described), notes, _ = results[0]
    assert kind == "raised" and described[:2] == ("NameError", "name 'Exception' is not defined")
    assert described[2][-1] == ("cantorel/manage", line_of("except_basic", "except Exception as e:"),
                                "cantorel.manage.Handlers.except_basic")
    assert described[5][0] == "Trouble"


@pytest.mark.parametrize("kind, exc, message", [
    ("runtime_error", SystemError, "throw_cxx: thrown as runtime_error"),
    ("int", SystemError, "throw_cxx: unknown C++ exception"),
    ("bad_alloc", MemoryError, ""),
    ("error_set", ValueError, "pending when thrown"),
    ("error_not_set", SystemError, "throw_cxx: failed without setting an exception"),
    ("in_handler", SystemError, "throw_cxx: thrown as in_handler"),
])
def test_cxx_exceptions_become_python_errors(probe, kind, exc, message):
    """No C++ exception reaches the interpreter; one thrown while a handler
    runs leaves sys.exc_info() as it was before the body ran. The error's
    entry names the line of the throw, as the twin's does its raise."""
    log = Log()
    twin_throw = make_twins()["throw_cxx"]
    for outer in (False, True):
        try:
            if outer:
                raise Outer("outer")
        except Outer:
            pass
        result, notes, after = observe(probe.Handlers.throw_cxx, lambda log: (
            kind, log.step("region", Trouble)), outer=outer)
        twin_result, twin_notes, twin_after = observe(twin_throw, lambda log: (
            kind, log.step("region", Trouble)), outer=outer)
        assert result[0] == twin_result[0] == "raised" and notes == twin_notes
        name, text, tb, _, cause, context = result[1]
        assert (name, text) == (exc.__name__, message)
        assert tb[-1] == twin_result[1][2][-1]
        assert (after is not None) == outer and (after is None or after[0] == "Outer")
        assert after == twin_after
        assert log.exc_info() is None


@pytest.mark.parametrize("kind, exc, message", [
    ("runtime_error", SystemError, "init _cantorel_probe: thrown as runtime_error"),
    ("int", SystemError, "init _cantorel_probe: unknown C++ exception"),
    ("error_set", ValueError, "pending when thrown"),
])
def test_import_step_turns_cxx_exceptions_into_the_import_error(probe, kind, exc, message):
    """The import's exec step runs its statements as the module's does: any
    C++ exception ends the import with a Python error at the failing line."""
    with pytest.raises(exc) as caught:
        probe.module_step(kind)
    assert str(caught.value) == message
    entry = traceback.extract_tb(caught.value.__traceback__)[-1]
    assert (entry.name, entry.lineno) == ("init _cantorel_probe", 4)
