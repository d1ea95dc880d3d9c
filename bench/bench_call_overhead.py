"""Benchmark: calling a method of the module against a plain Python function.

The module's methods are objects of its own function type (vectorcall,
argument binding, descriptor binding). Each comparison below runs the same
body through the module's `VoiceVD.reset` and through a Python `def reset(self)`
with the same signature and the same two statements, on the same kind of
object:

  (a) VoiceVD.reset(obj)        vs  reset(obj)           plain call through the class
  (b) det.reset()               vs  twin.reset()         bound method, instance made with
                                                         object.__new__ and attributes set
  (c) VoiceVD.reset(self=obj)   vs  reset(self=obj)      parameter given by keyword

Each is measured twice: with tiny numpy arrays as `state`/`ctx` (the real
body) and with a stand-in whose `fill` is the built-in `int` (a near-empty
body, so the call itself dominates). The module passes when every ratio
module/Python is at most 1.0 (at least as fast), comparing the medians over
the interleaved rounds (robust on a loaded machine); minima are shown too.

A last line, not part of the verdict, times a call that fails in binding
(`VoiceVD.reset()` against `reset()`): both raise TypeError, the module adds
its traceback entry for the method's first line.

Not a test (pytest does not collect it): run it with
    .venv/bin/python bench/bench_call_overhead.py [--rounds N] [--number N]
"""
import argparse
import statistics
import sys
import timeit
import types

import numpy as np

TARGET = 1.0


def reset(self):
    self.state.fill(0)
    self.ctx.fill(0)


class TwinVoiceVD:
    reset = reset


def cheap():
    """An object whose `fill` is a built-in that costs next to nothing."""
    return types.SimpleNamespace(fill=int)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=25)
    parser.add_argument("--number", type=int, default=20000, help="calls per timing")
    args = parser.parse_args()

    from cantorel.manage import VoiceVD

    def holders(kind):
        make = {"numpy": lambda shape: np.zeros(shape, np.float32), "cheap": lambda _: cheap()}
        maker = make[kind]
        plain = types.SimpleNamespace(state=maker((2, 1, 128)), ctx=maker((1, 64)))
        det = object.__new__(VoiceVD)
        twin = TwinVoiceVD()
        for o in (det, twin):
            o.state, o.ctx = maker((2, 1, 128)), maker((1, 64))
        return plain, det, twin

    cases = []  # (label, module statement, python statement, namespace, in verdict)
    for kind in ("numpy", "cheap"):
        obj, det, twin = holders(kind)
        ns = {"VoiceVD": VoiceVD, "reset": reset, "obj": obj, "det": det, "twin": twin}
        cases += [
            (f"(a) class call    [{kind}]", "VoiceVD.reset(obj)", "reset(obj)", ns, True),
            (f"(b) bound method  [{kind}]", "det.reset()", "twin.reset()", ns, True),
            (f"(c) keyword self  [{kind}]", "VoiceVD.reset(self=obj)", "reset(self=obj)", ns,
             True),
        ]
    fail = ("try:\n    f()\nexcept TypeError:\n    pass")
    cases.append(("(d) binding fails [info]", fail, fail, None, False))

    timers = []
    for label, mod_stmt, py_stmt, ns, verdict in cases:
        if ns is None:
            mod_t = timeit.Timer(mod_stmt, globals={"f": VoiceVD.reset})
            py_t = timeit.Timer(py_stmt, globals={"f": reset})
        else:
            # Both statements must run and do the same thing before being timed.
            exec(mod_stmt, ns)
            exec(py_stmt, ns)
            mod_t = timeit.Timer(mod_stmt, globals=ns)
            py_t = timeit.Timer(py_stmt, globals=ns)
        timers.append((label, mod_t, py_t, verdict))

    for _, mod_t, py_t, _ in timers:  # warm-up
        mod_t.timeit(args.number)
        py_t.timeit(args.number)
    samples = {label: ([], []) for label, *_ in timers}
    for r in range(args.rounds):
        for label, mod_t, py_t, _ in timers:
            pair = [(0, mod_t), (1, py_t)]
            if r % 2:
                pair.reverse()  # alternate which side runs first
            for side, t in pair:
                samples[label][side].append(t.timeit(args.number) / args.number)

    print(f"method call overhead, {args.rounds} rounds x {args.number} calls "
          f"(Python {sys.version.split()[0]}, numpy {np.__version__})")
    print(f"  {'':<26}{'median: module ns':>18}{'python ns':>10}{'ratio':>7}   "
          f"{'min: module':>12}{'python':>8}{'ratio':>7}")
    worst = 0.0
    for label, _, _, verdict in timers:
        mod, py = samples[label]
        ratio = statistics.median(mod) / statistics.median(py)
        min_ratio = min(mod) / min(py)
        if verdict:
            worst = max(worst, ratio)
        print(f"  {label:<26}{statistics.median(mod) * 1e9:18.1f}"
              f"{statistics.median(py) * 1e9:10.1f}{ratio:7.3f}   "
              f"{min(mod) * 1e9:12.1f}{min(py) * 1e9:8.1f}{min_ratio:7.3f}")
    ok = worst <= TARGET
    print(f"{'PASS' if ok else 'FAIL'}: worst module/python ratio {worst:.3f} "
          f"{'<=' if ok else '>'} {TARGET} (cases a-c, medians)")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
