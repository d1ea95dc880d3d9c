"""Benchmark: the hand-off from synthesis to playback inside Output.

A scripted TTS model works like a real synthesiser: it releases the GIL for
20 ms per piece (time.sleep) and notes the time just before it returns the
audio. A scripted `sa` notes the time when play_audio builds its wave object,
the first thing play_audio does. The hand-off is the difference: the TTS
worker queueing the audio, printing its line and the play worker waking up
and entering play_audio. The play worker is idle whenever a piece arrives
(playing is instant), so each hand-off is measured on its own.

Target: median under 0.5 ms over 200 pieces. For comparison the same
pipeline is run as plain Python: the module's Python twin, on the same
queues and threads.

Not a test (pytest does not collect it): run it with
    .venv/bin/python bench/bench_handoff.py [--pieces N]
"""
import argparse
import contextlib
import os
import statistics
import sys
import time
import types

TARGET_MS = 0.5
WORK_S = 0.020


class Model:
    def __init__(self):
        self.returned = []

    def ort_predict(self, text):
        time.sleep(WORK_S)
        self.returned.append(time.perf_counter())
        return b"\0\0" * 480


def scripted_sa(entered):
    class Playing:
        def wait_done(self):
            pass

    class WaveObject:
        def __init__(self, audio_data, **kwargs):
            entered.append(time.perf_counter())

        def play(self):
            return Playing()

    return types.SimpleNamespace(WaveObject=WaveObject)


def twin_output(model, sa):
    """The same pipeline as plain Python: the module's twin (cantorel_dev.twin)."""
    from cantorel_dev import twin
    return twin.load(sa=sa).Output(model)


def measure(make, pieces):
    model, entered = Model(), []
    out = make(model, scripted_sa(entered))
    for i in range(pieces):
        out.output_queue.put((i + 1, f"Piece number {i}."))
    out._wait_all()
    assert len(model.returned) == len(entered) == pieces
    return [(b - a) * 1e3 for a, b in zip(model.returned, entered)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pieces", type=int, default=200)
    args = parser.parse_args()

    import cantorel.manage as M

    def module_output(model, sa):
        M.sa = sa
        return M.Output(model)

    with open(os.devnull, "w") as null, contextlib.redirect_stdout(null):
        results = {"module": measure(module_output, args.pieces),
                   "python": measure(twin_output, args.pieces)}

    print(f"hand-off from ort_predict returning to play_audio entered, {args.pieces} pieces, "
          f"model releasing the GIL for {WORK_S * 1e3:g} ms each (Python {sys.version.split()[0]})")
    print(f"  {'':<8}{'median ms':>11}{'p90 ms':>9}{'max ms':>9}")
    for name, ms in results.items():
        ms = sorted(ms)
        print(f"  {name:<8}{statistics.median(ms):11.3f}{ms[int(0.9 * len(ms))]:9.3f}"
              f"{ms[-1]:9.3f}")
    median = statistics.median(results["module"])
    ok = median < TARGET_MS
    print(f"{'PASS' if ok else 'FAIL'}: module median {median:.3f} ms "
          f"{'<' if ok else '>='} {TARGET_MS} ms")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
