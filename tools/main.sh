#!/usr/bin/env bash
# Set everything up (idempotent), then run the voice loop: one spoken exchange
# on virtual sound devices (no hardware needed). Extra arguments go to
# examples/voice_loop.py, e.g. --wav my.wav, --plot vad.png, --real-devices;
# --help lists them. The speech-detection demo is tools/vad_demo.py.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
bash tools/setup.sh --no-test
echo "main: running the voice loop (examples/voice_loop.py $*)"
exec .venv/bin/python examples/voice_loop.py "$@"
