"""Speech recognition with Whisper through faster-whisper (CTranslate2), English,
int8 on the CPU, greedy: `WhisperASR().generate(samples) -> str`.

The model is any CTranslate2 Whisper model directory; by default the tiny
English one that `tools/fetch_voices.py` (run by tools/setup.sh) puts in
`~/.cache/sonvale/whisper-tiny.en/`. Nothing is downloaded here."""
from __future__ import annotations

import os
import re
import threading
from pathlib import Path

import numpy as np

from . import mono_int16

RATE = 16000  # what the capture loop records and what Whisper expects
DEFAULT_MODEL_DIR = "~/.cache/sonvale/whisper-tiny.en"
# What CTranslate2 needs to load the model and faster-whisper to read its tokens;
# without tokenizer.json faster-whisper would fetch one from the network.
MODEL_FILES = ("config.json", "model.bin", "tokenizer.json")
_WORD = re.compile(r"[a-z0-9]+(?:'[a-z0-9]+)*")


class WhisperError(RuntimeError):
    """The model directory is missing, incomplete or unreadable."""


def words(text: str) -> str:
    """Whisper's punctuated, capitalised text as lower-case words separated by
    single spaces, the way the other recogniser reports them ("It's 5 o'clock."
    -> "it's 5 o'clock")."""
    return " ".join(_WORD.findall(text.lower().replace("\u2019", "'")))


class WhisperASR:
    """Recognises one utterance at a time.

    `generate(samples)` takes the utterance as a 1-D numpy int16 array of mono
    16 kHz audio (it is only read) and returns the words heard, lower case,
    separated by single spaces, or "" when it heard none. `transcribe(samples)`
    returns Whisper's own text, with capitals and punctuation."""

    def __init__(self, model_dir: str | os.PathLike | None = None, *, cpu_threads: int | None = None):
        """`cpu_threads`: CTranslate2's threads for one utterance; by default
        one per core, at most 4 (more threads than cores only contend). Its
        threads sleep between utterances."""
        if cpu_threads is None:
            cpu_threads = min(4, os.cpu_count() or 1)
        path = Path(os.path.expanduser(model_dir if model_dir is not None else DEFAULT_MODEL_DIR))
        missing = [f for f in MODEL_FILES if not (path / f).is_file()]
        if missing:
            raise WhisperError(f"no Whisper model at {path} ({missing[0]} is missing); "
                               "install it with bash tools/setup.sh (or: python tools/fetch_voices.py)")
        from faster_whisper import WhisperModel
        try:
            self._model = WhisperModel(str(path), device="cpu", compute_type="int8",
                                       cpu_threads=cpu_threads, local_files_only=True)
        except (RuntimeError, ValueError, OSError) as e:
            raise WhisperError(f"cannot load the Whisper model at {path}: {e}; replace it with "
                               "python tools/fetch_voices.py --force") from e
        self.model_dir = path
        self.english_only = not self._model.model.is_multilingual
        # One utterance at a time: concurrent calls would only share the same cores.
        self._lock = threading.Lock()

    def transcribe(self, samples) -> str:
        x = mono_int16(samples)
        if x.size == 0:
            return ""
        audio = x.astype(np.float32) / 32768.0  # a new array: the caller's stays untouched
        with self._lock:
            segments, _ = self._model.transcribe(
                audio, language="en", task="transcribe",
                beam_size=1, temperature=0.0,           # greedy, and the same text every time
                condition_on_previous_text=False,       # one utterance: nothing to carry over
                without_timestamps=True, vad_filter=False)  # the capture already cut it
            text = "".join(s.text for s in segments)    # segments is lazy: decoding happens here
        return " ".join(text.split())

    def generate(self, samples) -> str:
        return words(self.transcribe(samples))
