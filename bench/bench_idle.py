"""Benchmark: what the voice layer costs while nothing happens.

1. Waiting for speech. Input(host)._recognize() on a background thread,
   listening in real time to the silent virtual microphone of
   cantorel_dev.virtual_audio; the process's CPU time (all its threads: the
   capture, PortAudio's, ONNX Runtime's pool) over a window of wall time,
   as a share of one core. A short recording played into the microphone
   then ends the capture. Contenders, in interleaved rounds:
     module          the module as it is (its session single-threaded, no spinning)
     module-default  the module given an `ort` without SessionOptions, so
                     its session gets ONNX Runtime's default options
     python-default  the listening code as plain Python (the twin, cantorel_dev.twin)
                     with a plain Python detector on a default-options session
     python-quiet    the same with the session options the module uses
     read-only       a Python loop that only reads the microphone (no model):
                     the floor PyAudio and the sound server's client set
   Target: module at most 3% of one core.

2. A frame back to back: VoiceVD.__call__ on the module's session against
   the same detector with its session replaced by a default-options one,
   wall time and CPU time per frame. Target: module/default at most 1.0
   (paired, wall time).

3. Output's two workers: the process's CPU share with an Output standing by,
   and while it speaks a reply of silent pieces (a TTS that returns
   precomputed 48 kHz silence) through real simpleaudio on the virtual speaker.

Run with OPENBLAS_NUM_THREADS=1 (set here unless given) so numpy's idle BLAS
threads stay out of the figures. Not a test (pytest does not collect it):
    .venv/bin/python bench/bench_idle.py [--rounds N] [--window S] [--calls N]
"""
import argparse
import os
import statistics
import sys
import threading
import time
import types

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

from cantorel_dev.speech_frames import FRAME, FRONT_CENTER, RATE, wav_16k  # noqa: E402
from model_home import model_home  # noqa: E402

IDLE_TARGET = 0.03
FRAME_TARGET = 1.0
SPINNING = "session.intra_op.allow_spinning"


def quiet_options(ort):
    options = ort.SessionOptions()
    options.intra_op_num_threads = 1
    options.inter_op_num_threads = 1
    options.add_session_config_entry(SPINNING, "0")
    return options


def session(ort, quiet):
    path = os.path.expanduser("~/.cache/sonvale/voicevd.pt")
    if quiet:
        return ort.InferenceSession(path, sess_options=quiet_options(ort),
                                    providers=["CPUExecutionProvider"])
    return ort.InferenceSession(path, providers=["CPUExecutionProvider"])


def python_detector(ort, quiet):
    """The detector as plain Python, for the twin's `VoiceVD` global."""

    class VoiceVD:
        def __init__(self):
            self.sess = session(ort, quiet)
            self.state = np.zeros((2, 1, 128), dtype=np.float32)
            self.ctx = np.zeros((1, 64), dtype=np.float32)
            self.sr = np.array(16000, dtype=np.int64)

        def __call__(self, pcm_bytes):
            wav = np.frombuffer(pcm_bytes, dtype=np.int16).astype(np.float32) / 32768.0
            x = np.concatenate((self.ctx, wav[np.newaxis, :]), axis=1)
            self.ctx = x[:, -64:]
            prob, self.state = self.sess.run(None, {"input": x.astype(np.float32),
                                                    "state": self.state, "sr": self.sr})
            return float(prob.reshape(()))

    return VoiceVD


class Host:
    def generate(self, samples):
        return "ok"


def listeners(manage, ort):
    from cantorel_dev import twin
    plain_ort = types.SimpleNamespace(InferenceSession=ort.InferenceSession)

    def module():
        return manage.Input(Host())

    def module_default():
        saved = manage.ort
        manage.ort = plain_ort  # no SessionOptions: the plain call
        try:
            return manage.Input(Host())
        finally:
            manage.ort = saved

    def python(quiet):  # not `twin`: that would hide the module imported above
        return lambda: twin.load(VoiceVD=python_detector(ort, quiet)).Input(Host())

    return {"module": module, "module-default": module_default,
            "python-default": python(False), "python-quiet": python(True),
            "read-only": ReadOnly}


class ReadOnly:
    """Reads FRAME-sample frames until one is loud; no model, no window."""

    def __init__(self):
        import pyaudio
        pa = pyaudio.PyAudio()
        stream = pa.open(format=pyaudio.paInt16, channels=1, rate=RATE, input=True,
                         frames_per_buffer=FRAME)
        self.recorder = types.SimpleNamespace(pa=pa, stream=stream)

    def _recognize(self):
        stream = self.recorder.stream
        stream.start_stream()
        while np.abs(np.frombuffer(stream.read(FRAME, exception_on_overflow=False),
                                   np.int16)).max() < 3000:
            pass
        stream.stop_stream()
        return "ok"


def waiting_share(audio, make, window, ending):
    """CPU share of one core while a fresh listener waits `window` seconds."""
    for attempt in range(5):
        try:
            listener = make()
            break
        except OSError as e:  # PortAudio's device probe timing out on a loaded machine
            print(f"bench: opening the microphone failed ({e}); again", file=sys.stderr)
            time.sleep(1)
    else:
        raise SystemExit("bench: the microphone could not be opened")
    rec = listener.recorder
    result = []
    thread = threading.Thread(target=lambda: result.append(listener._recognize()), daemon=True)
    try:
        thread.start()
        time.sleep(0.5)  # the stream running, the first frames scored
        cpu, wall = time.process_time(), time.monotonic()
        time.sleep(window)
        cpu, wall = time.process_time() - cpu, time.monotonic() - wall
        alive = thread.is_alive()
        player = audio.play_into_microphone(ending, RATE, wait=False)
        thread.join(15)
        player.wait(15)
    finally:
        rec.stream.close()
        rec.pa.terminate()
    if not alive or thread.is_alive() or result != ["ok"]:
        raise SystemExit(f"bench: the capture did not wait and then end ({alive}, {result})")
    return cpu / wall


