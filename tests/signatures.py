"""The methods' signatures, once for all tests, read from the module's Python
twin (cantorel_dev.twin): the class and def lines, each method's def statement and
local variables;
and what binding a call must give (the bound values, or the binding or
type-test failure and its message), worked out by calling a Python function
with the same signature. Nothing here runs a method body."""
import ast
import ctypes
import inspect
import re
import types

from conftest import entries, ours

from cantorel_dev import twin as _twin

_TWIN = _twin.load()
SEP = _TWIN.Output._splitsen.__defaults__[0]
# The classes with the line of their class statement, in source order.
CLASS_LINES = {node.name: node.lineno for node in ast.parse(_twin.SOURCE).body
               if isinstance(node, ast.ClassDef)}


def _row(cls, f):
    """(class, line of the def, the def statement after "def ", local variables)."""
    code = f.__code__
    params = code.co_argcount + bool(code.co_flags & inspect.CO_VARARGS) \
        + bool(code.co_flags & inspect.CO_VARKEYWORDS)
    return (cls, code.co_firstlineno, f"{f.__name__}{inspect.signature(f)}",
            " ".join(code.co_varnames[params:code.co_nlocals]))


METHODS = [_row(cls, getattr(value, "__func__", value))
           for cls in CLASS_LINES for value in vars(getattr(_TWIN, cls)).values()
           if isinstance(getattr(value, "__func__", value), types.FunctionType)]
# Annotated built-in types are tested for the exact type on entry.
TESTED = {"bytes": bytes, "int": int, "str": str}


def method_name(row):
    return row[2].split("(")[0]


def qualname(row):
    return f"{row[0]}.{method_name(row)}"


def is_static(row):
    return "(self" not in row[2]


def row_id(row):
    return qualname(row)


ROWS = {qualname(r): r for r in METHODS}
LINES = {q: r[1] for q, r in ROWS.items()}


def function(module, row):
    """The method's function object in `module` (cantorel.manage or the probe)."""
    return getattr(getattr(module, row[0]), method_name(row))


def _twin_source(body_of):
    """Python classes with the same def lines and signatures; `body_of(row)`
    is each method's one-line body."""
    lines = [""] * (len(_twin.SOURCE.splitlines()) + 1)  # as long as the twin, whatever it grows to
    for cls, line in CLASS_LINES.items():
        lines[line - 1] = f"class {cls}(RecVoice):" if cls == "RecVoice_T" else f"class {cls}:"
    for row in METHODS:
        cls, line, head, _ = row
        assert lines[line - 1] == lines[line] == ""
        lines[line - 1] = f"    def {head}: {body_of(row)}"
        if is_static(row):
            lines[line] = f"    {method_name(row)} = staticmethod({method_name(row)})"
    return "\n".join(lines)


TWINS = vars(_TWIN)


def twin(row):
    return getattr(TWINS[row[0]], method_name(row))


def _recording_body(row):
    """Returns the bound values: the parameters in order, then *args, **kwargs."""
    return "return (" + "".join(f"{p}, " for p in inspect.signature(twin(row)).parameters) + ")"


_RECORDERS = {}
exec(compile(_twin_source(_recording_body), "twin", "exec"), _RECORDERS)


def recorder(row):
    """A Python function with the method's signature that returns its bound values."""
    return getattr(_RECORDERS[row[0]], method_name(row))


def parameters(row):
    """(names of the parameters, number without a default, whether *args/**kwargs collect)."""
    f = recorder(row)
    code = f.__code__
    names = code.co_varnames[:code.co_argcount]
    return names, len(names) - len(f.__defaults__ or ()), bool(code.co_flags & inspect.CO_VARARGS)


def type_tests(row):
    """[(parameter, exact type, None allowed)] in parameter order."""
    sig = inspect.signature(recorder(row))
    return [(p.name, TESTED[p.annotation], p.default is None)
            for p in sig.parameters.values() if p.annotation in TESTED]


# ----------------------------------------------------------- raw vectorcall

VECTORCALL = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object,
                               ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                               ctypes.py_object)
