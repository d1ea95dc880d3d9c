"""VoiceVD, the speech-probability detector.

The real model on real recordings for what it detects; tiny ONNX models made
here and fake session objects for what the model receives and for the ways a
run can fail, which the real model cannot show deterministically."""
import shutil
import subprocess
import traceback
import wave
from pathlib import Path

import numpy as np
import onnxruntime
import pytest
from onnx import TensorProto, helper

pytestmark = pytest.mark.filterwarnings("ignore:Conversion of an array with ndim > 0:DeprecationWarning")

ALSA = Path("/usr/share/sounds/alsa")
SPEECH_FILES = ["Front_Center", "Front_Left", "Front_Right", "Rear_Center", "Rear_Left",
                "Rear_Right", "Side_Left", "Side_Right"]
SENTENCES = ["The quick brown fox jumps over the lazy dog",
             "Please open the window and let some fresh air in"]
FRAME = 512  # samples per frame, as the capture loop feeds them


def entry(exc, index=-1):
    f = traceback.extract_tb(exc.__traceback__)[index]
    return f.filename, f.lineno, f.name


def assert_ours_then(exc, expected, callee):
    """Our entry, followed only by frames of the callee's own Python code."""
    tb = [(f.filename, f.lineno, f.name) for f in traceback.extract_tb(exc.__traceback__)]
    at = tb.index(expected)
    assert tb[at + 1:] and all(callee in f[0] for f in tb[at + 1:])


def ours(method, line):
    return "cantorel/manage", line, f"cantorel.manage.VoiceVD.{method}"


def pcm(samples):
    return np.asarray(samples).astype("<i2").tobytes()


def scaled(samples):
    return np.asarray(samples, dtype=np.int16).astype(np.float32)[np.newaxis, :] / np.float32(32768)


# ------------------------------------------------------------------ real audio

def read_wav(path):
    with wave.open(str(path)) as w:
        assert w.getsampwidth() == 2
        raw = np.frombuffer(w.readframes(w.getnframes()), "<i2")
        return raw.reshape(-1, w.getnchannels()).mean(axis=1), w.getframerate()


def alsa_16k(name):
    audio, rate = read_wav(ALSA / f"{name}.wav")
    assert rate == 48000
    taps = np.arange(-64, 65)
    lowpass = np.sinc(2 * 7500 / 48000 * taps) * np.hamming(taps.size)
    audio = np.convolve(audio, lowpass / lowpass.sum(), "same")[::3]
    return np.clip(np.round(audio), -32768, 32767).astype(np.int16)


@pytest.fixture(scope="module")
def spoken(tmp_path_factory):
    if not (shutil.which("espeak-ng") and shutil.which("sox")):
        pytest.skip("espeak-ng and sox are needed to make synthetic speech")
    out = {}
    for i, text in enumerate(SENTENCES):
        d = tmp_path_factory.mktemp("speech")
        subprocess.run(["espeak-ng", "-w", str(d / "raw.wav"), text], check=True)
        subprocess.run(["sox", str(d / "raw.wav"), "-r", "16000", "-c", "1", "-b", "16",
                        str(d / "16k.wav")], check=True)
        audio, rate = read_wav(d / "16k.wav")
        assert rate == 16000
        out[text] = audio.astype(np.int16)
    return out


def frames(audio):
    return [pcm(audio[i:i + FRAME]) for i in range(0, len(audio) - FRAME + 1, FRAME)]


def probabilities(detector, audio):
    return [detector(f) for f in frames(audio)]


@pytest.fixture
def detector(vad_env, manage):
    """A detector on the real model, run by the real onnxruntime."""
    assert manage.ort is onnxruntime and manage.np is np
    d = manage.VoiceVD()
    assert type(d.sess) is onnxruntime.InferenceSession
    assert d.sess.get_providers() == ["CPUExecutionProvider"]
    return d


def test_construction_sets_the_attributes_in_order(detector, vad_env):
    cache = str(vad_env / ".cache")
    assert list(vars(detector)) == ["cache_dir", "asr_model_dir", "model_path", "sess",
                                    "state", "ctx", "sr"]
    assert (detector.cache_dir, detector.asr_model_dir, detector.model_path) == (
        cache, cache + "/sonvale", cache + "/sonvale/voicevd.pt")
    for arr, shape, dtype in ((detector.state, (2, 1, 128), np.float32),
                              (detector.ctx, (1, 64), np.float32), (detector.sr, (), np.int64)):
        assert (type(arr), arr.shape, arr.dtype) == (np.ndarray, shape, dtype)
    assert not detector.state.any() and not detector.ctx.any() and detector.sr == 16000


