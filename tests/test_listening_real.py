"""Listening on the real audio path: real PyAudio (PortAudio over ALSA's pulse
plugin) reading the virtual microphone of cantorel_dev.virtual_audio in real
time, the real detector model, and PocketSphinx as the host's recogniser.

The recordings are the alsa-utils ones, resampled to 16 kHz and played into
the microphone at that rate, so they reach the capture sample for sample and
can be found in its result exactly."""
from contextlib import contextmanager

import numpy as np
import pytest

import cantorel.manage as M
from conftest import ALSA, clean_exits, wav_16k

RATE = 16000
# VoiceVD converts the model's one-element array with float(), which numpy 2 warns about.


def recording(name):
    return wav_16k(ALSA / f"{name}.wav").astype(np.int16)


def padded(x, before=1.0, after=1.0):
    return np.concatenate([np.zeros(int(before * RATE), np.int16), x,
                           np.zeros(int(after * RATE), np.int16)])


def locate(captured, played, start=0):
    """Where `played` lies, sample for sample, in `captured` (after `start`,
    where silence must precede it); fails if it is not whole there."""
    first = np.flatnonzero(played)[0]
    offset = start + np.flatnonzero(captured[start:])[0] - first
    assert offset >= 0, "the capture began after the sound"
    np.testing.assert_array_equal(captured[offset:offset + len(played)], played)
    return offset


def last_loud(x, level=300):
    return np.flatnonzero(np.abs(x.astype(np.int32)) > level)[-1]


@contextmanager
def released(recorder):
    """The module never closes a recorder's stream; the test does, while the
    server still runs (closing it after the server is gone hangs in libpulse)."""
    try:
        yield recorder
    finally:
        thread = getattr(recorder, "thread", None)
        if thread is not None:
            thread.join(20)
        recorder.stream.close()
        recorder.pa.terminate()


@pytest.mark.parametrize("name, sld", [("Front_Right", 1), ("Side_Left", 1), ("Rear_Center", 1),
                                       ("Front_Left", 2)])
def test_record_audio_holds_the_whole_utterance(virtual_audio, vad_env, name, sld):
    utterance = recording(name)
    with released(M.RecVoice(sld=sld, max_time=10)) as rec:
        player = virtual_audio.play_into_microphone(padded(utterance), RATE, wait=False)
        audio = rec.record_audio()
        assert player.wait(10) == 0
    assert audio.dtype == np.int16 and not audio.flags.writeable and len(audio) % 512 == 0
    offset = locate(audio, utterance)
    assert offset > 0.5 * RATE  # the silence before the speech is kept
    # It ends a little more than sld seconds after the speech: the silence
    # limit plus the smoothing window's delay in noticing that speech ended.
    tail = (len(audio) - (offset + last_loud(utterance))) / RATE
    assert sld < tail < sld + 0.5, tail


def test_input_recognizes_what_was_said(virtual_audio, vad_env, asr, capsys):
    utterance = recording("Front_Right")
    heard = []

    class Host:
        def generate(self, samples):
            text = asr.generate(samples)
            heard.append((samples, text))
            return text

    listener = M.Input(Host())
    with released(listener.recorder):
        player = virtual_audio.play_into_microphone(padded(utterance), RATE, wait=False)
        text = listener._recognize()
        assert player.wait(10) == 0
    [(samples, said)] = heard
    assert text == said and "right" in text.split()
    assert capsys.readouterr().out == f"[ASR] {text}\n"
    assert samples is listener.recorder.audio_np
    locate(samples, utterance)


def test_noise_alone_does_not_start_an_utterance(virtual_audio, vad_env):
    noise, speech = recording("Noise"), recording("Side_Right")
    with released(M.RecVoice_T(sld=1, max_time=10)) as rec:
        rec.start_recording()
        virtual_audio.play_into_microphone(padded(noise, 0.5, 0.5), RATE)
        assert rec.thread.is_alive() and rec.get_audio() is None  # still waiting
        # Speech ends the capture; the noise before it is in the result.
        virtual_audio.play_into_microphone(padded(speech, 0, 0.2), RATE)
        rec.thread.join(10)
        assert not rec.thread.is_alive()
    audio = rec.get_audio()
    noise_end = locate(audio, noise) + len(noise)
    assert locate(audio, speech, noise_end) >= noise_end


EXIT = r"""
import threading, time
import cantorel.manage as M
rec = M.RecVoice_T()
rec.start_recording()
time.sleep({delay})
print("main done", flush=True)
"""

def test_interpreter_exit_while_capturing_from_the_microphone(virtual_audio, model_home):
    """The capture thread is reading the silent microphone (or scoring what it
    read) when the interpreter ends; delays spread the exit over its frames."""
    for proc in clean_exits(lambda run: EXIT.format(delay=0.2 + 0.013 * run), 20,
                            env={"HOME": str(model_home)}, also=["core dumped", "Traceback"]):
        assert proc.stdout == "main done\n", proc.stderr[-3000:]
