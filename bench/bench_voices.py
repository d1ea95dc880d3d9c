"""Benchmark: the demo's Whisper ears and Piper voice (cantorel_dev.hosts).

- Piper: real-time factor per piece of a five-sentence reply (synthesis time
  over the length of the speech), and the process CPU per second of waiting
  after a piece, for the adapter's session (one thread, no spinning) against
  the session piper-tts opens itself (default options), in interleaved
  rounds; ratios adapter/default.
- Whisper: wall and CPU time to recognise a 1.5 s utterance
  (Front_Right.wav), medians.

Not a test (pytest does not collect it): run it with
    .venv/bin/python bench/bench_voices.py [--rounds N]
"""
import argparse
import statistics
import time
from pathlib import Path

import numpy as np

PIECES = ["Good morning, and welcome back.", " The weather today is cool and bright.",
          " I have read the report you sent me last night.",
          " We should meet again before the end of the week.",
          " Thank you for listening, and have a pleasant day."]
IDLE_S = 2.0


def piper_round(tts):
    """Real-time factors of the pieces, and CPU seconds per second while idle after them."""
    rtfs = []
    for text in PIECES:
        t = time.perf_counter()
        audio = tts.synthesize(text)
        rtfs.append((time.perf_counter() - t) / (len(audio) / tts.sample_rate))
    c = time.process_time()
    time.sleep(IDLE_S)
    return rtfs, (time.process_time() - c) / IDLE_S


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()

    from cantorel_dev.hosts.piper_tts import DEFAULT_VOICE, PiperTTS
    from cantorel_dev.hosts.whisper_asr import WhisperASR
    from piper import PiperVoice

    ours = PiperTTS()
    default = PiperTTS()
    default._voice = PiperVoice.load(Path(DEFAULT_VOICE).expanduser())  # piper-tts's own session
    results = {"adapter": ([], []), "default": ([], [])}
    for _ in range(args.rounds):
        for name, tts in (("adapter", ours), ("default", default)):
            rtfs, idle = piper_round(tts)
            results[name][0].append(rtfs)
            results[name][1].append(idle)
    print("Piper, real-time factor per piece (median over rounds):")
    for name, (rtfs, idle) in results.items():
        per_piece = np.median(np.array(rtfs), axis=0)
        print(f"  {name:8s} " + "  ".join(f"{x:.3f}" for x in per_piece)
              + f"   idle CPU {100 * statistics.median(idle):.2f}% of a core")
    ratio = [np.median(np.array(a) / np.array(b)) for a, b in zip(results["adapter"][0],
                                                                    results["default"][0])]
    print(f"  adapter/default time per piece: {statistics.median(ratio):.2f} (paired median)")

    from cantorel_dev.speech_frames import ALSA, wav_16k
    asr = WhisperASR()
    samples = wav_16k(ALSA / "Front_Right.wav")
    walls, cpus, text = [], [], ""
    for _ in range(max(5, args.rounds)):
        t, c = time.perf_counter(), time.process_time()
        text = asr.generate(samples)
        walls.append(time.perf_counter() - t)
        cpus.append(time.process_time() - c)
    print(f"Whisper, {len(samples) / 16000:.2f} s utterance -> {text!r}: "
          f"{statistics.median(walls):.3f} s (CPU {statistics.median(cpus):.3f} s), median of {len(walls)}")


if __name__ == "__main__":
    main()
