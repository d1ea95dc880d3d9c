"""cantorel.speculate: the text of the audio up to a pause, the reply held and
its first piece made ahead are used when the capture ends with no speech
after the pause, and dropped, with nothing of them spoken, when speech
resumes or a part fails."""
import gc
import threading
import weakref

import numpy as np
import pytest

from cantorel import duplex, speculate
from conftest import ALSA, clean_exits, wav_16k
from listening_fakes import Boom, Rig, kept
from speaking_fakes import finishes
from test_duplex import HIGH, LOW, Device, Voice
from voice_models import voice_files, whisper  # noqa: F401


def said(*runs, gap=8):
    """Frames: quiet, runs of speech `gap` quiet frames apart, quiet; and where each run starts."""
    script, starts = [LOW] * 20, []
    for k, n in enumerate(runs):
        script += [LOW] * (gap if k else 0)
        starts.append(len(script))
        script += [HIGH] * n
    return script + [LOW] * 60, starts


class Words:
    """A recogniser whose words are the runs of speech in what it is given: a
    prefix gets the whole capture's words only if no speech follows it."""

    def __init__(self, script, mode="ok"):
        self.script, self.mode, self.calls, self.release = script, mode, [], threading.Event()

    def generate(self, samples):
        frames = kept(samples)
        self.calls.append((threading.current_thread().name, len(frames)))
        if len(self.calls) == 1 and self.mode == "fails":
            raise Boom("speculation")
        if len(self.calls) == 1 and self.mode == "hangs":
            self.release.wait(30)
        return " ".join(f"w{i}" for i in frames if self.script[i] == HIGH and self.script[i - 1] != HIGH)


class Model:
    """A language model whose reply begins with a letter for how many words it
    heard; after its first chunk each request waits for its "go"."""

    def __init__(self, mode="ok"):
        self.mode, self.requests, self.free = mode, [], False

    def go(self, k=None):
        for r in self.requests if k is None else self.requests[k:k + 1]:
            r["go"].set()

    def __call__(self, text):
        request = {"text": text, "ended": False, "closed": False, "go": threading.Event()}
        self.requests.append(request)
        if self.free:
            request["go"].set()
        try:
            if self.mode == "fails":
                raise Boom("the endpoint broke off")
            yield "ABCDEF"[len(text.split())]
            request["go"].wait(30)
            yield from ("pple. ", "Zebra", ".")
            request["ended"] = True
        finally:
            request["closed"] = True


class MadeVoice(Voice):
    def __init__(self):
        super().__init__()
        self.made = []

    def ort_predict(self, text):
        self.made.append((threading.current_thread().name, text))
        return super().ort_predict(text)


class Scene:
    def __init__(self, manage, monkeypatch, script, asr="ok", lm="ok", **options):
        self.rig = Rig(manage, monkeypatch, script, exact=False)
        monkeypatch.setattr(manage, "sa", manage.sa)
        self.asr, self.lm, self.voice, self.device = Words(script, asr), Model(lm), MadeVoice(), Device()
        self.ears, self.out = manage.Input(self.asr), manage.Output(self.voice)
        self.speaker = duplex.Speaker(self.out, duplex.StoppablePlayer(self.device))
        self.spec = speculate.Speculator(self.ears, self.out, self.lm, **options)

    def hold(self, gates):
        """The capture waits at frame i until gates[i]() is true."""
        def on_read(i):
            if i in gates:
                for _ in range(2000):
                    if gates[i]():
                        return
                    threading.Event().wait(0.01)
                raise AssertionError(f"frame {i}: still waiting")
        self.rig.stream.on_read = on_read

    def say(self, text):
        self.out._add_stream(self.speaker.reply(self.spec.reply(text)))
        finishes(self.out._wait_all)


ROWS = {  # runs of speech, pause, recogniser, model, speculations, resumed, used, spoken
    "used": ((12,), 0.2, "ok", "ok", 1, 0, True, "B"),
    "speech resumed once": ((12, 10), 0.2, "ok", "ok", 2, 1, True, "C"),
    "speech resumed twice": ((12, 10, 10), 0.2, "ok", "ok", 3, 2, True, "D"),
    "speech resumed three times": ((12, 10, 10, 10), 0.2, "ok", "ok", 4, 3, True, "E"),
    "a blip, then speech shorter than the pause": ((3, 10), 0.5, "ok", "ok", 1, 0, True, "C"),
    "the recogniser fails": ((12,), 0.2, "fails", "ok", 1, 0, False, "B"),
    "the recogniser hangs": ((12,), 0.2, "hangs", "ok", 1, 0, False, "B"),
    "the endpoint fails": ((12,), 0.2, "ok", "fails", 1, 0, True, ""),
}


