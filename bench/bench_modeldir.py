"""Saving and loading a V=5000 model directory (E=32, N=128), against the same files written
and read in plain Python, measured in the same run.

    python bench/bench_modeldir.py [--repeat 5]

save: `train(0)` (no steps: it writes the eight files into "test" and prints the loss and
      word) against str() of each list written with one write.
load: `RNNLM_HYBRID(..., load_vocab="test")` (eight reads, "info.meta" four times, then the
      print of `embedings`) against exec of each file and the same print.
Console output goes to a buffer; times are CPU times of this process. Then the parts of a load, each timed on its own: reading
the two large files, and printing `embedings`.
"""
import argparse
import contextlib
import io
import os
import sys
import tempfile
import time

from ORVEX.lystra import read, write
from ORVEX.synaptra import RNNLM_HYBRID

from common import best_interleaved, exec_read

FILES = ["embed.mem", "info.meta", "bias.mem", "lhweights.mem", "lweights.mem", "dict.mem", "who.mem", "bo.mem"]
READS = ["embed.mem", "info.meta", "info.meta", "info.meta", "bias.mem", "lhweights.mem", "lweights.mem",
         "dict.mem", "who.mem", "bo.mem", "info.meta"]


def quiet(fn):
    def run():
        with contextlib.redirect_stdout(io.StringIO()):
            return fn()
    return run


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    cwd = os.getcwd()
    with tempfile.TemporaryDirectory() as tmp:
        os.chdir(tmp)
        try:
            vocab = os.path.join(tmp, "vocab.txt")
            write([f"w{i}" for i in range(5000)], vocab)
            model = RNNLM_HYBRID(5000, vocab)
            model.loss, model.nexttoken = 0.25, 0
            os.mkdir("test")
            os.mkdir("plain")
            lists = {
                "embed.mem": model.embedings, "bias.mem": model.bias, "lhweights.mem": model.lhweights,
                "lweights.mem": model.lweights, "dict.mem": model.dictionary, "who.mem": model.who,
                "bo.mem": model.bo, "info.meta": [model.vocabL, model.vecL, model.neurons, model.ht],
            }

            def save():
                model.train(0)

            def plain_save():
                for name in FILES:
                    text = "a = " + str(lists[name]) + "\nf=0"
                    with open(os.path.join("plain", name), "w") as fh:
                        fh.write(text)
                print(model.loss)
                print(model.dictionary[model.nexttoken])

            def load():
                return RNNLM_HYBRID(5000, vocab, load_vocab="test")

            def plain_load():
                got = {}
                for name in READS:
                    got[name] = exec_read(os.path.join("plain", name))
                print(got["embed.mem"])
                return got

            quiet(save)()
            quiet(plain_save)()
            for name in FILES:
                with open(os.path.join("test", name)) as a, open(os.path.join("plain", name)) as b:
                    assert a.read() == b.read(), name
            loaded = quiet(load)()
            assert loaded.who == model.who and loaded.embedings == model.embedings

            t_save, t_plain_save = best_interleaved([quiet(save), quiet(plain_save)], args.repeat, time.process_time)
            t_load, t_plain_load = best_interleaved([quiet(load), quiet(plain_load)], args.repeat, time.process_time)
            t_who, t_embed, t_print, t_rest = best_interleaved([
                lambda: read("test/who.mem"),
                lambda: read("test/embed.mem"),
                quiet(lambda: print(loaded.embedings)),
                lambda: [read("test/" + name) for name in READS if name not in ("who.mem", "embed.mem")],
            ], args.repeat, time.process_time)
        finally:
            os.chdir(cwd)

    print(f"model directory V=5000 E=32 N=128, best of {args.repeat}")
    print(f"save: train(0)          {t_save * 1e3:8.1f} ms   plain Python {t_plain_save * 1e3:8.1f} ms   "
          f"speed-up {t_plain_save / t_save:5.2f}x")
    print(f"load: load_vocab='test' {t_load * 1e3:8.1f} ms   plain Python {t_plain_load * 1e3:8.1f} ms   "
          f"speed-up {t_plain_load / t_load:5.2f}x")
    print(f"  load parts: read who.mem {t_who * 1e3:.1f} ms, read embed.mem {t_embed * 1e3:.1f} ms, "
          f"print(embedings) {t_print * 1e3:.1f} ms, the other nine reads {t_rest * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
