"""What the user reads after an exchange, and the speaker recording saved as WAV."""
from __future__ import annotations

import statistics
from pathlib import Path
from typing import Optional

import numpy as np

from cantorel_dev.speech_frames import wav_bytes

from .exchange import SLD, Exchange
from .progress import say


def _line(label: str, value: Optional[float], note: str = "") -> None:
    shown = "n/a" if value is None else f"{value:.2f} s"
    say(f"  {label + ':':39} {shown:>8}{('   ' + note) if note else ''}")


def report(ex: Exchange, virtual: bool, turn=None) -> None:
    """`turn`: what cantorel.speculate did for this utterance, when it speculated."""
    say()
    say(f"heard:    {ex.heard if ex.heard else '(nothing recognised)'}")
    say(f"replied:  {ex.reply}")
    say(f"spoken:   {ex.synthesised:.2f} s of synthesised speech in {ex.pieces} pieces")
    t = ex.timings()
    waited, recognition = t["waiting for the end of the utterance"], t["recognition"]
    say("timings:")
    _line("end of speech -> recognised text", t["end of speech -> recognised text"],
          "" if recognition is None or waited is None else
          f"({waited:.2f} s until {SLD} s of silence ended the capture, {recognition:.2f} s recognition)")
    _line("first reply chunk -> first sound", t["first reply chunk -> first sound"],
          "" if virtual else "(until the first piece was ready to play)")
    _line("first reply chunk -> last reply chunk", t["first reply chunk -> last reply chunk"],
          "(the stream's own length)")
    _line("end of speech -> first sound", t["end of speech -> first sound"])
    if ex.gaps:
        _line("silence between pieces, median", statistics.median(ex.gaps),
              f"(largest {max(ex.gaps):.2f} s; heard, with the voice's own quiet edges: "
              f"median {statistics.median(ex.heard_gaps):.2f} s, largest {max(ex.heard_gaps):.2f} s)")
    _line("total", t["total"], "(start of listening -> end of the reply's last sound)")
    stages(ex, turn, virtual)


def stages(ex: Exchange, turn, virtual: bool) -> None:
    """Each stage of the exchange from the end of speech; with speculation
    (cantorel.speculate's Turn), the stages of the speculation it used."""
    if ex.speech_end is None:
        return
    sound = ex.first_sound if virtual else None
    speculative = turn is not None and turn.used
    say(f"stages, from the end of speech ({'speculative' if speculative else 'one after another'}):")
    rows = [("capture ended", ex.capture_end, f"({SLD} s of silence)")]
    if speculative:
        rows = [("pause noticed, speculation began", turn.paused_at, ""),
                ("text recognised", turn.recognised_at,
                 "" if turn.recognition is None else
                 f"({turn.recognition:.2f} s of recognition on the audio up to the pause)"),
                ("first reply chunk, held", turn.first_chunk_at, ""),
                ("first piece's text complete", turn.first_piece_at, ""),
                ("first piece synthesised ahead", turn.piece_ready_at, ""),
                ] + rows + [("reply handed to Output", turn.committed_at, "")]
    else:
        rows += [("text recognised", ex.recognised,
                  "" if ex.recognition is None else f"({ex.recognition:.2f} s of recognition)"),
                 ("first reply chunk", ex.first_chunk, ""),
                 ("first piece synthesised", ex.first_audio, "")]
    rows.append(("first sound" if sound is not None else "first piece ready to play",
                 sound if sound is not None else ex.first_audio, ""))
    for label, at, note in rows:
        _line("  " + label, None if at is None else at - ex.speech_end, note)
    if turn is None:
        return
    dropped = (f"{turn.dropped} dropped ({turn.resumed} as speech resumed after the pause), "
               f"{turn.wasted_cpu:.2f} s of CPU spent on them") if turn.dropped else "none dropped"
    how = "used" if turn.used else f"not used ({turn.why_not}): the whole utterance was recognised"
    say(f"speculation: {how}; {turn.speculations} started, {dropped}")


def save_wav(path: Path, samples: np.ndarray, rate: int) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(wav_bytes(samples, rate))
