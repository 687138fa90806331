"""Words and vocabularies: the tokeniser, word counts, the vocabulary (rare words sharing
one entry), and fresh models for a vocabulary or a text.

Private: `ORVEX.wordmodel` is the public face.
"""
from __future__ import annotations

import math
import os
import re
import tempfile
from collections import Counter
from typing import Dict, List, Mapping, Optional, Sequence

from ORVEX import lystra
from ORVEX._wm_base import (BIAS_FLOOR, DEFAULT_EMBED, DEFAULT_LR, DEFAULT_MIN_COUNT, DEFAULT_NEURONS,
                            DEFAULT_SEED, MAX_PARAMETERS, RARE, TextInput, WordModelError, Words, _check_lr,
                            _check_size, _parameters, _set)
from ORVEX.synaptra import RNNLM_HYBRID

_TOKEN = re.compile(r"[^\W_]+(?:['\-][^\W_]+)*|[.,;:!?]")
_PUNCTUATION = frozenset(".,;:!?")


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
