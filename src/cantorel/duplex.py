"""Barge-in for a host of cantorel.manage: the person may talk over the reply.

Two jobs, usable apart or together (`BargeIn`):

* `Speaker` stops speaking now: the piece playing stops within one playback
  block, every piece still queued and the piece in synthesis are dropped with
  the queues' counts kept right, so `Output._wait_all()` returns at once and the
  same `Output` speaks the next reply normally.
* `Listener` listens while speaking: a capture on `Input.recorder` runs in the
  background, reports the onset of speech on the frame it happens (the
  capture's own rule plus a minimum duration), and hands the utterance that
  interrupted, head included, to the next `Input._recognize()`.

    barge = BargeIn(ears, mouth)            # ears: Input, mouth: Output
    text = ears._recognize()
    while True:
        mouth._add_stream(barge.reply(language_model(text)))
        mouth._wait_all()                   # at once if the person interrupts
        text = ears._recognize()            # what interrupted, or the next utterance

`prompt_input()` makes the `Input` with a capture that reads each frame as soon
as the sound server has it, not at the 40 ms ticks of a 512-sample period
(6 ms sooner on median, docs/barge-in.md; the onset's report and the end of an
utterance alike).

Everything goes through what the module lets a host change: the module globals
`sa` (a player that can stop) and `pyaudio` (looked up when the recorder opens
its stream), the classes of `Output`'s two queues (the same
objects: the workers wait inside them), and the recorder's `voicevd` and
`thread` attributes, which the capture and `_recognize` read at each use.
"""
from __future__ import annotations

import math
import queue
import threading
import time
from collections import deque
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator, Optional, Protocol, cast

import numpy as np

if TYPE_CHECKING:
    from cantorel.manage import Input, Output, RecVoice_T

RATE = 16000
FRAME = 512                      # samples the capture reads and scores at a time
FRAME_SECONDS = FRAME / RATE
ENTER = 0.6                      # the capture's rule: speech starts above this mean ...
WINDOW = 10                      # ... of the last ten probabilities
SPEECH = 0.5                     # a frame the model itself scores above this is speech
BLOCK = 960                      # samples per write: 20 ms at 48 kHz, the longest a stop waits
PROMPT_BUFFER = 256              # samples per PortAudio period for prompt_input()'s capture
TAIL_FRAMES, TAIL_LEVEL = 4, 3.0  # frames after a pause, whose floor is min_level times this
RESTARTS = 2                     # captures started again after a failure before listening gives up
RESUME_AFTER = 3                 # frames without speech after which a paused reply goes on
MAX_PAUSE = 1.0                  # a pause nobody ends (a stalled capture) lets the reply go on after this
PAUSE_AFTER = 0.15               # BargeIn's: seconds of speech after which the reply pauses


class _OutputStream(Protocol):
    def write(self, frames: bytes) -> Any: ...
    def stop_stream(self) -> Any: ...
    def close(self) -> Any: ...


class _Audio(Protocol):
    """What the player needs of a `pyaudio.PyAudio`."""

    def get_format_from_width(self, width: int) -> int: ...
    def open(self, *, format: int, channels: int, rate: int, output: bool,
             frames_per_buffer: int) -> _OutputStream: ...


# ---------------------------------------------------------------- stop speaking now

