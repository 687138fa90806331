"""Train the word model on your own text, measure it, save it where you like, sample from it.

A layer over `ORVEX.synaptra.RNNLM_HYBRID` and its step `ORVEX.tensilo.activate_step`: it
reads plain text, builds the vocabulary (words seen only once share one entry), steps the
model over the text's consecutive word pairs, keeps the best epoch by the exact
cross-entropy of a held-out slice, mixes the result with a Kneser-Ney n-gram model of the
same text, and keeps the model directory consistent on disk. The model class is not
changed: a directory written here is loaded by ``RNNLM_HYBRID(..., load_vocab=DIR)`` too.

Typical use::

    from ORVEX import wordmodel as wm
    text = open("my.txt", encoding="utf-8").read()
    model = wm.new_model_for(text)
    result = wm.train(model, text, progress=True)
    wm.save(model, "my-model")
    model = wm.load("my-model")
    print(wm.generate(model, "the boat", words=12, seed=1))
    print(wm.next_word_distribution(model, "the")["boat"])
"""
from __future__ import annotations

import contextlib
import dataclasses
import fcntl
import functools
import io
import itertools
import json
import math
import operator
import os
import random as _random
import re
import shutil
import signal
import sys
import tempfile
import threading
import time
from collections import Counter
from typing import (Any, Callable, Dict, Iterable, Iterator, List, Mapping, Optional, Sequence, TextIO,
                    Tuple, Union)

from ORVEX import lystra, numerix, tensilo
from ORVEX.ngram import NGram
from ORVEX.synaptra import RNNLM_HYBRID

try:  # the native loop over the step and the step's forward pass, where built
    from ORVEX import _kernel  # type: ignore[attr-defined]
except ImportError:
    _kernel = None

__all__ = [
    "MODEL_FILES", "HISTORY_FILE", "NGRAM_FILE", "RARE", "DEFAULT_EMBED", "DEFAULT_NEURONS",
    "DEFAULT_LR", "DEFAULT_SEED", "DEFAULT_EPOCHS", "DEFAULT_MIN_COUNT", "DEFAULT_HOLDOUT",
    "DEFAULT_PATIENCE", "DEFAULT_TEMPERATURE", "DEFAULT_TOP_P",
    "WordModelError", "TrainingInterrupted", "EpochReport", "TrainResult", "Evaluation", "ModelInfo",
    "tokenize", "word_counts", "build_vocabulary", "join_words", "new_model", "new_model_for", "train",
    "unknown_words",
    "next_word_distribution", "sequence_probabilities", "evaluate", "save", "load", "generate", "info",
]

#: The eight files of a model directory, in the order the model class reads them.
MODEL_FILES = ("embed.mem", "info.meta", "bias.mem", "lhweights.mem", "lweights.mem",
               "dict.mem", "who.mem", "bo.mem")
#: Training history written beside the eight files (the model class ignores it).
HISTORY_FILE = "history.json"
#: The n-gram counts of the training text and the mixing weight (the model class ignores it).
NGRAM_FILE = "ngram.json"
#: The vocabulary entry shared by the words seen fewer than `min_count` times.
RARE = "<rare>"

DEFAULT_EMBED = 32
DEFAULT_NEURONS = 48
DEFAULT_LR = 0.05
DEFAULT_SEED = 564963
DEFAULT_EPOCHS = 20
DEFAULT_MIN_COUNT = 3
DEFAULT_HOLDOUT = 0.1
DEFAULT_PATIENCE = 3
DEFAULT_FINAL_PASSES = 3
DEFAULT_TEMPERATURE = 0.8
DEFAULT_TOP_P = 0.9
#: After an epoch that is kept, the next one starts with this many times the rate it ended
#: with (measured: 1.4 learned more than 1.0 on three of four texts; a rolled-back epoch
#: halves the rate instead).
LR_GROWTH = 1.4
#: Below this learning rate training stops: steps would change almost nothing.
MIN_LR = 1e-6
#: The output bias starts at the log word frequency, not below this.
BIAS_FLOOR = -6.0
#: Models larger than this many numbers are refused (they would not fit in memory as lists).
MAX_PARAMETERS = 20_000_000
#: The training cross-entropy that decides whether an epoch is kept is measured on about this
#: many positions, spread evenly over the training text.
TRAIN_SAMPLE = 600
#: Held-out slices with fewer pairs than this are not held out (the whole text trains).
MIN_HELDOUT_PAIRS = 10

# The text the kernel's loss raises when a probability of the truncated soft-max is not positive.
_WALL_TEXT = "x must be > 0"

_TOKEN = re.compile(r"[^\W_]+(?:['\-][^\W_]+)*|[.,;:!?]")
_PUNCTUATION = frozenset(".,;:!?")

TextInput = Union[str, Sequence[str]]
PathInput = Union[str, "os.PathLike[str]"]
Words = Union[str, Sequence[str]]

# Sums in the step's order: a double starting at 0.0 adding each product in ascending order.
# sum() does exactly that before 3.12; from 3.12 on it compensates rounding for floats, so the
# plain left-to-right reduction is used there.
# `_sum(map(_mul, row, h), start)` is one dot product of the step, with no Python frame.
_mul = operator.mul
_sum: Callable[[Iterable[float], float], float]
if sys.version_info < (3, 12):
    _sum = sum
else:  # pragma: no cover - version dependent
    _sum = functools.partial(functools.reduce, operator.add)


class WordModelError(ValueError):
    """Bad input for the layer (an unusable text, a missing or inconsistent model directory).

    Its message is one line meant for the user.
    """


class TrainingInterrupted(KeyboardInterrupt):
    """Ctrl-C during `train`: the model holds the best complete epoch (possibly none).

    `result` holds the epochs that completed.
    """

    def __init__(self, result: "TrainResult") -> None:
        super().__init__("training interrupted")
        self.result = result


@dataclasses.dataclass
class EpochReport:
    """One pass over the training text.

    `epoch` counts earlier training of the same model; `loss` and `heldout` are the exact
    cross-entropies (natural log, per word) of the recurrent model after the epoch on the
    training text and on the held-out slice (None without one); `lr` the learning rate the
    epoch ran with; `steps` the steps made, `walls` the pairs skipped at the numeric wall;
    `kept` is False when the epoch made the training cross-entropy worse and was rolled back
    (the rate is then halved); `seconds` its duration.
    """
    epoch: int
    loss: float
    heldout: Optional[float]
    lr: float
    steps: int
    walls: int
    kept: bool
    seconds: float

    @property
    def perplexity(self) -> float:
        """exp(loss): the training perplexity."""
        return _exp(self.loss)

    @property
    def heldout_perplexity(self) -> Optional[float]:
        """exp(heldout), or None without a held-out slice."""
        return None if self.heldout is None else _exp(self.heldout)


@dataclasses.dataclass
class TrainResult:
    """What `train` did: one report per epoch, the epoch the model now holds (`best`, 0 for the
    weights it started with), why it stopped early (None when all epochs ran), and held-out
    perplexities of the word-frequency table, the recurrent model alone and the mixture with
    the n-gram model (None without a held-out slice)."""
    epochs: List[EpochReport]
    best: int = 0
    stopped: Optional[str] = None
    unigram_perplexity: Optional[float] = None
    rnn_perplexity: Optional[float] = None
    heldout_perplexity: Optional[float] = None

    @property
    def losses(self) -> List[float]:
        """The training cross-entropy after each epoch."""
        return [e.loss for e in self.epochs]

    @property
    def learned(self) -> bool:
        """False when the held-out perplexity is not below the word-frequency table's."""
        return (self.heldout_perplexity is None or self.unigram_perplexity is None
                or self.heldout_perplexity < self.unigram_perplexity)


