"""The Whisper and Piper adapters (examples/hosts/whisper_asr.py,
piper_tts.py) on their own: the contract a host relies on, and refusals that
name what to run instead of reaching for the network."""
import os
import shutil

import numpy as np
import pytest

from conftest import ALSA, wav_16k
from voice_models import piper, voice_files, whisper, word_error_rate  # noqa: F401 (fixtures)
from hosts import piper_tts, whisper_asr


@pytest.mark.parametrize("text, expected", [
    (" Front center.", "front center"),
    ("It\u2019s five o'clock, isn't it?", "it's five o'clock isn't it"),
    ("Well-known -- and 10% OK!", "well known and 10 ok"),
    ("...", ""),
])
def test_words(text, expected):
    assert whisper_asr.words(text) == expected


@pytest.mark.parametrize("name, expected", [("Front_Center", "front center"),
                                            ("Rear_Left", "rear left"),
                                            ("Side_Right", "side right")])
def test_whisper_hears_alsa_recordings(whisper, name, expected):
    samples = wav_16k(ALSA / f"{name}.wav").astype(np.int16)
    samples.flags.writeable = False  # as the capture hands it over
    assert whisper.generate(samples) == expected


@pytest.mark.parametrize("samples, error", [
    (np.zeros(1600, np.float32), TypeError),
    (np.zeros((2, 800), np.int16), ValueError),
])
def test_whisper_refuses_what_the_capture_never_gives(whisper, samples, error):
    with pytest.raises(error):
        whisper.generate(samples)


def test_whisper_hears_nothing_in_nothing(whisper):
    assert whisper.generate(np.zeros(0, np.int16)) == ""


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
    # At 48 kHz: a third of the samples is the same speech at 16 kHz (the
    # voice has nothing above 11 kHz to fold back); read at a wrong rate it
    # would be heard too fast or too slow.
    heard = whisper.generate(samples[::3].copy())
    assert word_error_rate(whisper_asr.words(text), heard) <= 0.1, heard


@pytest.mark.parametrize("text", ["", "   ", "\n"])
def test_piper_has_nothing_to_say(piper, text):
    assert piper.ort_predict(text) == b""


def test_piper_refuses_what_is_not_text(piper):
    with pytest.raises(TypeError, match="str"):
        piper.ort_predict(b"bytes")


@pytest.mark.parametrize("drop, config", [(".onnx.json", None), (".onnx", None),
                                          (None, b'{"audio": {}}')])
def test_piper_without_a_usable_voice(tmp_path, voice_files, drop, config):
    for suffix in (".onnx", ".onnx.json"):
        if suffix != drop:
            os.symlink(voice_files / "piper" / f"en_US-joe-medium{suffix}", tmp_path / f"v{suffix}")
    if config is not None:
        (tmp_path / "v.onnx.json").unlink()
        (tmp_path / "v.onnx.json").write_bytes(config)
    with pytest.raises(piper_tts.PiperError, match="fetch_voices" if drop else "configuration"):
        piper_tts.PiperTTS(tmp_path / "v.onnx")
