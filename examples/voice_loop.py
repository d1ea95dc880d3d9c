"""One spoken exchange with cantorel.manage: listen, recognise, reply, speak.

By default nothing needs sound hardware: a private PulseAudio server provides a
virtual microphone and speaker, a human recording is played into the
microphone, `Input._recognize()` captures it (the speech-probability model
decides when the speaker has finished) and pocketsphinx turns it into text; a
stand-in language model streams a reply of several sentences in small chunks
into `Output._add_stream()`, which speaks each sentence through espeak-ng and
simpleaudio while the rest is still arriving; `Output._wait_all()` returns
after the last sound, and what the speaker played is saved as a WAV file.

    python examples/voice_loop.py                    # one exchange on virtual devices
    python examples/voice_loop.py --wav my.wav       # your own utterance
    python examples/voice_loop.py --plot vad.png     # draw what the detector saw
    python examples/voice_loop.py --real-devices     # talk to it; Ctrl-C ends
"""
from __future__ import annotations

import argparse
import itertools
import math
import os
import signal
import sys
import tempfile
import threading
import time
import warnings
import wave
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Iterator, Optional

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
for _p in (HERE, ROOT / "tools"):
    if str(_p) not in sys.path:
        sys.path.insert(0, str(_p))

RATE = 16000            # capture: what Input's recorder reads
FRAME = 512             # samples per capture frame (32 ms)
WINDOW = 10             # frames in the capture's moving average
ENTER, STAY = 0.6, 0.35  # the capture's thresholds on that average
SPEECH = 0.5            # a frame whose own probability is above this is speech
PLAY_RATE = 48000       # playback: what the TTS adapter returns
LEAD_SILENCE = 0.5      # seconds of silence played before the utterance
TAIL_SILENCE = 1.5      # and after it (the capture waits for `sld` seconds of it)
SLD = 1                 # Input's own default: seconds of silence that end an utterance
MAX_UTTERANCE = 30.0    # seconds; one utterance, not a recording session
DEFAULT_WAV = Path("/usr/share/sounds/alsa/Front_Center.wav")
DEFAULT_OUT = ROOT / "build" / "voice_loop" / "speaker.wav"
MODEL = Path("~/.cache/sonvale/voicevd.pt")
INSTALL_MODEL = "bash tools/setup.sh (or: python tools/fetch_model.py)"
CHUNK_SIZES = (3, 4)    # characters per chunk of the stand-in model's stream
CHUNK_DELAY = 0.05      # seconds between chunks, about a local model's pace
# The model hands its probability back as a (1, 1) array; float() of it warns on
# every frame with numpy 1.25 and later, and the value is right.
NDIM_WARNING = "Conversion of an array with ndim > 0"


class LoopError(Exception):
    """A problem the user can fix; the message says how. Printed as one line."""


def say(msg: str = "", end: str = "\n") -> None:
    print(msg, end=end, flush=True)


class Step:
    """Prints `what ...` before a long step and `done (1.2 s)` after it."""

    def __init__(self, what: str):
        self.what = what

    def __enter__(self) -> "Step":
        self.t0 = time.monotonic()
        say(f"{self.what} ...", end=" ")
        return self

    def __exit__(self, kind, exc, tb) -> None:
        if kind is None:
            say(f"done ({time.monotonic() - self.t0:.1f} s)")
        else:
            say("")


# ---------------------------------------------------------------- the utterance

def _decode(raw: bytes, width: int) -> np.ndarray:
    """PCM bytes of `width` bytes per sample as float64 on the 16-bit scale."""
    if width == 1:  # WAV stores 8-bit samples unsigned
        return (np.frombuffer(raw, np.uint8).astype(np.float64) - 128.0) * 256.0
    if width == 2:
        return np.frombuffer(raw, "<i2").astype(np.float64)
    if width == 3:
        b = np.frombuffer(raw, np.uint8).reshape(-1, 3).astype(np.int32)
        v = b[:, 0] | (b[:, 1] << 8) | (b[:, 2] << 16)
        return np.where(v >= 1 << 23, v - (1 << 24), v).astype(np.float64) / 256.0
    if width == 4:
        return np.frombuffer(raw, "<i4").astype(np.float64) / 65536.0
    raise LoopError(f"unsupported sample width of {width} bytes")