@pytest.mark.parametrize("name", SPEECH_FILES)
def test_recorded_speech_scores_high(detector, name):
    p = probabilities(detector, alsa_16k(name))
    assert all(type(v) is float for v in p)
    assert np.percentile(p, 90) > 0.9 and np.median(p) > 0.5


@pytest.mark.parametrize("text", SENTENCES)
def test_synthetic_speech_scores_high(detector, spoken, text):
    p = probabilities(detector, spoken[text])
    assert np.percentile(p, 90) > 0.9 and np.median(p) > 0.5


@pytest.mark.parametrize("audio", [pytest.param(lambda: alsa_16k("Noise"), id="noise"),
                                   pytest.param(lambda: np.zeros(16000, np.int16), id="silence")])
def test_noise_and_silence_score_low(detector, audio):
    p = probabilities(detector, audio())
    assert len(p) > 25 and max(p) < 0.2 and min(p) >= 0.0


def test_matches_the_model_run_by_hand(detector, model_file):
    """The frame reaches the model scaled, after the previous input's last 64 samples."""
    sess = onnxruntime.InferenceSession(str(model_file), providers=["CPUExecutionProvider"])
    ctx, state, sr = np.zeros((1, 64), np.float32), np.zeros((2, 1, 128), np.float32), np.array(16000)
    expected = []
    for f in frames(alsa_16k("Front_Left")):
        x = np.concatenate((ctx, scaled(np.frombuffer(f, np.int16))), axis=1)
        ctx = x[:, -64:]
        out, state = sess.run(None, {"input": x, "state": state, "sr": sr})
        expected.append(float(out))
    assert probabilities(detector, alsa_16k("Front_Left")) == expected


def test_reset_detector_repeats_a_fresh_one(detector, manage):
    speech, noise = frames(alsa_16k("Rear_Right")), frames(alsa_16k("Noise"))
    fresh = [detector(f) for f in speech]
    used = manage.VoiceVD()
    for f in noise + speech[:20]:
        used(f)
    assert [used(f) for f in speech] != fresh  # its history shows before the reset
    state, ctx = used.state, used.ctx
    assert used.reset() is None
    assert used.state is state and used.ctx is ctx  # cleared in place
    assert not state.any() and not ctx.any()
    assert [used(f) for f in speech] == fresh


# ------------------------------------------------------------- tiny ONNX models

def write_model(home, probe="width", *, width="n", n_outputs=2):
    """A model with the real one's inputs whose first output shows one thing it
    received: the input's width, one input column (an int), the sum of the
    state, or sr; its second output is state + 1."""
    g = helper.make_tensor
    inits = [g("one", TensorProto.FLOAT, [], [1.0]), g("i0", TensorProto.INT64, [], [0]),
             g("i1", TensorProto.INT64, [], [1])]
    if probe == "width":
        nodes = [helper.make_node("Shape", ["input"], ["shape"]),
                 helper.make_node("Gather", ["shape", "i1"], ["n"]),
                 helper.make_node("Cast", ["n"], ["prob"], to=TensorProto.FLOAT)]
    elif probe == "state":
        nodes = [helper.make_node("ReduceSum", ["state"], ["prob"], keepdims=0)]
    elif probe == "sr":
        nodes = [helper.make_node("Cast", ["sr"], ["prob"], to=TensorProto.FLOAT)]
    else:
        inits.append(g("k", TensorProto.INT64, [], [probe]))
        nodes = [helper.make_node("Gather", ["input", "k"], ["col"], axis=1),
                 helper.make_node("Gather", ["col", "i0"], ["prob"], axis=0)]
    nodes.append(helper.make_node("Add", ["state", "one"], ["next"]))
    nodes.append(helper.make_node("Identity", ["state"], ["extra"]))
    outputs = [helper.make_tensor_value_info("prob", TensorProto.FLOAT, []),
               helper.make_tensor_value_info("next", TensorProto.FLOAT, [2, 1, 128]),
               helper.make_tensor_value_info("extra", TensorProto.FLOAT, [2, 1, 128])]
    graph = helper.make_graph(
        nodes, "probe",
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, width]),
         helper.make_tensor_value_info("state", TensorProto.FLOAT, [2, 1, 128]),
         helper.make_tensor_value_info("sr", TensorProto.INT64, [])],
        outputs[:n_outputs], initializer=inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 8
    path = home / ".cache" / "sonvale" / "voicevd.pt"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(model.SerializeToString())


