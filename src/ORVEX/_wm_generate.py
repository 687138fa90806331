"""Generation: sampling the next word (temperature, top-k, top-p, no loops) or the step's
own arg-max.

Private: `ORVEX.wordmodel` is the public face.
"""
from __future__ import annotations

import math
import random as _random
from typing import List, Optional

from ORVEX import numerix
from ORVEX._wm_base import DEFAULT_TEMPERATURE, DEFAULT_TOP_P, WordModelError, Words
from ORVEX._wm_score import _forward, _log_softmax, _mixer, _vocab
from ORVEX._wm_text import _words_of, join_words
from ORVEX.synaptra import RNNLM_HYBRID

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
