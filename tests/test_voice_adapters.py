"""The Whisper and Piper adapters (cantorel_dev.hosts.whisper_asr and
piper_tts) on their own: the contract a host relies on, and refusals that
name what to run instead of reaching for the network."""
import os
import shutil

import numpy as np
import pytest

from cantorel_dev.hosts import whisper_asr
from voice_models import piper, voice_files, whisper, word_error_rate  # noqa: F401 (fixtures)


@pytest.mark.parametrize("drop", [None, "tokenizer.json", "model.bin"])
def test_whisper_without_its_model_names_the_fetch_step(tmp_path, voice_files, drop):
    model = tmp_path / "model"
    if drop is not None:
        shutil.copytree(voice_files / "whisper-tiny.en", model,
                        ignore=lambda d, names: [drop], copy_function=os.symlink)
    # No download either: without tokenizer.json faster-whisper alone would fetch one.
    with pytest.raises(whisper_asr.WhisperError, match=f"{drop or 'config.json'} is missing.*fetch_voices"):
        whisper_asr.WhisperASR(model)


def test_piper_speaks_at_48k(piper, whisper):
    text = "The quick brown fox jumps over the lazy dog."
    pcm = piper.ort_predict(text)  # the voice varies its timing from call to call
    assert isinstance(pcm, bytes) and len(pcm) % 2 == 0
    samples = np.frombuffer(pcm, "<i2")
    assert 1.5 < len(samples) / 48000 < 5
    assert 2000 < np.sqrt(np.mean(samples.astype(float) ** 2)) and np.abs(samples).max() < 32767
    # Taken as 48 kHz and brought to 16 kHz, it is heard: audio at any other
    # rate would be too fast or too slow to understand.
    import soxr
    heard = whisper.generate(soxr.resample(samples, 48000, 16000))
    assert word_error_rate(whisper_asr.words(text), heard) <= 0.1, heard
