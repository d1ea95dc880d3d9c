"""Benchmark: Output._add_stream over a long reply in small chunks.

A reply of N characters (English words, a separator every 40 characters)
arrives in 3-character chunks. Timed, in the same process:
  module    Output._add_stream(chunks)
  python    the same intake as plain Python statements, with _splitsen the
            plain Python loop of the same rule (what the class would be in
            Python: the module's Python twin, cantorel_dev.twin, which the tests compare the module with)
  cython    that intake and loop compiled by Cython from the same source
            (bench/cython_twin.py); its `full_response += chunk_text` makes a
            new str for every chunk, where the interpreter extends the one str
            in place, so it is quadratic and takes most of this benchmark's time
  python+   the Python intake calling the module's _splitsen (informational)
All put into a real queue.Queue (emptied between runs) and print the reply
once; stdout goes to /dev/null. Every way must queue the same items.

Targets: doubling the reply (1,000,000 -> 2,000,000 characters) takes at most
2.3 times as long (linear growth), and the module is at least 5 times as
fast as the Python version on 1,000,000 characters. Medians over rounds.

Not a test (pytest does not collect it): run it with
    .venv/bin/python bench/bench_add_stream.py [--rounds N]
"""
import argparse
import contextlib
import os
import queue
import random
import statistics
import sys
import time

from cantorel_dev import speaking_twin
from cython_twin import manage_twin

CHUNK = 3
GROWTH_TARGET = 2.3
SPEED_TARGET = 5.0


def make_reply(n, seed=3):
    rng = random.Random(seed)
    words = "the quick brown fox jumps over a lazy dog and then some more words go by".split()
    out = []
    for _ in range(n // 40 + 1):
        line = ""
        while len(line) < 39:
            line += rng.choice(words) + " "
        out.append(line[:39] + rng.choice(",.!?"))
    return "".join(out)[:n]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()

    from cantorel.manage import Output
    compiled = manage_twin()

    class PythonIntake:
        _splitsen = staticmethod(Output._splitsen)
        _add_stream = speaking_twin.add_stream

    def holder(cls):
        obj = cls.__new__(cls)
        obj.output_queue = queue.Queue()
        return obj

    ways = {"module": holder(Output), "python": holder(speaking_twin.Output),
            "cython": holder(compiled.Output), "python+": holder(PythonIntake)}
    replies = {n: make_reply(n) for n in (1_000_000, 2_000_000)}
    chunked = {n: [r[i:i + CHUNK] for i in range(0, n, CHUNK)] for n, r in replies.items()}

    def run(obj, n):
        obj.output_queue.queue.clear()
        obj.output_queue.unfinished_tasks = 0
        t = time.perf_counter()
        obj._add_stream(iter(chunked[n]))
        return time.perf_counter() - t

    with open(os.devnull, "w") as null, contextlib.redirect_stdout(null):
        # Same items from every way.
        items = {}
        for name, obj in ways.items():
            run(obj, 1_000_000)
            items[name] = list(obj.output_queue.queue)
        assert items["module"] == items["python"] == items["cython"] == items["python+"]
        assert "".join(text for _, text in items["module"]).replace(" ", "") == \
            replies[1_000_000].replace(" ", "")
        samples = {(name, n): [] for name in ways for n in replies}
        for r in range(args.rounds):
            for name in (ways if r % 2 == 0 else list(reversed(ways))):
                for n in replies:
                    samples[name, n].append(run(ways[name], n))
    med = {key: statistics.median(s) for key, s in samples.items()}

    print(f"_add_stream over a reply in {CHUNK}-character chunks, a separator every 40 "
          f"characters, medians of {args.rounds} rounds (Python {sys.version.split()[0]})")
    print(f"  {'':<10}{'1M chars ms':>13}{'2M chars ms':>13}{'growth':>8}{'module x':>10}")
    for name in ways:
        a, b = med[name, 1_000_000], med[name, 2_000_000]
        print(f"  {name:<10}{a * 1e3:13.1f}{b * 1e3:13.1f}{b / a:8.2f}"
              f"{a / med['module', 1_000_000]:10.1f}")
    growth = med["module", 2_000_000] / med["module", 1_000_000]
    speed = med["python", 1_000_000] / med["module", 1_000_000]
    compiled_speed = med["cython", 1_000_000] / med["module", 1_000_000]
    ok = growth <= GROWTH_TARGET and speed >= SPEED_TARGET
    print(f"{'PASS' if ok else 'FAIL'}: module growth {growth:.2f} (target <= {GROWTH_TARGET}), "
          f"{speed:.1f}x the Python version (target >= {SPEED_TARGET:g}); "
          f"{compiled_speed:.1f}x its Cython build")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
