"""Speculative recognition for a host of cantorel.manage: the reply is ready
when the capture ends.

A capture ends only after `sld` (1 s) of silence; a host then recognises,
asks its language model and synthesises, one step after another, while the
machine sat idle during that second. `Speculator` does the work during the
silence. It sees every frame the capture reads (it wraps the recorder's
`voicevd`, beneath any `cantorel.duplex.Listener`), and when `pause` seconds
of frames without speech follow the capture's speech it

1. recognises the audio captured so far, on a worker thread;
2. starts the host's language model on that text and holds its chunks;
3. synthesises the reply's first piece (up to the first separator `Output`
   cuts at) with the host's voice.

If speech resumes, all three are dropped (the model's stream is closed at its
next chunk; nothing of it is ever spoken) and the next pause starts again.
When the capture ends with no speech after the pause, the recogniser the
module calls returns the speculation's text at once; `reply(text)` hands
`_add_stream` the held chunks and then the rest as it streams in, and the
voice hands the TTS worker the first piece's audio made ahead.

    spec = Speculator(ears, mouth, language_model)    # language_model(text) -> chunks
    while True:
        text = ears._recognize()        # the speculation's text when it holds
        if text:
            mouth._add_stream(spec.reply(text))
            mouth._wait_all()

Everything goes through what the module lets a host change: the recorder's
`voicevd` (called with every frame) and `time_start` (set as each capture
begins), `Input.asr_model` and `Output.tts_model` (looked up at each use).
"""
from __future__ import annotations

import threading
import time
import weakref
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator, Optional, cast

import numpy as np
import numpy.typing as npt

from cantorel.duplex import ENTER, FRAME, FRAME_SECONDS, SPEECH, WINDOW, Listener, _Tap

if TYPE_CHECKING:
    from cantorel.manage import Input, Output, RecVoice_T, _RecognitionModel, _SpeechModel

Respond = Callable[[str], Iterable[str]]


@dataclass
class Turn:
    """What speculation did for one utterance. Times are `time.monotonic()`;
    the stages are those of the last speculation started."""

    speculations: int = 0                   # started: one per pause after speech
    resumed: int = 0                        # dropped because speech resumed after their pause
    dropped: int = 0                        # dropped for any reason (resumed included)
    wasted_cpu: float = 0.0                 # process CPU seconds while dropped ones worked
    used: bool = False                      # the recogniser handed the module a speculation's text
    why_not: str = ""                       # when not: why
    paused_at: Optional[float] = None       # the pause was noticed and the speculation began
    recognised_at: Optional[float] = None   # its text was ready
    recognition: Optional[float] = None     # seconds inside the recogniser
    first_chunk_at: Optional[float] = None  # the held reply's first chunk arrived
    first_piece_at: Optional[float] = None  # the text of its first piece was complete
    piece_ready_at: Optional[float] = None  # the first piece's audio was ready
    confirmed_at: Optional[float] = None    # the capture ended: the module called the recogniser
    committed_at: Optional[float] = None    # reply() handed the held reply over
    source: Optional[Iterable[str]] = None  # what the language model returned for the reply handed over

    _STAGES = ("recognised_at", "recognition", "first_chunk_at", "first_piece_at", "piece_ready_at")


class _Piece:
    """The first piece of a held reply, synthesised ahead."""

    def __init__(self, text: str):
        self.text = text
        self.audio: Optional[bytes] = None    # None once ready: the synthesis failed
        self.ready = threading.Event()


class _Speculation:
    def __init__(self, turn: Turn, audio: npt.NDArray[np.int16], trim: int, serial: int):
        self.turn, self.audio, self.trim, self.serial = turn, audio, trim, serial
        self.dropped = False
        self.done = threading.Event()         # recognition over, or skipped
        self.raw: Any = None                  # what the recogniser returned
        self.text: Optional[str] = None       # ... as _recognize() makes of it
        self.error: Optional[Exception] = None
        self.reply: Optional[_HeldReply] = None
        self.cpu = 0.0


