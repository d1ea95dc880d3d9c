"""Seeded scenarios for every class, run through the module and through its
Python twin (tests/differential.py compares everything they show). Checks that
used to restate a body's statements or its source lines live here as cases."""
import queue
import sys
import types

import numpy as np
import pytest

from differential import check, describe
from listening_fakes import EndOfScript, Rig, kept, numpy_with
from cantorel_dev import twin
from speaking_fakes import Events, Model, ScriptedSA, finishes, scripted_sa

up = lambda x: float(np.nextafter(x, 2.0))  # noqa: E731  the next double above x


class Boom(Exception):
    pass


class Halt(BaseException):
    """Not an Exception: no handler of the module takes it."""


class StrSub(str):
    pass


def _raise(e):
    raise type(e)(*e.args)  # a fresh one: a scripted exception is raised in both runs


# ------------------------------------------------------------------ VoiceVD

def _session_results(rng, seen):
    """A session's run: what it returns (or raises) for one frame, by the seed."""
    def result(feed):
        kind = rng.choice(["array"] * 6 + ["float", "three", "one", "raise", "two", "none"])
        state = feed["state"] + 1
        return {"array": lambda: [np.array([[rng.random()]], np.float32), state],
                "float": lambda: (rng.random(), state),
                "three": lambda: (0.5, state, 1), "one": lambda: [0.5],
                "raise": lambda: _raise(Boom("model")),
                "two": lambda: (np.array([0.1, 0.2], np.float32), state),
                "none": lambda: None}[kind]()

    class Session:
        def __init__(self, path, **kwargs):
            options = kwargs.pop("sess_options", None)
            seen.note("session", (path, kwargs, options and options.settings))

        def run(self, *args, **kwargs):
            feed = args[1]
            seen.note("run", (args[0], list(feed), feed["input"], feed["state"], feed["sr"],
                              kwargs))
            return result(feed)
    return Session


def _session_options(rng):
    """ONNX Runtime's options object as far as the detector uses it; now and
    then its making or one of its steps fails."""
    class SessionOptions:
        def __init__(self):
            if rng.random() < 0.05:
                raise Boom("options")
            object.__setattr__(self, "settings", [])

        def __setattr__(self, name, value):
            if rng.random() < 0.03:
                raise Boom(name)
            self.settings.append((name, value))

        def add_session_config_entry(self, key, value):
            self.settings.append((key, value))
    return SessionOptions


