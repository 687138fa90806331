"""Held-out perplexity of the word model against two baselines, and its training time.

    python bench/bench_wordmodel.py [TEXT ...]     (default: two licence texts of the machine)
    python bench/bench_wordmodel.py --quick        (the shorter default text only)

Each text is split by position: the first 90% trains (`new_model_for` and `train` with
their defaults; `train` itself holds out the last 10% of that for choosing the epoch and
the mixing weight), the last 10% is the test. Every model is scored on the same test
positions: those whose word and the word before it both occur in the training part. Rows:
the word-frequency table (unigram), an interpolated Kneser-Ney bigram (d = 0.75) of the
training part, the recurrent model alone, and its mixture with its n-gram model. Goals: the
recurrent model at most 0.8x the unigram's perplexity, the mixture at most the bigram's.
"""
import math
import os
import sys
import time

from ORVEX import wordmodel as wm
from ORVEX.ngram import NGram

DEFAULT_TEXTS = ["/usr/share/common-licenses/MPL-2.0", "/usr/share/common-licenses/GPL-3"]


def perplexity(probs):
    return math.exp(-math.fsum(map(math.log, probs)) / len(probs))


def measure(path):
    with open(path, encoding="utf-8") as fh:
        words = wm.tokenize(fh.read())
    cut = int(len(words) * 0.9)
    train_words, test = words[:cut], words[cut:]
    started, cpu = time.perf_counter(), time.process_time()
    train_text = " ".join(train_words)
    model = wm.new_model_for(train_text)
    result = wm.train(model, train_text)
    seconds, cpu = time.perf_counter() - started, time.process_time() - cpu
    counts = wm.word_counts(train_text)
    keep = [i for i in range(1, len(test)) if test[i] in counts and test[i - 1] in counts]
    total = sum(counts.values())
    kn = NGram([train_words], order=2)
    rows = {
        "unigram": [counts[test[i]] / total for i in keep],
        "KN bigram": [kn.prob(test[i - 1:i], test[i]) for i in keep],
    }
    for name, ngram in (("recurrent alone", False), ("combination", True)):
        probs = wm.sequence_probabilities(model, test, ngram=ngram)
        rows[name] = [probs[i - 1] for i in keep]
    return {
        "name": os.path.basename(path), "words": len(words), "V": model.vocabL, "scored": len(keep),
        "pairs": len(test) - 1, "ppl": {k: perplexity(v) for k, v in rows.items()}, "seconds": seconds, "cpu": cpu,
        "epochs": len(result.epochs), "best": result.best, "mix": model.mix,
    }


def main():
    texts = [a for a in sys.argv[1:] if not a.startswith("--")]
    if not texts:
        texts = DEFAULT_TEXTS[:1] if "--quick" in sys.argv else DEFAULT_TEXTS
    results = [measure(t) for t in texts]
    print(__doc__.splitlines()[0] + "\n")
    head = "| held-out perplexity | " + " | ".join(
        f"{r['name']}: {r['words']:,} words (V={r['V']})" for r in results) + " |"
    print(head)
    print("|---|" + "---|" * len(results))
    for row in ("unigram", "KN bigram", "recurrent alone", "combination"):
        print(f"| {row} | " + " | ".join(f"{r['ppl'][row]:.1f}" for r in results) + " |")
    print("| recurrent / unigram | " + " | ".join(
        f"{r['ppl']['recurrent alone'] / r['ppl']['unigram']:.2f}x" for r in results) + " |")
    print("| combination / KN bigram | " + " | ".join(
        f"{r['ppl']['combination'] / r['ppl']['KN bigram']:.2f}x" for r in results) + " |")
    print("| training time: wall (CPU), epochs run, kept | " + " | ".join(
        f"{r['seconds']:.1f} s ({r['cpu']:.1f} s), {r['epochs']}, {r['best']}" for r in results) + " |")
    print("| test words scored | " + " | ".join(f"{r['scored']} of {r['pairs']}" for r in results) + " |")
    print("| mixing weight of the recurrent model | " + " | ".join(f"{r['mix']:.2f}" for r in results) + " |")
    print("\nrecurrent <= 0.8x unigram and combination <= KN bigram:",
          "yes" if all(r["ppl"]["recurrent alone"] <= 0.8 * r["ppl"]["unigram"]
                       and r["ppl"]["combination"] <= r["ppl"]["KN bigram"] for r in results) else "NO")


if __name__ == "__main__":
    main()
