"""VoiceVD, the speech-probability detector.

The real model on real recordings for what it detects; tiny ONNX models and
fake sessions for what the model receives and for the ways a run can fail,
which the real model cannot show deterministically."""
import numpy as np
import onnxruntime
import pytest

from conftest import (ALSA, FRAME, FakeSession, entries, entry, espeak, ours, pcm, tiny_model,
                      vad_demo, wav_16k)
from cantorel_dev import twin

ORT_ERRORS = onnxruntime.capi.onnxruntime_pybind11_state
SPEECH_FILES = ["Front_Center", "Front_Left", "Front_Right", "Rear_Center", "Rear_Left",
                "Rear_Right", "Side_Left", "Side_Right"]
SENTENCES = ["The quick brown fox jumps over the lazy dog",
             "Please open the window and let some fresh air in"]


def scaled(samples):
    return np.asarray(samples, dtype=np.int16).astype(np.float32)[np.newaxis, :] / np.float32(32768)


def probabilities(detector, audio):
    return [detector(f) for f in vad_demo.frames(audio)]


# ------------------------------------------------------------------ real model, real audio

@pytest.fixture
def detector(vad_env, manage):
    assert manage.ort is onnxruntime and manage.np is np
    d = manage.VoiceVD()
    assert type(d.sess) is onnxruntime.InferenceSession
    assert d.sess.get_providers() == ["CPUExecutionProvider"]
    return d


@pytest.mark.parametrize("source", SPEECH_FILES + SENTENCES)
def test_speech_scores_high(detector, tmp_path, source):
    audio = wav_16k(ALSA / f"{source}.wav" if source in SPEECH_FILES else espeak(tmp_path, source))
    p = probabilities(detector, audio)
    assert all(type(v) is float for v in p)
    assert np.percentile(p, 90) > 0.9 and np.median(p) > 0.5


@pytest.mark.parametrize("audio", [pytest.param(lambda: wav_16k(ALSA / "Noise.wav"), id="noise"),
                                   pytest.param(lambda: np.zeros(16000, np.int16), id="silence")])
def test_noise_and_silence_score_low(detector, audio):
    p = probabilities(detector, audio())
    assert len(p) > 25 and max(p) < 0.2 and min(p) >= 0.0


def test_matches_the_model_run_by_hand(detector, model_file):
    """The frame reaches the model scaled, after the previous input's last 64 samples."""
    sess = onnxruntime.InferenceSession(str(model_file), providers=["CPUExecutionProvider"])
    ctx, state, sr = np.zeros((1, 64), np.float32), np.zeros((2, 1, 128), np.float32), np.array(16000)
    audio, expected = wav_16k(ALSA / "Front_Left.wav"), []
    for f in vad_demo.frames(audio):
        x = np.concatenate((ctx, scaled(np.frombuffer(f, np.int16))), axis=1)
        ctx = x[:, -64:]
        out, state = sess.run(None, {"input": x, "state": state, "sr": sr})
        expected.append(float(out.reshape(())))
    assert probabilities(detector, audio) == expected


def test_reset_detector_repeats_a_fresh_one(detector, manage):
    speech = list(vad_demo.frames(wav_16k(ALSA / "Rear_Right.wav")))
    fresh = [detector(f) for f in speech]
    used = manage.VoiceVD()
    for f in list(vad_demo.frames(wav_16k(ALSA / "Noise.wav"))) + speech[:20]:
        used(f)
    assert [used(f) for f in speech] != fresh  # its history shows before the reset
    state, ctx = used.state, used.ctx
    assert used.reset() is None
    assert used.state is state and used.ctx is ctx and not state.any() and not ctx.any()
    assert [used(f) for f in speech] == fresh


# ------------------------------------------------------------- tiny ONNX models

@pytest.fixture
def probe(tmp_path, monkeypatch, manage):
    """Builds a detector on a tiny model (see tiny_model) in a fresh temporary HOME."""
    def build(*args, **kwargs):
        home = tmp_path / f"home{len(list(tmp_path.iterdir()))}"
        tiny_model(home / ".cache" / "sonvale" / "voicevd.pt", *args, **kwargs)
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
    frame = np.full(FRAME, 1234)
    frame[pos] = sample
    assert probe(64 + pos)(pcm(frame)) == value


