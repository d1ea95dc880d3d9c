"""--barge-in: the person talks over the reply. A second recording goes into
the microphone about two seconds into the reply; cantorel.duplex stops the
reply, and the interruption is recognised and answered. On the virtual
devices the microphone also hears the speaker (the echo path) through the
echo canceller, so the reply must not stop itself."""
from __future__ import annotations

import threading
import time
from dataclasses import dataclass
from typing import Optional

import numpy as np

from cantorel_dev.speech_frames import ALSA, RATE

from .adapters import PLAY_RATE
from .detection import speech_onset
from .exchange import Exchange, listen, speak
from .interrupts import Deadline, checkpoint
from .progress import say

INTERRUPTION_WAV = ALSA / "Front_Left.wav"
INTO_REPLY = 2.0   # seconds of the reply heard before the person cuts in
LEVEL = 200        # a sample louder than this is sound
# The listener's floor for speech frames (RMS): the canceller's residue of the
# reply stays below it, a person speaking into the microphone far above
# (bench/bench_barge_in.py measures both).
SPEECH_LEVEL = 300


@dataclass
class Interruption:
    played_at: Optional[float] = None    # when the interruption's first sample reached the microphone
    speech_at: Optional[float] = None    # when its speech began there
    silent_at: Optional[float] = None    # when the speaker's last sound of the reply ended
    heard: Optional[str] = None
    answer: str = ""
    detected: Optional[float] = None     # speech began -> the listener reported its onset

    @property
    def reaction(self) -> Optional[float]:
        if self.speech_at is None or self.silent_at is None or self.silent_at < self.speech_at:
            return None
        return self.silent_at - self.speech_at


def locate(recording: np.ndarray, clip: np.ndarray) -> int:
    """Where `clip` starts in `recording` (cross-correlation, so the echo mixed
    into the microphone does not move it)."""
    n = len(recording) + len(clip)
    size = 1 << (n - 1).bit_length()
    r = np.fft.rfft(recording.astype(np.float64), size)
    c = np.fft.rfft(clip.astype(np.float64), size)
    corr = np.fft.irfft(r * np.conj(c), size)[:len(recording)]
    return int(np.argmax(corr))


def sample_time(stopped: float, length: int, index: int, rate: int) -> float:
    """The clock reading at which sample `index` of a recording stopped at `stopped` arrived."""
    return stopped - (length - index) / rate


def interrupted_exchange(audio, inp, out, asr, tts, lm, ex: Exchange, barge, clip: np.ndarray,
                         into_reply: float = INTO_REPLY, answer: bool = True, spec=None) -> Interruption:
    """Speaks the reply to `ex`, plays `clip` into the microphone `into_reply`
    seconds after the first sound, recognises what interrupted and answers it."""
    got = Interruption()
    from cantorel_dev import virtual_audio as va
    mic_rec = va.SpeakerRecording(audio, source=f"{va.MIC}.monitor", rate=RATE)  # what the microphone hears
    speaker_rec = audio.record_speaker()
    players = []

    def cut_in():
        deadline = time.monotonic() + 60
        while not barge.speaker.player.playing and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(into_reply)
        players.append(audio.play_into_microphone(clip, RATE, wait=False))

    threading.Thread(target=cut_in, name="cut-in", daemon=True).start()
    try:
        with Deadline(180, "speaking the reply"):
            speak(out, tts, lm, ex, speaker_rec, wrap=barge.reply, spec=spec)
        with Deadline(60, "listening to the interruption"):
            while not players:
                time.sleep(0.05)
            players[0].wait(30)
        stopped = time.monotonic()
        mic_samples, _ = mic_rec.stop()
    finally:
        mic_rec.__exit__(None, None, None)
    checkpoint()
    start = locate(mic_samples, clip)
    got.played_at = sample_time(stopped, len(mic_samples), start, RATE)
    onset = speech_onset(clip, RATE, LEVEL)
    if onset is not None:
        got.speech_at = got.played_at + onset
    if barge.interrupted and ex.recording is not None and ex.first_sound is not None:
        loud = np.flatnonzero(np.abs(ex.recording.astype(np.int32)) > LEVEL)
        got.silent_at = ex.first_sound + (loud[-1] - loud[0] + 1) / PLAY_RATE
    if barge.listener.heard_at is not None and got.speech_at is not None:
        got.detected = barge.listener.heard_at - got.speech_at
    if not barge.interrupted:
        # Nothing reached the listener as speech (the canceller can shut the person
        # out): its capture goes on listening, and the next reply keeps it.
        return got
    turn = Exchange()
    with Deadline(60, "recognising the interruption"):
        listen(inp, asr, turn)
    got.heard = turn.heard
    if not answer:
        return got
    say(f"answering: {lm.description} streams its answer to what interrupted ...")
    with Deadline(180, "speaking the answer"):
        stream, lm = (lm.reply(got.heard), lm) if spec is None else spec.reply(got.heard)
        out._add_stream(barge.speaker.reply(stream))
        out._wait_all()
    got.answer = lm.text
    return got


def report_interruption(got: Interruption, stopped: bool, what: str) -> None:
    say()
    say(f"interruption: {what} played into the microphone {INTO_REPLY:.0f} s into the reply")
    say(f"  reply stopped:  {'yes' if stopped else 'no (it played to its end)'}")
    say(f"  heard:          {got.heard if got.heard else '(nothing recognised)'}")
    say(f"  answered:       {got.answer}")
    shown = "n/a" if got.reaction is None else f"{got.reaction * 1000:.0f} ms"
    note = "" if got.detected is None else f"; the onset was reported {got.detected * 1000:.0f} ms after it began"
    say(f"  reaction time:  {shown}   (interrupting speech began in the microphone -> the speaker "
        f"fell silent{note})")
