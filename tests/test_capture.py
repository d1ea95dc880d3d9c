"""RecVoice and RecVoice_T under a scripted PyAudio, a clock that advances by
one frame (1/32 s) per read and a scripted detector: the stream's arguments,
the thresholds, the time limits, the kept frames, failures in and around the
loop (the background thread: test_background_capture.py). The constructor's calls and
attributes, missing globals and a seeded sweep of captures are compared with
the module's Python twin in test_differential.py."""
import numpy as np
import pytest

import cantorel.manage as M
from conftest import clean_exits, our_lines
from cantorel_dev import twin
from listening_fakes import Boom, EndOfScript, Rig, kept, newest, numpy_with, raise_

up = lambda x: float(np.nextafter(x, 2.0))  # noqa: E731  the next double above x


def line(method, statement):
    """The module's line for `statement` (or (statement, which of several)) in
    a method of RecVoice, or of the class it names."""
    return twin.line_of(method if "." in method else f"RecVoice.{method}",
                        *(statement if isinstance(statement, tuple) else (statement,)))


# ------------------------------------------------------------------ construction

def test_constructor_reads_the_stream_parameters_back_from_the_instance(monkeypatch):
    rig = Rig(M, monkeypatch, [])

    class Reading(M.RecVoice):
        seen = []

        def __setattr__(self, name, value):
            # Each value is changed on its way in: open() must get the stored ones.
            value = {"FORMAT": "F", "CHANNELS": 2, "RATE": 8000, "FRAME_SIZE": 256}.get(name, value)
            object.__setattr__(self, name, value)

    Reading()
    assert rig.pyaudio.opened[0][1][:5] == [("format", "F"), ("channels", 2), ("rate", 8000),
                                          ("input", True), ("frames_per_buffer", 256)]


@pytest.mark.parametrize("kwargs, name, got", [
    ({"sld": True}, "sld", "bool"), ({"max_time": 2.5}, "max_time", "float"),
    ({"sld": None}, "sld", "NoneType"), ({"device_index": "1"}, "device_index", "str"),
    ({"device_index": False}, "device_index", "bool"),
])
@pytest.mark.parametrize("cls", ["RecVoice", "RecVoice_T"])
def test_wrong_argument_types_raise_before_anything_is_set(monkeypatch, cls, kwargs, name, got):
    rig = Rig(M, monkeypatch, [])
    obj = object.__new__(getattr(M, cls))
    with pytest.raises(TypeError) as info:
        type(obj).__init__(obj, **kwargs)
    expected = "int"
    assert str(info.value).startswith(
        f"Argument '{name}' has incorrect type (expected {expected}, got {got})")
    assert vars(obj) == {} and rig.pyaudio.handles == []
    assert our_lines(info.value, "RecVoice.__init__") == []


NO_SERVER = r"""
import traceback
import cantorel.manage as M
for device in (None, -1, 0, 9999, 2**31, 2**40, -2**40):
    try:
        M.RecVoice(device_index=device)
    except Exception as e:
        tb = [(f.lineno, f.name) for f in traceback.extract_tb(e.__traceback__)
              if f.filename == "cantorel/manage"]
        print(device, type(e).__name__, e.args[0], tb, sep="|", flush=True)
    else:
        print(device, "opened", flush=True)
"""


def test_without_an_audio_device_the_constructor_raises_pyaudio_error(tmp_path, model_home):
    """No sound card and no sound server: PyAudio's own error leaves the
    constructor from its open() call. A chosen device that does not exist
    used to crash PyAudio (a null device description); it is looked up first."""
    env = {"HOME": str(model_home), "XDG_RUNTIME_DIR": str(tmp_path),
           "PULSE_SERVER": f"unix:{tmp_path}/no-such-server", "JACK_NO_START_SERVER": "1"}
    [proc] = clean_exits(NO_SERVER, env=env, timeout=120)
    results = [line.split("|") for line in proc.stdout.strip().splitlines()]
    assert [r[0] for r in results] == ["None", "-1", "0", "9999", str(2**31), str(2**40),
                                       str(-2**40)]
    for device, kind, code, tb in results:
        opened = line("__init__", "self.stream =")
        assert tb == str([(opened, "cantorel.manage.RecVoice.__init__")]), (device, tb)
        if device in ("None", "-1", "0", "9999"):
            assert (kind, code) == ("OSError", "-9996"), device  # paInvalidDevice
        else:
            assert kind == "OverflowError", device


