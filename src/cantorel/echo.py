"""The kit's own echo canceller: takes the reply out of the microphone before
the capture scores it, with what the speaker plays as the reference.

A sound server's canceller (PulseAudio's WebRTC one) also suppresses what it
cannot cancel, and while the reply plays that takes the person's first word
with it. This one is linear only: an adaptive filter learns the path from the
speaker to the microphone and subtracts its estimate of the echo; what it
cannot cancel is left in, and the listener's level floor is what keeps that
residue from stopping the reply.

The reference is a second capture stream on the sound server's monitor of the
speaker (`@DEFAULT_MONITOR@` on PulseAudio and PipeWire's pulse server). A
thread reads the microphone and the monitor side by side from the moment both
open, so a sample of one and a sample of the other stay the same distance
apart in time; where the echo lies in that distance (the speaker's and the
microphone's buffers, the air) is found by cross-correlation, and found again
if it moves. `CancellingStream` stands in for the capture's PyAudio stream:
the capture reads cleaned frames from it and starts and stops it as before.

    ears = duplex.prompt_input(recognizer, echo_reference="@DEFAULT_MONITOR@")
"""
from __future__ import annotations

import os
import threading
from collections import deque
from typing import Any, Optional

import numpy as np
from numpy.typing import NDArray

FRAME = 512          # samples per block: the capture's frame
TAPS = FRAME         # the filter's length, 32 ms at 16 kHz, around the echo's delay
LEAD = 128           # of which this many come before the delay found (its estimate's slack)
MAX_DELAY = 8000     # the longest speaker-to-microphone delay looked for: 0.5 s
WINDOW = 8192        # samples of both signals the delay is found from
STEP = 0.1           # the filter's adaptation step, normalised per frequency
LOCK = 0.5           # the normalised correlation that places the echo
SOUND = 100.0        # reference RMS below which there is nothing to cancel or learn from
RECHECK = 16         # frames between checks of the delay once it is found
FITS = 0.1           # the share of the microphone's energy a good filter leaves (-10 dB)
READY = 0.03         # ... and the share from which it is let through (-15 dB)
RECENT = 4 * FRAME   # what a filter moved to a new delay is judged on: the stream slipped within the window
UNLEARNT = 157       # frames (5 s) silenced before the canceller says it cannot learn the room
GIVE_UP = 5          # reads in a row that fail before the microphone counts as gone
HOLD = 10            # frames the filter does not learn after one that held more than echo


