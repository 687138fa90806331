"""Training throughput of ORVEX.wordmodel (word pairs per second) against the hand-written loop.

    python bench/bench_wordmodel.py            (V=1,000 and V=5,000; E=32, N=48)
    python bench/bench_wordmodel.py --quick    (fewer pairs)

The baseline is what a user had to write before the layer: a warmed-up RNNLM_HYBRID and
`model.run(1, word, next_word)` for every consecutive pair of the text, console output
silenced. The layer runs `wordmodel.train(model, text, 1)` on an identical model over the
same text (including its start-of-epoch snapshot and the text's tokenising). Both make the
same kernel steps; the ratio is layer / baseline pairs per second (goal: >= 1, not slower).
"""
import contextlib
import io
import random
import sys
import time

from ORVEX import wordmodel as wm

QUICK = "--quick" in sys.argv
E, N = 32, 48


def text_of(V, pairs, seed=7):
    rnd = random.Random(seed)
    words = [f"w{i}" for i in range(V)]
    seq = words + [rnd.choice(words) for _ in range(pairs + 1 - V)]  # every word appears
    return words, " ".join(seq)


def model_for(words):
    # A small rate keeps the run clear of the numeric wall (no restarts in the layer's figure).
    return wm.new_model(words, embed=E, neurons=N, lr=0.0005)


def baseline(words, text):
    model = model_for(words)
    tokens = wm.tokenize(text)
    sink = io.StringIO()
    with contextlib.redirect_stdout(sink):
        model.warmup("")
        t = time.perf_counter()
        for a, b in zip(tokens, tokens[1:]):
            model.run(1, a, b)
        return len(tokens) - 1, time.perf_counter() - t, model


def layer(words, text):
    model = model_for(words)
    t = time.perf_counter()
    result = wm.train(model, text, 1, on_wall="stop")
    elapsed = time.perf_counter() - t
    assert result.stopped is None, result.stopped
    return result.epochs[0].steps, elapsed, model


def main():
    print(__doc__.splitlines()[0])
    print(f"E={E}, N={N}; best of {2 if QUICK else 3} runs each, alternating\n")
    print(f"{'V':>6} {'pairs':>6} {'run() loop pairs/s':>19} {'layer pairs/s':>14} {'ratio':>6}")
    ok = True
    for V, pairs in ((1000, 1500 if QUICK else 3000), (5000, 5500 if QUICK else 8000)):
        words, text = text_of(V, pairs)
        best_b = best_l = float("inf")
        for _ in range(2 if QUICK else 3):
            n, tb, mb = baseline(words, text)
            best_b = min(best_b, tb)
            n2, tl, ml = layer(words, text)
            best_l = min(best_l, tl)
        assert n == n2
        # Same steps, same weights (the layer resets the hidden state only at the text's start).
        assert ml.who == mb.who and ml.embedings == mb.embedings
        rb, rl = n / best_b, n / best_l
        ok &= rl >= rb
        print(f"{V:>6} {n:>6} {rb:>19,.0f} {rl:>14,.0f} {rl / rb:>5.2f}x")
    print("\nlayer not slower than the run() loop:", "yes" if ok else "NO")


if __name__ == "__main__":
    main()
