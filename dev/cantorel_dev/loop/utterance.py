"""The utterance played into the virtual microphone: any PCM WAV file, as
16 kHz mono 16-bit samples with silence around them."""
from __future__ import annotations

import wave
from pathlib import Path

import numpy as np

from cantorel_dev.speech_frames import FRONT_CENTER, RATE, read_pcm_wav

from .errors import LoopError

LEAD_SILENCE = 0.5      # seconds of silence played before the utterance
TAIL_SILENCE = 1.5      # and after it (the capture waits for `sld` seconds of it)
MAX_UTTERANCE = 30.0    # seconds; one utterance, not a recording session
DEFAULT_WAV = FRONT_CENTER


def resample(x: np.ndarray, rate_in: int, rate_out: int) -> np.ndarray:
    """Mono samples (16-bit scale, float) from rate_in to rate_out."""
    if rate_in == rate_out or not len(x):
        return np.asarray(x, dtype=np.float64)
    try:
        import soxr
    except ImportError:
        raise LoopError("resampling needs soxr: pip install '.[demo]' (or bash tools/setup.sh)") from None
    return soxr.resample(np.asarray(x, dtype=np.float64), rate_in, rate_out)


def load_utterance(path: Path) -> tuple[np.ndarray, str]:
    """The WAV file as 16 kHz mono int16 samples, and what was done to get them.

    8/16/24/32-bit PCM, any channel count and any rate are converted; anything
    else is refused with a LoopError that says why and how to convert it."""
    convert = f"convert it with: sox '{path}' -r 16000 -c 1 -b 16 out.wav"
    if not path.is_file():
        raise LoopError(f"{path}: no such file")
    try:
        wav = read_pcm_wav(path)
    except (wave.Error, EOFError) as e:
        raise LoopError(f"{path} is not a PCM WAV file ({e}); {convert}") from None
    except ValueError as e:
        raise LoopError(f"{path}: {e}; {convert}") from None
    x, rate, channels, width = wav
    if rate < 1000:
        raise LoopError(f"{path}: implausible header ({channels} channels, {rate} Hz); {convert}")
    seconds = len(x) / rate
    if seconds < 0.2:
        raise LoopError(f"{path}: {seconds:.2f} s of audio is too short for an utterance")
    if seconds > MAX_UTTERANCE:
        raise LoopError(f"{path}: {seconds:.1f} s is longer than one utterance "
                        f"(at most {MAX_UTTERANCE:.0f} s); cut it, e.g. sox '{path}' out.wav trim 0 10")
    done = []
    if width != 2:
        done.append(f"{8 * width}-bit to 16-bit")
    if channels != 1:
        done.append(f"{channels} channels mixed to mono")
    if rate != RATE:
        done.append(f"resampled from {rate} Hz to 16 kHz")
        x = resample(x, rate, RATE)
    samples = np.clip(np.rint(x), -32768, 32767).astype(np.int16)
    return samples, (", ".join(done) if done else "16 kHz mono 16-bit, used as it is")


def with_silence(samples: np.ndarray, lead: float = LEAD_SILENCE, tail: float = TAIL_SILENCE) -> np.ndarray:
    z = np.zeros
    return np.concatenate([z(int(lead * RATE), np.int16), samples, z(int(tail * RATE), np.int16)])