class StoppablePlayer:
    """Stands in for simpleaudio as the module global `sa` of cantorel.manage
    (`AudioPlayer.play_audio` calls `sa.WaveObject(...).play().wait_done()`).

    simpleaudio's stop lets the device's buffer run out: a piece went on for
    0.3 s after stop() on the virtual speaker. This player writes each piece
    through PyAudio in blocks of `block` samples from inside `wait_done()` (the
    play worker's own thread, so no thread of its own) and, when stopped,
    closes the stream after the block being written: PortAudio discards what
    is still buffered. Measured the same way: 20 ms of sound after stop().

    `pause()` silences the piece the same way but keeps its place: `resume()`
    reopens the stream and goes on from a little before where it went silent
    (what PortAudio held and the close dropped is played again). Pieces that
    start while paused wait. A pause that neither `resume()` nor `stop()` ends
    lasts `max_pause` seconds, so a listener that stalls cannot mute the reply."""

    def __init__(self, audio: Optional[_Audio] = None, block: int = BLOCK, max_pause: float = MAX_PAUSE):
        self._audio = audio
        self.block = block
        self.max_pause = max_pause
        self.pauses = 0                  # how many times pause() held a running player
        self._lock = threading.Lock()
        self._playing: set[_Playing] = set()
        self._go = threading.Event()     # clear while paused
        self._go.set()
        # Asked before a piece starts: a stop can come between the play worker
        # taking a piece and starting it, when there is nothing yet to stop.
        self.vetoes: list[Callable[[], bool]] = []

    def WaveObject(self, audio_data: bytes, num_channels: int = 2, bytes_per_sample: int = 2,
                   sample_rate: int = 44100) -> _Wave:
        return _Wave(self, audio_data, num_channels, bytes_per_sample, sample_rate)

    def _open(self, num_channels: int, bytes_per_sample: int, sample_rate: int) -> _OutputStream:
        if self._audio is None:
            import pyaudio  # type: ignore[import-untyped]  # the capture's library, opened on first use
            self._audio = cast(_Audio, pyaudio.PyAudio())
        return self._audio.open(format=self._audio.get_format_from_width(bytes_per_sample),
                                channels=num_channels, rate=sample_rate, output=True,
                                frames_per_buffer=self.block)

    def _started(self, playing: _Playing) -> None:
        with self._lock:
            self._playing.add(playing)

    def _ended(self, playing: _Playing) -> None:
        with self._lock:
            self._playing.discard(playing)

    @property
    def playing(self) -> bool:
        return bool(self._playing)

    @property
    def paused(self) -> bool:
        return not self._go.is_set()

    def pause(self) -> None:
        """Holds every piece until resume() or stop()."""
        with self._lock:
            if self._go.is_set():
                self.pauses += 1
            self._go.clear()

    def resume(self) -> None:
        self._go.set()

    def stop(self) -> bool:
        """Stops every piece playing now, paused or not; True if there was one.
        A pause ends with it: the next piece plays."""
        with self._lock:
            playing = list(self._playing)
        for piece in playing:
            piece.stop()
        self._go.set()   # after the stops, so a held piece wakes to find itself stopped
        return bool(playing)


class _Wave:
    def __init__(self, player: StoppablePlayer, audio_data: bytes, num_channels: int,
                 bytes_per_sample: int, sample_rate: int):
        self.player, self.audio_data = player, audio_data
        self.num_channels, self.bytes_per_sample, self.sample_rate = num_channels, bytes_per_sample, sample_rate

    def _open(self) -> _OutputStream:
        return self.player._open(self.num_channels, self.bytes_per_sample, self.sample_rate)

    def play(self) -> _Playing:
        playing = _Playing(self.player, self._open, self.audio_data,
                           self.num_channels * self.bytes_per_sample, self.sample_rate)
        if any(veto() for veto in self.player.vetoes):
            playing.stop()
        return playing


class _Playing:
    """One piece: open from play(), written out by wait_done()."""

    def __init__(self, player: StoppablePlayer, open_stream: Callable[[], _OutputStream], data: bytes,
                 frame_bytes: int, rate: int):
        self.player, self.data = player, memoryview(data)
        self.frame_bytes, self.rate, self.step = frame_bytes, rate, player.block * frame_bytes
        self._open = open_stream
        self.stream = open_stream()
        self._stream_open = True
        self._stop = threading.Event()
        self._done = threading.Event()
        player._started(self)

    def stop(self) -> None:
        self._stop.set()

    def is_playing(self) -> bool:
        return not self._done.is_set()

    def wait_done(self) -> None:
        """Plays the piece to its end, or until stop(); a failing device raises,
        which play_audio reports as it would simpleaudio's error."""
        if self._done.is_set():
            return
        try:
            at = 0
            while at < len(self.data) and not self._stop.is_set():
                if not self.player._go.is_set():
                    at = self._held(at)
                    continue
                self.stream.write(bytes(self.data[at:at + self.step]))
                at += self.step
            if not self._stop.is_set():
                self.stream.stop_stream()  # the last blocks play out before the piece counts as done
        finally:
            self._done.set()
            self.player._ended(self)
            self._close()  # a stopped stream closes without playing what it still holds

    def _close(self) -> None:
        if self._stream_open:
            self._stream_open = False
            self.stream.close()

    def _held(self, at: int) -> int:
        """Silent while the player is paused; returns where the piece goes on."""
        if at:
            # Closing drops what PortAudio still holds; that much is played again.
            latency = getattr(self.stream, "get_output_latency", None)
            held = round(latency() * self.rate) * self.frame_bytes if latency else self.step
            self._close()
            at = max(0, at - held)
        deadline = time.monotonic() + self.player.max_pause
        while not self.player._go.wait(0.005) and not self._stop.is_set():
            if time.monotonic() >= deadline:
                self.player.resume()
        if not self._stop.is_set() and not self._stream_open:
            self.stream = self._open()
            self._stream_open = True
        return at


