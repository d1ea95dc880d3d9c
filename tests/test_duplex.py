"""cantorel.duplex: a reply stopped at every stage leaves the same Output
speaking the next one; listening while speaking finds the onset by the
capture's rule and hands over the utterance with its head."""
import queue
from pathlib import Path
import threading
import types

import numpy as np
import pytest

from cantorel import duplex, echo
from cantorel_dev.speech_frames import RATE, READ_SPEECH
from conftest import ALSA, wav_16k
from listening_fakes import EndOfScript, Rig, Stream, frame_bytes, kept
from speaking_fakes import finishes

PIECE = duplex.BLOCK * 2 * 3  # every piece is three playback blocks
LOW, HIGH = 0.05, 0.9


class Held:
    """A point a worker stops at for one marker until released."""

    def __init__(self, marker=None):
        self.marker, self.reached, self.released = marker, threading.Event(), threading.Event()

    def __call__(self, marker):
        if marker == self.marker:
            self.reached.set()
            assert self.released.wait(20)


class Device:
    """PyAudio for the player: each block written is logged by its piece's marker."""

    def __init__(self):
        self.written, self.hold, self.ended, self.closed = [], Held(), threading.Event(), threading.Event()

    def get_format_from_width(self, width):
        return 8

    def open(self, **kwargs):
        return self

    def write(self, data):
        self.written.append(chr(data[0]))
        self.hold(chr(data[0]))

    def stop_stream(self):
        self.ended.set()

    def close(self):
        self.closed.set()


class Voice:
    """A TTS model whose audio is its text's first letter, PIECE bytes of it."""

    def __init__(self):
        self.hold = Held()

    def ort_predict(self, text):
        self.hold(text.strip()[0])
        return text.strip()[0].encode() * PIECE


class Scene:
    """A real Output with a Speaker; the host feeds a reply chunk by chunk on its own thread."""

    def __init__(self, manage, monkeypatch):
        monkeypatch.setattr(manage, "sa", manage.sa)  # restored after the test
        self.device, self.voice = Device(), Voice()
        self.out = manage.Output(self.voice)
        self.speaker = duplex.Speaker(self.out, duplex.StoppablePlayer(self.device))

    def start(self, *chunks, end=True):
        self.chunks = queue.Queue()
        for c in chunks + ((None,) if end else ()):
            self.chunks.put(c)
        stream = iter(self.chunks.get, None)
        self.host = threading.Thread(target=self.out._add_stream, args=(self.speaker.reply(stream),))
        self.host.start()

    def speak(self, text):
        before = len(self.device.written)
        self.out._add_stream(self.speaker.reply([text]))
        finishes(self.out._wait_all)
        return self.device.written[before:]


def wait(event):
    assert event.wait(20)


STAGES = {  # what is held, what the host sends, and what to wait for before stopping
    "nothing speaking": (None, None, (), lambda s: None),
    "piece in synthesis": ("A", None, ("Apple. Berry.",), lambda s: wait(s.voice.hold.reached)),
    "piece in playback": (None, "A", ("Apple. Berry.",), lambda s: wait(s.device.hold.reached)),
    "between pieces": ("B", None, ("Apple. Berry.",),
                       lambda s: (wait(s.voice.hold.reached), wait(s.device.ended))),
    "stream still arriving": (None, None, ("Apple. Ber",), lambda s: wait(s.device.ended)),
    "stream finished": (None, "B", ("Apple. Berry.",),
                        lambda s: (s.host.join(20), wait(s.device.hold.reached))),
}


@pytest.mark.parametrize("stage", list(STAGES))
def test_a_stop_at_every_stage_leaves_the_output_speaking(manage, monkeypatch, stage):
    held_voice, held_device, chunks, ready = STAGES[stage]
    s = Scene(manage, monkeypatch)
    s.voice.hold.marker, s.device.hold.marker = held_voice, held_device
    if chunks:
        s.start(*chunks, end=stage != "stream still arriving")
    ready(s)
    written = len(s.device.written)
    assert s.speaker.stop() == (stage != "nothing speaking")
    finishes(s.out._wait_all)
    s.voice.hold.released.set()
    s.device.hold.released.set()
    if chunks:
        s.chunks.put("ry. Cherry.")
        s.chunks.put(None)
        s.host.join(20)
        assert not s.host.is_alive()
    assert s.speaker.stop() is False
    assert s.speak("Next.") == ["N"] * 3
    assert s.device.written[written:] == ["N"] * 3  # nothing of the stopped reply after the stop
    assert s.out.tts_thread.is_alive() and s.out.play_thread.is_alive()
    assert (s.out.output_queue.unfinished_tasks, s.out.play_queue.unfinished_tasks) == (0, 0)


