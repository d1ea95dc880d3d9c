"""The recogniser and the voice the loop hands to the module (cantorel_dev.hosts; a
host program brings its own), which one the user chose, and timing wrappers."""
from __future__ import annotations

import importlib
import time
from dataclasses import dataclass
from pathlib import Path
import numpy as np

from .errors import LoopError, one_line

PLAY_RATE = 48000  # what a voice returns: the module plays 48 kHz
INSTALL_VOICES = "bash tools/setup.sh (or: python tools/fetch_voices.py)"
INSTALL_DEMO = "pip install '.[demo]' (or bash tools/setup.sh)"


@dataclass(frozen=True)
class Adapter:
    module: str                 # under cantorel_dev.hosts
    cls: str
    label: str                  # for progress lines
    needs: tuple[str, ...] = ()  # what set-up downloads for it (under ~/.cache/sonvale)
    what: str = ""              # "Whisper model", "Piper voice", for messages
    light: str = ""             # the option that avoids the download


CACHE = Path("~/.cache/sonvale")
RECOGNISERS = {
    # The files faster-whisper needs to load the model without the network.
    "whisper": Adapter("cantorel_dev.hosts.whisper_asr", "WhisperASR", "Whisper tiny.en",
                       tuple(f"whisper-tiny.en/{f}" for f in ("config.json", "model.bin", "tokenizer.json")),
                       "Whisper model", "--asr pocketsphinx"),
    "pocketsphinx": Adapter("cantorel_dev.hosts.pocketsphinx_asr", "PocketSphinxASR", "pocketsphinx"),
}
VOICES = {
    "piper": Adapter("cantorel_dev.hosts.piper_tts", "PiperTTS", "Piper en_US-joe-medium",
                     ("piper/en_US-joe-medium.onnx", "piper/en_US-joe-medium.onnx.json"),
                     "Piper voice", "--tts espeak"),
    "espeak": Adapter("cantorel_dev.hosts.espeak_tts", "EspeakTTS", "espeak-ng"),
}


def check_models(asr: str, tts: str) -> None:
    """Before anything starts: the chosen adapters' downloads are in place."""
    for adapter in (RECOGNISERS[asr], VOICES[tts]):
        for name in adapter.needs:
            path = (CACHE / name).expanduser()
            if not path.is_file():
                raise LoopError(f"the {adapter.what} is missing: {path}; install it with {INSTALL_VOICES}, "
                                f"or use {adapter.light}")


def _make(adapter: Adapter):
    try:
        cls = getattr(importlib.import_module(adapter.module), adapter.cls)
    except ImportError as e:
        raise LoopError(f"{adapter.label} is not installed ({e}): {INSTALL_DEMO}") from None
    try:
        return cls()
    except Exception as e:
        said = one_line(e)
        if not adapter.needs:
            again = INSTALL_DEMO
        elif "tools/" in said:  # the adapter said what to run
            again = f"or use {adapter.light}"
        else:
            again = f"reinstall it with {INSTALL_VOICES}, or use {adapter.light}"
        raise LoopError(f"cannot set up {adapter.label} ({type(e).__name__}: {said}); {again}") from None


def load_hosts(asr: str = "whisper", tts: str = "piper"):
    """The chosen recogniser and voice, made with their defaults."""
    return _make(RECOGNISERS[asr]), _make(VOICES[tts])


def labels(asr: str, tts: str) -> tuple[str, str]:
    return RECOGNISERS[asr].label, VOICES[tts].label


class TimedRecognizer:
    """Wraps the recogniser: remembers when `generate` ran and what it was given."""

    def __init__(self, asr):
        self.asr = asr
        self.calls: list[tuple[float, float, np.ndarray]] = []

    def generate(self, samples: np.ndarray) -> str:
        t0 = time.monotonic()
        text = self.asr.generate(samples)
        self.calls.append((t0, time.monotonic(), samples))
        return text


class TimedTTS:
    """Wraps the synthesiser: remembers when each piece's audio was ready and how long it is.
    Called on the module's TTS worker thread."""

    def __init__(self, tts):
        self.tts = tts
        self.pieces: list[tuple[float, float, float]] = []  # (start, ready, seconds of audio)
        # (samples, first and last sample louder than `LEVEL`, or -1): where each
        # piece sounds, to find it again in a recording of the speaker
        self.shapes: list[tuple[int, int, int]] = []

    LEVEL = 200

    def ort_predict(self, text: str) -> bytes:
        t0 = time.monotonic()
        audio = self.tts.ort_predict(text)
        ready = time.monotonic()
        x = np.frombuffer(audio, "<i2", count=len(audio) // 2)
        loud = np.flatnonzero(np.abs(x.astype(np.int32)) > self.LEVEL)
        self.pieces.append((t0, ready, len(x) / PLAY_RATE))
        self.shapes.append((len(x), int(loud[0]), int(loud[-1])) if len(loud) else (len(x), -1, -1))
        return audio

    def reset(self) -> None:
        self.pieces, self.shapes = [], []