def resample(x: np.ndarray, rate_in: int, rate_out: int) -> np.ndarray:
    """Mono samples (16-bit scale, float) from rate_in to rate_out."""
    if rate_in == rate_out or not len(x):
        return np.asarray(x, dtype=np.float64)
    try:
        import soxr
    except ImportError:
        raise LoopError("resampling needs soxr: pip install '.[demo]' (or bash tools/setup.sh)") from None
    return soxr.resample(np.asarray(x, dtype=np.float64), rate_in, rate_out)


def load_utterance(path: Path) -> tuple[np.ndarray, str]:
    """The WAV file as 16 kHz mono int16 samples, and what was done to get them.

    8/16/24/32-bit PCM, any channel count and any rate are converted; anything
    else is refused with a LoopError that says why and how to convert it."""
    convert = f"convert it with: sox '{path}' -r 16000 -c 1 -b 16 out.wav"
    if not path.is_file():
        raise LoopError(f"{path}: no such file")
    try:
        with wave.open(str(path), "rb") as w:
            channels, width, rate, n = w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes()
            raw = w.readframes(n)
    except (wave.Error, EOFError) as e:
        raise LoopError(f"{path} is not a PCM WAV file ({e}); {convert}") from None
    if width not in (1, 2, 3, 4):
        raise LoopError(f"{path}: {8 * width}-bit samples are not supported; {convert}")
    if channels < 1 or rate < 1000:
        raise LoopError(f"{path}: implausible header ({channels} channels, {rate} Hz); {convert}")
    x = _decode(raw, width)
    x = x[: len(x) - len(x) % channels].reshape(-1, channels).mean(axis=1)
    seconds = len(x) / rate
    if seconds < 0.2:
        raise LoopError(f"{path}: {seconds:.2f} s of audio is too short for an utterance")
    if seconds > MAX_UTTERANCE:
        raise LoopError(f"{path}: {seconds:.1f} s is longer than one utterance "
                        f"(at most {MAX_UTTERANCE:.0f} s); cut it, e.g. sox '{path}' out.wav trim 0 10")
    done = []
    if width != 2:
        done.append(f"{8 * width}-bit to 16-bit")
    if channels != 1:
        done.append(f"{channels} channels mixed to mono")
    if rate != RATE:
        done.append(f"resampled from {rate} Hz to 16 kHz")
        x = resample(x, rate, RATE)
    samples = np.clip(np.rint(x), -32768, 32767).astype(np.int16)
    return samples, (", ".join(done) if done else "16 kHz mono 16-bit, used as it is")


def with_silence(samples: np.ndarray, lead: float = LEAD_SILENCE, tail: float = TAIL_SILENCE) -> np.ndarray:
    z = np.zeros
    return np.concatenate([z(int(lead * RATE), np.int16), samples, z(int(tail * RATE), np.int16)])


# ---------------------------------------------------------------- what the detector sees

@dataclass
class Detection:
    """Per-frame speech probabilities of some samples and the capture's decisions on them."""
    probs: np.ndarray            # one per 512-sample frame
    smoothed: np.ndarray         # mean of the last 10 (fewer at the start)
    start: Optional[int]         # frame where the average first rises above 0.6
    last_speech: Optional[int]   # last frame the capture counts as speech (average above 0.35)
    speech_end: Optional[int]    # last frame whose own probability is above 0.5

    def seconds(self, frame: Optional[int], end: bool = False) -> Optional[float]:
        return None if frame is None else (frame + (1 if end else 0)) * FRAME / RATE


def detect(samples: np.ndarray, vad=None) -> Detection:
    """Scores `samples` frame by frame with a fresh VoiceVD, as the capture loop does."""
    if vad is None:
        from cantorel.manage import VoiceVD
        vad = VoiceVD()
    x = np.asarray(samples, dtype="<i2")
    n = len(x) // FRAME
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message=NDIM_WARNING, category=DeprecationWarning)
        probs = np.array([vad(x[i * FRAME:(i + 1) * FRAME].tobytes()) for i in range(n)], dtype=np.float64)
    smoothed = np.array([probs[max(0, i - WINDOW + 1):i + 1].mean() for i in range(n)])
    start = last = None
    for i, avg in enumerate(smoothed):
        if start is None:
            if avg > ENTER:
                start = last = i
        elif avg > STAY:
            last = i
    voiced = np.flatnonzero(probs > SPEECH)
    if start is not None:
        voiced = voiced[voiced >= max(0, start - WINDOW)]
    return Detection(probs, smoothed, start, last, int(voiced[-1]) if len(voiced) else None)


