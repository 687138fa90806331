"""The word model's constants, result types and the helpers every part of the layer shares
(argument checks, the layer's attributes on a model, snapshots of the weights).

Private: `ORVEX.wordmodel` is the public face.
"""
from __future__ import annotations

import contextlib
import dataclasses
import math
import os
from typing import Any, Dict, Iterator, List, Optional, Sequence, Union

from ORVEX.ngram import NGram
from ORVEX.synaptra import RNNLM_HYBRID

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

TextInput = Union[str, Sequence[str]]
PathInput = Union[str, "os.PathLike[str]"]
Words = Union[str, Sequence[str]]


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


def _ngram_texts(model: RNNLM_HYBRID) -> List[str]:
    """The fingerprints of the texts the model's n-gram table has counted."""
    texts = getattr(model, "ngram_texts", None)
    return texts if isinstance(texts, list) else []


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
