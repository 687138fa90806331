"""numerix benchmarks: each figure is a ratio against a baseline measured in the same run.

    python bench/bench_numerix.py
"""
import math
import time
import timeit

from ORVEX import numerix as nx

from common import best_interleaved

M = 200000000000000000000000000000000


class PyRandom:
    """The generator written plainly in Python: seed-many steps of the LCG."""

    def __init__(self, seeda, mina, maxa):
        self.seed, self.min, self.max = seeda, float(mina), float(maxa)
        self.x = (1103515245 * self.seed + 12345) % M
        for _ in range(0, self.seed):
            self()

    def __call__(self):
        self.x = (1103515245 * self.x + 12345) % M
        return self.min + (self.x / M) * (self.max - self.min)


def py_exp(x, terms=20):
    total = term = 1
    for n in range(1, terms):
        term = term * (x / n)
        total = total + term
    return total


def py_softmax(x):
    m = max(x)
    total = 0
    for i in x:
        total = total + py_exp(i - m)
    return [py_exp(i - m) / total for i in x]


def best(stmt, number, repeat=5):
    """Best time per call, in CPU time of this process: on a shared machine the time spent
    waiting for a core would otherwise dominate short calls."""
    return min(timeit.repeat(stmt, number=number, repeat=repeat, timer=time.process_time)) / number


def report(label, ours, base, goal):
    print(f"{label:<46} ours {ours * 1e6:10.2f} us   baseline {base * 1e6:12.2f} us   ratio {base / ours:10.1f}x   ({goal})")


def main():
    ours = best(lambda: nx.random(953674, -1.0, 1.0), 200)
    base = best(lambda: PyRandom(953674, -1.0, 1.0), 1, repeat=2)
    report("random(953674, -1.0, 1.0) construction", ours, base, "goal: <= 2 us")

    g, p = nx.random(3, -1.0, 1.0), PyRandom(3, -1.0, 1.0)
    ours = best(g, 100000)
    report("one draw g()", ours, best(p, 100000), f"{1e-6 / ours:.1f} M draws/s; goal: >= 10 M/s")

    xs = [math.sin(i) * 10 for i in range(10 ** 4)]
    assert nx.FixSoftmax(xs) == py_softmax(xs)
    report("FixSoftmax on 10**4 floats", best(lambda: nx.FixSoftmax(xs), 20), best(lambda: py_softmax(xs), 2),
           "goal: >= 30x")

    # The guard's cost: one native call with one float argument, against the host's own
    # built-in function of the same shape; runs alternate, so load changes hit both alike.
    number = 1_000_000
    calls = [timeit.Timer("f(2.0)", globals={"f": f}) for f in (nx.maximum, math.fabs)]
    ours, base = best_interleaved([lambda t=t: t.timeit(number) for t in calls], 7, clock=time.process_time)
    ours, base = ours / number, base / number
    print(f"{'per-call overhead maximum(2.0) vs math.fabs(2.0)':<46} ours {ours * 1e9:8.1f} ns   "
          f"baseline {base * 1e9:8.1f} ns   ours/baseline {ours / base:5.2f}x   (goal: <= 1.3x)")


if __name__ == "__main__":
    main()