class _HeldReply:
    """A language model's stream read on a thread of its own: its chunks are
    held until the turn is confirmed, then handed out in order."""

    def __init__(self, spec: Speculator, owner: _Speculation, source: Iterable[str]):
        # Weakly: this and its speculation refer to each other, and the
        # Speculator holds the Input.
        self.spec, self.owner, self.source = weakref.ref(spec), owner, source
        self.voice, self.mouth = spec.voice, spec.mouth
        self.cond = threading.Condition()
        self.chunks: list[str] = []
        self.finished = False
        self.cancelled = False
        self.committed = False
        self.error: Optional[Exception] = None
        self.piece: Optional[_Piece] = None
        self._text = ""
        self._looking = True                  # for the first piece's end
        self.thread = threading.Thread(target=self._read, name="Speculate-Reply", daemon=True)
        spec._threads.add(self.thread)
        self.thread.start()

    def _read(self) -> None:
        try:
            chunks = iter(self.source)
            try:
                for chunk in chunks:
                    with self.cond:
                        if self.cancelled:
                            break
                        first = not self.chunks
                        self.chunks.append(chunk)
                        self.cond.notify_all()
                    if first:
                        self._stage("first_chunk_at", time.monotonic())
                    if self._looking and isinstance(chunk, str) and self.mouth is not None:
                        self._text += chunk
                        pieces = self.mouth._splitsen(self._text, 0)[1]
                        if pieces:
                            self._looking = False
                            self._ahead(pieces[0])
            finally:
                close = getattr(chunks, "close", None)
                if close is not None:
                    close()  # a network stream closes its connection here
        except Exception as e:
            self.error = e
        finally:
            with self.cond:
                self.finished = True
                self.cond.notify_all()
        # No separator in the whole reply: the module speaks what is left, stripped.
        if self._looking and self.error is None and self._text.strip():
            self._ahead(self._text.strip())

    def _stage(self, name: str, value: float) -> None:
        spec = self.spec()
        if spec is not None:
            spec._stage(self.owner, name, value)

    def _ahead(self, text: str) -> None:
        voice = self.voice
        with self.cond:
            if self.committed or self.cancelled or voice is None or self.piece is not None:
                return
            piece = self.piece = _Piece(text)
        self._stage("first_piece_at", time.monotonic())
        thread = threading.Thread(target=self._synthesise, args=(voice, piece), name="Speculate-Voice",
                                  daemon=True)
        spec = self.spec()
        if spec is not None:
            spec._threads.add(thread)
        thread.start()

    def _synthesise(self, voice: AheadVoice, piece: _Piece) -> None:
        cpu = time.process_time()
        try:
            piece.audio = voice.model.ort_predict(piece.text)
        except Exception:
            piece.audio = None  # the TTS worker synthesises it again and reports its failure
        finally:
            piece.ready.set()
            spec = self.spec()
            if spec is not None:
                spec._spent(self.owner, time.process_time() - cpu)
            if piece.audio is not None:
                self._stage("piece_ready_at", time.monotonic())

    def cancel(self) -> None:
        with self.cond:
            self.cancelled = True
            self.cond.notify_all()

    def commit(self) -> Optional[_Piece]:
        with self.cond:
            self.committed, self._looking = True, False
            return self.piece

    def out(self) -> Iterator[str]:
        """The held chunks, then the rest as it arrives; the stream's error at its place."""
        i = 0
        try:
            while True:
                with self.cond:
                    while i >= len(self.chunks) and not self.finished:
                        self.cond.wait()
                    if i < len(self.chunks):
                        chunk = self.chunks[i]
                        i += 1
                    elif self.error is not None:
                        raise self.error
                    else:
                        return
                yield chunk
        finally:
            if not self.finished:
                self.cancel()  # the consumer stopped early (a barge-in closes it)


class AheadRecognizer:
    """Wraps the host's recogniser as `Input.asr_model`: at the end of a
    capture it returns the speculation's text when it holds for the utterance
    handed over, and otherwise recognises that utterance as the model would."""

    def __init__(self, model: _RecognitionModel):
        self.model = model
        self._speculator: Callable[[], Optional[Speculator]] = lambda: None

    @property
    def speculator(self) -> Optional[Speculator]:
        return self._speculator()

    def generate(self, audio: Any) -> Optional[str]:
        spec = self._speculator()
        if spec is not None:
            used, raw = spec._confirm(audio)
            if used:
                return cast(Optional[str], raw)
        return self.model.generate(audio)


