"""Benchmark: one spoken exchange on the virtual devices, and how early streaming speaks.

1. The exchange of examples/voice_loop.py, run several times in one process
   (one Input and one Output with their defaults; Whisper and Piper unless
   --asr/--tts say otherwise, each warmed up once first): end of speech ->
   recognised text, first reply chunk -> first sound, end of speech -> first
   sound, total, medians; and the silence between consecutive pieces at the
   speaker, as the pipeline added it and as a listener hears it (with the
   voice's own quiet edges), median and largest over all exchanges.
2. Time to first sound for a reply of five sentences that the stand-in
   language model streams 3-4 characters every 50 ms, measured on the speaker
   recording from the stream's first chunk:
     streaming   the chunks go straight into Output._add_stream(), which speaks
                 each piece as soon as it is complete
     whole       the same stream is read to its end first, then the whole
                 reply is synthesised as one piece by the same TTS and played
     after-end   the same stream is read to its end first, then handed to
                 _add_stream() in one go (the pipeline still cuts it into pieces)
   Rounds alternate the three; the target is that streaming speaks at least
   3 times as early as each of the other two (ratio of medians).

Not a test (pytest does not collect it). After `bash tools/setup.sh`:
    .venv/bin/python bench/bench_exchange.py [--exchanges N] [--rounds N] [--asr NAME] [--tts NAME]
"""
from __future__ import annotations

import argparse
import statistics
import sys
import time
from types import SimpleNamespace

TARGET = 3.0


def load_voice_loop():
    """The voice loop's parts under one name."""
    from cantorel_dev.loop import adapters, cli, detection, devices, exchange, language, utterance
    vl = SimpleNamespace()
    for part in (utterance, detection, adapters, language, exchange, devices, cli):
        vl.__dict__.update({k: v for k, v in vars(part).items() if not k.startswith("_")})
    return vl


def first_sound_after(vl, recorder, start: float) -> float | None:
    """Seconds from `start` to the first sound in what `recorder` got; stops it."""
    time.sleep(0.3)
    stopped = time.monotonic()
    samples, rate = recorder.stop()
    first = vl.first_voiced(samples, rate)
    return None if first is None else stopped - (len(samples) / rate - first) - start


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else float("nan")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--exchanges", type=int, default=5, help="full exchanges to time (default 5)")
    ap.add_argument("--rounds", type=int, default=3, help="rounds of the first-sound comparison (default 3)")
    ap.add_argument("--asr", default="whisper", help="the recogniser (default whisper; or pocketsphinx)")
    ap.add_argument("--tts", default="piper", help="the voice (default piper; or espeak)")
    args = ap.parse_args()

    vl = load_voice_loop()
    from cantorel_dev import virtual_audio as va
    manage = vl.import_module()
    vl.check_model()
    vl.check_models(args.asr, args.tts)

    samples, _ = vl.load_utterance(vl.DEFAULT_WAV)
    played = vl.with_silence(samples)
    with va.VirtualAudio() as audio:
        audio.apply_to_current_process()
        asr_host, tts_host = vl.load_hosts(args.asr, args.tts)
        asr_host.generate(samples)  # first runs load and allocate: not what is measured
        tts_host.ort_predict("Hello there.")
        asr, tts = vl.TimedRecognizer(asr_host), vl.TimedTTS(tts_host)
        with vl.device_probe_noise_hidden():
            inp = manage.Input(asr)
        out = manage.Output(tts)

        # ------------------------------------------------ 1. whole exchanges
        rows, gaps, heard_gaps = [], [], []
        for i in range(args.exchanges):
            ex = vl.Exchange()
            players = []
            vl.listen(inp, asr, ex, before=lambda: players.append(
                audio.play_into_microphone(played, vl.RATE, wait=False)))
            for p in players:
                p.wait(30)
            vl.speak(out, tts, vl.StandInModel(), ex, audio.record_speaker())
            rows.append(ex.timings())
            gaps += ex.gaps
            heard_gaps += ex.heard_gaps
            t = rows[-1]
            print(f"exchange {i + 1}: heard {ex.heard!r}; "
                  + ", ".join(f"{k} {v:.2f} s" for k, v in t.items() if v is not None), flush=True)

        # ------------------------------------------------ 2. first sound: streaming against waiting
        text = vl.compose_reply("front center")
        sentences = sum(text.count(c) for c in ".!?")
        results: dict[str, list] = {"streaming": [], "whole": [], "after-end": []}
        for r in range(args.rounds):
            order = list(results) if r % 2 == 0 else list(reversed(results))
            for kind in order:
                lm = vl.StandInModel()
                recorder = audio.record_speaker()
                if kind == "streaming":
                    out._add_stream(lm.stream(text))
                else:
                    full = "".join(lm.stream(text))
                    if kind == "whole":
                        out.output_queue.put((1, full))  # one piece: the TTS worker speaks it whole
                    else:
                        out._add_stream([full])
                out._wait_all()
                results[kind].append(first_sound_after(vl, recorder, lm.first_chunk))
            print(f"round {r + 1}: " + ", ".join(f"{k} {v[-1]:.2f} s" for k, v in results.items()),
                  flush=True)

    print()
    ears, voice = vl.labels(args.asr, args.tts)
    print(f"exchange with {ears} and {voice}, median of {args.exchanges} (utterance {vl.DEFAULT_WAV.name}, "
          f"reply of {len(vl.compose_reply('front center'))} characters):")
    for key in rows[0]:
        print(f"  {key + ':':40} {median([row[key] for row in rows]):6.2f} s")
    for label, values in (("added by the pipeline", gaps), ("heard", heard_gaps)):
        if values:
            print(f"  silence between pieces, {label + ':':22} median {median(values) * 1000:4.0f} ms, "
                  f"largest {max(values) * 1000:4.0f} ms ({len(values)} gaps)")
    print(f"\ntime to first sound, reply of {sentences} sentences ({len(text)} characters) streamed "
          f"{'-'.join(map(str, vl.CHUNK_SIZES))} characters every {vl.CHUNK_DELAY * 1000:.0f} ms, "
          f"median of {args.rounds}:")
    stream = median(results["streaming"])
    ok = True
    for kind, values in results.items():
        m = median(values)
        line = f"  {kind + ':':12} {m:6.2f} s"
        if kind != "streaming":
            ratio = m / stream
            ok &= ratio >= TARGET
            line += f"   {ratio:4.1f} x later than streaming"
        print(line)
    print(f"{'PASS' if ok else 'FAIL'}: streaming speaks at least {TARGET:.0f} x as early")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
