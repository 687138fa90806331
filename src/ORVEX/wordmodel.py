"""Train the word model on your own text, save it where you like, load it quietly, generate.

A thin layer over `ORVEX.synaptra.RNNLM_HYBRID` and its step kernel
`ORVEX.tensilo.activate_step`: it reads plain text, builds the vocabulary, steps the kernel
over the text's consecutive word pairs, and keeps the model directory consistent on disk.
The model class itself is not changed: a directory written here is loaded by
``RNNLM_HYBRID(..., load_vocab=DIR)`` as well.

Typical use::

    from ORVEX import wordmodel as wm
    text = open("my.txt", encoding="utf-8").read()
    model = wm.new_model(wm.build_vocabulary(text))
    result = wm.train(model, text, epochs=10, progress=True)
    wm.save(model, "my-model")
    print(wm.generate(wm.load("my-model"), "the boat", words=8))
"""
from __future__ import annotations

import contextlib
import dataclasses
import io
import json
import math
import os
import re
import shutil
import signal
import sys
import tempfile
import threading
import time
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, Union

from ORVEX import lystra, numerix, tensilo
from ORVEX.synaptra import RNNLM_HYBRID

__all__ = [
    "MODEL_FILES", "HISTORY_FILE", "DEFAULT_EMBED", "DEFAULT_NEURONS", "DEFAULT_LR", "DEFAULT_SEED",
    "WordModelError", "TrainingInterrupted", "EpochReport", "TrainResult", "Evaluation", "ModelInfo",
    "tokenize", "build_vocabulary", "join_words", "new_model", "train", "evaluate", "save", "load",
    "generate", "info",
]

#: The eight files of a model directory, in the order the model class reads them.
MODEL_FILES = ("embed.mem", "info.meta", "bias.mem", "lhweights.mem", "lweights.mem",
               "dict.mem", "who.mem", "bo.mem")
#: Training history written beside the eight files (the model class ignores it).
HISTORY_FILE = "history.json"

DEFAULT_EMBED = 32
DEFAULT_NEURONS = 48
DEFAULT_LR = 0.05
DEFAULT_SEED = 564963
#: Below this learning rate the "halve" schedule gives up: steps would change almost nothing.
MIN_LR = 1e-6

# The largest loss a probability in (0, 1] gives through the kernel's 20-term log series (its
# value as the probability goes to 0); a larger or a negative loss means the soft-max broke.
_LOSS_MAX = -numerix.log(5e-324)
# The text the kernel's loss raises when a probability of the truncated soft-max is not positive.
_WALL_TEXT = "x must be > 0"

_TOKEN = re.compile(r"[^\W_]+(?:['\-][^\W_]+)*|[.,;:!?]")
_PUNCTUATION = frozenset(".,;:!?")

TextInput = Union[str, Sequence[str]]


class WordModelError(ValueError):
    """Bad input for the layer (an unusable text, a missing or inconsistent model directory).

    Its message is one line meant for the user.
    """


class TrainingInterrupted(KeyboardInterrupt):
    """Ctrl-C during `train`: the model is back at the end of its last complete epoch.

    `result` holds the epochs that completed (possibly none).
    """

    def __init__(self, result: "TrainResult") -> None:
        super().__init__("training interrupted")
        self.result = result


@dataclasses.dataclass
class EpochReport:
    """One pass over the text: its number (counting earlier training of the same model), the
    mean loss of its steps, the learning rate at its end, the steps made, the steps skipped at
    the numeric wall, the steps left out of the mean loss because their loss is one that no
    probability between 0 and 1 gives (the truncated soft-max put the target's share above 1),
    and the seconds it took."""
    epoch: int
    loss: float
    lr: float
    steps: int
    walls: int
    odd: int
    seconds: float


@dataclasses.dataclass
class TrainResult:
    """What `train` did: one report per completed epoch, and why it stopped early, if it did."""
    epochs: List[EpochReport]
    stopped: Optional[str] = None

    @property
    def losses(self) -> List[float]:
        """The mean loss of each completed epoch."""
        return [e.loss for e in self.epochs]