class EchoCanceller:
    """Cancels the echo of `ref` in `mic`, one frame at a time.

    Both are int16 blocks of `FRAME` samples taken at the same moments. The
    filter models the echo path from `delay - LEAD` to `delay - LEAD + TAPS`
    samples back: a least-squares fit over the last WINDOW samples places
    it, and a frequency-domain adaptive filter (overlap-save, one block,
    normalised per frequency) follows from there; it adapts only while the
    residue is under a quarter of its estimate of the echo, so the person's
    own speech does not teach it. Until the filter first leaves less than
    READY of the microphone's energy (about the first half second of the
    first reply), a frame the echo may sound in comes out silent: raw echo
    must not reach the listener. A room it cannot model that well stays
    that way: the person is not heard while the reply plays, which it says
    once, after UNLEARNT such frames."""

    def __init__(self) -> None:
        self.delay: Optional[int] = None
        self.ready = False     # the echo has been cancelled to READY: until then it is silenced
        self._w: NDArray[np.complex128] = np.zeros(FRAME + 1, np.complex128)   # the filter, per frequency
        self._power: NDArray[np.float64] = np.full(FRAME + 1, 1.0)
        self._ref: NDArray[np.float64] = np.zeros(MAX_DELAY + WINDOW + 2 * FRAME)   # recent past, newest last
        self._mic: NDArray[np.float64] = np.zeros(WINDOW)
        self._frames = 0
        self._since_check = RECHECK
        self._hold = 0
        self._searching = False   # the filter may have lost the echo: look for it at every check
        self.moved = 0            # times the echo was found at another delay
        self._unready = 0         # frames silenced so far because the filter is not ready

    def process(self, mic: NDArray[Any], ref: NDArray[Any]) -> NDArray[Any]:
        m = mic.astype(np.float64)
        self._ref = np.concatenate([self._ref[FRAME:], ref.astype(np.float64)])
        self._mic = np.concatenate([self._mic[FRAME:], m])
        self._frames += 1
        self._since_check += 1
        if self._since_check >= (RECHECK if self.ready and not self._searching else 2):
            self._find_delay()
        if self.delay is None:
            out = m
        else:
            out = self._cancel(m)
            # Where the estimate matches the echo, the microphone holds all of
            # it: m.y = y.y, the person speaking or not (they are not in y).
            # Far under that, the estimate may not be where the echo is: a
            # stream lost samples and the two moved apart. The delay is then
            # looked for every other frame until the filter cancels again;
            # the person speaking keeps the search from placing it anywhere.
            y = m - out
            yy = float(y @ y)
            if yy > SOUND * SOUND * FRAME and float(m @ y) < 0.5 * yy:
                self._searching = True
        if not self.ready:   # the echo is not cancelled yet: nothing of it may pass
            reach = MAX_DELAY if self.delay is None else self.delay + TAPS
            if np.abs(self._ref[-FRAME - reach:]).max() >= 3 * SOUND:
                self._unready += 1
                if self._unready == UNLEARNT:
                    print(f"[duplex] the echo canceller has not learnt this room in "
                          f"{UNLEARNT * FRAME // 16000} s of sound: while the reply plays the "
                          "person is not heard (use the sound server's echo canceller)", flush=True)
                return np.zeros(FRAME, np.int16)
        return np.clip(np.round(out), -32768, 32767).astype(np.int16)

    def restarted(self) -> None:
        """Both streams started again, a new distance apart: the echo is looked for anew."""
        self._searching = True

    def _segment(self, back: int = 0) -> NDArray[Any]:
        """The reference's 2 * FRAME samples that the filter sees for the mic
        frame `back` samples before the newest one."""
        assert self.delay is not None
        end = len(self._ref) - back - max(0, self.delay - LEAD)
        return self._ref[end - 2 * FRAME:end]

    def _cancel(self, m: NDArray[Any]) -> NDArray[Any]:
        x = self._segment()
        if not x.any():
            return m
        X = np.fft.rfft(x)
        y = np.fft.irfft(X * self._w)[FRAME:]
        e = m - y
        # Echo alone, and its estimate already right to within a quarter of
        # its energy: learn from it. The person speaking (or the path having
        # moved) leaves more than that.
        # A frame that fails holds learning off for HOLD frames: a word's
        # quiet parts pass the test, and would teach the filter the person.
        if float(e @ e) >= 0.25 * float(y @ y):
            self._hold = HOLD
        elif self._hold:
            self._hold -= 1
        elif _rms(x) >= SOUND:
            self._power = 0.9 * self._power + 0.1 * (X.real ** 2 + X.imag ** 2)
            E = np.fft.rfft(np.concatenate([np.zeros(FRAME), e]))
            g = np.fft.irfft(np.conj(X) * E / (self._power + 1e-3))[:FRAME]
            self._w += STEP * np.fft.rfft(np.concatenate([g, np.zeros(FRAME)]))
        return e

    def _fit(self) -> None:
        """The filter that best explains the last WINDOW samples of the
        microphone by the reference: least squares over its TAPS taps."""
        assert self.delay is not None
        end = len(self._ref) - max(0, self.delay - LEAD)
        x = self._ref[end - WINDOW - TAPS + 1:end]   # mic sample i lines up with x[i + TAPS - 1]
        n = 1 << (len(x) + WINDOW).bit_length()
        spectrum = np.fft.rfft(x, n)
        cross = np.fft.irfft(spectrum * np.conj(np.fft.rfft(self._mic, n)), n)[TAPS - 1::-1]
        auto = np.fft.irfft(spectrum.real ** 2 + spectrum.imag ** 2, n)[:TAPS]
        taps = np.arange(TAPS)
        gram = auto[np.abs(taps[:, None] - taps[None, :])]
        gram[taps, taps] += 1e-3 * auto[0] + 1e-9
        w = np.linalg.solve(gram, cross)
        self._w = np.fft.rfft(np.concatenate([w, np.zeros(2 * FRAME - TAPS)]))
        X = np.fft.rfft(self._segment())
        self._power = np.maximum(X.real ** 2 + X.imag ** 2, 1e-3)

    def _residue(self, span: int = WINDOW) -> float:
        """How much of the last `span` samples of the microphone the filter leaves, 0 to 1 (or more)."""
        left = total = 0.0
        for back in range(0, span - FRAME + 1, FRAME):
            y = np.fft.irfft(np.fft.rfft(self._segment(back)) * self._w)[FRAME:]
            m = self._mic[WINDOW - back - FRAME:WINDOW - back]
            left += float((m - y) @ (m - y))
            total += float(m @ m)
        return left / total if total > 0 else 0.0

    def _find_delay(self) -> None:
        self._since_check = 0
        if self._frames * FRAME < WINDOW or _rms(self._ref[-WINDOW - MAX_DELAY:]) < SOUND:
            return
        mic = self._mic
        ref = self._ref[len(self._ref) - WINDOW - MAX_DELAY:]
        n = 1 << (len(ref) + WINDOW).bit_length()
        corr = np.fft.irfft(np.fft.rfft(ref, n) * np.conj(np.fft.rfft(mic, n)), n)
        # corr[k] = sum_i ref[i + k] * mic[i]: the mic's window against the
        # reference MAX_DELAY - k samples earlier.
        lags = corr[:MAX_DELAY + 1][::-1]
        best = int(np.argmax(np.abs(lags)))
        start = len(ref) - WINDOW - best
        shifted = ref[start:start + WINDOW]
        energy = float(shifted @ shifted) * float(mic @ mic)
        if energy <= 0 or abs(float(lags[best])) / np.sqrt(energy) < LOCK:
            return    # the echo is not what the microphone mostly holds: nothing to place it by
        if self.delay is None:
            self.delay = best
            self._fit()
            return
        before = self._residue()
        if before < READY:
            self.ready = True
        if before < (FITS if self.ready else READY):
            self._searching = False
            return    # cancelled where it is
        kept = self.delay, self._w, self._power
        if abs(best - kept[0]) > LEAD // 2:
            # The streams moved apart, the room did not: the filter, where the echo now is.
            self.delay = best
            if self._residue(RECENT) < FITS:
                self.moved += self.ready
                self._searching = False
                return
        self.delay = best
        self._fit()
        after = self._residue()
        # A window the reference cannot explain holds the person too, or a
        # slip of the streams (its newest part then fits badly): a fit to it
        # would learn a blur, so what was learnt before stays.
        if after >= min(before, FITS) or self._residue(RECENT) >= FITS:
            self.delay, self._w, self._power = kept
            return
        self.moved += self.ready and abs(best - kept[0]) > LEAD // 2   # (not the first placing's correction)
        self._searching = False


