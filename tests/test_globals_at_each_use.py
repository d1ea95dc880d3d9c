"""Module globals are looked up at each use: a deleted one raises NameError
at the statement that reads it, and a rebound one takes effect."""
import builtins
import os
import types

import numpy as np
import pytest

import cantorel.manage as M
from conftest import entry, ours
import twin
from differential import failure
from twin import line_of


# ------------------------------------------------- module globals at each use

FRAME = np.zeros(512, np.int16).tobytes()


@pytest.mark.parametrize("name, method, statement, call", [
    ("np", "__call__", "wav = np.frombuffer", lambda det: det(FRAME)),
    ("os", "__init__", "self.cache_dir =", lambda det: M.VoiceVD()),
    ("ort", "__init__", "self.sess =", lambda det: M.VoiceVD()),
    ("np", "__init__", "self.state =", lambda det: M.VoiceVD()),
])
def test_deleted_global_raises_name_error(vad_env, monkeypatch, name, method, statement, call):
    det = M.VoiceVD()
    assert isinstance(det(FRAME), float)  # every global looked up (and cached) once
    value = getattr(M, name)
    monkeypatch.delattr(M, name)
    with pytest.raises(NameError) as info:
        call(det)
    assert str(info.value) == f"name '{name}' is not defined"
    qualname = f"VoiceVD.{method}"
    assert entry(info.value) == ours(qualname, line_of(qualname, statement))
    monkeypatch.setattr(builtins, name, value, raising=False)  # the built-ins come next
    call(det)
    monkeypatch.undo()
    call(det)


def test_rebound_globals_take_effect(model_home, monkeypatch, tmp_path):
    monkeypatch.setenv("HOME", str(tmp_path))  # the real ~/.cache holds no model here
    seen = []

    def expanduser(path):
        seen.append(path)
        return str(model_home / ".cache")

    monkeypatch.setattr(M, "os", types.SimpleNamespace(
        path=types.SimpleNamespace(expanduser=expanduser, join=os.path.join)))
    det = M.VoiceVD()
    assert seen == ["~/.cache"]
    assert det.model_path == str(model_home / ".cache" / "sonvale" / "voicevd.pt")
    assert isinstance(det(FRAME), float)  # a rebound ort: see test_voice_vd


# ------------------------------------------------- a callee that breaks the rules

def _output_with_queue_module(m, queue_module):
    m.queue = queue_module
    return m.Output(object())


@pytest.mark.parametrize("case", ["method on an attribute", "global's attribute called"])
def test_callee_failing_without_an_exception_gives_the_interpreters_error(probe, case):
    """A C function that returns null and sets nothing (a broken extension)
    raises the SystemError the interpreter raises for it, with the same
    message and traceback entry as the twin's call."""
    broken = probe.null_without_exception
    seen = []
    for m in (M, twin.load()):
        saved = m.queue
        try:
            with pytest.raises(SystemError) as info:
                if case == "method on an attribute":
                    det = object.__new__(m.VoiceVD)
                    det.state = types.SimpleNamespace(fill=broken)
                    det.reset()
                else:
                    _output_with_queue_module(m, types.SimpleNamespace(Queue=broken))
        finally:
            m.queue = saved
        seen.append(failure(info.value))
    assert seen[0] == seen[1]
    assert str(info.value) == f"{broken!r} returned NULL without setting an exception"
