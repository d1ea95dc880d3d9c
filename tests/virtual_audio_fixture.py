"""The virtual microphone and speaker (cantorel_dev.virtual_audio) as a pytest fixture.

Registered from conftest.py through `pytest_plugins`. One server serves the
whole session."""
import pytest

from cantorel_dev import virtual_audio as virtual_audio_module


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
