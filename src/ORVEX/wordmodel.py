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

The layer lives in private modules by concern (``_wm_text``: words and vocabularies;
``_wm_score``: the forward pass and exact probabilities; ``_wm_train``: the training
schedule; ``_wm_generate``: sampling; ``_wm_store``: the model directory); every public name
is here.
"""
from __future__ import annotations

from ORVEX._wm_base import (BIAS_FLOOR, DEFAULT_EMBED, DEFAULT_EPOCHS, DEFAULT_FINAL_PASSES, DEFAULT_HOLDOUT,
                            DEFAULT_LR, DEFAULT_MIN_COUNT, DEFAULT_NEURONS, DEFAULT_PATIENCE, DEFAULT_SEED,
                            DEFAULT_TEMPERATURE, DEFAULT_TOP_P, HISTORY_FILE, LR_GROWTH, MAX_PARAMETERS,
                            MIN_HELDOUT_PAIRS, MIN_LR, MODEL_FILES, NGRAM_FILE, RARE, TRAIN_SAMPLE, EpochReport,
                            Evaluation, ModelInfo, PathInput, TextInput, TrainingInterrupted, TrainResult,
                            WordModelError, Words)
from ORVEX._wm_generate import generate
from ORVEX._wm_score import evaluate, next_word_distribution, sequence_probabilities, unknown_words
from ORVEX._wm_store import info, load, save
from ORVEX._wm_text import build_vocabulary, join_words, new_model, new_model_for, tokenize, word_counts
from ORVEX._wm_train import train

__all__ = [
    "MODEL_FILES", "HISTORY_FILE", "NGRAM_FILE", "RARE", "DEFAULT_EMBED", "DEFAULT_NEURONS",
    "DEFAULT_LR", "DEFAULT_SEED", "DEFAULT_EPOCHS", "DEFAULT_MIN_COUNT", "DEFAULT_HOLDOUT",
    "DEFAULT_PATIENCE", "DEFAULT_TEMPERATURE", "DEFAULT_TOP_P",
    "WordModelError", "TrainingInterrupted", "EpochReport", "TrainResult", "Evaluation", "ModelInfo",
    "tokenize", "word_counts", "build_vocabulary", "join_words", "new_model", "new_model_for", "train",
    "unknown_words",
    "next_word_distribution", "sequence_probabilities", "evaluate", "save", "load", "generate", "info",
]


# The public classes and functions are presented as this module's own (help, tracebacks, pickles).
for _name in __all__:
    _obj = globals()[_name]
    if isinstance(_obj, type) or callable(_obj):
        setattr(_obj, "__module__", __name__)
del _name, _obj
