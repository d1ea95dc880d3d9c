"""The model step (tools/fetch_model.py) and the speech-detection demo (tools/vad_demo.py)."""

import importlib.util
import os
import shutil
import subprocess
import sys
import wave
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent
ALSA = Path("/usr/share/sounds/alsa")


def _load(name):
    spec = importlib.util.spec_from_file_location(name, ROOT / "tools" / f"{name}.py")
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


fetch_model = _load("fetch_model")
vad_demo = _load("vad_demo")


# ------------------------------------------------------------ model checks

def _fake_model(tmp_path, *, state_out="Identity", inputs=("input", "state", "sr")):
    """A tiny model with the real one's interface (or a broken variant of it)."""
    onnx = pytest.importorskip("onnx")
    from onnx import TensorProto, helper

    decl = {
        "input": helper.make_tensor_value_info("input", TensorProto.FLOAT, ["b", "n"]),
        "state": helper.make_tensor_value_info("state", TensorProto.FLOAT, [2, "b", 128]),
        "sr": helper.make_tensor_value_info("sr", TensorProto.INT64, []),
    }
    nodes = [
        helper.make_node("ReduceMean", ["input"], ["m"], axes=[1], keepdims=1),
        helper.make_node("Sigmoid", ["m"], ["output"]),
    ]
    if state_out == "Identity":
        nodes.append(helper.make_node("Identity", ["state"], ["stateN"]))
    else:  # comes back as (128, b, 2)
        nodes.append(helper.make_node("Transpose", ["state"], ["stateN"], perm=[2, 1, 0]))
    graph = helper.make_graph(
        nodes, "fake", [decl[i] for i in inputs],
        [helper.make_tensor_value_info("output", TensorProto.FLOAT, ["b", 1]),
         helper.make_tensor_value_info("stateN", TensorProto.FLOAT, ["d0", "d1", "d2"])],
    )
    m = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    m.ir_version = 8
    onnx.checker.check_model(m)
    path = tmp_path / "fake.onnx"
    path.write_bytes(m.SerializeToString())
    return path


def test_verify_accepts_the_shipped_model(model_file):
    p = fetch_model.verify(model_file.read_bytes())
    assert 0.0 <= p < 0.1  # silence


def test_verify_accepts_a_model_with_the_right_interface(tmp_path):
    assert fetch_model.verify(_fake_model(tmp_path).read_bytes()) == pytest.approx(0.5)


def test_verify_rejects_wrong_state_output(tmp_path):
    with pytest.raises(fetch_model.ModelError, match="state output"):
        fetch_model.verify(_fake_model(tmp_path, state_out="Transpose").read_bytes())


def test_verify_rejects_missing_input(tmp_path):
    with pytest.raises(fetch_model.ModelError, match="3 inputs"):
        fetch_model.verify(_fake_model(tmp_path, inputs=("input", "state")).read_bytes())


def test_verify_rejects_garbage():
    with pytest.raises(fetch_model.ModelError):
        fetch_model.verify(b"not a model at all")


def test_source_is_copied_to_a_new_dest(tmp_path, model_file, capsys):
    dest = tmp_path / "home" / ".cache" / "sonvale" / "voicevd.pt"
    assert fetch_model.main(["--dest", str(dest), "--source", str(model_file),
                             "--cache", str(tmp_path / "nocache.onnx")]) == 0
    assert dest.read_bytes() == model_file.read_bytes()
    assert "installed" in capsys.readouterr().out
    assert not (tmp_path / "nocache.onnx").exists()


def test_dest_tilde_is_expanded(tmp_path, model_file, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path))
    assert fetch_model.main(["--dest", "~/m/v.pt", "--source", str(model_file)]) == 0
    assert (tmp_path / "m" / "v.pt").read_bytes() == model_file.read_bytes()


def test_existing_model_is_only_checked(tmp_path, model_file):
    dest = tmp_path / "v.pt"
    shutil.copy(model_file, dest)
    before = dest.stat().st_mtime_ns
    # The source is garbage: it must not even be read, let alone copied.
    junk = tmp_path / "junk.onnx"
    junk.write_bytes(b"junk")
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


def test_bad_source_leaves_no_dest(tmp_path, capsys):
    dest = tmp_path / "v.pt"
    junk = tmp_path / "junk.onnx"
    junk.write_bytes(b"junk")
    assert fetch_model.main(["--dest", str(dest), "--source", str(junk)]) == 1
    assert not dest.exists()
    assert list(tmp_path.iterdir()) == [junk]  # no temporary left behind either