@dataclasses.dataclass
class Evaluation:
    """The model's next-word predictions over a text, without training: mean loss of the pairs
    whose loss can be computed, the share of pairs whose next word the model predicts, and the
    number of pairs beyond the numeric wall (target probability not positive)."""
    loss: float
    accuracy: float
    pairs: int
    walls: int


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


def build_vocabulary(texts: TextInput) -> List[str]:
    """The distinct words of one text or several, in order of first appearance (see `tokenize`).

    >>> build_vocabulary("the sea, the boat.")
    ['the', 'sea', ',', 'boat', '.']
    """
    seen: Dict[str, None] = {}
    for stream in _streams(texts):
        for w in stream:
            seen.setdefault(w, None)
    return list(seen)


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


def _pairs(texts: TextInput, vocabulary: Sequence[str]) -> List[List[Tuple[int, int]]]:
    """Index pairs of consecutive words, one list per text; unknown words are an error."""
    index = {w: i for i, w in reversed(list(enumerate(vocabulary)))}  # first occurrence wins
    streams = _streams(texts)
    unknown = sorted({w for s in streams for w in s if w not in index})
    if unknown:
        shown = ", ".join(repr(w) for w in unknown[:5])
        raise WordModelError(f"the text has {len(unknown)} word(s) the model does not know "
                             f"({shown}{', ...' if len(unknown) > 5 else ''})")
    pairs = [[(index[a], index[b]) for a, b in zip(s, s[1:])] for s in streams]
    if not any(pairs):
        n = sum(len(s) for s in streams)
        raise WordModelError("the text has no words" if n == 0 else
                             "the text has a single word; training needs at least two words in a row")
    return pairs