# ---------------------------------------------------------------- the host's models

class TimedRecognizer:
    """Wraps the recogniser: remembers when `generate` ran and what it was given."""

    def __init__(self, asr):
        self.asr = asr
        self.calls: list[tuple[float, float, np.ndarray]] = []

    def generate(self, samples: np.ndarray) -> str:
        t0 = time.monotonic()
        text = self.asr.generate(samples)
        self.calls.append((t0, time.monotonic(), samples))
        return text


class TimedTTS:
    """Wraps the synthesiser: remembers when each piece's audio was ready and how long it is.
    Called on the module's TTS worker thread."""

    def __init__(self, tts):
        self.tts = tts
        self.pieces: list[tuple[float, float, float]] = []  # (start, ready, seconds of audio)

    def ort_predict(self, text: str) -> bytes:
        t0 = time.monotonic()
        audio = self.tts.ort_predict(text)
        self.pieces.append((t0, time.monotonic(), len(audio) / 2 / PLAY_RATE))
        return audio

    def reset(self) -> None:
        self.pieces = []


def load_hosts():
    """The recogniser and the synthesiser of examples/hosts/ (a host program brings its own)."""
    try:
        from hosts.espeak_tts import EspeakTTS
        from hosts.pocketsphinx_asr import PocketSphinxASR
    except ImportError as e:
        raise LoopError(f"the demo's recogniser or voice is not installed ({e}): "
                        "pip install '.[demo]' (or bash tools/setup.sh)") from None
    try:
        return PocketSphinxASR(), EspeakTTS()
    except Exception as e:
        raise LoopError(f"cannot set up the recogniser or the voice: {e}") from None


# ---------------------------------------------------------------- the stand-in language model

def compose_reply(heard: Optional[str]) -> str:
    """A rule-based answer of five sentences that quotes what it heard."""
    if not heard:
        return ("I heard something, but I could not make out any words. "
                "Perhaps it was too quiet, or too short. "
                "I am a stand-in for a language model, so I cannot guess. "
                "Each sentence is spoken while the rest is still arriving. "
                "Please try again, a little closer to the microphone.")
    words = heard.split()
    n = len(words)
    greeting = "Hello to you too! " if {"hello", "hi", "hey"} & {w.lower() for w in words} else ""
    return (f'{greeting}You said: "{heard}". '
            f"That was {n} word{'s' if n != 1 else ''}, and the last one was {words[-1]}. "
            "I am a stand-in for a language model, so I repeat what I hear. "
            "Each sentence is spoken while the rest is still arriving. "
            "Say something else, and I will answer.")


class StandInModel:
    """Streams a reply the way a local language model does: a few characters at a time."""

    def __init__(self, sizes=CHUNK_SIZES, delay: float = CHUNK_DELAY):
        self.sizes, self.delay = sizes, delay
        self.first_chunk: Optional[float] = None
        self.last_chunk: Optional[float] = None

    def stream(self, text: str) -> Iterator[str]:
        self.first_chunk = self.last_chunk = None
        sizes = itertools.cycle(self.sizes)
        pos = 0
        while pos < len(text):
            if pos:
                time.sleep(self.delay)
            n = next(sizes)
            now = time.monotonic()
            if self.first_chunk is None:
                self.first_chunk = now
            self.last_chunk = now
            yield text[pos:pos + n]
            pos += n


# ---------------------------------------------------------------- one exchange

