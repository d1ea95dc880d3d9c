"""What is in a recorded signal: what the speech detector sees in captured
samples, decided by the capture's own rule, and where a recording sounds
(its first and last loud sample, the silence between spoken pieces)."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

import numpy as np

from cantorel_dev.speech_frames import FRAME, RATE, WINDOW, capture_span, window_means

from .adapters import PLAY_RATE

SPEECH = 0.5  # a frame whose own probability is above this is speech


@dataclass
class Detection:
    """Per-frame speech probabilities of some samples and the capture's decisions on them."""
    probs: np.ndarray            # one per FRAME samples
    smoothed: np.ndarray         # numpy's mean of the last WINDOW (fewer at the start)
    start: Optional[int]         # frame where the mean first rises above ENTER
    last_speech: Optional[int]   # last frame the capture counts as speech (mean above STAY)
    speech_end: Optional[int]    # last frame whose own probability is above SPEECH

    def seconds(self, frame: Optional[int], end: bool = False) -> Optional[float]:
        return None if frame is None else (frame + (1 if end else 0)) * FRAME / RATE


def detect(samples: np.ndarray, vad=None) -> Detection:
    """Scores `samples` frame by frame with a fresh VoiceVD, as the capture loop does."""
    if vad is None:
        from cantorel.manage import VoiceVD
        vad = VoiceVD()
    x = np.asarray(samples, dtype="<i2")
    n = len(x) // FRAME
    probs = np.array([vad(x[i * FRAME:(i + 1) * FRAME].tobytes()) for i in range(n)], dtype=np.float64)
    smoothed = window_means(probs)
    start, last = capture_span(smoothed)
    voiced = np.flatnonzero(probs > SPEECH)
    if start is not None:
        voiced = voiced[voiced >= max(0, start - WINDOW)]
    return Detection(probs, smoothed, start, last, int(voiced[-1]) if len(voiced) else None)


def _loud(samples: np.ndarray, level: int) -> np.ndarray:
    return np.flatnonzero(np.abs(samples.astype(np.int32)) > level)


def first_voiced(samples: np.ndarray, rate: int, level: int = 200) -> Optional[float]:
    """Seconds from the start of `samples` to the first one louder than `level`."""
    loud = _loud(samples, level)
    return None if not len(loud) else loud[0] / rate


def speech_onset(samples: np.ndarray, rate: int, level: int = 200) -> Optional[float]:
    """Seconds to where a recording's speech begins: its first sample louder
    than `level`, or, over a background that is not silent, the start of its
    first 10 ms louder (RMS) than four times that background (the 20th
    percentile of its 10 ms RMS). A recording made in a room starts with the
    room's noise, whose peaks pass `level` long before anyone speaks."""
    x = np.asarray(samples, dtype=np.float64)
    step = rate // 100
    rms = np.sqrt(np.mean(x[:len(x) // step * step].reshape(-1, step) ** 2, axis=1))
    floor = 4 * float(np.percentile(rms, 20)) if len(rms) else 0.0
    if floor <= level:
        return first_voiced(samples, rate, level)
    above = np.flatnonzero(rms > floor)
    return None if not len(above) else int(above[0]) * step / rate


def voiced_span(samples: np.ndarray, rate: int, level: int = 200) -> float:
    """Seconds from the first to the last sample louder than `level`."""
    loud = _loud(samples, level)
    return 0.0 if not len(loud) else (loud[-1] - loud[0] + 1) / rate


def piece_gaps(recording: np.ndarray, shapes: list[tuple[int, int, int]],
               level: int = 200) -> tuple[list[float], list[float]]:
    """Where each piece played, found in a sample-exact speaker recording from each
    piece's own (length, first loud sample, last loud sample); returns, between
    consecutive pieces, the silence the pipeline added (end of one piece's
    audio to the start of the next) and the silence a listener hears (last
    sound of one to first sound of the next: the voice's own quiet edges too)."""
    added, heard = [], []
    loud = _loud(recording, level)
    start = end = None
    for n, first, last in shapes:
        if first < 0:  # a silent piece cannot be located; nor can what follows it
            break
        after = 0 if end is None else end
        i = np.searchsorted(loud, after)
        if i >= len(loud):
            break
        at = int(loud[i]) - first
        if end is not None:
            added.append((at - end) / PLAY_RATE)
            heard.append((at + first - (start + prev_last)) / PLAY_RATE)
        start, end, prev_last = at, at + n, last
    return added, heard