@pytest.mark.parametrize("k", [0, 31, 63])
def test_previous_input_tail_leads_the_next_input(probe, k):
    d = probe(k)
    first = np.arange(1000, 1256)  # 512 bytes
    assert d(pcm(first)) == 0.0
    assert d(pcm(np.zeros(FRAME))) == float(first[-64 + k]) / 32768


def test_state_runs_on_reset_clears_it_and_sr_reaches_the_model(probe):
    d = probe("state")
    assert [d(pcm(np.zeros(FRAME))) for _ in range(3)] == [0.0, 256.0, 512.0]
    ctx = d.ctx.copy()
    assert d(b"") == 768.0  # the empty frame still advances the state
    np.testing.assert_array_equal(d.ctx, ctx)
    d.reset()
    assert d(b"") == 0.0
    assert probe("sr")(b"") == 16000.0


# ------------------------------------------------------------ fake sessions

@pytest.fixture
def fake(probe):
    d = probe("state")
    d.sess = FakeSession()
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


class ListOfThreeIteratingTwo(list):
    def __iter__(self):
        return iter(self[:2])


class TupleOfTwoIteratingThree(tuple):
    def __iter__(self):
        return iter((1, 2, 3))


NEW = object()


@pytest.mark.parametrize("make", [
    pytest.param(lambda p: (x for x in (p, NEW)), id="generator"),
    pytest.param(lambda p: iter([p, NEW]), id="iterator"),
    pytest.param(lambda p: [p, NEW], id="list"),
    pytest.param(lambda p: ListOfThreeIteratingTwo([p, NEW, None]), id="list-subclass-iterated"),
    pytest.param(lambda p: {p: 0, NEW: 1}, id="dict"),
])
def test_any_two_item_result_is_unpacked(fake, make):
    prob = 0.625
    fake.sess.result = lambda feed: make(prob)
    assert fake(b"\0\0") is prob  # an exact float comes back as it is
    assert fake.state is NEW


@pytest.mark.parametrize("prob, value", [(np.float64(0.5), 0.5), (np.float32(0.75), 0.75),
                                         (np.array([[0.125]], np.float32), 0.125), (1, 1.0),
                                         (type("F", (float,), {})(0.5), 0.5), ("0.5", 0.5)])
def test_probability_becomes_an_exact_float(fake, prob, value):
    fake.sess.result = lambda feed: (prob, NEW)
    result = fake(b"")
    assert type(result) is float and result == value


def failing(feed):
    raise KeyError("inside run")


FRAME_BYTES = pcm(np.arange(FRAME) * 7)
# The lines of __call__'s statements, as the twin states them.
FROM_BUFFER = twin.line_of("VoiceVD.__call__", "wav = np.frombuffer")
RUN = twin.line_of("VoiceVD.__call__", "prob, self.state =")
RETURN = twin.line_of("VoiceVD.__call__", "return")
TOO_MANY = r"^too many values to unpack \(expected 2\)$"
NEED = "^need more than {} to unpack$"
# (id, tiny-model options or the fake session's result, frame, exception, message,
#  line of our entry or None for a binding failure, what follows our entry)
FAILURES = [
    ("model-rejects-input", {"width": 576}, pcm(np.arange(256)), ORT_ERRORS.InvalidArgument,
     None, RUN, "onnxruntime"),
    ("model-one-output", {"n_outputs": 1}, FRAME_BYTES, ValueError, NEED.format("1 value"), RUN,
     ()),
    ("model-three-outputs", {"n_outputs": 3}, FRAME_BYTES, ValueError, TOO_MANY, RUN, ()),
    ("run-raises", failing, FRAME_BYTES, KeyError, "inside run", RUN, ("run", "failing")),
    ("empty-tuple", lambda f: (), FRAME_BYTES, ValueError, NEED.format("0 values"), RUN, ()),
    ("iter-one", lambda f: iter([0.5]), FRAME_BYTES, ValueError, NEED.format("1 value"), RUN, ()),
    ("iter-none", lambda f: iter([]), FRAME_BYTES, ValueError, NEED.format("0 values"), RUN, ()),
    ("tuple-three", lambda f: (0.5, NEW, NEW), FRAME_BYTES, ValueError, TOO_MANY, RUN, ()),
    ("iter-three", lambda f: iter([0.5, NEW, NEW]), FRAME_BYTES, ValueError, TOO_MANY, RUN, ()),
    ("tuple-subclass-iterated", lambda f: TupleOfTwoIteratingThree((0.5, NEW)), FRAME_BYTES,
     ValueError, TOO_MANY, RUN, ()),
    ("none", lambda f: None, FRAME_BYTES, TypeError, "not iterable", RUN, ()),
    ("float", lambda f: 0.5, FRAME_BYTES, TypeError, "not iterable", RUN, ()),
    # the state is taken before the probability's conversion fails
    ("prob-array", lambda f: (np.zeros(2), NEW), FRAME_BYTES, TypeError, None, RETURN, ()),
    ("prob-object", lambda f: (object(), NEW), FRAME_BYTES, TypeError, None, RETURN, ()),
    ("prob-text", lambda f: ("speech", NEW), FRAME_BYTES, ValueError, None, RETURN, ()),
    # the frame is refused before the context or the session is touched
    ("odd-1", None, b"\1", ValueError, "^buffer size must be a multiple of element size",
     FROM_BUFFER, ()),
    ("odd-1023", None, b"\1" * 1023, ValueError, "multiple of element size", FROM_BUFFER, ()),
] + [(f"not-bytes-{type(frame).__name__}", None, frame, TypeError,
      rf"^Argument 'pcm_bytes' has incorrect type \(expected bytes, got {type(frame).__name__}\)",
      None, ()) for frame in [bytearray(1024), memoryview(bytes(1024)), None, "\0" * 1024,
                              type("Frame", (bytes,), {})(bytes(1024))]]


