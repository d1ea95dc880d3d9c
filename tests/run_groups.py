"""Markers that let a run leave out the slow real-time groups: `real_audio`
(the virtual sound devices, or whole programs that start them) and `exits`
(fresh interpreters ended while module threads run). CI runs them on the
oldest and newest supported CPython and everything else on all of them, e.g.
`pytest -m "not real_audio and not exits"`.

Registered from conftest.py through `pytest_plugins`. A test is put in a
group by what it uses, so a new test that takes the `virtual_audio` fixture
is marked without anyone remembering to."""
import pytest

# Modules that start the devices or fresh interpreters themselves.
REAL_AUDIO_MODULES = {"test_voice_loop", "test_virtual_audio", "test_listening_real",
                      "test_speaking_real"}
EXIT_MODULES = {"test_exit_safety", "test_speaking_exit", "test_listening_exit"}
# Fixtures that start the devices, or a whole program on them.
REAL_AUDIO_FIXTURES = {"virtual_audio", "exchange_ready"}


def pytest_configure(config):
    config.addinivalue_line("markers", "real_audio: uses the virtual sound devices in real time")
    config.addinivalue_line("markers", "exits: ends fresh interpreters while module threads run")


def pytest_collection_modifyitems(config, items):
    for item in items:
        module = item.module.__name__.rpartition(".")[2] if item.module else ""
        if module in REAL_AUDIO_MODULES or REAL_AUDIO_FIXTURES & set(getattr(item, "fixturenames", ())):
            item.add_marker(pytest.mark.real_audio)
        if module in EXIT_MODULES:
            item.add_marker(pytest.mark.exits)
