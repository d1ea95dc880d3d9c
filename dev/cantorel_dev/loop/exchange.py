"""One exchange the way a host program runs it (listen, reply, speak) and when
each part of it happened."""
from __future__ import annotations

import time
from dataclasses import dataclass, field
from typing import Callable, Optional

import numpy as np

from cantorel_dev.speech_frames import RATE

from .adapters import PLAY_RATE, TimedRecognizer, TimedTTS
from .detection import Detection, detect, first_voiced, piece_gaps
from .interrupts import checkpoint

SLD = 1  # Input's default: seconds of silence that end an utterance


@dataclass
class Exchange:
    heard: Optional[str] = None
    reply: str = ""
    captured: Optional[np.ndarray] = None
    detection: Optional[Detection] = None
    listen_start: float = 0.0
    speech_end: Optional[float] = None      # when the speaker stopped (from the captured samples)
    capture_end: Optional[float] = None     # when the capture handed its samples over
    recognised: Optional[float] = None      # when _recognize returned
    recognition: Optional[float] = None     # seconds inside the recogniser
    first_chunk: Optional[float] = None
    last_chunk: Optional[float] = None
    first_audio: Optional[float] = None     # first piece synthesised
    first_sound: Optional[float] = None     # first sample heard at the speaker (virtual devices)
    spoken: Optional[float] = None          # when _wait_all returned
    synthesised: float = 0.0                # seconds of speech the TTS produced
    pieces: int = 0
    gaps: list[float] = field(default_factory=list)         # silence added between consecutive pieces
    heard_gaps: list[float] = field(default_factory=list)   # silence heard between them
    recording: Optional[np.ndarray] = None  # what the virtual speaker played, 48 kHz

    def timings(self) -> dict[str, Optional[float]]:
        def d(a, b):
            return None if a is None or b is None else b - a
        sound = self.first_sound if self.first_sound is not None else self.first_audio
        return {
            "end of speech -> recognised text": d(self.speech_end, self.recognised),
            "waiting for the end of the utterance": d(self.speech_end, self.capture_end),
            "recognition": self.recognition,
            "first reply chunk -> first sound": d(self.first_chunk, sound),
            "first reply chunk -> last reply chunk": d(self.first_chunk, self.last_chunk),
            "end of speech -> first sound": d(self.speech_end, sound),
            "total": d(self.listen_start, self.spoken),
        }


def listen(inp, asr: TimedRecognizer, ex: Exchange, before: Callable[[], None] | None = None) -> None:
    """Input._recognize(), and when each part of it happened."""
    asr.calls.clear()
    ex.listen_start = time.monotonic()
    if before is not None:
        before()
        checkpoint()
    ex.heard = inp._recognize()
    ex.recognised = time.monotonic()
    if asr.calls:
        t_in, t_out, samples = asr.calls[-1]
        ex.captured = np.array(samples, dtype=np.int16)
        ex.capture_end, ex.recognition = t_in, t_out - t_in


def locate_speech_end(ex: Exchange) -> None:
    """Where speech ended in the captured samples; after the reply has begun,
    as it takes a detector of its own some 50 ms."""
    if ex.captured is None or ex.detection is not None:
        return
    ex.detection = detect(ex.captured)
    end = ex.detection.seconds(ex.detection.speech_end, end=True)
    if end is not None:
        # The last captured sample was read just before generate() was called.
        ex.speech_end = ex.capture_end - (len(ex.captured) / RATE - end)


def speak(out, tts: TimedTTS, lm, ex: Exchange, recorder=None, wrap=None, spec=None) -> None:
    """Streams the language model's reply into Output._add_stream() and waits
    for its last sound; raises the model's error once what arrived was spoken.
    `wrap` (cantorel.duplex's reply()) goes between the stream and the module;
    with `spec` (speculation.Speculation) the reply may be the one held."""
    tts.reset()
    stream, lm = (lm.reply(ex.heard), lm) if spec is None else spec.reply(ex.heard)
    out._add_stream(stream if wrap is None else wrap(stream))
    out._wait_all()
    ex.spoken = time.monotonic()
    locate_speech_end(ex)
    ex.reply = lm.text
    ex.first_chunk, ex.last_chunk = lm.first_chunk, lm.last_chunk
    if tts.pieces:
        ex.first_audio = min(p[1] for p in tts.pieces)
        ex.synthesised = sum(p[2] for p in tts.pieces)
        ex.pieces = len(tts.pieces)
    if recorder is not None:
        time.sleep(0.3)  # what was played last is still on its way through the server
        stopped = time.monotonic()
        samples, rate = recorder.stop()
        ex.recording = samples
        first = first_voiced(samples, rate)
        if first is not None:
            # The recording ends where stop() cut it: map sample times back from there.
            ex.first_sound = stopped - (len(samples) / rate - first)
        if rate == PLAY_RATE:
            ex.gaps, ex.heard_gaps = piece_gaps(samples, tts.shapes)
    if lm.error is not None:
        raise lm.error