@dataclass
class Exchange:
    heard: Optional[str] = None
    reply: str = ""
    captured: Optional[np.ndarray] = None
    detection: Optional[Detection] = None
    listen_start: float = 0.0
    speech_end: Optional[float] = None      # when the speaker stopped (from the captured samples)
    capture_end: Optional[float] = None     # when the capture handed its samples over
    recognised: Optional[float] = None      # when _recognize returned
    recognition: Optional[float] = None     # seconds inside the recogniser
    first_chunk: Optional[float] = None
    last_chunk: Optional[float] = None
    first_audio: Optional[float] = None     # first piece synthesised
    first_sound: Optional[float] = None     # first sample heard at the speaker (virtual devices)
    spoken: Optional[float] = None          # when _wait_all returned
    synthesised: float = 0.0                # seconds of speech the TTS produced
    pieces: int = 0
    recording: Optional[np.ndarray] = None  # what the virtual speaker played, 48 kHz
    notes: list[str] = field(default_factory=list)

    def timings(self) -> dict[str, Optional[float]]:
        def d(a, b):
            return None if a is None or b is None else b - a
        sound = self.first_sound if self.first_sound is not None else self.first_audio
        return {
            "end of speech -> recognised text": d(self.speech_end, self.recognised),
            "waiting for the end of the utterance": d(self.speech_end, self.capture_end),
            "recognition": self.recognition,
            "first reply chunk -> first sound": d(self.first_chunk, sound),
            "end of speech -> first sound": d(self.speech_end, sound),
            "total": d(self.listen_start, self.spoken),
        }


def first_voiced(samples: np.ndarray, rate: int, level: int = 200) -> Optional[float]:
    """Seconds from the start of `samples` to the first one louder than `level`."""
    loud = np.flatnonzero(np.abs(samples.astype(np.int32)) > level)
    return None if not len(loud) else loud[0] / rate


def voiced_span(samples: np.ndarray, rate: int, level: int = 200) -> float:
    """Seconds from the first to the last sample louder than `level`."""
    loud = np.flatnonzero(np.abs(samples.astype(np.int32)) > level)
    return 0.0 if not len(loud) else (loud[-1] - loud[0] + 1) / rate


def listen(inp, asr: TimedRecognizer, ex: Exchange, before: Callable[[], None] | None = None) -> None:
    """Input._recognize(), and when each part of it happened."""
    asr.calls.clear()
    ex.listen_start = time.monotonic()
    if before is not None:
        before()
        checkpoint()
    ex.heard = inp._recognize()
    ex.recognised = time.monotonic()
    if asr.calls:
        t_in, t_out, samples = asr.calls[-1]
        ex.captured = np.array(samples, dtype=np.int16)
        ex.capture_end, ex.recognition = t_in, t_out - t_in
        ex.detection = detect(ex.captured)
        end = ex.detection.seconds(ex.detection.speech_end, end=True)
        if end is not None:
            # The last captured sample was read just before generate() was called.
            ex.speech_end = t_in - (len(ex.captured) / RATE - end)


def speak(out, tts: TimedTTS, lm: StandInModel, ex: Exchange, recorder=None) -> None:
    """Streams the reply into Output._add_stream() and waits for its last sound."""
    tts.reset()
    ex.reply = compose_reply(ex.heard)
    out._add_stream(lm.stream(ex.reply))
    out._wait_all()
    ex.spoken = time.monotonic()
    ex.first_chunk, ex.last_chunk = lm.first_chunk, lm.last_chunk
    if tts.pieces:
        ex.first_audio = min(p[1] for p in tts.pieces)
        ex.synthesised = sum(p[2] for p in tts.pieces)
        ex.pieces = len(tts.pieces)
    if recorder is not None:
        time.sleep(0.3)  # what was played last is still on its way through the server
        stopped = time.monotonic()
        samples, rate = recorder.stop()
        ex.recording = samples
        first = first_voiced(samples, rate)
        if first is not None:
            # The recording ends where stop() cut it: map sample times back from there.
            ex.first_sound = stopped - (len(samples) / rate - first)


def report(ex: Exchange, virtual: bool) -> None:
    say()
    say(f"heard:    {ex.heard if ex.heard else '(nothing recognised)'}")
    say(f"replied:  {ex.reply}")
    say(f"spoken:   {ex.synthesised:.2f} s of synthesised speech in {ex.pieces} pieces")
    t = ex.timings()

    def line(label: str, value: Optional[float], note: str = "") -> None:
        shown = "n/a" if value is None else f"{value:.2f} s"
        say(f"  {label + ':':36} {shown:>8}{('   ' + note) if note else ''}")

    say("timings:")
    line("end of speech -> recognised text", t["end of speech -> recognised text"],
         "" if t["recognition"] is None or t["waiting for the end of the utterance"] is None else
         f"({t['waiting for the end of the utterance']:.2f} s until {SLD} s of silence ended the capture, "
         f"{t['recognition']:.2f} s recognition)")
    line("first reply chunk -> first sound", t["first reply chunk -> first sound"],
         "" if virtual else "(until the first piece was ready to play)")
    line("end of speech -> first sound", t["end of speech -> first sound"])
    line("total", t["total"], "(start of listening -> end of the reply's last sound)")


