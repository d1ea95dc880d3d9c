"""Speech synthesis with a Piper voice (piper-tts, which runs the voice's
network with ONNX Runtime), resampled to the playback rate:
`PiperTTS().ort_predict(text) -> bytes`.

The voice is any Piper voice `.onnx` with its `.onnx.json` beside it; by
default en_US-joe-medium, which `tools/fetch_voices.py` (run by
tools/setup.sh) puts in `~/.cache/sonvale/piper/`. Nothing is downloaded here."""
from __future__ import annotations

import json
import os
import threading
from pathlib import Path

import numpy as np

RATE = 48000  # what playback runs at
DEFAULT_VOICE = "~/.cache/sonvale/piper/en_US-joe-medium.onnx"
# Headroom: the voice normalises every sentence to full scale, and resampling
# can overshoot a full-scale peak.
VOLUME = 0.9


class PiperError(RuntimeError):
    """The voice or its configuration is missing or unreadable."""


def _session(path: Path, threads: int):
    """The voice's ONNX Runtime session: one thread, no spinning. With the
    default options ONNX Runtime's thread pool spins between runs, and the
    synthesis thread waits between pieces all day. One thread also costs
    less CPU per second of speech than two here (0.15 against 0.19 s) and
    speaks several times faster than real time; playback, the capture and
    the host's language model want the other cores."""
    import onnxruntime as ort
    opts = ort.SessionOptions()
    opts.intra_op_num_threads = threads
    opts.inter_op_num_threads = 1
    opts.add_session_config_entry("session.intra_op.allow_spinning", "0")
    opts.add_session_config_entry("session.inter_op.allow_spinning", "0")
    opts.log_severity_level = 3
    return ort.InferenceSession(str(path), sess_options=opts, providers=["CPUExecutionProvider"])


class PiperTTS:
    """`ort_predict(text)` returns the text spoken, as mono 16-bit little-endian
    PCM bytes at 48000 Hz; b"" for text with nothing to say. The network runs
    without the GIL, so other threads run meanwhile."""

    def __init__(self, voice: str | os.PathLike | None = None, *, threads: int = 1,
                 length_scale: float | None = None, speaker_id: int | None = None):
        """`voice`: the `.onnx` file (its configuration is the `.onnx.json`
        beside it). `threads`: ONNX Runtime's threads for one piece.
        `length_scale` above 1 speaks more slowly; `speaker_id` picks a speaker
        of a multi-speaker voice."""
        path = Path(os.path.expanduser(voice if voice is not None else DEFAULT_VOICE))
        config_path = path.with_name(path.name + ".json")
        for p in (path, config_path):
            if not p.is_file():
                raise PiperError(f"no Piper voice at {path} ({p.name} is missing); install it with "
                                 "bash tools/setup.sh (or: python tools/fetch_voices.py)")
        from piper import PiperConfig, PiperVoice, SynthesisConfig
        try:
            with open(config_path, encoding="utf-8") as f:
                config = PiperConfig.from_dict(json.load(f))
        except (ValueError, KeyError, TypeError) as e:
            raise PiperError(f"{config_path} is not a Piper voice configuration ({e!r})") from e
        try:
            session = _session(path, threads)
        except Exception as e:  # onnxruntime raises its own exception types
            raise PiperError(f"cannot load the Piper voice {path}: {e}; replace it with "
                             "python tools/fetch_voices.py --force") from e
        # Built here rather than by PiperVoice.load, which opens its session
        # with default options.
        self._voice = PiperVoice(session=session, config=config)
        self._syn = SynthesisConfig(speaker_id=speaker_id, length_scale=length_scale, volume=VOLUME)
        self.voice_path, self.sample_rate = path, config.sample_rate
        # The phonemiser keeps global state; one piece at a time.
        self._lock = threading.Lock()

    def synthesize(self, text: str) -> np.ndarray:
        """The text spoken as float32 samples in [-1, 1] at the voice's own rate."""
        if not isinstance(text, str):
            raise TypeError(f"text must be str, not {type(text).__name__}")
        if not text.strip():
            return np.zeros(0, np.float32)
        with self._lock:
            chunks = [c.audio_float_array for c in self._voice.synthesize(text, self._syn)]
        return np.concatenate(chunks) if chunks else np.zeros(0, np.float32)

    def ort_predict(self, text: str) -> bytes:
        audio = self.synthesize(text)
        if audio.size and self.sample_rate != RATE:
            import soxr
            audio = soxr.resample(audio, self.sample_rate, RATE)
        return np.round(np.clip(audio, -1.0, 1.0) * 32767.0).astype("<i2").tobytes()
