"""The demo's Whisper ears and Piper voice with the module on the virtual
devices: Piper's speech played by Output and recorded from the speaker, or
played into the microphone and captured by Input, then transcribed by Whisper."""
import threading

import numpy as np
import pytest

import cantorel.manage as M
from test_listening_real import padded, released
from voice_models import locate_whole, piper, voice_files, whisper, word_error_rate  # noqa: F401

RATE = 16000


def to_16k(audio, rate):
    import soxr
    y = soxr.resample(np.asarray(audio, np.float32), rate, RATE)
    return np.round(np.clip(y, -1.0, 1.0) * 32767).astype(np.int16)


REPLY = ("Good morning, and welcome back. The weather today is cool and bright. "
         "I have read the report you sent me last night. We should meet again before the end "
         "of the week. Thank you for listening, and have a pleasant day.")


def test_reply_spoken_by_piper_is_heard_in_order(virtual_audio, piper, whisper):
    from cantorel_dev.hosts.whisper_asr import words
    made = []

    class Voice:
        def ort_predict(self, text):
            audio = piper.ort_predict(text)
            made.append((text, audio))
            return audio

    out = M.Output(Voice())
    recording = virtual_audio.record_speaker()
    out._add_stream(iter([REPLY[i:i + 4] for i in range(0, len(REPLY), 4)]))
    waiter = threading.Thread(target=out._wait_all, daemon=True)
    waiter.start()
    waiter.join(120)
    assert not waiter.is_alive()
    got, rate = recording.stop()

    assert "".join(text for text, _ in made) == REPLY and len(made) >= 5
    after = 0
    for text, audio in made:  # each piece whole, in the order the reply has them
        piece = np.frombuffer(audio, "<i2")
        assert len(piece) > rate // 4, text
        after = locate_whole(got, piece, after, window=rate // 200)[1]
    heard = whisper.generate(to_16k(got / 32768.0, rate))
    assert word_error_rate(words(REPLY), heard) <= 0.10, heard


@pytest.mark.parametrize("text", [
    "Turn on the lights.",                                             # about 1 s
    "Please remind me to call my sister when I get home tonight.",     # about 3 s
    "The library opens early on weekdays, so we can return the books before work. "
    "After that, we will walk to the market for fresh bread.",        # about 8 s
])
def test_piper_utterance_is_captured_whole_and_heard(virtual_audio, vad_env, piper, whisper, text):
    from cantorel_dev.hosts.whisper_asr import words
    utterance = to_16k(piper.synthesize(text), piper.sample_rate)
    seconds = len(utterance) / RATE
    heard = []

    class Ears:
        def generate(self, samples):
            heard.append(samples)
            return whisper.generate(samples)

    # Long enough even when a loaded machine's sound server stretches the
    # playback with gaps (seen: 7.6 s of speech arriving over 11 s).
    listener = M.Input(Ears(), 1, int(2 * seconds) + 5)
    with released(listener.recorder):
        player = virtual_audio.play_into_microphone(padded(utterance), RATE, wait=False)
        said = listener._recognize()
        assert player.wait(30) == 0
    [samples] = heard
    locate_whole(samples, utterance)  # from its first sound to its last
    assert word_error_rate(words(text), said) <= 0.10, (seconds, said)


def test_late_utterance_is_captured_whole_with_the_defaults(virtual_audio, vad_env, piper, whisper):
    """Speech that begins 5 s after _recognize() was called: Input's default
    max_time of 3 s bounds the utterance, not the wait."""
    from cantorel_dev.hosts.whisper_asr import words
    text = "Set a timer for the pasta, please."
    utterance = to_16k(piper.synthesize(text), piper.sample_rate)
    heard = []

    class Ears:
        def generate(self, samples):
            heard.append(samples)
            return whisper.generate(samples)

    listener = M.Input(Ears())
    with released(listener.recorder):
        player = virtual_audio.play_into_microphone(padded(utterance, 5.0), RATE, wait=False)
        said = listener._recognize()
        assert player.wait(30) == 0
    [samples] = heard
    begin, _ = locate_whole(samples, utterance)
    assert begin > 4 * RATE  # the wait before it is in the capture too
    assert word_error_rate(words(text), said) <= 0.10, said