def test_cached_model_avoids_a_download(tmp_path, model_file, capsys, monkeypatch):
    cache = tmp_path / "cache.onnx"
    shutil.copy(model_file, cache)

    def no_download(_):
        raise AssertionError("downloaded although the cache holds the model")

    monkeypatch.setattr(fetch_model, "download", no_download)
    dest = tmp_path / "v.pt"
    assert fetch_model.main(["--dest", str(dest), "--cache", str(cache)]) == 0
    assert dest.read_bytes() == model_file.read_bytes()
    assert "using cached" in capsys.readouterr().out


# ------------------------------------------------------------ audio handling

def _tone(freq, rate, seconds=0.5, amp=10000.0):
    t = np.arange(int(rate * seconds)) / rate
    return amp * np.sin(2 * np.pi * freq * t)


def _peak_hz(x, rate):
    spec = np.abs(np.fft.rfft(x * np.hanning(len(x))))
    return np.fft.rfftfreq(len(x), 1 / rate)[np.argmax(spec)]


def _rms(x):
    return float(np.sqrt(np.mean(np.asarray(x, np.float64) ** 2)))


@pytest.mark.parametrize("rate, tol", [(48000, 0.03), (44100, 0.03), (32000, 0.03), (22050, 0.03),
                                       (8000, 0.06)])  # linear interpolation droops a little
def test_resampling_keeps_pitch_length_and_level(rate, tol):
    y = vad_demo.to_16k(_tone(1000, rate), rate)
    assert y.dtype == np.int16
    assert abs(len(y) - 8000) <= 1
    assert abs(_peak_hz(y, 16000) - 1000) < 5
    # Away from the edges the level is that of the input tone.
    assert _rms(y[500:-500]) == pytest.approx(10000 / np.sqrt(2), rel=tol)


@pytest.mark.parametrize("rate", [48000, 44100])
def test_resampling_removes_what_would_alias(rate):
    # 20 kHz cannot be represented at 16 kHz; without a low-pass it folds into the speech band.
    y = vad_demo.to_16k(_tone(20000, rate), rate)
    assert _rms(y[200:-200]) < 0.01 * 10000


def test_16k_input_is_unchanged():
    x = np.array([0, 1, -1, 32767, -32768, 1234], dtype=np.float64)
    assert vad_demo.to_16k(x, 16000).tolist() == x.astype(int).tolist()


def test_resampling_clips_instead_of_wrapping():
    y = vad_demo.to_16k(np.array([40000.0, -40000.0]), 16000)
    assert y.tolist() == [32767, -32768]


def _write_wav(path, raw, channels, width, rate):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(width)
        w.setframerate(rate)
        w.writeframes(raw)


def test_read_wav_mixes_stereo_16bit(tmp_path):
    left = np.array([1000, -2000, 300], dtype="<i2")
    right = np.array([3000, 2000, -301], dtype="<i2")
    _write_wav(tmp_path / "s.wav", np.column_stack([left, right]).tobytes(), 2, 2, 22050)
    x, rate, ch = vad_demo.read_wav(str(tmp_path / "s.wav"))
    assert (rate, ch) == (22050, 2)
    assert x.tolist() == [2000.0, 0.0, -0.5]


def test_read_wav_8_and_24_bit(tmp_path):
    _write_wav(tmp_path / "8.wav", bytes([128, 255, 0]), 1, 1, 8000)
    x, _, _ = vad_demo.read_wav(str(tmp_path / "8.wav"))
    assert x.tolist() == [0.0, 127 * 256.0, -128 * 256.0]
    # 24-bit little endian: +0x123456 and -0x000100
    _write_wav(tmp_path / "24.wav", bytes([0x56, 0x34, 0x12, 0x00, 0xFF, 0xFF]), 1, 3, 48000)
    x, _, _ = vad_demo.read_wav(str(tmp_path / "24.wav"))
    assert x.tolist() == [0x123456 / 256.0, -1.0]


def test_frames_are_512_samples_and_the_tail_is_padded():
    s = np.arange(1100, dtype=np.int16)
    fr = list(vad_demo.frames(s))
    assert [len(f) for f in fr] == [1024, 1024, 1024]
    back = np.frombuffer(b"".join(fr), "<i2")
    assert back[:1100].tolist() == s.tolist()
    assert not back[1100:].any()


# ------------------------------------------------------------ segmentation

def test_segments_need_the_enter_threshold_but_stay_above_the_lower_one():
    probs = [0.5, 0.6, 0.61, 0.5, 0.36, 0.35, 0.59, 0.9, 0.0]
    # window 1: the decision follows each probability with hysteresis
    assert vad_demo.segments(probs, window=1) == [(2, 5), (7, 8)]