# ------------------------------------------------------------------ thresholds and limits

def capture(monkeypatch, probs, sld=1, max_time=100, **rig_kwargs):
    rig = Rig(M, monkeypatch, probs, **rig_kwargs)
    rec = M.RecVoice(sld=sld, max_time=max_time)
    try:
        return rig, rec, rec.record_audio()
    except EndOfScript as e:
        return rig, rec, e


# (probabilities, sld, max_time, frames the capture keeps; None: it never ends)
CASES = {
    "exactly 0.6 does not start speech": ([0.6] * 40, 1, 100, None),
    "between the thresholds does not start speech": ([0.5] * 40, 1, 100, None),
    "above 0.6 starts, exactly 0.35 is silence": ([0.6] * 3 + [up(0.6)] + [0.35] * 40, 1, 100,
                                                  4 + 33),
    "above 0.35 keeps speech going": ([up(0.6)] + [up(0.35)] * 10 + [0.35] * 40, 1, 100,
                                      11 + 33),
    "silence of exactly sld seconds does not end it": ([0.9] + [0.0] * 60, 1, 100, 1 + 33),
    "sld 0 ends at the next frame": ([0.9] + [0.0] * 5, 0, 100, 2),
    "sld 2": ([0.9] + [0.0] * 70, 2, 100, 1 + 65),
    # max_time counts from the clock reading on the first speech frame (taken
    # after that frame was read), so the frame read max_time later is the last.
    "speech never stops: max_time reached exactly": ([0.9] * 100, 5, 1, 1 + 32),
    "max_time 2": ([0.9] * 100, 5, 2, 1 + 64),
    "max_time 0 ends after the first speech frame": ([0.0] * 5 + [0.9] * 5, 5, 0, 6),
    "speech begins after max_time": ([0.0] * 40 + [0.9] + [0.0] * 40, 5, 1, 41 + 32),
    "speech begins exactly at max_time": ([0.0] * 31 + [0.9] + [0.0] * 40, 5, 1, 32 + 32),
    "speech begins just before max_time": ([0.0] * 30 + [0.9] + [0.0] * 40, 5, 1, 31 + 32),
    "sld ends it before max_time": ([0.0] * 100 + [0.9] * 10 + [0.0] * 40, 1, 3, 110 + 33),
}


@pytest.mark.parametrize("probs, sld, max_time, n", CASES.values(), ids=CASES.keys())
def test_thresholds_and_time_limits(monkeypatch, probs, sld, max_time, n):
    rig, rec, result = capture(monkeypatch, probs, sld, max_time)
    log = rig.stream.log
    assert log[0] == ("start_stream",) and log[-1] == ("stop_stream",)
    assert log[1:-1] == [("read", 512, False)] * (len(log) - 2)
    if n is None:
        assert isinstance(result, EndOfScript) and rig.stream.reads() == len(probs) + 1
        return
    assert type(result) is np.ndarray and result.dtype == np.int16 and result.ndim == 1
    assert not result.flags.writeable and type(result.base) is bytes
    assert kept(result) == list(range(n)) and len(result) == 512 * n
    assert rig.stream.reads() == n and len(rig.frames_seen) == n
    assert rec.time_start == 1000.0  # the clock reading when the capture began


def test_the_window_is_averaged_with_numpy_and_kept_across_captures(monkeypatch):
    windows = []

    def mean(hist):
        windows.append((hist, tuple(hist)))
        return np.mean(hist)

    rig = Rig(M, monkeypatch, [0.9] + [0.0] * 40, count=200, exact=False)
    monkeypatch.setattr(M, "np", numpy_with(mean=mean))
    rec = M.RecVoice(sld=1)
    first = rec.record_audio()
    n1 = len(windows)
    rec.voicevd.script = iter([0.9] * 20 + [0.0] * 100)
    second = rec.record_audio()
    assert all(h is rec.hist for h, _ in windows)
    values = [w for _, w in windows]
    # The first capture: 0.9 alone (speech), then 0.45 (still above 0.35), then silence.
    assert values[:3] == [(0.9,), (0.9, 0.0), (0.9, 0.0, 0.0)]
    assert len(first) == 512 * (2 + 33) == 512 * n1
    # The second capture's first window holds the first one's last nine values.
    assert values[n1] == values[n1 - 1][1:] + (0.9,) == (0.0,) * 9 + (0.9,)
    assert max(len(v) for v in values) == 10
    # Its speech lasts while at least four of ten values are 0.9 (0.36 > 0.35):
    # the twenty frames of 0.9 and six zeros; then 33 frames of silence.
    assert kept(second) == list(range(n1, n1 + 20 + 6 + 33))


