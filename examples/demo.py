"""Train a small word model on a text, measure it, sample from it, save, reload, sample again.

    python examples/demo.py [--text FILE] [--prompt "..."] [--words N] [--plot loss.png] [--keep]

Run it with the installed package (`pip install .`; `pip install '.[plot]'` for --plot). It
uses the layer `ORVEX.wordmodel` (see docs/guide.md), the same one as the `orvex` command:

1. the words of the text (examples/harbour.txt unless --text) become the vocabulary;
2. a fresh model trains on the text with the defaults (the end of the text held out);
3. its held-out perplexity is compared with a word-frequency table's;
4. it continues a few prompts, each with two seeds;
5. it is saved into a model directory in a temporary folder (--keep leaves it there), loaded
   again, and gives the same words for the same seeds.
"""
import argparse
import importlib.util
import os
import shutil
import sys
import tempfile
import time

from ORVEX import wordmodel as wm

HERE = os.path.dirname(os.path.abspath(__file__))
PROMPTS = ["the fisher", "in the evening", "the sea was"]
SEEDS = (1, 2)


def plot(result, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(6, 3.5))
    epochs = [r.epoch for r in result.epochs]
    ax.plot(epochs, [r.perplexity for r in result.epochs], marker=".", label="training text")
    held = [(r.epoch, r.heldout_perplexity) for r in result.epochs if r.heldout is not None]
    if held:
        ax.plot(*zip(*held), marker=".", label="held-out slice")
    ax.set_xlabel("epoch")
    ax.set_ylabel("perplexity (exact soft-max)")
    ax.legend()
    fig.tight_layout()
    fig.savefig(path)
    print(f"perplexity curve: {path}")


def samples(model, prompts, words):
    return {(p, s): wm.generate(model, p, words, seed=s) for p in prompts for s in SEEDS}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--text", default=os.path.join(HERE, "harbour.txt"), help="UTF-8 text to train on")
    parser.add_argument("--prompt", action="append", help="a prompt to continue (repeatable)")
    parser.add_argument("--words", type=int, default=12, help="words to add to each prompt (default 12)")
    parser.add_argument("--plot", metavar="PNG", help="draw the perplexity per epoch into this file")
    parser.add_argument("--keep", action="store_true", help="keep the saved model directory")
    args = parser.parse_args()

    if args.plot and importlib.util.find_spec("matplotlib") is None:
        print("--plot needs matplotlib: pip install 'ORVEX[plot]'", file=sys.stderr)
        return 2
    started = time.perf_counter()
    with open(args.text, encoding="utf-8") as fh:
        text = fh.read()
    model = wm.new_model_for(text)
    print(f"text: {os.path.basename(args.text)}, {len(wm.tokenize(text))} words, vocabulary of "
          f"{model.vocabL} entries; model: embed {model.vecL}, neurons {model.neurons}, lr {model.lr:g}")

    result = wm.train(model, text)
    print(f"trained {len(result.epochs)} epoch(s) in {time.perf_counter() - started:.1f} s, kept epoch "
          f"{result.best}" + (f" ({result.stopped})" if result.stopped else ""))
    if result.heldout_perplexity is not None:
        print(f"held-out perplexity: word-frequency table {result.unigram_perplexity:.1f}, recurrent model "
              f"{result.rnn_perplexity:.1f}, mixed with the n-gram model {result.heldout_perplexity:.1f}")

    prompts = args.prompt or PROMPTS
    first = samples(model, prompts, args.words)
    print("\nsampled from the trained model (two seeds per prompt):")
    for (p, s), words in first.items():
        print(f"    {p} ... {words}")

    work = tempfile.mkdtemp(prefix="orvex-demo-")
    try:
        directory = os.path.join(work, "model")
        wm.save(model, directory)
        print(f"\nsaved into {directory}: {', '.join(sorted(os.listdir(directory)))}")
        reloaded = wm.load(directory)
        i = wm.info(directory)
        print(f"reloaded: {i.vocabulary} entries for {i.words} words, {i.parameters} parameters, "
              f"{i.bytes_on_disk} bytes, {i.epochs} epoch(s)")
        same = samples(reloaded, prompts, args.words) == first
        print("same words for the same seeds after reloading:", "yes" if same else "NO")
        if args.plot:
            plot(result, args.plot)
    finally:
        if args.keep:
            print(f"model directory kept: {os.path.join(work, 'model')}")
        else:
            shutil.rmtree(work, ignore_errors=True)
    print(f"done in {time.perf_counter() - started:.1f} s")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