OFFSET_FLAG = 1 << (8 * ctypes.sizeof(ctypes.c_size_t) - 1)  # PY_VECTORCALL_ARGUMENTS_OFFSET
TP_VECTORCALL_OFFSET = 7 * ctypes.sizeof(ctypes.c_void_p)   # within PyTypeObject, 3.10 to 3.13


def raw_vectorcall(f, args, kwnames=(), kwvalues=(), flag=0):
    """Calls f through the vectorcall pointer it stores, as the interpreter
    would: keyword names may repeat or be other objects than str."""
    off = ctypes.c_ssize_t.from_address(id(type(f)) + TP_VECTORCALL_OFFSET).value
    pointer = ctypes.c_void_p.from_address(id(f) + off).value
    items = list(args) + list(kwvalues)
    array = (ctypes.py_object * max(1, len(items)))(*items)
    return VECTORCALL(pointer)(f, array, len(args) | flag, tuple(kwnames))


def call(f, args, keywords, raw=False):
    """f(*args, **keywords); `keywords` is a list of pairs, passed as they are
    through a raw vectorcall when `raw`."""
    if raw:
        return raw_vectorcall(f, args, [k for k, _ in keywords], [v for _, v in keywords])
    return f(*args, **dict(keywords))


# ------------------------------------------------------------ expected outcomes

NOTE = "<note>"  # stands for ". " and the note on rejected subclasses


def count_message(name, how, n, given):
    return f"{name}() takes {how} {n} positional argument{'' if n == 1 else 's'} ({given} given)"


def expected(row, args, keywords, raw=False):
    """What binding gives for the call `method(*args, **keywords)` through the
    class (for an instance method `self` is args[0] or a keyword):
    ("bound", values), ("binding", message) or ("type", message)."""
    name = method_name(row)
    names, required, collects = parameters(row)
    n = len(names)

    def count(too_many, given):
        how = ("at least" if collects else "exactly" if required == n
               else "at most" if too_many else "at least")
        return ("binding", count_message(name, how, n if too_many else required, given))

    # Too many positional arguments fail before any keyword is looked at;
    # Python's own functions look at the keywords first.
    if len(args) > n and not collects:
        return count(True, len(args))
    try:
        values = call(recorder(row), args, keywords, raw)
    except TypeError as e:
        text = str(e)
        if text.endswith("keywords must be strings"):
            return "binding", f"{name}() keywords must be strings"
        m = re.search(r"got multiple values for argument '(.*)'$", text)
        if m:
            return "binding", f"{name}() got multiple values for keyword argument '{m[1]}'"
        m = re.search(r"got an unexpected keyword argument '(.*)'$", text)
        if m:
            return "binding", f"{name}() got an unexpected keyword argument '{m[1]}'"
        m = re.search(r"missing \d+ required positional arguments?: '(\w+)'", text)
        if m:  # given: the parameters before the first one missing
            return count(False, names.index(m[1]))
        raise
    for p, kind, none_ok in type_tests(row):
        value = values[names.index(p)]
        if type(value) is not kind and not (none_ok and value is None):
            got = type(value).__name__
            return "type", (f"Argument '{p}' has incorrect type (expected {kind.__name__}, "
                            f"got {got})" + (NOTE if isinstance(value, kind) else ""))
    return "bound", values


def check_message(exc, message):
    if message.endswith(NOTE):
        head = message[: -len(NOTE)] + ". "
        assert str(exc).startswith(head), str(exc)
        note = str(exc)[len(head):]
        assert re.search(r"subclass", note, re.I) and "rejected" in note
        assert "CANTOREL_ALLOW_SUBCLASSES" in note
    else:
        assert str(exc) == message


def check_binding_failure(exc, row, kind, message):
    """A TypeError of binding (one entry, at the def line) or of a type test
    (no entry of the module)."""
    assert type(exc) is TypeError, repr(exc)
    check_message(exc, message)
    ours_ = [e for e in entries(exc) if e[0] == "cantorel/manage"]
    assert ours_ == ([ours(qualname(row), row[1])] if kind == "binding" else []), ours_


