"""max_time bounds an utterance from the frame on which speech began, however
long the capture waited for it: scripted stream and clock (one frame, 1/32 s,
per read) through Input with its own defaults, the module and its Python twin
side by side; and one late utterance on the real path (virtual microphone,
real detector)."""
import inspect

import numpy as np
import pytest

import cantorel.manage as M
from cantorel_dev import twin
from conftest import ALSA, wav_16k
from listening_fakes import STEP, Rig, kept

DEFAULTS = {name: p.default for name, p in inspect.signature(M.Input).parameters.items()
            if p.default is not inspect.Parameter.empty}
FRAMES_PER_SECOND = round(1 / STEP)
# An utterance of 1.875 s with a pause inside it shorter than sld.
UTTERANCE = [0.9] * 20 + [0.2] * 10 + [0.9] * 30
RATE = 16000
# VoiceVD converts the model's one-element array with float(), which numpy 2 warns about.
TARGETS = {"module": lambda: M, "twin": twin.load}


class Host:
    def __init__(self):
        self.heard = []

    def generate(self, samples):
        self.heard.append(samples)
        return "heard"


def recognize(target, monkeypatch, probs):
    """Input(host)._recognize() with Input's defaults; the frames it captured."""
    mod = TARGETS[target]()
    rig = Rig(mod, monkeypatch, probs)
    host = Host()
    assert mod.Input(host)._recognize() == "heard"
    [samples] = host.heard
    assert rig.stream.log[-1] == ("stop_stream",)
    return kept(samples)


def test_the_defaults_the_cases_below_assume():
    assert DEFAULTS == {"sld": 1, "max_time": 3}


@pytest.mark.parametrize("target", TARGETS)
@pytest.mark.parametrize("delay", [0.5, 2.9, 3.1, 10])
def test_an_utterance_is_captured_whole_however_late_it_begins(monkeypatch, capsys, target,
                                                                delay):
    quiet = round(delay * FRAMES_PER_SECOND)
    frames = recognize(target, monkeypatch, [0.0] * quiet + UTTERANCE + [0.0] * 60)
    # Everything from the call on, and the capture ends, as ever, a little
    # more than sld after the last speech frame.
    end = quiet + len(UTTERANCE)
    assert frames == list(range(end + DEFAULTS["sld"] * FRAMES_PER_SECOND + 1))
    assert capsys.readouterr().out == "[ASR] heard\n"


@pytest.mark.parametrize("target", TARGETS)
@pytest.mark.parametrize("delay", [0, 0.5, 2.9, 3.1, 10])
def test_speech_longer_than_max_time_is_cut_max_time_after_it_began(monkeypatch, capsys, target,
                                                                     delay):
    quiet = round(delay * FRAMES_PER_SECOND)
    frames = recognize(target, monkeypatch, [0.0] * quiet + [0.9] * 300 + [0.0] * 60)
    # The first speech frame, then max_time's worth of frames after it.
    assert frames == list(range(quiet + 1 + DEFAULTS["max_time"] * FRAMES_PER_SECOND))


# ------------------------------------------------------------------ real path

def test_a_late_utterance_on_the_microphone_is_captured_whole(virtual_audio, vad_env):
    """Real PyAudio on the virtual microphone and the real detector: a
    recording that begins about 4.5 s after _recognize() was called, past
    Input's max_time, reaches the recogniser sample for sample."""
    utterance = wav_16k(ALSA / "Front_Center.wav").astype(np.int16)
    heard = []

    class Recorder:
        def generate(self, samples):
            heard.append(samples)
            return "x"

    listener = M.Input(Recorder())
    played = np.concatenate([np.zeros(int(4.5 * RATE), np.int16), utterance,
                             np.zeros(int(1.5 * RATE), np.int16)])
    try:
        player = virtual_audio.play_into_microphone(played, RATE, wait=False)
        assert listener._recognize() == "x"
        assert player.wait(20) == 0
    finally:
        listener.recorder.stream.close()
        listener.recorder.pa.terminate()
    [samples] = heard
    start = np.flatnonzero(samples)[0] - np.flatnonzero(utterance)[0]
    assert start > 3 * RATE, start / RATE  # the wait, well past max_time, came first
    # Its beginning sample for sample, then all of it: as many loud samples
    # as were played, the last of them where the recording's last one lies,
    # and then the silence that ended the capture. (A loaded machine can slip
    # a few ms of silence into the virtual microphone or drop a few, so the
    # rest is not compared sample for sample.)
    loud = np.flatnonzero(np.abs(utterance.astype(np.int32)) > 300)
    head = utterance[:loud[0] + RATE // 10]
    np.testing.assert_array_equal(samples[start:start + len(head)], head)
    heard_loud = np.flatnonzero(np.abs(samples.astype(np.int32)) > 300)
    assert abs(len(heard_loud) - len(loud)) < 0.05 * len(loud), (len(heard_loud), len(loud))
    assert abs(heard_loud[-1] - (start + loud[-1])) < RATE // 4
    assert (len(samples) - heard_loud[-1]) / RATE > DEFAULTS["sld"]
