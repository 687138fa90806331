"""The `orvex` command: train the word model on text files, generate from it, describe it.

    orvex train TEXT... --model DIR [--epochs K] [--embed E] [--neurons N] [--lr LR]
                                    [--seed S] [--resume | --overwrite] [--on-wall MODE]
    orvex generate --model DIR --prompt "..." [--words N]
    orvex info --model DIR

Also runs as ``python -m ORVEX``. Bad input ends with one line on stderr and exit status 2;
Ctrl-C ends with status 130.
"""
from __future__ import annotations

import argparse
import os
import sys
from typing import Callable, List, Optional, Sequence

from ORVEX import wordmodel as wm

PROG = "orvex"
EXIT_BAD_INPUT = 2
EXIT_INTERRUPTED = 130


class _BadInput(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> "NoReturn":  # type: ignore[name-defined]  # noqa: F821
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


def _rate(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"{text!r} must be a positive number")
    return value


def _parser() -> argparse.ArgumentParser:
    p = _Parser(prog=PROG, description="Train the ORVEX word model on your own text and generate from it.")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    t = sub.add_parser("train", help="train a model on text files and save it",
                       description="Train on the consecutive word pairs of the text files and save the "
                                   "model into DIR (written whole or not at all).")
    t.add_argument("texts", nargs="+", metavar="TEXT", help="UTF-8 text file(s)")
    t.add_argument("--model", required=True, metavar="DIR", help="model directory to write")
    t.add_argument("--epochs", type=_count, default=20, metavar="K", help="passes over the text (default 20)")
    t.add_argument("--embed", type=_positive_int, metavar="E",
                   help=f"numbers per word (default {wm.DEFAULT_EMBED})")
    t.add_argument("--neurons", type=_positive_int, metavar="N",
                   help=f"hidden units (default {wm.DEFAULT_NEURONS})")
    t.add_argument("--lr", type=_rate, metavar="LR",
                   help=f"learning rate (default {wm.DEFAULT_LR}, or the saved one with --resume)")
    t.add_argument("--seed", type=int, default=wm.DEFAULT_SEED, metavar="S",
                   help=f"seed of the initial weights (default {wm.DEFAULT_SEED})")
    mode = t.add_mutually_exclusive_group()
    mode.add_argument("--resume", action="store_true", help="continue training the model in DIR")
    mode.add_argument("--overwrite", action="store_true", help="replace the model in DIR with a new one")
    t.add_argument("--on-wall", choices=("retry", "skip", "stop"), default="retry",
                   help="when a step meets the numeric wall: restart the epoch with half the learning "
                        "rate (retry, default), skip the pair and halve it (skip), or stop")
    t.add_argument("--quiet", action="store_true", help="no progress output")

    g = sub.add_parser("generate", help="continue a prompt", description="Continue a prompt by N words.")
    g.add_argument("--model", required=True, metavar="DIR")
    g.add_argument("--prompt", required=True)
    g.add_argument("--words", type=_count, default=20, metavar="N", help="words to add (default 20)")

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


def _train(args: argparse.Namespace) -> int:
    texts = _read_texts(args.texts)
    model_dir = args.model
    parent = os.path.dirname(os.path.abspath(model_dir))
    if not os.path.isdir(parent):
        raise _BadInput(f"{parent}: no such directory to put the model in")
    exists = os.path.exists(model_dir)
    if args.resume:
        model = wm.load(model_dir, lr=args.lr)
        for flag, value, have in (("--embed", args.embed, model.vecL), ("--neurons", args.neurons, model.neurons)):
            if value is not None and value != have:
                raise _BadInput(f"{flag} {value} does not match the model in {model_dir} ({have}); "
                                f"leave it out to continue that model")
        wm._pairs(texts, model.dictionary)  # words the model does not know fail here, before any work
        if not args.quiet:
            print(f"resuming {model_dir}: {len(model.history)} epoch(s) trained so far, lr {model.lr:g}",
                  file=sys.stderr)
    else:
        if exists:
            if not os.path.isdir(model_dir) or not wm._is_replaceable(model_dir):
                raise _BadInput(f"{model_dir}: exists and is not a model directory")
            if os.listdir(model_dir) and not args.overwrite:
                raise _BadInput(f"{model_dir}: already holds a model; use --resume to continue it "
                                f"or --overwrite to replace it")
        vocabulary = wm.build_vocabulary(texts)
        wm._pairs(texts, vocabulary)  # a text without a word pair fails here, before any work
        model = wm.new_model(vocabulary, embed=args.embed or wm.DEFAULT_EMBED,
                             neurons=args.neurons or wm.DEFAULT_NEURONS,
                             lr=args.lr if args.lr is not None else wm.DEFAULT_LR, seed=args.seed)
        if not args.quiet:
            print(f"vocabulary: {len(vocabulary)} words; model: embed {model.vecL}, neurons {model.neurons}, "
                  f"lr {model.lr:g}", file=sys.stderr)
    try:
        result = wm.train(model, texts, args.epochs, on_wall=args.on_wall, progress=not args.quiet)
    except wm.TrainingInterrupted as stop:
        done = len(stop.result.epochs)
        if done:
            wm.save(model, model_dir)
            print(f"{PROG}: interrupted; saved the last complete epoch ({model.history[-1]['epoch']}) "
                  f"into {model_dir}", file=sys.stderr)
        else:
            print(f"{PROG}: interrupted before an epoch completed; nothing saved"
                  f"{' (' + model_dir + ' unchanged)' if exists else ''}", file=sys.stderr)
        return EXIT_INTERRUPTED
    if result.stopped:
        print(f"{PROG}: training stopped at {result.stopped}", file=sys.stderr)
    if not result.epochs and args.epochs:
        print(f"{PROG}: no epoch completed; nothing saved", file=sys.stderr)
        return 1
    wm.save(model, model_dir)
    last = f", last loss {result.losses[-1]:.4f}" if result.epochs else ""
    print(f"saved {model_dir}: {len(model.history)} epoch(s){last}, lr {model.lr:g}", file=sys.stderr)
    return 0


def _generate(args: argparse.Namespace) -> int:
    model = wm.load(args.model)
    words = wm.generate(model, args.prompt, args.words)
    print(wm.join_words(wm.tokenize(args.prompt) + wm.tokenize(words)) if words else args.prompt)
    return 0


def _info(args: argparse.Namespace) -> int:
    i = wm.info(args.model)
    loss = "unknown" if i.last_loss is None else f"{i.last_loss:.4f}"
    print(f"model:      {args.model}")
    print(f"vocabulary: {i.vocabulary} words")
    print(f"sizes:      embed {i.embed}, neurons {i.neurons}, {i.parameters} parameters, "
          f"{i.bytes_on_disk} bytes on disk")
    print(f"training:   {i.epochs} epoch(s), last loss {loss}, learning rate {i.lr:g}")
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line; returns the exit status."""
    args = _parser().parse_args(argv)
    try:
        return {"train": _train, "generate": _generate, "info": _info}[args.command](args)
    except (wm.WordModelError, _BadInput) as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except OSError as exc:
        where = f"{exc.filename}: " if getattr(exc, "filename", None) else ""
        print(f"{PROG}: {where}{exc.strerror or exc}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
