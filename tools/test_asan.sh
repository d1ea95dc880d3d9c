#!/usr/bin/env bash
# Build the module with AddressSanitizer and UndefinedBehaviorSanitizer into a
# separate venv (.venv-asan, so .venv keeps the normal build) and run the tests
# there. Extra arguments go to pytest.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
CANTOREL_VENV=.venv-asan CANTOREL_SANITIZE=ON bash tools/setup.sh
# The interpreter itself is not instrumented, so the sanitizer runtimes have
# to be loaded before anything else; leak checking would report the
# interpreter's own never-freed allocations.
# The preload reaches every program the tests start. Those that are not
# Python get it removed by a wrapper on PATH: espeak-ng, for one, deadlocks at
# start-up with libasan preloaded (in glibc's bindtextdomain lock, while it
# sets up PulseAudio output), and the virtual sound devices' PulseAudio
# server and its tools are not what is under test.
shims="$(mktemp -d)"
for tool in espeak-ng sox setpriv pulseaudio pacat paplay parecord parec pactl; do
    real="$(command -v "$tool" || true)"
    [ -n "$real" ] || continue
    printf '#!/bin/sh\nunset LD_PRELOAD\nexec "%s" "$@"\n' "$real" >"$shims/$tool"
    chmod +x "$shims/$tool"
done
# Sanitizer reports go to files in $reports, one per process that reports,
# so that a report from any program the tests start (fresh interpreters,
# native test programs) fails the run even where the test expected that
# process to fail; ASan's and UBSan's first report ends the process.
reports="$(mktemp -d)"
trap 'rm -rf "$shims" "$reports"' EXIT
# Left out: the runs that end an interpreter while daemon threads are inside
# the module. The interpreter ends such a thread with pthread_exit from its
# own, uninstrumented code; the forced unwind leaves the shadow of the
# module's unwound frames poisoned, and a call at the thread's exit that
# lands there is reported as an overflow in the sigaltstack interceptor
# (now and then: 3 of 140 interpreters, use_sigaltstack=0 or not). The
# normal build runs them. So do whole programs (the voice loop), whose
# stderr the sanitizer runtimes and onnxruntime's warnings under them fill.
# What the sanitizers check of that exit, the forced unwind through the
# entry point's handlers, test_runtime_native.py checks in one program.
skip=(--ignore=tests/test_exit_safety.py --ignore=tests/test_speaking_exit.py
      --ignore=tests/test_listening_exit.py --ignore=tests/test_voice_loop.py
      --ignore=tests/test_voice_loop_llm.py
      --deselect=tests/test_speaking_real.py::test_exit_while_simpleaudio_plays
      --deselect=tests/test_listening_real.py::test_interpreter_exit_while_capturing_from_the_microphone
      --deselect=tests/test_speculate.py::test_exit_in_the_middle_of_a_speculation)
rc=0
start=$SECONDS
PATH="$shims:$PATH" \
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:log_path=$reports/asan" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
    .venv-asan/bin/python -m pytest -q tests "${skip[@]}" "$@" </dev/null || rc=$?
echo "test_asan: $((SECONDS - start)) s"
if compgen -G "$reports/*" >/dev/null; then
    for report in "$reports"/*; do
        echo "test_asan: sanitizer report $(basename "$report"):" >&2
        cat "$report" >&2
    done
    exit 1
fi
if [ "$rc" -eq 5 ]; then
    echo "test_asan: pytest ran no tests" >&2
    exit 1
fi
exit "$rc"
