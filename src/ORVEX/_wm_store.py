"""The model directory: saving it whole or not at all (concurrent saves take turns), loading
and checking it, and the summary `info` gives.

Private: `ORVEX.wordmodel` is the public face.
"""
from __future__ import annotations

import contextlib
import dataclasses
import fcntl
import io
import itertools
import json
import math
import os
import shutil
import signal
import tempfile
import threading
from typing import Any, Dict, Iterator, List, Optional, Tuple, Union

from ORVEX import lystra
from ORVEX._wm_base import (DEFAULT_EMBED, DEFAULT_LR, DEFAULT_NEURONS, DEFAULT_SEED, HISTORY_FILE, MODEL_FILES,
                            NGRAM_FILE, EpochReport, ModelInfo, PathInput, WordModelError, _WEIGHTS, _check_lr,
                            _history, _mix, _ngram, _ngram_texts, _parameters, _set)
from ORVEX._wm_score import _vocab
from ORVEX.ngram import NGram
from ORVEX.synaptra import RNNLM_HYBRID

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
    n-gram counts of the training texts, their fingerprints and the mixing weight); the model
    class ignores both.

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
                    json.dump({"mix": _mix(model), "ngram": ng.to_json(), "texts": _ngram_texts(model)}, fh)
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
    texts: List[str] = []
    ng_path = os.path.join(directory, NGRAM_FILE)
    if os.path.isfile(ng_path):
        try:
            data = _read_json(ng_path)
            if not isinstance(data, dict) or type(data.get("mix")) is not float or not 0 <= data["mix"] <= 1:
                raise ValueError("bad mixing weight")
            ng, mix = NGram.from_json(data.get("ngram")), data["mix"]
            texts = data.get("texts", [])  # what the counts hold (none said: counted before this was kept)
            if not isinstance(texts, list) or not all(isinstance(t, str) for t in texts):
                raise ValueError("bad list of counted texts")
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
    _set(model, history=list(epochs), ngram=ng, mix=mix, ngram_texts=texts, trained=trained)
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
