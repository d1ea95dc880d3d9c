"""The virtual microphone and speaker (tools/virtual_audio.py) as a pytest fixture.

Registered from conftest.py through `pytest_plugins`. One server serves the
whole session."""
import importlib.util
import sys
from pathlib import Path

import pytest

_PATH = Path(__file__).resolve().parent.parent / "tools" / "virtual_audio.py"


def _load():
    if "virtual_audio" in sys.modules:
        return sys.modules["virtual_audio"]
    spec = importlib.util.spec_from_file_location("virtual_audio", _PATH)
    module = importlib.util.module_from_spec(spec)
    sys.modules["virtual_audio"] = module
    spec.loader.exec_module(module)
    return module


virtual_audio_module = _load()


@pytest.fixture(scope="session")
def virtual_audio():
    """The running `VirtualAudio`, already applied to os.environ: PortAudio and
    simpleaudio in this process, and subprocesses started with os.environ, use
    the virtual devices. For a subprocess with an environment of its own, merge
    in `virtual_audio.env`. A server that cannot start fails the tests that use
    it (it is not skipped: a broken audio path must show)."""
    audio = virtual_audio_module.VirtualAudio()
    try:
        audio.start()
    except virtual_audio_module.VirtualAudioError as e:
        pytest.fail(str(e), pytrace=False)
    audio.apply_to_current_process()
    yield audio
    audio.stop()