def test_interruptions_back_to_back(manage, monkeypatch):
    s = Scene(manage, monkeypatch)
    for marker in "AB":
        s.device.hold = Held(marker)
        s.start(f"{marker}pple. Cherry.")
        wait(s.device.hold.reached)
        assert s.speaker.stop()
        finishes(s.out._wait_all)
        s.device.hold.released.set()
        s.host.join(20)
    assert s.device.written == ["A", "B"]
    assert s.speak("Next. Done.") == ["N"] * 3 + ["D"] * 3
    assert s.speaker.stops == 2


@pytest.mark.parametrize("end, written", [
    ("resume", "A" * 4 + "B" * 3),   # the block PortAudio may still have held is played again
    ("nobody", "A" * 4 + "B" * 3),   # a pause nobody ends lasts max_pause
    ("stop", "A"),
])
def test_a_pause_silences_the_piece_and_keeps_its_place(manage, monkeypatch, end, written):
    s = Scene(manage, monkeypatch)
    player = s.speaker.player
    player.max_pause = 0.05 if end == "nobody" else 20
    s.device.hold.marker = "A"
    s.start("Apple. Berry.")
    wait(s.device.hold.reached)
    player.pause()
    s.device.hold.released.set()
    wait(s.device.closed)
    {"resume": player.resume, "stop": s.speaker.stop, "nobody": lambda: None}[end]()
    finishes(s.out._wait_all)
    s.host.join(20)
    assert "".join(s.device.written) == written and not player.paused and player.pauses == 1


class Ears:
    """A recogniser that keeps which frames it was given."""

    def __init__(self):
        self.samples = []

    def generate(self, samples):
        self.samples.append(samples)
        return "heard"


BLIP_THEN_SPEECH = [LOW] * 20 + [HIGH] * 7 + [LOW] * 60 + [HIGH] * 12 + [LOW] * 50


@pytest.mark.parametrize("script, min_speech, head, onset, longest, fails", [
    ([LOW] * 20 + [HIGH] * 10 + [LOW] * 50, 0.2, 20, 26, 0, ()),   # onset on the 7th speech frame
    (BLIP_THEN_SPEECH, 0.2, 20, 26, 0, ()),                          # 7 frames (0.224 s) are enough ...
    (BLIP_THEN_SPEECH, 0.3, 87, 96, 7, ()),                          # ... not for 0.3 s: listens on
    ([LOW] * 20 + [HIGH, HIGH, LOW] * 3 + [HIGH] * 8 + [LOW] * 50, 0.2, 29, 35, 2, ()),  # a run counts, not the window
    # A host error at frame 10, and again at the first read after the start
    # that follows: the capture starts again, and the utterance is whole.
    ([LOW] * 20 + [HIGH] * 10 + [LOW] * 50, 0.2, 20, 26, 0, (10, 10)),
])
def test_onset_and_the_utterance_with_its_head(manage, monkeypatch, capsys, script, min_speech, head, onset,
                                               longest, fails):
    rig = Rig(manage, monkeypatch, script, exact=False)
    asr = Ears()
    ears = manage.Input(asr)
    onsets, raised = [], []

    def host_error(i):
        if len(raised) < len(fails) and fails[len(raised)] == i:
            raised.append(i)
            raise OSError(-9999, f"Unanticipated host error {len(raised)}")

    rig.stream.on_read = host_error
    listener = duplex.Listener(ears, on_speech=lambda: onsets.append(rig.stream.index - 1),
                               min_speech=min_speech)
    assert listener.start() and not listener.start()
    assert finishes(ears._recognize) == "heard"
    assert onsets == [onset] and listener.onset.is_set() and listener.longest_run == longest
    frames = kept(asr.samples[-1])
    assert frames == list(range(head - listener.preroll_frames, frames[-1] + 1))
    assert [ln for ln in capsys.readouterr().out.splitlines() if "duplex" in ln] == [
        f"[duplex] the capture failed and started again (OSError: [Errno -9999] Unanticipated host error {len(fails)})"
    ] * bool(fails)


