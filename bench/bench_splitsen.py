"""Benchmark: Output._splitsen on 100,000-character texts.

Four texts, one per kind of storage the module scans:
  prose   English, a separator every 40-70 characters      (1 byte a character)
  dense   English, a separator every 5-15 characters       (1 byte)
  chinese Chinese with full-width separators, every 8-30    (2 bytes)
  emoji   English prose with emoji between the words        (4 bytes)

Each is cut from 0 by
  module   Output._splitsen(text, 0)
  loop     the same rule as a plain Python loop (what the method would be in Python:
           the module's Python twin, cantorel_dev.twin, which the tests compare the module with)
  cython   that loop's source compiled by Cython (bench/cython_twin.py)
  re       re.findall with the separator class, what a Python programmer would write
  slices   only making the same slices, the floor of any implementation that
           returns new str pieces: list(map(text.__getitem__, slice_objects)),
           with the slice objects made beforehand (the least interpreter work
           per slice; [text[a:b] for a, b in bounds] is shown too)
and every way must give the same pieces. Targets: module at least 30x the loop on
prose and at least 3x re.findall on every text. Times are medians over
interleaved rounds.

Not a test (pytest does not collect it): run it with
    .venv/bin/python bench/bench_splitsen.py [--rounds N]
"""
import argparse
import random
import re
import statistics
import sys
import time

from cantorel_dev import speaking_twin
from cython_twin import manage_twin

SEP = speaking_twin.SEP
SIZE = 100_000
LOOP_TARGET = 30.0   # module vs plain loop, on prose
RE_TARGET = 3.0      # module vs re.findall, on every text

WORDS = ("the of and to in is you that it he was for on are as with his they at be this have "
         "from or one had by word but not what all were we when your can said there use an each "
         "which she do how their if will up other about out many then them these so some her "
         "would make like him into time has look two more write go see number no way could people "
         "my than first water been call who oil its now find long down day did get come made may "
         "part").split()
HANZI = [chr(c) for c in range(0x4E00, 0x4E00 + 3000)]
EMOJI = [chr(c) for c in range(0x1F600, 0x1F650)]


def make_text(kind, seed=1):
    rng = random.Random(seed)
    out, n, next_sep = [], 0, 0
    gap = {"prose": (40, 70), "dense": (5, 15), "chinese": (8, 30), "emoji": (40, 70)}[kind]
    next_sep = rng.randint(*gap)
    while n < SIZE:
        if kind == "chinese":
            piece = rng.choice(HANZI)
        else:
            piece = rng.choice(WORDS) + " "
            if kind == "emoji" and rng.random() < 0.2:
                piece += rng.choice(EMOJI) + " "
        out.append(piece)
        n += len(piece)
        if n >= next_sep:
            mark = rng.choice("\uff0c\u3002" if kind == "chinese" else ",.!?")
            out.append(mark + ("" if kind == "chinese" else " "))
            n += len(out[-1])
            next_sep = n + rng.randint(*gap)
    return "".join(out)[:SIZE]


PATTERN = re.compile(f"[^{re.escape(SEP)}]*[{re.escape(SEP)}]")


def with_re(text, start):
    pieces = PATTERN.findall(text, start)
    return start + sum(map(len, pieces)), pieces


def timed(fn, *args):
    t = time.perf_counter()
    fn(*args)
    return time.perf_counter() - t


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()

    from cantorel.manage import Output
    module = Output._splitsen
    loop = speaking_twin.splitsen
    cython = manage_twin().Output._splitsen

    print(f"_splitsen on {SIZE:,}-character texts, medians of {args.rounds} rounds "
          f"(Python {sys.version.split()[0]})")
    print(f"  {'text':<8}{'pieces':>7}{'module us':>11}{'loop us':>10}{'cython us':>11}"
          f"{'re us':>9}{'slices us':>11}{'listcomp us':>13}{'x loop':>8}{'x cy':>7}{'x re':>7}"
          f"{'/slices':>9}")
    ok = True
    for kind in ("prose", "dense", "chinese", "emoji"):
        text = make_text(kind)
        expected = module(text, 0)
        assert loop(text, 0) == cython(text, 0) == with_re(text, 0) == expected, kind
        bounds, a = [], 0
        for piece in expected[1]:
            bounds.append((a, a + len(piece)))
            a += len(piece)

        def comprehension(text=text, bounds=bounds):
            return [text[a:b] for a, b in bounds]
        slice_objects = [slice(a, b) for a, b in bounds]

        def slices(get=text.__getitem__, slice_objects=slice_objects):
            return list(map(get, slice_objects))
        assert slices() == comprehension() == expected[1]

        ways = {"module": lambda: module(text, 0), "loop": lambda: loop(text, 0),
                "cython": lambda: cython(text, 0), "re": lambda: with_re(text, 0),
                "slices": slices, "listcomp": comprehension}
        samples = {name: [] for name in ways}
        for r in range(args.rounds):
            order = list(ways) if r % 2 == 0 else list(reversed(ways))
            for name in order:
                samples[name].append(timed(ways[name]))
        med = {name: statistics.median(s) for name, s in samples.items()}
        x_loop, x_re = med["loop"] / med["module"], med["re"] / med["module"]
        ok &= x_re >= RE_TARGET and (kind != "prose" or x_loop >= LOOP_TARGET)
        print(f"  {kind:<8}{len(expected[1]):7d}{med['module'] * 1e6:11.1f}"
              f"{med['loop'] * 1e6:10.1f}{med['cython'] * 1e6:11.1f}{med['re'] * 1e6:9.1f}"
              f"{med['slices'] * 1e6:11.1f}{med['listcomp'] * 1e6:13.1f}"
              f"{x_loop:8.1f}{med['cython'] / med['module']:7.1f}{x_re:7.1f}"
              f"{med['module'] / med['slices']:9.2f}")
    print(f"{'PASS' if ok else 'FAIL'}: module >= {LOOP_TARGET:g}x the loop on prose and "
          f">= {RE_TARGET:g}x re.findall on every text")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
