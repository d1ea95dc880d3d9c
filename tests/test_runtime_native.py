"""Class creation of the runtime, driven from C++ inside an embedded interpreter
(tests/native/test_runtime.cpp): bases that the module's own classes never
have, compared with the class statement the interpreter runs."""
import os
import subprocess
import sys

import pytest

from conftest import ROOT, compile_native, runtime_sources

SOURCE = ROOT / "tests" / "native" / "test_runtime.cpp"
CASES = [
    "plain_base", "mro_entries_tuple", "mro_entries_list", "mro_entries_raises",
    "non_class_base", "prepare_order", "orig_bases_order", "prepare_not_mapping",
    "metaclass_conflict", "later_metaclass_wins", "first_metaclass_kept", "metaclass_raises",
    "missing_global", "method_store_fails", "class_cell_during_creation",
]


@pytest.fixture(scope="module")
def native_run(tmp_path_factory):
    program = compile_native([SOURCE, *runtime_sources()],
                             tmp_path_factory.mktemp("native") / "test_runtime", embed=True)
    return subprocess.run([str(program)], capture_output=True, text=True, timeout=60,
                          cwd=str(program.parent),
                          env={**os.environ, "PYTHONHOME": sys.base_prefix})


@pytest.mark.parametrize("case", CASES)
def test_case(native_run, case):
    report = native_run.stdout
    assert f"PASS {case}\n" in report, report[report.find(f"FAIL {case}"):] or report
    assert report.count(f" {case}") == 1  # each case runs once


def test_every_case_ran_and_passed(native_run):
    assert native_run.returncode == 0, native_run.stdout + native_run.stderr
    lines = native_run.stdout.splitlines()
    assert lines[-1] == f"{len(CASES)} passed, 0 failed"
    assert len(lines) == len(CASES) + 1 and native_run.stderr == ""


def test_a_forced_unwind_passes_through_the_entry_point(tmp_path):
    # How CPython ends a daemon thread inside the module at exit; the sanitized
    # build also checks that the entry point's handlers take it without a report.
    program = compile_native([ROOT / "tests" / "native" / "forced_unwind.cpp"],
                             tmp_path / "forced_unwind", embed=True)
    run = subprocess.run([str(program)], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout, run.stderr) == (0, "unwound through entry_point\n", "")