@pytest.mark.parametrize("script, calls, min_level, quiet", [
    ([LOW] * 20 + [HIGH] * 5 + [LOW] * 20, ["pause", "resume"], 0, ()),   # a blip: the reply goes on
    # A word's quiet frames: the utterance still begins with the run that paused the reply.
    ([LOW] * 20 + [HIGH] * 5 + [LOW] * 2 + [HIGH] * 7 + [LOW] * 50, ["pause", "speech"], 0, ()),
    ([LOW] * 20 + [HIGH] * 5, ["pause", "resume"], 0, ()),                # the capture ended while paused
    ([LOW] * 20 + [HIGH] * 10 + [LOW] * 50, ["pause", "speech"], 0, ()),
    # With a floor of 12 (frame i is i loud): the tail's frames 25-28 are under
    # three times it, so the reply's last echo does not carry the run on to an onset ...
    ([LOW] * 20 + [HIGH] * 9 + [LOW] * 20, ["pause", "resume"], 12, ()),
    # ... and a word the tail hid (its frames under that) goes on after it.
    ([LOW] * 20 + [HIGH] * 12 + [LOW] * 50, ["pause", "speech"], 12, range(25, 29)),
])
def test_the_reply_pauses_before_the_onset_is_confirmed(manage, monkeypatch, script, calls, min_level, quiet):
    frames = [frame_bytes(1 if i in quiet else i) for i in range(len(script))]
    Rig(manage, monkeypatch, script, exact=False, frames=frames)
    asr, got = Ears(), []
    ears = manage.Input(asr)
    listener = duplex.Listener(ears, lambda: got.append("speech"), pause_after=0.15, min_level=min_level,
                               on_pause=lambda: got.append("pause"), on_resume=lambda: got.append("resume"))
    listener.start()
    finishes(ears._recognize)
    assert got == calls and listener.pause_frames == 5
    assert not asr.samples or kept(asr.samples[0])[0] == 20 - listener.preroll_frames


def test_an_interruption_is_marked_before_wait_all_can_return(manage, monkeypatch):
    """The host reads `interrupted` once _wait_all() returns, which the stop's drop allows."""
    Rig(manage, monkeypatch, [LOW] * 5)
    monkeypatch.setattr(manage, "sa", manage.sa)
    ears, out, device, seen = manage.Input(Ears()), manage.Output(Voice()), Device(), []
    device.hold = Held("A")
    barge = duplex.BargeIn(ears, out, player=duplex.StoppablePlayer(device))
    out._add_stream(barge.reply(["Apple. Berry."]))
    wait(device.hold.reached)
    drop = barge.speaker.text_queue.drop
    monkeypatch.setattr(barge.speaker.text_queue, "drop", lambda: (seen.append(barge.interrupted), drop()))
    barge._heard()
    device.hold.released.set()
    finishes(out._wait_all)
    assert seen == [True] and barge.interrupted
    finishes(ears._recognize)  # the capture ends here, not in the next test


def test_a_failing_capture_is_one_line_and_the_reply_still_ends(manage, monkeypatch, capsys):
    Rig(manage, monkeypatch, [LOW] * 5)  # the microphone gives five frames, then fails
    monkeypatch.setattr(manage, "sa", manage.sa)
    ears, out, device = manage.Input(Ears()), manage.Output(Voice()), Device()
    barge = duplex.BargeIn(ears, out, player=duplex.StoppablePlayer(device))
    out._add_stream(barge.reply(["Apple. Berry."]))
    finishes(out._wait_all)
    assert finishes(ears._recognize) is None
    lines = [ln for ln in capsys.readouterr().out.splitlines() if "duplex" in ln]
    assert lines == ["[duplex] listening while speaking stopped: the capture failed (EndOfScript: 5)"]
    assert device.written == ["A"] * 3 + ["B"] * 3 and not barge.interrupted