def install_player(player: Optional[StoppablePlayer] = None) -> StoppablePlayer:
    """Makes `player` (or the one already installed, or a new one) the module's
    `sa`; the play worker looks it up for every piece."""
    from cantorel import manage
    current = getattr(manage, "sa", None)
    if player is None:
        player = current if isinstance(current, StoppablePlayer) else StoppablePlayer()
    setattr(manage, "sa", player)
    return player


class _DroppableQueue(queue.Queue):  # type: ignore[type-arg]
    """The class an `Output` queue is switched to. The queue stays the same
    object because its worker is already waiting in its get().

    Its worker takes one item at a time and calls task_done() when it is
    through with it. drop() empties the queue and counts down what it dropped,
    the item the worker holds included, so join() returns at once; the
    worker's own task_done() for that item is then absorbed. put() asks the
    gate first: pieces of a reply that was stopped are turned away."""

    _gate: Callable[[_DroppableQueue], bool]
    _taken: bool          # the worker holds an item it has not marked done
    _written_off: bool    # ... and drop() has counted it down already

    def put(self, item: Any, block: bool = True, timeout: Optional[float] = None) -> None:
        # Unbounded, so never waits; the gate is asked under the lock drop() takes,
        # so nothing let in before a stop survives its drop().
        with self.not_full:
            if not self._gate(self):
                return
            self._put(item)
            self.unfinished_tasks += 1
            self.not_empty.notify()

    def _get(self) -> Any:
        self._taken, self._written_off = True, False
        return super()._get()

    def task_done(self) -> None:
        with self.mutex:
            self._taken = False
            if self._written_off:
                self._written_off = False
                return
        super().task_done()

    def drop(self) -> int:
        with self.mutex:
            dropped = len(self.queue)
            self.queue.clear()
            if self._taken and not self._written_off:
                self._written_off = True
                dropped += 1
        for _ in range(dropped):
            queue.Queue.task_done(self)
        return dropped


def _droppable(q: queue.Queue, gate: Callable[[_DroppableQueue], bool]) -> _DroppableQueue:  # type: ignore[type-arg]
    if isinstance(q, _DroppableQueue):
        raise RuntimeError("this Output already has a Speaker")
    if type(q) is not queue.Queue:
        raise TypeError(f"expected the queue.Queue an Output makes, not {type(q).__name__}")
    with q.mutex:
        q.__class__ = _DroppableQueue
        d = cast(_DroppableQueue, q)
        d._gate = gate
        # One worker per queue: what is counted but not queued is the item it holds.
        d._taken = d.unfinished_tasks > len(d.queue)
        d._written_off = False
    return d


