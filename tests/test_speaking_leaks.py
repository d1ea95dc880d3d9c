"""Reference and memory leaks of the speaking side: each path of _splitsen,
_add_stream, play_audio and the two workers, run many times. After a warm-up
the loop must leave the reference counts of the objects it passes around
unchanged and must not grow the memory tracemalloc traces beyond a small bound."""
import gc
import sys
import threading
import tracemalloc
import types

import pytest

import cantorel.manage as M

N, WARM_UP, TOLERANCE = 3000, 100, 64 * 1024


class Null:
    """A stdout that keeps nothing."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


class Sink:
    """An output_queue that keeps nothing."""

    def put(self, item):
        pass


def idle_output(cls=M.Output):
    out = cls.__new__(cls)
    out.output_queue = Sink()
    return out


class Broken(Exception):
    pass


def raising_stream(chunks):
    yield from chunks
    raise Broken("lost")


class Override(M.Output):
    _splitsen = staticmethod(lambda text, start: (len(text), [text[start:]]))


class RightAdd:
    def __radd__(self, other):
        return other + ". "


def scripted_sa(fail=False):
    class Playing:
        def wait_done(self):
            pass

    class WaveObject:
        def __init__(self, data, **kwargs):
            if fail:
                raise Broken("no device")

        def play(self):
            return Playing()

    return types.SimpleNamespace(WaveObject=WaveObject)


TEXT = "Hello there, how are you? 你好，世界。 😀 fine. " * 3
CHUNKS = [TEXT[i:i + 3] for i in range(0, len(TEXT), 3)]
WIDE_SEP = "".join(chr(0x4E00 + i) for i in range(20)) + ","


def _out():
    return idle_output()


CASES = {
    "splitsen": lambda: M.Output._splitsen(TEXT, 0),
    "splitsen-ascii": lambda: M.Output._splitsen("a, b. c! d", 1),
    "splitsen-beyond": lambda: M.Output._splitsen(TEXT, 10 ** 30),
    "splitsen-negative": lambda: M.Output._splitsen(TEXT, -(10 ** 30)),
    "splitsen-wide-set": lambda: M.Output._splitsen(TEXT, 0, WIDE_SEP),
    "splitsen-no-separator": lambda: M.Output._splitsen(TEXT, 0, "#"),
    "add-stream": lambda: _out()._add_stream(iter(CHUNKS)),
    "add-stream-list": lambda: _out()._add_stream(CHUNKS),
    "add-stream-override": lambda: idle_output(Override)._add_stream(iter(CHUNKS[:20])),
    "add-stream-non-str": lambda: _out()._add_stream(["a. b", 5, "c"]),
    "add-stream-radd": lambda: _out()._add_stream(["a. b", RightAdd(), "c, d"]),
    "add-stream-raises": lambda: _out()._add_stream(raising_stream(CHUNKS[:10])),
    "add-stream-not-iterable": lambda: _out()._add_stream(5),
    "add-stream-empty": lambda: _out()._add_stream([]),
}


def _loop(op, n):
    for _ in range(n):
        try:
            op()
        except Exception:
            pass


@pytest.mark.parametrize("name", list(CASES))
def test_no_leak(monkeypatch, name):
    monkeypatch.setattr(sys, "stdout", Null())
    op = CASES[name]
    keep = [TEXT, CHUNKS, M.Output, M.Output._splitsen, M.Output._add_stream, WIDE_SEP]
    _loop(op, WARM_UP)
    gc.collect()
    counts = [sys.getrefcount(o) for o in keep]
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        _loop(op, N)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in keep] == counts
    assert grown < TOLERANCE, f"{grown} bytes more after {N} calls"


@pytest.mark.parametrize("fail", [False, True], ids=["plays", "fails"])
def test_play_audio_does_not_leak(monkeypatch, fail):
    monkeypatch.setattr(sys, "stdout", Null())
    monkeypatch.setattr(M, "sa", scripted_sa(fail))
    data = b"\0\0" * 100
    op = lambda: M.AudioPlayer.play_audio(data)  # noqa: E731
    _loop(op, WARM_UP)
    gc.collect()
    count = sys.getrefcount(data)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        _loop(op, N)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert sys.getrefcount(data) == count
    assert grown < TOLERANCE


def test_workers_do_not_leak(monkeypatch):
    """Items of every kind through both workers: spoken, blank, failing
    synthesis, audio that is not bytes, items that do not unpack."""
    monkeypatch.setattr(sys, "stdout", Null())
    monkeypatch.setattr(M, "sa", scripted_sa())

    class Model:
        def ort_predict(self, text):
            if text == "fail.":
                raise Broken("synthesis failed")
            return "not bytes" if text == "odd." else b"\0\0" * 10

    out = M.Output(Model())
    items = [(1, "said."), (2, "  "), (3, "fail."), (4, "odd."), (5,), (1, 2, 3), 7]

    def batch():
        for item in items:
            out.output_queue.put(item)
        done = threading.Thread(target=out._wait_all)
        done.start()
        done.join(30)
        assert not done.is_alive()

    for _ in range(20):
        batch()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(300):
            batch()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < TOLERANCE, f"{grown} bytes more after {300 * len(items)} items"