def test_barge_in_on_the_virtual_devices(manage, monkeypatch, vad_env, virtual_audio):
    """A recording played into the microphone while a long reply plays stops it,
    and the next _recognize() gets the recording from before its first sound."""
    monkeypatch.setattr(manage, "sa", manage.sa)
    tone = (3000 * np.sin(np.arange(48000) * 2 * np.pi * 440 / 48000)).astype("<i2").tobytes()

    class Tone:
        def ort_predict(self, text):
            return tone

    real_pyaudio = manage.pyaudio
    ears, mouth, asr = duplex.prompt_input(Ears()), manage.Output(Tone()), Ears()
    # A frame is read as soon as it is complete: PortAudio's buffer is under two frames.
    assert manage.pyaudio is real_pyaudio
    assert ears.recorder.stream.get_input_latency() < 2 * duplex.FRAME_SECONDS
    ears.asr_model = asr
    barge = duplex.BargeIn(ears, mouth)
    recording = virtual_audio.record_speaker()
    speech = wav_16k(ALSA / "Front_Center.wav").astype(np.int16)
    mouth._add_stream(barge.reply(["One. Two. Three. Four. Five. Six. Seven. Eight."]))
    virtual_audio.play_into_microphone(np.concatenate([np.zeros(16000, np.int16), speech]), 16000)
    finishes(mouth._wait_all)
    samples, rate = recording.stop()
    assert barge.interrupted and barge.listener.onset.is_set()
    assert np.count_nonzero(np.abs(samples) > 1000) / rate < 8 - 1  # the reply was cut short
    assert finishes(ears._recognize) == "heard"
    loud = np.flatnonzero(np.abs(asr.samples[0]) > 500)
    assert loud[0] > 0 and loud[-1] - loud[0] >= np.ptp(np.flatnonzero(np.abs(speech) > 500)) * 0.9
    # Closed while the server runs: freed at exit after it has gone, PulseAudio's
    # ALSA plugin can deadlock in the close.
    ears.recorder.stream.close()


@pytest.mark.parametrize("args, kwargs, error", [
    ((), {"buffer": 0}, ValueError), ((), {"buffer": 513}, ValueError),
    ((), {"buffer": 256.0}, ValueError), ((), {"sld": "1"}, TypeError),
    ((), {"echo_reference": ""}, ValueError), ((), {"echo_reference": b"x"}, ValueError),
    (("1",), {}, TypeError), ((1, 3, 0), {}, TypeError),  # positionals reach Input as they are
])
def test_prompt_input_refuses_and_leaves_pyaudio_bound(manage, args, kwargs, error):
    real = manage.pyaudio
    with pytest.raises(error):
        duplex.prompt_input(Ears(), *args, **kwargs)
    assert manage.pyaudio is real


# ---------------------------------------------------------------- the kit's echo canceller

def _cancelled(mic, ref):
    canceller = echo.EchoCanceller()
    frames = range(0, len(mic) - echo.FRAME + 1, echo.FRAME)
    out = np.concatenate([canceller.process(mic[i:i + echo.FRAME], ref[i:i + echo.FRAME]) for i in frames])
    return canceller, out.astype(float)


