#!/usr/bin/env bash
# Set up everything the project needs on a Debian 12 machine, from scratch or
# again: system packages, a venv (CPython 3.10 from pyenv unless
# CANTOREL_PYTHON asks for another), the package itself, the development
# package (dev/) and the speech-probability model. Safe to run as often as
# you like; a second run only rebuilds what changed.
#
#   bash tools/setup.sh            # package with its test and demo extras
#   bash tools/setup.sh --no-test  # package with the demo extras only
#
# Environment:
#   CANTOREL_SETUP_TEST=0   same as --no-test
#   CANTOREL_PYTHON=3.12    CPython to use: 3.10 (default), 3.11, 3.12 or 3.13,
#                           a pyenv version such as 3.12.1, or an interpreter's path
#   CANTOREL_VENV=DIR       venv to use (default .venv for 3.10, .venv-3.X otherwise)
#   CANTOREL_SANITIZE=ON    build the module with ASan+UBSan (see tools/test_asan.sh)
#   CANTOREL_PUBLIC_API=ON  build the module on the documented C API alone
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

WITH_TEST="${CANTOREL_SETUP_TEST:-1}"
for arg in "$@"; do
    case "$arg" in
        --no-test) WITH_TEST=0 ;;
        --test) WITH_TEST=1 ;;
        -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
        *) echo "setup: unknown option '$arg'" >&2; exit 2 ;;
    esac
done

say() { echo "setup: $*"; }
die() { echo "setup: error: $*" >&2; exit 1; }

# Which interpreter, first: one outside the supported range stops the set-up
# before anything is installed or built.
source "$ROOT/tools/pythons.sh"
cantorel_resolve_python
VENV="$CANTOREL_PY_VENV"

# ---------------------------------------------------------------- system
# What each package is for:
#   portaudio19-dev  headers and library PyAudio compiles against
#   libasound2-dev   ALSA headers simpleaudio compiles against
#   alsa-utils       aplay/arecord; its recordings in /usr/share/sounds/alsa are test data
#   espeak-ng, sox   synthesised test speech, and measuring/converting audio
#   pocketsphinx-testdata  its recordings of read speech, with transcripts, interrupt
#                    replies in bench/bench_barge_in.py --speech read
APT_PACKAGES=(build-essential g++ portaudio19-dev libasound2-dev alsa-utils espeak-ng sox pocketsphinx-testdata)
# Virtual sound devices (cantorel_dev.virtual_audio starts a private server with a
# null-sink microphone and speaker; tests and the demo start it themselves):
#   pulseaudio          the sound server holding the virtual devices
#   pulseaudio-utils    pacat/paplay/pactl: feed the microphone, record the speaker, probe
#   libasound2-plugins  ALSA's pulse plugin, so PortAudio and simpleaudio reach the server
SOUND_DEVICE_PACKAGES=(pulseaudio pulseaudio-utils libasound2-plugins)

is_installed() {
    [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

missing=()
for p in "${APT_PACKAGES[@]}" "${SOUND_DEVICE_PACKAGES[@]}"; do
    is_installed "$p" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
    say "installing Debian packages: ${missing[*]}"
    SUDO=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || die "need root (or sudo) to install: ${missing[*]}"
        SUDO=(sudo)
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${SUDO[@]}" apt-get update -q
    "${SUDO[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
    for p in "${missing[@]}"; do
        is_installed "$p" || die "Debian package $p did not install"
    done
else
    say "Debian packages present"
fi

# ---------------------------------------------------------------- python
venv_ok() {
    [ -x "$VENV/bin/python" ] &&
        [ "$("$VENV/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$CANTOREL_PY_MINOR" ] &&
        "$VENV/bin/python" -m pip --version >/dev/null 2>&1
}

if venv_ok; then
    say "using $VENV ($("$VENV/bin/python" -c 'import platform; print(platform.python_version())'))"
else
    say "creating $VENV with $CANTOREL_PY_BASE"
    rm -rf "$VENV"
    "$CANTOREL_PY_BASE" -m venv "$VENV"
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
fi
case "$VENV" in
    /*) PY="$VENV/bin/python" ;;
    *) PY="$ROOT/$VENV/bin/python" ;;
esac

# ---------------------------------------------------------------- package
# The demo extra (host-side recogniser and synthesiser) always; test on top.
target=".[demo]"
[ "$WITH_TEST" = "1" ] && target=".[test,demo]"
# simpleaudio-patched replaced simpleaudio; both install the `simpleaudio`
# module, so an old venv holding the original must lose both before the
# install puts the fork's files back.
if "$PY" -m pip show -q simpleaudio >/dev/null 2>&1; then
    say "replacing simpleaudio with simpleaudio-patched"
    old=(simpleaudio)
    "$PY" -m pip show -q simpleaudio-patched >/dev/null 2>&1 && old+=(simpleaudio-patched)
    "$PY" -m pip uninstall -q -y --disable-pip-version-check "${old[@]}" </dev/null
fi
build_dir="build/{wheel_tag}"
[ "${CANTOREL_SANITIZE:-OFF}" = "ON" ] && build_dir="build/asan-{wheel_tag}"
[ "${CANTOREL_PUBLIC_API:-OFF}" = "ON" ] && build_dir="build/public-{wheel_tag}"
say "installing $target into $VENV (build dir ${build_dir})"
# pip runs quietly; say why a first run takes a while.
if ! compgen -G "build/*cp${CANTOREL_PY_MINOR/./}-*/CMakeCache.txt" >/dev/null; then
    say "first install: downloading the Python packages and compiling the module takes a few minutes"
fi
"$PY" -m pip install -q --disable-pip-version-check \
    "-Cbuild-dir=${build_dir}" "$target" </dev/null
# What the examples, tools, benchmarks and tests share (dev/cantorel_dev):
# editable, so the venv imports it from the checkout; never in the wheels.
if [ "$(cd / && "$PY" -c 'import cantorel_dev; print(cantorel_dev.__file__)' 2>/dev/null)" = \
     "$ROOT/dev/cantorel_dev/__init__.py" ]; then
    say "development package cantorel_dev in place (editable, from dev/)"
else
    say "installing the development package cantorel_dev (editable, from dev/)"
    "$PY" -m pip install -q --disable-pip-version-check -e "$ROOT/dev" </dev/null
fi

# ---------------------------------------------------------------- model
"$PY" tools/fetch_model.py
"$PY" tools/fetch_voices.py  # Whisper model and Piper voice for the demo's adapters (134 MB)
say "done"