@pytest.mark.parametrize("case", list(ROWS))
def test_speculation_is_used_only_when_it_holds(manage, monkeypatch, capsys, case):
    runs, pause, asr, lm, speculations, resumed, used, spoken = ROWS[case]
    script, starts = said(*runs, gap=20 if runs[0] < 7 else 8)
    s = Scene(manage, monkeypatch, script, asr, lm, pause=pause, timeout=0.3)
    # Each speculation's request has begun when speech resumes, and goes on
    # after the frame that resumed it; the capture ends once the last one has
    # its first piece in synthesis (or its recogniser was called).
    gates = {}
    for k, at in enumerate(starts[1:resumed + 1]):
        gates[at] = lambda k=k: len(s.lm.requests) > k
        gates[at + 1] = lambda k=k: s.lm.go(k) or True
    gates[starts[-1] + runs[-1] + 20] = lambda: s.lm.go() or {
        "ok": any(t.startswith(spoken) for _, t in s.voice.made) if spoken else s.lm.requests,
        "fails": s.asr.calls, "hangs": s.asr.calls}[asr]
    s.hold(gates)
    text = finishes(s.ears._recognize)
    s.asr.release.set()
    s.lm.free = True
    assert text == " ".join(f"w{i}" for i in starts)  # what the whole capture holds
    turn = s.spec.last
    assert (turn.speculations, turn.resumed, turn.used) == (speculations, resumed, used), turn
    assert ("failed" in turn.why_not, "busy" in turn.why_not) == (asr == "fails", asr == "hangs")
    if not used:  # the whole utterance, recognised on the host's thread
        assert s.asr.calls[-1][0] != "Speculate-ASR" and s.asr.calls[-1][1] == s.rig.stream.index
    s.say(text)
    assert s.device.written == [c for c in spoken for _ in range(3)] + (["Z"] * 3 if spoken else [])
    assert all(r["closed"] and not r["ended"] for r in s.lm.requests[:-1])  # dropped: closed early
    from_worker = [t for name, t in s.voice.made if name == "TTS-Worker"]
    assert from_worker == ([] if not spoken else [" Zebra."] if used else [f"{spoken}pple.", " Zebra."])
    errors = [ln for ln in capsys.readouterr().out.splitlines() if ln.startswith("[LLM] the endpoint")]
    assert len(errors) == (lm == "fails")


def test_a_barge_in_while_the_first_piece_waits_leaves_nothing_of_it(manage, monkeypatch):
    script, starts = said(12)
    s = Scene(manage, monkeypatch, script)
    s.voice.hold.marker = "B"  # the first piece, synthesised ahead, is not ready yet
    s.hold({starts[0] + 32: lambda: s.lm.go() or s.voice.hold.reached.is_set()})
    text = finishes(s.ears._recognize)
    s.out._add_stream(s.speaker.reply(s.spec.reply(text)))
    assert s.spec.last.used and s.speaker.stop()
    s.voice.hold.released.set()
    finishes(s.out._wait_all)
    s.lm.free = True
    s.say("two words")
    assert s.device.written == ["C"] * 3 + ["Z"] * 3
    assert [t for _, t in s.voice.made].count("Bpple.") == 1  # made ahead, never spoken


def test_no_reference_cycle_keeps_the_input(manage, monkeypatch):
    """A program that stops a sound server of its own frees its Input first:
    nothing of the kit may keep it (and its capture stream) for the collector."""
    s = Scene(manage, monkeypatch, said(12)[0])
    s.lm.free = True
    s.say(finishes(s.ears._recognize))
    assert s.spec.last.used
    freed = threading.Event()
    weakref.finalize(s.rig.streams.pop(), freed.set)
    gc.disable()
    try:
        del s.ears, s.spec
        assert freed.wait(5)
    finally:
        gc.enable()


EXIT = """
import threading, time
from cantorel import manage, speculate
from listening_fakes import Rig
from test_speculate import MadeVoice, Model, Words, said
script, starts = said(12)
rig = Rig(manage, type("Patch", (), {{"setattr": staticmethod(setattr)}})(), script, exact=False)
asr, lm, voice = Words(script, {mode!r}), Model(), MadeVoice()
voice.hold.marker = "B"
ears, out = manage.Input(asr), manage.Output(voice)
spec = speculate.Speculator(ears, out, lm)
rig.stream.on_read = lambda i: i == starts[0] + 20 and threading.Event().wait()
threading.Thread(target=ears._recognize, daemon=True).start()
for _ in range(2000):
    if {stuck}:
        break
    lm.go()
    time.sleep(0.01)
print("exiting with", {stuck!r}, {stuck}, flush=True)
"""


@pytest.mark.parametrize("mode, stuck", [
    ("hangs", "bool(asr.calls)"),                   # the speculative recognition
    ("ok", "voice.hold.reached.is_set()"),          # the first piece's synthesis, the reply held
])
def test_exit_in_the_middle_of_a_speculation(mode, stuck):
    for proc in clean_exits(EXIT.format(mode=mode, stuck=stuck), runs=3):
        assert proc.stdout.strip().endswith(f"{stuck} True"), proc.stdout


@pytest.mark.filterwarnings("ignore:Conversion of an array with ndim")
def test_the_words_are_those_of_the_whole_capture(manage, vad_env, virtual_audio, whisper):
    """The loop's recording through the virtual microphone: the speculation's
    text is used, and it is what Whisper makes of the whole capture."""
    handed = []

    class Kept:
        def generate(self, samples):
            handed.append(samples)
            return ahead.generate(samples)

    ahead = speculate.AheadRecognizer(whisper)
    ears = manage.Input(Kept())
    spec = speculate.Speculator(ears, recognizer=ahead)
    speech = wav_16k(ALSA / "Front_Center.wav").astype(np.int16)
    quiet = np.zeros(8000, np.int16)
    virtual_audio.play_into_microphone(np.concatenate([quiet, speech, quiet, quiet, quiet]), 16000, wait=False)
    text = finishes(ears._recognize)
    ears.recorder.stream.close()  # while the server runs (see test_duplex)
    assert spec.last.used, spec.last
    assert text == whisper.generate(handed[0]) and text.split() == ["front", "center"]
