"""Benchmark: barge-in on the virtual devices, with the speaker's echo in the microphone.

Each setting runs in a process of its own (a private PulseAudio server with
the echo path, -10 dB and 40 ms; the echo canceller or not; the listener's
level floor or not), one Input and one Output with their defaults, Piper's
voice and the stand-in language model's replies of five sentences:

1. Interruptions: a recording from /usr/share/sounds/alsa ("front left",
   "rear center", ...) is played into the microphone 1.5-3 s into a reply.
   Reaction time: from the interrupting speech's onset in the microphone
   signal (located in a recording of the microphone sink by cross-correlation,
   so the echo does not move it) to the speaker's last sound of the reply (in
   the speaker recording); targets: median <= 300 ms, worst <= 400 ms. Also
   when the listener reported the onset, and the word error of what Whisper
   made of the utterance (head included) against the recording's two words,
   and against what Whisper makes of the recording alone (what barge-in lost).
2. False interruptions: replies with nobody talking; each one its own echo
   stopped counts.

Not a test (pytest does not collect it). After `bash tools/setup.sh`:
    .venv/bin/python bench/bench_barge_in.py [--replies N] [--interruptions N] [--settings aec:300,aec:0,echo:0]
A setting is `aec` or `echo` (the echo path alone), a colon, and the level floor.
"""
from __future__ import annotations

import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import time

import numpy as np

from cantorel_dev import ROOT
from cantorel_dev.speech_frames import ALSA, RATE

CLIPS = ["Front_Left", "Front_Right", "Rear_Center", "Rear_Left", "Rear_Right", "Side_Left", "Side_Right"]
TOPICS = ["front center", "hello there", "the weather today", "a cup of tea"]


def word_errors(said: str, heard: str | None) -> tuple[int, int]:
    """Word-level edit distance and the number of words said."""
    ref, hyp = said.split(), (heard or "").replace("-", " ").split()
    row = list(range(len(hyp) + 1))
    for i, r in enumerate(ref, 1):
        prev, row[0] = row[0], i
        for j, h in enumerate(hyp, 1):
            prev, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, prev + (r != h))
    return row[len(hyp)], len(ref)


class CachedVoice:
    """The same pieces come back reply after reply: synthesise each once, so
    the benchmark's own load does not stand between the echo and the capture."""

    def __init__(self, tts):
        self.tts, self.cache = tts, {}

    def ort_predict(self, text: str) -> bytes:
        if text not in self.cache:
            self.cache[text] = self.tts.ort_predict(text)
        return self.cache[text]


class Silent:
    def generate(self, samples) -> str:
        return ""