def _rms(x: NDArray[Any]) -> float:
    return float(np.sqrt(np.mean(x * x))) if len(x) else 0.0


class CancellingStream:
    """Stands in for the capture's PyAudio input stream: `read()` gives the
    microphone with the echo taken out.

    A daemon thread reads both streams from the start, frame by frame, and
    cancels; frames read while the capture has its stream stopped are dropped,
    as a stopped stream's would be. If reading fails, the capture's next
    `read()` raises that error and both streams start again; if it fails
    GIVE_UP times in a row (the microphone vanished), every read raises."""

    def __init__(self, mic: Any, ref: Any, canceller: Optional[EchoCanceller] = None):
        self._mic, self._ref = mic, ref
        self.canceller = canceller or EchoCanceller()
        self._ready: deque[bytes] = deque()
        self._buffered = 0
        self._active = True
        self._closed = False
        self._error: Optional[BaseException] = None
        self._dead = False   # reading failed for good: every read raises
        self._cond = threading.Condition()
        self._thread = threading.Thread(target=self._pump, name="Echo-Canceller", daemon=True)
        self._thread.start()

    def _pump(self) -> None:
        failures = 0
        try:
            while not self._closed:
                try:
                    mic = np.frombuffer(self._mic.read(FRAME, exception_on_overflow=False), np.int16)
                    ref = np.frombuffer(self._ref.read(FRAME, exception_on_overflow=False), np.int16)
                except Exception as e:
                    # The capture's next read raises it, once, as a plain stream's
                    # would; both streams start again, as the capture's next start
                    # would do with a plain one. Failing GIVE_UP times in a row, the
                    # microphone is gone: every read raises from then on.
                    failures += 1
                    with self._cond:
                        self._error, self._dead = e, failures >= GIVE_UP
                        self._cond.notify_all()
                    if self._dead:
                        return
                    self._restart()
                    continue
                failures = 0
                out = self.canceller.process(mic, ref).tobytes()
                with self._cond:
                    if self._active:
                        self._ready.append(out)
                        self._buffered += len(out) // 2
                        self._cond.notify_all()
        except BaseException as e:  # the capture's next read says what happened
            with self._cond:
                self._error, self._dead = e, True
                self._cond.notify_all()
        finally:
            # Closed here, not in close(): PortAudio must not free a stream
            # this thread may be blocked reading.
            for stream in (self._mic, self._ref):
                try:
                    stream.stop_stream()
                    stream.close()
                except Exception:
                    pass

    def read(self, num_frames: int, exception_on_overflow: bool = True) -> bytes:
        with self._cond:
            while True:
                if self._closed:
                    raise OSError("the stream is closed")
                error = self._error   # before what was read ahead of it: the reader hears at once
                if error is not None:
                    if not self._dead:
                        self._error = None
                    raise error
                if self._buffered >= num_frames:
                    break
                self._cond.wait(0.5)
            chunks, need = [], num_frames * 2
            while need:
                head = self._ready.popleft()
                if len(head) > need:
                    self._ready.appendleft(head[need:])
                    head = head[:need]
                chunks.append(head)
                need -= len(head)
            self._buffered -= num_frames
            return b"".join(chunks)

    def _restart(self) -> None:
        for stream in (self._mic, self._ref):
            try:
                stream.stop_stream()
                stream.start_stream()
            except Exception:
                pass   # the next read says whether it came back
        self.canceller.restarted()

    def start_stream(self) -> None:
        with self._cond:
            self._ready.clear()
            self._buffered = 0
            self._active = True

    def stop_stream(self) -> None:
        with self._cond:
            self._active = False
            self._ready.clear()
            self._buffered = 0

    def is_active(self) -> bool:
        return self._active and not self._closed

    def is_stopped(self) -> bool:
        return not self._active

    def close(self) -> None:
        """Ends the reading thread, which closes both streams after the frame
        it is reading; waits for that (a frame's time), so a program may stop
        its sound server next."""
        with self._cond:
            self._closed = True
            self._cond.notify_all()
        if threading.current_thread() is not self._thread:
            self._thread.join(timeout=2.0)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._mic, name)


_opening = threading.Lock()


def open_reference(audio: Any, source: str, *args: Any, **kwargs: Any) -> Any:
    """Opens an input stream like `kwargs` on the sound server's source
    `source`, through ALSA's pulse plugin: PulseAudio's client library takes
    the source from PULSE_SOURCE when the stream is opened. Without that
    plugin the stream would be the microphone itself, and the canceller
    would take the person out: that is an error."""
    pulse = [i for i in range(audio.get_device_count())
             if audio.get_device_info_by_index(i).get("name") == "pulse"]
    if not pulse:
        raise OSError("the echo reference needs a PulseAudio or PipeWire sound server reached "
                      "through ALSA's pulse plugin (Debian: libasound2-plugins)")
    kwargs["input_device_index"] = pulse[0]
    with _opening:
        before = os.environ.get("PULSE_SOURCE")
        os.environ["PULSE_SOURCE"] = source
        try:
            return audio.open(*args, **kwargs)
        finally:
            if before is None:
                del os.environ["PULSE_SOURCE"]
            else:
                os.environ["PULSE_SOURCE"] = before