@pytest.mark.parametrize("when", [None, 0, 5, 12])
def test_frame_is_append_switched_off(monkeypatch, when):
    rig = Rig(M, monkeypatch, [0.9] + [0.0] * 40)
    rec = M.RecVoice(sld=1)
    if when is None:
        rec.frame_is_append = False
    else:
        rig.stream.on_read = lambda i: i == when and setattr(rec, "frame_is_append", 0)
    result = rec.record_audio()
    # The capture runs and ends as usual; only what was read before the switch is kept.
    assert rig.stream.reads() == 34 and rig.stream.log[-1] == ("stop_stream",)
    if when in (None, 0):
        assert result is None
    else:
        assert kept(result) == list(range(when))


def test_frame_is_append_is_read_as_a_truth_value_for_every_frame(monkeypatch):
    rig = Rig(M, monkeypatch, [0.9] + [0.0] * 40)
    rec = M.RecVoice(sld=1)
    flags = iter([[], [1], "", "x", 0.0, 2] * 10)
    rig.stream.on_read = lambda i: setattr(rec, "frame_is_append", next(flags))
    assert kept(rec.record_audio()) == [i for i in range(34) if i % 6 in (1, 3, 5)]


# ------------------------------------------------------------------ failures

class BadCompare:
    def __gt__(self, other):
        raise Boom("compare")


class BadTruth:
    def __bool__(self):
        raise Boom("truth")


class _Span:
    """A difference of clock readings that the silence test (`>`) accepts and
    the length test (`>=`) refuses."""

    def __gt__(self, other):
        return False

    def __ge__(self, other):
        raise Boom("span")


class _Stamp(float):
    def __rsub__(self, other):
        return _Span()


def _stamp_speech_start(rig, rec):
    """The reading taken on the first speech frame (the clock's fifth call:
    two before the loop, one per silent frame, then the one when speech is
    found on frame 2) is one whose differences only the silence test can
    compare."""
    tick = rig.clock.time

    def time():
        now = tick()
        return _Stamp(now) if rig.clock.calls == 5 else now

    rig.clock.time = time


def _site(name):
    """Makes frame 3 fail at one statement of the loop (SITE_STATEMENTS)."""
    def at(rig, rec, i, action):
        if i == 3:
            action()
    sites = {
        "read": (lambda rig, rec: setattr(rig.stream, "on_read",
                                          lambda i: i == 3 and raise_(Boom("read")))),
        "detector": (lambda rig, rec: setattr(rec.voicevd, "script", iter(
            [0.0, 0.0, 0.0, lambda f: raise_(Boom("detector"))]))),
        "hist": (lambda rig, rec: setattr(rig.stream, "on_read", lambda i: at(
            rig, rec, i, lambda: setattr(rec, "hist", None)))),
        "mean": (lambda rig, rec: setattr(M, "np", numpy_with(
            mean=lambda h: raise_(Boom("mean")) if len(h) == 4 else newest(h)))),
        "compare": (lambda rig, rec: setattr(M, "np", numpy_with(
            mean=lambda h: BadCompare() if len(h) == 4 else newest(h)))),
        "truth": (lambda rig, rec: setattr(M, "np", numpy_with(
            mean=lambda h: np.array([0.7, 0.7]) if len(h) == 4 else newest(h)))),
        "clock in speech": (lambda rig, rec: setattr(rig.stream, "on_read", lambda i: at(
            rig, rec, i, lambda: setattr(rig.clock, "fail_at", rig.clock.calls + 1)))),
        "frame_is_append": (lambda rig, rec: setattr(rig.stream, "on_read", lambda i: at(
            rig, rec, i, lambda: setattr(rec, "frame_is_append", BadTruth())))),
        "clock": (lambda rig, rec: setattr(rig.stream, "on_read", lambda i: i == 6 and setattr(
            rig.clock, "fail_at", rig.clock.calls + 1))),
        "sld": (lambda rig, rec: setattr(rig.stream, "on_read", lambda i: at(
            rig, rec, i, lambda: delattr(rec, "_sld")))),
        "max_time": (lambda rig, rec: setattr(rig.stream, "on_read", lambda i: at(
            rig, rec, i, lambda: setattr(rec, "max_time_record", "x")))),
        "speech start": _stamp_speech_start,
    }
    return sites[name]


