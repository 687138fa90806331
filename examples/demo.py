"""Train a small word model on a bundled text, let it generate, reload it and generate again.

    python examples/demo.py [--rounds N] [--epochs N] [--keep]

Run it with the installed package (`pip install .`). The demo works inside a fresh temporary
directory: the vocabulary file and the model directory "test" that training writes land
there, and the directory is removed at the end (--keep leaves it and prints where it is).

Steps:
1. the words of examples/harbour.txt become the vocabulary, written with lystra.write;
2. a fresh RNNLM_HYBRID is warmed up with a prompt sentence from the text;
3. train(rounds): every ordered pair of vocabulary words, once per round (the line that
   train prints for every step is captured and turned into a progress bar with the loss);
4. the text's own word pairs, one kernel step each through run(1, word, next_word);
5. train(0) saves the model into test/ without further steps;
6. run(3) generates three lines: each is the second-to-last prompt word followed by the
   model's prediction of the next word at every position of the prompt;
7. the model is reloaded from test/, warmed up with the same prompt and run again: the
   lines are the same.
"""
import argparse
import contextlib
import io
import os
import re
import shutil
import sys
import tempfile
import time

from ORVEX.lystra import write
from ORVEX.synaptra import RNNLM_HYBRID

HERE = os.path.dirname(os.path.abspath(__file__))
TEXT = os.path.join(HERE, "harbour.txt")
PROMPT = "the fisher took the boat out to sea"
VECLENGTH, NEURONS, LEARNING_RATE, SEED = 32, 48, 0.05, 564963
BAR = 32


def words_of(text):
    return re.findall(r"[a-z]+", text.lower())


def vocabulary(words):
    seen = {}
    for w in words:
        seen.setdefault(w, None)
    return list(seen)


_quarters = {}


def draw_bar(out, label, done, total, loss, end=False):
    """Redraws the bar in place on a terminal; elsewhere prints it at each quarter."""
    tty = out.isatty()
    if not tty:
        quarter = 4 * done // total if total else 4
        if quarter <= _quarters.get(label, 0):
            return
        _quarters[label] = quarter
    filled = BAR * done // total if total else BAR
    loss_text = "" if loss is None else f"  loss {loss:8.4f}"
    line = f"  {label:<6} [{'#' * filled}{'.' * (BAR - filled)}] {done:6d}/{total}{loss_text}"
    out.write(("\r" + line + ("\n" if end else "")) if tty else line + "\n")
    out.flush()


class StepMeter(io.TextIOBase):
    """Takes the place of stdout while train runs: counts the per-step lines and shows a
    progress bar with the model's current loss; keeps the last lines train prints."""

    def __init__(self, out, model, label, total):
        super().__init__()
        self.out, self.model, self.label, self.total = out, model, label, total
        self.steps, self.pending, self.tail = 0, "", []

    def writable(self):
        return True

    def write(self, text):
        self.pending += text
        *lines, self.pending = self.pending.split("\n")
        for line in lines:
            if line.startswith("word1:"):
                self.steps += 1
                if self.steps % 97 == 0 or self.steps == self.total:
                    draw_bar(self.out, self.label, self.steps, self.total, getattr(self.model, "loss", None))
            else:
                self.tail.append(line)
        return len(text)


def capture(fn, *args):
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        fn(*args)
    return buf.getvalue()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3, help="train() rounds over all word pairs (default 3)")
    parser.add_argument("--epochs", type=int, default=8, help="passes over the text's word pairs (default 8)")
    parser.add_argument("--keep", action="store_true", help="keep the working directory")
    args = parser.parse_args()

    with open(TEXT) as fh:
        text = fh.read()
    words = words_of(text)
    vocab = vocabulary(words)
    V = len(vocab)
    work = tempfile.mkdtemp(prefix="orvex-demo-")
    start_dir = os.getcwd()
    started = time.perf_counter()
    os.chdir(work)
    try:
        print(f"text: {os.path.basename(TEXT)}, {len(words)} words, vocabulary of {V} words")
        write(vocab, "vocab.mem")
        model = RNNLM_HYBRID(V, "vocab.mem", VECLENGTH, seed=SEED, neurons=NEURONS, lr=LEARNING_RATE)
        print(f"model: V={V}, E={VECLENGTH}, N={NEURONS}, lr={LEARNING_RATE}, seed={SEED}")
        model.warmup(PROMPT)

        real = sys.stdout
        print(f"\ntraining: {args.rounds} round(s) of train() over all {V * V} ordered word pairs")
        meter = StepMeter(real, model, "train", args.rounds * V * V)
        with contextlib.redirect_stdout(meter):
            model.train(args.rounds)
        draw_bar(real, "train", meter.steps, meter.total, model.loss, end=True)

        pairs = [(a, b) for sentence in re.split(r"[.!?]", text.lower())
                 for a, b in zip(words_of(sentence), words_of(sentence)[1:])]
        total = args.epochs * len(pairs)
        print(f"then the text's {len(pairs)} word pairs, {args.epochs} passes, one step each with run(1, word, next)")
        done = 0
        for _ in range(args.epochs):
            for a, b in pairs:
                model.run(1, a, b)
                done += 1
                if done % 97 == 0 or done == total:
                    draw_bar(real, "text", done, total, model.loss)
        draw_bar(real, "text", done, total, model.loss, end=True)
        model.reply.clear()  # the kernel appended every prediction made while training

        saved = capture(model.train, 0).splitlines()  # no steps: writes test/ and prints loss and word
        print(f"saved into {os.path.join(work, 'test')}: {', '.join(sorted(os.listdir('test')))}")
        print(f"last loss {saved[0]}, last predicted word {saved[1]!r}")

        print(f"\nprompt: {PROMPT!r}")
        print("each line: the second-to-last prompt word, then the model's guess of the next word at every")
        print("position of the prompt (each guess is also a training step, so the lines can change)")
        print("generated by the trained model (run(3)):")
        first = capture(model.run, 3)
        for line in first.splitlines():
            print("   ", line)

        with contextlib.redirect_stdout(io.StringIO()):  # loading prints the embeddings
            reloaded = RNNLM_HYBRID(V, "vocab.mem", VECLENGTH, "test", SEED, NEURONS, LEARNING_RATE)
            reloaded.warmup(PROMPT)
        print('generated by the model reloaded from "test" (run(3)):')
        second = capture(reloaded.run, 3)
        for line in second.splitlines():
            print("   ", line)
        print("same output after reloading:", "yes" if first == second else "NO")
        print(f"\ndone in {time.perf_counter() - started:.1f} s")
        return 0 if first == second else 1
    finally:
        os.chdir(start_dir)
        if args.keep:
            print(f"working directory kept: {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
