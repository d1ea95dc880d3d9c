"""The virtual microphone and speaker carry real audio through PortAudio and
simpleaudio, at real-time pace, and their server never outlives its owner.

Measured on the 2-core development machine:
- VirtualAudio.start(): about 0.12 s;
- the first read of a newly opened 16 kHz PyAudio input stream: 25-40 ms
  (with rewinds on and no keep-alive readers: 1.9 s, then 0.44 s);
- a tone played into the microphone shows in PyAudio reads after about 50 ms;
- simpleaudio: 0.5 s at 48 kHz from play_buffer to wait_done in 0.555 s; the
  samples reach the speaker monitor unchanged, 20 ms into the recording (with
  rewinds on, the first 12-18 ms of each playback were missing from it).
The time limits below are far above these and far below an idle 2 s block.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from conftest import dominant_hz, write_wav
from virtual_audio_fixture import virtual_audio_module as va

RATE, FRAME = 16000, 512
SPEAKER_RATE = 48000


PLAY = """
import time, numpy as np, simpleaudio
x = np.random.default_rng({seed}).normal(0, 3000, {n}).astype(np.int16)
t = time.monotonic()
simpleaudio.play_buffer(x.tobytes(), 1, 2, {rate}).wait_done()
print(t, time.monotonic() - t)
"""


@pytest.mark.parametrize("where", ["this process", "fresh process"])
def test_speaker_receives_simpleaudio_playback(virtual_audio, tmp_path, where):
    seed, n = 7, SPEAKER_RATE // 2
    code = PLAY.format(seed=seed, n=n, rate=SPEAKER_RATE)
    recording = virtual_audio.record_speaker()
    # The recording's first sample came no later than this; the monotonic
    # clock is the same in the fresh process.
    recording_began = time.monotonic()
    if where == "this process":
        out = {}
        exec(code.replace("print(", "out['t'] = ("), {"out": out})
        played, elapsed = out["t"]
    else:
        # Only the variables VirtualAudio.env names, and a HOME of its own.
        env = {"PATH": os.environ["PATH"], "HOME": str(tmp_path), **virtual_audio.env}
        r = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                           timeout=60)
        assert r.returncode == 0, r.stderr[-2000:]
        played, elapsed = map(float, r.stdout.split()[-2:])
    time.sleep(0.05)
    got, rate = recording.stop()
    expected = np.random.default_rng(seed).normal(0, 3000, n).astype(np.int16)

    assert rate == SPEAKER_RATE
    assert elapsed < 1.0
    start = np.flatnonzero(got)[0]
    # How late the sound reached the speaker after play began (a fresh
    # interpreter's start-up on a loaded machine is not counted).
    assert start / SPEAKER_RATE - (played - recording_began) < 0.3
    np.testing.assert_array_equal(got[start:start + n], expected)
    assert not got[start + n:].any()


@pytest.mark.parametrize("source, rate, hz", [("samples", 16000, 1000.0), ("wav", 44100, 440.0),
                                               ("samples from a thread that ends", 16000, 1000.0)])
def test_microphone_reaches_pyaudio(virtual_audio, tmp_path, source, rate, hz):
    import pyaudio
    amp, seconds = 8000, 0.5
    tone = (amp * np.cos(2 * np.pi * hz * np.arange(int(rate * seconds)) / rate)).astype(np.int16)
    pa = pyaudio.PyAudio()
    try:
        stream = pa.open(format=pyaudio.paInt16, channels=1, rate=RATE, input=True,
                         frames_per_buffer=FRAME)
        t = time.monotonic()
        first = np.frombuffer(stream.read(FRAME), np.int16)
        first_read = time.monotonic() - t
        if source == "wav":
            path = tmp_path / "tone.wav"
            write_wav(path, tone.tobytes(), 1, 2, rate)
            player = virtual_audio.play_into_microphone(path, wait=False)
        elif source == "samples":
            player = virtual_audio.play_into_microphone(tone, rate, wait=False)
        else:  # the player outlives the thread that started it
            started = []
            thread = threading.Thread(target=lambda: (started.append(
                virtual_audio.play_into_microphone(tone, rate, wait=False)), time.sleep(0.1)))
            thread.start()
            thread.join()
            player = started[0]
        frames = [np.frombuffer(stream.read(FRAME, exception_on_overflow=False), np.int16)
                  for _ in range(int((seconds + 0.6) * RATE / FRAME))]
        stream.close()
    finally:
        pa.terminate()
    assert player.wait(5) == 0
    assert first_read < 0.5
    assert not first.any(), "the microphone should be silent before anything plays"

    heard = np.concatenate(frames)
    loud = np.flatnonzero(np.abs(heard) > amp / 2)
    assert len(loud), "the tone never reached the input stream"
    assert loud[0] < 0.3 * RATE, f"the tone started {loud[0] / RATE:.2f} s late"
    span = heard[loud[0]:loud[-1] + 1].astype(float)
    assert abs(len(span) / RATE - seconds) < 0.01
    assert abs(dominant_hz(span, RATE) - hz) < 5
    assert np.sqrt(np.mean(span ** 2)) == pytest.approx(amp / np.sqrt(2), rel=0.05)
    if source != "wav":  # same rate all the way: the samples arrive unchanged
        start = np.flatnonzero(heard)[0]
        np.testing.assert_array_equal(heard[start:start + len(tone)], tone)


OWNER = """
import json, sys
from cantorel_dev import virtual_audio
audio = virtual_audio.VirtualAudio().start()
print(json.dumps({{"pids": audio._pids, "dir": str(audio.directory)}}), flush=True)
if {stop!r}:
    audio.stop()
    print("stopped", flush=True)
else:
    sys.stdin.read()
"""


@pytest.mark.parametrize("end", ["stop", "owner killed"])
def test_server_does_not_outlive_its_owner(end):
    owner = subprocess.Popen([sys.executable, "-c", OWNER.format(stop=end == "stop")],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    state = {"dir": ""}
    try:
        state = json.loads(owner.stdout.readline())
        assert set(state["pids"]) == {"pulseaudio", "keepalive-mic", "keepalive-speaker"}
        if end == "stop":
            assert owner.stdout.readline().strip() == "stopped"
            assert not os.path.exists(state["dir"])
        else:
            assert va._alive(state["pids"]["pulseaudio"], "pulseaudio")
            owner.send_signal(signal.SIGKILL)
        deadline = time.monotonic() + 5
        left = dict(state["pids"])
        while left and time.monotonic() < deadline:
            left = {k: p for k, p in left.items()
                    if va._alive(p, "pulseaudio" if k == "pulseaudio" else "pacat")}
            time.sleep(0.05)
        assert not left, f"still running: {left}"
    finally:
        if state["dir"]:
            shutil.rmtree(state["dir"], ignore_errors=True)  # a killed owner leaves it
        owner.kill()
        owner.wait()
        owner.stdout.close()
        owner.stdin.close()


def test_missing_server_is_named(monkeypatch, tmp_path):
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(va.VirtualAudioError, match=r"pulseaudio.*apt-get install pulseaudio"):
        va.VirtualAudio().start()


def test_a_missing_echo_canceller_is_one_line_saying_what_to_install(monkeypatch):
    monkeypatch.setattr(va.virtual_echo, "canceller_present", lambda: False)
    with pytest.raises(va.VirtualAudioError) as e:
        va.VirtualAudio(aec=True).start()
    assert "module-echo-cancel" in str(e.value) and "apt-get install pulseaudio" in str(e.value)
    assert "\n" not in str(e.value)
