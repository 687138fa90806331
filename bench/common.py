"""What the benchmarks share: interleaved best-of timing and the plain-Python reading of a list file."""
import time


def best_interleaved(fns, repeat, clock=time.perf_counter):
    """Best time of each function by `clock`; runs alternate so that load changes hit all alike
    (time.process_time leaves out waits for a core on a shared machine)."""
    best = [float("inf")] * len(fns)
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            t0 = clock()
            fn()
            best[i] = min(best[i], clock() - t0)
    return best


def exec_read(path):
    """A statement-format list file read the plain way: executed, `a` taken from its names."""
    with open(path) as fh:
        text = fh.read()
    names = {}
    exec(text, {"f": ""}, names)
    return names["a"]