@pytest.mark.parametrize("source, frame, exc, message, line, after",
                         [f[1:] for f in FAILURES], ids=[f[0] for f in FAILURES])
def test_failure_keeps_the_state(probe, source, frame, exc, message, line, after):
    model = source if isinstance(source, dict) else {}
    d = probe("state", **model)
    if not model:
        d.sess = FakeSession()
    if not model or "width" in model:  # a first run that succeeds
        d(pcm(np.arange(FRAME) - 200))
    if callable(source):
        d.sess.result = source
    state, state_copy, ctx, ctx_copy = d.state, d.state.copy(), d.ctx, d.ctx.copy()
    with pytest.raises(exc, match=message) as e:
        d(frame)
    tb = entries(e.value)
    if line is None:
        assert not [f for f in tb if f[0] == "cantorel/manage"]
    else:
        tail = tb[tb.index(ours("VoiceVD.__call__", line)) + 1:]
        if isinstance(after, str):
            assert tail and all(after in f[0] for f in tail)
        else:
            assert [f[2] for f in tail] == list(after)
    if line == RETURN:
        assert d.state is NEW
    else:
        assert d.state is state
        np.testing.assert_array_equal(state, state_copy)
    if line in (RUN, RETURN):  # the context advanced before the run
        expected = np.concatenate((ctx_copy, scaled(np.frombuffer(frame, "<i2"))), axis=1)
        np.testing.assert_array_equal(d.ctx, expected[:, -64:])
    else:
        assert d.ctx is ctx and len(d.sess.calls) == 1
        np.testing.assert_array_equal(ctx, ctx_copy)
    if "width" in model:  # still usable, on the state it kept
        assert d(pcm(np.zeros(FRAME))) == 256.0


# ------------------------------------------------------------ construction and reset failures

@pytest.mark.parametrize("content, error", [
    (None, "NoSuchFile"), (b"not a model", "InvalidProtobuf"), ("dir", "InvalidProtobuf")])
def test_model_load_failure_propagates_from_the_session_line(tmp_path, monkeypatch, manage,
                                                             content, error):
    path = tmp_path / ".cache" / "sonvale" / "voicevd.pt"
    if content == "dir":
        path.mkdir(parents=True)
    elif content is not None:
        path.parent.mkdir(parents=True)
        path.write_bytes(content)
    monkeypatch.setenv("HOME", str(tmp_path))
    with pytest.raises(Exception) as e:
        manage.VoiceVD()
    assert type(e.value) is getattr(ORT_ERRORS, error)
    tb = entries(e.value)
    opened = twin.line_of("VoiceVD.__init__", "self.sess =")
    tail = tb[tb.index(ours("VoiceVD.__init__", opened)) + 1:]
    assert tail and all("onnxruntime" in f[0] for f in tail)
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
    assert entry(e.value) == ours("VoiceVD.reset", twin.line_of("VoiceVD.reset", "self.state.fill"))
    np.testing.assert_array_equal(fake.ctx, ctx)  # the second step never ran
    assert ctx.any()
