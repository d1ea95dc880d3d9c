"""Put the speech-probability model where cantorel.manage.VoiceVD looks for it.

The model is the 16 kHz ONNX network shipped inside the PyPI package
``silero-vad``.  Its wheel is fetched with ``pip download`` (never installed),
the file is read out of it, checked with onnxruntime and written to
``~/.cache/sonvale/voicevd.pt``.  A copy stays under ``build/models/`` so a
second run needs no download.  If the destination already holds a model it is
only checked.

    python tools/fetch_model.py [--dest PATH] [--source FILE.onnx] [--force]
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
from pathlib import Path

from cantorel_dev import wheel_files  # shared with tools/fetch_voices.py
from cantorel_dev.speech_frames import FRAME, RATE as SAMPLE_RATE

WHEEL_REQUIREMENT = "silero-vad>=6,<7"  # checked with 6.2.3
MEMBER = "silero_vad/data/silero_vad.onnx"
DEFAULT_DEST = "~/.cache/sonvale/voicevd.pt"
ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "models" / "silero_vad.onnx"

CONTEXT = 64
STATE_SHAPE = (2, 1, 128)


class ModelError(Exception):
    """The file is not the model VoiceVD expects."""


def say(msg: str) -> None:
    print(f"fetch_model: {msg}", flush=True)


def _session(model: bytes):
    import onnxruntime as ort

    opts = ort.SessionOptions()
    opts.intra_op_num_threads = 1
    opts.inter_op_num_threads = 1
    opts.log_severity_level = 3
    try:
        return ort.InferenceSession(model, opts, providers=["CPUExecutionProvider"])
    except Exception as exc:  # onnxruntime raises its own exception types
        raise ModelError(f"onnxruntime cannot load it: {exc}") from exc


def _check_input(inputs, name, elem, rank, fixed):
    if name not in inputs:
        raise ModelError(f"no input named {name!r} (has {sorted(inputs)})")
    node = inputs[name]
    if node.type != elem:
        raise ModelError(f"input {name!r} is {node.type}, expected {elem}")
    shape = node.shape
    if len(shape) != rank:
        raise ModelError(f"input {name!r} has shape {shape}, expected rank {rank}")
    for axis, size in fixed.items():
        if shape[axis] != size:
            raise ModelError(f"input {name!r} has shape {shape}, expected {size} on axis {axis}")


def verify(model: bytes) -> float:
    """Check the model's interface and run it on silence.

    Returns the probability it gives for one frame of silence; raises
    ModelError if anything differs from what VoiceVD feeds and reads.
    """
    import numpy as np

    sess = _session(model)
    inputs = {i.name: i for i in sess.get_inputs()}
    if len(inputs) != 3:
        raise ModelError(f"expected 3 inputs, found {sorted(inputs)}")
    _check_input(inputs, "input", "tensor(float)", 2, {})
    _check_input(inputs, "state", "tensor(float)", 3, {0: 2, 2: 128})
    _check_input(inputs, "sr", "tensor(int64)", 0, {})
    outputs = sess.get_outputs()
    if len(outputs) != 2:
        raise ModelError(f"expected 2 outputs, found {[o.name for o in outputs]}")

    feed = {
        "input": np.zeros((1, CONTEXT + FRAME), dtype=np.float32),
        "state": np.zeros(STATE_SHAPE, dtype=np.float32),
        "sr": np.array(SAMPLE_RATE, dtype=np.int64),
    }

    def run():
        try:
            return sess.run(None, feed)
        except Exception as exc:
            raise ModelError(f"running it on silence failed: {exc}") from exc

    prob, state = run()
    if prob.dtype != np.float32 or prob.size != 1 or prob.shape[0] != 1:
        raise ModelError(f"probability output is {prob.dtype} {prob.shape}, expected float32 (1, 1)")
    if state.dtype != np.float32 or state.shape != STATE_SHAPE:
        raise ModelError(f"state output is {state.dtype} {state.shape}, expected float32 {STATE_SHAPE}")
    # The returned state must be accepted as the next call's state.
    feed["state"] = state
    prob2, _ = run()
    for p in (float(prob.flat[0]), float(prob2.flat[0])):
        if not 0.0 <= p <= 1.0:
            raise ModelError(f"probability {p} outside [0, 1]")
    return float(prob2.flat[0])


def download(workdir: Path) -> bytes:
    """Fetch the silero-vad wheel with pip and read the model out of it."""
    try:
        wheel = wheel_files.pip_download(WHEEL_REQUIREMENT, workdir, say)
        return wheel_files.read_member(wheel, MEMBER)
    except wheel_files.FetchError as exc:
        raise ModelError(str(exc)) from None


write_atomically = wheel_files.write_atomically


def obtain(source: Path | None, cache: Path) -> bytes:
    """The model's bytes: from --source, else the build cache, else PyPI."""
    if source is not None:
        say(f"reading {source}")
        return source.read_bytes()
    if cache.is_file():
        data = cache.read_bytes()
        try:
            verify(data)
            say(f"using cached {cache}")
            return data
        except ModelError as exc:
            say(f"cached {cache} is unusable ({exc}); fetching again")
    with tempfile.TemporaryDirectory(prefix="cantorel-model-") as tmp:
        data = download(Path(tmp))
    verify(data)
    write_atomically(cache, data)
    say(f"kept a copy at {cache}")
    return data


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--dest", default=DEFAULT_DEST, help=f"where to put the model (default {DEFAULT_DEST})")
    ap.add_argument("--source", type=Path, help="copy this local .onnx file instead of downloading")
    ap.add_argument("--cache", type=Path, default=CACHE, help=f"download cache (default {CACHE})")
    ap.add_argument("--force", action="store_true", help="replace the destination even if it holds a model")
    args = ap.parse_args(argv)

    dest = Path(os.path.expanduser(args.dest))
    try:
        if dest.exists() and not args.force:
            p = verify(dest.read_bytes())
            say(f"{dest} is in place and checks out (silence -> {p:.4f})")
            return 0
        data = obtain(args.source, args.cache)
        p = verify(data)
        write_atomically(dest, data)
        say(f"installed {dest} ({len(data)} bytes, silence -> {p:.4f})")
        return 0
    except ModelError as exc:
        print(f"fetch_model: error: {exc}", file=sys.stderr)
        if dest.exists() and not args.force:
            print(f"fetch_model: {dest} is not usable; replace it with --force", file=sys.stderr)
        return 1
    except (OSError, subprocess.CalledProcessError) as exc:
        print(f"fetch_model: error: {exc}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
