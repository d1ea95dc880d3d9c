"""Speech synthesis with espeak-ng (Debian package `espeak-ng`), resampled to
the playback rate: `EspeakTTS().ort_predict(text) -> bytes`."""
from __future__ import annotations

import os
import shutil
import struct
import subprocess

import numpy as np

RATE = 48000  # what playback runs at


class EspeakError(RuntimeError):
    """espeak-ng could not be run or gave no usable audio."""


def parse_wav(data: bytes) -> tuple[np.ndarray, int]:
    """Mono int16 samples and rate from espeak-ng's `--stdout` WAV. Writing to a
    pipe, it cannot go back to fill in the sizes, so the RIFF and data sizes are
    placeholders; the data runs to the end of the output."""
    if len(data) < 12 or data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise EspeakError(f"espeak-ng wrote no WAV ({len(data)} bytes)")
    pos, fmt = 12, None
    while pos + 8 <= len(data):
        tag, size = data[pos:pos + 4], struct.unpack_from("<I", data, pos + 4)[0]
        body = pos + 8
        if tag == b"fmt ":
            fmt = struct.unpack_from("<HHIIHH", data, body)
        elif tag == b"data":
            if fmt is None:
                raise EspeakError("espeak-ng's WAV has data before its format")
            encoding, channels, rate, _, _, bits = fmt
            if (encoding, channels, bits) != (1, 1, 16):
                raise EspeakError(f"espeak-ng wrote encoding {encoding}, {channels} channels, "
                                  f"{bits} bits; expected 16-bit mono PCM")
            pcm = data[body:body + min(size, len(data) - body)]
            return np.frombuffer(pcm[:len(pcm) // 2 * 2], dtype="<i2"), rate
        pos = body + size + (size & 1)
    raise EspeakError("espeak-ng's WAV has no data chunk")


class EspeakTTS:
    """`ort_predict(text)` returns the text spoken, as mono 16-bit little-endian
    PCM bytes at 48000 Hz; b"" for text with nothing to say. The work happens in
    a child process, so other threads run meanwhile."""

    def __init__(self, voice: str = "en-us", *, speed: int | None = None,
                 executable: str = "espeak-ng", timeout: float = 60.0):
        self.voice, self.speed, self.timeout = voice, speed, timeout
        self.executable = shutil.which(executable)
        if self.executable is None:
            raise EspeakError(f"{executable} not found: install the Debian package espeak-ng "
                              "(bash tools/setup.sh does)")

    def ort_predict(self, text: str) -> bytes:
        if not isinstance(text, str):
            raise TypeError(f"text must be str, not {type(text).__name__}")
        if not text.strip():
            return b""
        cmd = [self.executable, "--stdout", "--stdin", "-v", self.voice]
        if self.speed is not None:
            cmd += ["-s", str(self.speed)]
        # Text on stdin, so a text starting with "-" is not read as an option.
        # No preloaded sanitizer runtime: espeak-ng can deadlock at start-up with one.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        try:
            r = subprocess.run(cmd, input=text.encode("utf-8"), capture_output=True, env=env,
                               timeout=self.timeout)
        except subprocess.TimeoutExpired:
            raise EspeakError(f"espeak-ng took longer than {self.timeout} s") from None
        except OSError as e:
            raise EspeakError(f"could not run espeak-ng: {e}") from e
        if r.returncode != 0:
            raise EspeakError(f"espeak-ng failed ({r.returncode}): "
                              f"{r.stderr.decode(errors='replace').strip()}")
        samples, rate = parse_wav(r.stdout)
        if rate != RATE and samples.size:
            import soxr
            samples = soxr.resample(samples, rate, RATE)
        return np.asarray(samples, dtype="<i2").tobytes()
