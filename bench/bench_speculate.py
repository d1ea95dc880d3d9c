"""Benchmark: end of speech -> first sound, speculative (cantorel.speculate) and one step after another.

The exchange of examples/voice_loop.py on the virtual devices, run again and
again in one process: a recording from /usr/share/sounds/alsa ("front
center", the loop's utterance, and the seven other voices there) is played
into the microphone with the loop's silence around it, `Input._recognize()`
captures it with its defaults, Whisper tiny.en recognises it and Piper speaks
the stand-in language model's reply (3-4 characters every 50 ms), cut to its
first two sentences: the first sound does not depend on the rest. Two
Input/Output pairs on the same devices, one with a Speculator (`--pause`,
default 0.2 s) and one without, take turns on each recording, the order
alternating.

Reported, for each path: end of speech -> first sound, median and 90th
percentile (targets for the speculative path: 1.3 s and 1.7 s; the capture's
own rule, 1 s of silence, is in both), and the median of each stage; for the
speculative path also how often speech resumed after the pause (a
speculation dropped), the process CPU time spent on dropped speculations per
utterance, and whether the text used is the words Whisper makes of the whole
capture (recognised again after the run).

Not a test (pytest does not collect it). After `bash tools/setup.sh`:
    .venv/bin/python bench/bench_speculate.py [--runs N] [--pause S] [--llm-url URL [--llm-model NAME]]
"""
from __future__ import annotations

import argparse
import os
import sys

import numpy as np

from cantorel_dev.speech_frames import ALSA, RATE

VOICES = ["Front_Center", "Front_Left", "Front_Right", "Rear_Center", "Rear_Left", "Rear_Right",
          "Side_Left", "Side_Right"]
TARGETS = (1.3, 1.7)   # median and 90th percentile, seconds


def two_sentences(text: str) -> str:
    ends = [i for i, c in enumerate(text) if c in ".!?" and (i + 1 == len(text) or text[i + 1] == " ")]
    return text[:ends[1] + 1] if len(ends) > 1 else text


def p90(values: list[float]) -> float:
    return float(np.percentile(values, 90)) if values else float("nan")


