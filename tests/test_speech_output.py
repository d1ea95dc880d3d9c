"""Output's pipeline with a scripted TTS model and a scripted `sa` module:
the two workers under load, a second pair, and _wait_all. The order of each
worker's steps, blank items, failure lines and what ends a worker are
differential cases (output_pipeline in test_differential.py).

The workers of an Output never stop, so each test builds its own object and
leaves it idle (both workers blocked on empty queues) when it ends."""
import threading

import pytest

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


# ------------------------------------------------------------ the player

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
