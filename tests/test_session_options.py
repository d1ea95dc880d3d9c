"""VoiceVD opens its session single-threaded with spinning off (the model
runs once per frame, so a spinning thread pool would burn a core while the
capture waits): what reaches the real session, what a host's stand-in `ort`
receives, and failures while the options are made."""
import onnxruntime
import pytest

from cantorel_dev.twin import line_of
from conftest import entries, ours

SPINNING = "session.intra_op.allow_spinning"


def test_the_real_session_runs_single_threaded_without_spinning(vad_env, manage):
    d = manage.VoiceVD()
    assert type(d.sess) is onnxruntime.InferenceSession
    assert d.sess.get_providers() == ["CPUExecutionProvider"]
    for options in (d.sess._sess_options, d.sess.get_session_options()):
        assert (options.intra_op_num_threads, options.inter_op_num_threads) == (1, 1)
        assert options.get_session_config_entry(SPINNING) == "0"


class Recorder:
    """A stand-in `ort`: InferenceSession records its call, SessionOptions
    (when given) makes recording options."""

    def __init__(self, options=True, fail=None):
        self.calls, self.made, self.fail = [], [], fail
        if options is True:
            self.SessionOptions = self._options
        elif options is not False:
            self.SessionOptions = options

    def _options(self):
        if self.fail == "SessionOptions":
            raise RuntimeError("SessionOptions")
        recorder = self

        class Options:
            def __init__(self):
                self.log = []
                recorder.made.append(self)

            def __setattr__(self, name, value):
                if name != "log":
                    self.log.append((name, value))
                super().__setattr__(name, value)

            def add_session_config_entry(self, key, value):
                if recorder.fail == "config entry":
                    raise ValueError("config entry")
                self.log.append((key, value))

        return Options()

    def InferenceSession(self, *args, **kwargs):
        self.calls.append((args, list(kwargs.items())))
        if self.fail == "InferenceSession":
            raise OSError("InferenceSession")
        return "session"


@pytest.fixture
def home(tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path))
    return tmp_path / ".cache" / "sonvale" / "voicevd.pt"


def test_a_stand_in_with_session_options_receives_them_configured(home, monkeypatch, manage):
    ort = Recorder()
    monkeypatch.setattr(manage, "ort", ort)
    assert manage.VoiceVD().sess == "session"
    [options] = ort.made
    assert options.log == [("intra_op_num_threads", 1), ("inter_op_num_threads", 1),
                           (SPINNING, "0")]
    [(args, kwargs)] = ort.calls
    assert args == (str(home),)
    assert kwargs == [("sess_options", options), ("providers", ["CPUExecutionProvider"])]


@pytest.mark.parametrize("options", [False, None], ids=["absent", "None"])
def test_a_stand_in_without_session_options_gets_the_plain_call(home, monkeypatch, manage,
                                                                  options):
    ort = Recorder(options)
    monkeypatch.setattr(manage, "ort", ort)
    assert manage.VoiceVD().sess == "session"
    assert ort.calls == [((str(home),), [("providers", ["CPUExecutionProvider"])])]


class BrokenLookup:
    """An `ort` whose SessionOptions look-up fails with something other than
    AttributeError, which must not be taken for "absent"."""
    InferenceSession = None

    @property
    def SessionOptions(self):
        raise KeyError("look-up")


@pytest.mark.parametrize("fail, kind", [("SessionOptions", RuntimeError),
                                        ("config entry", ValueError),
                                        ("InferenceSession", OSError),
                                        ("look-up", KeyError)])
def test_a_failure_while_opening_propagates_from_the_session_line(home, monkeypatch, manage, fail, kind):
    ort = BrokenLookup() if fail == "look-up" else Recorder(fail=fail)
    monkeypatch.setattr(manage, "ort", ort)
    with pytest.raises(kind, match=fail) as info:
        manage.VoiceVD()
    tb = entries(info.value)
    opening = ours("VoiceVD.__init__", line_of("VoiceVD.__init__", "self.sess = "))
    assert opening in tb
    assert [e for e in tb if e[0] == "cantorel/manage"][-1] == opening
    if fail != "look-up":
        assert len(ort.calls) == (fail == "InferenceSession")