class Speaker:
    """Lets the host stop an `Output` in the middle of a reply. Feed each reply
    through `reply()`: after stop() the rest of that reply (what the module
    still cuts from the stream, the audio of the piece in synthesis) is turned
    away until the next reply() begins."""

    def __init__(self, mouth: Output, player: Optional[StoppablePlayer] = None):
        self.mouth = mouth
        self.player = install_player(player)
        self._lock = threading.Lock()
        self._stopped = False
        self._streams = 0            # replies whose stream is still being read
        self.stops = 0
        self.stopped_at: Optional[float] = None   # time.monotonic() of the last stop
        self.text_queue = _droppable(mouth.output_queue, self._accepts)
        self.audio_queue = _droppable(mouth.play_queue, self._accepts)
        self.player.vetoes.append(self._dropped_piece)

    def _dropped_piece(self) -> bool:
        """The piece this Output's play worker is about to start was dropped."""
        return threading.current_thread() is self.mouth.play_thread and self.audio_queue._written_off

    def _accepts(self, q: _DroppableQueue) -> bool:
        if self._stopped:
            return False
        # The audio of a piece that was in synthesis when the last reply stopped.
        return not (q is self.audio_queue and self.text_queue._written_off)

    @property
    def speaking(self) -> bool:
        """A reply is arriving, waiting for synthesis or playing."""
        return bool(self._streams or self.text_queue.unfinished_tasks or self.audio_queue.unfinished_tasks)

    def stop(self) -> bool:
        """Stops the reply now; False (and nothing done) if none is being spoken."""
        if not self._claim_stop():
            return False
        self._silence()
        return True

    def _claim_stop(self) -> bool:
        with self._lock:
            if self._stopped or not self.speaking:
                return False
            self._stopped = True
            self.stops += 1
            self.stopped_at = time.monotonic()
        return True

    def _silence(self) -> None:
        """Drops what is left of the reply; from here on the host's _wait_all() can return."""
        self.text_queue.drop()
        self.audio_queue.drop()
        self.player.stop()

    def reply(self, chunks: Iterable[str]) -> Iterator[str]:
        """`chunks` for Output._add_stream, ending cleanly at the first chunk
        after a stop (the host's stream is closed if it can be)."""
        with self._lock:
            self._stopped = False
            self._streams += 1
        source = iter(chunks)
        try:
            for chunk in source:
                if self._stopped:
                    break
                yield chunk
        finally:
            with self._lock:
                self._streams -= 1
            close = getattr(source, "close", None)
            if close is not None:
                close()


# ---------------------------------------------------------------- listen while speaking

class _Tap:
    """Stands in the recorder's `voicevd`: the capture calls it with every frame
    it reads, so the listener sees each frame's probability as it is read."""

    def __init__(self, detector: Callable[[bytes], float], listener: Listener):
        self.detector, self.listener = detector, listener

    def __call__(self, pcm_bytes: bytes) -> float:
        return self.listener._scored(self.detector(pcm_bytes), pcm_bytes)

    def __getattr__(self, name: str) -> Any:  # reset(), state, sess: the detector's
        return getattr(self.detector, name)


class _Turn:
    """Stands in the recorder's `thread` while the listener captures:
    `Input._recognize()` sees a capture running, joins it, and then finds the
    utterance in `audio_np`. Alive until joined, so a start_recording() in
    between cannot start a capture over the one the listener made."""

    def __init__(self, thread: threading.Thread):
        self.thread, self.collected = thread, False

    def is_alive(self) -> bool:
        return not self.collected

    def join(self, timeout: Optional[float] = None) -> None:
        self.thread.join(timeout)
        if not self.thread.is_alive():
            self.collected = True