def child(setting: str, replies: int, interruptions: int) -> dict:
    from cantorel_dev import virtual_audio as va
    from cantorel_dev.loop import adapters, barge as barging, devices, language, utterance
    from cantorel_dev.loop.exchange import Exchange
    from cantorel import manage
    from cantorel.duplex import BargeIn, StoppablePlayer

    room, level = setting.split(":")
    whisper, piper = adapters.load_hosts("whisper", "piper")
    asr, tts = adapters.TimedRecognizer(whisper), adapters.TimedTTS(CachedVoice(piper))
    lm = language.StandInModel()
    audio = va.VirtualAudio(echo=True, aec=room == "aec").start()
    result: dict = {"setting": setting, "reactions": [], "detections": [], "errors": 0, "words": 0,
                    "lost": 0, "clean_words": 0,
                    "early": 0, "missed": 0, "false": 0, "replies": 0, "heard": []}
    try:
        audio.apply_to_current_process()
        with devices.device_probe_noise_hidden():
            ears = manage.Input(Silent())
        mouth = manage.Output(tts)
        barge = BargeIn(ears, mouth, min_level=float(level), player=StoppablePlayer(ears.recorder.pa))
        for text in (language.compose_reply(t) for t in TOPICS):  # the voice's cache, piece by piece
            end, pieces = manage.Output._splitsen(text, 0)
            for piece in pieces + [text[end:].strip()]:
                if piece.strip():
                    tts.tts.ort_predict(piece)
        ears.asr_model = asr
        clips, clean = {}, {}
        for name in CLIPS:  # and what the recogniser makes of each recording alone, with silence around it
            clips[name], _ = utterance.load_utterance(ALSA / f"{name}.wav")
            quiet = np.zeros(RATE // 2, np.int16)
            clean[name] = whisper.generate(np.concatenate([quiet, clips[name], quiet, quiet]))
        for k in range(interruptions):
            name = CLIPS[k % len(CLIPS)]
            clip = clips[name]
            ex = Exchange(heard=TOPICS[k % len(TOPICS)])
            got = barging.interrupted_exchange(audio, ears, mouth, asr, tts, lm, ex, barge, clip,
                                               into_reply=1.5 + 0.25 * (k % 7), answer=False)
            said = name.replace("_", " ").lower()
            wrong, n = word_errors(said, got.heard)
            result["errors"] += wrong
            result["words"] += n
            result["heard"].append([said, got.heard])
            lost, n = word_errors(clean[name], got.heard)
            result["lost"] += lost
            result["clean_words"] += n
            if not barge.interrupted:
                result["missed"] += 1
            elif got.reaction is None:
                result["early"] += 1       # stopped before the interruption began: by its own echo
            else:
                result["reactions"].append(got.reaction)
                if got.detected is not None:
                    result["detections"].append(got.detected)
            print(f"  {setting} interruption {k + 1}: {said!r} heard {got.heard!r}, reaction "
                  f"{'n/a' if got.reaction is None else f'{got.reaction * 1000:.0f} ms'}", flush=True)
        ears.asr_model = Silent()
        for k in range(replies):
            ex = Exchange(heard=TOPICS[k % len(TOPICS)])
            mouth._add_stream(barge.reply(lm.reply(ex.heard)))
            mouth._wait_all()
            result["replies"] += 1
            if barge.interrupted:
                result["false"] += 1
            if not barge.listener.listening:
                ears._recognize()  # collects the capture that ended; the next reply listens afresh
            print(f"  {setting} reply {k + 1}: {'stopped by its own echo' if barge.interrupted else 'spoken to its end'}",
                  flush=True)
    finally:
        audio.stop()
    return result


def summary(r: dict) -> str:
    lines = [f"setting {r['setting']}:"]
    if r["reactions"]:
        ms = [x * 1000 for x in r["reactions"]]
        lines.append(f"  reaction time: median {statistics.median(ms):.0f} ms, worst {max(ms):.0f} ms, "
                     f"best {min(ms):.0f} ms over {len(ms)} interruptions (targets 300 / 400 ms)")
    if r["detections"]:
        ms = [x * 1000 for x in r["detections"]]
        lines.append(f"  onset reported after the speech began: median {statistics.median(ms):.0f} ms")
    if r["words"]:
        lines.append(f"  word errors of the interruption: {r['errors']}/{r['words']} = "
                     f"{100 * r['errors'] / r['words']:.1f}% (target <= 10%); against the recogniser's "
                     f"reading of the recordings alone: {r['lost']}/{r['clean_words']} = "
                     f"{100 * r['lost'] / max(1, r['clean_words']):.1f}%")
    if r["early"] or r["missed"]:
        lines.append(f"  interruption runs stopped early by the echo: {r['early']}; not stopped: {r['missed']}")
    if r["replies"]:
        lines.append(f"  false interruptions: {r['false']} of {r['replies']} replies of five sentences")
    return "\n".join(lines)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--replies", type=int, default=20)
    ap.add_argument("--interruptions", type=int, default=10)
    ap.add_argument("--settings", default="aec:300,aec:0,echo:0")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        signal.signal(signal.SIGINT, signal.default_int_handler)  # started in the background, it may be ignored
        print(json.dumps(child(args.child, args.replies, args.interruptions)), flush=True)
        os._exit(0)  # the capture still listening in the background is not waited for
    print(f"load average at the start: {os.getloadavg()[0]:.1f}", flush=True)
    results = []
    for setting in args.settings.split(","):
        room = setting.split(":")[0]
        n_int = args.interruptions if room == "aec" else 0
        t0 = time.monotonic()
        proc = subprocess.run([sys.executable, __file__, "--child", setting, "--replies", str(args.replies),
                               "--interruptions", str(n_int)], stdout=subprocess.PIPE, text=True,
                              stderr=subprocess.DEVNULL, cwd=str(ROOT))
        out = proc.stdout.strip().splitlines()
        print("\n".join(line for line in out if line.startswith("  ")), flush=True)
        if proc.returncode != 0 or not out or not out[-1].startswith("{"):
            print(f"setting {setting}: the run failed ({proc.returncode})", flush=True)
            continue
        results.append(json.loads(out[-1]))
        print(summary(results[-1]) + f"  ({time.monotonic() - t0:.0f} s; load average now "
                                      f"{os.getloadavg()[0]:.1f})", flush=True)
    print("\n" + "\n".join(summary(r) for r in results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
