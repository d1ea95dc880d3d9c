"""The Whisper model and the Piper voice for tests (tools/fetch_voices.py puts
them in the user's cache; without them there, they are fetched into a
temporary one), the adapters on them, and word error rate."""
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from conftest import ROOT

CACHE = Path.home() / ".cache" / "sonvale"


@pytest.fixture(scope="session")
def voice_files(tmp_path_factory) -> Path:
    """A directory laid out like ~/.cache/sonvale with whisper-tiny.en/ and piper/."""
    if (CACHE / "whisper-tiny.en" / "model.bin").is_file() and \
            (CACHE / "piper" / "en_US-joe-medium.onnx").is_file():
        return CACHE
    dest = tmp_path_factory.mktemp("voices")
    subprocess.run([sys.executable, str(ROOT / "tools" / "fetch_voices.py"), "--dest-dir", str(dest)],
                   check=True)
    return dest


@pytest.fixture(scope="session")
def whisper(voice_files):
    from cantorel_dev.hosts.whisper_asr import WhisperASR
    return WhisperASR(voice_files / "whisper-tiny.en")


@pytest.fixture(scope="session")
def piper(voice_files):
    from cantorel_dev.hosts.piper_tts import PiperTTS
    return PiperTTS(voice_files / "piper" / "en_US-joe-medium.onnx")


def word_error_rate(reference: str, heard: str) -> float:
    """Word-level edit distance over the reference's length (both already
    lower-case words, as WhisperASR.generate and cantorel_dev.hosts.whisper_asr.words give)."""
    ref, hyp = reference.split(), heard.split()
    row = list(range(len(hyp) + 1))
    for i, r in enumerate(ref, 1):
        prev, row[0] = row[0], i
        for j, h in enumerate(hyp, 1):
            prev, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, prev + (r != h))
    return row[-1] / max(1, len(ref))


def _find(recording, window, after):
    """The first position at or after `after` where `window` lies sample for sample, or None."""
    lead = int(np.flatnonzero(window)[0])
    for at in np.flatnonzero(recording[after + lead:] == window[lead]) + after:
        if np.array_equal(recording[at:at + len(window)], window):
            return int(at)
    return None


def locate_whole(recording, played, after=0, window=80, tries=12):
    """Where `played` begins and ends in `recording` (at or after `after`).

    Its opening and its closing stretch (each `tries` windows of `window`
    samples, a window apart: 0.12 s at 16 kHz) must each hold a window found
    there sample for sample. Nothing more is compared: on a loaded machine
    the sound server slips 5-10 ms of silence into a stream it was fed too
    late, as often as every few windows, which shifts the rest and splits
    longer stretches without losing any of the sound."""
    played = np.asarray(played)
    loud = np.flatnonzero(np.abs(played.astype(np.int32)) > 30)
    first, last = int(loud[0]), int(loud[-1]) + 1
    begin = end = None
    for k in range(tries):
        at = first + 2 * k * window
        found = _find(recording, played[at:at + window], after)
        if found is not None:
            begin = found - at
            break
    assert begin is not None, "the opening of the sound is not in the recording"
    for k in range(tries):
        at = last - window - 2 * k * window
        found = _find(recording, played[at:at + window], max(after, begin))
        if found is not None:
            end = found - at + last
            break
    assert end is not None, "the end of the sound is not in the recording (cut short?)"
    return begin, end
