""".ci/run's stages, lanes and verdict, with every tool replaced by a stub that
logs its call and exits as told."""
import os
import re
import shutil
import subprocess

import pytest

from conftest import ROOT

TOOLS = ["setup.sh", "test.sh", "test_asan.sh", "build_wheels.sh", "test_wheels.sh"]
STAGES = ["setup-3.10", "suite-3.10", "setup-3.11", "suite-3.11", "setup-3.12", "suite-3.12",
          "setup-3.13", "suite-3.13", "setup-asan", "suite-asan-3.10", "suite-public-3.10",
          "suite-public-3.13", "build-wheels", "test-wheels"]


def run_ci(tmp_path, failing=None, **extra_env):
    """`failing` is (tool, CANTOREL_PYTHON or None, exit status)."""
    root = tmp_path / "clone"
    (root / ".ci").mkdir(parents=True)
    (root / "tools").mkdir()
    shutil.copy(ROOT / ".ci" / "run", root / ".ci" / "run")
    calls = tmp_path / "calls"
    tool, version, status = failing or ("", "", 0)
    for name in TOOLS:
        fail = f'[ "{name}" = "{tool}" ] && [ "${{CANTOREL_PYTHON:-}}" = "{version or ""}" ] && exit {status}'
        (root / "tools" / name).write_text(
            f'#!/bin/bash\necho "{name} ${{CANTOREL_PYTHON:--}} ${{CANTOREL_VENV:--}} ${{CANTOREL_PUBLIC_API:+public-api }}$*" >>"{calls}"\n'
            f"{fail}\nexit 0\n")
    env = {k: v for k, v in os.environ.items() if not k.startswith("CANTOREL_")} | extra_env
    r = subprocess.run(["bash", str(root / ".ci" / "run")], cwd=tmp_path, env=env, capture_output=True,
                       text=True, timeout=120, stdin=subprocess.DEVNULL)
    summary = dict(re.findall(r"^ci:   (\S+) +\S+  (.+)$", r.stdout, re.M))
    return r, summary, calls.read_text().splitlines() if calls.exists() else []


def test_every_stage_runs_and_passes(tmp_path):
    r, summary, calls = run_ci(tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr
    assert summary == dict.fromkeys(STAGES, "ok")
    fast = '-m not real_audio and not exits'
    for expected in ["test.sh - - ", f"test.sh 3.11 - {fast}", f"test.sh 3.12 - {fast}", "test.sh 3.13 - ",
                     "setup.sh - .venv-asan ", "test_asan.sh - - ", "build_wheels.sh - - ", "test_wheels.sh - - ",
                     f"test.sh 3.10 .venv-public-3.10 public-api {fast}",
                     f"test.sh 3.13 .venv-public-3.13 public-api {fast}"]:
        assert expected in calls
    assert calls[0] == "setup.sh - - "  # alone, before anything else
    # Each suite after its own set-up.
    for v in ("3.11", "3.12", "3.13"):
        assert calls.index(f"setup.sh {v} - ") < next(i for i, c in enumerate(calls) if c.startswith(f"test.sh {v}"))


@pytest.mark.parametrize("failing, failed, not_run", [
    (("test.sh", "3.12", 1), {"suite-3.12"}, set()),
    (("setup.sh", "3.11", 1), {"setup-3.11"}, {"suite-3.11"}),
    (("build_wheels.sh", None, 2), {"build-wheels"}, {"test-wheels"}),
    (("test_asan.sh", None, 1), {"suite-asan-3.10"}, set()),
])
def test_a_failure_fails_ci_and_the_rest_still_runs(tmp_path, failing, failed, not_run):
    r, summary, calls = run_ci(tmp_path, failing)
    assert r.returncode == 1
    assert {k for k, v in summary.items() if v.startswith("FAILED")} == failed
    assert {k for k, v in summary.items() if v == "NOT RUN"} == not_run
    assert sum(v == "ok" for v in summary.values()) == len(STAGES) - len(failed) - len(not_run)


def test_nothing_starts_once_the_budget_is_spent(tmp_path):
    r, summary, calls = run_ci(tmp_path, CANTOREL_CI_BUDGET_MIN="0")
    assert r.returncode == 1
    assert calls == []
    # Stages whose set-up was stopped do not start at all.
    assert set(summary.values()) == {"FAILED (exit 124)", "NOT RUN"}
    assert summary["setup-3.10"] == summary["suite-3.10"] == summary["setup-3.13"] == "FAILED (exit 124)"
    assert "no time left in the 0 minutes" in r.stdout
