"""The host-side recogniser and synthesiser in cantorel_dev.hosts, on real audio."""
import subprocess
import threading
import time
import wave

import numpy as np
import pytest

from cantorel_dev.hosts.espeak_tts import RATE, EspeakTTS
from conftest import ALSA, wav_16k


def read_only(x):
    x = np.array(x, dtype=np.int16)
    x.setflags(write=False)  # the recogniser must only read what it is given
    return x


# PocketSphinx 5.1.1 hears "front right", "side left" as "sigh and left",
# "rear right" as "we're right": the side word is always right.
@pytest.mark.parametrize("name, word", [("Front_Right", "right"), ("Side_Left", "left"),
                                        ("Rear_Right", "right"), ("Noise", None)])
def test_pocketsphinx_hears_alsa_recordings(asr, name, word):
    text = asr.generate(read_only(wav_16k(ALSA / f"{name}.wav")))
    if word is None:
        assert text == ""
    else:
        assert word in text.split(), text


def test_pocketsphinx_hears_the_virtual_microphone(asr, virtual_audio):
    """The demo's path: a recording played into the microphone, captured by PyAudio."""
    import pyaudio
    pa = pyaudio.PyAudio()
    try:
        stream = pa.open(format=pyaudio.paInt16, channels=1, rate=16000, input=True,
                         frames_per_buffer=512)
        player = virtual_audio.play_into_microphone(ALSA / "Front_Right.wav", wait=False)
        frames = [stream.read(512, exception_on_overflow=False) for _ in range(16000 * 2 // 512)]
        stream.close()
    finally:
        pa.terminate()
    assert player.wait(5) == 0
    assert "right" in asr.generate(np.frombuffer(b"".join(frames), np.int16)).split()


@pytest.mark.parametrize("text", ["hello world", "the quick brown fox jumps over the lazy dog"])
def test_espeak_speaks_at_48k(tmp_path, text):
    pcm = EspeakTTS().ort_predict(text)
    assert isinstance(pcm, bytes) and len(pcm) % 2 == 0
    samples = np.frombuffer(pcm, "<i2")
    seconds = len(samples) / RATE
    # espeak-ng's own 22050 Hz output of the same text lasts as long.
    own = tmp_path / "own.wav"
    subprocess.run(["espeak-ng", "-v", "en-us", "-w", str(own), text], check=True, timeout=60)
    with wave.open(str(own)) as w:
        assert seconds == pytest.approx(w.getnframes() / w.getframerate(), abs=0.002)
    words = len(text.split())
    assert 0.15 * words < seconds < 0.6 * words + 0.5
    assert np.sqrt(np.mean(samples.astype(float) ** 2)) > 500


def test_espeak_lets_other_threads_run():
    text = " ".join(["the quick brown fox jumps over the lazy dog"] * 60)
    done, stamps, took = threading.Event(), [], []

    def speak():
        t = time.monotonic()
        EspeakTTS().ort_predict(text)
        took.append(time.monotonic() - t)
        done.set()

    worker = threading.Thread(target=speak)
    worker.start()
    while not done.is_set():
        stamps.append(time.monotonic())
    worker.join()
    # Holding the GIL through the synthesis would stall this loop for about as
    # long as the call; measured: 1.2 s calls (beside this spinning loop on two
    # cores), longest stall 9-15 ms.
    assert took[0] > 0.05
    assert np.diff(stamps).max() < took[0] / 2
