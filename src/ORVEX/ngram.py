"""Interpolated Kneser-Ney n-gram model of word streams (bigram or trigram), pure Python.

The word model keeps one beside its eight files (`ngram.json`) and mixes it with the
recurrent model's probabilities; the bench uses the bigram as a baseline.

>>> ng = NGram([["the", "boat", "went", "out", ".", "the", "boat", "came", "back", "."]], order=2)
>>> round(sum(ng.distribution(["the"]).values()), 12)
1.0
>>> ng.prob(["the"], "boat") > ng.prob(["the"], "went")
True
"""
from __future__ import annotations

from collections import Counter
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, TypeVar

#: The absolute discount of every order.
DISCOUNT = 0.75

Bigram = Tuple[str, str]
Trigram = Tuple[str, str, str]


_K = TypeVar("_K", str, Bigram, Trigram)


def _merge(mine: "Counter[_K]", theirs: "Counter[_K]", less: "Counter[_K]") -> None:
    """Add `theirs` to `mine` and take `less` away; what reaches zero is dropped."""
    mine.update(theirs)
    mine.subtract(less)
    for k in [k for k, c in mine.items() if c <= 0]:
        del mine[k]


class NGram:
    """Counts of one or more word streams and the interpolated Kneser-Ney probabilities from them.

    `order` is 2 (bigram) or 3 (trigram). `extra_words` are words that get probabilities
    though the streams never use them (their share comes from the uniform floor of the lowest
    order). Pairs and triples never cross from one stream into the next.
    """

    def __init__(self, streams: Iterable[Sequence[str]], order: int = 3,
                 extra_words: Iterable[str] = (), discount: float = DISCOUNT) -> None:
        if order not in (2, 3):
            raise ValueError("order must be 2 or 3")
        self.order, self.d = order, float(discount)
        self.unigrams: Counter[str] = Counter()
        self.bigrams: Counter[Bigram] = Counter()
        self.trigrams: Counter[Trigram] = Counter()
        for s in streams:
            s = list(s)
            self.unigrams.update(s)
            self.bigrams.update(zip(s, s[1:]))
            if order == 3:
                self.trigrams.update(zip(s, s[1:], s[2:]))
        words = dict.fromkeys(self.unigrams)
        words.update(dict.fromkeys(extra_words))
        self.words: List[str] = list(words)
        self._prepare()

    def combined(self, add: Iterable[Sequence[str]], remove: Iterable[Sequence[str]], order: int,
                 extra_words: Iterable[str] = ()) -> "NGram":
        """A table of `order` holding these counts plus those of the streams `add`, less those of
        the streams `remove` (streams this table counted); a bigram table has no triples to give."""
        out = NGram(add, order, extra_words, self.d)
        gone = NGram(remove, order)
        _merge(out.unigrams, self.unigrams, gone.unigrams)
        _merge(out.bigrams, self.bigrams, gone.bigrams)
        if order == 3:
            _merge(out.trigrams, self.trigrams, gone.trigrams)
        out.words = list(dict.fromkeys([*self.words, *out.words]))
        out._prepare()
        return out

    # -- derived tables ---------------------------------------------------------------------
    def _prepare(self) -> None:
        d = self.d
        cont1: Counter[str] = Counter(w for _, w in self.bigrams)
        total1 = sum(cont1.values())
        V = max(len(self.words), 1)
        if total1:
            floor = d * len(cont1) / V / total1
            self.p1 = {w: max(cont1[w] - d, 0.0) / total1 + floor for w in self.words}
        else:
            self.p1 = {w: 1.0 / V for w in self.words}
        # bigram level: raw counts (the top order of a bigram model, or a trigram's fallback)
        self.after: Dict[str, Dict[str, int]] = {}
        for (v, w), c in self.bigrams.items():
            self.after.setdefault(v, {})[w] = c
        self.after_total = {v: sum(f.values()) for v, f in self.after.items()}
        # bigram level below a trigram: continuation counts (distinct words before the pair)
        self.cont2: Dict[str, Dict[str, int]] = {}
        self.ctx3: Dict[Bigram, Dict[str, int]] = {}
        if self.order == 3:
            for (u, v, w), c in self.trigrams.items():
                f = self.cont2.setdefault(v, {})
                f[w] = f.get(w, 0) + 1
                self.ctx3.setdefault((u, v), {})[w] = c
        self.cont2_total = {v: sum(f.values()) for v, f in self.cont2.items()}
        self.ctx3_total = {k: sum(f.values()) for k, f in self.ctx3.items()}

    def _level(self, follow: Optional[Dict[str, int]], total: int, lower: Dict[str, float]) -> Dict[str, float]:
        """One interpolated level over all words, given the counts that follow its context."""
        if not follow:
            return lower
        d = self.d
        gamma = d * len(follow) / total
        out = {w: gamma * p for w, p in lower.items()}
        for w, c in follow.items():
            out[w] += max(c - d, 0.0) / total
        return out

    def _one(self, follow: Optional[Dict[str, int]], total: int, w: str, lower: float) -> float:
        if not follow:
            return lower
        return max(follow.get(w, 0) - self.d, 0.0) / total + self.d * len(follow) / total * lower

    def _context(self, context: Sequence[str]) -> Tuple[Optional[str], Optional[str]]:
        v = context[-1] if context else None
        u = context[-2] if len(context) >= 2 and self.order == 3 else None
        return u, v

    def distribution(self, context: Sequence[str]) -> Dict[str, float]:
        """The probability of every word following `context` (the last one or two words count)."""
        u, v = self._context(context)
        if v is None:
            return dict(self.p1)
        if u is not None and (u, v) in self.ctx3:
            lower = self._level(self.cont2.get(v), self.cont2_total.get(v, 0), self.p1)
            return self._level(self.ctx3[(u, v)], self.ctx3_total[(u, v)], lower)
        return self._level(self.after.get(v), self.after_total.get(v, 0), self.p1)

    def prob(self, context: Sequence[str], w: str) -> float:
        """The probability of `w` following `context` (0.0 for a word the model does not have)."""
        if w not in self.p1:
            return 0.0
        p1 = self.p1[w]
        u, v = self._context(context)
        if v is None:
            return p1
        if u is not None and (u, v) in self.ctx3:
            lower = self._one(self.cont2.get(v), self.cont2_total.get(v, 0), w, p1)
            return self._one(self.ctx3[(u, v)], self.ctx3_total[(u, v)], w, lower)
        return self._one(self.after.get(v), self.after_total.get(v, 0), w, p1)

    # -- storage ----------------------------------------------------------------------------
    def to_json(self) -> Dict[str, Any]:
        """The counts as plain JSON data (`from_json` reads them back)."""
        return {"order": self.order, "discount": self.d, "words": self.words,
                "unigrams": [[w, c] for w, c in self.unigrams.items()],
                "bigrams": [[a, b, c] for (a, b), c in self.bigrams.items()],
                "trigrams": [[a, b, w, c] for (a, b, w), c in self.trigrams.items()]}

    @classmethod
    def from_json(cls, data: Any) -> "NGram":
        """The model `to_json` described; ValueError when the data is not such a description."""
        if not isinstance(data, Mapping):
            raise ValueError("not an n-gram table")
        order, d, words = data.get("order"), data.get("discount"), data.get("words")
        if order not in (2, 3) or type(d) is not float or not 0.0 < d < 1.0:
            raise ValueError("bad order or discount")
        if not isinstance(words, list) or not all(isinstance(w, str) for w in words):
            raise ValueError("bad word list")
        known = set(words)

        def table(key: str, n: int) -> List[Tuple[Tuple[str, ...], int]]:
            rows = data.get(key)
            if not isinstance(rows, list):
                raise ValueError(f"bad {key}")
            out = []
            for r in rows:
                if (not isinstance(r, list) or len(r) != n + 1 or type(r[n]) is not int or r[n] < 1
                        or not all(isinstance(w, str) and w in known for w in r[:n])):
                    raise ValueError(f"bad {key}")
                out.append((tuple(r[:n]), r[n]))
            return out

        self = cls.__new__(cls)
        self.order, self.d, self.words = order, d, list(words)
        self.unigrams = Counter({k[0]: c for k, c in table("unigrams", 1)})
        self.bigrams = Counter({(k[0], k[1]): c for k, c in table("bigrams", 2)})
        self.trigrams = Counter({(k[0], k[1], k[2]): c for k, c in table("trigrams", 3)})
        self._prepare()
        return self
