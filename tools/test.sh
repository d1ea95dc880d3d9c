#!/usr/bin/env bash
# Set everything up (idempotent), then run the test suite. Extra arguments go
# to pytest. A run that collects no test counts as a failure.
# CANTOREL_PYTHON=3.12 bash tools/test.sh runs it on that version, in its own
# venv (see tools/pythons.sh).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
CANTOREL_TOOL=test
source tools/pythons.sh
cantorel_resolve_python
bash tools/setup.sh
rc=0
"$CANTOREL_PY_VENV/bin/python" -m pytest -q tests "$@" </dev/null || rc=$?
if [ "$rc" -eq 5 ]; then
    echo "test: pytest ran no tests" >&2
    exit 1
fi
exit "$rc"
