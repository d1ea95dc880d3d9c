"""Shared fixtures: the real speech-probability model in a temporary HOME,
and a helper to run Python code in a fresh interpreter."""
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
MODEL_CACHE = ROOT / "build" / "models" / "silero_vad.onnx"


@pytest.fixture(scope="session")
def model_file(tmp_path_factory) -> Path:
    """The pretrained model file, as the set-up step keeps it."""
    if MODEL_CACHE.is_file():
        return MODEL_CACHE
    dest = tmp_path_factory.mktemp("model") / "voicevd.pt"
    subprocess.run([sys.executable, str(ROOT / "tools" / "fetch_model.py"), "--dest", str(dest)],
                   check=True)
    return dest


@pytest.fixture(scope="session")
def model_home(tmp_path_factory, model_file) -> Path:
    """A home directory whose cache holds the model; never the user's own."""
    home = tmp_path_factory.mktemp("home")
    target = home / ".cache" / "sonvale" / "voicevd.pt"
    target.parent.mkdir(parents=True)
    shutil.copyfile(model_file, target)
    return home


@pytest.fixture
def vad_env(monkeypatch, model_home) -> Path:
    """Points HOME at the model home for the test."""
    monkeypatch.setenv("HOME", str(model_home))
    return model_home


@pytest.fixture
def manage():
    import cantorel.manage
    return cantorel.manage


def run_python(code: str, *, env: dict | None = None, timeout: float = 120):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=full_env, timeout=timeout, cwd=str(ROOT / "tests"))
