"""The model step (tools/fetch_model.py) and the speech-detection demo (tools/vad_demo.py)."""
import os
import shutil
import subprocess
import sys
import wave

import numpy as np
import pytest

from conftest import ALSA, ROOT, espeak, load_tool, tiny_model, vad_demo, write_wav

fetch_model = load_tool("fetch_model")


# ------------------------------------------------------------ model checks

@pytest.mark.parametrize("kwargs, message", [
    ({}, None),
    ({"state_out": "Transpose"}, "state output"),
    ({"inputs": ("input", "state")}, "3 inputs"),
    (None, "cannot load"),  # not a model at all
])
def test_verify(tmp_path, kwargs, message):
    data = tiny_model(tmp_path / "m.onnx", "mean", **kwargs).read_bytes() if kwargs is not None \
        else b"not a model at all"
    if message is None:
        assert fetch_model.verify(data) == pytest.approx(0.5)
    else:
        with pytest.raises(fetch_model.ModelError, match=message):
            fetch_model.verify(data)


def test_verify_accepts_the_shipped_model(model_file):
    assert 0.0 <= fetch_model.verify(model_file.read_bytes()) < 0.1  # silence


def test_source_is_copied_to_a_new_dest(tmp_path, model_file, capsys, monkeypatch):
    dest = tmp_path / "home" / ".cache" / "sonvale" / "voicevd.pt"
    assert fetch_model.main(["--dest", str(dest), "--source", str(model_file),
                             "--cache", str(tmp_path / "nocache.onnx")]) == 0
    assert dest.read_bytes() == model_file.read_bytes()
    assert "installed" in capsys.readouterr().out
    assert not (tmp_path / "nocache.onnx").exists()
    monkeypatch.setenv("HOME", str(tmp_path))  # ~ in --dest is expanded
    assert fetch_model.main(["--dest", "~/m/v.pt", "--source", str(model_file)]) == 0
    assert (tmp_path / "m" / "v.pt").read_bytes() == model_file.read_bytes()


def test_existing_model_is_only_checked(tmp_path, model_file):
    dest, junk = tmp_path / "v.pt", tmp_path / "junk.onnx"
    shutil.copy(model_file, dest)
    before = dest.stat().st_mtime_ns
    junk.write_bytes(b"junk")  # a garbage source must not even be read
    assert fetch_model.main(["--dest", str(dest), "--source", str(junk)]) == 0
    assert dest.stat().st_mtime_ns == before
    assert dest.read_bytes() == model_file.read_bytes()


def test_broken_dest_is_reported_and_kept_unless_forced(tmp_path, model_file, capsys):
    dest = tmp_path / "v.pt"
    dest.write_bytes(b"broken")
    assert fetch_model.main(["--dest", str(dest), "--source", str(model_file)]) == 1
    assert dest.read_bytes() == b"broken"
    assert "--force" in capsys.readouterr().err
    assert fetch_model.main(["--dest", str(dest), "--source", str(model_file), "--force"]) == 0
    assert dest.read_bytes() == model_file.read_bytes()


def test_bad_source_leaves_no_dest(tmp_path):
    junk = tmp_path / "junk.onnx"
    junk.write_bytes(b"junk")
    assert fetch_model.main(["--dest", str(tmp_path / "v.pt"), "--source", str(junk)]) == 1
    assert list(tmp_path.iterdir()) == [junk]  # no dest, no temporary left behind


def test_cached_model_avoids_a_download(tmp_path, model_file, capsys, monkeypatch):
    cache, dest = tmp_path / "cache.onnx", tmp_path / "v.pt"
    shutil.copy(model_file, cache)

    def no_download(_):
        raise AssertionError("downloaded although the cache holds the model")

    monkeypatch.setattr(fetch_model, "download", no_download)
    assert fetch_model.main(["--dest", str(dest), "--cache", str(cache)]) == 0
    assert dest.read_bytes() == model_file.read_bytes()
    assert "using cached" in capsys.readouterr().out


