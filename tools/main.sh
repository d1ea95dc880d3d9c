#!/usr/bin/env bash
# Set everything up (idempotent), then run the voice loop: one spoken exchange
# on virtual sound devices (no hardware needed). Extra arguments go to
# examples/voice_loop.py, e.g. --wav my.wav, --plot vad.png, --real-devices;
# --help lists them. The speech-detection demo is tools/vad_demo.py.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
CANTOREL_TOOL=main
source tools/pythons.sh  # CANTOREL_PYTHON picks the version, as for setup.sh
cantorel_resolve_python
bash tools/setup.sh --no-test
echo "main: running the voice loop (examples/voice_loop.py $*)"
exec "$CANTOREL_PY_VENV/bin/python" examples/voice_loop.py "$@"