@pytest.fixture
def probe(tmp_path, monkeypatch, manage):
    """Builds a detector on a probe model in a fresh temporary HOME."""
    def build(*args, **kwargs):
        home = tmp_path / f"home{len(list(tmp_path.iterdir()))}"
        write_model(home, *args, **kwargs)
        monkeypatch.setenv("HOME", str(home))
        return manage.VoiceVD()
    return build


@pytest.mark.parametrize("nbytes, width", [(1024, 576), (512, 320), (2, 65), (0, 64)])
def test_input_is_the_context_then_the_frame(probe, nbytes, width):
    d = probe("width")
    samples = np.arange(nbytes // 2) - 100
    assert d(pcm(samples)) == d(pcm_bytes=pcm(samples)) == float(width)
    assert d.state.dtype == np.float32 and (d.state == 2).all()
    expected_ctx = np.concatenate((np.zeros((1, 64), np.float32), scaled(samples),
                                   scaled(samples)), axis=1)[:, -64:]
    np.testing.assert_array_equal(d.ctx, expected_ctx)


@pytest.mark.parametrize("sample, value", [(-32768, -1.0), (0, 0.0), (32767, 0.999969482421875),
                                           (1, 2.0 ** -15), (-1, -(2.0 ** -15))])
@pytest.mark.parametrize("pos", [0, 511])
def test_samples_are_scaled(probe, sample, value, pos):
    d = probe(64 + pos)
    frame = np.full(FRAME, 1234)
    frame[pos] = sample
    assert d(pcm(frame)) == value


@pytest.mark.parametrize("k", [0, 31, 63])
def test_previous_input_tail_leads_the_next_input(probe, k):
    d = probe(k)
    first = np.arange(1000, 1256)  # 512 bytes
    assert d(pcm(first)) == 0.0
    assert d(pcm(np.zeros(FRAME))) == float(first[-64 + k]) / 32768


def test_state_runs_on_and_reset_clears_it(probe):
    d = probe("state")
    assert [d(pcm(np.zeros(FRAME))) for _ in range(3)] == [0.0, 256.0, 512.0]
    ctx = d.ctx.copy()
    assert d(b"") == 768.0  # the empty frame still advances the state
    np.testing.assert_array_equal(d.ctx, ctx)
    d.reset()
    assert d(b"") == 0.0


def test_sample_rate_reaches_the_model(probe):
    assert probe("sr")(b"") == 16000.0


def state_and_ctx(d):
    return d.state, d.state.copy(), d.ctx, d.ctx.copy()


def assert_state_kept(d, before):
    state, state_copy, _, _ = before
    assert d.state is state
    np.testing.assert_array_equal(d.state, state_copy)


def assert_ctx_advanced(d, before, samples):
    expected = np.concatenate((before[3], scaled(samples)), axis=1)[:, -64:]
    np.testing.assert_array_equal(d.ctx, expected)


def test_failing_run_leaves_state_but_ctx_advanced(probe):
    d = probe("state", width=576)
    d(pcm(np.zeros(FRAME)))
    before = state_and_ctx(d)
    short = np.arange(256) * 7
    with pytest.raises(onnxruntime.capi.onnxruntime_pybind11_state.InvalidArgument) as e:
        d(pcm(short))
    assert_ours_then(e.value, ours("__call__", 34), "onnxruntime")
    assert_state_kept(d, before)
    assert_ctx_advanced(d, before, short)
    assert d(pcm(np.zeros(FRAME))) == 256.0  # still usable


@pytest.mark.parametrize("n_outputs, message", [(1, "need more than 1 value to unpack"),
                                                (3, r"too many values to unpack \(expected 2\)")])
def test_model_with_wrong_output_count(probe, n_outputs, message):
    d = probe("state", n_outputs=n_outputs)
    before = state_and_ctx(d)
    samples = np.arange(FRAME)
    with pytest.raises(ValueError, match=f"^{message}$") as e:
        d(pcm(samples))
    assert entry(e.value) == ours("__call__", 34)
    assert_state_kept(d, before)
    assert_ctx_advanced(d, before, samples)


# ------------------------------------------------------------ fake sessions

class Recorder:
    """A session whose run records its arguments and returns `result(feed)`."""

    def __init__(self, result=lambda feed: (np.float32(0.25), feed["state"] + 1)):
        self.calls, self.result = [], result

    def run(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result(args[1])


@pytest.fixture
def fake(probe):
    d = probe("state")
    d.sess = Recorder()
    return d


def test_run_receives_the_documented_arguments(fake):
    ctx = np.zeros((1, 64), np.float32)
    for nbytes in (1024, 40, 0, 512, 1024):
        samples = np.random.default_rng(nbytes).integers(-32768, 32768, nbytes // 2)
        state, sr = fake.state, fake.sr
        assert fake(pcm(samples)) == 0.25
        (args, kwargs), = fake.sess.calls[-1:]
        assert kwargs == {} and len(args) == 2 and args[0] is None
        feed = args[1]
        assert type(feed) is dict and list(feed) == ["input", "state", "sr"]
        assert feed["state"] is state and feed["sr"] is sr
        assert sr.dtype == np.int64 and sr.shape == () and sr == 16000
        x = feed["input"]
        assert x.dtype == np.float32
        np.testing.assert_array_equal(x, np.concatenate((ctx, scaled(samples)), axis=1))
        ctx = x[:, -64:].copy()
        np.testing.assert_array_equal(fake.ctx, ctx)
        assert fake.ctx.shape == (1, 64) and not np.shares_memory(x, fake.ctx)
        assert fake.state is not state and (fake.state == state + 1).all()


def two_item_list_of_three():
    class L(list):
        def __iter__(self):
            return iter(self[:2])
    return L


def three_item_tuple_of_two():
    class T(tuple):
        def __iter__(self):
            return iter((1, 2, 3))
    return T


NEW = object()


@pytest.mark.parametrize("make", [
    pytest.param(lambda p: (x for x in (p, NEW)), id="generator"),
    pytest.param(lambda p: iter([p, NEW]), id="iterator"),
    pytest.param(lambda p: [p, NEW], id="list"),
    pytest.param(lambda p: two_item_list_of_three()([p, NEW, None]), id="list-subclass-iterated"),
    pytest.param(lambda p: {p: 0, NEW: 1}, id="dict"),
])
def test_any_two_item_result_is_unpacked(fake, make):
    prob = 0.625
    fake.sess.result = lambda feed: make(prob)
    assert fake(b"\0\0") is prob  # an exact float comes back as it is
    assert fake.state is NEW


@pytest.mark.parametrize("make, exc, message", [
    (lambda: (), ValueError, "need more than 0 values to unpack"),
    (lambda: [0.5], ValueError, "need more than 1 value to unpack"),
    (lambda: iter([0.5]), ValueError, "need more than 1 value to unpack"),
    (lambda: iter([]), ValueError, "need more than 0 values to unpack"),
    (lambda: (0.5, NEW, NEW), ValueError, r"too many values to unpack \(expected 2\)"),
    (lambda: iter([0.5, NEW, NEW]), ValueError, r"too many values to unpack \(expected 2\)"),
    (lambda: three_item_tuple_of_two()((0.5, NEW)), ValueError,
     r"too many values to unpack \(expected 2\)"),
    (lambda: None, TypeError, "not iterable"),
    (lambda: 0.5, TypeError, "not iterable"),
])
def test_wrong_result_leaves_state_but_ctx_advanced(fake, make, exc, message):
    fake.sess.result = lambda feed: make()
    before = state_and_ctx(fake)
    samples = np.arange(300)
    with pytest.raises(exc, match=message) as e:
        fake(pcm(samples))
    assert entry(e.value) == ours("__call__", 34)
    assert_state_kept(fake, before)
    assert_ctx_advanced(fake, before, samples)


@pytest.mark.parametrize("prob, value", [(np.float64(0.5), 0.5), (np.float32(0.75), 0.75),
                                         (np.array([[0.125]], np.float32), 0.125), (1, 1.0),
                                         (type("F", (float,), {})(0.5), 0.5), ("0.5", 0.5)])
def test_probability_becomes_an_exact_float(fake, prob, value):
    fake.sess.result = lambda feed: (prob, NEW)
    result = fake(b"")
    assert type(result) is float and result == value


@pytest.mark.parametrize("prob, exc", [(np.zeros(2), TypeError), (object(), TypeError),
                                       ("speech", ValueError)])
def test_unconvertible_probability_after_state_and_ctx_advanced(fake, prob, exc):
    fake.sess.result = lambda feed: (prob, NEW)
    before = state_and_ctx(fake)
    samples = np.arange(FRAME)
    with pytest.raises(exc) as e:
        fake(pcm(samples))
    assert entry(e.value) == ours("__call__", 40)
    assert fake.state is NEW
    assert_ctx_advanced(fake, before, samples)


def test_exception_from_run_shows_run_after_our_entry(fake):
    def failing(feed):
        raise KeyError("inside run")
    fake.sess.result = failing
    with pytest.raises(KeyError) as e:
        fake(pcm(np.arange(10)))
    assert entry(e.value, -1)[2] == "failing"
    assert entry(e.value, -2)[2] == "run"
    assert entry(e.value, -3) == ours("__call__", 34)


# ------------------------------------------------------------ bad frames, bad files

@pytest.mark.parametrize("nbytes", [1, 1023])
def test_odd_length_frame(fake, nbytes):
    before = state_and_ctx(fake)
    with pytest.raises(ValueError, match="buffer size must be a multiple of element size") as e:
        fake(b"\1" * nbytes)
    assert entry(e.value) == ours("__call__", 28)
    assert_state_kept(fake, before)
    assert fake.ctx is before[2] and not fake.sess.calls


@pytest.mark.parametrize("frame", [bytearray(1024), memoryview(bytes(1024)), None, "\0" * 1024,
                                   type("Frame", (bytes,), {})(bytes(1024))],
                         ids=["bytearray", "memoryview", "None", "str", "bytes-subclass"])
def test_frame_must_be_exactly_bytes(fake, frame):
    before = state_and_ctx(fake)
    with pytest.raises(TypeError, match=r"^Argument 'pcm_bytes' has incorrect type \(expected bytes, "
                                        rf"got {type(frame).__name__}\)"):
        fake(frame)
    assert_state_kept(fake, before)
    assert fake.ctx is before[2] and not fake.sess.calls


@pytest.mark.parametrize("content, error", [
    (None, "NoSuchFile"), (b"not a model", "InvalidProtobuf"), ("dir", "InvalidProtobuf")])
def test_model_load_failure_propagates_from_line_18(tmp_path, monkeypatch, manage, content, error):
    path = tmp_path / ".cache" / "sonvale" / "voicevd.pt"
    if content == "dir":
        path.mkdir(parents=True)
    elif content is not None:
        path.parent.mkdir(parents=True)
        path.write_bytes(content)
    monkeypatch.setenv("HOME", str(tmp_path))
    with pytest.raises(Exception) as e:
        manage.VoiceVD()
    assert type(e.value) is getattr(onnxruntime.capi.onnxruntime_pybind11_state, error)
    assert_ours_then(e.value, ours("__init__", 18), "onnxruntime")
    assert path.exists() == (content is not None)  # nothing created


def test_session_is_opened_with_the_cpu_provider_only(tmp_path, monkeypatch, manage):
    calls = []

    class FakeOrt:
        @staticmethod
        def InferenceSession(*args, **kwargs):
            calls.append((args, kwargs))
            return "session"
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.setattr(manage, "ort", FakeOrt)
    d = manage.VoiceVD()
    [(args, kwargs)] = calls
    assert args == (str(tmp_path / ".cache" / "sonvale" / "voicevd.pt"),) and d.sess == "session"
    assert kwargs == {"providers": ["CPUExecutionProvider"]} and type(kwargs["providers"]) is list


def test_reset_with_a_state_that_cannot_fill(fake):
    fake(pcm(np.arange(100, 200)))
    ctx = fake.ctx.copy()
    fake.state = (0.0,) * 256
    with pytest.raises(AttributeError, match="'tuple' object has no attribute 'fill'") as e:
        fake.reset()
    assert entry(e.value) == ours("reset", 24)
    np.testing.assert_array_equal(fake.ctx, ctx)  # the second step never ran
    assert ctx.any()
