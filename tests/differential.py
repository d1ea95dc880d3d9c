"""The differential harness: one scripted scenario runs through the module and
through its Python twin (cantorel_dev.twin), each with its own fakes built from the
same seed, and everything observable is written down for comparison: return
values, attributes, printed lines, queue contents, exceptions with their
traceback entries and `__context__`, exceptions that ended a thread, and the
calls the fakes saw.

A scenario is `scenario(m, rng, seen)`: `m` is the module or a fresh twin,
`rng` a random.Random seeded alike for both, `seen` the record. It replaces
globals with `seen.setattr(m, name, value)` (undone after the run), calls
methods through `seen.attempt(label, fn, *args)` and notes anything else with
`seen.note(label, value)`. Exceptions that end a thread are compared as a
set (a worker may end after the call that waited for its last item)."""
import contextlib
import io
import random
import re
import threading

import numpy as np

import cantorel.manage as M
from cantorel_dev import twin

_ABSENT = object()
FLUSH = "<flush>"


def describe(value, depth=0):
    """A picture of `value` that compares equal across the two runs: objects
    that are not plain data by their type's name."""
    if depth > 6:
        return "..."
    if isinstance(value, BaseException):
        return failure(value, depth)
    if isinstance(value, np.ndarray):
        return ("ndarray", value.dtype.str, value.shape, value.flags.writeable,
                type(value.base).__name__, value.tolist())
    if isinstance(value, np.generic):
        return (type(value).__name__, repr(value.item()))
    if isinstance(value, float):
        return ("float", repr(value))
    if isinstance(value, (str, bytes, int, type(None))):
        return (type(value).__name__, value)
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [describe(v, depth + 1) for v in value])
    if isinstance(value, dict):
        return ("dict", [(k, describe(v, depth + 1)) for k, v in value.items()])
    if isinstance(value, type):
        return ("class", value.__qualname__)
    return ("object", type(value).__qualname__)


def failure(e, depth=0):
    """An exception: its type, message, traceback entries (the twin's written as
    the module's) and, through `__context__`, what it replaced."""
    context = e.__context__
    try:
        text = str(e)
    except Exception:  # noqa: B902  an exception whose text fails is compared by type
        text = "<no text>"
    return ("raised", type(e).__qualname__, text, twin.entries(e),
            None if context is None else failure(context, depth + 1) if depth < 4 else "...",
            e.__suppress_context__)


class Seen:
    """What one run of a scenario showed."""

    def __init__(self):
        self.log, self.lock, self._undo, self.deaths = [], threading.Lock(), [], []

    def note(self, label, value):
        with self.lock:
            self.log.append((label, describe(value)))

    def attempt(self, label, fn, *args, **kwargs):
        """fn(*args, **kwargs), its result or exception noted; returns the result (or None)."""
        try:
            result = fn(*args, **kwargs)
        except BaseException as e:  # noqa: B902  every outcome is compared
            self.note(label, e)
            return None
        self.note(label, result)
        return result

    def setattr(self, obj, name, value):
        """Binds obj.name for this run (monkeypatch's signature, so the rigs
        of the listening tests take a Seen)."""
        self._undo.append((obj, name, getattr(obj, name, _ABSENT)))
        setattr(obj, name, value)

    def delattr(self, obj, name):
        self._undo.append((obj, name, getattr(obj, name)))
        delattr(obj, name)

    def undo(self):
        for obj, name, value in reversed(self._undo):
            if value is _ABSENT:
                delattr(obj, name)
            else:
                setattr(obj, name, value)
        self._undo.clear()


def _thread(thread):
    """A thread's name, the counter of unnamed ones left out."""
    return re.sub(r"^Thread-\d+", "Thread", thread.name)


class PrintedByThread(io.TextIOBase):
    """Standard output kept apart per thread: the workers' lines interleave as
    the threads run, each thread's own lines keep their order. A flush is
    written down as FLUSH, where it happened."""

    def __init__(self):
        self.texts, self.lock = {}, threading.Lock()

    def write(self, text):
        with self.lock:
            name = _thread(threading.current_thread())
            self.texts[name] = self.texts.get(name, "") + text
        return len(text)

    def flush(self):
        self.write(FLUSH)


@contextlib.contextmanager
def _thread_deaths(seen):
    """Notes every exception that ends a thread, with the thread's name."""
    before = threading.excepthook
    threading.excepthook = lambda a: seen.deaths.append(
        repr((_thread(a.thread), describe(a.exc_value))))
    try:
        yield
    finally:
        threading.excepthook = before


def run(scenario, seed):
    """The scenario through the module and through a fresh twin: the two
    records, printed output last."""
    records = []
    for target in (M, twin.load(exact=True)):
        seen = Seen()
        out = PrintedByThread()
        try:
            with contextlib.redirect_stdout(out), _thread_deaths(seen):
                scenario(target, random.Random(seed), seen)
        finally:
            seen.undo()
        records.append(seen.log + [("threads ended", sorted(seen.deaths)),
                                   ("printed", sorted(out.texts.items()))])
    return records


def check(scenario, seed):
    module, python = run(scenario, seed)
    for i, (a, b) in enumerate(zip(module, python)):
        assert a == b, f"step {i}:\nmodule {a!r}\ntwin   {b!r}"
    assert len(module) == len(python), (module[len(python):], python[len(module):])
