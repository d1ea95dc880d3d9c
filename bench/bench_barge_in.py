"""Benchmark: barge-in on the virtual devices, with the speaker's echo in the microphone.

Each setting runs in a process of its own (a private PulseAudio server with
the echo path, -10 dB and 40 ms; the echo canceller or not; the listener's
level floor or not), one Input and one Output with their defaults, Piper's
voice and the stand-in language model's replies of five sentences:

1. Interruptions: a recording is played into the microphone 1.5-3 s into a
   reply: with `--speech alsa` (the default) two words from
   /usr/share/sounds/alsa ("front left", "rear center", ...), with
   `--speech read` a phrase or sentence of read speech, 1-7 s, from Debian's
   pocketsphinx-testdata ("ten of clubs", "he was not an ill disposed young
   man", ...).
   Reaction time: from the interrupting speech's onset in the microphone
   signal (located in a recording of the microphone sink by cross-correlation,
   so the echo does not move it) to the speaker's last sound of the reply (in
   the speaker recording); targets: median <= 300 ms, worst <= 400 ms. Also
   when the listener reported the onset, and the word error of what Whisper
   made of the utterance (head included) against the recording's words
   (Whisper's numerals read as words), and against what Whisper makes of
   the recording alone (what barge-in lost).
   Where the reaction time goes: from the speech's first sound to the first
   frame of the run of speech frames that made the onset (the model's own
   onset, the frame it falls in, what the canceller did to it), to the end of
   the onset frame (the capture's rule), to the listener's report (the way
   through PulseAudio, the canceller and PortAudio), to the speaker's silence
   (the stop). And the head: where the recording's first sound lies in the
   audio handed to the recogniser, and how loud the utterance arrived there
   against the recording while the reply still played and after it stopped.
2. False interruptions: replies with nobody talking; each one its own echo
   stopped counts.

Not a test (pytest does not collect it). After `bash tools/setup.sh`:
    .venv/bin/python bench/bench_barge_in.py [--replies N] [--interruptions N] [--settings aec:300,aec:0,echo:0]
        [--speech alsa|read] [--save DIR]
A setting is `aec`, `kit` (the echo path and the kit's own canceller, cantorel.echo) or
`echo` (the echo path alone), a colon, the level floor,
and optionally a colon and the minimum speech (seconds; default 0.2) and a
colon and the capture's PortAudio period (samples; default 256, the voice
loop's prompt_input(); 512 is a plain Input's), and a colon and when the
reply pauses (seconds of speech, BargeIn's pause_after; default BargeIn's, 0.15;
`off`: no pause).
--save writes, per interruption, the audio handed to the recogniser and the
recording that was played into the microphone (16 kHz WAV files).
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
from pathlib import Path

import numpy as np

from cantorel_dev import ROOT
from cantorel_dev.speech_frames import ALSA, FRAME, RATE, READ_SPEECH, wav_bytes

ALSA_CLIPS = ["Front_Left", "Front_Right", "Rear_Center", "Rear_Left", "Rear_Right", "Side_Left", "Side_Right"]
READ_LISTS = ["cards/cards.transcription", "librivox/transcription"]  # "<s> words </s> (file stem)" a line
# The capture's limit, from its start: the read sentences run to 7 s, and
# Input's default (3 s) would cut them, as it cuts any turn that long.
MAX_TIME = 10
TOPICS = ["front center", "hello there", "the weather today", "a cup of tea"]


def interruptions(speech: str) -> list[tuple[str, Path, str]]:
    """The recordings that interrupt, in turn: (name, file, the words said)."""
    if speech == "alsa":
        return [(name, ALSA / f"{name}.wav", name.replace("_", " ").lower()) for name in ALSA_CLIPS]
    clips = []
    for listing in READ_LISTS:
        path = READ_SPEECH / listing
        if not path.is_file():
            sys.exit(f"no read speech at {path}: apt-get install pocketsphinx-testdata")
        for line in path.read_text().splitlines():
            words, _, stem = line.replace("<s>", "").partition("</s>")
            stem = stem.strip().strip("()")
            clips.append((stem, path.parent / f"{stem}.wav", " ".join(words.split())))
    return clips


WRITTEN = {"mr": "mister"}  # what the recogniser abbreviates
NUMBERS = ("zero one two three four five six seven eight nine ten eleven twelve thirteen fourteen "
           "fifteen sixteen seventeen eighteen nineteen twenty").split()


def spoken(text: str | None) -> list[str]:
    """The words, as said: the recogniser writes small numbers as numerals
    ("ten of clubs" -> "10 of clubs") and abbreviates titles ("mr")."""
    return [NUMBERS[int(w)] if w.isdigit() and int(w) < len(NUMBERS) else WRITTEN.get(w, w)
            for w in (text or "").replace("-", " ").split()]


def word_errors(said: str, heard: str | None) -> tuple[int, int]:
    """Word-level edit distance and the number of words said."""
    ref, hyp = spoken(said), spoken(heard)
    row = list(range(len(hyp) + 1))
    for i, r in enumerate(ref, 1):
        prev, row[0] = row[0], i
        for j, h in enumerate(hyp, 1):
            prev, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, prev + (r != h))
    return row[len(hyp)], len(ref)


def head_figures(clip: np.ndarray, heard: np.ndarray, reaction: float | None) -> dict:
    """Where the recording's first sound lies in the audio handed over, and
    the level there against the recording (dB, per 32 ms of its speech) while
    the reply still played and from 0.1 s after it stopped."""
    from cantorel_dev.loop.barge import LEVEL, locate
    from cantorel_dev.loop.detection import speech_onset
    at = locate(heard, clip)
    onset = round((speech_onset(clip, RATE, LEVEL) or 0.0) * RATE)
    out: dict = {"head_ms": (at + onset) / RATE * 1000, "during": [], "after": []}
    for k in range(onset, len(clip) - FRAME, FRAME):
        ref = clip[k:k + FRAME].astype(np.float64)
        got = heard[at + k:at + k + FRAME].astype(np.float64)
        if len(got) < FRAME or np.sqrt(np.mean(ref ** 2)) < 300:
            continue
        db = 10 * np.log10((np.mean(got ** 2) + 1e-9) / np.mean(ref ** 2))
        t = (k - onset) / RATE
        if reaction is not None and t + FRAME / RATE <= reaction:
            out["during"].append(db)
        elif reaction is not None and t >= reaction + 0.1:
            out["after"].append(db)
    return out


def save_wav(path: Path, samples: np.ndarray) -> None:
    path.write_bytes(wav_bytes(samples, RATE))


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


def child(setting: str, replies: int, count: int, speech: str, save: str | None) -> dict:
    from cantorel_dev import virtual_audio as va
    from cantorel_dev.loop import adapters, barge as barging, devices, language, utterance
    from cantorel_dev.loop.exchange import Exchange
    from cantorel import manage
    from cantorel.duplex import PAUSE_AFTER, PROMPT_BUFFER, BargeIn, StoppablePlayer, prompt_input

    room, level, *rest = setting.split(":")
    min_speech = float(rest[0]) if rest else 0.2
    period = int(rest[1]) if len(rest) > 1 else PROMPT_BUFFER
    pause_after = PAUSE_AFTER if len(rest) < 3 else None if rest[2] == "off" else float(rest[2])
    whisper, piper = adapters.load_hosts("whisper", "piper")
    asr, tts = adapters.TimedRecognizer(whisper), adapters.TimedTTS(CachedVoice(piper))
    lm = language.StandInModel()
    audio = va.VirtualAudio(echo=True, aec=room == "aec").start()
    reference = "speaker.monitor" if room == "kit" else None   # the kit's own canceller
    result: dict = {"setting": setting, "reactions": [], "detections": [], "errors": 0, "words": 0,
                    "lost": 0, "clean_words": 0,
                    "early": 0, "between": 0, "came_back": 0, "missed": 0, "false": 0, "replies": 0,
                    "heard": [],
                    "parts": [], "head_ms": [], "during": [], "after": [],
                    "longest_run": 0, "in_pause": 0, "pauses": 0}
    try:
        audio.apply_to_current_process()
        with devices.device_probe_noise_hidden():
            ears = prompt_input(Silent(), max_time=MAX_TIME, buffer=period, echo_reference=reference)
        mouth = manage.Output(tts)
        barge = BargeIn(ears, mouth, min_level=float(level), min_speech=min_speech, pause_after=pause_after,
                    player=StoppablePlayer(ears.recorder.pa))
        result["min_frames"] = barge.listener.min_frames
        for text in (language.compose_reply(t) for t in TOPICS):  # the voice's cache, piece by piece
            end, pieces = manage.Output._splitsen(text, 0)
            for piece in pieces + [text[end:].strip()]:
                if piece.strip():
                    tts.tts.ort_predict(piece)
        if reference is not None:   # the kit's canceller learns the room from the first reply it hears
            mouth._add_stream(lm.reply(TOPICS[0]))
            mouth._wait_all()
        ears.asr_model = asr
        resumed: list[float] = []   # when a pause ended and the reply went on
        on_resume = barge.listener.on_resume

        def resume_noted() -> None:
            resumed.append(time.monotonic())
            if on_resume is not None:
                on_resume()
        barge.listener.on_resume = resume_noted
        recordings = interruptions(speech)
        clips, clean = {}, {}
        for name, path, _ in recordings:  # and what the recogniser makes of each alone, with silence around it
            clips[name], _ = utterance.load_utterance(path)
            quiet = np.zeros(RATE // 2, np.int16)
            clean[name] = whisper.generate(np.concatenate([quiet, clips[name], quiet, quiet]))
        for k in range(count):
            name, _, said = recordings[k % len(recordings)]
            clip = clips[name]
            ex = Exchange(heard=TOPICS[k % len(TOPICS)])
            resumed.clear()
            got = barging.interrupted_exchange(audio, ears, mouth, asr, tts, lm, ex, barge, clip,
                                               into_reply=1.5 + 0.25 * (k % 7), answer=False)
            wrong, n = word_errors(said, got.heard)
            result["errors"] += wrong
            result["words"] += n
            result["heard"].append([said, got.heard])
            lost, n = word_errors(clean[name], got.heard)
            result["lost"] += lost
            result["clean_words"] += n
            listener = barge.listener
            if barge.interrupted and asr.calls:
                heard = np.asarray(asr.calls[-1][2], dtype=np.int16)
                figures = head_figures(clip, heard, got.reaction)
                for key in ("head_ms", "during", "after"):
                    result[key] += figures[key] if key != "head_ms" else [figures[key]]
                if got.reaction is not None and got.detected is not None and listener._head is not None:
                    # Frames counted from the capture's start; the audio handed over
                    # begins `preroll_frames` before the run's first frame.
                    begins = max(0, listener._head - listener.preroll_frames)
                    run = (listener._head - begins) * FRAME / RATE - figures["head_ms"] / 1000
                    rule = (listener._frame - begins) * FRAME / RATE - figures["head_ms"] / 1000
                    result["parts"].append([run, rule - run, got.detected - rule,
                                            got.reaction - got.detected])
                if save:
                    stem = Path(save) / f"{k + 1:02d}-{name}"
                    save_wav(stem.with_name(stem.name + "-handed-over.wav"), heard)
                    save_wav(stem.with_name(stem.name + "-recording.wav"), clip)
            if got.speech_at is not None and any(t > got.speech_at for t in resumed):
                result["came_back"] += 1   # a pause ended while the person was speaking
            if not barge.interrupted:
                result["missed"] += 1
            elif got.reaction is None and got.detected is not None and got.detected >= 0:
                result["between"] += 1     # the reply was silent between pieces when the person began
            elif got.reaction is None:
                result["early"] += 1       # stopped before the interruption began: by its own echo
            else:
                result["reactions"].append(got.reaction)
                result["longest_run"] = max(result["longest_run"], listener.longest_run)
                if got.detected is not None:
                    result["detections"].append(got.detected)
                    # The reply was between words when the person began, and stayed silent.
                    result["in_pause"] += got.reaction < got.detected
            print(f"  {setting} interruption {k + 1}: {said!r} heard {got.heard!r}, reaction "
                  f"{'n/a' if got.reaction is None else f'{got.reaction * 1000:.0f} ms'}", flush=True)
        ears.asr_model = Silent()
        pauses = barge.speaker.player.pauses
        for k in range(replies):
            ex = Exchange(heard=TOPICS[k % len(TOPICS)])
            mouth._add_stream(barge.reply(lm.reply(ex.heard)))
            mouth._wait_all()
            result["replies"] += 1
            result["pauses"] = barge.speaker.player.pauses - pauses
            if barge.interrupted:
                result["false"] += 1
            else:
                result["longest_run"] = max(result["longest_run"], barge.listener.longest_run)
            if not barge.listener.listening:
                ears._recognize()  # collects the capture that ended; the next reply listens afresh
            print(f"  {setting} reply {k + 1}: {'stopped by its own echo' if barge.interrupted else 'spoken to its end'}",
                  flush=True)
        if reference is not None:
            result["moved"] = ears.recorder.stream.canceller.moved
    finally:
        audio.stop()
    return result


def summary(r: dict) -> str:
    lines = [f"setting {r['setting']}:"]
    if r["reactions"]:
        ms = [x * 1000 for x in r["reactions"]]
        lines.append(f"  reaction time: median {statistics.median(ms):.0f} ms, worst {max(ms):.0f} ms, "
                     f"best {min(ms):.0f} ms over {len(ms)} interruptions (targets 300 / 400 ms); in "
                     f"{int(r['in_pause'])} the reply was already silent (paused, or between words) when the onset was reported")
    if r["detections"]:
        ms = [x * 1000 for x in r["detections"]]
        lines.append(f"  onset reported after the speech began: median {statistics.median(ms):.0f} ms")
    if r["parts"]:
        med = [statistics.median(x[i] * 1000 for x in r["parts"]) for i in range(4)]
        lines.append(f"  where it goes (medians): speech's first sound -> first frame of the run {med[0]:.0f} ms"
                     f" (worst {max(x[0] for x in r['parts']) * 1000:.0f}), the run to the onset frame's end "
                     f"{med[1]:.0f} ms, -> reported {med[2]:.0f} ms, -> speaker silent {med[3]:.0f} ms")
    if r["head_ms"]:
        lines.append(f"  head: the first sound lies {min(r['head_ms']):.0f}-{max(r['head_ms']):.0f} ms into the "
                     f"audio handed over (below 0: lost)")
    if r["during"] and r["after"]:
        def pct(x: list, q: int) -> float:
            return float(np.percentile(x, q))
        lines.append(f"  level against the recording, per 32 ms of speech: while the reply played median "
                     f"{statistics.median(r['during']):+.1f} dB, 10th percentile {pct(r['during'], 10):+.1f} dB "
                     f"({len(r['during'])} frames); after it stopped {statistics.median(r['after']):+.1f} / "
                     f"{pct(r['after'], 10):+.1f} dB")
    if r["words"]:
        lines.append(f"  word errors of the interruption: {r['errors']}/{r['words']} = "
                     f"{100 * r['errors'] / r['words']:.1f}% (target <= 10%); against the recogniser's "
                     f"reading of the recordings alone: {r['lost']}/{r['clean_words']} = "
                     f"{100 * r['lost'] / max(1, r['clean_words']):.1f}%")
    if r["early"] or r["missed"] or r["between"]:
        lines.append(f"  interruption runs stopped early by the echo: {r['early']}; not stopped: {r['missed']}; "
                     f"the reply silent between pieces when the person began, and stopped there: {r['between']}")
    if r["words"]:
        lines.append(f"  interruptions the paused reply came back over: {r['came_back']}")
    if r["replies"]:
        lines.append(f"  false interruptions: {r['false']} of {r['replies']} replies of five sentences; the "
                     f"longest run of speech frames that made no onset: {r['longest_run']} (an onset needs "
                     f"{r['min_frames']}); the reply paused and went on {r['pauses']} times")
    if "moved" in r:
        lines.append(f"  the kit's canceller found the echo at another delay {r['moved']} times "
                     "(the streams slipped apart)")
    return "\n".join(lines)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--replies", type=int, default=20)
    ap.add_argument("--interruptions", type=int, default=10)
    ap.add_argument("--settings", default="aec:300,aec:0,echo:0")
    ap.add_argument("--speech", choices=("alsa", "read"), default="alsa",
                    help="what interrupts: alsa's two-word recordings, or sentences of read speech")
    ap.add_argument("--save", help="a directory for the audio handed to the recogniser, per interruption")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        signal.signal(signal.SIGINT, signal.default_int_handler)  # started in the background, it may be ignored
        print(json.dumps(child(args.child, args.replies, args.interruptions, args.speech, args.save), default=float), flush=True)
        os._exit(0)  # the capture still listening in the background is not waited for
    interruptions(args.speech)  # the recordings are there before anything starts
    print("load average (1, 5, 15 min) at the start: %.1f %.1f %.1f" % os.getloadavg(), flush=True)
    results = []
    for setting in args.settings.split(","):
        room = setting.split(":")[0]
        n_int = args.interruptions if room in ("aec", "kit") else 0
        t0 = time.monotonic()
        save = []
        if args.save:
            folder = Path(args.save, setting.replace(":", "-")).resolve()
            folder.mkdir(parents=True, exist_ok=True)
            save = ["--save", str(folder)]
        proc = subprocess.run([sys.executable, __file__, "--child", setting, "--replies", str(args.replies),
                               "--interruptions", str(n_int), "--speech", args.speech, *save], stdout=subprocess.PIPE, text=True,
                              stderr=subprocess.DEVNULL, cwd=str(ROOT))
        out = proc.stdout.strip().splitlines()
        print("\n".join(line for line in out if line.startswith("  ")), flush=True)
        if proc.returncode != 0 or not out or not out[-1].startswith("{"):
            print(f"setting {setting}: the run failed ({proc.returncode})", flush=True)
            continue
        results.append(json.loads(out[-1]))
        print(summary(results[-1]) + f"  ({time.monotonic() - t0:.0f} s; load average now "
                                      "%.1f %.1f %.1f)" % os.getloadavg(), flush=True)
    print("\n" + "\n".join(summary(r) for r in results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