def frame_times(manage, ort, calls, rounds):
    quiet = manage.VoiceVD()
    default = manage.VoiceVD()
    default.sess = session(ort, quiet=False)
    rng = np.random.default_rng(7)
    frame = (rng.standard_normal(FRAME) * 3000).astype(np.int16).tobytes()
    detectors = {"module": quiet, "default": default}
    for d in detectors.values():  # warm-up
        for _ in range(calls // 4):
            d(frame)
    wall = {k: [] for k in detectors}
    cpu = {k: [] for k in detectors}
    order = list(detectors)
    for r in range(rounds):
        for name in order[r % 2:] + order[:r % 2]:
            d = detectors[name]
            c, w = time.process_time(), time.perf_counter()
            for _ in range(calls):
                d(frame)
            wall[name].append((time.perf_counter() - w) / calls)
            cpu[name].append((time.process_time() - c) / calls)
    return wall, cpu


def output_shares(manage, window, pieces):
    """Output's CPU share standing by, and while speaking `pieces` 1 s pieces."""
    silence = bytes(2 * 48000)

    class SilentTTS:
        def ort_predict(self, text):
            return silence

    mouth = manage.Output(SilentTTS())
    time.sleep(0.5)
    cpu, wall = time.process_time(), time.monotonic()
    time.sleep(window)
    idle = (time.process_time() - cpu) / (time.monotonic() - wall)
    reply = ["Piece number %d is here. " % i for i in range(pieces)]
    cpu, wall = time.process_time(), time.monotonic()
    mouth._add_stream(iter(reply))
    mouth._wait_all()
    elapsed = time.monotonic() - wall
    speaking = (time.process_time() - cpu) / elapsed
    return idle, speaking, elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3, help="listening rounds per contender")
    parser.add_argument("--window", type=float, default=4.0, help="seconds measured per round")
    parser.add_argument("--calls", type=int, default=500, help="frames per back-to-back round")
    parser.add_argument("--frame-rounds", type=int, default=21)
    parser.add_argument("--pieces", type=int, default=5, help="1 s pieces Output speaks")
    args = parser.parse_args()
    from cantorel_dev import virtual_audio as va
    speech = wav_16k(FRONT_CENTER)
    ending = np.concatenate([speech, np.zeros(RATE, np.int16)])
    with model_home(), va.VirtualAudio() as audio:
        audio.apply_to_current_process()
        import onnxruntime as ort
        from cantorel import manage
        return run(manage, ort, audio, ending, args)


def run(manage, ort, audio, ending, args):
    print(f"cores: {os.cpu_count()}, onnxruntime {ort.__version__}, numpy {np.__version__}, "
          f"OPENBLAS_NUM_THREADS={os.environ.get('OPENBLAS_NUM_THREADS')}")
    makers = listeners(manage, ort)
    shares = {name: [] for name in makers}
    order = list(makers)
    for r in range(args.rounds):
        for name in order[r % len(order):] + order[:r % len(order)]:
            shares[name].append(waiting_share(audio, makers[name], args.window, ending))
    med = {k: statistics.median(v) for k, v in shares.items()}
    print(f"1. waiting for speech, {args.rounds} rounds of {args.window:g} s "
          "(process CPU, % of one core; median, range):")
    for name, v in shares.items():
        print(f"  {name:<15} {med[name] * 100:6.1f}%   ({min(v) * 100:.1f}-{max(v) * 100:.1f})")
    for other in ("module-default", "python-default", "python-quiet", "read-only"):
        paired = statistics.median(m / o for m, o in zip(shares["module"], shares[other]))
        print(f"    module/{other}: paired {paired:.3f}")
    idle_ok = med["module"] <= IDLE_TARGET
    print(f"  {'PASS' if idle_ok else 'FAIL'}: module {med['module'] * 100:.1f}% "
          f"{'<=' if idle_ok else '>'} {IDLE_TARGET * 100:.0f}% of one core")

    wall, cpu = frame_times(manage, ort, args.calls, args.frame_rounds)
    mw = {k: statistics.median(v) for k, v in wall.items()}
    mc = {k: statistics.median(v) for k, v in cpu.items()}
    paired = statistics.median(m / d for m, d in zip(wall["module"], wall["default"]))
    paired_cpu = statistics.median(m / d for m, d in zip(cpu["module"], cpu["default"]))
    print(f"2. a frame back to back, {args.frame_rounds} rounds of {args.calls}: "
          f"module {mw['module'] * 1e6:.1f} us ({mc['module'] * 1e6:.1f} us CPU), "
          f"default session {mw['default'] * 1e6:.1f} us ({mc['default'] * 1e6:.1f} us CPU)")
    frame_ok = paired <= FRAME_TARGET
    print(f"  module/default: wall paired {paired:.3f}, CPU paired {paired_cpu:.3f}   "
          f"{'PASS' if frame_ok else 'FAIL'} (wall <= {FRAME_TARGET})")

    idle, speaking, elapsed = output_shares(manage, args.window, args.pieces)
    print(f"3. Output: standing by {idle * 100:.2f}% of one core; speaking {args.pieces} "
          f"1 s pieces ({elapsed:.2f} s) {speaking * 100:.2f}%")
    return 0 if idle_ok and frame_ok else 1


if __name__ == "__main__":
    sys.exit(main())