@dataclasses.dataclass
class Evaluation:
    """How well a model predicts the words of a text: the exact cross-entropy (natural log, per
    word) and perplexity over the `scored` words, the share of words `skipped` because they
    never occur in the training text, and the share of scored words whose vocabulary entry
    the recurrent model ranks first (`accuracy`)."""
    cross_entropy: float
    perplexity: float
    scored: int
    skipped: float
    accuracy: float

    @property
    def pairs(self) -> int:
        """The number of scored words (each with the words before it)."""
        return self.scored

    @property
    def loss(self) -> float:
        """Same as `cross_entropy`."""
        return self.cross_entropy


@dataclasses.dataclass
class ModelInfo:
    """Sizes of a model and what its history says about its training."""
    vocabulary: int
    embed: int
    neurons: int
    parameters: int
    epochs: int
    last_loss: Optional[float]
    lr: float
    bytes_on_disk: Optional[int] = None
    heldout: Optional[float] = None
    words: int = 0
    mix: Optional[float] = None
    heldout_perplexity: Optional[float] = None
    rnn_perplexity: Optional[float] = None
    unigram_perplexity: Optional[float] = None


def _exp(x: float) -> float:
    try:
        return math.exp(x)
    except OverflowError:
        return math.inf


# ---------------------------------------------------------------------------------------------
# text
# ---------------------------------------------------------------------------------------------
def tokenize(text: str) -> List[str]:
    """Split a text into the model's words.

    The rule: the text is lower-cased; a word is a run of letters and digits, which may be
    joined by single apostrophes or hyphens inside it ("don't", "well-known"); each of the six
    punctuation marks . , ; : ! ? is a word of its own (so the model learns where sentences
    end); every other character (spaces, line breaks, quotes, brackets, dashes standing alone,
    other symbols) only separates words and is dropped. The typographic apostrophe counts as
    an apostrophe.

    >>> tokenize("The boat's out -- at sea!  (Again.)")
    ['the', "boat's", 'out', 'at', 'sea', '!', 'again', '.']
    """
    return _TOKEN.findall(text.lower().replace("\u2019", "'"))


def _streams(texts: TextInput) -> List[List[str]]:
    if isinstance(texts, str):
        texts = [texts]
    return [tokenize(t) for t in texts]


def _words_of(words: Words) -> List[str]:
    if isinstance(words, str):
        return tokenize(words)
    out = list(words)
    if not all(isinstance(w, str) for w in out):
        raise WordModelError("words must be a text or a list of words (str)")
    return out


def word_counts(texts: TextInput) -> Dict[str, int]:
    """How often each word occurs in one text or several, in order of first appearance.

    >>> word_counts("the sea, the boat.")
    {'the': 2, 'sea': 1, ',': 1, 'boat': 1, '.': 1}
    """
    counts: Dict[str, int] = {}
    for stream in _streams(texts):
        for w in stream:
            counts[w] = counts.get(w, 0) + 1
    return counts


def build_vocabulary(texts: TextInput, *, min_count: int = 1) -> List[str]:
    """The distinct words of one text or several, in order of first appearance (see `tokenize`).

    With `min_count` above 1, the words seen fewer times share one entry, `RARE`, placed
    where the first of them appeared.

    >>> build_vocabulary("the sea, the boat.")
    ['the', 'sea', ',', 'boat', '.']
    >>> build_vocabulary("the sea, the boat.", min_count=2)
    ['the', '<rare>']
    """
    _check_size("min_count", min_count)
    out: Dict[str, None] = {}
    for w, c in word_counts(texts).items():
        out.setdefault(w if c >= min_count else RARE, None)
    return list(out)


def join_words(words: Sequence[str]) -> str:
    """Join words with spaces, punctuation attached to the word before it.

    >>> join_words(["at", "sea", ".", "the", "end", "!"])
    'at sea. the end!'
    """
    out: List[str] = []
    for w in words:
        if out and w in _PUNCTUATION:
            out[-1] += w
        else:
            out.append(w)
    return " ".join(out)


