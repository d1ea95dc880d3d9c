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

import numpy as np

# One decoding, one resampler and one capture rule for every demo.
from cantorel_dev.speech_frames import FRAME, FRONT_CENTER, RATE, read_pcm_wav, segments, to_16k, window_means

CONTEXT = 64
FRAME_SECONDS = FRAME / RATE
DEFAULT_WAV = str(FRONT_CENTER)
DEFAULT_MODEL = "~/.cache/sonvale/voicevd.pt"


def read_wav(path: str) -> tuple[np.ndarray, int, int]:
    """Samples of a PCM WAV file as float64 mono on the 16-bit scale, its rate and channel count."""
    wav = read_pcm_wav(path)
    return wav.samples, wav.rate, wav.channels


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
        vad = VoiceVD()
        scorer = "cantorel.manage.VoiceVD"

    chunks = list(frames(samples))
    print(
        f"{args.wav}: {len(x) / rate:.2f} s, {rate} Hz, {channels} channel(s)"
        f" -> {len(chunks)} frames of {FRAME_SECONDS * 1000:.0f} ms, scored by {scorer}"
    )
    probs = [vad(chunk) for chunk in chunks]
    if args.probs:
        for i, (p, mean) in enumerate(zip(probs, window_means(probs))):
            print(f"  {i * FRAME_SECONDS:7.3f} s  p={p:.3f}  mean={mean:.3f}")

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