# ------------------------------------------------------------ audio handling

def _tone(freq, rate, seconds=0.5, amp=10000.0):
    return amp * np.sin(2 * np.pi * freq * np.arange(int(rate * seconds)) / rate)


def _rms(x):
    return float(np.sqrt(np.mean(np.asarray(x, np.float64) ** 2)))


@pytest.mark.parametrize("rate, tol", [(48000, 0.03), (44100, 0.03), (32000, 0.03), (22050, 0.03),
                                       (8000, 0.06)])  # linear interpolation droops a little
def test_resampling_keeps_pitch_length_and_level(rate, tol):
    y = vad_demo.to_16k(_tone(1000, rate), rate)
    assert y.dtype == np.int16 and abs(len(y) - 8000) <= 1
    spec = np.abs(np.fft.rfft(y * np.hanning(len(y))))
    assert abs(np.fft.rfftfreq(len(y), 1 / 16000)[np.argmax(spec)] - 1000) < 5
    assert _rms(y[500:-500]) == pytest.approx(10000 / np.sqrt(2), rel=tol)  # away from the edges


@pytest.mark.parametrize("rate", [48000, 44100])
def test_resampling_removes_what_would_alias(rate):
    # 20 kHz cannot be represented at 16 kHz; without a low-pass it folds into the speech band.
    assert _rms(vad_demo.to_16k(_tone(20000, rate), rate)[200:-200]) < 0.01 * 10000


@pytest.mark.parametrize("x, expected", [
    ([0, 1, -1, 32767, -32768, 1234], [0, 1, -1, 32767, -32768, 1234]),  # 16 kHz: unchanged
    ([40000.0, -40000.0], [32767, -32768]),  # clipped, not wrapped
])
def test_16k_input_is_only_rounded_and_clipped(x, expected):
    assert vad_demo.to_16k(np.array(x, np.float64), 16000).tolist() == expected


@pytest.mark.parametrize("raw, channels, width, rate, expected", [
    (np.array([[1000, 3000], [-2000, 2000], [300, -301]], "<i2").tobytes(), 2, 2, 22050,
     [2000.0, 0.0, -0.5]),  # stereo is mixed
    (bytes([128, 255, 0]), 1, 1, 8000, [0.0, 127 * 256.0, -128 * 256.0]),
    (bytes([0x56, 0x34, 0x12, 0x00, 0xFF, 0xFF]), 1, 3, 48000, [0x123456 / 256.0, -1.0]),
])
def test_read_wav(tmp_path, raw, channels, width, rate, expected):
    write_wav(tmp_path / "a.wav", raw, channels, width, rate)
    x, got_rate, got_channels = vad_demo.read_wav(str(tmp_path / "a.wav"))
    assert (x.tolist(), got_rate, got_channels) == (expected, rate, channels)


def test_frames_are_512_samples_and_the_tail_is_padded():
    s = np.arange(1100, dtype=np.int16)
    fr = list(vad_demo.frames(s))
    assert [len(f) for f in fr] == [1024, 1024, 1024]
    back = np.frombuffer(b"".join(fr), "<i2")
    assert back[:1100].tolist() == s.tolist() and not back[1100:].any()


# ------------------------------------------------------------ segmentation

@pytest.mark.parametrize("probs, window, expected", [
    # hysteresis: enter above 0.6, stay above 0.35
    ([0.5, 0.6, 0.61, 0.5, 0.36, 0.35, 0.59, 0.9, 0.0], 1, [(2, 5), (7, 8)]),
    ([0.0, 0.9, 0.9], 1, [(1, 3)]),  # open at the end: closed there
    ([], 10, []),
    ([0.0] * 5 + [1.0] + [0.0] * 20, 10, []),  # one confident frame is not speech
    # the mean of the last ten passes 0.6 on the seventh; it ends when only three
    # of the last ten are speech (window 20..29 at frame 29, 24..33 at frame 33)
    ([0.0] * 20 + [1.0] * 7 + [0.0] * 20, 10, [(26, 33)]),
    ([1.0, 0.0], 10, [(0, 2)]),  # fewer values at the start: mean 1.0, then 0.5 > 0.35
])
def test_segments(probs, window, expected):
    assert vad_demo.segments(probs, window=window) == expected


