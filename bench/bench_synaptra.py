"""synaptra benchmarks, each measured against a baseline in the same run.

    python bench/bench_synaptra.py

1. A fresh RNNLM_HYBRID with V=5000 (default E=32, N=128) against the same constructor
   written in plain Python (with a plain-Python generator giving the same sequence).
   Goal: >= 30x. Times are CPU times of this process.
2. train on a V=200 vocabulary: steps per second (the per-step lines go to a buffer).
"""
import contextlib
import gc
import io
import os
import sys
import tempfile
import time

from ORVEX.lystra import write
from ORVEX.synaptra import RNNLM_HYBRID

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_numerix import PyRandom  # noqa: E402  (the generator in plain Python)
from common import exec_read  # noqa: E402

def py_sqrt(number):
    return number ** 0.5


class PyModel:
    """A fresh RNNLM_HYBRID's constructor in plain Python."""

    def __init__(self, vocab_size, dictionary, veclength=32, load_vocab="no", seed=564963, neurons=128, lr=0.001):
        super().__init__()
        self.genrandd = PyRandom(seed, -(1 / py_sqrt(veclength)), 1 / py_sqrt(veclength))
        self.genrandn = PyRandom(seed, -(1 / py_sqrt(neurons)), 1 / py_sqrt(neurons))
        self.__warm = False
        self.lr = float(lr)
        self.__wordstohandle = []
        self.neurons = neurons
        self.embedings = [[self.genrandd() for _ in range(veclength)] for _ in range(vocab_size)]
        self.lweights = [[self.genrandd() for _ in range(veclength)] for _ in range(neurons)]
        self.lhweights = [[self.genrandn() for _ in range(neurons)] for _ in range(neurons)]
        self.bias = [0] * neurons
        self.who = [[self.genrandn() for _ in range(neurons)] for _ in range(vocab_size)]
        self.bo = [0] * vocab_size
        self.vocabL = vocab_size
        self.vecL = veclength
        self.dictionary = exec_read(dictionary)
        self.ht = [0] * neurons


def timed(make, repeat):
    """Best construction time in CPU time of this process (user and system: the page faults
    of fresh memory count, time spent waiting for a core on a shared machine does not);
    each model is dropped outside the timed region."""
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        t = time.process_time()
        model = make()
        best = min(best, time.process_time() - t)
        del model
    return best


def bench_fresh(tmp):
    vocab = os.path.join(tmp, "vocab5000.txt")
    write([f"w{i}" for i in range(5000)], vocab)
    ours_model, base_model = RNNLM_HYBRID(5000, vocab), PyModel(5000, vocab)
    for name in ("embedings", "lweights", "lhweights", "who", "bias", "bo", "ht", "dictionary"):
        assert getattr(ours_model, name) == getattr(base_model, name), name
    assert ours_model.genrandd.x == base_model.genrandd.x and ours_model.genrandn.x == base_model.genrandn.x
    del ours_model, base_model
    ours, base = float("inf"), float("inf")
    for _ in range(3):  # interleaved, so that a change of load hits both
        ours = min(ours, timed(lambda: RNNLM_HYBRID(5000, vocab), 5))
        base = min(base, timed(lambda: PyModel(5000, vocab), 1))
    print(f"fresh RNNLM_HYBRID V=5000 E=32 N=128     ours {ours * 1e3:9.1f} ms   plain Python {base * 1e3:9.1f} ms"
          f"   ratio {base / ours:6.1f}x   (goal: >= 30x)")


def bench_train(tmp):
    vocab = os.path.join(tmp, "vocab200.txt")
    write([f"w{i}" for i in range(200)], vocab)
    cwd = os.getcwd()
    os.chdir(tmp)
    try:
        model = RNNLM_HYBRID(200, vocab)
        with contextlib.redirect_stdout(io.StringIO()):
            model.warmup("w0 w1 w2")
            t = time.perf_counter()
            model.train(1)
            elapsed = time.perf_counter() - t
    finally:
        os.chdir(cwd)
    steps = 200 * 200
    print(f"train(1) on V=200 (E=32, N=128)           {steps} steps in {elapsed:.2f} s   "
          f"{steps / elapsed:9.0f} steps/s   ({elapsed / steps * 1e6:.0f} us per step, incl. the printed line "
          f"and saving)")


def main():
    with tempfile.TemporaryDirectory() as tmp:
        bench_fresh(tmp)
        if "--no-train" not in sys.argv:
            bench_train(tmp)


if __name__ == "__main__":
    main()