class Listener:
    """A background capture on `ears.recorder` that reports speech as it begins.

    Onset is the capture's own rule (the mean of the last ten probabilities
    above 0.6) on a frame that ends at least `min_speech` seconds of frames the
    model scores as speech, so a click or a cough does not count. `min_level`
    (root mean square of a frame's int16 samples; 0, the default, leaves it out)
    also asks each of those frames to be that loud: an echo canceller leaves a
    quiet residue of the reply that the model still scores as speech. On that frame
    `on_speech` is called (on the capture thread) and `onset` is set. Until then
    the capture is shown no speech, so from the onset on it runs as it always
    does (its end by `sld` of silence or by `max_time`). The capture's samples
    from `preroll` seconds before the speech's first frame become the next
    `_recognize()`'s utterance. A capture that fails before the onset starts
    again (a loaded sound server's passing error), up to RESTARTS times in a
    row without a frame in between; then, or after the onset, listening
    stops with one line and `error` set.

    With `pause_after` (seconds, at most `min_speech`) `on_pause` is called as
    soon as the run is that long, and `on_resume` if no run follows for
    RESUME_AFTER frames before the onset (or the capture ends): the reply can
    fall silent while the onset is still being confirmed, and go on if it was
    a blip. A quiet frame inside a word breaks a run, but the person has not
    stopped: the utterance then begins with the run that paused the reply.
    For TAIL_FRAMES frames after the pause a frame must be TAIL_LEVEL times
    `min_level` to count: when the reply falls silent an echo canceller lets
    the last of its echo through louder. A tail frame that does not count
    neither breaks the run nor counts towards resuming, since the echo can
    hide the person's word there too."""

    def __init__(self, ears: Input, on_speech: Optional[Callable[[], object]] = None,
                 min_speech: float = 0.2, preroll: float = 0.2, min_level: float = 0.0, *,
                 pause_after: Optional[float] = None, on_pause: Optional[Callable[[], object]] = None,
                 on_resume: Optional[Callable[[], object]] = None):
        if min_speech < 0 or preroll < 0 or min_level < 0 or (pause_after is not None and pause_after < 0):
            raise ValueError("min_speech, preroll, min_level and pause_after cannot be below 0")
        self.ears, self.on_speech, self.min_level = ears, on_speech, min_level
        self.on_pause, self.on_resume = on_pause, on_resume
        self.min_frames = max(1, math.ceil(min_speech / FRAME_SECONDS - 1e-9))
        self.pause_frames = None if pause_after is None else \
            min(self.min_frames, max(1, math.ceil(pause_after / FRAME_SECONDS - 1e-9)))
        self._paused = False
        self._unheard = 0     # frames without speech since the pause
        self._paused_at = self._pause_head = 0
        self.preroll_frames = math.ceil(preroll / FRAME_SECONDS - 1e-9)
        self.onset = threading.Event()
        self.heard_at: Optional[float] = None     # time.monotonic() when onset was reported
        self.error: Optional[Exception] = None
        self._restarted_after: Optional[Exception] = None   # the error the capture started again after
        # The longest run of speech frames since start() that made no onset: how
        # close the reply's echo (or a blip) came to stopping it.
        self.longest_run = 0
        self._turn: Optional[_Turn] = None
        self._recorder: Optional[RecVoice_T] = None
        self._capturing = False
        self._frame = 0
        self._run_start: Optional[int] = None
        self._run_frames = 0   # frames of the run that counted
        self._head: Optional[int] = None
        self._window: deque[float] = deque(maxlen=WINDOW)   # the real probabilities, newest last

    @property
    def listening(self) -> bool:
        return self._turn is not None and self._turn.thread.is_alive()

    def start(self) -> bool:
        """Starts listening; False if the last start's utterance has not been
        collected by `_recognize()` yet (its capture goes on, or waits)."""
        if self._turn is not None and not self._turn.collected:
            return False
        rec = self.ears.recorder
        if rec is None:
            raise RuntimeError("the Input has no recorder")
        running = rec.thread
        if running is not None and not isinstance(running, _Turn) and running.is_alive():
            raise RuntimeError("the recorder is already capturing for _recognize()")
        if not isinstance(rec.voicevd, _Tap) or rec.voicevd.listener is not self:
            rec.voicevd = cast(Any, _Tap(rec.voicevd, self))
        self._recorder = rec
        self.onset.clear()
        self.heard_at, self.error, self._head, self._restarted_after = None, None, None, None
        self.longest_run = 0
        self._paused = False
        thread = threading.Thread(target=self._run, args=(rec,), name="Barge-Listener", daemon=True)
        self._turn = _Turn(thread)
        rec.thread = cast(threading.Thread, self._turn)
        thread.start()
        return True

    def _run(self, rec: RecVoice_T) -> None:
        audio = None
        failed = 0   # captures in a row that failed before a frame was scored
        try:
            while self._head is None:
                self._frame, self._run_start, self._run_frames, self._capturing = 0, None, 0, True
                self._window = deque(rec.hist, maxlen=WINDOW)
                try:
                    audio = rec.record_audio()
                except Exception as e:
                    # A sound server under load can fail a read once (PortAudio's
                    # host error) and be fine on the next start: the capture
                    # starts again, and says so once frames come. Failing again
                    # before one does, RESTARTS times, the microphone is gone.
                    failed = 1 if self._frame else failed + 1
                    if self._head is not None or failed > RESTARTS:
                        raise
                    self._restarted_after = e
                self._capturing = False
        except Exception as e:
            self.error = e
            print(f"[duplex] listening while speaking stopped: the capture failed "
                  f"({type(e).__name__}: {e})", flush=True)
            audio = None
        finally:
            self._capturing = False
            self._release()
        rec.audio_np = None if audio is None or self._head is None else \
            audio[max(0, self._head - self.preroll_frames) * FRAME:]

    def _scored(self, p: float, pcm_bytes: bytes) -> float:
        """Runs on the capture thread for every frame; returns the probability
        the capture gets. Until the onset that is 0.0: neither the reply's echo
        nor a blip may start the capture's speech, and with it the `max_time`
        clock that would cut the utterance short. On the onset frame the
        capture's window gets the real probabilities back, so by its own rule
        its speech starts there too."""
        rec = self._recorder
        if not self._capturing or rec is None or self._head is not None:
            return p
        i = self._frame
        self._frame += 1
        if self._restarted_after is not None:
            e, self._restarted_after = self._restarted_after, None
            print(f"[duplex] the capture failed and started again ({type(e).__name__}: {e})", flush=True)
        self._window.append(p)
        floor = self.min_level
        in_tail = self._paused and i - self._paused_at <= TAIL_FRAMES
        if in_tail:
            floor *= TAIL_LEVEL   # the reply's last echo, which the canceller now lets through
        counts = p > SPEECH and (floor <= 0 or _level(pcm_bytes) >= floor)
        if counts:
            if self._run_start is None:
                self._run_start, self._run_frames = i, 0
            self._run_frames += 1
        elif not in_tail or self._run_start is None:   # (a tail frame leaves the run as it is)
            self.longest_run = max(self.longest_run, self._run_frames)
            self._run_start, self._run_frames = None, 0
        run = self._run_frames
        self._unheard = 0 if counts else self._unheard + (not in_tail)
        if self._unheard >= RESUME_AFTER:
            self._release()
        elif self.pause_frames is not None and run >= self.pause_frames and not self._paused:
            self._paused, self._paused_at, self._pause_head = True, i, cast(int, self._run_start)
            self._call("on_pause", self.on_pause)
        if not counts or run < self.min_frames or not np.mean(self._window) > ENTER:
            return 0.0
        rec.hist.clear()
        rec.hist.extend(list(self._window)[:-1])  # the capture appends this frame's own
        # A run broken while the reply was paused began where the pause's run did.
        start = cast(int, self._run_start)
        self._head = min(self._pause_head, start) if self._paused else start
        self.heard_at = time.monotonic()
        self._paused = False   # the onset's own callback takes over from here
        self.onset.set()
        self._call("on_speech", self.on_speech)
        return p

    def _release(self) -> None:
        if self._paused:
            self._paused = False
            self._call("on_resume", self.on_resume)

    @staticmethod
    def _call(name: str, callback: Optional[Callable[[], object]]) -> None:
        if callback is not None:
            try:
                callback()
            except Exception as e:  # the capture must go on: it holds the utterance
                print(f"[duplex] {name} failed: {type(e).__name__}: {e}", flush=True)