class AheadVoice:
    """Wraps the host's voice as `Output.tts_model`: the first piece of a
    reply handed over by `Speculator.reply()` comes back as it was synthesised
    ahead (waiting for that synthesis if it is still running)."""

    def __init__(self, model: _SpeechModel):
        self.model = model
        self._lock = threading.Lock()
        self._ahead: Optional[_Piece] = None

    def _expect(self, piece: Optional[_Piece]) -> None:
        with self._lock:
            self._ahead = piece

    def ort_predict(self, text: str) -> bytes:
        with self._lock:
            piece = self._ahead
            if piece is None or piece.text != text:
                piece = None  # a piece of a reply stopped before: the TTS worker finishes it
            else:
                self._ahead = None  # used once
        if piece is not None:
            piece.ready.wait()
            if piece.audio is not None:
                return piece.audio
        return self.model.ort_predict(text)


class _Ear:
    """Stands in the recorder's detector, beneath any listener's wrapper: sees
    every frame the capture reads and the model's probability of it."""

    def __init__(self, detector: Callable[[bytes], float], spec: Speculator):
        self.detector, self.speculator = detector, weakref.ref(spec)

    def __call__(self, pcm_bytes: bytes) -> float:
        p = self.detector(pcm_bytes)
        spec = self.speculator()
        if spec is not None:
            spec._heard(pcm_bytes, p)
        return p

    def __getattr__(self, name: str) -> Any:  # reset(), state, sess: the detector's
        return getattr(self.detector, name)


