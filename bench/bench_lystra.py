"""Speed of the statement format against its baselines, measured in the same run.

    python bench/bench_lystra.py [--n 1000000] [--repeat 5]

Prints three ratios (best of `repeat` runs each):
  read:  exec of the file's text (read through open, as before) / lystra.read   goal >= 25
  fast:  the general reader (the same text after a comment line, which the native parser
         leaves to the host's syntax tree) / lystra.read: what the native parser earns
  write: lystra.write / (str(list) + one write of that text to a file)          goal <= 0.5
The written bytes are checked to be those of str(list).
"""
import argparse
import os
import random
import tempfile
import time

from ORVEX import lystra

from common import best_interleaved, exec_read


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=10**6)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()

    rng = random.Random(564963)
    data = [rng.uniform(-1.0, 1.0) for _ in range(args.n)]

    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "weights.mem")
        base = os.path.join(d, "baseline.mem")
        tree = os.path.join(d, "tree.mem")
        lystra.write(data, path)
        with open(path) as f, open(tree, "w") as g:
            g.write("# read through the syntax tree\n" + f.read())

        def plain_read():
            return exec_read(path)

        def native_read():
            return lystra.read(path)

        def tree_read():
            return lystra.read(tree)

        assert native_read() == plain_read() == tree_read() == data

        def plain_write():
            text = str(data)
            with open(base, "w") as f:
                f.write(text)

        def native_write():
            lystra.write(data, path)

        native_write()
        plain_write()
        with open(path, "rb") as f, open(base, "rb") as g:
            assert f.read() == b"a = " + g.read() + os.linesep.encode() + b"f=0"

        t_exec, t_read, t_tree = best_interleaved([plain_read, native_read, tree_read], args.repeat)
        t_plain, t_write = best_interleaved([plain_write, native_write], args.repeat)

    print(f"list of {args.n} floats, best of {args.repeat}")
    print(f"read : exec {t_exec * 1e3:8.1f} ms  lystra.read  {t_read * 1e3:8.1f} ms  "
          f"speed-up {t_exec / t_read:6.2f}x  (goal >= 25x)")
    print(f"fast : tree {t_tree * 1e3:8.1f} ms  lystra.read  {t_read * 1e3:8.1f} ms  "
          f"speed-up {t_tree / t_read:6.2f}x  (the native parser over the syntax-tree reader)")
    print(f"write: str+write {t_plain * 1e3:8.1f} ms  lystra.write {t_write * 1e3:8.1f} ms  "
          f"ratio {t_write / t_plain:6.3f}  (goal <= 0.5)")


if __name__ == "__main__":
    main()