SITE_STATEMENTS = {  # where each site's failure is reported
    "read": "frame = self.stream.read",
    "detector": "p = self.voicevd",
    "hist": "self.hist.append",
    "mean": "prob_avg =",
    "compare": "is_speech =",
    "truth": "if is_speech",
    "clock in speech": ("last_speech_time =", 1),
    "frame_is_append": "if self.frame_is_append",
    "clock": "now = time.time()",
    "sld": "if now - last_speech_time",
    "max_time": "if now - speech_start",
    "speech start": "if now - speech_start",
}
SITES = list(SITE_STATEMENTS)


@pytest.mark.parametrize("site", SITES)
def test_a_failure_in_the_loop_stops_the_stream_and_reaches_the_caller(monkeypatch, site):
    install = _site(site)
    probs = [0.0, 0.0, 0.9] + [0.9] * 3 + [0.0] * 40
    rig = Rig(M, monkeypatch, probs)
    rec = M.RecVoice(sld=1)
    install(rig, rec)
    with pytest.raises(Exception) as info:
        rec.record_audio()
    assert not isinstance(info.value, EndOfScript)
    assert our_lines(info.value, "RecVoice.record_audio") == [line("record_audio", "return")]
    assert our_lines(info.value, "RecVoice.vad_audio") == [line("vad_audio", SITE_STATEMENTS[site])]
    assert rig.stream.log.count(("stop_stream",)) == 1 and rig.stream.log[-1] == ("stop_stream",)
    assert rig.stream.reads() == {"clock": 7, "speech start": 3}.get(site, 4)


@pytest.mark.parametrize("first_failure", [None, "detector"])
def test_a_failing_stop_stream_replaces_the_exception_and_keeps_it_as_context(monkeypatch,
                                                                              first_failure):
    rig = Rig(M, monkeypatch, [0.9] + [0.0] * 40)
    rec = M.RecVoice(sld=1)
    rig.stream.stop_error = RuntimeError("stop failed")
    if first_failure:
        rec.voicevd.script = iter([0.9, lambda f: raise_(Boom("detector"))])
    with pytest.raises(RuntimeError, match="stop failed") as info:
        rec.record_audio()
    assert our_lines(info.value, "RecVoice.vad_audio") == [line("vad_audio", "self.stream.stop")]
    context = info.value.__context__
    if first_failure:
        assert type(context) is Boom and our_lines(context, "RecVoice.vad_audio") == [
            line("vad_audio", "p = self.voicevd")]
        assert info.value.__suppress_context__ is False
    else:
        assert context is None


@pytest.mark.parametrize("fail_at, statement", [(1, ("last_speech_time =", 0)),
                                                 (2, "self.time_start =")])
def test_a_failure_before_the_loop_leaves_the_stream_running(monkeypatch, fail_at, statement):
    rig = Rig(M, monkeypatch, [0.9] * 5)
    rec = M.RecVoice()
    rig.clock.fail_at = fail_at
    with pytest.raises(OSError, match="clock failed") as info:
        rec.record_audio()
    assert our_lines(info.value, "RecVoice.vad_audio") == [line("vad_audio", statement)]
    assert rig.stream.log == [("start_stream",)]


def test_a_failing_start_stream_reads_nothing(monkeypatch):
    rig = Rig(M, monkeypatch, [0.9] * 5)
    rec = M.RecVoice()
    rig.stream.start_stream = lambda: raise_(Boom("start"))
    with pytest.raises(Boom) as info:
        rec.record_audio()
    assert our_lines(info.value, "RecVoice.record_audio") == [
        line("record_audio", "self.stream.start")]
    assert rig.stream.log == [] and rig.frames_seen == []


def test_record_audio_reaches_the_loop_through_the_instance(monkeypatch):
    rig = Rig(M, monkeypatch, [])

    class Replaced(M.RecVoice):
        def vad_audio(self):
            return ("replaced", tuple(rig.stream.log))

    assert Replaced().record_audio() == ("replaced", (("start_stream",),))
