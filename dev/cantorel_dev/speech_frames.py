"""What the demos, tools, benchmarks and tests share about a recording: the
recordings they use, PCM WAV decoding and resampling to the capture's 16 kHz,
and the rule the capture applies to the speech probabilities of its 32 ms
frames, with its constants (the module's, stated once on this side).

The capture keeps the last ten probabilities and takes numpy's mean of them
(pairwise summation from eight values on); speech starts when that mean rises
above 0.6 and goes on while it stays above 0.35. A plain running sum rounds
differently, so near a threshold it can decide otherwise: every mean here is
numpy's, of the same values, as the capture computes it.
"""
from __future__ import annotations

import struct
import wave
from pathlib import Path
from typing import NamedTuple, Optional, Sequence

import numpy as np

ALSA = Path("/usr/share/sounds/alsa")   # alsa-utils' human recordings, mostly 48 kHz mono
FRONT_CENTER = ALSA / "Front_Center.wav"  # "front center": the demos' default utterance
# pocketsphinx-testdata's recordings of read speech (16 kHz mono), with their transcripts
READ_SPEECH = Path("/usr/share/pocketsphinx/test/data")
RATE = 16000   # what the capture records
FRAME = 512    # samples per frame (32 ms)
WINDOW = 10    # probabilities in the capture's mean
ENTER = 0.6    # the mean must rise above this for speech to start
STAY = 0.35    # and stay above this for it to go on


class PcmWav(NamedTuple):
    samples: np.ndarray  # mono, float64 on the 16-bit scale (channels averaged)
    rate: int
    channels: int
    width: int           # bytes per sample in the file


def decode_pcm(raw: bytes, width: int) -> np.ndarray:
    """Little-endian PCM of `width` bytes per sample as float64 on the 16-bit scale."""
    if width == 1:  # WAV stores 8-bit samples unsigned
        return (np.frombuffer(raw, np.uint8).astype(np.float64) - 128.0) * 256.0
    if width == 2:
        return np.frombuffer(raw, "<i2").astype(np.float64)
    if width == 3:
        b = np.frombuffer(raw, np.uint8)
        b = b[: len(b) - len(b) % 3].reshape(-1, 3).astype(np.int32)
        v = b[:, 0] | (b[:, 1] << 8) | (b[:, 2] << 16)
        return np.where(v >= 1 << 23, v - (1 << 24), v).astype(np.float64) / 256.0
    if width == 4:
        return np.frombuffer(raw, "<i4").astype(np.float64) / 65536.0
    raise ValueError(f"unsupported sample width of {width} bytes")


def read_pcm_wav(path) -> PcmWav:
    """A PCM WAV file's samples, mixed to mono.

    Raises wave.Error or EOFError for what is not a PCM WAV file (float and
    compressed ones included) and ValueError for a sample width PCM WAV does
    not use or a header without channels."""
    with wave.open(str(path), "rb") as w:
        channels, width, rate = w.getnchannels(), w.getsampwidth(), w.getframerate()
        raw = w.readframes(w.getnframes())
    if channels < 1:
        raise ValueError("no channels in the header")
    x = decode_pcm(raw, width)
    x = x[: len(x) - len(x) % channels].reshape(-1, channels).mean(axis=1)
    return PcmWav(x, rate, channels, width)


def wav_bytes(samples, rate: int) -> bytes:
    """A mono 16-bit PCM WAV file's bytes. Made here rather than with
    wave.open(path, "wb"): a Ctrl-C while that opens the file leaves a
    half-made writer whose finalizer prints an AttributeError."""
    data = np.asarray(samples, dtype="<i2").tobytes()
    return b"".join([b"RIFF", struct.pack("<I", 36 + len(data)), b"WAVE",
                     b"fmt ", struct.pack("<IHHIIHH", 16, 1, 1, rate, 2 * rate, 2, 16),
                     b"data", struct.pack("<I", len(data)), data])


def lowpass(x: np.ndarray, cutoff: float, taps: int = 127) -> np.ndarray:
    """Windowed-sinc FIR low-pass; cutoff is a fraction of the sample rate (< 0.5)."""
    n = np.arange(taps) - (taps - 1) / 2
    h = 2 * cutoff * np.sinc(2 * cutoff * n) * np.blackman(taps)
    h /= h.sum()
    return np.convolve(x, h, mode="same")


def to_16k(x: np.ndarray, rate: int) -> np.ndarray:
    """Resample mono samples (16-bit scale) to 16 kHz int16."""
    x = np.asarray(x, dtype=np.float64)
    if rate != RATE and len(x):
        if rate > RATE:
            # Keep what survives at 16 kHz: pass up to 7.2 kHz, stop before 8 kHz.
            x = lowpass(x, 0.45 * RATE / rate)
        if rate % RATE == 0:
            x = x[:: rate // RATE]
        else:
            n_out = int(round(len(x) * RATE / rate))
            t = np.arange(n_out) * (rate / RATE)
            x = np.interp(t, np.arange(len(x)), x)
    return np.clip(np.rint(x), -32768, 32767).astype(np.int16)


def wav_16k(path) -> np.ndarray:
    """A PCM WAV file as the capture would record it: 16 kHz mono int16."""
    wav = read_pcm_wav(path)
    return to_16k(wav.samples, wav.rate)


def window_means(probs: Sequence[float], window: int = WINDOW) -> np.ndarray:
    """For each frame, numpy's mean of its probability and the ones before it,
    `window` at most, as the capture computes it on that frame."""
    p = np.asarray(probs, dtype=np.float64)
    return np.array([np.mean(p[max(0, i - window + 1):i + 1]) for i in range(len(p))], dtype=np.float64)


def is_speech(mean: float, speaking: bool, enter: float = ENTER, stay: float = STAY) -> bool:
    """The capture's decision on one frame: above `enter` to start, above `stay` to go on."""
    return mean > (stay if speaking else enter)


def segments(probs: Sequence[float], window: int = WINDOW, enter: float = ENTER,
             stay: float = STAY) -> list[tuple[int, int]]:
    """Speech as (first frame, frame after the last) pairs: it starts on the frame
    whose mean rises above `enter` and ends on the first one no longer above `stay`."""
    out: list[tuple[int, int]] = []
    start: Optional[int] = None
    means = window_means(probs, window)
    for i, mean in enumerate(means):
        if not is_speech(mean, start is not None, enter, stay):
            if start is not None:
                out.append((start, i))
                start = None
        elif start is None:
            start = i
    if start is not None:
        out.append((start, len(means)))
    return out


def capture_span(means: Sequence[float]) -> tuple[Optional[int], Optional[int]]:
    """The first frame the capture counts as the start of speech and the last it
    counts as speech, within one capture (which ends only after `sld` seconds
    without speech, so a short dip below `stay` does not end it)."""
    start = last = None
    for i, mean in enumerate(means):
        if is_speech(mean, start is not None):
            if start is None:
                start = i
            last = i
    return start, last
