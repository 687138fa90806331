"""Training: the schedule of epochs over the step (held-out slice, roll-back of an epoch that
made things worse, growth of the rate, final passes over the whole text) and the n-gram
model fitted beside the recurrent one.

Private: `ORVEX.wordmodel` is the public face.
"""
from __future__ import annotations

import contextlib
import dataclasses
import hashlib
import itertools
import math
import sys
import time
from typing import Any, Callable, Dict, List, Optional, TextIO, Tuple

from ORVEX._wm_base import (DEFAULT_EPOCHS, DEFAULT_FINAL_PASSES, DEFAULT_HOLDOUT, DEFAULT_PATIENCE, LR_GROWTH,
                            MIN_HELDOUT_PAIRS, MIN_LR, RARE, TRAIN_SAMPLE, EpochReport, TextInput,
                            TrainingInterrupted, TrainResult, WordModelError, _WALL_TEXT, _check_lr,
                            _check_size, _exp, _history, _is_wall, _ngram, _ngram_texts, _restore, _scratch_reply,
                            _set, _snapshot)
from ORVEX._wm_score import _log_prob, _run_pairs, _vocab, _walk
from ORVEX._wm_text import _streams
from ORVEX.ngram import NGram
from ORVEX.synaptra import RNNLM_HYBRID

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


def _fingerprint(stream: List[str]) -> str:
    """What tells a text the n-gram table has counted from another (its words, hashed)."""
    return hashlib.sha256(" ".join(stream).encode("utf-8")).hexdigest()


def _finish_ngram(model: RNNLM_HYBRID, streams: List[List[str]], train_parts: List[List[str]],
                  held: List[List[str]], held_logs: List[float], result: TrainResult) -> None:
    """Fit the mixing weight and the n-gram order on the held-out slice, then keep the n-gram
    counts of the whole text with the model; also fill in the result's held-out figures.

    A model that has an n-gram table already (resumed training) keeps its counts: the texts
    it has not counted yet are added, a text it has counted is not counted twice, and the
    held-out slice is left out of the counts the weight is fitted with."""
    extra = [w for w in model.dictionary if w != RARE]
    old = _ngram(model)
    counted = _ngram_texts(model) if old is not None else []
    prints = [_fingerprint(s) for s in streams]
    again = [s for s, f in zip(streams, prints) if f in counted]

    def counts(parts: List[List[str]], o: int) -> NGram:
        return NGram(parts, o, extra) if old is None else old.combined(parts, again, o, extra)

    orders = (2, 3) if old is None or old.order == 3 else (2,)
    mix, order = 0.5, orders[-1]
    if held:
        probe = {o: counts(train_parts, o) for o in orders}
        _set(model, ngram=probe[orders[-1]])
        vocab = _vocab(model)
        seen = probe[orders[-1]].unigrams
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
            fits = {o: _fit_mix(p_rnn, [probe[o].prob(c, w) for c, w in ctx]) for o in orders}
            order = max(fits, key=lambda o: fits[o][1])
            mix = fits[order][0]
            result.unigram_perplexity = _exp(-math.fsum(map(math.log, uni)) / len(uni))
            result.rnn_perplexity = _exp(_mean_nll([math.log(p) if p > 0 else -math.inf for p in p_rnn]))
            result.heldout_perplexity = _exp(-fits[order][1])
    _set(model, ngram=counts(streams, order), mix=float(mix), ngram_texts=list(dict.fromkeys([*counted, *prints])))


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


def _check_options(epochs: int, holdout: float, patience: int, on_wall: str, final_passes: int) -> bool:
    """Refuse bad options of `train`; True when pairs at the numeric wall are skipped."""
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
    return on_wall == "skip"


Pairs = List[List[Tuple[int, int]]]
Streams = List[List[str]]


@dataclasses.dataclass
class _Text:
    """The training text as the schedule uses it: the words of each text, their training part
    and held-out slice, the pairs of entries of both, which training positions the training
    cross-entropy is measured on, and each scored word's log share of its entry."""
    streams: Streams
    train_parts: Streams
    held: Streams
    pairs: Pairs
    held_pairs: Pairs
    all_pairs: Pairs  # the whole text's, for the final passes (none without a held-out slice)
    masks: List[List[bool]]
    train_offs: List[Optional[float]]
    held_offs: List[Optional[float]]

    @property
    def total(self) -> int:
        return sum(map(len, self.pairs))

    def train_ce(self, model: RNNLM_HYBRID) -> float:
        """The exact training cross-entropy per word, on the sampled positions."""
        return _mean_nll(_entry_losses(model, self.pairs, self.masks), self.train_offs)

    def held_ce(self, logs: List[float]) -> Optional[float]:
        """The held-out cross-entropy per word from the entries' log-probabilities (None without a slice)."""
        return _mean_nll(logs, self.held_offs) if self.held else None


