"""Benchmark: instructions per call of the module's methods, counted by
callgrind, which the machine's load does not move: one iteration of a loop
that makes the call (the loop's own few instructions are the same for every
build, so differences between builds are the calls').

Run it with each venv's interpreter to compare builds, e.g. the default build
and the one on the public C API alone:
    .venv/bin/python bench/bench_instructions.py
    .venv-public-3.10/bin/python bench/bench_instructions.py
Needs valgrind (Debian's package). Not a test (pytest does not collect it).
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

from bench_call_overhead import public_api_build

CASES = {
    "VoiceVD.reset(obj)": "VoiceVD.reset(obj)",
    "VoiceVD.reset(self=obj)": "VoiceVD.reset(self=obj)",
    "det.reset()": "det.reset()",
    "failure inside the body": "try:\n        broken.reset()\n    except AttributeError:\n        pass",
}

SCRIPT = """
import gc, types
gc.disable()  # a collection would land in one count and not the other
from cantorel.manage import VoiceVD
cheap = lambda: types.SimpleNamespace(fill=int)
obj = types.SimpleNamespace(state=cheap(), ctx=cheap())
det = VoiceVD.__new__(VoiceVD)
det.state, det.ctx = cheap(), cheap()
broken = VoiceVD.__new__(VoiceVD)
broken.state = None
for _ in range({calls}):
    {statement}
"""


def instructions(statement, calls):
    """Instructions of a process that runs the statement `calls` times."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        proc = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
             sys.executable, "-c",
             SCRIPT.format(calls=calls, statement=statement)],
            capture_output=True, text=True, env={**os.environ, "PYTHONHASHSEED": "0"})
        match = re.search(r"Collected : (\d+)", proc.stderr)
        if proc.returncode != 0 or not match:
            sys.exit(f"bench: callgrind failed:\n{proc.stderr[-2000:]}")
        return int(match.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=2000)
    args = parser.parse_args()
    if shutil.which("valgrind") is None:
        sys.exit("bench: valgrind is needed (apt-get install valgrind)")
    from cantorel import manage
    build = "public C API" if public_api_build(manage) else "default"
    print(f"instructions per call, {args.calls} calls (Python {sys.version.split()[0]}, {build} build)")
    for label, statement in CASES.items():
        # The difference between two counts leaves out the first call's
        # one-off work (caches filled, code objects made).
        per_call = (instructions(statement, 2 * args.calls) - instructions(statement, args.calls)) / args.calls
        print(f"  {label:<26}{per_call:8.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
