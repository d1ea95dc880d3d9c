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
# sets up PulseAudio output).
shims="$(mktemp -d)"
trap 'rm -rf "$shims"' EXIT
for tool in espeak-ng sox; do
    real="$(command -v "$tool" || true)"
    [ -n "$real" ] || continue
    printf '#!/bin/sh\nunset LD_PRELOAD\nexec "%s" "$@"\n' "$real" >"$shims/$tool"
    chmod +x "$shims/$tool"
done
rc=0
PATH="$shims:$PATH" \
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
ASAN_OPTIONS=detect_leaks=0 \
    .venv-asan/bin/python -m pytest -q tests "$@" </dev/null || rc=$?
if [ "$rc" -eq 5 ]; then
    echo "test_asan: pytest ran no tests" >&2
    exit 1
fi
exit "$rc"
