"""Benchmark: the capture loop's own cost per frame, and the end-of-utterance
latency on the virtual microphone.

1. Loop cost. RecVoice.vad_audio driven at full speed by a scripted stream
   (real recordings cut into 512-sample frames, then a sentinel that ends the
   capture), with the real detector, the real clock and numpy's mean. In
   one process and interleaved rounds it compares
     module    the native vad_audio (its loop, the detector and all)
     cython    the module's Python twin (cantorel_dev.twin) compiled by Cython
               (bench/cython_twin.py), same detector
     twin      the plain Python vad_audio, same source, same detector
     detector  the detector alone on the same frames, in a plain for loop
     det+mean  the detector and numpy's mean of the window, nothing else
   The loop passes when module/detector is at most 1.10 and module/cython
   is below 1. The same loops with a detector that costs next to nothing (a
   dict's C-level get, returning each frame's probability as a float) show
   the loop's own cost per frame: native, Cython and Python.

2. End-of-utterance latency (needs the virtual microphone of
   cantorel_dev.virtual_audio and PocketSphinx): an alsa-utils recording played
   into the microphone, Input._recognize() listening. From the last speech
   sample to _recognize returning, minus sld and minus the recogniser's own
   time; split into the end-of-speech detection (the smoothing window takes
   some frames to notice) and the module's own part after the last read
   (stopping the stream, joining the frames, handing them over and back).
   The module's part passes when its median is under 30 ms.

Not a test (pytest does not collect it): run it with
    .venv/bin/python bench/bench_capture.py [--rounds N] [--frames N] [--runs N] [--no-latency]
"""
import argparse
import statistics
import sys
import time
import timeit
from collections import deque

import numpy as np

from cantorel_dev.speech_frames import ALSA, FRAME, RATE, WINDOW, wav_16k
from model_home import model_home

LOOP_TARGET = 1.10
CYTHON_TARGET = 1.0
MODULE_LATENCY_TARGET = 0.030


class EndOfScript(Exception):
    pass


class ScriptedStream:
    """Hands out the prepared frames as fast as they are asked for, then ends the capture."""

    def __init__(self, frames):
        self.frames, self.i = frames, 0

    def read(self, num_frames, exception_on_overflow=True):
        i = self.i
        if i == len(self.frames):
            raise EndOfScript
        self.i = i + 1
        return self.frames[i]

    def start_stream(self):
        pass

    def stop_stream(self):
        pass