# ------------------------------------------------------------ call shapes

class BytesSub(bytes):
    pass


class StrSub(str):
    pass


class IntSub(int):
    pass


VALID = {"asr_model": "m", "tts_model": "t", "audio_data": b"\0\0", "text": "a. b", "start": 0,
         "sld": 2, "max_time": 7, "device_index": 3, "sep": ".", "pcm_bytes": b""}
WRONG = {bytes: [bytearray(2), memoryview(b""), None, BytesSub(b"\0\0"), "\0\0"],
         int: [True, None, 1.5, IntSub(3), "4"],
         str: [b"t", None, StrSub("x"), 1]}


def call_shapes(row, instance):
    """Calls of every kind for the method, as (id, args, keywords, raw), with
    `self` (when the method has it) as `instance`: every split of the
    parameters into positional and keyword arguments, defaults left out,
    each required parameter missing, one too many, unexpected, repeated and
    non-str keywords, and each wrong type for each type-tested parameter."""
    names, required, collects = parameters(row)
    value = {**VALID, "self": instance, "llm_stream": iter(())}
    vals = [value[p] for p in names]
    shapes = [("positional-required", vals[:required], [], False),
              ("positional-all", vals, [], False)]
    for k in range(len(names) + 1):
        kw = list(zip(names[k:], vals[k:]))
        shapes.append((f"keywords-from-{k}", vals[:k], kw, False))
        shapes.append((f"keywords-from-{k}-reversed", vals[:k], kw[::-1], False))
        if k < required:
            shapes.append((f"required-keywords-from-{k}", vals[:k],
                           list(zip(names[k:required], vals[k:required])), False))
    for i in range(required):
        rest = [(p, v) for j, (p, v) in enumerate(zip(names, vals)) if j > i]
        shapes.append((f"missing-{names[i]}", vals[:i], rest, False))
    shapes += [
        ("one-too-many", vals + [0], [], False),
        ("too-many-and-unexpected", vals + [0], [("bogus", 1)], False),
        ("unexpected", vals[:required], [("bogus", 1)], False),
        ("unexpected-before-repeated", vals[:required], [("bogus", 1)] + (
            [(names[0], vals[0])] if names else []), False),
        ("non-str-keyword", vals[:required], [(1, 2)], True),
        ("non-str-keyword-after-unexpected", vals[:required], [("bogus", 1), (1, 2)], True),
    ]
    if collects:
        shapes += [("extra-positional-and-keywords", vals + [1, "two"],
                    [("x", 3), ("sld", True)], False),
                   ("extra-keywords-only", [], [("y", 1), ("self", instance), ("z", 2)], False),
                   ("extra-keyword-twice", vals, [("x", 1), ("x", 2)], True)]
    if names:
        shapes.append((f"repeated-{names[0]}", vals[:1], [(names[0], vals[0])], False))
        shapes.append((f"repeated-keyword-{names[-1]}", vals[:-1],
                       [(names[-1], vals[-1]), (names[-1], vals[-1])], True))
        shapes.append(("missing-before-unexpected", [], [("bogus", 1)], False))
    for p, kind, _ in type_tests(row):
        i = names.index(p)
        for j, wrong in enumerate(WRONG[kind]):
            bad = vals[:i] + [wrong] + vals[i + 1:]
            shapes.append((f"{p}-wrong-{j}-positional", bad, [], False))
            shapes.append((f"{p}-wrong-{j}-keyword", bad[:i], list(zip(names[i:], bad[i:])), False))
    if len(type_tests(row)) > 1:  # wrong types in several parameters: the first one decides
        tested = {p: kind for p, kind, _ in type_tests(row)}
        bad = [WRONG[tested[p]][0] if p in tested else v for p, v in zip(names, vals)]
        shapes.append(("all-wrong", bad, [], False))
        shapes.append(("all-wrong-keywords-reversed", [], list(zip(names, bad))[::-1], False))
    if "device_index" in names:
        shapes.append(("device-index-none", vals[:-1] + [None], [], False))
    return shapes

