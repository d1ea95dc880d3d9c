"""What the speech detector sees in some samples, decided by the capture's own rule."""
from __future__ import annotations

import warnings
from dataclasses import dataclass
from typing import Optional

import numpy as np

from speech_frames import capture_span, window_means

from .common import FRAME, NDIM_WARNING, RATE, SPEECH, WINDOW


@dataclass
class Detection:
    """Per-frame speech probabilities of some samples and the capture's decisions on them."""
    probs: np.ndarray            # one per 512-sample frame
    smoothed: np.ndarray         # numpy's mean of the last 10 (fewer at the start)
    start: Optional[int]         # frame where the mean first rises above 0.6
    last_speech: Optional[int]   # last frame the capture counts as speech (mean above 0.35)
    speech_end: Optional[int]    # last frame whose own probability is above 0.5

    def seconds(self, frame: Optional[int], end: bool = False) -> Optional[float]:
        return None if frame is None else (frame + (1 if end else 0)) * FRAME / RATE


def detect(samples: np.ndarray, vad=None) -> Detection:
    """Scores `samples` frame by frame with a fresh VoiceVD, as the capture loop does."""
    if vad is None:
        from cantorel.manage import VoiceVD
        vad = VoiceVD()
    x = np.asarray(samples, dtype="<i2")
    n = len(x) // FRAME
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message=NDIM_WARNING, category=DeprecationWarning)
        probs = np.array([vad(x[i * FRAME:(i + 1) * FRAME].tobytes()) for i in range(n)], dtype=np.float64)
    smoothed = window_means(probs)
    start, last = capture_span(smoothed)
    voiced = np.flatnonzero(probs > SPEECH)
    if start is not None:
        voiced = voiced[voiced >= max(0, start - WINDOW)]
    return Detection(probs, smoothed, start, last, int(voiced[-1]) if len(voiced) else None)
