"""AudioPlayer.play_audio with a scripted `sa` module, and with the real
simpleaudio where no output device exists."""
import types

import pytest

from conftest import clean_exits, entries, ours, run_python

import cantorel.manage as M

FORMAT = [("num_channels", 1), ("bytes_per_sample", 2), ("sample_rate", 48000)]
LINES = {"wave": 145, "play": 151, "wait": 152}


def scripted_sa(log, fail_at=None, error=None):
    """simpleaudio's three calls, logged; `error` raised at step `fail_at`."""
    def step(name):
        log.append(name)
        if name == fail_at:
            raise error

    class Playing:
        def wait_done(self, *args, **kwargs):
            log.append(("wait_done", args, kwargs))
            step("wait")

    class WaveObject:
        def __init__(self, *args, **kwargs):
            log.append(("WaveObject", args, list(kwargs.items())))
            step("wave")

        def play(self, *args, **kwargs):
            log.append(("play", args, kwargs))
            step("play")
            return Playing()

    return types.SimpleNamespace(WaveObject=WaveObject)


@pytest.fixture
def log(monkeypatch):
    calls = []
    monkeypatch.setattr(M, "sa", scripted_sa(calls))
    return calls


@pytest.mark.parametrize("how", ["class", "instance", "keyword"])
def test_the_three_calls(log, capsys, how):
    data = b"\x01\x00" * 480
    call = {"class": lambda: M.AudioPlayer.play_audio(data),
            "instance": lambda: M.AudioPlayer().play_audio(data),
            "keyword": lambda: M.AudioPlayer.play_audio(audio_data=data)}[how]
    assert call() is None
    assert log == [("WaveObject", (data,), FORMAT), "wave", ("play", (), {}), "play",
                   ("wait_done", (), {}), "wait"]
    assert log[0][1][0] is data  # handed on unchanged
    assert capsys.readouterr().out == ""


def test_the_player_has_no_state():
    player = M.AudioPlayer()
    assert vars(player) == {} and player.__init__() is None


@pytest.mark.parametrize("stage", list(LINES))
def test_a_failure_is_printed_and_swallowed(monkeypatch, capsys, stage):
    class Failure(Exception):
        def __str__(self):
            # what the handler sees: the entry of the failing statement is there
            return f"failed: {entries(self)[0]}"

    calls = []
    monkeypatch.setattr(M, "sa", scripted_sa(calls, stage, Failure()))
    assert M.AudioPlayer.play_audio(b"\0\0") is None
    assert calls[-1] == stage
    assert capsys.readouterr().out == f"failed: {ours('AudioPlayer.play_audio', LINES[stage])}\n"


def test_missing_sa_is_printed(monkeypatch, capsys):
    monkeypatch.delattr(M, "sa")
    assert M.AudioPlayer.play_audio(b"\0\0") is None
    assert capsys.readouterr().out == "name 'sa' is not defined\n"


@pytest.mark.parametrize("stage", list(LINES))
def test_an_exception_outside_exception_reaches_the_caller(monkeypatch, capsys, stage):
    monkeypatch.setattr(M, "sa", scripted_sa([], stage, KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt) as info:
        M.AudioPlayer.play_audio(b"\0\0")
    assert ours("AudioPlayer.play_audio", LINES[stage]) in entries(info.value)
    assert capsys.readouterr().out == ""


def test_an_unprintable_failure_leaves_with_both_exceptions(monkeypatch):
    class Unprintable(Exception):
        def __str__(self):
            raise ValueError("no text")

    monkeypatch.setattr(M, "sa", scripted_sa([], "play", Unprintable()))
    with pytest.raises(ValueError) as info:
        M.AudioPlayer.play_audio(b"\0\0")
    assert isinstance(info.value.__context__, Unprintable)
    assert entries(info.value)[-2] == ours("AudioPlayer.play_audio", 154)


class Bytes(bytes):
    pass


@pytest.mark.parametrize("value", [bytearray(b"\0\0"), memoryview(b"\0\0"), Bytes(b"\0\0"), None,
                                   "\0\0"], ids=lambda v: type(v).__name__)
def test_only_exact_bytes_are_played(log, capsys, value):
    with pytest.raises(TypeError, match="Argument 'audio_data' has incorrect type"):
        M.AudioPlayer.play_audio(value)
    assert log == [] and capsys.readouterr().out == ""


# ------------------------------------------------------------ in a fresh interpreter

def test_the_failure_line_is_not_flushed(tmp_path):
    # With stdout a pipe, an unflushed line is written only at exit: after
    # what the script writes to the descriptor directly.
    proc = run_python("""
        import os, types
        import cantorel.manage as M
        def fail(*args, **kwargs):
            raise OSError("no device")
        M.sa = types.SimpleNamespace(WaveObject=fail)
        M.AudioPlayer.play_audio(b"\\0\\0")
        os.write(1, b"written directly\\n")
    """, env={"PYTHONUNBUFFERED": ""})  # empty: stdout is buffered as usual
    assert (proc.returncode, proc.stdout) == (0, "written directly\nno device\n"), proc.stderr


def test_without_an_output_device(tmp_path):
    """The real simpleaudio with an ALSA configuration that defines no device."""
    empty = tmp_path / "alsa.conf"
    empty.write_text("")
    [proc] = clean_exits("""
        import cantorel.manage as M
        for n in (4800, 1, 0):
            assert M.AudioPlayer.play_audio(b"\\0\\0" * n) is None
        print("carried on")
    """, env={"ALSA_CONFIG_PATH": str(empty)}, timeout=120)
    lines = proc.stdout.splitlines()
    assert lines[-1] == "carried on"
    assert all(line.startswith("Error opening PCM device.") for line in lines[:-1]), lines
