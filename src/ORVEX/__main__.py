"""The `orvex` command: train the word model on text files, measure it, sample from it.

    orvex train TEXT... --model DIR [--epochs K] [--holdout H] [--min-count C] [--embed E]
                                    [--neurons N] [--lr LR] [--seed S] [--resume | --overwrite]
    orvex generate --model DIR --prompt "..." [--words N] [--seed S] [--temperature T]
                                              [--top-k K] [--top-p P] [--greedy]
    orvex evaluate --model DIR TEXT...
    orvex info --model DIR
    orvex --version

Also runs as ``python -m ORVEX``. Exit statuses: 0 done; 1 the trained model does not beat a word-frequency table on the
held-out text (nothing saved, a previous model kept) or a file could not be written; 2 bad input, with one
line on stderr; 130 Ctrl-C. Progress and notes go to stderr, results to stdout.
"""
from __future__ import annotations

import argparse
import os
import sys
from typing import Callable, Dict, List, NoReturn, Optional, Sequence

import ORVEX
from ORVEX import _wm_base, _wm_store, _wm_train, wordmodel as wm

PROG = "orvex"
EXIT_NOT_LEARNED = 1
EXIT_BAD_INPUT = 2
EXIT_INTERRUPTED = 130


class _BadInput(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line instead of argparse's usage block.
        self.exit(EXIT_BAD_INPUT, f"{self.prog}: {message} (see {self.prog} --help)\n")


def _whole_number(minimum: int, rule: str) -> Callable[[str], int]:
    """An argparse type: a whole number of at least `minimum` (`rule` says so when it is not)."""
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"{text!r} {rule}")
        return value
    return parse


_positive_int = _whole_number(1, "must be at least 1")
_count = _whole_number(0, "must not be negative")


def _number(low: float, high: float, rule: str, high_inclusive: bool = False) -> Callable[[str], float]:
    """An argparse type: a number above `low` and below (or up to) `high`."""
    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
        if not (low < value < high or (high_inclusive and value == high)):
            raise argparse.ArgumentTypeError(f"{text!r} {rule}")
        return value
    return parse


_rate = _number(0.0, float("inf"), "must be a positive number")
_share = _number(-1e-300, 1.0, "must be a share from 0 up to (not including) 1")
_top_p = _number(0.0, 1.0, "must be above 0 and at most 1", high_inclusive=True)


def _parser() -> argparse.ArgumentParser:
    p = _Parser(prog=PROG, description="Train the ORVEX word model on your own text and sample from it.")
    p.add_argument("--version", action="version", version=f"{PROG} {ORVEX.__version__}")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    t = sub.add_parser("train", help="train a model on text files and save it",
                       description="Train on the consecutive word pairs of the text files, keep the epoch "
                                   "that predicts the held-out end of each text best, and save the model "
                                   "into DIR (written whole or not at all). Exit status 1 when the model "
                                   "does not beat a word-frequency table on the held-out text (nothing is "
                                   "saved then).")
    t.add_argument("texts", nargs="+", metavar="TEXT", help="UTF-8 text file(s)")
    t.add_argument("--model", required=True, metavar="DIR", help="model directory to write")
    t.add_argument("--epochs", type=_count, default=wm.DEFAULT_EPOCHS, metavar="K",
                   help=f"at most this many passes over the text (default {wm.DEFAULT_EPOCHS})")
    t.add_argument("--holdout", type=_share, default=wm.DEFAULT_HOLDOUT, metavar="H",
                   help=f"share of each text held out to pick the epoch and stop early "
                        f"(default {wm.DEFAULT_HOLDOUT})")
    t.add_argument("--patience", type=_positive_int, default=wm.DEFAULT_PATIENCE, metavar="P",
                   help=f"stop after this many epochs without improvement (default {wm.DEFAULT_PATIENCE})")
    t.add_argument("--min-count", type=_positive_int, default=wm.DEFAULT_MIN_COUNT, metavar="C",
                   help=f"words seen fewer times share one entry (default {wm.DEFAULT_MIN_COUNT})")
    t.add_argument("--embed", type=_positive_int, metavar="E",
                   help=f"numbers per word (default {wm.DEFAULT_EMBED})")
    t.add_argument("--neurons", type=_positive_int, metavar="N",
                   help=f"hidden units (default {wm.DEFAULT_NEURONS})")
    t.add_argument("--lr", type=_rate, metavar="LR",
                   help=f"learning rate (default {wm.DEFAULT_LR}, or the saved one with --resume)")
    t.add_argument("--seed", type=int, default=wm.DEFAULT_SEED, metavar="S",
                   help=f"seed of the initial weights (default {wm.DEFAULT_SEED})")
    t.add_argument("--no-ngram", dest="ngram", action="store_false",
                   help="do not mix in an n-gram model of the text")
    mode = t.add_mutually_exclusive_group()
    mode.add_argument("--resume", action="store_true", help="continue training the model in DIR")
    mode.add_argument("--overwrite", action="store_true", help="replace the model in DIR with a new one")
    t.add_argument("--on-wall", choices=("skip", "stop", "retry"), default="skip",
                   help="a step at the numeric wall: skip its pair (skip, default; retry is the old "
                        "name) or stop training")
    t.add_argument("--quiet", action="store_true", help="no progress output")

    g = sub.add_parser("generate", help="continue a prompt",
                       description="Continue a prompt by N words, sampled from the model.")
    g.add_argument("--model", required=True, metavar="DIR")
    g.add_argument("--prompt", required=True)
    g.add_argument("--words", type=_count, default=20, metavar="N", help="words to add (default 20)")
    g.add_argument("--seed", type=int, metavar="S", help="the same seed gives the same words (default: random)")
    g.add_argument("--temperature", type=_rate, default=wm.DEFAULT_TEMPERATURE, metavar="T",
                   help=f"below 1: safer words, above 1: bolder (default {wm.DEFAULT_TEMPERATURE})")
    g.add_argument("--top-k", type=_count, default=0, metavar="K",
                   help="draw from the K likeliest words only (default 0: no limit)")
    g.add_argument("--top-p", type=_top_p, default=wm.DEFAULT_TOP_P, metavar="P",
                   help=f"draw from the likeliest words holding this share (default {wm.DEFAULT_TOP_P})")
    g.add_argument("--greedy", action="store_true", help="always the model's own arg-max (no sampling)")
    g.add_argument("--no-ngram", dest="ngram", action="store_false", help="the recurrent model alone")

    e = sub.add_parser("evaluate", help="cross-entropy and perplexity on text files",
                       description="How well the model predicts each word of the texts from the words "
                                   "before it: exact cross-entropy (natural log) and perplexity.")
    e.add_argument("--model", required=True, metavar="DIR")
    e.add_argument("texts", nargs="+", metavar="TEXT", help="UTF-8 text file(s)")
    e.add_argument("--no-ngram", dest="ngram", action="store_false", help="the recurrent model alone")

    i = sub.add_parser("info", help="sizes and training summary of a model")
    i.add_argument("--model", required=True, metavar="DIR")
    return p