def _read_text(model: RNNLM_HYBRID, texts: TextInput, holdout: float) -> _Text:
    """Split the text, read its words as the model's entries, pick the sampled positions."""
    streams = _training_streams(texts)
    vocab = _vocab(model)
    if vocab.rare < 0:
        unknown = sorted({w for s in streams for w in s if w not in vocab.index})
        if unknown:
            shown = ", ".join(repr(w) for w in unknown[:5])
            raise WordModelError(f"the text has {len(unknown)} word(s) the model does not know "
                                 f"({shown}{', ...' if len(unknown) > 5 else ''})")
    ent = vocab.input_of

    def pairs_of(parts: List[List[str]]) -> Pairs:
        return [[(ent(a), ent(b)) for a, b in zip(s, s[1:])] for s in parts]

    train_parts, held = _split(streams, float(holdout))
    pairs = pairs_of(train_parts)
    every = max(1, sum(map(len, pairs)) // TRAIN_SAMPLE)
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

    return _Text(streams, train_parts, held, pairs, pairs_of(held), pairs_of(streams) if held else [], masks,
                 offsets(train_parts, masks), offsets(held))


@dataclasses.dataclass
class _Schedule:
    """Where the epochs stand: the weights of the last kept epoch and their training
    cross-entropy, the best weights so far with their score (held-out, else training), the
    held-out log-probabilities and training cross-entropy there, and the epochs since."""
    current: Dict[str, Any]
    train_ce: float
    best_score: float
    best: Dict[str, Any]
    best_logs: List[float]
    best_train: float
    since: int = 0


def _start(model: RNNLM_HYBRID, text: _Text) -> _Schedule:
    current = _snapshot(model)
    train_ce = text.train_ce(model)
    held_logs = _entry_losses(model, text.held_pairs)
    score = text.held_ce(held_logs)
    if score is None:
        score = train_ce
    return _Schedule(current, train_ce, score if math.isfinite(score) else math.inf, current, held_logs, train_ce)


Say = Callable[[str], None]


def _one_epoch(model: RNNLM_HYBRID, text: _Text, state: _Schedule, epoch: int, skip: bool, reply: List[str],
               result: TrainResult) -> Optional[EpochReport]:
    """Run one epoch and keep it or roll it back; None when the numeric wall stopped it."""
    started = time.perf_counter()
    lr = model.lr
    try:
        walls = _epoch(model, text.pairs, reply, skip)
    except ValueError as exc:
        if not _is_wall(exc):
            raise
        _restore(model, state.current)
        result.stopped = (f"epoch {epoch}: a probability came out negative (\"{_WALL_TEXT}\") "
                          f"at lr {lr:.3g}; try a smaller learning rate")
        return None
    new_train = text.train_ce(model)
    new_logs = _entry_losses(model, text.held_pairs)
    new_held = text.held_ce(new_logs)
    kept = (math.isfinite(new_train) and (new_held is None or math.isfinite(new_held))
            and not new_train > state.train_ce)
    if kept:
        state.train_ce, state.current = new_train, _snapshot(model)
        model.lr *= LR_GROWTH
        score = new_held if new_held is not None else new_train
        if score < state.best_score:
            state.best_score, state.best, state.best_logs, state.best_train = score, state.current, new_logs, new_train
            state.since = 0
            result.best = epoch
        else:
            state.since += 1
    else:
        _restore(model, state.current)
        model.lr = lr / 2
    return EpochReport(epoch, new_train, new_held, lr, text.total - walls, walls, kept, time.perf_counter() - started)


def _epoch_line(rep: EpochReport, last: int, lr_now: float) -> str:
    held_text = ("" if rep.heldout is None else
                 f", held-out {rep.heldout:.3f} (perplexity {_exp(rep.heldout):.1f})")
    return (f"epoch {rep.epoch}/{last}: train {rep.loss:.3f} (perplexity {_exp(rep.loss):.1f})"
            f"{held_text}, lr {rep.lr:.3g}, {rep.steps} steps"
            f"{f', {rep.walls} skipped at the numeric wall' if rep.walls else ''}, {rep.seconds:.1f} s"
            f"{'' if rep.kept else f'; worse: rolled back, lr halved to {lr_now:.3g}'}")


def _run_epochs(model: RNNLM_HYBRID, text: _Text, state: _Schedule, epochs: range, patience: int, skip: bool,
                result: TrainResult, say: Say, callback: Optional[Callable[[EpochReport], None]]) -> None:
    """The epochs, until they are done or a stop rule says so (`result.stopped`)."""
    hist = _history(model)
    with _scratch_reply(model) as reply:
        for epoch in epochs:
            rep = _one_epoch(model, text, state, epoch, skip, reply, result)
            if rep is None:
                return
            result.epochs.append(rep)
            hist.append(dataclasses.asdict(rep))
            say(_epoch_line(rep, epochs[-1], model.lr))
            if callback is not None:
                callback(rep)
            if model.lr < MIN_LR:
                result.stopped = f"the learning rate fell below {MIN_LR:g}"
                return
            if state.since >= patience:
                result.stopped = (f"no better on the held-out slice for {patience} epochs"
                                  if text.held else f"no better for {patience} epochs")
                return


def _final_passes(model: RNNLM_HYBRID, text: _Text, state: _Schedule, passes: int, result: TrainResult,
                  say: Say) -> bool:
    """The held-out slice is text too, and the text closest to what follows it: the kept
    weights take up to `passes` more passes over the whole text, each kept if the training
    cross-entropy does not get worse. True when Ctrl-C cut them short."""
    hist = _history(model)
    kept_snap = state.best
    interrupted = False
    for _ in range(passes):
        started = time.perf_counter()
        lr = model.lr
        try:
            with _scratch_reply(model) as reply:
                walls = _epoch(model, text.all_pairs, reply, True)
            new_train = text.train_ce(model)
        except KeyboardInterrupt:
            interrupted = True
            break
        if not (math.isfinite(new_train) and not new_train > state.best_train):
            break
        state.best_train, kept_snap = new_train, _snapshot(model)
        result.best = epoch = result.epochs[-1].epoch + 1
        report = EpochReport(epoch, new_train, None, lr, sum(map(len, text.all_pairs)) - walls, walls, True,
                             time.perf_counter() - started)
        result.epochs.append(report)
        hist.append(dataclasses.asdict(report))
        say(f"epoch {epoch}: a pass over the whole text (held-out slice included): train {new_train:.3f} "
            f"(perplexity {_exp(new_train):.1f}), {report.seconds:.1f} s")
    _restore(model, kept_snap)
    return interrupted


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
    its best complete epoch and raises `TrainingInterrupted`. Either way the model ends with
    the learning rate its next epoch would run with (the kept epoch's, grown by `LR_GROWTH`;
    unchanged when no epoch was kept), so training it again, also after `save` and `load`,
    continues the run. The reports are appended to ``model.history`` (which `save` writes and
    `load` reads). A model that has an n-gram table keeps its counts: a text it has counted is
    not counted again, a new one is added.

    >>> text = "the boat went out. the boat came back. " * 3
    >>> model = new_model_for(text, embed=8, neurons=8)
    >>> result = train(model, text, epochs=3, holdout=0)
    >>> len(result.losses), result.losses[-1] < result.losses[0], result.stopped
    (3, True, None)
    """
    skip = _check_options(epochs, holdout, patience, on_wall, final_passes)
    _check_lr(model.lr)
    text = _read_text(model, texts, holdout)
    out = stream if stream is not None else sys.stderr
    first = len(_history(model)) + 1
    result = TrainResult([], best=first - 1)

    def say(line: str) -> None:
        if progress:
            with contextlib.suppress(OSError, ValueError):  # a closed stream never stops training
                print(line, file=out, flush=True)

    state = _start(model, text)
    interrupted = False
    try:
        _run_epochs(model, text, state, range(first, first + epochs), patience, skip, result, say, callback)
    except KeyboardInterrupt:
        interrupted = True
    if result.stopped:
        say(f"stopped early: {result.stopped}")
    _restore(model, state.best)
    if text.held and not interrupted and result.best >= first:
        interrupted = _final_passes(model, text, state, final_passes, result, say)
    if result.best >= first:  # the rate the next epoch would run with, where a resumed run starts
        model.lr *= LR_GROWTH
    if ngram:
        _finish_ngram(model, text.streams, text.train_parts, text.held, state.best_logs, result)
    else:
        _set(model, ngram=None, mix=None, ngram_texts=[])
        if text.held:
            result.rnn_perplexity = result.heldout_perplexity = _exp(state.best_score)
    _set(model, trained={"best": result.best, "unigram_perplexity": result.unigram_perplexity,
                         "rnn_perplexity": result.rnn_perplexity,
                         "heldout_perplexity": result.heldout_perplexity})
    if interrupted:
        raise TrainingInterrupted(result)
    return result