# ---------------------------------------------------------------------------------------------
# model
# ---------------------------------------------------------------------------------------------
def _check_size(name: str, value: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise WordModelError(f"{name} must be a positive whole number, not {value!r}")
    return value


def _check_lr(lr: float) -> float:
    if isinstance(lr, bool) or not isinstance(lr, (int, float)) or not (0 < lr < math.inf):
        raise WordModelError(f"the learning rate must be a positive number, not {lr!r}")
    return float(lr)


def new_model(vocabulary: Sequence[str], *, embed: int = DEFAULT_EMBED, neurons: int = DEFAULT_NEURONS,
              lr: float = DEFAULT_LR, seed: int = DEFAULT_SEED) -> RNNLM_HYBRID:
    """A fresh model for `vocabulary` (a list of distinct words, e.g. from `build_vocabulary`),
    with `embed` numbers per word, `neurons` hidden units and learning rate `lr`; the weights
    are drawn from the seeded generators, so the same arguments give the same model.

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
    lr = _check_lr(lr)
    if isinstance(seed, bool) or not isinstance(seed, int):
        raise WordModelError(f"the seed must be a whole number, not {seed!r}")
    with tempfile.TemporaryDirectory(prefix="orvex-vocab-") as tmp:
        path = os.path.join(tmp, "dict.mem")
        lystra.write(words, path)
        model = RNNLM_HYBRID(len(words), path, embed, "no", seed, neurons, lr)
    model.history = []
    return model


def _history(model: RNNLM_HYBRID) -> List[Dict[str, Any]]:
    hist = getattr(model, "history", None)
    if not isinstance(hist, list):
        hist = []
        model.history = hist
    return hist


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
def _scratch_reply(model: RNNLM_HYBRID) -> Iterator[None]:
    """The kernel appends each prediction to `reply`; give it one and leave `reply` as it was."""
    had = hasattr(model, "reply")
    if not had:
        model.reply = []
    keep = len(model.reply)
    try:
        yield
    finally:
        if had:
            del model.reply[keep:]
        else:
            del model.reply


class _Progress:
    """A tqdm bar on a terminal, one plain line per epoch elsewhere."""

    def __init__(self, total: int, first_epoch: int, last_epoch: int, stream: Any) -> None:
        self.stream = stream
        self.tty = bool(getattr(stream, "isatty", lambda: False)())
        self.last_epoch = last_epoch
        self.bar = None
        if self.tty:
            from tqdm import tqdm
            self.bar = tqdm(total=total, file=stream, unit="pair", dynamic_ncols=True, leave=True,
                            desc=f"epoch {first_epoch}/{last_epoch}")

    def update(self, n: int, epoch: int, loss: float, lr: float, note: str = "") -> None:
        if self.bar is not None:
            self.bar.set_description(f"epoch {epoch}/{self.last_epoch}", refresh=False)
            shown = f"{loss:.4f}" if loss == loss else "-"
            self.bar.set_postfix_str(f"loss {shown} lr {lr:.3g}{note}", refresh=False)
            self.bar.update(n)

    def say(self, text: str) -> None:
        if self.bar is not None:
            self.bar.write(text, file=self.stream)
        else:
            print(text, file=self.stream, flush=True)

    def epoch_done(self, rep: EpochReport) -> None:
        if self.bar is None:
            walls = f", {rep.walls} step(s) skipped at the numeric wall" if rep.walls else ""
            self.say(f"epoch {rep.epoch}/{self.last_epoch}: loss {rep.loss:.4f}, lr {rep.lr:.3g}, "
                     f"{rep.steps} pairs, {rep.seconds:.1f} s{walls}")

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def train(model: RNNLM_HYBRID, texts: TextInput, epochs: int = 10, *, on_wall: str = "retry",
          callback: Optional[Callable[[EpochReport], None]] = None, progress: bool = False,
          stream: Any = None) -> TrainResult:
    """Train `model` on the consecutive word pairs of `texts` (one text or a list of texts).

    Each epoch walks every text from its first word to its last, one kernel step per pair
    (the word as input, the next word as target), with the hidden state set to zeros at the
    start of each text, so an epoch depends only on the weights it starts from. Pairs never
    cross from one text into the next. Every word must be in the model's vocabulary.

    Nothing is printed per step. `callback(report)` is called after each epoch; with
    `progress=True` a progress bar with the running loss goes to `stream` (default stderr),
    or one plain line per epoch when `stream` is not a terminal.

    The numeric wall: the kernel's soft-max uses a truncated exponential series, so once the
    scores spread far enough some probabilities come out negative and the step fails with
    ValueError "x must be > 0". Such a step changes nothing. Then, with ``on_wall="retry"``
    (the default, which learned the most in our measurements), the model goes back to the
    start of the epoch and the epoch runs again with half the learning rate; a pair that meets
    the wall again after such a restart is skipped from then on. With ``on_wall="skip"`` the
    pair is skipped, the learning rate halved, and the epoch goes on. Either halving is said on
    the progress output; below a rate of 1e-6 training stops. With ``on_wall="stop"`` training
    stops at once. A stop leaves the model as it was after its last complete epoch, and
    `result.stopped` says why (it is None when all epochs ran).

    Ctrl-C puts the model back to the end of its last complete epoch and raises
    `TrainingInterrupted` (a KeyboardInterrupt) carrying the completed epochs.

    Returns a `TrainResult`; ``result.losses`` is the mean loss of each epoch. The reports
    are also appended to ``model.history`` (which `save` writes and `load` reads).

    >>> text = "the boat went out. the boat came back."
    >>> model = new_model(build_vocabulary(text), embed=8, neurons=8, lr=0.05)
    >>> result = train(model, text, epochs=3)
    >>> len(result.losses), result.losses[-1] < result.losses[0]
    (3, True)
    """
    if on_wall not in ("retry", "skip", "stop"):
        raise WordModelError(f"on_wall must be 'retry', 'skip' or 'stop', not {on_wall!r}")
    if isinstance(epochs, bool) or not isinstance(epochs, int) or epochs < 0:
        raise WordModelError(f"epochs must be a whole number >= 0, not {epochs!r}")
    _check_lr(model.lr)
    texts_pairs = _pairs(texts, model.dictionary)
    per_epoch = sum(len(p) for p in texts_pairs)
    history = _history(model)
    first = len(history) + 1
    result = TrainResult([])
    step = tensilo.activate_step
    zeros = [0.0] * model.neurons
    bar = _Progress(epochs * per_epoch, first, first + epochs - 1,
                    stream if stream is not None else sys.stderr) if progress else None
    snap, kept = _snapshot(model), 0  # the state after the last complete epoch, and its count
    epoch = first
    stuck: set = set()  # positions that met the wall once: skipped when they meet it again
    restarted = ""
    try:
        with _scratch_reply(model):
            while epoch < first + epochs:
                started = time.perf_counter()
                total, done, odd, walls, shown, note = 0.0, 0, 0, 0, 0, restarted
                wall_at = None
                for t, pairs in enumerate(texts_pairs):
                    model.ht[:] = zeros
                    for n, (a, b) in enumerate(pairs):
                        try:
                            step(model, a, b)
                        except ValueError as exc:
                            if not _is_wall(exc):
                                raise
                            loss = None  # the step changed nothing
                        else:
                            loss = model.loss
                            done += 1
                            if 0.0 <= loss <= _LOSS_MAX:
                                total += loss
                            else:
                                odd += 1
                            if bar is not None and (done + walls - shown >= 256):
                                bar.update(done + walls - shown, epoch, total / (done - odd or 1), model.lr, note)
                                shown = done + walls
                            continue
                        # Past the wall: the target's probability came out negative and the step
                        # failed, changing nothing.
                        if on_wall == "retry" and (t, n) in stuck:
                            walls += 1
                            continue
                        if on_wall == "skip" and model.lr / 2 >= MIN_LR:
                            walls += 1
                            model.lr /= 2
                            note = " (halved)"
                            if bar is not None:
                                bar.say(f"epoch {epoch}, pair {n + 1}: numeric wall, "
                                        f"learning rate halved to {model.lr:.3g}")
                            continue
                        wall_at = (t, n)
                        break
                    if wall_at is not None:
                        break
                if wall_at is not None:
                    lr = model.lr
                    _restore(model, snap)
                    if on_wall == "retry" and lr / 2 >= MIN_LR:
                        # Restart the epoch from its first pair with half the rate. Should the
                        # same pair fail again, the weights the epoch starts from are past the
                        # wall for it, and it is skipped from then on.
                        stuck.add(wall_at)
                        model.lr = snap["lr"] = lr / 2
                        restarted = " (halved)"
                        if bar is not None:
                            bar.update(-shown, epoch, math.nan, model.lr, " (halved)")
                            bar.say(f"epoch {epoch}, pair {wall_at[1] + 1}: numeric wall (\"{_WALL_TEXT}\"); "
                                    f"epoch restarted with the learning rate halved to {model.lr:.3g}")
                        continue
                    why = (f"epoch {epoch}, pair {wall_at[1] + 1}: a probability came out negative "
                           f"(\"{_WALL_TEXT}\") at lr {lr:.3g}")
                    result.stopped = why + ("; try a smaller learning rate" if on_wall == "stop"
                                            else f"; the learning rate fell below {MIN_LR:g}")
                    if bar is not None:
                        bar.say("stopped at the numeric wall: " + result.stopped)
                    return result
                rep = EpochReport(epoch, total / (done - odd) if done > odd else math.nan, model.lr, done,
                                  walls, odd, time.perf_counter() - started)
                new_snap = _snapshot(model)
                result.epochs.append(rep)
                history.append(dataclasses.asdict(rep))
                snap, kept = new_snap, len(result.epochs)
                restarted = ""
                epoch += 1
                if bar is not None:  # said once the epoch is kept
                    bar.update(done + walls - shown, rep.epoch, rep.loss, model.lr, note)
                    bar.epoch_done(rep)
                if callback is not None:
                    callback(rep)
    except KeyboardInterrupt:
        _restore(model, snap)
        del result.epochs[kept:], history[first - 1 + kept:]
        raise TrainingInterrupted(result) from None
    finally:
        if bar is not None:
            bar.close()
    return result


def _scratch_model(model: RNNLM_HYBRID) -> Any:
    """A private copy the kernel can step with lr 0: predictions without touching `model`."""
    scratch = _Scratch()
    for name in _WEIGHTS:
        setattr(scratch, name, [list(row) if isinstance(row, (list, tuple)) else row
                                for row in getattr(model, name)])
    scratch.ht = [0.0] * model.neurons
    scratch.neurons, scratch.vocabL, scratch.vecL = model.neurons, model.vocabL, model.vecL
    scratch.dictionary = model.dictionary
    scratch.lr = 0.0
    scratch.reply = []
    return scratch


class _Scratch:
    pass


def _likeliest(scratch: Any, a: int) -> int:
    """The word the step from `a` will predict, computed the way the kernel does (used only to
    pick a target whose probability is positive when the first choice was past the wall)."""
    emb = scratch.embedings[a]
    ht = []
    for wl, wh, b in zip(scratch.lweights, scratch.lhweights, scratch.bias):
        s = 0.0
        for w, x in zip(wl, emb):
            s += w * x
        for w, h in zip(wh, scratch.ht):
            s += w * h
        s += b
        ht.append(float(numerix.ReLu(s)) if s > 0 else float(numerix.LeakyReLu(s)))
    z = []
    for row, b in zip(scratch.who, scratch.bo):
        s = 0.0
        for w, h in zip(row, ht):
            s += w * h
        z.append(s + b)
    return numerix.Argmax(numerix.FixSoftmax(z))


def _predict(scratch: Any, a: int, target: int) -> int:
    """One forward step (lr 0 leaves the weights as they are); returns the predicted word."""
    try:
        tensilo.activate_step(scratch, a, target)
    except ValueError as exc:
        if not _is_wall(exc):
            raise
        tensilo.activate_step(scratch, a, _likeliest(scratch, a))
    return scratch.nexttoken


def generate(model: RNNLM_HYBRID, prompt: str, words: int = 20) -> str:
    """Continue `prompt` by `words` words (punctuation marks count as words) and return them,
    joined as `join_words` does.

    The prompt is read with `tokenize`; each of its words must be in the vocabulary. The model
    reads the prompt from a zero hidden state, then feeds each predicted word back in. It works
    on a private copy with learning rate 0, so `model` (and any saved copy of it) stays exactly
    as it was, and the same prompt always gives the same words.

    >>> text = "the boat went out. the boat came back."
    >>> model = new_model(build_vocabulary(text), embed=8, neurons=8)
    >>> generate(model, "the boat", words=4) == generate(model, "the boat", words=4)
    True
    """
    if isinstance(words, bool) or not isinstance(words, int) or words < 0:
        raise WordModelError(f"words must be a whole number >= 0, not {words!r}")
    tokens = tokenize(prompt)
    if not tokens:
        raise WordModelError("the prompt has no words")
    index = {w: i for i, w in reversed(list(enumerate(model.dictionary)))}
    unknown = [w for w in tokens if w not in index]
    if unknown:
        raise WordModelError(f"the model does not know the word(s) {', '.join(map(repr, unknown))}")
    ids = [index[w] for w in tokens]
    scratch = _scratch_model(model)
    predicted = ids[0]
    for a, b in zip(ids, ids[1:]):
        _predict(scratch, a, b)
    out: List[str] = []
    current = ids[-1]
    for _ in range(words):
        current = _predict(scratch, current, predicted)
        predicted = current
        out.append(model.dictionary[current])
    return join_words(out)


def evaluate(model: RNNLM_HYBRID, texts: TextInput) -> Evaluation:
    """How well `model` predicts the next word of `texts`, without training it (a private copy
    is stepped with learning rate 0). See `Evaluation`."""
    texts_pairs = _pairs(texts, model.dictionary)
    scratch = _scratch_model(model)
    total, counted, hits, walls, n = 0.0, 0, 0, 0, 0
    for pairs in texts_pairs:
        scratch.ht = [0.0] * model.neurons
        for a, b in pairs:
            n += 1
            try:
                tensilo.activate_step(scratch, a, b)
            except ValueError as exc:
                if not _is_wall(exc):
                    raise
                walls += 1
                tensilo.activate_step(scratch, a, _likeliest(scratch, a))
            else:
                total += scratch.loss
                counted += 1
            hits += scratch.nexttoken == b
    return Evaluation(total / counted if counted else math.nan, hits / n, n, walls)


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


def _is_replaceable(path: str) -> bool:
    """A directory `save` may replace: empty, or holding only model files."""
    names = set(os.listdir(path))
    return names <= set(MODEL_FILES) | {HISTORY_FILE}


def save(model: RNNLM_HYBRID, directory: Union[str, "os.PathLike[str]"]) -> None:
    """Write `model` into `directory`: the eight files of the model class, in its format, plus
    history.json (training history and learning rate, ignored by the model class).

    The files are written into a new directory beside `directory`, which then takes its place,
    so `directory` always holds either the old model or the complete new one, also when
    writing fails or Ctrl-C comes. An existing `directory` is replaced only if it is empty or
    holds nothing but model files; anything else raises WordModelError.
    """
    target = os.path.abspath(os.fspath(directory))
    parent = os.path.dirname(target)
    if os.path.lexists(target):
        if not os.path.isdir(target) or os.path.islink(target):
            raise WordModelError(f"{directory}: exists and is not a directory")
        if not _is_replaceable(target):
            raise WordModelError(f"{directory}: holds other files than a model's; not replacing it")
    if not os.path.isdir(parent):
        raise WordModelError(f"{parent}: no such directory")
    tmp = tempfile.mkdtemp(prefix="." + os.path.basename(target) + ".new-", dir=parent)
    try:
        lists = {
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
        meta = {"lr": model.lr, "epochs": _history(model)}
        with open(os.path.join(tmp, HISTORY_FILE), "w", encoding="utf-8") as fh:
            json.dump(meta, fh, indent=1)
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
                ok = isinstance(r, (int, float)) and not isinstance(r, bool)
            else:
                ok = (isinstance(r, list) and len(r) == cols
                      and all(isinstance(x, (int, float)) and not isinstance(x, bool) for x in r))
            if not ok:
                what = f"rows of {cols} numbers" if cols is not None else "numbers"
                raise _fail(directory, f"{name}: expected {rows} {what} (sizes do not match)")

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


def load(directory: Union[str, "os.PathLike[str]"], *, lr: Optional[float] = None) -> RNNLM_HYBRID:
    """Load the model saved in `directory` (by `save`, or by the model's own `train` into
    "test"), without printing anything, and check that its files fit together.

    The learning rate is `lr` if given, else the one saved in history.json, else the default.
    A missing directory or file, a file that cannot be read, or sizes that do not match raise
    WordModelError with a one-line message. The files are run as Python statements when read
    (that is their format), so load only directories you or this package wrote.
    """
    directory = os.fspath(directory)
    if not os.path.isdir(directory):
        raise _fail(directory, "no such model directory")
    missing = [n for n in MODEL_FILES if not os.path.isfile(os.path.join(directory, n))]
    if missing:
        raise _fail(directory, f"not a model directory (missing {', '.join(missing)})")
    meta: Dict[str, Any] = {}
    hist_path = os.path.join(directory, HISTORY_FILE)
    if os.path.isfile(hist_path):
        try:
            with open(hist_path, encoding="utf-8") as fh:
                meta = json.load(fh)
            epochs = meta.get("epochs", []) if isinstance(meta, dict) else None
            if not isinstance(epochs, list) or not all(isinstance(e, dict) for e in epochs):
                raise ValueError("not a training history")
        except (OSError, ValueError) as exc:
            raise _fail(directory, f"{HISTORY_FILE}: unreadable ({exc})") from None
    if lr is None:
        lr = meta.get("lr", DEFAULT_LR)
    lr = _check_lr(lr)  # type: ignore[arg-type]
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
    model.history = list(meta.get("epochs", []))
    return model


def info(model: Union[RNNLM_HYBRID, str, "os.PathLike[str]"]) -> ModelInfo:
    """Sizes and training summary of a model, or of the model saved in a directory.

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
    last = hist[-1].get("loss") if hist else None
    return ModelInfo(vocabulary=V, embed=E, neurons=N, parameters=V * E + N * E + N * N + N + V * N + V,
                     epochs=len(hist), last_loss=last, lr=model.lr, bytes_on_disk=size)