def _read_texts(paths: Sequence[str]) -> List[str]:
    texts = []
    for path in paths:
        try:
            with open(path, encoding="utf-8") as fh:
                texts.append(fh.read())
        except FileNotFoundError:
            raise _BadInput(f"{path}: no such file") from None
        except IsADirectoryError:
            raise _BadInput(f"{path}: is a directory, not a text file") from None
        except UnicodeDecodeError as exc:
            raise _BadInput(f"{path}: not UTF-8 text ({exc.reason} at byte {exc.start})") from None
        except OSError as exc:
            raise _BadInput(f"{path}: {exc.strerror or exc}") from None
        if not wm.tokenize(texts[-1]):
            raise _BadInput(f"{path}: the text has no words")
    return texts


def _note(text: str) -> None:
    print(f"{PROG}: {text}", file=sys.stderr, flush=True)


def _ppl(x: Optional[float]) -> str:
    return "unknown" if x is None else f"{x:.1f}"


def _train(args: argparse.Namespace) -> int:
    texts = _read_texts(args.texts)
    _wm_train._training_streams(texts)  # a text without two words in a row fails here, before any work
    model_dir = args.model
    real = os.path.realpath(model_dir)
    parent = os.path.dirname(real)
    if not os.path.isdir(parent):
        raise _BadInput(f"{parent}: no such directory to put the model in")
    exists = os.path.lexists(model_dir)
    if args.resume:
        model = wm.load(model_dir, lr=args.lr)
        for flag, value, have in (("--embed", args.embed, model.vecL), ("--neurons", args.neurons, model.neurons)):
            if value is not None and value != have:
                raise _BadInput(f"{flag} {value} does not match the model in {model_dir} ({have}); "
                                f"leave it out to continue that model")
        if not args.quiet:
            _note(f"resuming {model_dir}: {len(_wm_base._history(model))} epoch(s) trained so far, lr {model.lr:g}")
    else:
        if exists:
            if not os.path.isdir(real) or not _wm_store._is_replaceable(real):
                raise _BadInput(f"{model_dir}: exists and is not a model directory")
            if os.listdir(real) and not args.overwrite:
                raise _BadInput(f"{model_dir}: already holds a model; use --resume to continue it "
                                f"or --overwrite to replace it")
        model = wm.new_model_for(texts, min_count=args.min_count, embed=args.embed or wm.DEFAULT_EMBED,
                                 neurons=args.neurons or wm.DEFAULT_NEURONS,
                                 lr=args.lr if args.lr is not None else wm.DEFAULT_LR, seed=args.seed)
        if not args.quiet:
            _note(f"{sum(map(len, map(wm.tokenize, texts))):,} words, vocabulary of {model.vocabL} entries; "
                  f"embed {model.vecL}, neurons {model.neurons}, lr {model.lr:g}")
    try:
        result = wm.train(model, texts, args.epochs, holdout=args.holdout, patience=args.patience,
                          on_wall=args.on_wall, ngram=args.ngram, progress=not args.quiet)
    except wm.TrainingInterrupted as stop:
        if stop.result.epochs:
            wm.save(model, model_dir)
            _note(f"interrupted; saved the best complete epoch ({stop.result.best}) into {model_dir}")
        else:
            _note(f"interrupted before an epoch completed; nothing saved"
                  f"{' (' + model_dir + ' unchanged)' if exists else ''}")
        return EXIT_INTERRUPTED
    if not result.learned:
        _note(f"the model did not learn: held-out perplexity {_ppl(result.heldout_perplexity)}, not below the "
              f"word-frequency table's {_ppl(result.unigram_perplexity)}; nothing saved"
              f"{' (' + model_dir + ' unchanged)' if exists else ''}")
        return EXIT_NOT_LEARNED
    wm.save(model, model_dir)
    if not args.quiet:
        held = ("" if result.heldout_perplexity is None else
                f"; held-out perplexity {_ppl(result.heldout_perplexity)} (recurrent alone "
                f"{_ppl(result.rnn_perplexity)}, word-frequency table {_ppl(result.unigram_perplexity)})")
        _note(f"saved {model_dir}: epoch {result.best} of {len(_wm_base._history(model))}{held}")
    return 0


