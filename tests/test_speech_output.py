"""Output's pipeline with a scripted TTS model and a scripted `sa` module:
construction, the two workers, their failure lines and _wait_all.

The workers of an Output never stop, so each test builds its own object and
leaves it idle (both workers blocked on empty queues) when it ends."""
import queue as queue_module
import sys
import threading
import types

import pytest

from conftest import entries, ours
from speaking_fakes import WAIT, Events, Model, ScriptedSA, finishes, spoken

import cantorel.manage as M


@pytest.fixture
def events():
    return Events()


@pytest.fixture
def sa(monkeypatch, events):
    fake = ScriptedSA(events)
    monkeypatch.setattr(M, "sa", fake)
    return fake


# ------------------------------------------------------------ construction

def test_wait_all_on_a_fresh_object(sa, events):
    out = M.Output(Model(events))
    assert finishes(out._wait_all) is None
    assert events.log == []


# ------------------------------------------------------------ the pipeline

def test_order_under_load(sa, events, capsys):
    out = M.Output(Model(events))
    texts = [f"piece {i}." for i in range(1000)]
    for i, text in enumerate(texts, 1):
        out.output_queue.put((i, text))
    finishes(out._wait_all, timeout=120)
    assert spoken(events) == [t.encode() for t in texts]
    assert events.of("predict") == [(t,) for t in texts]
    # Each piece ended before the next one started.
    starts_and_ends = [e for e in events.log if e[0] in ("start", "end")]
    assert starts_and_ends == [(k, t.encode()) for t in texts for k in ("start", "end")]
    assert capsys.readouterr().out == "".join(f"[TTS] {t}\n" for t in texts)
    assert out.output_queue.unfinished_tasks == out.play_queue.unfinished_tasks == 0


def test_wave_object_arguments(sa, events):
    out = M.Output(Model(events))
    out.output_queue.put((1, "Hi."))
    finishes(out._wait_all)
    assert events.of("wave") == [(b"Hi.", (("num_channels", 1), ("bytes_per_sample", 2),
                                           ("sample_rate", 48000)))]


def test_wait_all_waits_for_the_last_sound(monkeypatch, events):
    gate = threading.Event()
    monkeypatch.setattr(M, "sa", ScriptedSA(events, gate=gate))
    out = M.Output(Model(events))
    for i, text in enumerate(["one,", " two,", " three."], 1):
        out.output_queue.put((i, text))
    waiter = threading.Thread(target=out._wait_all, daemon=True)
    waiter.start()
    waiter.join(0.5)
    assert waiter.is_alive() and spoken(events) == []
    gate.set()
    waiter.join(WAIT)
    assert not waiter.is_alive()
    assert spoken(events) == [b"one,", b" two,", b" three."]


def test_tts_worker_puts_then_prints_then_marks_done(monkeypatch, sa, events):
    class RecordingQueue(queue_module.Queue):
        def put(self, item, *args, **kwargs):
            events.add("put", self.role, item)
            super().put(item, *args, **kwargs)

        def task_done(self):
            events.add("task_done", self.role)
            super().task_done()

    roles = iter(["output", "play"])

    def make_queue():
        q = RecordingQueue()
        q.role = next(roles)
        return q

    monkeypatch.setattr(M, "queue", types.SimpleNamespace(Queue=make_queue))

    class Stdout:
        def write(self, text):
            if text.strip():
                events.add("print", text)

        def flush(self):
            events.add("flush")

    out = M.Output(Model(events))
    monkeypatch.setattr(sys, "stdout", Stdout())
    out.output_queue.put((1, "\n  Hello there."))
    finishes(out._wait_all)
    tts = [e for e in events.log if e[0] in ("put", "print", "flush", "task_done")
           and e != ("task_done", "play")]
    assert tts == [("put", "output", (1, "\n  Hello there.")), ("put", "play", b"\n  Hello there."),
                   ("print", "[TTS] \n  Hello there."), ("flush",), ("task_done", "output")]


def test_blank_items_are_skipped_and_marked_done_once(monkeypatch, sa, events, capsys):
    done = []

    class CountingQueue(queue_module.Queue):
        def task_done(self):
            done.append(self)
            super().task_done()

    monkeypatch.setattr(M, "queue", types.SimpleNamespace(Queue=CountingQueue))
    out = M.Output(Model(events))
    items = [(1, ""), (2, " \n\t "), (3, "Said."), (4, "\u3000"), (5, " more ")]
    for item in items:
        out.output_queue.put(item)
    finishes(out._wait_all)
    assert events.of("predict") == [("Said.",), (" more ",)]
    assert spoken(events) == [b"Said.", b" more "]
    assert capsys.readouterr().out == "[TTS] Said.\n[TTS]  more \n"
    assert done.count(out.output_queue) == len(items)
    assert done.count(out.play_queue) == 2


def test_a_failing_model_among_three(sa, events, capsys):
    out = M.Output(Model(events, {"two.": RuntimeError("synthesis failed")}))
    for i, text in enumerate(["one.", "two.", "three."], 1):
        out.output_queue.put((i, text))
    finishes(out._wait_all)
    assert spoken(events) == [b"one.", b"three."]
    assert capsys.readouterr().out == "[TTS] one.\n[TTS] synthesis failed\n[TTS] three.\n"


