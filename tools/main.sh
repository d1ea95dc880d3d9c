#!/usr/bin/env bash
# Set everything up (idempotent), then run the speech-detection demo on a
# recording. Extra arguments go to the demo, e.g. a WAV path or --probs.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
bash tools/setup.sh --no-test
exec .venv/bin/python tools/vad_demo.py "$@"
