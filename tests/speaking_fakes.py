"""Scripted stand-ins for the speaking side, injected through the module
globals the worker bodies look up at each use: a simpleaudio that logs what
it is asked to play (optionally held at wait_done, or failing), a TTS model
whose audio is the text's bytes, and a shared log of what happened in order."""
import threading
import types

WAIT = 20  # seconds before a test calls a wait hung


def finishes(fn, *args, timeout=WAIT):
    """Runs fn(*args) on a thread and returns its result; fails if it hangs."""
    box = {}

    def run():
        try:
            box["result"] = fn(*args)
        except BaseException as e:  # raised again in the caller's thread
            box["error"] = e

    t = threading.Thread(target=run, daemon=True)
    t.start()
    t.join(timeout)
    assert not t.is_alive(), f"{fn} did not return within {timeout} s"
    if "error" in box:
        raise box["error"]
    return box.get("result")


class Events:
    """A log shared by the scripted parts, in the order things happened."""

    def __init__(self):
        self.log, self.lock = [], threading.Lock()

    def add(self, *event):
        with self.lock:
            self.log.append(event)

    def of(self, kind):
        return [e[1:] for e in self.log if e[0] == kind]


class ScriptedSA:
    """Stands in for simpleaudio: WaveObject(...).play().wait_done()."""

    def __init__(self, events, *, gate=None, fail=None):
        self.events, self.gate, self.fail = events, gate, fail
        sa = self

        class WaveObject:
            def __init__(self, audio_data, **kwargs):
                sa.events.add("wave", audio_data, tuple(kwargs.items()))
                self.audio_data = audio_data

            def play(self):
                if sa.fail and sa.fail(self.audio_data):
                    raise sa.fail(self.audio_data)
                sa.events.add("start", self.audio_data)
                return Playing(self.audio_data)

        class Playing:
            def __init__(self, audio_data):
                self.audio_data = audio_data

            def wait_done(self):
                if sa.gate is not None:
                    sa.gate.wait()
                sa.events.add("end", self.audio_data)

        self.WaveObject = WaveObject


class Model:
    """A TTS model: the audio of a text is its UTF-8 bytes, or what `script` says."""

    def __init__(self, events, script=None):
        self.events, self.script = events, script or {}

    def ort_predict(self, text):
        self.events.add("predict", text)
        if text not in self.script:
            return text.encode() if isinstance(text, str) else bytes(text)
        action = self.script[text]
        if isinstance(action, BaseException):
            raise action
        return action


def spoken(events):
    """The audio of each sound played to its end, in order."""
    return [e[0] for e in events.of("end")]


def scripted_sa(log, fail_at=None, error=None):
    """simpleaudio's three calls, logged; `error` raised at step `fail_at`."""
    def step(name):
        log.append(name)
        if name == fail_at:
            raise error

    class Playing:
        def wait_done(self, *args, **kwargs):
            log.append(("wait_done", args, kwargs))
            step("wait")

    class WaveObject:
        def __init__(self, *args, **kwargs):
            log.append(("WaveObject", args, list(kwargs.items())))
            step("wave")

        def play(self, *args, **kwargs):
            log.append(("play", args, kwargs))
            step("play")
            return Playing()

    return types.SimpleNamespace(WaveObject=WaveObject)
