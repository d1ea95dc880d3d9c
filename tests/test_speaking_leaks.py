"""Reference and memory leaks of the speaking side: each path of _splitsen,
_add_stream, play_audio and the two workers, run many times. After a warm-up
the loop must leave the reference counts of the objects it passes around
unchanged and must not grow the memory tracemalloc traces beyond a small bound."""
import collections
import contextlib
import io
import threading
import types

import pytest

import cantorel.manage as M
from conftest import Tracked, assert_handler_keeps_nothing, assert_no_leak

N, WARM_UP = 3000, 100


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


@pytest.mark.parametrize("name", list(CASES))
def test_no_leak(name):
    keep = [TEXT, CHUNKS, M.Output, M.Output._splitsen, M.Output._add_stream, WIDE_SEP]
    assert_no_leak(CASES[name], keep, runs=N, warm_up=WARM_UP, swallow=Exception)


@pytest.mark.parametrize("fail", [False, True], ids=["plays", "fails"])
def test_play_audio_does_not_leak(monkeypatch, fail):
    monkeypatch.setattr(M, "sa", scripted_sa(fail))
    data = b"\0\0" * 100
    assert_no_leak(lambda: M.AudioPlayer.play_audio(data), [data], runs=N, warm_up=WARM_UP,
                   swallow=Exception)


def test_workers_do_not_leak(monkeypatch):
    """Items of every kind through both workers: spoken, blank, failing
    synthesis, audio that is not bytes, items that do not unpack."""
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

    assert_no_leak(batch, [], runs=300, warm_up=20)


def _tracked_stream():
    yield "One. "
    raise Tracked("stream broke")


class _TrackedQueue:
    def put(self, item):
        raise Tracked("queue full")


@pytest.mark.parametrize("case", ["play_audio", "stream raises", "queue refuses"])
def test_handlers_keep_nothing(monkeypatch, case):
    """The handlers of play_audio and _add_stream let go of what they caught."""
    if case == "play_audio":
        def fail(*args, **kwargs):
            raise Tracked("no device")
        monkeypatch.setattr(M, "sa", types.SimpleNamespace(WaveObject=fail))
        assert_handler_keeps_nothing(lambda: M.AudioPlayer.play_audio(b"\0\0"))
        return
    out = idle_output()
    if case == "queue refuses":
        out.output_queue = _TrackedQueue()
    assert_handler_keeps_nothing(lambda: out._add_stream(_tracked_stream()))


def test_many_outputs_fed_from_many_threads(monkeypatch):
    """Forty Output objects (eighty workers), each fed by a host thread of its
    own with replies in small chunks: every piece is synthesised and played
    once, in order, by its own Output."""
    played = collections.defaultdict(list)

    class Playing:
        def __init__(self, key):
            self.key = key

        def wait_done(self):
            played[self.key[0]].append(self.key[1])

    class WaveObject:
        def __init__(self, data, **kwargs):
            self.key = data.decode().split(":")

        def play(self):
            return Playing(self.key)

    class Model:
        def __init__(self, name):
            self.name = name

        def ort_predict(self, text):
            return f"{self.name}:{text.strip()}".encode()

    monkeypatch.setattr(M, "sa", types.SimpleNamespace(WaveObject=WaveObject))
    reply = "".join(f"Piece {i}. " for i in range(25))
    outs = [M.Output(Model(f"o{n}")) for n in range(40)]

    def host(out):
        for _ in range(3):
            out._add_stream(reply[i:i + 4] for i in range(0, len(reply), 4))
            out._wait_all()

    with contextlib.redirect_stdout(io.StringIO()):
        hosts = [threading.Thread(target=host, args=(out,)) for out in outs]
        for h in hosts:
            h.start()
        for h in hosts:
            h.join(120)
    assert not any(h.is_alive() for h in hosts)
    want = [f"Piece {i}." for i in range(25)] * 3
    assert {n: pieces for n, pieces in played.items()} == {f"o{n}": want for n in range(40)}
