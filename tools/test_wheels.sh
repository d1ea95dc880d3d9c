#!/usr/bin/env bash
# Install the wheelhouse that tools/build_wheels.sh made the way a machine
# without a compiler would, and check each install with tools/wheel_check.py.
#
#   bash tools/test_wheels.sh              # every supported version, then the sdist
#   bash tools/test_wheels.sh 3.10 3.13    # just these (the sdist on the last)
#
# For each version, in a fresh venv: cantorel's other dependencies from PyPI as
# binary wheels only, then `pip install --no-index --find-links WHEELHOUSE
# cantorel` (PyAudio and simpleaudio-patched come from the wheelhouse too),
# with CC and CXX pointing at `false` so that anything compiled fails; then
# the checks and `pip check`. Last, the sdist is built into a fresh venv and
# checked the same way.
#
# Environment:
#   CANTOREL_WHEELHOUSE=DIR   the wheelhouse (default wheelhouse/)
#   CANTOREL_SDIST=0          leave out the sdist
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
CANTOREL_TOOL=test_wheels
source tools/pythons.sh

say() { echo "test_wheels: $*"; }
fail() { echo "test_wheels: FAILED: $*" >&2; exit 1; }

HOUSE="$(cd "${CANTOREL_WHEELHOUSE:-wheelhouse}" 2>/dev/null && pwd)" ||
    fail "no wheelhouse at ${CANTOREL_WHEELHOUSE:-wheelhouse}; run bash tools/build_wheels.sh"
WORK=build/wheels
# Refuse an unsupported or missing version before building anything.
declare -A base
cantorel_resolve_versions "$@"

PIP=(-m pip --disable-pip-version-check)

# The requirements cantorel's wheel declares that the wheelhouse does not hold.
from_pypi() {
    "$1" - "$2" "$HOUSE" <<'EOF'
import re, sys, zipfile
from pathlib import Path
wheel, house = sys.argv[1], Path(sys.argv[2])
with zipfile.ZipFile(wheel) as z:
    meta = next(n for n in z.namelist() if n.endswith(".dist-info/METADATA"))
    lines = z.read(meta).decode().splitlines()
held = {re.sub(r"[-_.]+", "-", w.name.split("-")[0]).lower() for w in house.glob("*.whl")}
for line in lines:
    if line.startswith("Requires-Dist:") and "extra ==" not in line:
        req = line.split(":", 1)[1].strip()
        name = re.sub(r"[-_.]+", "-", re.match(r"[A-Za-z0-9._-]+", req).group()).lower()
        if name not in held:
            print(req.split(";")[0].replace(" ", ""))
EOF
}

fresh_venv() {  # interpreter, dir
    rm -rf "$2"
    "$1" -m venv "$2"
    "$2/bin/python" "${PIP[@]}" install -q --upgrade pip </dev/null
}

check_venv() {  # venv, what
    local venv="$1"
    "$venv/bin/python" "${PIP[@]}" check || fail "pip check in $2"
    "$venv/bin/python" tools/wheel_check.py </dev/null || fail "the checks in $2"
}

for v in "${versions[@]}"; do
    start=$SECONDS
    tag="cp${v/./}"
    wheel="$(ls "$HOUSE"/cantorel-*-"$tag"-"$tag"-manylinux*.whl 2>/dev/null | sort -V | tail -n 1)"
    [ -n "$wheel" ] || fail "no repaired cantorel wheel for CPython $v in $HOUSE"
    venv="$WORK/test-$v"
    say "CPython $v: $(basename "$wheel") into a fresh $venv"
    fresh_venv "${base[$v]}" "$venv"
    mapfile -t deps < <(from_pypi "$venv/bin/python" "$wheel")
    say "  from PyPI, binary only: ${deps[*]}"
    "$venv/bin/python" "${PIP[@]}" install -q --only-binary=:all: "${deps[@]}" </dev/null ||
        fail "installing ${deps[*]} as wheels on CPython $v"
    # A compiler that always fails: whatever pip would build breaks the install.
    CC=false CXX=false "$venv/bin/python" "${PIP[@]}" install -q --no-index --only-binary=:all: \
        --find-links "$HOUSE" cantorel </dev/null || fail "installing cantorel from $HOUSE on CPython $v"
    check_venv "$venv" "CPython $v"
    say "  CPython $v passed in $((SECONDS - start)) s"
done

if [ "${CANTOREL_SDIST:-1}" != "0" ]; then
    start=$SECONDS
    v="${versions[-1]}"
    sdist="$(ls "$HOUSE"/sdist/cantorel-*.tar.gz 2>/dev/null | sort -V | tail -n 1)"
    [ -n "$sdist" ] || fail "no sdist in $HOUSE/sdist"
    venv="$WORK/test-sdist-$v"
    say "sdist $(basename "$sdist") built and installed on CPython $v"
    fresh_venv "${base[$v]}" "$venv"
    # Only cantorel compiles; the rest as wheels (PyAudio and simpleaudio-patched
    # from the wheelhouse).
    "$venv/bin/python" "${PIP[@]}" install -q --find-links "$HOUSE" \
        --only-binary=numpy,onnxruntime,pyaudio,simpleaudio-patched "$sdist" </dev/null ||
        fail "installing $sdist on CPython $v"
    check_venv "$venv" "the sdist on CPython $v"
    say "  sdist passed in $((SECONDS - start)) s"
fi
say "all passed"
