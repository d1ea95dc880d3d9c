"""Benchmark: instructions per call of the module's methods, counted by
callgrind, which the machine's load does not move: everything run from the
moment the interpreter calls the module's function until it returns (the
callee's own calls out included), per call.

The installed module is stripped, so callgrind cannot find its entry point
there; the benchmark runs the same build's unstripped copy from build/
(the build directory set-up used for this venv's version and path). Run it
with each venv's interpreter to compare builds, e.g. the default build and
the one on the public C API alone:
    .venv/bin/python bench/bench_instructions.py
    .venv-public-3.10/bin/python bench/bench_instructions.py
With --cython, the same calls on the Cython build of the module's twin
(inside its method wrappers) instead. Needs valgrind (Debian's package).
Not a test (pytest does not collect it).
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

from bench_call_overhead import public_api_build

ROOT = Path(__file__).resolve().parent.parent

CASES = {
    "VoiceVD.reset(obj)": "VoiceVD.reset(obj)",
    "VoiceVD.reset(self=obj)": "VoiceVD.reset(self=obj)",
    "det.reset()": "det.reset()",
    "failure inside the body": "try:\n        broken.reset()\n    except AttributeError:\n        pass",
    # A frame with a session whose run is a C-level callable returning a
    # fixed pair: the frame's own work and its module-global look-ups.
    "frame, fake session": "fake(frame)",
}

SCRIPT = """
import gc, types
gc.disable()
{load}
cheap = lambda: types.SimpleNamespace(fill=int)
obj = types.SimpleNamespace(state=cheap(), ctx=cheap())
det = VoiceVD.__new__(VoiceVD)
det.state, det.ctx = cheap(), cheap()
broken = VoiceVD.__new__(VoiceVD)
broken.state = None
import numpy as np
frame = bytes(1024)
pair = (np.array([[0.5]], np.float32), np.zeros((2, 1, 128), np.float32))
fake = VoiceVD.__new__(VoiceVD)
fake.sess = type("Session", (), {{"run": staticmethod({{None: pair}}.get)}})()
fake.state, fake.ctx = pair[1], np.zeros((1, 64), np.float32)
fake.sr = np.array(16000, dtype=np.int64)
for _ in range({calls}):
    {statement}
"""


def unstripped_build(public):
    """The unstripped module built for this interpreter on the given path."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    tag = f"cp{sys.version_info[0]}{sys.version_info[1]}-"
    for candidate in sorted(ROOT.glob(f"build/*{tag}*/manage{suffix}")):
        name = candidate.parent.name
        if name.startswith("asan-") or name.startswith("public-") != public:
            continue
        return candidate
    sys.exit(f"bench: no build of this version's {'public' if public else 'default'} path under "
             f"build/ (run tools/setup.sh for it)")


LOAD_MODULE = "from cantorel.manage import VoiceVD"
LOAD_TWIN = """import importlib.util, sys
spec = importlib.util.spec_from_file_location({name!r}, {path!r})
twin = importlib.util.module_from_spec(spec)
sys.modules[{name!r}] = twin
spec.loader.exec_module(twin)
VoiceVD = twin.VoiceVD"""


def instructions(package_dir, statement, calls, load=LOAD_MODULE, entry="*function_vectorcall*"):
    """Instructions inside `entry` (the module's entry point) over `calls` runs."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        proc = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
             f"--toggle-collect={entry}", sys.executable, "-c",
             SCRIPT.format(calls=calls, statement=statement, load=load)],
            capture_output=True, text=True,
            env={**os.environ, "PYTHONHASHSEED": "0", "PYTHONPATH": str(package_dir)})
        match = re.search(r"Collected : (\d+)", proc.stderr)
        if proc.returncode != 0 or not match:
            sys.exit(f"bench: callgrind failed:\n{proc.stderr[-2000:]}")
        return int(match.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--only", help="the cases whose label contains this text")
    parser.add_argument("--cython", action="store_true", help="count the Cython build of the twin")
    args = parser.parse_args()
    if shutil.which("valgrind") is None:
        sys.exit("bench: valgrind is needed (apt-get install valgrind)")
    from cantorel import manage
    public = public_api_build(manage)
    if args.cython:
        from cython_twin import manage_twin
        twin = manage_twin()
        load = LOAD_TWIN.format(name=twin.__name__, path=twin.__file__)
        entry, what = "*__pyx_pw_*VoiceVD*", "the Cython build of the twin"
    else:
        module = unstripped_build(public)
        load, entry = LOAD_MODULE, "*function_vectorcall*"
        what = f"{'public C API' if public else 'default'} build, {module.relative_to(ROOT)}"
    print(f"instructions per call, {args.calls} calls (Python {sys.version.split()[0]}, {what})")
    with tempfile.TemporaryDirectory() as tmp:
        package = Path(tmp) / "cantorel"
        package.mkdir()
        shutil.copy(ROOT / "src" / "cantorel" / "__init__.py", package)
        if not args.cython:
            shutil.copy(module, package)
        for label, statement in CASES.items():
            if args.only and args.only not in label:
                continue
            # The difference between two counts leaves out the first calls'
            # one-off work (caches filled, code objects made).
            per_call = (instructions(tmp, statement, 2 * args.calls, load, entry)
                        - instructions(tmp, statement, args.calls, load, entry)) / args.calls
            print(f"  {label:<26}{per_call:8.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
