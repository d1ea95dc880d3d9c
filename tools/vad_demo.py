"""Find speech in a recording with cantorel.manage.VoiceVD.

The recording is turned into 16 kHz mono 16-bit samples, cut into 32 ms frames
(512 samples) and each frame is scored.  The last ten probabilities are
averaged; speech starts when the average rises above 0.6 and lasts while it
stays above 0.35.

    python tools/vad_demo.py [WAV] [--probs] [--reference]

--reference scores with onnxruntime directly, feeding the model exactly what
VoiceVD feeds it; useful for comparing the two.
"""

from __future__ import annotations

import argparse
import os
import sys
import warnings
import wave
from collections import deque

import numpy as np

RATE = 16000
FRAME = 512
CONTEXT = 64
FRAME_SECONDS = FRAME / RATE
WINDOW = 10
ENTER = 0.6
STAY = 0.35
DEFAULT_WAV = "/usr/share/sounds/alsa/Front_Center.wav"
DEFAULT_MODEL = "~/.cache/sonvale/voicevd.pt"


def read_wav(path: str) -> tuple[np.ndarray, int, int]:
    """Samples of a PCM WAV file as float64 mono on the 16-bit scale, its rate and channel count."""
    with wave.open(path, "rb") as w:
        channels, width, rate = w.getnchannels(), w.getsampwidth(), w.getframerate()
        raw = w.readframes(w.getnframes())
    if width == 1:  # unsigned 8-bit
        x = (np.frombuffer(raw, np.uint8).astype(np.float64) - 128.0) * 256.0
    elif width == 2:
        x = np.frombuffer(raw, "<i2").astype(np.float64)
    elif width == 3:
        b = np.frombuffer(raw, np.uint8).reshape(-1, 3).astype(np.int32)
        v = b[:, 0] | (b[:, 1] << 8) | (b[:, 2] << 16)
        v = np.where(v >= 1 << 23, v - (1 << 24), v)
        x = v.astype(np.float64) / 256.0
    elif width == 4:
        x = np.frombuffer(raw, "<i4").astype(np.float64) / 65536.0
    else:
        raise ValueError(f"{path}: unsupported sample width {width}")
    x = x[: len(x) - len(x) % channels].reshape(-1, channels).mean(axis=1)
    return x, rate, channels


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


def frames(samples: np.ndarray):
    """512-sample frames as little-endian int16 bytes; the last one is padded with silence."""
    samples = np.asarray(samples, dtype="<i2")
    for start in range(0, len(samples), FRAME):
        chunk = samples[start : start + FRAME]
        if len(chunk) < FRAME:
            chunk = np.concatenate([chunk, np.zeros(FRAME - len(chunk), dtype="<i2")])
        yield chunk.tobytes()


class ReferenceVAD:
    """The model driven straight from onnxruntime, fed the way VoiceVD feeds it."""

    def __init__(self, model_path: str = DEFAULT_MODEL):
        import onnxruntime as ort

        opts = ort.SessionOptions()
        opts.intra_op_num_threads = 1
        opts.inter_op_num_threads = 1
        self._sess = ort.InferenceSession(
            os.path.expanduser(model_path), opts, providers=["CPUExecutionProvider"]
        )
        self._context = np.zeros(CONTEXT, dtype=np.float32)
        self._state = np.zeros((2, 1, 128), dtype=np.float32)
        self._sr = np.array(RATE, dtype=np.int64)

    def __call__(self, frame: bytes) -> float:
        x = np.frombuffer(frame, dtype="<i2").astype(np.float32) / 32768.0
        if x.shape != (FRAME,):
            raise ValueError(f"a frame is {FRAME} samples, got {x.size}")
        inp = np.concatenate([self._context, x])[None, :]
        prob, self._state = self._sess.run(
            None, {"input": inp, "state": self._state, "sr": self._sr}
        )
        self._context = inp[0, -CONTEXT:]
        return float(prob.flat[0])


def segments(probs, window: int = WINDOW, enter: float = ENTER, stay: float = STAY):
    """Speech as (first frame, frame after the last) pairs, from per-frame probabilities.

    The decision uses the mean of the last `window` probabilities (fewer at the
    start): speech begins on the frame where the mean exceeds `enter` and ends
    on the first frame where it is no longer above `stay`.
    """
    recent: deque[float] = deque(maxlen=window)
    out = []
    start = None
    n = 0
    for n, p in enumerate(probs, 1):
        recent.append(float(p))
        mean = sum(recent) / len(recent)
        i = n - 1
        if start is None and mean > enter:
            start = i
        elif start is not None and not mean > stay:
            out.append((start, i))
            start = None
    if start is not None:
        out.append((start, n))
    return out


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("wav", nargs="?", default=DEFAULT_WAV, help=f"PCM WAV file (default {DEFAULT_WAV})")
    ap.add_argument("--probs", action="store_true", help="print every frame's probability and the running mean")
    ap.add_argument("--reference", action="store_true", help="score with onnxruntime instead of cantorel.manage")
    ap.add_argument("--model", default=DEFAULT_MODEL, help="model file for --reference")
    args = ap.parse_args(argv)

    x, rate, channels = read_wav(args.wav)
    samples = to_16k(x, rate)
    if args.reference:
        vad = ReferenceVAD(args.model)
        scorer = "onnxruntime (reference)"
    else:
        try:
            from cantorel.manage import VoiceVD
        except ImportError as exc:
            print(f"vad_demo: cannot import cantorel.manage ({exc}); run: bash tools/setup.sh", file=sys.stderr)
            return 1
        # The model returns its probability as a (1, 1) array, which float()
        # converts with a numpy DeprecationWarning on every frame; the value
        # is right, so keep the demo's output readable.
        warnings.filterwarnings("ignore", message="Conversion of an array with ndim > 0",
                                category=DeprecationWarning)
        vad = VoiceVD()
        scorer = "cantorel.manage.VoiceVD"

    chunks = list(frames(samples))
    print(
        f"{args.wav}: {len(x) / rate:.2f} s, {rate} Hz, {channels} channel(s)"
        f" -> {len(chunks)} frames of {FRAME_SECONDS * 1000:.0f} ms, scored by {scorer}"
    )
    probs = []
    recent: deque[float] = deque(maxlen=WINDOW)
    for i, chunk in enumerate(chunks):
        p = vad(chunk)
        probs.append(p)
        if args.probs:
            recent.append(p)
            print(f"  {i * FRAME_SECONDS:7.3f} s  p={p:.3f}  mean={sum(recent) / len(recent):.3f}")

    found = segments(probs)
    if not found:
        print("no speech found")
    duration = len(samples) / RATE
    for first, after in found:
        end = min(after * FRAME_SECONDS, duration)
        print(f"speech from {first * FRAME_SECONDS:.3f} s to {end:.3f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
