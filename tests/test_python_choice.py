"""Which CPython set-up builds for (CANTOREL_PYTHON, tools/pythons.sh), and the
run groups CI selects with -m."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import ROOT

SUPPORTED = "3.10 and later (tested: 3.10, 3.11, 3.12 and 3.13)"
OLD_PYTHON = Path.home() / ".pyenv" / "versions" / "3.9.18" / "bin" / "python"


@pytest.fixture
def copy_root(tmp_path):
    """The set-up scripts alone in an empty project, with apt and dpkg replaced
    by programs that leave a mark: whatever the scripts create shows."""
    root = tmp_path / "project"
    (root / "tools").mkdir(parents=True)
    for name in ("setup.sh", "pythons.sh", "build_wheels.sh"):
        shutil.copy(ROOT / "tools" / name, root / "tools" / name)
    fake_bin = tmp_path / "bin"
    fake_bin.mkdir()
    for tool in ("apt-get", "dpkg-query", "sudo"):
        (fake_bin / tool).write_text(f"#!/bin/sh\necho {tool} >>'{tmp_path}/called'\nexit 1\n")
        (fake_bin / tool).chmod(0o755)
    return root, fake_bin


def run_script(root, fake_bin, script, *args, **env):
    full = {**os.environ, "PATH": f"{fake_bin}:{os.environ['PATH']}", **env}
    full.pop("CANTOREL_VENV", None)
    return subprocess.run(["bash", str(root / "tools" / script), *args], env=full,
                          capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)


@pytest.mark.parametrize("script", ["setup.sh", "build_wheels.sh"])
@pytest.mark.parametrize("request_, names", [
    ("3.9", "CPython 3.9 is not supported"),
    ("3.14", "no CPython 3.14 under"),  # accepted, on the public C API, but not here
    ("2.7.18", "CPython 2.7 is not supported"),
    ("3.1", "CPython 3.1 is not supported"),  # a prefix of 3.10 is not 3.10
    (str(OLD_PYTHON), "which is CPython 3.9, is not supported"),
    ("3", "neither a version such as 3.12 nor a path"),
    ("python3.12", "neither a version such as 3.12 nor a path"),
    ("/nonexistent/python", "is not an executable interpreter"),
    ("/bin/true", "does not say which Python it is"),
])
def test_refused_before_anything_is_built(copy_root, tmp_path, script, request_, names):
    if request_ == str(OLD_PYTHON) and not OLD_PYTHON.exists():
        pytest.skip("no CPython 3.9 under pyenv")
    root, fake_bin = copy_root
    # build_wheels.sh takes the versions as arguments, set-up from the environment.
    args, env = ([request_], {}) if script == "build_wheels.sh" else ([], {"CANTOREL_PYTHON": request_})
    r = run_script(root, fake_bin, script, *args, **env)
    assert r.returncode == 2, r.stderr
    assert names in r.stderr
    if "not supported" in names:
        assert f"builds for CPython {SUPPORTED}" in r.stderr
    assert sorted(p.name for p in root.iterdir()) == ["tools"]  # no venv, no build dir
    assert not (tmp_path / "called").exists()                  # no package was even looked at
    assert r.stdout == ""


@pytest.fixture
def fake_pyenv(tmp_path):
    """A pyenv root whose interpreters are scripts that report their version."""
    root = tmp_path / "pyenv"
    for version in ("3.10.2", "3.10.13", "3.1.5", "3.12.1", "3.12.10", "3.12.9"):
        exe = root / "versions" / version / "bin" / "python"
        exe.parent.mkdir(parents=True)
        exe.write_text("#!/bin/sh\necho fake\n")
        exe.chmod(0o755)
    return root


def resolve(fake_pyenv, tmp_path, **env):
    # No pyenv on PATH: PYENV_ROOT then says where the versions are.
    full = {"PATH": "/usr/bin:/bin", "HOME": str(tmp_path), "PYENV_ROOT": str(fake_pyenv), **env}
    script = (f"source '{ROOT}/tools/pythons.sh' && cantorel_resolve_python && "
              'echo "$CANTOREL_PY_MINOR|$CANTOREL_PY_BASE|$CANTOREL_PY_VENV"')
    r = subprocess.run(["bash", "-c", script], env=full, capture_output=True, text=True, timeout=30)
    assert r.returncode == 0, r.stderr
    minor, base, venv = r.stdout.strip().split("|")
    return minor, os.path.relpath(base, fake_pyenv) if base.startswith(str(fake_pyenv)) else base, venv


@pytest.mark.parametrize("env, expected", [
    ({}, ("3.10", "versions/3.10.13/bin/python", ".venv")),
    ({"CANTOREL_PYTHON": "3.10"}, ("3.10", "versions/3.10.13/bin/python", ".venv")),
    ({"CANTOREL_PYTHON": "3.12"}, ("3.12", "versions/3.12.10/bin/python", ".venv-3.12")),
    ({"CANTOREL_PYTHON": "3.12.1"}, ("3.12", "versions/3.12.1/bin/python", ".venv-3.12")),
    ({"CANTOREL_PYTHON": "3.12", "CANTOREL_VENV": "mine"}, ("3.12", "versions/3.12.10/bin/python", "mine")),
    ({"CANTOREL_PYTHON": sys.executable},
     ("%d.%d" % sys.version_info[:2], sys.executable,
      ".venv" if sys.version_info[:2] == (3, 10) else ".venv-%d.%d" % sys.version_info[:2])),
])
def test_resolved_interpreter_and_venv(fake_pyenv, tmp_path, env, expected):
    assert resolve(fake_pyenv, tmp_path, **env) == expected


def test_a_version_pyenv_lacks_says_how_to_install_it(fake_pyenv, tmp_path):
    full = {"PATH": "/usr/bin:/bin", "HOME": str(tmp_path), "PYENV_ROOT": str(fake_pyenv),
            "CANTOREL_PYTHON": "3.13"}
    r = subprocess.run(["bash", "-c", f"source '{ROOT}/tools/pythons.sh' && cantorel_resolve_python"],
                       env=full, capture_output=True, text=True, timeout=30)
    assert r.returncode == 2
    assert f"no CPython 3.13 under {fake_pyenv}/versions (install it with: pyenv install 3.13)" in r.stderr


# ------------------------------------------------------------ run groups

@pytest.mark.parametrize("expression, present, absent", [
    ("real_audio", ["test_virtual_audio.py::", "test_hosts.py::test_pocketsphinx_hears_the_virtual_microphone",
                    "test_voice_loop_llm.py::test_speech_starts_before_the_stream_ends"],
     ["test_exit_safety.py::", "test_hosts.py::test_espeak_speaks_at_48k",
      "test_voice_loop_llm.py::test_chat_model_failure_says_what_to_check"]),
    ("exits", ["test_exit_safety.py::"], ["test_virtual_audio.py::", "test_hosts.py::"]),
    ("not real_audio and not exits", ["test_hosts.py::test_espeak_speaks_at_48k"],
     ["test_virtual_audio.py::", "test_exit_safety.py::",
      "test_hosts.py::test_pocketsphinx_hears_the_virtual_microphone"]),
])
def test_run_groups_select_by_what_a_test_uses(expression, present, absent):
    files = ["tests/test_virtual_audio.py", "tests/test_hosts.py", "tests/test_exit_safety.py",
             "tests/test_voice_loop_llm.py"]
    r = subprocess.run([sys.executable, "-m", "pytest", "-q", "--collect-only", "-p", "no:cacheprovider",
                        "-m", expression, *files], cwd=ROOT, capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr
    for part in present:
        assert part in r.stdout
    for part in absent:
        assert part not in r.stdout