# ---------------------------------------------------------------------------------------------
# model
# ---------------------------------------------------------------------------------------------
def _check_size(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise WordModelError(f"{name} must be a positive whole number, not {value!r}")
    return value


def _check_lr(lr: Any) -> float:
    if isinstance(lr, bool) or not isinstance(lr, (int, float)) or not (0 < lr < math.inf):
        raise WordModelError(f"the learning rate must be a positive number, not {lr!r}")
    return float(lr)


def _parameters(V: int, E: int, N: int) -> int:
    return V * E + N * E + N * N + N + V * N + V


def new_model(vocabulary: Sequence[str], *, embed: int = DEFAULT_EMBED, neurons: int = DEFAULT_NEURONS,
              lr: float = DEFAULT_LR, seed: int = DEFAULT_SEED,
              counts: Optional[Mapping[str, int]] = None) -> RNNLM_HYBRID:
    """A fresh model for `vocabulary` (a list of distinct words, e.g. from `build_vocabulary`),
    with `embed` numbers per word, `neurons` hidden units and learning rate `lr`; the weights
    are drawn from the seeded generators, so the same arguments give the same model.

    With `counts` (word counts of the training text, e.g. from `word_counts`) the output bias
    starts at the log frequency of each entry (floored at -6), so the model knows the word
    frequencies before its first step; a `RARE` entry counts the words the vocabulary lacks.

    >>> model = new_model(["a", "b", "c"], embed=4, neurons=3, lr=0.05)
    >>> (model.vocabL, model.vecL, model.neurons, model.dictionary)
    (3, 4, 3, ['a', 'b', 'c'])
    """
    words = list(vocabulary)
    if not words:
        raise WordModelError("the vocabulary is empty")
    if not all(isinstance(w, str) for w in words):
        raise WordModelError("the vocabulary must hold words (str)")
    if len(set(words)) != len(words):
        raise WordModelError("the vocabulary has repeated words")
    _check_size("embed", embed)
    _check_size("neurons", neurons)
    if _parameters(len(words), embed, neurons) > MAX_PARAMETERS:
        raise WordModelError(f"a model of {len(words)} words, embed {embed} and {neurons} neurons is too "
                             f"large (over {MAX_PARAMETERS:,} numbers)")
    lr = _check_lr(lr)
    if isinstance(seed, bool) or not isinstance(seed, int):
        raise WordModelError(f"the seed must be a whole number, not {seed!r}")
    with tempfile.TemporaryDirectory(prefix="orvex-vocab-") as tmp:
        path = os.path.join(tmp, "dict.mem")
        lystra.write(words, path)
        model = RNNLM_HYBRID(len(words), path, embed, "no", seed, neurons, lr)
    if counts is not None:
        per: Counter[str] = Counter()
        known = set(words)
        for w, c in counts.items():
            per[w if w in known else RARE] += c
        total = sum(per.values())
        if total > 0:
            model.bo = [max(math.log(per[w] / total), BIAS_FLOOR) if per[w] else BIAS_FLOOR for w in words]
    _set(model, history=[], ngram=None, mix=None)
    return model


def new_model_for(texts: TextInput, *, min_count: int = DEFAULT_MIN_COUNT, embed: int = DEFAULT_EMBED,
                  neurons: int = DEFAULT_NEURONS, lr: float = DEFAULT_LR,
                  seed: int = DEFAULT_SEED) -> RNNLM_HYBRID:
    """A fresh model for training on `texts`: the vocabulary of `build_vocabulary(texts,
    min_count=min_count)` and the output bias started at the word frequencies (`new_model`).

    >>> model = new_model_for("the sea, the boat. the end.", min_count=2)
    >>> model.dictionary
    ['the', '<rare>', '.']
    """
    counts = word_counts(texts)
    if not counts:
        raise WordModelError("the text has no words")
    return new_model(build_vocabulary(texts, min_count=min_count), embed=embed, neurons=neurons, lr=lr,
                     seed=seed, counts=counts)


def _set(model: RNNLM_HYBRID, **values: Any) -> None:
    for k, v in values.items():
        setattr(model, k, v)


def _history(model: RNNLM_HYBRID) -> List[Dict[str, Any]]:
    hist = getattr(model, "history", None)
    if not isinstance(hist, list):
        hist = []
        _set(model, history=hist)
    return hist


def _ngram(model: RNNLM_HYBRID) -> Optional[NGram]:
    ng = getattr(model, "ngram", None)
    return ng if isinstance(ng, NGram) else None


def _mix(model: RNNLM_HYBRID) -> Optional[float]:
    mix = getattr(model, "mix", None)
    return mix if isinstance(mix, float) else None


_WEIGHTS = ("embedings", "lweights", "lhweights", "bias", "who", "bo", "ht")


def _snapshot(model: RNNLM_HYBRID) -> Dict[str, Any]:
    """Copies of every list the kernel writes (rows copied, numbers shared: they are immutable)."""
    snap: Dict[str, Any] = {}
    for name in _WEIGHTS:
        value = getattr(model, name)
        snap[name] = [row[:] if isinstance(row, list) else row for row in value]
    snap["lr"] = model.lr
    return snap


def _restore(model: RNNLM_HYBRID, snap: Dict[str, Any]) -> None:
    for name in _WEIGHTS:
        setattr(model, name, [row[:] if isinstance(row, list) else row for row in snap[name]])
    model.lr = snap["lr"]


def _is_wall(exc: BaseException) -> bool:
    return isinstance(exc, ValueError) and exc.args == (_WALL_TEXT,)


@contextlib.contextmanager
def _scratch_reply(model: Any) -> Iterator[List[str]]:
    """The kernel appends each prediction to `reply`; give it a fresh one and put back the old."""
    had = hasattr(model, "reply")
    old = model.reply if had else None
    model.reply = []
    try:
        yield model.reply
    finally:
        if had:
            model.reply = old
        else:
            del model.reply


# ---------------------------------------------------------------------------------------------
# the step and the forward pass
# ---------------------------------------------------------------------------------------------
def _run_pairs(model: Any, pairs: Sequence[Tuple[int, int]], skip_walls: bool = True) -> int:
    """Step the model once per (input, target) pair, in order; returns how many pairs were
    skipped because the step met the numeric wall (such a step updates no weight). With
    `skip_walls` False the wall's ValueError propagates. `model.reply` must be a list: each
    step appends to it, which is how the pairs done before a failure are counted."""
    walls, start, n = 0, 0, len(pairs)
    reply = model.reply
    while start < n:
        before = len(reply)
        try:
            if _kernel is not None:
                _kernel.run_pairs(model, pairs[start:] if start else pairs)
            else:
                step = tensilo.activate_step
                for a, t in itertools.islice(pairs, start, None):
                    step(model, a, t)
            return walls
        except ValueError as exc:
            if not skip_walls or not _is_wall(exc):
                raise
            walls += 1
            start += len(reply) - before + 1
    return walls


def _hidden(model: Any, a: int, h: Sequence[float]) -> List[float]:
    """The step's new hidden state for input entry `a` (-1: a zero input vector) after `h`."""
    emb = model.embedings[a] if a >= 0 else [0.0] * model.vecL
    out = []
    for wl, wh, b in zip(model.lweights, model.lhweights, model.bias):
        s = _sum(map(_mul, wh, h), _sum(map(_mul, wl, emb), 0.0)) + b
        out.append(s if s > 0 else 0.01 * s)
    return out


def _scores(model: Any, h: Sequence[float]) -> List[float]:
    """The step's output scores for hidden state `h`."""
    return [_sum(map(_mul, row, h), 0.0) + b for row, b in zip(model.who, model.bo)]


def _forward(model: Any, a: int, h: Sequence[float]) -> Tuple[List[float], List[float]]:
    """The step's forward pass without its update: (new hidden state, output scores), the same
    numbers the step computes (the native pass when built, else the same sums in Python)."""
    if _kernel is not None and a >= 0:
        try:
            h_new, z = _kernel.forward(model, a, h)
            return list(h_new), list(z)
        except TypeError:  # not plain floats: the Python pass takes anything the step takes
            pass
    h_new = _hidden(model, a, h)
    return h_new, _scores(model, h_new)


def _log_softmax(z: Sequence[float]) -> List[float]:
    """log of the exact soft-max of `z`, in double precision (log-sum-exp)."""
    m = max(z)
    if not math.isfinite(m):
        return [math.nan] * len(z)
    shifted = [x - m for x in z]
    lse = math.log(sum(map(math.exp, shifted)))
    return [x - lse for x in shifted]


def _walk(model: Any, inputs: Sequence[int], scored: Optional[Sequence[bool]] = None
          ) -> List[Optional[List[float]]]:
    """Run the model over `inputs` (entries; -1 is a zero input) from a zero hidden state and
    return, for each position, the output scores after it (None where `scored` says False).

    Without the native pass, positions that are not scored step a private copy of the model
    with learning rate 0 for the hidden state alone, which the step computes faster than Python.
    """
    out: List[Optional[List[float]]] = []
    h: List[float] = [0.0] * model.neurons
    scratch = None
    if _kernel is None and scored is not None and not all(scored):
        scratch = _scratch_model(model)
    for i, a in enumerate(inputs):
        want = scored is None or scored[i]
        if want or scratch is None or a < 0:
            if want:
                h, z = _forward(model, a, h)
                out.append(z)
            else:
                h = _hidden(model, a, h)
                out.append(None)
        else:
            scratch.ht = h
            try:
                tensilo.activate_step(scratch, a, 0)
            except ValueError as exc:  # the state is already replaced when the loss fails
                if not _is_wall(exc):
                    raise
            h = scratch.ht
            out.append(None)
    return out


class _Scratch:
    pass


def _scratch_model(model: Any) -> Any:
    """A private copy the step can run with learning rate 0: states without touching `model`."""
    scratch: Any = _Scratch()
    for name in _WEIGHTS:
        setattr(scratch, name, [list(row) if isinstance(row, (list, tuple)) else row
                                for row in getattr(model, name)])
    scratch.neurons, scratch.vocabL, scratch.vecL = model.neurons, model.vocabL, model.vecL
    scratch.dictionary = model.dictionary
    scratch.lr = 0.0
    scratch.reply = []
    return scratch


# ---------------------------------------------------------------------------------------------
# words and entries
# ---------------------------------------------------------------------------------------------
@dataclasses.dataclass
class _Vocab:
    """Every word the model gives a probability, its entry and its share of that entry."""
    words: List[str]
    entry: List[int]
    share: List[float]
    index: Dict[str, int]  # word -> entry, for the words of `words`
    rare: int  # the shared entry, or -1

    def input_of(self, w: str) -> int:
        """The entry a word is read as: its own, else the shared one, else -1 (zero input)."""
        return self.index.get(w, self.rare)


def _vocab(model: RNNLM_HYBRID, counts_of: Optional[NGram] = None) -> _Vocab:
    """The model's words, entries and shares (the shares from the counts of `counts_of`, by
    default the model's own n-gram table)."""
    d = model.dictionary
    own = {w: i for i, w in reversed(list(enumerate(d)))}
    rare = own.pop(RARE, -1)
    ng = counts_of if counts_of is not None else _ngram(model)
    counts: Mapping[str, int] = ng.unigrams if ng is not None else {}
    words = list(own)
    shared = [w for w in (ng.words if ng is not None else ()) if w not in own and w != RARE]
    words += shared
    if rare >= 0 and not shared:
        words.append(RARE)  # nothing says which words share it
    total = sum(counts.get(w, 0) for w in shared)
    index = dict(own)
    entry, share = [], []
    for w in words:
        if w in own:
            entry.append(own[w])
            share.append(1.0)
        else:
            if rare < 0:
                raise WordModelError(f"the n-gram table has the word {w!r}, which the model has no entry for")
            entry.append(rare)
            if w == RARE:
                share.append(1.0)
            else:
                share.append(counts.get(w, 0) / total if total else 1.0 / len(shared))
            index[w] = rare
    return _Vocab(words, entry, share, index, rare)


def unknown_words(model: RNNLM_HYBRID, words: Words) -> List[str]:
    """The words of `words` that the model's training text does not have, in order, once each.
    (They are read as the shared rare entry when the model has one, else as a zero input.)"""
    index = _vocab(model).index
    return list(dict.fromkeys(w for w in _words_of(words) if w not in index))


# ---------------------------------------------------------------------------------------------
# probabilities
# ---------------------------------------------------------------------------------------------
def _log_prob(z: Sequence[float], t: int) -> float:
    """log of the exact soft-max's entry `t`."""
    m = max(z)
    if not math.isfinite(m):
        return math.nan
    return z[t] - m - math.log(sum(map(math.exp, [x - m for x in z])))


def _mixer(model: RNNLM_HYBRID, ngram: bool) -> Tuple[Optional[NGram], float]:
    ng = _ngram(model) if ngram else None
    mix = _mix(model)
    return ng, (1.0 if ng is None else 0.5 if mix is None else mix)


def next_word_distribution(model: RNNLM_HYBRID, context: Words, *, ngram: bool = True) -> Dict[str, float]:
    """The probability of every word of the model's training text following `context`.

    `context` is a text (read with `tokenize`) or a list of words; the recurrent model reads
    it from a zero hidden state at its first word (an empty context leaves the state at
    zeros). Its exact soft-max gives each vocabulary entry a probability; an entry shared by
    rare words is split over them in proportion to their counts in the training text. With
    `ngram` (the default) the result is mixed with the model's n-gram probabilities, with the
    weight fitted on the held-out slice at training; ``ngram=False`` gives the recurrent
    model alone. The values sum to 1.

    >>> text = "the boat went out. the boat came back."
    >>> model = new_model_for(text, embed=4, neurons=3)
    >>> _ = train(model, text, epochs=1)
    >>> dist = next_word_distribution(model, "the")
    >>> sorted(dist)
    ['.', 'back', 'boat', 'came', 'out', 'the', 'went']
    >>> abs(sum(dist.values()) - 1) < 1e-9
    True
    """
    vocab = _vocab(model)
    words = _words_of(context)
    if words:
        z = _walk(model, [vocab.input_of(w) for w in words], [False] * (len(words) - 1) + [True])[-1]
        assert z is not None
    else:
        z = _scores(model, [0.0] * model.neurons)
    logp = _log_softmax(z)
    probs = [math.exp(logp[e]) * s for e, s in zip(vocab.entry, vocab.share)]
    ng, mix = _mixer(model, ngram)
    if ng is not None:
        other = ng.distribution(words)
        probs = [mix * p + (1.0 - mix) * other.get(w, 0.0) for w, p in zip(vocab.words, probs)]
    return dict(zip(vocab.words, probs))


def _probabilities(model: RNNLM_HYBRID, words: List[str], ngram: bool,
                   hits: Optional[List[bool]] = None) -> List[Optional[float]]:
    vocab = _vocab(model)
    where = {w: i for i, w in enumerate(vocab.words)}
    targets = words[1:]
    scored = [w in where for w in targets]
    zs = _walk(model, [vocab.input_of(w) for w in words[:-1]], scored)
    ng, mix = _mixer(model, ngram)
    out: List[Optional[float]] = []
    for i, (w, z) in enumerate(zip(targets, zs)):
        if z is None:
            out.append(None)
            continue
        k = where[w]
        p = math.exp(_log_prob(z, vocab.entry[k])) * vocab.share[k]
        if ng is not None:
            p = mix * p + (1.0 - mix) * ng.prob(words[max(0, i - 1):i + 1], w)
        out.append(p)
        if hits is not None:
            hits.append(max(range(len(z)), key=z.__getitem__) == vocab.entry[k])
    return out


def sequence_probabilities(model: RNNLM_HYBRID, words: Words, *, ngram: bool = True) -> List[Optional[float]]:
    """For each word of `words` after the first, its probability given all the words before it
    (the same convention as `next_word_distribution`: the recurrent model reads from a zero
    hidden state at the first word), or None for a word that the training text does not have.

    >>> text = "the boat went out. the boat came back."
    >>> model = new_model_for(text, embed=4, neurons=3)
    >>> _ = train(model, text, epochs=1)
    >>> probs = sequence_probabilities(model, "the boat sank")
    >>> len(probs), probs[0] > 0, probs[1]
    (2, True, None)
    """
    ws = _words_of(words)
    return _probabilities(model, ws, ngram) if len(ws) > 1 else []


def evaluate(model: RNNLM_HYBRID, texts: TextInput, *, ngram: bool = True) -> Evaluation:
    """How well `model` predicts each word of `texts` from the words before it (each text read
    from a zero hidden state), without changing the model: the exact cross-entropy and
    perplexity of `sequence_probabilities`, the share of words skipped because the training
    text does not have them, and the recurrent model's accuracy. See `Evaluation`."""
    logs: List[float] = []
    hits: List[bool] = []
    total = 0
    for s in _streams(texts):
        total += max(len(s) - 1, 0)
        logs += [math.log(p) if p > 0 else -math.inf
                 for p in _probabilities(model, s, ngram, hits) if p is not None] if len(s) > 1 else []
    if total == 0:
        raise WordModelError("the text has no word pairs to evaluate")
    ce = -math.fsum(logs) / len(logs) if logs else math.nan
    return Evaluation(ce, _exp(ce), len(logs), 1.0 - len(logs) / total,
                      sum(hits) / len(hits) if hits else math.nan)


# ---------------------------------------------------------------------------------------------
# training
# ---------------------------------------------------------------------------------------------
def _split(streams: List[List[str]], holdout: float) -> Tuple[List[List[str]], List[List[str]]]:
    """The last `holdout` share of each text is held out; too few held-out pairs: none."""
    train_parts, held = [], []
    for s in streams:
        k = int(round(len(s) * holdout))
        if k >= 2 and len(s) - k >= 2:
            train_parts.append(s[:-k])
            held.append(s[-k:])
        else:
            train_parts.append(s)
    if sum(len(s) - 1 for s in held) < MIN_HELDOUT_PAIRS:
        return streams, []
    return train_parts, held


def _entry_losses(model: RNNLM_HYBRID, pairs: List[List[Tuple[int, int]]],
                  masks: Optional[List[List[bool]]] = None) -> List[float]:
    """The exact log-probability of each (masked-in) target entry, each stream from zeros."""
    out: List[float] = []
    for j, ps in enumerate(pairs):
        if not ps:
            continue
        zs = _walk(model, [a for a, _ in ps], masks[j] if masks is not None else None)
        out += [_log_prob(z, t) for (_, t), z in zip(ps, zs) if z is not None]
    return out


def _mean_nll(logs: List[float], offsets: Optional[List[Optional[float]]] = None) -> float:
    """The mean of -log p; with `offsets`, each entry's log-probability plus its word's log
    share of the entry, positions whose offset is None left out."""
    if offsets is not None:
        logs = [lp + o for lp, o in zip(logs, offsets) if o is not None]
    if not logs:
        return math.nan
    ce = -math.fsum(logs) / len(logs)
    return ce if math.isfinite(ce) else math.nan


def _fit_mix(p_rnn: List[float], p_ng: List[float]) -> Tuple[float, float]:
    """The weight of the recurrent model that maximises the mixture's likelihood (EM), and
    the mean log-likelihood there."""
    lam = 0.5
    for _ in range(100):
        resp = [lam * a / (lam * a + (1 - lam) * b) if lam * a + (1 - lam) * b > 0 else 0.5
                for a, b in zip(p_rnn, p_ng)]
        new = sum(resp) / len(resp)
        if abs(new - lam) < 1e-7:
            lam = new
            break
        lam = new
    ll = math.fsum(math.log(lam * a + (1 - lam) * b) if lam * a + (1 - lam) * b > 0 else -math.inf
                   for a, b in zip(p_rnn, p_ng)) / len(p_rnn)
    return lam, ll


def _finish_ngram(model: RNNLM_HYBRID, streams: List[List[str]], train_parts: List[List[str]],
                  held: List[List[str]], held_logs: List[float], result: TrainResult) -> None:
    """Fit the mixing weight and the n-gram order on the held-out slice, then keep the n-gram
    counts of the whole text with the model; also fill in the result's held-out figures."""
    extra = [w for w in model.dictionary if w != RARE]
    mix, order = 0.5, 3
    if held:
        probe = {o: NGram(train_parts, o, extra) for o in (2, 3)}
        _set(model, ngram=probe[3])
        vocab = _vocab(model)
        seen = probe[3].unigrams
        n_train = sum(seen.values())
        where = {w: i for i, w in enumerate(vocab.words)}
        p_rnn, ctx, uni = [], [], []
        logs = iter(held_logs)
        for s in held:
            for i, w in enumerate(s[1:]):
                lp = next(logs)
                if w in seen:
                    k = where[w]
                    p_rnn.append(math.exp(lp) * vocab.share[k])
                    ctx.append((s[max(0, i - 1):i + 1], w))
                    uni.append(seen[w] / n_train)
        if p_rnn:
            fits = {o: _fit_mix(p_rnn, [probe[o].prob(c, w) for c, w in ctx]) for o in (2, 3)}
            order = max(fits, key=lambda o: fits[o][1])
            mix = fits[order][0]
            result.unigram_perplexity = _exp(-math.fsum(map(math.log, uni)) / len(uni))
            result.rnn_perplexity = _exp(_mean_nll([math.log(p) if p > 0 else -math.inf for p in p_rnn]))
            result.heldout_perplexity = _exp(-fits[order][1])
    _set(model, ngram=NGram(streams, order, extra), mix=float(mix))


def _training_streams(texts: TextInput) -> List[List[str]]:
    """The words of each text; WordModelError when no text has two words in a row."""
    streams = _streams(texts)
    if not any(len(s) > 1 for s in streams):
        raise WordModelError("the text has no words" if not any(streams) else
                             "the text has a single word; training needs at least two words in a row")
    return streams


def _epoch(model: RNNLM_HYBRID, pairs: List[List[Tuple[int, int]]], reply: List[str], skip: bool) -> int:
    """One pass: each stream from a zero hidden state; returns the pairs skipped at the wall.

    The pairs go in blocks of `_BLOCK`; when most pairs of a block met the wall, the weights
    have run away (their scores no longer fit the step's soft-max): the block is rolled back
    and redone at half the rate, which holds for the rest of the pass (below `MIN_LR` the
    rest of the pass is left out, counted as skipped)."""
    walls, done, total = 0, 0, sum(map(len, pairs))
    for ps in pairs:
        model.ht = [0.0] * model.neurons
        for start in range(0, len(ps), _BLOCK):
            block = ps[start:start + _BLOCK]
            while True:
                del reply[:]
                snap = _snapshot(model)
                w = _run_pairs(model, block, skip)
                if not (w * 2 > len(block) >= 20):
                    break
                if model.lr / 2 < MIN_LR:
                    return walls + w + total - done - len(block)
                _restore(model, snap)
                model.lr /= 2
            walls += w
            done += len(block)
    return walls



_BLOCK = 512


def train(model: RNNLM_HYBRID, texts: TextInput, epochs: int = DEFAULT_EPOCHS, *,
          holdout: float = DEFAULT_HOLDOUT, patience: int = DEFAULT_PATIENCE, on_wall: str = "skip",
          ngram: bool = True, final_passes: int = DEFAULT_FINAL_PASSES, callback: Optional[Callable[[EpochReport], None]] = None,
          progress: bool = False, stream: Optional[TextIO] = None) -> TrainResult:
    """Train `model` on the consecutive word pairs of `texts` (one text or a list of texts).

    The last `holdout` share of each text (default 10%) is held out: after every epoch the
    exact cross-entropy of the recurrent model on it decides which epoch the model keeps (the
    best; ``holdout=0``: the best on the training text) and stops training early after
    `patience` epochs without improvement. Then the kept weights take up to `final_passes`
    passes over the whole text, the held-out slice included (the text nearest to what
    follows), each kept only if the training cross-entropy does not get worse. Each epoch walks the rest of every text from
    its first word to its last, one step per pair (the word as input, the next word as
    target), the hidden state set to zeros at the start of each text. Words the model has no
    entry for are read as its shared `RARE` entry (a model without one refuses them).

    The numeric wall: the step's soft-max uses a truncated exponential series, so some
    probabilities come out negative once the scores spread far apart, and a step whose target
    got such a probability fails with ValueError "x must be > 0", updating no weight. With
    ``on_wall="skip"`` (default) that pair is skipped; ``"stop"`` stops training there (the
    model then holds the best complete epoch). After each epoch the exact training
    cross-entropy (measured on about `TRAIN_SAMPLE` positions) is compared with the one
    before: an epoch that made it worse, or gave a non-finite value, is rolled back and the
    learning rate halved; below 1e-6 training stops. `result.stopped` says why training
    stopped early, or is None.

    With `ngram` (default), the model then gets an interpolated Kneser-Ney model of the whole
    text (bigram or trigram, whichever predicts the held-out slice better) and the mixing
    weight that fits the held-out slice best; `next_word_distribution`, `sequence_probabilities`,
    `evaluate` and `generate` use the mixture, and `save` keeps it beside the model's files.

    Nothing is printed unless `progress` is true: then one line per epoch goes to `stream`
    (default stderr). `callback(report)` is called after each epoch. Ctrl-C leaves the model at
    its best complete epoch, with that epoch's learning rate, and raises `TrainingInterrupted`.
    The reports are appended to ``model.history`` (which `save` writes and `load` reads).

    >>> text = "the boat went out. the boat came back. " * 3
    >>> model = new_model_for(text, embed=8, neurons=8)
    >>> result = train(model, text, epochs=3, holdout=0)
    >>> len(result.losses), result.losses[-1] < result.losses[0], result.stopped
    (3, True, None)
    """
    if on_wall == "retry":  # the old name of the default
        on_wall = "skip"
    if on_wall not in ("skip", "stop"):
        raise WordModelError(f"on_wall must be 'skip' or 'stop', not {on_wall!r}")
    if isinstance(epochs, bool) or not isinstance(epochs, int) or epochs < 0:
        raise WordModelError(f"epochs must be a whole number >= 0, not {epochs!r}")
    if isinstance(holdout, bool) or not isinstance(holdout, (int, float)) or not 0 <= holdout < 1:
        raise WordModelError(f"holdout must be a share from 0 up to (not including) 1, not {holdout!r}")
    _check_size("patience", patience)
    if isinstance(final_passes, bool) or not isinstance(final_passes, int) or final_passes < 0:
        raise WordModelError(f"final_passes must be a whole number >= 0, not {final_passes!r}")
    _check_lr(model.lr)
    streams = _training_streams(texts)
    vocab = _vocab(model)
    if vocab.rare < 0:
        unknown = sorted({w for s in streams for w in s if w not in vocab.index})
        if unknown:
            shown = ", ".join(repr(w) for w in unknown[:5])
            raise WordModelError(f"the text has {len(unknown)} word(s) the model does not know "
                                 f"({shown}{', ...' if len(unknown) > 5 else ''})")
    ent = vocab.input_of
    train_parts, held = _split(streams, float(holdout))
    pairs = [[(ent(a), ent(b)) for a, b in zip(s, s[1:])] for s in train_parts]
    held_pairs = [[(ent(a), ent(b)) for a, b in zip(s, s[1:])] for s in held]
    total = sum(map(len, pairs))
    every = max(1, total // TRAIN_SAMPLE)
    counter = itertools.count()
    masks = [[next(counter) % every == 0 for _ in ps] for ps in pairs]
    # Figures per word, not per entry: a shared entry's words get their share by their counts
    # in the training part; held-out words that the training part lacks are left out.
    counts_of = NGram(train_parts, 2, [w for w in model.dictionary if w != RARE])
    tv = _vocab(model, counts_of)
    where = {w: i for i, w in enumerate(tv.words)}

    def offsets(parts: List[List[str]], keep: Optional[List[List[bool]]] = None) -> List[Optional[float]]:
        return [math.log(tv.share[where[w]]) if w in counts_of.unigrams else None
                for j, s in enumerate(parts) for i, w in enumerate(s[1:]) if keep is None or keep[j][i]]

    train_offs, held_offs = offsets(train_parts, masks), offsets(held)

    out = stream if stream is not None else sys.stderr
    hist = _history(model)
    first = len(hist) + 1
    last = first - 1 + epochs
    result = TrainResult([], best=first - 1)

    def say(text: str) -> None:
        if progress:
            with contextlib.suppress(OSError, ValueError):  # a closed stream never stops training
                print(text, file=out, flush=True)

    current = _snapshot(model)
    train_ce = _mean_nll(_entry_losses(model, pairs, masks), train_offs)
    held_logs = _entry_losses(model, held_pairs)
    best = (_mean_nll(held_logs, held_offs) if held else train_ce, current, held_logs)
    if not math.isfinite(best[0]):
        best = (math.inf, current, held_logs)
    best_train = train_ce
    since = 0
    interrupted = False
    try:
        with _scratch_reply(model) as reply:
            for epoch in range(first, last + 1):
                started = time.perf_counter()
                lr = model.lr
                try:
                    walls = _epoch(model, pairs, reply, on_wall == "skip")
                except ValueError as exc:
                    if not _is_wall(exc):
                        raise
                    _restore(model, current)
                    result.stopped = (f"epoch {epoch}: a probability came out negative (\"{_WALL_TEXT}\") "
                                      f"at lr {lr:.3g}; try a smaller learning rate")
                    break
                new_train = _mean_nll(_entry_losses(model, pairs, masks), train_offs)
                new_logs = _entry_losses(model, held_pairs)
                new_held = _mean_nll(new_logs, held_offs) if held else None
                kept = (math.isfinite(new_train) and (new_held is None or math.isfinite(new_held))
                        and not new_train > train_ce)
                if kept:
                    train_ce, current = new_train, _snapshot(model)
                    model.lr *= LR_GROWTH
                    score = new_held if new_held is not None else new_train
                    if score < best[0]:
                        best, since, best_train = (score, current, new_logs), 0, new_train
                        result.best = epoch
                    else:
                        since += 1
                else:
                    _restore(model, current)
                    model.lr = lr / 2
                rep = EpochReport(epoch, new_train, new_held, lr, total - walls, walls, kept,
                                  time.perf_counter() - started)
                result.epochs.append(rep)
                hist.append(dataclasses.asdict(rep))
                held_text = ("" if new_held is None else
                             f", held-out {new_held:.3f} (perplexity {_exp(new_held):.1f})")
                say(f"epoch {epoch}/{last}: train {new_train:.3f} (perplexity {_exp(new_train):.1f})"
                    f"{held_text}, lr {lr:.3g}, {rep.steps} steps"
                    f"{f', {walls} skipped at the numeric wall' if walls else ''}, {rep.seconds:.1f} s"
                    f"{'' if kept else f'; worse: rolled back, lr halved to {model.lr:.3g}'}")
                if callback is not None:
                    callback(rep)
                if model.lr < MIN_LR:
                    result.stopped = f"the learning rate fell below {MIN_LR:g}"
                    break
                if since >= patience:
                    result.stopped = (f"no better on the held-out slice for {patience} epochs"
                                      if held else f"no better for {patience} epochs")
                    break
    except KeyboardInterrupt:
        interrupted = True
    if result.stopped:
        say(f"stopped early: {result.stopped}")
    _restore(model, best[1])
    if held and not interrupted and result.best >= first:
        # The held-out slice is text too, and the text closest to what follows it: the kept
        # weights take up to `final_passes` more passes over the whole text, each kept if the
        # training cross-entropy does not get worse.
        all_pairs = [[(ent(a), ent(b)) for a, b in zip(s, s[1:])] for s in streams]
        kept_snap = best[1]
        for _ in range(final_passes):
            started = time.perf_counter()
            lr = model.lr
            try:
                with _scratch_reply(model) as reply:
                    walls = _epoch(model, all_pairs, reply, True)
                new_train = _mean_nll(_entry_losses(model, pairs, masks), train_offs)
            except KeyboardInterrupt:
                interrupted = True
                break
            if not (math.isfinite(new_train) and not new_train > best_train):
                break
            best_train, kept_snap = new_train, _snapshot(model)
            result.best = epoch = result.epochs[-1].epoch + 1
            report = EpochReport(epoch, new_train, None, lr, sum(map(len, all_pairs)) - walls, walls, True,
                                 time.perf_counter() - started)
            result.epochs.append(report)
            hist.append(dataclasses.asdict(report))
            say(f"epoch {epoch}: a pass over the whole text (held-out slice included): train {new_train:.3f} "
                f"(perplexity {_exp(new_train):.1f}), {report.seconds:.1f} s")
        _restore(model, kept_snap)
    if ngram:
        _finish_ngram(model, streams, train_parts, held, best[2], result)
    else:
        _set(model, ngram=None, mix=None)
        if held:
            result.rnn_perplexity = result.heldout_perplexity = _exp(best[0])
    _set(model, trained={"best": result.best, "unigram_perplexity": result.unigram_perplexity,
                         "rnn_perplexity": result.rnn_perplexity,
                         "heldout_perplexity": result.heldout_perplexity})
    if interrupted:
        raise TrainingInterrupted(result)
    return result


# ---------------------------------------------------------------------------------------------
# generation
# ---------------------------------------------------------------------------------------------
def _choose(words: List[str], probs: List[float], out: List[str], rng: _random.Random,
            temperature: float, top_k: int, top_p: float) -> str:
    """Sample the next word: temperature, then top-k and top-p, never a fourth repeat of one
    word in a row nor a word that would repeat a three-word sequence already written."""
    order = sorted(range(len(words)), key=probs.__getitem__, reverse=True)
    if top_k:
        order = order[:top_k]
    weights = [probs[i] ** (1.0 / temperature) if probs[i] > 0 else 0.0 for i in order]
    total = math.fsum(weights)
    if top_p < 1.0 and total > 0:
        acc, cut = 0.0, len(order)
        for n, w in enumerate(weights):
            acc += w
            if acc >= top_p * total:
                cut = n + 1
                break
        order, weights = order[:cut], weights[:cut]
    run = len(out) >= 3 and out[-1] == out[-2] == out[-3]
    seen = set(zip(out, out[1:], out[2:])) if len(out) >= 2 else set()

    def allowed(w: str) -> bool:
        return not (run and w == out[-1]) and (len(out) < 2 or (out[-2], out[-1], w) not in seen)

    pool = [(i, w) for i, w in zip(order, weights) if w > 0 and allowed(words[i])]
    if not pool:
        pool = [(i, probs[i]) for i in range(len(words)) if probs[i] > 0 and not (run and words[i] == out[-1])]
    if not pool:
        return words[max(range(len(words)), key=probs.__getitem__)]
    return words[rng.choices([i for i, _ in pool], [w for _, w in pool])[0]]


def generate(model: RNNLM_HYBRID, prompt: Words, words: int = 20, *, seed: Optional[int] = None,
             temperature: float = DEFAULT_TEMPERATURE, top_k: int = 0, top_p: float = DEFAULT_TOP_P,
             greedy: bool = False, ngram: bool = True) -> str:
    """Continue `prompt` by `words` words (punctuation marks count as words) and return them,
    joined as `join_words` does. The model is not changed.

    The model reads the prompt from a zero hidden state, then each new word. By default each
    word is drawn from `next_word_distribution` (the mixture with the n-gram model unless
    ``ngram=False``), sharpened by `temperature` (below 1: safer words), cut to the `top_k`
    likeliest words (0: no cut) and to the smallest set holding `top_p` of the probability;
    no word comes a fourth time in a row and no three-word sequence is written twice. The same
    `seed` gives the same words; None draws a fresh seed. ``greedy=True`` takes the step's own
    choice at every word instead (the arg-max of the truncated soft-max of the scores), which
    is deterministic. Prompt words the training text does not have are read as the rare entry
    (see `unknown_words`).

    >>> text = "the boat went out. the boat came back."
    >>> model = new_model_for(text, embed=8, neurons=8)
    >>> generate(model, "the boat", words=4, seed=1) == generate(model, "the boat", words=4, seed=1)
    True
    """
    if isinstance(words, bool) or not isinstance(words, int) or words < 0:
        raise WordModelError(f"words must be a whole number >= 0, not {words!r}")
    if not isinstance(temperature, (int, float)) or not 0 < temperature < math.inf:
        raise WordModelError(f"the temperature must be a positive number, not {temperature!r}")
    if isinstance(top_k, bool) or not isinstance(top_k, int) or top_k < 0:
        raise WordModelError(f"top_k must be a whole number >= 0, not {top_k!r}")
    if not isinstance(top_p, (int, float)) or not 0 < top_p <= 1:
        raise WordModelError(f"top_p must be a number above 0 and at most 1, not {top_p!r}")
    if seed is not None and (isinstance(seed, bool) or not isinstance(seed, int)):
        raise WordModelError(f"the seed must be a whole number, not {seed!r}")
    tokens = _words_of(prompt)
    if not tokens:
        raise WordModelError("the prompt has no words")
    vocab = _vocab(model)
    ng, mix = _mixer(model, ngram)
    rng = _random.Random(seed)
    h: List[float] = [0.0] * model.neurons
    z: List[float] = []
    for w in tokens:
        h, z = _forward(model, vocab.input_of(w), h)
    out: List[str] = []
    seq = list(tokens)
    best_of = {e: w for w, e, s in sorted(zip(vocab.words, vocab.entry, vocab.share), key=lambda x: x[2])}
    for _ in range(words):
        if greedy:
            e = numerix.Argmax(numerix.FixSoftmax(z))
            word = best_of.get(e, model.dictionary[e])
        else:
            logp = _log_softmax(z)
            probs = [math.exp(logp[e]) * s for e, s in zip(vocab.entry, vocab.share)]
            if ng is not None:
                other = ng.distribution(seq)
                probs = [mix * p + (1.0 - mix) * other.get(w, 0.0) for w, p in zip(vocab.words, probs)]
            if not all(map(math.isfinite, probs)):
                raise WordModelError("the model's probabilities are not finite numbers")
            word = _choose(vocab.words, probs, seq, rng, float(temperature), top_k, float(top_p))
        out.append(word)
        seq.append(word)
        h, z = _forward(model, vocab.input_of(word), h)
    return join_words(out)


# ---------------------------------------------------------------------------------------------
# model directory
# ---------------------------------------------------------------------------------------------
@contextlib.contextmanager
def _sigint_deferred() -> Iterator[None]:
    """Hold Ctrl-C back until the block is done (main thread only; elsewhere a no-op)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    got: List[Any] = []
    try:
        old = signal.signal(signal.SIGINT, lambda *a: got.append(a))
    except ValueError:  # signals not available here
        yield
        return
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, old)
        if got and callable(old):
            old(*got[0])


@contextlib.contextmanager
def _locked(directory: str) -> Iterator[None]:
    """Hold an exclusive lock on `directory` (the folder itself, so no lock file is left)."""
    fd = os.open(directory, os.O_RDONLY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


_OWN_FILES = frozenset(MODEL_FILES) | {HISTORY_FILE, NGRAM_FILE}


def _is_replaceable(path: str) -> bool:
    """A directory `save` may replace: empty, or holding only model files."""
    return set(os.listdir(path)) <= _OWN_FILES


def _target(directory: PathInput) -> str:
    """The absolute path a model directory name stands for (a symbolic link: where it points)."""
    return os.path.realpath(os.path.abspath(os.fspath(directory)))


def save(model: RNNLM_HYBRID, directory: PathInput) -> None:
    """Write `model` into `directory`: the eight files of the model class, in its format, plus
    history.json (training history and learning rate) and, after `train`, ngram.json (the
    n-gram counts of the training text and the mixing weight); the model class ignores both.

    The files are written into a new directory beside `directory`, which then takes its place,
    so `directory` always holds either the old model or the complete new one, also when
    writing fails, Ctrl-C comes or another process saves there at the same time (saves into one
    folder take turns). A symbolic link is followed: the directory it points to is replaced.
    An existing `directory` is replaced only if it is empty or holds nothing but model files;
    anything else raises WordModelError.
    """
    target = _target(directory)
    parent = os.path.dirname(target)
    if not os.path.isdir(parent):
        raise WordModelError(f"{parent}: no such directory")
    _check_finite(model, os.fspath(directory), "the model")
    with _locked(parent):
        if os.path.lexists(target):
            if not os.path.isdir(target):
                raise WordModelError(f"{directory}: exists and is not a directory")
            if not _is_replaceable(target):
                raise WordModelError(f"{directory}: holds other files than a model's; not replacing it")
        tmp = tempfile.mkdtemp(prefix="." + os.path.basename(target) + ".new-", dir=parent)
        try:
            lists: Dict[str, List[Any]] = {
                "embed.mem": model.embedings,
                "info.meta": [model.vocabL, model.vecL, model.neurons, model.ht],
                "bias.mem": model.bias,
                "lhweights.mem": model.lhweights,
                "lweights.mem": model.lweights,
                "dict.mem": model.dictionary,
                "who.mem": model.who,
                "bo.mem": model.bo,
            }
            for name in MODEL_FILES:
                lystra.write(lists[name], os.path.join(tmp, name))
            meta = {"lr": model.lr, "epochs": _history(model), "result": getattr(model, "trained", None)}
            with open(os.path.join(tmp, HISTORY_FILE), "w", encoding="utf-8") as fh:
                json.dump(meta, fh, indent=1)
            ng = _ngram(model)
            if ng is not None:
                with open(os.path.join(tmp, NGRAM_FILE), "w", encoding="utf-8") as fh:
                    json.dump({"mix": _mix(model), "ngram": ng.to_json()}, fh)
            for name in os.listdir(tmp):
                with open(os.path.join(tmp, name), "rb") as fh:
                    os.fsync(fh.fileno())
            with _sigint_deferred():
                if os.path.isdir(target):
                    old = tempfile.mkdtemp(prefix="." + os.path.basename(target) + ".old-", dir=parent)
                    os.replace(target, os.path.join(old, "model"))
                    try:
                        os.replace(tmp, target)
                    except BaseException:
                        os.replace(os.path.join(old, "model"), target)
                        os.rmdir(old)
                        raise
                    shutil.rmtree(old, ignore_errors=True)
                else:
                    os.replace(tmp, target)
        except BaseException:
            shutil.rmtree(tmp, ignore_errors=True)
            raise


def _fail(directory: str, what: str) -> WordModelError:
    return WordModelError(f"{directory}: {what}")


def _is_number(x: Any) -> bool:
    t = type(x)
    return (t is float and math.isfinite(x)) or (t is int and -2 ** 53 <= x <= 2 ** 53)


def _check_finite(model: RNNLM_HYBRID, directory: str, what: str) -> None:
    for name in _WEIGHTS:
        value = getattr(model, name)
        flat = itertools.chain.from_iterable(value) if name not in ("bias", "bo", "ht") else value
        if not all(map(_is_number, flat)):
            raise _fail(directory, f"{what} holds a number that is not finite (or not a number) in {name}; "
                                   f"it is not usable")


def _check_shapes(model: RNNLM_HYBRID, directory: str) -> None:
    V, E, N = model.vocabL, model.vecL, model.neurons
    for name, value in (("vocabulary size", V), ("embed size", E), ("neurons", N)):
        if isinstance(value, bool) or not isinstance(value, int) or value < 1:
            raise _fail(directory, f"info.meta: the {name} is {value!r}, not a positive whole number")

    def table(name: str, value: Any, rows: int, cols: Optional[int]) -> None:
        if not isinstance(value, list) or len(value) != rows:
            got = f"{len(value)} entries" if isinstance(value, list) else type(value).__name__
            raise _fail(directory, f"{name}: {got}, expected {rows} (sizes do not match)")
        for r in value:
            if cols is None:
                ok = _is_number(r)
            else:
                ok = isinstance(r, list) and len(r) == cols and all(map(_is_number, r))
            if not ok:
                what = f"rows of {cols} numbers" if cols is not None else "numbers"
                raise _fail(directory, f"{name}: expected {rows} {what} (finite, sizes matching)")

    d = model.dictionary
    if not isinstance(d, list) or not all(isinstance(w, str) for w in d):
        raise _fail(directory, "dict.mem: not a list of words")
    if len(d) != V:
        raise _fail(directory, f"dict.mem: {len(d)} words, info.meta says {V} (sizes do not match)")
    table("embed.mem", model.embedings, V, E)
    table("who.mem", model.who, V, N)
    table("bo.mem", model.bo, V, None)
    table("lweights.mem", model.lweights, N, E)
    table("lhweights.mem", model.lhweights, N, N)
    table("bias.mem", model.bias, N, None)
    table("info.meta (hidden state)", model.ht, N, None)


_REPORT_FIELDS = {f.name: f.type for f in dataclasses.fields(EpochReport)}


def _check_history(meta: Any) -> Tuple[List[Dict[str, Any]], Any]:
    """The epochs and the result of a history.json; ValueError when it is not one."""
    if not isinstance(meta, dict):
        raise ValueError("not a training history")
    epochs = meta.get("epochs", [])
    if not isinstance(epochs, list):
        raise ValueError("not a training history")
    for e in epochs:
        if not isinstance(e, dict):
            raise ValueError("not a training history")
        for k, v in e.items():
            if k in ("epoch", "steps", "walls", "odd"):
                ok = type(v) is int
            elif k == "kept":
                ok = type(v) is bool
            else:
                ok = v is None or (type(v) in (int, float))
            if not ok:
                raise ValueError(f"epoch entry {k!r} is {v!r}")
    result = meta.get("result")
    if result is not None and not (isinstance(result, dict) and type(result.get("best", 0)) is int and all(
            v is None or type(v) in (int, float) for k, v in result.items() if k != "best")):
        raise ValueError("bad result entry")
    return epochs, result


def _read_json(path: str) -> Any:
    with open(path, encoding="utf-8") as fh:
        return json.load(fh)


def load(directory: PathInput, *, lr: Optional[float] = None) -> RNNLM_HYBRID:
    """Load the model saved in `directory` (by `save`, or by the model's own `train` into
    "test"), without printing anything, and check that its files fit together and hold finite
    numbers. history.json and ngram.json are read when present (a directory without
    ngram.json gives the recurrent model alone).

    The learning rate is `lr` if given, else the one saved in history.json, else the default.
    A missing directory or file, a file that cannot be read, or sizes that do not match raise
    WordModelError with a one-line message. The eight files are parsed as data (a list
    literal each), never run as code.
    """
    directory = os.fspath(directory)
    if not os.path.isdir(directory):
        raise _fail(directory, "no such model directory")
    missing = [n for n in MODEL_FILES if not os.path.isfile(os.path.join(directory, n))]
    if missing:
        raise _fail(directory, f"not a model directory (missing {', '.join(missing)})")
    meta: Any = {}
    epochs: List[Dict[str, Any]] = []
    trained: Any = None
    hist_path = os.path.join(directory, HISTORY_FILE)
    if os.path.isfile(hist_path):
        try:
            meta = _read_json(hist_path)
            epochs, trained = _check_history(meta)
        except (OSError, ValueError, RecursionError) as exc:
            raise _fail(directory, f"{HISTORY_FILE}: unreadable ({str(exc).splitlines()[0][:200]})") from None
    ng: Optional[NGram] = None
    mix: Optional[float] = None
    ng_path = os.path.join(directory, NGRAM_FILE)
    if os.path.isfile(ng_path):
        try:
            data = _read_json(ng_path)
            if not isinstance(data, dict) or type(data.get("mix")) is not float or not 0 <= data["mix"] <= 1:
                raise ValueError("bad mixing weight")
            ng, mix = NGram.from_json(data.get("ngram")), data["mix"]
        except (OSError, ValueError, RecursionError) as exc:
            raise _fail(directory, f"{NGRAM_FILE}: unreadable ({str(exc).splitlines()[0][:200]})") from None
    if lr is None:
        lr = meta.get("lr", DEFAULT_LR)
    lr = _check_lr(lr)
    try:
        with contextlib.redirect_stdout(io.StringIO()):  # loading prints the embeddings
            model = RNNLM_HYBRID(1, "", DEFAULT_EMBED, directory.rstrip("/") or "/", DEFAULT_SEED,
                                 DEFAULT_NEURONS, lr)
    except Exception as exc:
        notes = getattr(exc, "__notes__", None)
        where = f" ({notes[-1]})" if notes else ""
        text = str(exc).splitlines()[0] if str(exc) else ""
        raise _fail(directory, f"cannot read the model: {type(exc).__name__}: {text}{where}") from None
    _check_shapes(model, directory)
    _set(model, history=list(epochs), ngram=ng, mix=mix, trained=trained)
    _vocab(model)  # every word of the n-gram table must have an entry
    return model


def info(model: Union[RNNLM_HYBRID, PathInput]) -> ModelInfo:
    """Sizes and training summary of a model, or of the model saved in a directory.

    `last_loss` and `heldout` are the exact training and held-out cross-entropies of the
    epoch the model holds (None when unknown); `words` counts the words it gives
    probabilities to; `mix` is the weight of the recurrent model in its mixture with the
    n-gram model (None without one); the three perplexities are those `train` measured on
    the held-out slice: the model's, the recurrent model's alone and the word-frequency
    table's (None when unknown).

    >>> m = new_model(["a", "b", "c"], embed=4, neurons=3)
    >>> i = info(m)
    >>> (i.vocabulary, i.embed, i.neurons, i.parameters, i.epochs, i.last_loss)
    (3, 4, 3, 48, 0, None)
    """
    size = None
    if not isinstance(model, RNNLM_HYBRID):
        directory = os.fspath(model)
        model = load(directory)
        size = sum(os.path.getsize(os.path.join(directory, n)) for n in os.listdir(directory)
                   if os.path.isfile(os.path.join(directory, n)))
    V, E, N = model.vocabL, model.vecL, model.neurons
    hist = _history(model)
    trained = getattr(model, "trained", None)
    best = trained.get("best") if isinstance(trained, dict) else None
    chosen = [h for h in hist if h.get("epoch") == best] or hist[-1:]
    last = chosen[0].get("loss") if chosen else None
    held = chosen[0].get("heldout") if chosen else None
    figures = trained if isinstance(trained, dict) else {}
    return ModelInfo(vocabulary=V, embed=E, neurons=N, parameters=_parameters(V, E, N), epochs=len(hist),
                     last_loss=last, lr=model.lr, bytes_on_disk=size, heldout=held,
                     words=len(_vocab(model).words), mix=_mix(model),
                     heldout_perplexity=figures.get("heldout_perplexity"),
                     rnn_perplexity=figures.get("rnn_perplexity"),
                     unigram_perplexity=figures.get("unigram_perplexity"))
