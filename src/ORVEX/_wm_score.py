"""Exact scoring: the step's forward pass (native where built), the words a model gives
probabilities to, and the probabilities themselves (exact soft-max in double precision,
mixed with the n-gram model).

Private: `ORVEX.wordmodel` is the public face.
"""
from __future__ import annotations

import dataclasses
import functools
import itertools
import math
import operator
import sys
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

from ORVEX import tensilo
from ORVEX._wm_base import (RARE, Evaluation, TextInput, WordModelError, Words, _WEIGHTS, _exp, _is_wall,
                            _mix, _ngram)
from ORVEX._wm_text import _streams, _words_of
from ORVEX.ngram import NGram
from ORVEX.synaptra import RNNLM_HYBRID

try:  # the native loop over the step and the step's forward pass, where built
    from ORVEX import _kernel
except ImportError:  # pragma: no cover - a build without it
    _kernel = None  # type: ignore[assignment]

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


def _forward(model: Any, a: int, h: List[float]) -> Tuple[List[float], List[float]]:
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