@pytest.mark.parametrize("audio, got", [("text", "str"), (bytearray(b"ab"), "bytearray"),
                                        (None, "NoneType"), (memoryview(b"ab"), "memoryview")])
def test_audio_that_is_not_bytes(sa, events, capsys, audio, got):
    out = M.Output(Model(events, {"odd.": audio}))
    out.output_queue.put((1, "odd."))
    out.output_queue.put((2, "fine."))
    finishes(out._wait_all)
    # The two workers print independently; each line is whole.
    assert sorted(capsys.readouterr().out.splitlines()) == sorted([
        "[TTS] odd.", f"Argument 'audio_data' has incorrect type (expected bytes, got {got})",
        "[TTS] fine."])
    assert spoken(events) == [b"fine."]


def test_a_playback_failure(monkeypatch, events, capsys):
    monkeypatch.setattr(M, "sa", ScriptedSA(
        events, fail=lambda data: data == b"broken." and OSError("device gone")))
    out = M.Output(Model(events))
    for i, text in enumerate(["first.", "broken.", "last."], 1):
        out.output_queue.put((i, text))
    finishes(out._wait_all)
    assert spoken(events) == [b"first.", b"last."]
    out_lines = capsys.readouterr().out.splitlines()
    assert sorted(out_lines) == sorted(["[TTS] first.", "[TTS] broken.", "device gone",
                                        "[TTS] last."])


def test_workers_read_their_attributes_at_every_use(sa, events, capsys):
    out = M.Output(Model(events))
    out.output_queue.put((1, "a."))
    finishes(out._wait_all)
    other = Model(events, {"b.": b"other model"})
    out.tts_model = other
    out.output_queue.put((2, "b."))
    finishes(out._wait_all)
    assert spoken(events) == [b"a.", b"other model"]


def test_a_second_init_threads_starts_a_second_pair(sa, events):
    out = M.Output(Model(events))
    first = (out.tts_thread, out.play_thread)
    assert out._init_threads() is None
    second = (out.tts_thread, out.play_thread)
    assert [t.name for t in second] == ["TTS-Worker", "Play-Worker"]
    assert not set(first) & set(second)
    assert all(t.is_alive() and t.daemon for t in first + second)
    for i in range(40):
        out.output_queue.put((i, f"{i}."))
    finishes(out._wait_all)
    assert sorted(spoken(events)) == sorted(f"{i}.".encode() for i in range(40))
    assert all(t.is_alive() for t in first + second)


# ------------------------------------------------------------ what ends a worker

@pytest.fixture
def thread_failures(monkeypatch):
    failures = []
    monkeypatch.setattr(threading, "excepthook", failures.append)
    return failures


def test_an_exception_outside_exception_ends_the_tts_worker_after_task_done(
        sa, events, thread_failures):
    out = M.Output(Model(events, {"stop.": KeyboardInterrupt()}))
    out.output_queue.put((1, "stop."))
    out.tts_thread.join(WAIT)
    assert not out.tts_thread.is_alive()
    assert out.output_queue.unfinished_tasks == 0
    [failure] = thread_failures
    assert failure.exc_type is KeyboardInterrupt
    assert entries(failure.exc_value)[-2] == ours("Output._tts_worker", 242)


def test_a_failing_failure_line_ends_the_tts_worker(sa, events, thread_failures):
    class Unprintable(Exception):
        def __str__(self):
            raise LookupError("no text")

    out = M.Output(Model(events, {"x.": Unprintable()}))
    out.output_queue.put((1, "x."))
    out.tts_thread.join(WAIT)
    assert not out.tts_thread.is_alive() and out.output_queue.unfinished_tasks == 0
    [failure] = thread_failures
    assert failure.exc_type is LookupError
    assert isinstance(failure.exc_value.__context__, Unprintable)
    assert ours("Output._tts_worker", 247) in entries(failure.exc_value)


def test_a_failing_audio_player_ends_the_play_worker(monkeypatch, sa, events, thread_failures):
    class Broken:
        def __init__(self):
            raise RuntimeError("no player")

    monkeypatch.setattr(M, "AudioPlayer", Broken)
    out = M.Output(Model(events))
    out.play_thread.join(WAIT)
    assert not out.play_thread.is_alive() and out.tts_thread.is_alive()
    [failure] = thread_failures
    assert str(failure.exc_value) == "no player"
    assert ours("Output._play_worker", 252) in entries(failure.exc_value)


def test_one_player_for_the_life_of_the_worker(monkeypatch, sa, events):
    made = []

    class Player(M.AudioPlayer):
        def __init__(self):
            made.append(threading.current_thread().name)

    monkeypatch.setattr(M, "AudioPlayer", Player)
    out = M.Output(Model(events))
    for i in range(5):
        out.output_queue.put((i, f"{i}."))
    finishes(out._wait_all)
    assert made == ["Play-Worker"] and len(spoken(events)) == 5


# ------------------------------------------------------------ failures reported to the caller

def test_init_threads_of_a_subclass_runs_instead(sa, events):
    calls = []

    class Quiet(M.Output):
        def _init_threads(self):
            calls.append(self.tts_thread)

    out = Quiet(Model(events))
    assert calls == [None] and out.tts_thread is None and out.play_thread is None