class Speculator:
    """Speculative recognition, preemptive reply and the first piece made ahead
    for one `Input` (and the `Output` that speaks its replies).

    `respond(text)` is the host's language model: any iterable of text chunks.
    It is called on the speculation's worker and its stream read on a thread of
    its own. Without `mouth` nothing is synthesised ahead; without `respond`
    only recognition is speculative. `pause` is rounded to whole frames (0.2 s:
    6 frames, 0.192 s). `timeout`: how long the end of a capture waits for a
    speculative recognition still running before it recognises the whole
    utterance itself. With a `cantorel.duplex.Listener` on the same `Input`,
    pass it as `listener`: frames it hides from the capture are not speech
    here either, and the utterance it hands over starts where it trims it.

    By default the recogniser and the voice are wrapped where they are
    (`ears.asr_model`, `mouth.tts_model`); a host that wraps them itself passes
    its own `AheadRecognizer` and `AheadVoice`, placed where it wants them.
    The wrappers hold the Speculator weakly, so that it holds no `Input` in a
    reference cycle: keep it (its `reply()` is needed anyway); once it is
    gone they pass everything straight on."""

    def __init__(self, ears: Input, mouth: Optional[Output] = None, respond: Optional[Respond] = None,
                 *, pause: float = 0.2, timeout: float = 5.0, listener: Optional[Listener] = None,
                 recognizer: Optional[AheadRecognizer] = None, voice: Optional[AheadVoice] = None):
        if not pause > 0 or not timeout >= 0:
            raise ValueError("pause must be above 0 and timeout at least 0")
        rec = ears.recorder
        if rec is None:
            raise RuntimeError("the Input has no recorder")
        if recognizer is None:
            if isinstance(ears.asr_model, AheadRecognizer) and ears.asr_model.speculator is not None:
                raise RuntimeError("this Input already has a Speculator")
            recognizer = AheadRecognizer(ears.asr_model)
            ears.asr_model = recognizer
        if recognizer.speculator is not None:
            raise RuntimeError("this AheadRecognizer already belongs to a Speculator")
        if voice is not None and mouth is None:
            raise ValueError("a voice needs the Output (its pieces are cut as the Output cuts them)")
        if voice is None and mouth is not None:
            voice = AheadVoice(mouth.tts_model)
            mouth.tts_model = voice
        self.ears, self.mouth, self.respond, self.listener = ears, mouth, respond, listener
        self.recognizer, self.voice = recognizer, voice
        self.pause_frames = max(1, round(pause / FRAME_SECONDS))
        self.timeout = timeout
        self.last: Optional[Turn] = None      # the utterance last handed to the recogniser
        self._lock = threading.Lock()
        self._turn = Turn()
        self._capture: Any = None             # time_start of the capture being followed
        self._frames: list[bytes] = []
        self._entered = False                 # the capture's own rule has found speech
        self._last_speech: Optional[int] = None
        self._paused = False                  # a speculation began since the last speech frame
        self._live: Optional[_Speculation] = None       # this capture's, not dropped
        self._confirmed: Optional[_Speculation] = None  # its text went to the module; reply() next
        self._busy: Optional[_Speculation] = None       # being recognised
        self._pending: Optional[_Speculation] = None    # waiting for the recogniser
        self._newest = 0                      # serial of the one whose stages the turn shows
        self._broken = False
        self._held: Optional[_HeldReply] = None          # the reply reply() handed over last
        self._threads: weakref.WeakSet[threading.Thread] = weakref.WeakSet()
        recognizer._speculator = weakref.ref(self)
        self._install(rec)

    def _install(self, rec: RecVoice_T) -> None:
        # Beneath a listener's wrapper: it re-wraps the detector whenever it is
        # not the outermost, so this one goes next to the detector itself.
        holder: Any = rec
        attr = "voicevd"
        inner: Any = rec.voicevd
        while isinstance(inner, _Tap):
            holder, attr, inner = inner, "detector", inner.detector
        if isinstance(inner, _Ear):
            if inner.speculator() is not None:
                raise RuntimeError("this Input's recorder already has a Speculator")
            inner = inner.detector
        setattr(holder, attr, _Ear(cast(Callable[[bytes], float], inner), self))

    # ------------------------------------------------------------ the capture thread

    def _heard(self, pcm: bytes, p: float) -> None:
        """Every frame, on the capture thread; it must not fail the capture."""
        if self._broken:
            return
        try:
            self._frame(pcm, p)
        except Exception as e:
            self._broken = True
            print(f"[speculate] stopped speculating: {type(e).__name__}: {e}", flush=True)

    def _frame(self, pcm: bytes, p: float) -> None:
        rec = self.ears.recorder
        if rec is None:
            return
        with self._lock:
            if self._capture is None or rec.time_start != self._capture:
                self._new_capture(rec.time_start)
            self._frames.append(pcm)
            n = len(self._frames)
            listener = self.listener
            if listener is not None and listener.listening and not listener.onset.is_set():
                p = 0.0  # the capture is shown no speech before the listener's onset
            if not self._entered:
                window = list(rec.hist)[-(WINDOW - 1):] + [p]
                self._entered = bool(np.mean(window) > ENTER)
            if p > SPEECH:
                self._last_speech, self._paused = n, False
                if self._live is not None:
                    self._turn.resumed += 1
                    self._drop(self._live, "speech resumed after the pause")
            elif (self._entered and not self._paused and self._last_speech is not None
                  and n - self._last_speech >= self.pause_frames):
                self._paused = True
                self._start(self._trim(listener), n)

    def _new_capture(self, stamp: Any) -> None:
        if self._live is not None:
            self._drop(self._live, "a new capture began")
        if self._confirmed is not None:
            self._drop(self._confirmed, "its text was not replied to")
            self._confirmed = None
        self._capture, self._frames = stamp, []
        self._entered, self._last_speech, self._paused = False, None, False
        self._turn = Turn()

    @staticmethod
    def _trim(listener: Optional[Listener]) -> int:
        """The first frame of the utterance the capture will hand over."""
        if listener is None or not listener.listening or listener._head is None:
            return 0
        return max(0, listener._head - listener.preroll_frames)

    def _start(self, trim: int, n: int) -> None:
        audio = np.frombuffer(b"".join(self._frames[trim:n]), dtype=np.int16)
        self._newest += 1
        s = _Speculation(self._turn, audio, trim, self._newest)
        turn = self._turn
        turn.speculations += 1
        for name in Turn._STAGES:
            setattr(turn, name, None)
        turn.paused_at = time.monotonic()
        self._live = s
        if self._busy is None:
            self._busy = s
            thread = threading.Thread(target=self._work, args=(s,), name="Speculate-ASR", daemon=True)
            self._threads.add(thread)
            thread.start()
        else:
            self._pending = s  # one that waited here before was dropped when speech resumed

    def _drop(self, s: _Speculation, why: str = "") -> None:
        """Under the lock."""
        if s.dropped:
            return
        s.dropped = True
        s.turn.dropped += 1
        s.turn.wasted_cpu += s.cpu
        if why:
            s.turn.why_not = why
        if s.reply is not None:
            s.reply.cancel()
        if self._live is s:
            self._live = None

    # ------------------------------------------------------------ the workers

    def _work(self, first: _Speculation) -> None:
        s: Optional[_Speculation] = first
        while s is not None:
            if not s.dropped:
                self._recognise(s)
            s.done.set()
            with self._lock:
                if self._busy is not s:
                    return  # given up on as hung: another worker took over
                s, self._pending = self._pending, None
                self._busy = s

    def _recognise(self, s: _Speculation) -> None:
        t0, cpu = time.monotonic(), time.process_time()
        try:
            raw = self.recognizer.model.generate(s.audio)
            if raw and not isinstance(raw, str):
                raise TypeError(f"the recogniser returned {type(raw).__name__}, not str")
            s.raw, s.text = raw, (raw.strip() if raw else None)
        except Exception as e:
            s.error = e
        t1 = time.monotonic()
        self._spent(s, time.process_time() - cpu)
        self._stage(s, "recognised_at", t1)
        self._stage(s, "recognition", t1 - t0)
        if s.text and self.respond is not None and not s.dropped:
            try:
                source = self.respond(s.text)
            except Exception:
                return  # reply() asks again, on the host's thread, where it can raise
            with self._lock:
                if not s.dropped:
                    s.reply = _HeldReply(self, s, source)
                    return
            close = getattr(source, "close", None)
            if close is not None:
                close()

    def _stage(self, s: _Speculation, name: str, value: float) -> None:
        with self._lock:
            if s.serial == self._newest and not s.dropped:
                setattr(s.turn, name, value)

    def _spent(self, s: _Speculation, cpu: float) -> None:
        with self._lock:
            s.cpu += cpu
            if s.dropped:
                s.turn.wasted_cpu += cpu

    # ------------------------------------------------------------ the host's thread

    def _confirm(self, audio: Any) -> tuple[bool, Any]:
        """The capture has ended and the module recognises `audio`: whether the
        live speculation holds for it, and its text."""
        with self._lock:
            turn = self.last = self._turn
            turn.confirmed_at = time.monotonic()
            s, self._live = self._live, None
            if s is None:
                if not turn.why_not:
                    turn.why_not = "no pause after speech before the capture ended"
                return False, None
            if not self._matches(audio, s):
                self._drop(s, "the utterance handed over is not the audio speculated on")
                return False, None
        if not s.done.wait(self.timeout):
            with self._lock:
                self._drop(s, f"the recogniser was still busy after {self.timeout:g} s")
                # Taken as hung: the next speculation gets a worker of its own.
                self._busy = self._pending = None
            return False, None
        with self._lock:
            if s.error is not None:
                self._drop(s, f"the recogniser failed ({type(s.error).__name__}: {s.error})")
                return False, None
            turn.used, turn.why_not = True, ""
            self._confirmed = s
            return True, s.raw

    def _matches(self, audio: Any, s: _Speculation) -> bool:
        """The same capture's samples, from the same first frame, and no frame
        after the pause was speech (or the speculation would have been dropped)."""
        a = np.asarray(audio)
        n = len(s.audio)
        return (a.ndim == 1 and a.dtype == np.int16
                and len(a) == (len(self._frames) - s.trim) * FRAME
                and bool(np.array_equal(a[:n], s.audio)))

    def reply(self, text: str) -> Iterator[str]:
        """The reply to `text` for `Output._add_stream`: the held one when
        `text` is what the speculation recognised, else `respond(text)`."""
        with self._lock:
            s, self._confirmed = self._confirmed, None
            turn = self.last = self.last if self.last is not None else self._turn
            held = s.reply if s is not None and not s.dropped and s.text == text else None
            if s is not None and held is None:
                self._drop(s)  # its text was not what the host replies to, or nothing was held
        if held is not None:
            piece = held.commit()
            self._held = held
            if self.voice is not None:
                self.voice._expect(piece)
            turn.committed_at, turn.source = time.monotonic(), held.source
            return held.out()
        if self.voice is not None:
            self.voice._expect(None)
        if self.respond is None:
            raise RuntimeError("this Speculator has no language model (respond) to reply with")
        source = self.respond(text)
        turn.source = source
        return iter(source)

    def cancel(self) -> None:
        """Drops whatever is being speculated or held; its streams close at their next chunk."""
        with self._lock:
            for s in (self._live, self._confirmed, self._pending):
                if s is not None:
                    self._drop(s, "cancelled")
            self._confirmed = None

    def close(self, timeout: float = 2.0) -> bool:
        """Before the program ends: drops everything (the reply handed over last
        included) and waits up to `timeout` seconds for the kit's threads to
        finish the call they are in. A recogniser or voice still running on a
        daemon thread when the interpreter ends can take the process down (a
        C++ extension's frames cannot be unwound then). True if none is left."""
        self.cancel()
        if self._held is not None:
            self._held.cancel()
        deadline = time.monotonic() + timeout
        for thread in list(self._threads):
            thread.join(max(0.0, deadline - time.monotonic()))
        return not any(thread.is_alive() for thread in list(self._threads))