def speech_frames(count):
    """Real speech and the silence between recordings, as 1024-byte frames."""
    parts = []
    for name in ("Front_Center", "Rear_Left", "Side_Right", "Noise"):
        parts += [wav_16k(ALSA / f"{name}.wav"), np.zeros(RATE // 2, np.int16)]
    x = np.concatenate(parts)
    frames = [x[i:i + FRAME].tobytes() for i in range(0, len(x) - FRAME + 1, FRAME)]
    return [frames[i % len(frames)] for i in range(count)]


def make_recorder(target, stream, detector_factory):
    """A RecVoice of `target` (the module or the twin) reading `stream`."""
    import types
    target.pyaudio = types.SimpleNamespace(
        paInt16=8, PyAudio=lambda: types.SimpleNamespace(open=lambda **kw: stream))
    target.VoiceVD = detector_factory
    # sld and max_time far beyond a round's wall time: every frame is read.
    return target.RecVoice(sld=3600, max_time=3600)


def run_capture(rec, stream, reset):
    stream.i = 0
    reset()
    start = time.perf_counter()
    try:
        rec.vad_audio()
    except EndOfScript:
        pass
    return time.perf_counter() - start


def loop_cost(manage, args):
    from cantorel_dev import twin
    frames = speech_frames(args.frames)
    detector = manage.VoiceVD()
    twin_mod = twin.load()
    from cython_twin import manage_twin
    cython_mod = manage_twin()

    module_stream, twin_stream = ScriptedStream(frames), ScriptedStream(frames)
    cython_stream = ScriptedStream(frames)
    module_rec = make_recorder(manage, module_stream, lambda: detector)
    twin_rec = make_recorder(twin_mod, twin_stream, lambda: detector)
    cython_rec = make_recorder(cython_mod, cython_stream, lambda: detector)

    def reset():
        detector.reset()
        module_rec.hist.clear()
        twin_rec.hist.clear()
        cython_rec.hist.clear()

    def alone():
        reset()
        start = time.perf_counter()
        for frame in frames:
            detector(frame)
        return time.perf_counter() - start

    hist = deque(maxlen=WINDOW)

    def with_mean():
        # The floor the algorithm sets: the detector and numpy's mean of the
        # window for every frame, nothing else.
        reset()
        hist.clear()
        start = time.perf_counter()
        for frame in frames:
            hist.append(detector(frame))
            np.mean(hist)
        return time.perf_counter() - start

    contenders = {
        "module": lambda: run_capture(module_rec, module_stream, reset),
        "cython": lambda: run_capture(cython_rec, cython_stream, reset),
        "twin": lambda: run_capture(twin_rec, twin_stream, reset),
        "detector": alone,
        "det+mean": with_mean,
    }
    samples = measure(contenders, args.rounds)
    n = len(frames)
    med = {k: statistics.median(v) / n for k, v in samples.items()}
    # The machine is shared: each round's contenders ran back to back, so a
    # round's own ratio is less disturbed by load that comes and goes.
    paired = {k: statistics.median(a / b for a, b in zip(samples[k], samples["detector"]))
              for k in ("module", "cython", "twin", "det+mean")}
    over_floor = statistics.median(a / b for a, b in zip(samples["module"], samples["det+mean"]))
    over_cython = statistics.median(a / b for a, b in zip(samples["module"], samples["cython"]))
    print(f"capture loop over {n} frames of speech and silence, real detector, "
          f"{args.rounds} rounds (median per frame)")
    for name in contenders:
        print(f"  {name:<9} {med[name] * 1e6:8.2f} us")
    ratio = paired["module"]
    print(f"  ratio module/detector {ratio:.3f}   cython/detector {paired['cython']:.3f}   "
          f"twin/detector {paired['twin']:.3f}   det+mean/detector {paired['det+mean']:.3f}")
    print(f"  ratio module/cython {over_cython:.3f}   module/det+mean {over_floor:.3f}   "
          f"(medians of the rounds' ratios)")
    print("  loop beyond the detector: " + ", ".join(
        f"{k} {(med[k] - med['detector']) * 1e6:.2f} us" for k in ("module", "cython", "twin"))
        + " per frame")

    # The loop alone: a detector that costs next to nothing, a dict's C-level
    # get giving each frame the probability the real detector gave it (a
    # float, as the real one returns).
    reset()
    probability = {frame: detector(frame) for frame in frames}
    fast = probability.get
    free_recs = {"module": (make_recorder(manage, module_stream, lambda: fast), module_stream),
                 "cython": (make_recorder(cython_mod, cython_stream, lambda: fast), cython_stream),
                 "twin": (make_recorder(twin_mod, twin_stream, lambda: fast), twin_stream)}
    free = measure({k: (lambda rec=rec, stream=stream:
                        run_capture(rec, stream, rec.hist.clear))
                    for k, (rec, stream) in free_recs.items()}, args.rounds)
    fmed = {k: statistics.median(v) / n for k, v in free.items()}
    hist.clear()
    hist.extend(list(probability.values())[:10])
    warm_mean = min(timeit.repeat(lambda: np.mean(hist), number=2000, repeat=5)) / 2000
    print("  the loop alone (detector: a dict's get): " + ", ".join(
        f"{k} {v * 1e6:.2f} us" for k, v in fmed.items())
        + f" per frame (module/cython {fmed['module'] / fmed['cython']:.3f}); "
        f"numpy's mean of the window alone {warm_mean * 1e6:.2f} us")
    ok_detector = ratio <= LOOP_TARGET
    ok_cython = over_cython < CYTHON_TARGET
    print(f"{'PASS' if ok_detector else 'FAIL'}: module/detector {ratio:.3f} "
          f"{'<=' if ok_detector else '>'} {LOOP_TARGET}")
    print(f"{'PASS' if ok_cython else 'FAIL'}: module/cython {over_cython:.3f} "
          f"{'<' if ok_cython else '>='} {CYTHON_TARGET}")
    return ok_detector and ok_cython


def measure(contenders, rounds):
    for fn in contenders.values():  # warm-up
        fn()
    samples = {name: [] for name in contenders}
    order = list(contenders)
    for r in range(rounds):
        # Rotate the order so that no contender always runs first or last.
        k = r % len(order)
        for name in order[k:] + order[:k]:
            samples[name].append(contenders[name]())
    return samples


class StampedStream:
    """The recorder's real stream, with the time each read returned."""

    def __init__(self, stream):
        self.stream, self.times = stream, []

    def read(self, num_frames, exception_on_overflow=True):
        data = self.stream.read(num_frames, exception_on_overflow=exception_on_overflow)
        self.times.append(time.monotonic())
        return data

    def start_stream(self):
        self.stream.start_stream()

    def stop_stream(self):
        self.stream.stop_stream()


def latency(manage, args):
    try:
        from cantorel_dev.hosts.pocketsphinx_asr import PocketSphinxASR
    except ImportError as e:
        print(f"latency: skipped ({e})")
        return True
    from cantorel_dev import virtual_audio as va
    asr = PocketSphinxASR()

    class Host:
        def generate(self, samples):
            self.start = time.monotonic()
            self.samples = samples
            text = asr.generate(samples)
            self.end = time.monotonic()
            return text

    names = ["Front_Center", "Front_Right", "Side_Left", "Rear_Center", "Front_Left",
             "Side_Right", "Rear_Right", "Rear_Left"]
    totals, detection, module_part, recogniser = [], [], [], []
    sld = 1
    with va.VirtualAudio() as audio:
        audio.apply_to_current_process()
        for run in range(args.runs):
            name = names[run % len(names)]
            utterance = wav_16k(ALSA / f"{name}.wav")
            played = np.concatenate([np.zeros(RATE // 2, np.int16), utterance,
                                     np.zeros(RATE // 2, np.int16)])
            host = Host()
            listener = manage.Input(host, sld=sld, max_time=30)
            rec = listener.recorder
            real_stream = rec.stream
            stamped = rec.stream = StampedStream(real_stream)
            try:
                player = audio.play_into_microphone(played, RATE, wait=False)
                text = listener._recognize()
                returned = time.monotonic()
                player.wait(10)
            finally:
                real_stream.close()
                rec.pa.terminate()
            samples = host.samples
            first = np.flatnonzero(utterance)[0]
            offset = np.flatnonzero(samples)[0] - first
            if not np.array_equal(samples[offset:offset + len(utterance)], utterance):
                print(f"  {name}: the utterance did not arrive whole; run skipped")
                continue
            last = offset + np.flatnonzero(np.abs(utterance.astype(np.int32)) > 300)[-1]
            # The last speech sample arrived when its frame was complete.
            frame_index = last // FRAME
            last_speech = stamped.times[frame_index] - (FRAME - 1 - last % FRAME) / RATE
            last_read = stamped.times[-1]
            own = host.end - host.start
            totals.append(returned - last_speech - sld - own)
            detection.append(last_read - last_speech - sld)
            module_part.append((host.start - last_read) + (returned - host.end))
            recogniser.append(own)
            print(f"  {name:<13} {text!r:<24} total {totals[-1] * 1e3:7.1f} ms  "
                  f"(detection {detection[-1] * 1e3:6.1f}, module {module_part[-1] * 1e3:5.1f}, "
                  f"recogniser {own * 1e3:6.1f})")
    if not totals:
        print("FAIL: no latency run completed")
        return False
    med = statistics.median
    print(f"end-of-utterance latency, sld {sld} s, {len(totals)} runs (median): "
          f"{med(totals) * 1e3:.1f} ms beyond sld and the recogniser = detection "
          f"{med(detection) * 1e3:.1f} ms + module {med(module_part) * 1e3:.1f} ms "
          f"(recogniser itself {med(recogniser) * 1e3:.1f} ms)")
    ok = med(module_part) < MODULE_LATENCY_TARGET
    print(f"{'PASS' if ok else 'FAIL'}: module part {med(module_part) * 1e3:.1f} ms "
          f"{'<' if ok else '>='} {MODULE_LATENCY_TARGET * 1e3:.0f} ms")
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument("--frames", type=int, default=600, help="frames per capture")
    parser.add_argument("--runs", type=int, default=7, help="latency runs")
    parser.add_argument("--no-latency", action="store_true")
    args = parser.parse_args()

    with model_home():
        from cantorel import manage
        saved = manage.pyaudio, manage.VoiceVD
        try:
            ok = loop_cost(manage, args)
        finally:
            manage.pyaudio, manage.VoiceVD = saved
        if not args.no_latency:
            ok = latency(manage, args) and ok
        return 0 if ok else 1

if __name__ == "__main__":
    sys.exit(main())
