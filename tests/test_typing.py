"""Type information: the stub and the py.typed marker ship with the package, the
stub matches the module's real signatures and attributes, a host program written
the documented way passes mypy --strict, and misuse of the API is flagged."""
import ast
import os
import re
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import cantorel
import cantorel_dev
from conftest import ROOT

pytest.importorskip("mypy", reason="mypy comes with the test extra: pip install '.[test]'")

PKG = Path(cantorel.__file__).parent  # not resolved: pyroot links to the sources
STUB = PKG / "manage.pyi"

MISUSE = '''
from cantorel.manage import AudioPlayer, Input, Output, RecVoice_T, VoiceVD


class Transcriber:  # has no generate()
    def transcribe(self, audio: bytes) -> str:
        return ""


class TextVoice:  # its ort_predict returns text, not audio
    def ort_predict(self, text: str) -> str:
        return text


class Ears:
    def generate(self, audio: object) -> str:
        return ""


class Voice:
    def ort_predict(self, text: str) -> bytes:
        return b""


Input(Transcriber())  # E
Output(TextVoice())  # E
ears = Input(Ears(), sld=0.5)  # E
heard: str = ears._recognize()  # E
Output._splitsen("Hello. World", "0")  # E
AudioPlayer.play_audio("not audio")  # E
AudioPlayer.play_audio(bytearray(2))  # E
probability: int = VoiceVD()(b"\\0\\0")  # E
RecVoice_T(max_time=None)  # E
Output(Voice())._add_stream(42)  # E
Output(Voice())._add_stream(["Hello", " world."])
Output(Voice())._wait_all(True)  # E
'''


def stub_tree():
    return ast.parse(STUB.read_text())


def test_package_ships_the_stub_and_the_marker():
    assert STUB.is_file(), f"no manage.pyi beside {cantorel.__file__}"
    assert (PKG / "py.typed").is_file(), f"no py.typed beside {cantorel.__file__}"


def test_stub_signatures_match_the_module(manage):
    """Every class and method of the module is in the stub with the same
    parameters and defaults (RecVoice_T.__init__ forwards *args, **kwargs; the
    stub spells out what it accepts, which is RecVoice.__init__'s)."""
    classes = {n.name: n for n in stub_tree().body if isinstance(n, ast.ClassDef)}
    runtime = {name: obj for name, obj in vars(manage).items()
               if isinstance(obj, type) and obj.__module__ == "cantorel.manage"}
    assert set(runtime) <= set(classes)
    for cname, cls in runtime.items():
        stubbed = {n.name: n for n in classes[cname].body if isinstance(n, ast.FunctionDef)}
        methods = [k for k, v in vars(cls).items() if callable(v) or isinstance(v, staticmethod)]
        assert set(methods) == set(stubbed), cname
        for mname in methods:
            raw = vars(cls)[mname]
            func = raw.__func__ if isinstance(raw, staticmethod) else raw
            code = func.__code__
            if (cname, mname) == ("RecVoice_T", "__init__"):
                func, code = manage.RecVoice.__init__, manage.RecVoice.__init__.__code__
            node = stubbed[mname]
            is_static = any(getattr(d, "id", None) == "staticmethod" for d in node.decorator_list)
            assert is_static == isinstance(raw, staticmethod), (cname, mname)
            args = node.args.posonlyargs + node.args.args
            assert [a.arg for a in args] == list(code.co_varnames[:code.co_argcount]), (cname, mname)
            defaults = tuple(ast.literal_eval(d) for d in node.args.defaults) or None
            assert defaults == func.__defaults__, (cname, mname)


def stub_attributes(cname):
    classes = {n.name: n for n in stub_tree().body if isinstance(n, ast.ClassDef)}
    names = set()
    while True:
        node = classes[cname]
        names |= {a.target.id for a in node.body if isinstance(a, ast.AnnAssign)}
        if not node.bases:
            return names
        cname = node.bases[0].id


def test_stub_attributes_match_a_detector(manage, vad_env):
    assert set(vars(manage.VoiceVD())) == stub_attributes("VoiceVD")


class _Recognizer:
    def generate(self, audio):
        return "hello"


class _Voice:
    def ort_predict(self, text):
        return b"\0\0" * 480


def test_stub_attributes_match_listening_and_speaking_objects(manage, vad_env, virtual_audio):
    inp = manage.Input(_Recognizer())
    out = manage.Output(_Voice())
    assert set(vars(inp)) == stub_attributes("Input")
    assert set(vars(inp.recorder)) == stub_attributes("RecVoice_T")
    assert set(vars(out)) == stub_attributes("Output")
    assert set(vars(manage.AudioPlayer())) == stub_attributes("AudioPlayer") == set()


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    """One mypy --strict run over the example host program and the misuse snippet."""
    tmp = tmp_path_factory.mktemp("mypy")
    misuse = tmp / "misuse.py"
    misuse.write_text(textwrap.dedent(MISUSE))
    # The demo's adapters (cantorel_dev.hosts) by their source: a type checker
    # reads a package without a py.typed marker only from its search path.
    paths = [str(Path(cantorel_dev.__file__).parent.parent)]
    site = {Path(p).resolve() for p in (sysconfig.get_paths()["purelib"], sysconfig.get_paths()["platlib"])}
    if PKG.parent.resolve() not in site:
        # A development tree put first on sys.path; an installed package is found
        # the way a host's type checker finds it, through its py.typed marker.
        paths.append(str(PKG.parent))
    env = {**os.environ, "MYPYPATH": os.pathsep.join(paths)}
    # The example's adapters are checked by their own authors; here only the
    # host's use of the module counts (their types are still followed).
    r = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--follow-imports=silent",
                        "--allow-untyped-calls", "--cache-dir", str(tmp / "cache"),
                        "--python-executable", sys.executable,
                        str(ROOT / "examples" / "minimal_host.py"), str(misuse)],
                       capture_output=True, text=True, env=env, timeout=300, cwd=str(tmp))
    errors: dict[str, set[int]] = {}
    for m in re.finditer(r"^(.*?):(\d+): error: ", r.stdout, re.M):
        errors.setdefault(Path(m.group(1)).name, set()).add(int(m.group(2)))
    return r, errors, misuse


def test_minimal_host_passes_mypy(mypy_report):
    r, errors, _ = mypy_report
    assert "minimal_host.py" not in errors, r.stdout
    assert "error: Cannot find" not in r.stdout and "import-not-found" not in r.stdout, r.stdout


def test_misuse_is_flagged_line_by_line(mypy_report):
    r, errors, misuse = mypy_report
    marked = {i for i, line in enumerate(misuse.read_text().splitlines(), 1) if line.endswith("# E")}
    assert errors.get("misuse.py", set()) == marked, r.stdout


def test_the_host_kit_passes_mypy_strict(tmp_path):
    r = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path),
                        "--python-executable", sys.executable, "-p", "cantorel.duplex", "-p", "cantorel.speculate",
                        "-p", "cantorel.echo"],
                       capture_output=True, text=True, timeout=300, cwd=str(tmp_path))
    assert r.returncode == 0 and "Success" in r.stdout, r.stdout + r.stderr