def _level(pcm_bytes: bytes) -> float:
    samples = np.frombuffer(pcm_bytes, dtype=np.int16).astype(np.float64)
    return float(np.sqrt(np.mean(samples * samples))) if len(samples) else 0.0


class BargeIn:
    """A `Speaker` and a `Listener` joined: every reply fed through `reply()` is
    listened over, and speech that begins while it is spoken stops it.

    The reply pauses after `pause_after` seconds of speech (0.15 s, 5 frames;
    None: no pause) and stops at the onset, `min_speech` seconds in; if the
    speech breaks off between the two, the reply goes on where it paused. It
    falls silent about 50 ms sooner, at the cost of a gap of about 0.2 s in a
    reply now and then, when an echo canceller's residue pauses it
    (docs/barge-in.md)."""

    def __init__(self, ears: Input, mouth: Output, *, min_speech: float = 0.2,
                 preroll: float = 0.2, min_level: float = 0.0, player: Optional[StoppablePlayer] = None,
                 pause_after: Optional[float] = PAUSE_AFTER):
        self.speaker = Speaker(mouth, player)
        self.listener = Listener(ears, self._heard, min_speech=min_speech, preroll=preroll,
                                 min_level=min_level, pause_after=pause_after,
                                 on_pause=self.speaker.player.pause, on_resume=self.speaker.player.resume)
        self.interrupted = False   # the last reply was stopped by the person's speech

    def _heard(self) -> None:
        if self.speaker._claim_stop():
            self.interrupted = True   # before the host's _wait_all() can return and read it
            self.speaker._silence()
        else:
            self.speaker.player.resume()  # the reply had ended: nothing to stop, nothing to hold

    def reply(self, chunks: Iterable[str]) -> Iterator[str]:
        """`chunks` for Output._add_stream; listening starts with the reply."""
        self.interrupted = False
        self.listener.start()
        yield from self.speaker.reply(chunks)


