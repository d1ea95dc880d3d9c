"""The import warns when the running interpreter is not the one the module was
built for. The running version is faked by interposing Py_GetVersion with a
preloaded library (the interpreter's own library is shared, so the module's
reference resolves to the preload)."""
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

from conftest import run_python

pytestmark = pytest.mark.skipif(
    not sysconfig.get_config_var("Py_ENABLE_SHARED") or shutil.which("gcc") is None,
    reason="needs a shared libpython and gcc to interpose Py_GetVersion")

# onnxruntime makes the same check and refuses a foreign version, so a
# stand-in takes its place in sys.modules.
IMPORT_WITH_WARNINGS = """
    import sys, types, warnings
    sys.modules["onnxruntime"] = types.ModuleType("onnxruntime")
    def attempt():
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import cantorel.manage
        return [(w.category.__name__, str(w.message)) for w in caught
                if w.category is RuntimeWarning]
    print(attempt())
    del sys.modules["cantorel.manage"]
    print(attempt())
"""

IMPORT_WITH_ERRORS = """
    import sys, traceback, types, warnings
    sys.modules["onnxruntime"] = types.ModuleType("onnxruntime")
    warnings.simplefilter("error", RuntimeWarning)
    try:
        import cantorel.manage
    except RuntimeWarning as e:
        print("raised", e)
        print([entry.filename for entry in traceback.extract_tb(e.__traceback__)])
    print("cantorel.manage" in sys.modules)
    warnings.resetwarnings()
    warnings.simplefilter("ignore")
    import cantorel.manage
    print(cantorel.manage.VoiceVD.__name__)
"""


# The module is built by the interpreter that runs the tests, and for it.
BUILT = "%d.%d" % sys.version_info[:2]
# A supported version other than the one built for.
OTHER = "3.11" if BUILT != "3.11" else "3.12"


def preload(tmp_path, version):
    """LD_PRELOAD for a fresh interpreter: whatever is preloaded already (a
    sanitizer runtime must stay first), then the fake Py_GetVersion."""
    return {"LD_PRELOAD": " ".join(filter(None, [os.environ.get("LD_PRELOAD"),
                                                 fake_version_library(tmp_path, version)]))}


def fake_version_library(tmp_path, version):
    source = tmp_path / "version.c"
    source.write_text('const char *Py_GetVersion(void) { return "%s"; }\n' % version)
    library = tmp_path / "version.so"
    subprocess.run(["gcc", "-shared", "-fPIC", "-o", str(library), str(source)], check=True)
    return str(library)


@pytest.mark.parametrize("version, running", [
    ("3.9.18 (main, fake)", "3.9"),
    ("4.10.0", "4.10"),
    ("3.100", "3.100"),
    (OTHER + ".2", OTHER),
])
def test_foreign_version_warns_once_per_import(tmp_path, version, running):
    result = run_python(IMPORT_WITH_WARNINGS,
                        env=preload(tmp_path, version))
    assert result.returncode == 0, result.stderr
    message = (f"compile time Python version {BUILT} of module 'cantorel.manage' does not match "
               f"runtime version {running}")
    # The second import finds the module object again and runs no body.
    assert result.stdout.splitlines() == [str([("RuntimeWarning", message)]), "[]"]


def test_warning_as_error_fails_the_import_and_a_later_import_succeeds(tmp_path):
    result = run_python(IMPORT_WITH_ERRORS,
                        env=preload(tmp_path, OTHER + ".2"))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == (f"raised compile time Python version {BUILT} of module "
                        f"'cantorel.manage' does not match runtime version {OTHER}")
    assert "cantorel/manage" not in lines[1]  # the version check adds no entry of its own
    assert lines[2:] == ["False", "VoiceVD"]



@pytest.mark.parametrize("patch", ["0", "99"])
def test_the_version_built_for_warns_nothing(tmp_path, patch):
    """Any release of the version built for (the patch level is not compared)."""
    result = run_python(IMPORT_WITH_WARNINGS,
                        env=preload(tmp_path, f"{BUILT}.{patch} (main, fake)"))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["[]", "[]"]