@pytest.mark.parametrize("delay, slip", [(0, 0), (976, 0), (6000, 0), (976, 320)])
def test_the_canceller_takes_the_echo_out_and_leaves_the_person_in(delay, slip):
    """Read speech as the reply, its echo 10 dB down, smeared and `delay`
    samples late; a person speaks over it at 6 s. With `slip`, the microphone
    loses that many samples at 3.5 s, as a stream that overflowed does."""
    reply = np.concatenate([wav_16k(p) for p in sorted((READ_SPEECH / "librivox").glob("*.wav"))[:2]])
    reply = reply / np.abs(reply).max() * 20000
    person = wav_16k(READ_SPEECH / "cards" / "001.wav")
    person = person / np.abs(person).max() * 8000
    room = np.convolve(reply, [0.05, 0.15, 0.316, 0.15, 0.05])[:len(reply)]
    echoed = np.concatenate([np.zeros(delay), room])[:len(reply)]
    near = np.random.default_rng(1).normal(0, 30, len(reply))
    near[6 * RATE:6 * RATE + len(person)] += person
    mic = echoed + near
    if slip:
        at = int(3.5 * RATE)
        mic = np.concatenate([mic[:at], mic[at + slip:], np.zeros(slip)])
        echoed = np.concatenate([echoed[:at], echoed[at + slip:], np.zeros(slip)])
        near = np.concatenate([near[:at], near[at + slip:], np.zeros(slip)])
    canceller, out = _cancelled(mic.astype(np.int16), reply.astype(np.int16))
    assert canceller.ready and abs(canceller.delay - (delay - slip) - 2) <= echo.LEAD // 2
    assert canceller.moved == (slip > 0)
    # Until the echo is cancelled the frames it sounds in are silent: no raw echo passes.
    assert not np.abs(out[:echo.WINDOW]).any()
    def db(x):
        return 10 * np.log10(np.mean(x * x))
    learnt = slice(4 * RATE, 6 * RATE)   # a slip found again within half a second
    assert db(echoed[learnt]) - db(out[learnt] - near[learnt]) > 20
    spoken = slice(6 * RATE, 6 * RATE + len(person) // echo.FRAME * echo.FRAME)
    assert abs(db(out[spoken]) - db(near[spoken])) < 1        # the person, not suppressed
    assert db(out[spoken] - near[spoken]) < db(echoed[spoken]) - 12   # nor learnt as echo


def test_the_canceller_is_ready_half_a_second_into_a_recorded_reply():
    """The loop's first reply on the virtual devices, as the canceller read it. Its
    first fit left -10 to -15 dB, and refined by the adaptive filter alone the reply
    stayed silenced for 1.8 s (4 s under load), past the loop's interruption at 2 s."""
    recorded, canceller, ready = np.load(Path(__file__).with_name("first_reply_echo.npz")), echo.EchoCanceller(), []
    for i in range(0, len(recorded["mic"]), echo.FRAME):
        canceller.process(recorded["mic"][i:i + echo.FRAME], recorded["ref"][i:i + echo.FRAME])
        ready.append(canceller.ready)
    assert ready.index(True) <= 13 + 16   # the reply sounds from frame 13: within 0.5 s of it


@pytest.mark.parametrize("reference", ["silent", "not in the microphone"])
def test_what_the_canceller_cannot_place(reference, capsys):
    """No reference sound leaves the microphone as it is; a reference the
    microphone does not hold (a room it cannot model) silences it, and says so once."""
    noise = np.random.default_rng(2).normal(0, 3000, (2, 200 * echo.FRAME)).astype(np.int16)
    ref = np.zeros_like(noise[1]) if reference == "silent" else noise[1]
    canceller, out = _cancelled(noise[0], ref)
    said = [ln for ln in capsys.readouterr().out.splitlines() if "has not learnt this room" in ln]
    assert canceller.delay is None and not canceller.ready
    assert (np.array_equal(out, noise[0]), len(said)) == ((True, 0) if reference == "silent" else (False, 1))
    assert reference == "silent" or not out.any()


def test_the_cancelling_stream_drops_what_a_stop_drops_and_reports_failures():
    def closed(stream):   # by its thread, once it has ended
        stream._thread.join(2)
        return all(("close",) in s.log for s in (stream._mic, stream._ref))

    stream = echo.CancellingStream(Stream(count=10 ** 9), Stream(count=10 ** 9))
    assert len(stream.read(echo.FRAME)) == 2 * echo.FRAME
    stream.stop_stream()
    assert not stream._ready
    stream.close()   # returns once the thread has closed both: the server may go next
    assert closed(stream)
    with pytest.raises(OSError, match="closed"):
        stream.read(1)
    # A host error that passes is raised once, and the stream goes on.
    mic = Stream(count=10 ** 9)
    mic.on_read = lambda i: i == 2 and mic.reads() == 3 and _raise(OSError("host error"))
    hiccup = echo.CancellingStream(mic, Stream(count=10 ** 9))
    with pytest.raises(OSError, match="host error"):
        while True:
            hiccup.read(echo.FRAME)
    assert len(hiccup.read(echo.FRAME)) == 2 * echo.FRAME
    hiccup.close()
    # A microphone that is gone: every read says so, and both streams are closed.
    gone = echo.CancellingStream(Stream(count=6), Stream(count=10 ** 9))
    for _ in range(2):
        with pytest.raises(EndOfScript):
            while True:
                gone.read(echo.FRAME)
    assert closed(gone)


def _raise(error):
    raise error


def test_the_reference_needs_the_pulse_plugin():
    audio = types.SimpleNamespace(get_device_count=lambda: 1, get_device_info_by_index=lambda i: {"name": "default"})
    with pytest.raises(OSError, match="pulse plugin"):
        echo.open_reference(audio, "@DEFAULT_MONITOR@", format=8, channels=1, rate=16000, input=True)