_binding_pyaudio = threading.Lock()


def prompt_input(recognizer: Any, *args: Any, buffer: int = PROMPT_BUFFER,
                 echo_reference: Optional[str] = None, **kwargs: Any) -> Input:
    """`manage.Input(recognizer, *args, **kwargs)` whose capture stream asks
    PortAudio for periods of `buffer` samples instead of a whole frame.

    The recorder opens its stream with frames_per_buffer=512, its frame. With
    the sound server behind ALSA (PulseAudio's or PipeWire's plugin) frames
    then reach the capture at 40 ms ticks, one or two at a time. With shorter
    periods each frame is read every 32 ms, as soon as the server has it (the
    server's own blocks still come first); the capture still reads and scores
    512 samples at a time, and a stalled reader loses nothing (the server keeps
    what is not read yet). The module global `pyaudio` is looked up when the recorder opens
    its stream, so a stand-in is bound for the construction only.

    With `echo_reference` (a sound server's source that carries what the
    speaker plays, `"@DEFAULT_MONITOR@"` for the default speaker's) the
    capture reads the microphone through the kit's own echo canceller
    (`cantorel.echo`) instead of needing the server's."""
    if not isinstance(buffer, int) or not 0 < buffer <= FRAME:
        raise ValueError(f"buffer must be an int from 1 to {FRAME} samples, not {buffer!r}")
    if echo_reference is not None and not (isinstance(echo_reference, str) and echo_reference):
        raise ValueError(f"echo_reference must be a source's name, not {echo_reference!r}")
    from cantorel import manage
    with _binding_pyaudio:
        real = getattr(manage, "pyaudio")   # the module's global, not in its stub
        setattr(manage, "pyaudio", _PromptPyAudioModule(real, buffer, echo_reference))
        try:
            return manage.Input(recognizer, *args, **kwargs)
        finally:
            setattr(manage, "pyaudio", real)


class _PromptPyAudioModule:
    """The `pyaudio` module, but its PyAudio() opens input streams with `buffer`-sample periods."""

    def __init__(self, real: Any, buffer: int, echo_reference: Optional[str]):
        self._real, self._buffer, self._echo_reference = real, buffer, echo_reference

    def PyAudio(self, *args: Any, **kwargs: Any) -> _PromptPyAudio:
        return _PromptPyAudio(self._real.PyAudio(*args, **kwargs), self._buffer, self._echo_reference)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._real, name)


class _PromptPyAudio:
    """A PyAudio whose input streams get `buffer`-sample periods; the rest is PyAudio's own."""

    def __init__(self, audio: Any, buffer: int, echo_reference: Optional[str]):
        self._audio, self._buffer, self._echo_reference = audio, buffer, echo_reference

    def open(self, *args: Any, **kwargs: Any) -> Any:
        if not kwargs.get("input") or kwargs.get("output"):
            return self._audio.open(*args, **kwargs)
        kwargs["frames_per_buffer"] = min(int(kwargs.get("frames_per_buffer", FRAME)), self._buffer)
        if self._echo_reference is None:
            return self._audio.open(*args, **kwargs)
        from cantorel import echo
        reference = echo.open_reference(self._audio, self._echo_reference, *args, **kwargs)
        try:
            return echo.CancellingStream(self._audio.open(*args, **kwargs), reference)
        except BaseException:
            reference.close()
            raise

    def __getattr__(self, name: str) -> Any:
        return getattr(self._audio, name)
