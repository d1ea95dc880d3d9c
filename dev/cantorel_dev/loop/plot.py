"""The drawing of one capture: its waveform, each frame's speech probability,
their mean over the capture's window with its thresholds, and where the capture
decided that speech started, last sounded and ended."""
from __future__ import annotations

from pathlib import Path

import numpy as np

from cantorel_dev.speech_frames import ENTER, FRAME, RATE, STAY

from .errors import LoopError
from .exchange import SLD, Exchange


def plot(ex: Exchange, path: Path) -> None:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise LoopError("--plot needs matplotlib: pip install '.[demo]' (or bash tools/setup.sh)") from None
    if ex.captured is None or ex.detection is None:
        raise LoopError("nothing was captured, so there is nothing to plot")
    x, det = ex.captured, ex.detection
    t = np.arange(len(x)) / RATE
    tf = (np.arange(len(det.probs)) + 1) * FRAME / RATE  # a frame's score is known at its end
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(11, 7), sharex=True,
                                      gridspec_kw={"height_ratios": [1, 1.3]})
    top.plot(t, x / 32768.0, color="#3b6ea8", linewidth=0.6)
    top.set_ylabel("captured samples\n(full scale = 1)")
    top.set_ylim(-1.05, 1.05)
    heard = f'"{ex.heard}"' if ex.heard else "(nothing recognised)"
    top.set_title(f"What the capture heard: {len(x) / RATE:.2f} s at 16 kHz; recognised {heard}", loc="left")
    bottom.step(tf, det.probs, where="pre", color="#999999", linewidth=0.9, label="speech probability per 32 ms frame")
    bottom.plot(tf, det.smoothed, color="#d9480f", linewidth=2.0, label="average of the last 10 frames")
    bottom.axhline(ENTER, color="#2b8a3e", linestyle="--", linewidth=1.2, label=f"{ENTER}: speech starts above")
    bottom.axhline(STAY, color="#862e9c", linestyle="--", linewidth=1.2, label=f"{STAY}: speech continues above")
    bottom.set_ylim(-0.02, 1.02)
    bottom.set_ylabel("probability")
    bottom.set_xlabel("seconds since the capture began")
    marks = [(det.seconds(det.start, end=True), "speech start", "#2b8a3e"),
             (det.seconds(det.last_speech, end=True), "last speech frame", "#862e9c"),
             (len(x) / RATE, "capture end", "#495057")]
    for sec, label, colour in marks:
        if sec is None:
            continue
        last = "capture" in label
        for ax in (top, bottom):
            ax.axvline(sec, color=colour, linewidth=1.3, linestyle=":" if last else "-")
        top.annotate(f"{label}\n{sec:.2f} s", (sec, 0.97), xycoords=("data", "axes fraction"),
                     xytext=(-4 if last else 4, 0), textcoords="offset points", va="top",
                     ha="right" if last else "left", fontsize=8.5, color=colour)
    if det.last_speech is not None:
        for ax in (top, bottom):
            ax.axvspan(det.seconds(det.last_speech, end=True), len(x) / RATE, color="#adb5bd", alpha=0.18,
                       label=f"waiting for {SLD} s of silence" if ax is bottom else None)
    bottom.legend(loc="upper center", bbox_to_anchor=(0.5, -0.2), ncol=3, fontsize=8.5, frameon=False)
    for ax in (top, bottom):
        ax.grid(True, alpha=0.3)
        ax.set_xlim(0, max(t[-1] if len(t) else 0, tf[-1] if len(tf) else 0))
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