@pytest.mark.parametrize("probs, expected", [
    # On the eighth frame numpy's mean (pairwise from eight values on) is
    # 0.6000000000000001 and a running sum's 0.6; the other way round below.
    ([0.31, 0.38, 0.38, 0.53, 0.67, 0.78, 0.85, 0.9], [(7, 8)]),
    ([0.36, 0.37, 0.4, 0.58, 0.69, 0.76, 0.78, 0.86], []),
])
def test_speech_starts_where_the_capture_decides_it(probs, expected):
    """The demos decide with the capture's mean (numpy's), not a running sum."""
    from cantorel_dev import speech_frames
    assert vad_demo.segments(probs) == expected
    start, _ = speech_frames.capture_span(speech_frames.window_means(probs))
    assert start == (expected[0][0] if expected else None)


# ------------------------------------------------------------ on real audio

def _speech_segments(path, model_file):
    vad = vad_demo.ReferenceVAD(str(model_file))
    x, rate, _ = vad_demo.read_wav(str(path))
    probs = [vad(f) for f in vad_demo.frames(vad_demo.to_16k(x, rate))]
    return vad_demo.segments(probs), probs


def test_reference_on_recorded_words_and_noise(model_file):
    segs, _ = _speech_segments(ALSA / "Front_Center.wav", model_file)
    (a, b), (c, d) = segs  # "front", "center"
    t = vad_demo.FRAME_SECONDS
    assert 0.05 < a * t < b * t < c * t < d * t <= 1.5
    segs, probs = _speech_segments(ALSA / "Noise.wav", model_file)
    assert segs == [] and max(probs) < 0.6


def test_reference_finds_synthesised_speech_between_silences(tmp_path, model_file):
    with wave.open(str(espeak(tmp_path, "Please turn the kitchen lights off now.")), "rb") as w:
        rate, speech = w.getframerate(), w.readframes(w.getnframes())
    pad = bytes(2 * rate)  # a second of silence either side
    write_wav(tmp_path / "padded.wav", pad + speech + pad, 1, 2, rate)
    segs, _ = _speech_segments(tmp_path / "padded.wav", model_file)
    assert segs, "no speech found"
    t, length = vad_demo.FRAME_SECONDS, len(speech) / 2 / rate
    # Speech runs from 1 s to 1 s + its length; the decision lags by a few frames.
    assert 1.0 <= segs[0][0] * t < 1.5
    assert 1.0 + length - 0.3 < segs[-1][1] * t < 1.0 + length + 0.6


def test_reference_rejects_a_short_frame(model_file):
    with pytest.raises(ValueError):
        vad_demo.ReferenceVAD(str(model_file))(bytes(1000))


# ------------------------------------------------------------ the demo with the module

def _demo(home, *args):
    return subprocess.run([sys.executable, str(ROOT / "tools" / "vad_demo.py"), *args],
                          check=True, capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          env={**os.environ, "HOME": str(home)}, timeout=120).stdout


def test_demo_prints_the_speech_it_finds(model_home):
    out = _demo(model_home, str(ALSA / "Front_Center.wav"))
    assert "cantorel.manage.VoiceVD" in out
    found = [l for l in out.splitlines() if l.startswith("speech from")]
    assert len(found) == 2, out
    # The module and the reference see the same speech at the same times.
    ref = _demo(model_home, str(ALSA / "Front_Center.wav"), "--reference")
    assert found == [l for l in ref.splitlines() if l.startswith("speech from")]
    assert "no speech found" in _demo(model_home, str(ALSA / "Noise.wav"))