# ---------------------------------------------------------------- the plot

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


def save_wav(path: Path, samples: np.ndarray, rate: int) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(np.asarray(samples, dtype="<i2").tobytes())


# ---------------------------------------------------------------- set-up checks

def check_model() -> None:
    path = MODEL.expanduser()
    if not path.is_file():
        raise LoopError(f"the speech-probability model is missing: {path}; install it with {INSTALL_MODEL}")


def import_module():
    try:
        from cantorel import manage
    except ImportError as e:
        raise LoopError(f"cannot import cantorel.manage ({e}); build and install it with: bash tools/setup.sh") from None
    return manage


class Deadline:
    """Interrupts the main thread if a step has not ended within `seconds`, so a
    capture that never hears speech cannot hang the demo."""

    def __init__(self, seconds: float, what: str):
        self.seconds, self.what, self.expired = seconds, what, False

    def _fire(self) -> None:
        self.expired = True
        # A real signal, sent to the main thread: it wakes a blocking join or queue
        # wait there, which a merely simulated interrupt would not.
        main = threading.main_thread().ident
        if main is not None:
            signal.pthread_kill(main, signal.SIGINT)

    def __enter__(self) -> "Deadline":
        self.timer = threading.Timer(self.seconds, self._fire)
        self.timer.daemon = True
        self.timer.start()
        return self

    def __exit__(self, kind, exc, tb) -> None:
        self.timer.cancel()
        if kind is KeyboardInterrupt and self.expired:
            raise LoopError(f"{self.what} did not finish within {self.seconds:.0f} s")


_quiet = False


