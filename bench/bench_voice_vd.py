"""Benchmark: VoiceVD.__call__ on a 1024-byte frame, against the same detector
written as plain Python and compiled by Cython, and against the bare model run.

Contenders, in one process, in interleaved rounds (the order rotates):
  module   VoiceVD.__call__, the native method
  cython   the module's Python twin (cantorel_dev.twin) compiled by Cython
           (bench/cython_twin.py)
  python   the same twin run by the interpreter
  bare     sess.run(None, feed) with the inputs prepared once, outside the timing

Situations:
  hot      calls back to back on the real model
  cold     the real model, 8 MB of memory written between calls (as when a
           frame comes every 32 ms and other work runs in between); each call
           is timed on its own
  fake     a session whose run is a C-level callable returning a fixed pair
           (`{None: pair}.get`), so the frame's own work is all there is

Each figure is the median over the rounds of a contender's time per call;
"paired" is the median over the rounds of the per-round ratio, "best" the
ratio of the best rounds. Targets: hot module/Cython <= 1.0 and module/bare
<= 1.10; cold module/Cython <= 0.95; fake module/Cython <= 0.5.

The twin converts the model's (1, 1) output as the module does, through the
element (cantorel_dev.twin.mends), so neither pays numpy's warning.

Not a test (pytest does not collect it): run it with
    .venv/bin/python bench/bench_voice_vd.py [--rounds N] [--calls N]
"""
import argparse
import statistics
import sys
import time

import numpy as np

from cantorel_dev.speech_frames import FRAME
from cython_twin import manage_twin
from model_home import model_home

TARGETS = [("hot", "cython", 1.0), ("hot", "bare", 1.10), ("cold", "cython", 0.95),
           ("fake", "cython", 0.5)]



def hot(fn, calls):
    start = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - start) / calls


SCRATCH = np.empty(8 << 20, np.uint8)


def cold(fn, calls):
    total = 0.0
    for i in range(calls):
        SCRATCH.fill(i & 0xFF)  # 8 MB through the caches, not timed
        start = time.perf_counter()
        fn()
        total += time.perf_counter() - start
    return total / calls


def rounds_of(contenders, timer, calls, rounds):
    for fn in contenders.values():  # warm-up
        timer(fn, max(1, calls // 4))
    samples = {name: [] for name in contenders}
    order = list(contenders)
    for r in range(rounds):
        for name in order[r % len(order):] + order[:r % len(order)]:
            samples[name].append(timer(contenders[name], calls))
    return samples


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=31)
    parser.add_argument("--calls", type=int, default=200, help="model calls per round")
    parser.add_argument("--fake-calls", type=int, default=5000, help="fake-session calls per round")
    args = parser.parse_args()

    with model_home():
        from cantorel import manage
        return run(manage, args)

def run(manage, args):
    from cantorel_dev import twin
    twins = {"cython": manage_twin(), "python": twin.load()}
    detector = manage.VoiceVD()
    sess = detector.sess

    def twin_detector(m, session):
        d = object.__new__(m.VoiceVD)
        m.VoiceVD.__init__(d)  # its own session, replaced: every side runs the same one
        d.sess = session
        return d
    detectors = {"module": detector, **{k: twin_detector(m, sess) for k, m in twins.items()}}

    rng = np.random.default_rng(7)
    frame = (rng.standard_normal(FRAME) * 3000).clip(-32768, 32767).astype(np.int16).tobytes()
    x = np.concatenate((np.zeros((1, 64), np.float32),
                        (np.frombuffer(frame, np.int16).astype(np.float32) / 32768.0)[None, :]),
                       axis=1)
    feed = {"input": x.astype(np.float32), "state": np.zeros((2, 1, 128), np.float32),
            "sr": np.array(16000, dtype=np.int64)}

    # Like for like: the same first frame gives every detector the bare run's value.
    want = float(sess.run(None, feed)[0].reshape(()))
    for name, d in detectors.items():
        got = d(frame)
        if abs(got - want) > 1e-6:
            print(f"bench: {name} gives {got}, the bare run {want}", file=sys.stderr)
            return 2

    contenders = {name: (lambda d=d: d(frame)) for name, d in detectors.items()}
    contenders["bare"] = lambda: sess.run(None, feed)
    results = {"hot": rounds_of(contenders, hot, args.calls, args.rounds),
               "cold": rounds_of(contenders, cold, args.calls // 2, args.rounds)}

    pair = (np.array([[0.5]], np.float32), np.zeros((2, 1, 128), np.float32))
    fakes = {"module": object.__new__(manage.VoiceVD),
             **{k: object.__new__(m.VoiceVD) for k, m in twins.items()}}
    for d in fakes.values():
        d.sess = type("Session", (), {"run": staticmethod({None: pair}.get)})()
        d.state, d.ctx = pair[1], np.zeros((1, 64), np.float32)
        d.sr = np.array(16000, dtype=np.int64)
    results["fake"] = rounds_of({name: (lambda d=d: d(frame)) for name, d in fakes.items()}, hot,
                                args.fake_calls, args.rounds)

    import onnxruntime
    from bench_call_overhead import public_api_build
    from cantorel import manage
    print(f"VoiceVD.__call__, 1024-byte frame, {args.rounds} rounds "
          f"(Python {sys.version.split()[0]}, onnxruntime {onnxruntime.__version__}, "
          f"numpy {np.__version__}, {'public C API' if public_api_build(manage) else 'default'} build)")
    failed = 0
    for situation, samples in results.items():
        med = {k: statistics.median(v) for k, v in samples.items()}
        print(f"  {situation}: " + "  ".join(f"{k} {v * 1e6:.2f} us" for k, v in med.items()))
        for other in [k for k in samples if k != "module"]:
            paired = statistics.median(m / o for m, o in zip(samples["module"], samples[other]))
            best = min(samples["module"]) / min(samples[other])
            line = (f"    module/{other}: median {med['module'] / med[other]:.3f}  "
                    f"paired {paired:.3f}  best {best:.3f}")
            target = next((t for s, o, t in TARGETS if s == situation and o == other), None)
            if target is not None:
                ok = paired <= target
                failed += not ok
                line += f"   {'PASS' if ok else 'FAIL'} (paired <= {target})"
            print(line)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