def median(values: list) -> float:
    values = [v for v in values if v is not None]
    return float(np.median(values)) if values else float("nan")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=16, help="utterances for each path (default 16)")
    ap.add_argument("--pause", type=float, default=0.2, help="the Speculator's pause (default 0.2 s)")
    ap.add_argument("--llm-url", help="a real OpenAI-compatible chat-completions endpoint instead of the stand-in")
    ap.add_argument("--llm-model", help="the model to ask the --llm-url server for")
    args = ap.parse_args()

    from cantorel_dev import virtual_audio as va
    from cantorel_dev.loop import adapters, devices, interrupts, language, speculation, utterance
    from cantorel_dev.loop.exchange import Exchange, listen, speak
    from cantorel import manage

    class ShortStandIn(language.StandInModel):
        def reply(self, heard):
            return self.stream(two_sentences(language.compose_reply(heard)))

    lm = (language.ChatModel(args.llm_url, args.llm_model) if args.llm_url else ShortStandIn())
    model = lm.description if args.llm_url else "the stand-in language model, first two sentences"
    clips = {name: utterance.load_utterance(ALSA / f"{name}.wav")[0] for name in VOICES}
    print(f"load average at the start: {os.getloadavg()[0]:.1f}", flush=True)
    rows: dict[str, list[dict]] = {"speculative": [], "sequential": []}
    same = checked = 0
    with va.VirtualAudio() as audio:
        audio.apply_to_current_process()
        whisper, piper = adapters.load_hosts("whisper", "piper")
        whisper.generate(clips["Front_Center"])   # first runs load and allocate: not what is measured
        piper.ort_predict("Hello there.")
        pairs = {}
        for path in rows:
            asr, tts = adapters.TimedRecognizer(whisper), adapters.TimedTTS(piper)
            with devices.device_probe_noise_hidden():
                inp = manage.Input(asr)
            inp.recorder.stream.stop_stream()  # opened running: it would hand the other pair's utterance on
            out = manage.Output(tts)
            spec = speculation.Speculation(inp, out, asr, tts, lm, pause=args.pause) \
                if path == "speculative" else None
            pairs[path] = (inp, out, asr, tts, spec)
        for run in range(args.runs):
            name = VOICES[run % len(VOICES)]
            played = utterance.with_silence(clips[name])
            order = list(rows) if run % 2 == 0 else list(reversed(rows))
            line = []
            for path in order:
                inp, out, asr, tts, spec = pairs[path]
                ex, players = Exchange(), []
                recorder = audio.record_speaker()
                with interrupts.Deadline(len(played) / RATE + 30, "listening"):
                    listen(inp, asr, ex, before=lambda: players.append(
                        audio.play_into_microphone(played, RATE, wait=False)))
                with interrupts.Deadline(120, "speaking"):
                    speak(out, tts, lm, ex, recorder, spec=spec)
                for p in players:
                    p.wait(30)
                row = {"heard": ex.heard, "sound": ex.timings()["end of speech -> first sound"],
                       "capture": ex.capture_end, "recognised": ex.recognised, "chunk": ex.first_chunk,
                       "audio": ex.first_audio, "end": ex.speech_end, "recognition": ex.recognition}
                turn = spec.turn if spec is not None else None
                if turn is not None:
                    row.update(used=turn.used, why=turn.why_not, resumed=turn.resumed, dropped=turn.dropped,
                               wasted=turn.wasted_cpu, paused=turn.paused_at, spec_text=turn.recognised_at,
                               piece=turn.piece_ready_at, first_piece=turn.first_piece_at,
                               recognition=turn.recognition)
                    if turn.used and ex.captured is not None:
                        whole = whisper.generate(ex.captured)
                        checked += 1
                        same += whole == (ex.heard or "")
                        row["whole"] = whole
                rows[path].append(row)
                shown = "n/a" if row["sound"] is None else f"{row['sound']:.2f} s"
                at = {k: "n/a" if row.get(k) is None or row["end"] is None else f"{row[k] - row['end']:.2f}"
                      for k in ("spec_text", "piece", "capture", "recognised", "audio")}
                extra = (f" (capture ended {at['capture']}, text {at['recognised']}, first piece {at['audio']})"
                         if turn is None else
                         f" (text {at['spec_text']}, first piece {at['piece']}, capture ended {at['capture']}; "
                         f"speculation {'used' if turn.used else 'not used: ' + turn.why_not}"
                         f"{f', {turn.resumed} resumed' if turn.resumed else ''})")
                line.append(f"{path} {ex.heard!r} {shown}{extra}")
            print(f"run {run + 1:2} {name:12} " + "; ".join(line), flush=True)
        for inp, *_ in pairs.values():
            inp.recorder.stream.close()  # while the server runs: after it, ALSA's pulse plugin can hang
    lm.close()

    def stage(path: str, key: str) -> float:
        return median([r[key] - r["end"] for r in rows[path] if r.get(key) is not None and r["end"] is not None])

    print(f"\nend of speech -> first sound over {args.runs} utterances each ({model}; Whisper tiny.en, "
          f"Piper en_US-joe-medium; load average now {os.getloadavg()[0]:.1f}):")
    print(f"  {'':12} {'median':>7} {'p90':>7}   stages (medians from the end of speech)")
    ok = True
    for path, rs in rows.items():
        sounds = [r["sound"] for r in rs if r["sound"] is not None]
        m, q = median(sounds), p90(sounds)
        if path == "speculative":
            ok = m <= TARGETS[0] and q <= TARGETS[1]
            stages = (f"pause {stage(path, 'paused'):.2f}, text {stage(path, 'spec_text'):.2f}, first piece's "
                      f"text {stage(path, 'first_piece'):.2f}, its audio {stage(path, 'piece'):.2f}, "
                      f"capture ended {stage(path, 'capture'):.2f}")
        else:
            stages = (f"capture ended {stage(path, 'capture'):.2f}, text {stage(path, 'recognised'):.2f}, "
                      f"first chunk {stage(path, 'chunk'):.2f}, first piece {stage(path, 'audio'):.2f}")
        recognition = median([r["recognition"] for r in rs])
        print(f"  {path:12} {m:6.2f}s {q:6.2f}s   {stages}; recognition itself {recognition:.2f}")
    spec_rows = rows["speculative"]
    used = sum(1 for r in spec_rows if r.get("used"))
    resumed = [r.get("resumed", 0) for r in spec_rows]
    wasted = [r.get("wasted", 0.0) for r in spec_rows]
    print(f"speculation used for {used} of {len(spec_rows)} utterances; not used: "
          + (", ".join(sorted({r['why'] for r in spec_rows if not r.get('used')})) or "-"))
    print(f"speech resumed after the {args.pause:g} s pause in {sum(1 for n in resumed if n)} of {len(resumed)} "
          f"utterances ({sum(resumed)} speculations dropped)")
    print(f"process CPU spent on dropped speculations: {np.mean(wasted):.2f} s per utterance on average "
          f"(median {np.median(wasted):.2f} s, largest {max(wasted):.2f} s)")
    print(f"speculative text the same words as Whisper on the whole capture: {same} of {checked}")
    late = [r for r in spec_rows if r.get("piece") is not None and r["capture"] is not None and r["piece"] > r["capture"]]
    ready = [r for r in spec_rows if r.get("piece") is not None and r["sound"] is not None and r["end"] is not None]
    out_lat = [r["end"] + r["sound"] - max(r["capture"], r["piece"]) for r in ready]
    print(f"first piece synthesised ahead in {len(ready)} of {len(spec_rows)} utterances (in the others its text "
          f"was not complete when the capture ended), ready after the capture ended in {len(late)}; from the "
          f"later of the two to the first sound: median {median(out_lat):.2f} s")
    for resumed_or_not in (True, False):
        sel = [r["sound"] for r in spec_rows if bool(r.get("resumed")) == resumed_or_not and r["sound"] is not None]
        if sel:
            print(f"  utterances {'with' if resumed_or_not else 'without'} a dropped speculation: "
                  f"first sound median {median(sel):.2f} s over {len(sel)}")
    for r in spec_rows:
        if "whole" in r and r["whole"] != (r["heard"] or ""):
            print(f"  differs: speculative {r['heard']!r}, whole {r['whole']!r}")
    print(f"{'PASS' if ok else 'MISS'}: speculative median <= {TARGETS[0]} s and p90 <= {TARGETS[1]} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