def _generate(args: argparse.Namespace) -> int:
    model = wm.load(args.model)
    unknown = wm.unknown_words(model, args.prompt)
    if unknown:
        _note(f"note: {', '.join(map(repr, unknown))} not in the model's text; read as a rare word")
    words = wm.generate(model, args.prompt, args.words, seed=args.seed, temperature=args.temperature,
                        top_k=args.top_k, top_p=args.top_p, greedy=args.greedy, ngram=args.ngram)
    print(wm.join_words(wm.tokenize(args.prompt) + wm.tokenize(words)))
    return 0


def _evaluate(args: argparse.Namespace) -> int:
    model = wm.load(args.model)
    ev = wm.evaluate(model, _read_texts(args.texts), ngram=args.ngram)
    print(f"cross-entropy {ev.cross_entropy:.4f} nats per word, perplexity {ev.perplexity:.1f}, "
          f"{ev.scored} words scored, {ev.skipped:.1%} skipped (not in the training text)")
    return 0


def _info(args: argparse.Namespace) -> int:
    i = wm.info(args.model)
    loss = "unknown" if i.last_loss is None else f"{i.last_loss:.4f} (perplexity {_wm_base._exp(i.last_loss):.1f})"
    held = "" if i.heldout is None else f", held-out {i.heldout:.4f} (perplexity {_wm_base._exp(i.heldout):.1f})"
    mix = "none" if i.mix is None else f"weight of the recurrent model {i.mix:.2f}"
    print(f"model:      {args.model}")
    print(f"vocabulary: {i.vocabulary} entries for {i.words} words")
    print(f"sizes:      embed {i.embed}, neurons {i.neurons}, {i.parameters} parameters, "
          f"{i.bytes_on_disk} bytes on disk")
    print(f"training:   {i.epochs} epoch(s), learning rate {i.lr:g}; cross-entropy: train {loss}{held}")
    print(f"n-gram mix: {mix}")
    if i.heldout_perplexity is not None:
        print(f"held-out:   perplexity {_ppl(i.heldout_perplexity)} (recurrent alone {_ppl(i.rnn_perplexity)}, "
              f"word-frequency table {_ppl(i.unigram_perplexity)})")
    return 0


_COMMANDS: Dict[str, Callable[[argparse.Namespace], int]] = {
    "train": _train, "generate": _generate, "evaluate": _evaluate, "info": _info}


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line; returns the exit status."""
    args = _parser().parse_args(argv)
    try:
        return _COMMANDS[args.command](args)
    except (wm.WordModelError, _BadInput) as exc:
        _note(str(exc))
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        _note("interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:  # the reader of stdout went away (e.g. `| head`): not an error
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except (OSError, ValueError, AttributeError):
            pass
        return 0
    except OSError as exc:
        where = f"{exc.filename}: " if getattr(exc, "filename", None) else ""
        _note(f"{where}{exc.strerror or exc}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
