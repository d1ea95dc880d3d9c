#!/usr/bin/env bash
# Set everything up (idempotent), then run the test suite. Extra arguments go
# to pytest. A run that collects no test counts as a failure.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
bash tools/setup.sh
rc=0
.venv/bin/python -m pytest -q tests "$@" </dev/null || rc=$?
if [ "$rc" -eq 5 ]; then
    echo "test: pytest ran no tests" >&2
    exit 1
fi
exit "$rc"