def quiet_workers_from_now_on() -> None:
    """After Ctrl-C the devices go away under threads that are still using them: the
    module's capture and playback workers, PortAudio's and simpleaudio's own. What
    they raise or print then is expected and not the user's business, so from here
    on only this program's own messages reach the terminal."""
    global _quiet
    if _quiet:
        return
    _quiet = True
    threading.excepthook = lambda args: None
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):
            pass
    # Python-level messages go on through a copy of the terminal's stderr; what
    # native code writes to file descriptor 2, and the workers' prints, go nowhere.
    sys.stderr = os.fdopen(os.dup(2), "w", buffering=1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    os.close(devnull)
    sys.stdout = open(os.devnull, "w")


_interrupted = threading.Event()


def _on_signal(signum, frame):
    _interrupted.set()
    # While the main thread starts a child process, the handler may run inside a
    # fork hook, where CPython drops the exception (printing "Exception ignored")
    # and the program would go on as if nothing had happened. There the
    # interrupt waits for the next checkpoint(), right after the start.
    while frame is not None:
        if frame.f_code.co_name == "_execute_child" and frame.f_globals.get("__name__") == "subprocess":
            return
        frame = frame.f_back
    raise KeyboardInterrupt


def checkpoint() -> None:
    """Raises the KeyboardInterrupt that came while a child process was starting."""
    if _interrupted.is_set():
        raise KeyboardInterrupt


class ProbeNoise:
    text = ""


@contextmanager
def device_probe_noise_hidden():
    """PortAudio probes every ALSA card and JACK when PyAudio starts, and each probe
    that finds nothing complains on stderr (dozens of lines on a machine without a
    sound card). Those lines go to a temporary file; if opening the devices fails
    they are kept in the yielded object's `text` for the caller to show when they
    can help."""
    noise = ProbeNoise()
    sys.stderr.flush()
    saved = os.dup(2)
    ok = False
    with tempfile.TemporaryFile() as tmp:
        os.dup2(tmp.fileno(), 2)
        try:
            yield noise
            ok = True
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            if not ok:
                tmp.seek(0)
                noise.text = tmp.read().decode(errors="replace")


# ---------------------------------------------------------------- the runs

def make_models(manage, asr, tts, max_time: int):
    with Step("loading the speech-probability model and opening the microphone (Input)"):
        noise = ProbeNoise()
        try:
            with device_probe_noise_hidden() as noise:
                inp = manage.Input(asr, sld=SLD, max_time=max_time)
        except OSError as e:
            # PortAudio's own complaints add nothing to its error here.
            raise LoopError(f"no usable input device ({e}); connect a microphone, or run without "
                            "--real-devices to use the virtual devices") from None
        except Exception as e:
            if "voicevd.pt" in str(e) or type(e).__module__.startswith("onnxruntime"):
                raise LoopError(f"the speech-probability model cannot be loaded ({e}); "
                                f"reinstall it with {INSTALL_MODEL} --force") from None
            sys.stderr.write(noise.text)
            raise
    with Step("starting the speech output pipeline (Output: TTS and playback threads)"):
        out = manage.Output(tts)
    return inp, out


def start_devices(va, keep: bool):
    """The private PulseAudio server: a fresh one, or with --keep-devices the one
    left running by an earlier run (started in the directory the CLI uses)."""
    try:
        with Step("starting the virtual microphone and speaker (a private PulseAudio server)"):
            if keep:
                state = va.DEFAULT_CLI_DIR / va.STATE_FILE
                audio = va.VirtualAudio.attach(va.DEFAULT_CLI_DIR) if state.exists() else None
                if audio is None or not audio.running():
                    if audio is not None:
                        audio.stop()
                    audio = va.VirtualAudio(va.DEFAULT_CLI_DIR, detach=True).start()
                return audio
            return va.VirtualAudio().start()
    except va.VirtualAudioError as e:
        raise LoopError(f"cannot start the virtual sound devices: {e}; "
                        "or use --real-devices with a real microphone and speaker") from None


def run_virtual(args) -> int:
    import virtual_audio as va

    samples, how = load_utterance(args.wav)
    manage = import_module()
    played = with_silence(samples)
    speech_seconds = len(samples) / RATE
    # Long enough that the end of speech, not the time limit, ends the capture.
    max_time = max(3, math.ceil(LEAD_SILENCE + speech_seconds + SLD + 1))

    audio = start_devices(va, args.keep_devices)
    say(f"virtual devices: {audio.directory} (pulseaudio pid {audio._pids.get('pulseaudio')})")
    recorder = None
    try:
        checkpoint()
        with Step(f"checking {args.wav.name} for speech"):
            found = detect(samples)
        if found.start is None:
            raise LoopError(f"{args.wav}: the speech detector finds no speech in it "
                            f"(its average never rises above {ENTER})")
        with Step("loading the recogniser (pocketsphinx) and the voice (espeak-ng)"):
            asr_host, tts_host = load_hosts()
        asr, tts = TimedRecognizer(asr_host), TimedTTS(tts_host)
        audio.apply_to_current_process()  # before PortAudio and ALSA are first used
        inp, out = make_models(manage, asr, tts, max_time)
        lm = StandInModel()
        ex = Exchange()
        player = []

        def play():
            player.append(audio.play_into_microphone(played, RATE, wait=False))

        say(f"listening: playing {args.wav.name} ({speech_seconds:.2f} s; {how}) with "
            f"{LEAD_SILENCE} s of silence before and {TAIL_SILENCE} s after into the microphone; "
            f"Input(recognizer, sld={SLD}, max_time={max_time})._recognize() ...")
        with Deadline(len(played) / RATE + 30, "listening"):
            listen(inp, asr, ex, before=play)
        for p in player:
            p.wait(30)
        checkpoint()
        say(f"replying: the stand-in language model streams {'-'.join(map(str, CHUNK_SIZES))} characters "
            f"every {CHUNK_DELAY * 1000:.0f} ms into Output._add_stream(); espeak-ng speaks each piece ...")
        recorder = audio.record_speaker()
        checkpoint()
        with Deadline(180, "speaking the reply"):
            speak(out, tts, lm, ex, recorder)
        if ex.recording is not None:
            save_wav(args.out, ex.recording, va.SPEAKER_RATE)
            say(f"saved what the speaker played: {args.out} ({len(ex.recording) / va.SPEAKER_RATE:.2f} s, "
                f"{voiced_span(ex.recording, va.SPEAKER_RATE):.2f} s from its first to its last sound)")
        if args.plot:
            plot(ex, args.plot)
            say(f"saved the plot: {args.plot}")
        report(ex, virtual=True)
        if args.keep_devices:
            say(f"\nthe virtual devices keep running in {audio.directory}; use them with\n"
                f"  eval \"$(python tools/virtual_audio.py env)\"\nand stop them with\n"
                f"  python tools/virtual_audio.py stop")
        if not ex.heard:
            say("voice_loop: nothing was recognised")
            return 1
        return 0
    except BaseException:
        quiet_workers_from_now_on()
        raise
    finally:
        if recorder is not None:
            recorder.__exit__(None, None, None)  # stops it unless speak() already did
        if not args.keep_devices:
            audio.stop()


def run_real(args) -> int:
    manage = import_module()
    with Step("loading the recogniser (pocketsphinx) and the voice (espeak-ng)"):
        asr_host, tts_host = load_hosts()
    asr, tts = TimedRecognizer(asr_host), TimedTTS(tts_host)
    inp, out = make_models(manage, asr, tts, max_time=15)
    lm = StandInModel()
    say("talk to it: say something, then pause for a second. Ctrl-C ends the conversation.")
    turns = 0
    try:
        while True:
            ex = Exchange()
            say("\nlistening ...")
            listen(inp, asr, ex)
            say("replying ...")
            speak(out, tts, lm, ex)
            report(ex, virtual=False)
            turns += 1
            if args.plot:
                plot(ex, args.plot)
                say(f"saved the plot of this turn: {args.plot}")
    except KeyboardInterrupt:
        say(f"\nconversation ended after {turns} exchange{'s' if turns != 1 else ''}")
        quiet_workers_from_now_on()
        return 0


def parse_args(argv):
    ap = argparse.ArgumentParser(
        prog="voice_loop.py",
        description="One spoken exchange with cantorel.manage: listen, recognise, reply, speak. "
                    "Without --real-devices it needs no sound hardware: it starts a virtual microphone "
                    "and speaker (a private PulseAudio server) and plays a recording into the microphone.",
        epilog="Set-up first: bash tools/setup.sh (or bash tools/main.sh, which runs this after it).")
    ap.add_argument("--wav", type=Path, default=DEFAULT_WAV, metavar="FILE",
                    help=f"the utterance to play into the virtual microphone (default {DEFAULT_WAV}); "
                         "any PCM WAV, converted to 16 kHz mono 16-bit")
    ap.add_argument("--out", type=Path, default=DEFAULT_OUT, metavar="FILE",
                    help="where to save what the virtual speaker played (default %(default)s)")
    ap.add_argument("--plot", type=Path, metavar="FILE.png",
                    help="draw the captured waveform, the speech probabilities and the detected start and end")
    ap.add_argument("--keep-devices", action="store_true",
                    help="leave the virtual devices running afterwards (and reuse them if they already are); "
                         "stop them with: python tools/virtual_audio.py stop")
    ap.add_argument("--real-devices", action="store_true",
                    help="use the default microphone and speaker and hold a conversation until Ctrl-C")
    args = ap.parse_args(argv)
    if args.real_devices and args.keep_devices:
        ap.error("--keep-devices is about the virtual devices; it makes no sense with --real-devices")
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, _on_signal)
        signal.signal(signal.SIGTERM, _on_signal)
    warnings.filterwarnings("ignore", message=NDIM_WARNING, category=DeprecationWarning)
    try:
        check_model()
        return run_real(args) if args.real_devices else run_virtual(args)
    except LoopError as e:
        print(f"voice_loop: {e}", file=sys.stderr, flush=True)
        return 2
    except KeyboardInterrupt:
        quiet_workers_from_now_on()
        print("\nvoice_loop: interrupted", file=sys.stderr, flush=True)
        return 130
    except Exception:
        # Ctrl-C inside a library's with-block (writing the WAV for the
        # microphone, say) can come out as the error its clean-up then hits.
        if not _interrupted.is_set():
            raise
        quiet_workers_from_now_on()
        print("\nvoice_loop: interrupted", file=sys.stderr, flush=True)
        return 130


if __name__ == "__main__":
    sys.exit(main())