def test_segment_open_at_the_end_is_closed_there():
    assert vad_demo.segments([0.0, 0.9, 0.9], window=1) == [(1, 3)]
    assert vad_demo.segments([]) == []


def test_segments_use_the_mean_of_the_last_ten():
    # One confident frame among silence is not speech...
    assert vad_demo.segments([0.0] * 5 + [1.0] + [0.0] * 20) == []
    # ...seven in a row are: the mean passes 0.6 on the seventh (7/10 > 0.6; 6/10 is not).
    probs = [0.0] * 20 + [1.0] * 7 + [0.0] * 20
    [(start, end)] = vad_demo.segments(probs)
    assert start == 26
    # It ends once only three of the last ten are speech (3/10 <= 0.35; 4/10 is
    # still above): the window is 20..29 at frame 29, 24..33 at frame 33.
    assert end == 33


def test_segments_mean_uses_fewer_values_at_the_start():
    assert vad_demo.segments([1.0, 0.0]) == [(0, 2)]  # mean 1.0, then 0.5 > 0.35


# ------------------------------------------------------------ on real audio

def _speech_segments(path, vad):
    x, rate, _ = vad_demo.read_wav(str(path))
    probs = [vad(f) for f in vad_demo.frames(vad_demo.to_16k(x, rate))]
    return vad_demo.segments(probs), probs


def test_reference_finds_both_words_in_front_center(model_file):
    segs, _ = _speech_segments(ALSA / "Front_Center.wav", vad_demo.ReferenceVAD(str(model_file)))
    assert len(segs) == 2  # "front", "center"
    (a, b), (c, d) = segs
    t = vad_demo.FRAME_SECONDS
    assert 0.05 < a * t < b * t < c * t < d * t <= 1.5


def test_reference_finds_no_speech_in_noise(model_file):
    segs, probs = _speech_segments(ALSA / "Noise.wav", vad_demo.ReferenceVAD(str(model_file)))
    assert segs == []
    assert max(probs) < 0.6


def _espeak(tmp_path, text):
    """Synthesised speech (22050 Hz) with a second of silence either side."""
    raw = tmp_path / "raw.wav"
    # Not under a preloaded sanitizer runtime: espeak-ng can deadlock with it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run(["espeak-ng", "-w", str(raw), text], check=True, stdin=subprocess.DEVNULL,
                   env=env, timeout=60)
    with wave.open(str(raw), "rb") as w:
        rate = w.getframerate()
        speech = w.readframes(w.getnframes())
        assert w.getsampwidth() == 2 and w.getnchannels() == 1
    pad = bytes(2 * rate)
    out = tmp_path / "padded.wav"
    _write_wav(out, pad + speech + pad, 1, 2, rate)
    return out, rate, len(speech) // 2


def test_reference_finds_synthesised_speech_between_silences(tmp_path, model_file):
    path, rate, n = _espeak(tmp_path, "Please turn the kitchen lights off now.")
    segs, _ = _speech_segments(path, vad_demo.ReferenceVAD(str(model_file)))
    assert segs, "no speech found"
    t = vad_demo.FRAME_SECONDS
    start, end = segs[0][0] * t, segs[-1][1] * t
    # Speech runs from 1 s to 1 s + its length; the decision lags by a few frames.
    assert 1.0 <= start < 1.5
    assert 1.0 + n / rate - 0.3 < end < 1.0 + n / rate + 0.6


def test_reference_rejects_a_short_frame(model_file):
    with pytest.raises(ValueError):
        vad_demo.ReferenceVAD(str(model_file))(bytes(1000))


# ------------------------------------------------------------ the demo with the module

def _demo(home, *args):
    return subprocess.run(
        [sys.executable, str(ROOT / "tools" / "vad_demo.py"), *args],
        check=True, capture_output=True, text=True, stdin=subprocess.DEVNULL,
        env={**os.environ, "HOME": str(home)}, timeout=120,
    ).stdout


def test_demo_prints_the_speech_it_finds(model_home):
    out = _demo(model_home, str(ALSA / "Front_Center.wav"))
    assert "cantorel.manage.VoiceVD" in out
    found = [l for l in out.splitlines() if l.startswith("speech from")]
    assert len(found) == 2, out
    # The module and the reference see the same speech at the same times.
    ref = _demo(model_home, str(ALSA / "Front_Center.wav"), "--reference")
    assert found == [l for l in ref.splitlines() if l.startswith("speech from")]


def test_demo_reports_no_speech_in_noise(model_home):
    assert "no speech found" in _demo(model_home, str(ALSA / "Noise.wav"))