def voice_vd(m, rng, seen):
    ort = types.SimpleNamespace(InferenceSession=_session_results(rng, seen))
    if rng.random() < 0.7:  # a host's stand-in may have no SessionOptions
        ort.SessionOptions = _session_options(rng)
    seen.setattr(m, "ort", ort)
    if rng.random() < 0.4:  # a stand-in numpy: every step through its attributes
        seen.setattr(m, "np", numpy_with())
    det = seen.attempt("new", m.VoiceVD)
    if det is None:  # the options failed: the error is what the run noted
        return
    seen.note("attributes", vars(det))
    for _ in range(rng.randrange(1, 12)):
        action = rng.random()
        if action < 0.1:
            seen.attempt("reset", det.reset)
        elif action < 0.15:
            det.ctx = rng.choice([np.ones((1, 64), np.float64), np.ones((1, 10), np.float32),
                                  np.ones((2, 64), np.float32), None])
        elif action < 0.18:
            det.state = None
            seen.attempt("reset without state", lambda: m.VoiceVD.reset(self=det))
            det.state = np.zeros((2, 1, 128), np.float32)
        else:
            n = rng.choice([1024, 1024, 1024, 512, 0, 2, 1023])
            frame = np.array([rng.randrange(-32768, 32768) for _ in range(n // 2)],
                             np.int16).tobytes() + b"\1" * (n % 2)
            seen.attempt("call", det, frame)
        seen.note("after", (det.ctx, det.state))
    if rng.random() < 0.3:
        seen.delattr(m, rng.choice(["np", "os", "ort"]))
        seen.attempt("missing global", m.VoiceVD)
        seen.attempt("missing global in a call", det, b"\0\0" * 512)


# ------------------------------------------------------------------ RecVoice, RecVoice_T

PROBS = [0.0, 0.2, 0.35, up(0.35), 0.5, 0.6, up(0.6), 0.9, 1.0]


def recvoice_construction(m, rng, seen):
    rig = Rig(m, seen, [])
    args = rng.choice([(), (2, 3, 7), (6,), (1, 9, 0), (1, 1, -1), (1, 1, -2 ** 31 - 1),
                       (1, 1, 2 ** 63), (1, 1, -2 ** 31)])
    kwargs = rng.choice([{}, {"device_index": None}]) if len(args) < 3 else {}
    cls = rng.choice([m.RecVoice, m.RecVoice_T])
    rec = seen.attempt("new", cls, *args, **kwargs)
    if rec is None:
        seen.note("pyaudio", (rig.pyaudio.handles, rig.pyaudio.looked_up, rig.pyaudio.opened))
        return
    seen.note("attributes", vars(rec))
    seen.note("pyaudio", (rig.pyaudio.handles, rig.pyaudio.looked_up, rig.pyaudio.opened))
    seen.note("stream", (rec.stream is rig.stream, rig.stream.log))
    seen.note("detector", (type(rec.voicevd) is rig.detector, rig.detector.instances == [rec.voicevd],
                           rec.hist.maxlen))
    missing = rng.choice(["deque", "VoiceVD", "pyaudio", "np", "time", "threading"])
    seen.delattr(m, missing)
    seen.attempt("missing global", cls)
    if missing in ("np", "time"):
        seen.attempt("missing global in a capture", rec.record_audio)
    if missing == "threading" and cls is m.RecVoice_T:
        seen.attempt("missing global in a start", rec.start_recording)


def recvoice_capture(m, rng, seen):
    n = rng.randrange(1, 120)
    probs = [rng.choice(PROBS) for _ in range(n)]
    sld, max_time = rng.choice([0, 1, 2]), rng.choice([0, 1, 3])
    step = rng.choice([1 / 32, 0.25, 0.032])
    exact = rng.random() < 0.5
    toggle = rng.choice([None, rng.randrange(n)])
    fail = rng.choice([None, None, rng.randrange(n)])
    captures = rng.choice([1, 2])
    p = [(lambda f: _raise(Boom("late"))) if i == fail else x for i, x in enumerate(probs)]
    rig = Rig(m, seen, p * captures, exact=exact)
    rec = m.RecVoice(sld=sld, max_time=max_time)
    rig.stream.step = step
    if rng.random() < 0.2:
        rig.stream.stop_error = OSError("stop failed")
    if toggle is not None:
        rig.stream.on_read = lambda i: i == toggle and setattr(rec, "frame_is_append", False)
    for _ in range(captures):
        r = seen.attempt("capture", rec.record_audio)
        seen.note("kept", None if r is None else kept(r))
    seen.note("state", (rig.stream.log, rig.clock.calls, list(rec.hist), rec.time_start,
                        list(vars(rec))))


def recvoice_background(m, rng, seen):
    probs = [0.9, 0.0, 0.0] + [0.0] * 40
    fail = rng.random() < 0.4
    rig = Rig(m, seen, [(lambda f: _raise(Boom("in the thread"))) if fail else 0.9] + probs)
    rec = m.RecVoice_T(sld=1, max_time=rng.choice([1, 5]))
    for label in rng.choices(["start", "stop", "get", "thread"], k=8):
        if label == "start":
            seen.attempt(label, rec.start_recording)
            if hasattr(rec.thread, "join"):
                seen.attempt("join", finishes, rec.thread.join)
        elif label == "stop":
            seen.attempt(label, finishes, rec.stop_recording)
        elif label == "get":
            r = seen.attempt(label, rec.get_audio)
            seen.note("kept", None if r is None else kept(r))
        else:
            rec.thread = rng.choice([None, types.SimpleNamespace(is_alive=lambda: 0),
                                     types.SimpleNamespace(is_alive=lambda: _raise(Boom("alive")))])
    seen.note("streams", [s.log for s in rig.streams])


# ------------------------------------------------------------------ AudioPlayer

class Failure(Exception):
    def __str__(self):
        return f"failed: {twin.entries(self)}"  # what the handler sees


class Unprintable(Exception):
    def __str__(self):
        raise ValueError("no text")


def audio_player(m, rng, seen):
    calls = []
    error = rng.choice([Failure, Unprintable, Halt])()
    seen.setattr(m, "sa", scripted_sa(calls, rng.choice([None, "wave", "play", "wait"]), error))
    data = rng.choice([b"", b"\x01\x00" * 480])
    player = m.AudioPlayer()
    seen.note("player", (vars(player), player.__init__()))
    call = rng.choice([lambda: m.AudioPlayer.play_audio(data), lambda: player.play_audio(data),
                       lambda: m.AudioPlayer.play_audio(audio_data=data)])
    seen.attempt("play", call)
    seen.note("calls", (calls, calls[0][1][0] is data))
    if rng.random() < 0.3:
        seen.delattr(m, "sa")
        seen.attempt("missing sa", player.play_audio, b"\0\0")


# ------------------------------------------------------------------ Input

class Watching(Exception):
    """Notes, while its text is taken, whether it is the exception being handled."""

    def __str__(self):
        self.seen.note("handled while printed", sys.exc_info()[1] is self)
        return "watched"


TEXTS = ["  hello \n", "", None, "   ", b" x ", StrSub(" sub "), 5, Boom("asr"), Halt("stop"),
         KeyboardInterrupt(), SystemExit(), GeneratorExit(), Unprintable(), Watching()]
AUDIO = [None, np.zeros(0, np.int16), Boom("get_audio"), 5] + [np.arange(4, dtype=np.int16)] * 4


def speech_input(m, rng, seen):
    made, broken = [], []

    class Recorder:
        def __init__(self, **kwargs):
            seen.note("recorder", kwargs)
            if broken:
                _raise(broken[0])
            made.append(self)
            self.thread = types.SimpleNamespace(join=lambda: seen.note("join", None))

        def start_recording(self):
            seen.note("start", None)

        def get_audio(self):
            audio = rng.choice(AUDIO)
            return _raise(audio) if isinstance(audio, Exception) else audio

    class Model:
        def generate(self, audio):
            seen.note("generate", audio)
            text = rng.choice(TEXTS)
            Watching.seen = seen
            return _raise(text) if isinstance(text, BaseException) else text

    seen.setattr(m, "RecVoice_T", Recorder)
    cls = m.Input
    if rng.random() < 0.3:  # every attribute read noted, in order
        cls = type("Logged", (m.Input,), {"__getattribute__": lambda self, name: seen.note(
            "read", name) or object.__getattribute__(self, name)})
    if rng.random() < 0.2:
        broken.append(OSError(-9996, "Invalid input device"))
    ears = cls.__new__(cls)
    seen.attempt("init", cls.__init__, ears, Model(), *rng.choice([(), (2,), (2, 4)]))
    seen.note("attributes", (vars(ears), len(made)))
    broken.clear()
    for _ in range(rng.randrange(1, 8)):
        action = rng.random()
        if action < 0.15 and made:  # a recorder missing what _recognize uses
            rec = ears.recorder
            stage = rng.choice(["thread", "start_recording", "get_audio"])
            setattr(rec, stage, None)
        elif action < 0.3:
            ears.sld, ears.max_time = rng.randrange(5), rng.randrange(5)
            if rng.random() < 0.5:
                broken.append(OSError("no device"))
            seen.attempt("reset", ears._reset)
            seen.note("recorder", [i for i, r in enumerate(made) if r is ears.recorder])
            broken.clear()
            continue
        seen.attempt("recognize", ears._recognize)
        seen.note("handling after", sys.exc_info()[1])
    seen.delattr(m, "RecVoice_T")
    seen.attempt("missing global", ears._reset)


# ------------------------------------------------------------------ Output

class Threads:
    """Stands for `threading`: Thread() and start() noted, nothing run."""

    def __init__(self, seen, fail=None):
        class Thread:
            def __init__(self, *args, **kwargs):
                seen.note("thread", (args, kwargs["daemon"], kwargs.get("name"),
                                     kwargs["target"].__func__.__name__, list(kwargs)))
                self.name = kwargs.get("name")
                if fail == ("new", self.name):
                    raise Boom("new thread")

            def start(self):
                seen.note("start", self.name)
                if fail == ("start", self.name):
                    raise Boom("start")
        self.Thread = Thread


def output_construction(m, rng, seen):
    seen.setattr(m, "sa", ScriptedSA(Events()))
    if rng.random() < 0.5:
        fail = rng.choice([None, ("new", "TTS-Worker"), ("new", "Play-Worker"),
                           ("start", "TTS-Worker"), ("start", "Play-Worker")])
        seen.setattr(m, "threading", Threads(seen, fail))
    elif rng.random() < 0.5:
        seen.delattr(m, rng.choice(["queue", "threading"]))
    cls = m.Output
    if rng.random() < 0.2:  # a worker method that cannot be looked up
        cls = type("Partial", (m.Output,), {rng.choice(["_tts_worker", "_play_worker"]): property(
            lambda self: _raise(AttributeError("worker")))})
    out = seen.attempt("new", cls, "model")
    if out is None:
        return
    seen.note("attributes", (list(vars(out)), {k: v for k, v in vars(out).items()
                                                if not k.endswith("thread")}))
    for name in ("tts_thread", "play_thread"):
        t = getattr(out, name)
        if hasattr(t, "daemon"):
            seen.note(name, (t.name, t.daemon, t.is_alive(), t._target.__func__.__name__))
    seen.note("queues", (out.output_queue.maxsize, out.output_queue is out.play_queue))
    seen.attempt("wait", finishes, out._wait_all)
    for broken in rng.sample(["play_queue", "output_queue"], rng.randrange(3)):
        setattr(out, broken, None)
        seen.attempt("wait on a broken queue", out._wait_all)


ITEMS = [(1, "Hi."), (2, " two,"), (3, "  "), (4, ""), (5, "bad"), (6, "str audio"),
         (1, 2, 3), (1,), (), "abc", "ab", 5, None, (1, 5), [1, "list."], (1, b" bytes. "),
         (7, StrSub(" sub.")), (8, " \n\t "), (9, "\u3000")]


class WritingQueue(queue.Queue):
    """A queue that writes each put, get and task_done into the output of the
    thread doing it, among that thread's printed lines; before it acts, so
    that a waiter the act releases finds it written."""

    def __init__(self, role):
        super().__init__()
        self.role = role

    def put(self, item, *args, **kwargs):
        sys.stdout.write(f"<put {self.role} {describe(item)} {args} {kwargs}>")
        super().put(item, *args, **kwargs)

    def get(self, *args, **kwargs):
        item = super().get(*args, **kwargs)
        sys.stdout.write(f"<got {self.role} {args} {kwargs}>")
        return item

    def task_done(self):
        sys.stdout.write(f"<done {self.role}>")
        super().task_done()


class NoPlayer:
    def __init__(self):
        raise RuntimeError("no player")


def output_pipeline(m, rng, seen):
    events = Events()
    seen.setattr(m, "sa", ScriptedSA(events, fail=lambda d: Boom("device") if d == b"dev" else None))
    if rng.random() < 0.5:
        roles = iter(["output", "play"])
        seen.setattr(m, "queue", types.SimpleNamespace(Queue=lambda: WritingQueue(next(roles))))
    no_player = rng.random() < 0.15
    if no_player:  # ends the play worker at once
        seen.setattr(m, "AudioPlayer", NoPlayer)
    model = Model(events, {"bad": Boom("synthesis"), "str audio": "not bytes", "dev.": b"dev",
                           "halt": Halt("stop"), "unprintable": Unprintable()})
    out = m.Output(model)
    items = [rng.choice(ITEMS + [(8, "dev."), "iterator"]) for _ in range(rng.randrange(1, 12))]
    items = [iter([1, "iterator."]) if item == "iterator" else item for item in items]
    if rng.random() < 0.3:  # ends the TTS worker
        items.append(rng.choice([(9, "halt"), (9, "unprintable")]))
    for item in items:
        out.output_queue.put(item)
    if no_player:
        out.play_thread.join(20)
        seen.note("alive", (out.play_thread.is_alive(), out.tts_thread.is_alive()))
        seen.attempt("wait for the TTS worker", finishes, out.output_queue.join)
    else:
        seen.attempt("wait", finishes, out._wait_all)
    if items[-1] in ((9, "halt"), (9, "unprintable")):
        out.tts_thread.join(20)
    seen.note("events", (events.of("predict"), events.of("wave"), events.of("end")))
    seen.note("left", (out.output_queue.unfinished_tasks, out.play_queue.unfinished_tasks))


PIECES = ["Hel", "lo.", " Wo", "rld", "你好，", "世界。再", "见", "!", "?", " ", "\n", "Wait...",
          "3.14", "", ",x"]


def add_stream(m, rng, seen):
    seen.setattr(m, "threading", Threads(seen))
    out = m.Output(Model(Events()))
    if rng.random() < 0.3:  # a subclass's own cutting rule, reached through the instance
        cls = type("Cutting", (m.Output,), {"_splitsen": lambda self, text, start: (
            seen.note("split", (text, start)) or m.Output._splitsen(text, start, ",."))})
        out = cls.__new__(cls)
        out.output_queue = m.queue.Queue()
    chunks = [rng.choice(PIECES) for _ in range(rng.randrange(0, 15))]
    if rng.random() < 0.3:
        chunks.insert(rng.randrange(len(chunks) + 1), rng.choice([5, None, b"x", StrSub("s.")]))

    def stream():
        for c in chunks:
            yield c
        if rng.random() < 0.2:
            raise Boom("connection")
        if rng.random() < 0.1:
            raise Halt("interrupt")

    source = rng.choice([stream, stream, stream, lambda: 7, lambda: iter(chunks)])()
    seen.attempt("add", out._add_stream, source)
    seen.note("queued", list(out.output_queue.queue))


def splitsen(m, rng, seen):
    text = "".join(rng.choice(PIECES) for _ in range(rng.randrange(0, 8)))
    start = rng.choice([0, 0, 1, 3, len(text), len(text) + 2, -1, -len(text) - 3, 2 ** 70])
    args = rng.choice([(text, start), (text, start, rng.choice([",", "", "。.", "xyz"]))])
    seen.attempt("split", rng.choice([m.Output._splitsen, object.__new__(m.Output)._splitsen]),
                 *args)


SCENARIOS = {f.__name__: f for f in (voice_vd, recvoice_construction, recvoice_capture,
                                     recvoice_background, audio_player, speech_input,
                                     output_construction, output_pipeline, add_stream, splitsen)}
SEEDS = {"speech_input": 40, "recvoice_capture": 40, "audio_player": 40, "splitsen": 60, "add_stream": 60, "voice_vd": 30}


@pytest.mark.parametrize("name, seed", [(n, s) for n in SCENARIOS for s in range(SEEDS.get(n, 20))])
def test_module_and_twin_agree(name, seed):
    check(SCENARIOS[name], seed)
