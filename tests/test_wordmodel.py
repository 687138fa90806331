import doctest
import io
import json
import math
import os
import random
import threading

import pytest

from ORVEX import _wm_base, _wm_score, _wm_store, _wm_train, lystra, ngram, numerix, tensilo, wordmodel as wm
from ORVEX.synaptra import RNNLM_HYBRID

TEXT = "the boat went out to sea. the boat came back to the harbour. the fisher sang!"
SIZES = dict(embed=6, neurons=5)
PAIRS = len(wm.tokenize(TEXT)) - 1
LISTS = ("embedings", "lweights", "lhweights", "bias", "who", "bo", "ht", "dictionary", "vocabL", "vecL", "neurons")


def fresh(lr=0.05, text=TEXT, **kw):
    return wm.new_model(wm.build_vocabulary(text), lr=lr, **{**SIZES, **kw})


def state(model):
    return {name: getattr(model, name) for name in LISTS}


def trained(epochs, **kw):
    model = fresh(**kw)
    wm.train(model, TEXT, epochs)
    return model


@pytest.fixture(autouse=True)
def python_loop(monkeypatch):
    """The Python loop over the step, so that the tests can make single steps fail."""
    monkeypatch.setattr(_wm_score, "_kernel", None)


@pytest.mark.parametrize("text, words", [
    ("The Boat, the SEA.", ["the", "boat", ",", "the", "sea", "."]),
    ("don't stop -- well-known 'quotes' (here)?!", ["don't", "stop", "well-known", "quotes", "here", "?", "!"]),
    ("it\u2019s 42 km_h", ["it's", "42", "km", "h"]),
    ("  \n\t ", []),
])
def test_tokenize(text, words):
    assert wm.tokenize(text) == words


def test_vocabulary_keeps_first_appearance_order_across_texts():
    assert wm.build_vocabulary(["b a b.", "c a"]) == ["b", "a", ".", "c"]


def test_round_trip_gives_same_weights_and_predictions(tmp_path):
    model = trained(3)
    before = wm.generate(model, "the boat", 6, seed=3)
    wm.save(model, tmp_path / "m")
    assert sorted(os.listdir(tmp_path / "m")) == sorted(wm.MODEL_FILES + (wm.HISTORY_FILE, wm.NGRAM_FILE))
    back = wm.load(tmp_path / "m")
    assert state(back) == state(model)
    assert wm.generate(back, "the boat", 6, seed=3) == before
    assert back.lr == model.lr and back.history == model.history and back.mix == model.mix
    assert wm.next_word_distribution(back, "the boat") == wm.next_word_distribution(model, "the boat")
    # The model class reads the directory on its own as well.
    plain = RNNLM_HYBRID(1, "", 6, str(tmp_path / "m"), neurons=5)
    assert state(plain) == state(model)


def test_load_prints_nothing_and_generate_changes_nothing(tmp_path, capsys):
    model = trained(2)
    wm.save(model, tmp_path / "m")
    capsys.readouterr()
    back = wm.load(tmp_path / "m")
    snap = _wm_base._snapshot(back)
    first = wm.generate(back, "the fisher", 5, seed=1)
    assert wm.generate(back, "the fisher", 5, seed=1) == first
    assert _wm_base._snapshot(back) == snap and not hasattr(back, "reply")
    assert capsys.readouterr() == ("", "")


def test_train_reports_epochs_and_leaves_reply_alone():
    model = fresh()
    model.reply = ["kept"]
    seen = []
    result = wm.train(model, [TEXT, "the sea"], 3, callback=seen.append)
    assert [r.epoch for r in result.epochs] == [1, 2, 3] == [r.epoch for r in seen]
    assert result.stopped is None and len(result.losses) == 3
    assert result.epochs[0].steps == PAIRS + 1
    assert model.reply == ["kept"] and len(model.history) == 3


def test_resume_continues_where_it_stopped(tmp_path, monkeypatch):
    straight = trained(4)
    half = trained(2)
    wm.save(half, tmp_path / "m")
    again = wm.load(tmp_path / "m")
    result = wm.train(again, TEXT, 2)
    assert [r.epoch for r in result.epochs] == [3, 4]
    assert state(again) == state(straight)
    assert [h["loss"] for h in again.history] == [h["loss"] for h in straight.history]
    assert again.lr == straight.lr == 0.05 * wm.LR_GROWTH ** 4  # the rate the next epoch runs with


@pytest.mark.parametrize("more, twice", [(TEXT, False), ("the sea came to the boat.", True)])
def test_resumed_training_keeps_the_counts_of_what_came_before(tmp_path, more, twice):
    # a text already counted is not counted again; a new one adds to the old counts
    first = trained(1)
    wm.save(first, tmp_path / "m")
    again = wm.load(tmp_path / "m")
    wm.train(again, more, 1)
    want = wm.word_counts(TEXT)
    for w, c in (wm.word_counts(more).items() if twice else ()):
        want[w] = want.get(w, 0) + c
    assert dict(again.ngram.unigrams) == want
    wm.save(again, tmp_path / "m")
    assert dict(wm.load(tmp_path / "m").ngram.unigrams) == want


def wall_at(monkeypatch, calls_that_fail, exc=None):
    """Make the kernel fail (changing nothing) at the given call numbers, counting from 1."""
    real = tensilo.activate_step
    count = [0]

    def step(obj, a, b):
        count[0] += 1
        if count[0] in calls_that_fail:
            raise exc or ValueError("x must be > 0")
        real(obj, a, b)

    monkeypatch.setattr(tensilo, "activate_step", step)
    return count


@pytest.mark.parametrize("on_wall, fails, epochs, walls", [
    # skip: the pair is skipped, the rate stays, the epoch goes on
    ("skip", {PAIRS + 3}, 3, [0, 1, 0]),
    ("skip", {PAIRS + 3, PAIRS + 5, 2 * PAIRS + 1}, 3, [0, 2, 1]),
    # stop: back to the end of epoch 1, which is all that is kept
    ("stop", {PAIRS + 3}, 1, [0]),
])
def test_numeric_wall(monkeypatch, on_wall, fails, epochs, walls):
    wall_at(monkeypatch, fails)
    model = fresh()
    result = wm.train(model, TEXT, 3, on_wall=on_wall)
    assert [r.walls for r in result.epochs] == walls and all(r.kept for r in result.epochs)
    assert [r.lr for r in result.epochs] == [0.05 * wm.LR_GROWTH ** i for i in range(epochs)]  # never halved
    assert [r.steps for r in result.epochs] == [PAIRS - w for w in walls]
    if on_wall == "stop":
        assert "x must be > 0" in result.stopped and "smaller learning rate" in result.stopped
        monkeypatch.undo()
        assert state(model) == state(trained(1))
    else:
        assert result.stopped is None


def test_a_block_of_pairs_that_ran_away_is_redone_at_half_the_rate(monkeypatch):
    text = " ".join([TEXT] * 4)
    pairs = len(wm.tokenize(text)) - 1
    count = wall_at(monkeypatch, set(range(11, 11 + pairs // 2 + 1)))  # most of epoch 1's block
    model = fresh(text=text)
    result = wm.train(model, text, 1, holdout=0)
    assert count[0] == 2 * pairs and result.epochs[0].walls == 0 and result.epochs[0].steps == pairs
    assert model.lr == 0.025 * wm.LR_GROWTH  # the halved rate, grown for the next epoch


@pytest.mark.parametrize("lr, stopped", [(0.05, None), (wm.MIN_LR * 1.2, "fell below")])
def test_an_epoch_that_breaks_the_model_is_rolled_back_with_half_the_rate(monkeypatch, lr, stopped):
    real, count = tensilo.activate_step, [0]

    def step(obj, a, b):  # epoch 2 turns a weight into NaN
        count[0] += 1
        real(obj, a, b)
        if count[0] == PAIRS + 2:
            obj.bo[0] = math.nan

    monkeypatch.setattr(tensilo, "activate_step", step)
    model = fresh(lr=lr)
    result = wm.train(model, TEXT, 3)
    assert [r.kept for r in result.epochs] == [True, False, True][:len(result.epochs)]
    assert math.isnan(result.epochs[1].loss) and (result.stopped == stopped or stopped in result.stopped)
    assert all(map(math.isfinite, model.bo)) and [r.lr for r in result.epochs][:2] == [lr, lr * wm.LR_GROWTH]
    if stopped:
        monkeypatch.undo()
        assert state(model) == state(trained(1, lr=lr))
    else:
        assert result.epochs[2].lr == lr * wm.LR_GROWTH / 2


def test_ctrl_c_puts_the_model_back_to_its_last_complete_epoch(monkeypatch):
    wall_at(monkeypatch, {PAIRS + 5}, KeyboardInterrupt())
    model = fresh()
    with pytest.raises(wm.TrainingInterrupted) as info:
        wm.train(model, TEXT, 3)
    assert len(info.value.result.epochs) == 1 and len(model.history) == 1
    monkeypatch.undo()
    assert state(model) == state(trained(1))


@pytest.mark.parametrize("fail_at", [0, 4, 8, 9])  # the first, a middle, the history and n-gram files
def test_save_is_atomic_under_a_failure(tmp_path, monkeypatch, fail_at):
    old = trained(1)
    wm.save(old, tmp_path / "m")
    new = trained(2)
    writes = []
    real_write, real_dump = lystra.write, json.dump

    def failing(*args, **kw):
        writes.append(args)
        if len(writes) > fail_at:
            raise KeyboardInterrupt if fail_at == 4 else OSError(28, "No space left on device")
        return (real_dump if len(args) == 2 and not isinstance(args[0], list) else real_write)(*args, **kw)

    monkeypatch.setattr(lystra, "write", failing)
    monkeypatch.setattr(json, "dump", failing)
    with pytest.raises((OSError, KeyboardInterrupt)):
        wm.save(new, tmp_path / "m")
    with pytest.raises((OSError, KeyboardInterrupt)):
        wm.save(new, tmp_path / "fresh")
    monkeypatch.undo()
    assert sorted(os.listdir(tmp_path)) == ["m"]
    assert state(wm.load(tmp_path / "m")) == state(old)


def test_save_replaces_only_model_directories(tmp_path):
    (tmp_path / "notes").mkdir()
    (tmp_path / "notes" / "mine.txt").write_text("keep me")
    (tmp_path / "file").write_text("x")
    model = fresh()
    for target in ("notes", "file"):
        with pytest.raises(wm.WordModelError):
            wm.save(model, tmp_path / target)
    assert (tmp_path / "notes" / "mine.txt").read_text() == "keep me"
    (tmp_path / "empty").mkdir()
    wm.save(model, tmp_path / "empty")
    wm.save(model, tmp_path / "empty")  # a model directory is replaced
    assert wm.info(tmp_path / "empty").vocabulary == model.vocabL


def corrupt(path, name, data):
    if data is None:
        os.remove(path / name)
    elif isinstance(data, str):
        (path / name).write_text(data)
    else:
        lystra.write(data, str(path / name))


@pytest.mark.parametrize("name, data, message", [
    ("who.mem", None, "missing who.mem"),
    ("bo.mem", "a = [1, 2", "cannot read the model: SyntaxError"),
    ("info.meta", [3, 6], "cannot read the model: IndexError"),
    ("dict.mem", ["x", "y"], "dict.mem: 2 words"),
    ("who.mem", [[0.0] * 5] * 3, "who.mem: 3 entries"),
    ("lweights.mem", [[0.0] * 6] * 4 + [[0.0] * 5], "lweights.mem: expected 5 rows of 6 numbers"),
    ("bias.mem", ["a"] * 5, "bias.mem: expected 5 numbers"),
    ("bo.mem", "a = [%s]\nf=0" % ", ".join(["1e999"] * 13), "bo.mem: expected 13 numbers (finite"),
    ("who.mem", "a = [%s]\nf=0" % ", ".join(["[%s]" % ", ".join(["1" + "0" * 400] * 5)] * 13),
     "who.mem: expected 13 rows of 5 numbers (finite"),
    (wm.HISTORY_FILE, "{", "history.json: unreadable"),
    (wm.HISTORY_FILE, '{"epochs": [{"loss": "x"}]}', "history.json: unreadable"),
    (wm.HISTORY_FILE, '{"lr": "x"}', "learning rate must be a positive number"),
    (wm.HISTORY_FILE, "[" * 100_000 + "]" * 100_000, "history.json: unreadable"),
    (wm.NGRAM_FILE, '{"mix": 2.0, "ngram": {}}', "ngram.json: unreadable"),
    (wm.NGRAM_FILE, '{"mix": 0.5, "ngram": {"order": 3, "discount": 0.75, "words": ["zebra"], '
                    '"unigrams": [], "bigrams": [], "trigrams": []}}', "no entry for"),
])
def test_load_rejects_bad_directories(tmp_path, name, data, message):
    wm.save(fresh(), tmp_path / "m")
    corrupt(tmp_path / "m", name, data)
    with pytest.raises(wm.WordModelError, match=message.replace("(", r"\(").replace("[", r"\[")) as info:
        wm.load(tmp_path / "m")
    assert "\n" not in str(info.value)


@pytest.mark.parametrize("call, message", [
    (lambda m: wm.train(m, "", 1), "no words"),
    (lambda m: wm.train(m, "boat", 1), "single word"),
    (lambda m: wm.train(m, "the zebra", 1), "does not know"),
    (lambda m: wm.train(m, TEXT, -1), "epochs"),
    (lambda m: wm.train(m, TEXT, 1, on_wall="halve"), "on_wall"),
    (lambda m: wm.generate(m, "the", temperature=0), "temperature"),
    (lambda m: wm.generate(m, "the", top_p=1.5), "top_p"),
    (lambda m: wm.train(m, TEXT, 1, holdout=1), "holdout"),
    (lambda m: wm.new_model(["a"], embed=100_000_000_000), "too large"),
    (lambda m: wm.generate(m, " -- "), "no words"),
    (lambda m: wm.generate(m, "the", -1), "words"),
    (lambda m: wm.new_model(["a", "a"]), "repeated"),
    (lambda m: wm.new_model(["a"], neurons=0), "neurons"),
    (lambda m: wm.new_model(["a"], lr=float("nan")), "learning rate"),
    (lambda m: wm.load(os.path.join(os.sep, "no", "such", "dir")), "no such model directory"),
])
def test_bad_input_raises_one_line_errors(call, message):
    model = fresh()
    with pytest.raises(wm.WordModelError, match=message) as info:
        call(model)
    assert "\n" not in str(info.value)


@pytest.mark.parametrize("native", [False, True])
def test_forward_gives_the_steps_numbers(monkeypatch, native):
    if native:
        kernel = pytest.importorskip("ORVEX._kernel")
        monkeypatch.setattr(_wm_score, "_kernel", kernel)
    model = trained(2)
    scratch = _wm_score._scratch_model(model)
    h = [0.0] * model.neurons
    for a in [0, 3, 3, 7, 1, 12]:
        scratch.ht = list(h)
        h, z = _wm_score._forward(model, a, h)
        tensilo.activate_step(scratch, a, 0)
        assert h == scratch.ht and numerix.Argmax(numerix.FixSoftmax(z)) == scratch.nexttoken


def test_sampling_follows_the_seed_and_does_not_loop():
    model = trained(4)
    texts = {wm.generate(model, "the boat", 30, seed=s) for s in range(6)}
    assert len(texts) > 1 and wm.generate(model, "the boat", 30, seed=2) == wm.generate(model, "the boat", 30, seed=2)
    greedy = wm.generate(model, "the boat", 8, greedy=True)
    assert greedy == wm.generate(model, "the boat", 8, greedy=True, seed=5)
    for text in texts:
        words = wm.tokenize(text)
        assert len(words) == 30 and not any(words[i] == words[i + 1] == words[i + 2] == words[i + 3]
                                            for i in range(27))
        triples = list(zip(words, words[1:], words[2:]))
        assert len(set(triples)) == len(triples)


def test_unknown_prompt_words_are_read_as_the_rare_entry():
    model = wm.new_model_for(TEXT, **SIZES)
    wm.train(model, TEXT, 2)
    assert wm.unknown_words(model, "the zebra boat zebra") == ["zebra"]
    assert len(wm.tokenize(wm.generate(model, "the zebra", 4, seed=1))) == 4


@pytest.mark.parametrize("ngram_on", [True, False])
def test_next_word_distribution_sums_to_one_and_splits_the_shared_entry(ngram_on):
    text = TEXT + " the gull sang . the gull came back ."  # gull: 2, sang: 2, went/out: 1
    model = wm.new_model_for(text, min_count=3, **SIZES)
    wm.train(model, text, 2)
    dist = wm.next_word_distribution(model, "the boat", ngram=ngram_on)
    assert set(dist) == set(wm.word_counts(text)) and abs(math.fsum(dist.values()) - 1) < 1e-9
    if not ngram_on:  # one entry, split 2 : 1
        assert dist["gull"] == pytest.approx(2 * dist["went"], rel=1e-12)
    probs = wm.sequence_probabilities(model, "the boat zebra the gull", ngram=ngram_on)
    assert probs[0] == pytest.approx(wm.next_word_distribution(model, "the", ngram=ngram_on)["boat"], rel=1e-12)
    assert probs[1] is None and probs[3] == pytest.approx(
        wm.next_word_distribution(model, "the boat zebra the", ngram=ngram_on)["gull"], rel=1e-12)


def grammar_text(words, seed):
    """A text with structure a word-frequency table cannot see."""
    rnd = random.Random(seed)
    subjects, verbs, objects = ["the cat", "a dog", "the old man", "my friend"], ["sees", "likes", "finds"], [
        "the ball", "a red fish", "the green tree", "some bread"]
    out = []
    while len(out) < words:
        out += f"{rnd.choice(subjects)} {rnd.choice(verbs)} {rnd.choice(objects)} .".split()
    return " ".join(out)


def test_the_trained_model_beats_the_word_frequency_table():
    text, test = grammar_text(900, 1), wm.tokenize(grammar_text(200, 2))
    model = wm.new_model_for(text, embed=12, neurons=16)
    result = wm.train(model, text)
    assert result.learned and result.rnn_perplexity < 0.8 * result.unigram_perplexity
    counts = wm.word_counts(text)
    unigram = -math.fsum(math.log(counts[w] / sum(counts.values())) for w in test[1:]) / (len(test) - 1)
    for mixed in (False, True):
        ev = wm.evaluate(model, " ".join(test), ngram=mixed)
        assert ev.skipped == 0 and ev.cross_entropy < unigram - math.log(1 / 0.8)


def test_concurrent_saves_leave_one_complete_model(tmp_path):
    models = [trained(1), trained(2)]
    errors = []

    def saver(m):
        try:
            for _ in range(4):
                wm.save(m, tmp_path / "m")
        except Exception as exc:  # pragma: no cover - the failure reported below
            errors.append(exc)

    threads = [threading.Thread(target=saver, args=(m,)) for m in models]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == [] and os.listdir(tmp_path) == ["m"]
    assert state(wm.load(tmp_path / "m")) in [state(m) for m in models]


def test_save_follows_a_symbolic_link(tmp_path):
    (tmp_path / "real").mkdir()
    (tmp_path / "link").symlink_to(tmp_path / "real")
    wm.save(trained(1), tmp_path / "link")
    assert (tmp_path / "link").is_symlink() and state(wm.load(tmp_path / "real")) == state(trained(1))


def test_info_counts_parameters(tmp_path):
    model = trained(2)
    i = wm.info(model)
    V, E, N = model.vocabL, 6, 5
    assert (i.vocabulary, i.parameters, i.epochs) == (V, V * E + N * E + N * N + N + V * N + V, 2)
    assert i.last_loss == model.history[-1]["loss"] and i.bytes_on_disk is None
    wm.save(model, tmp_path / "m")
    assert wm.info(tmp_path / "m").bytes_on_disk == sum(f.stat().st_size for f in (tmp_path / "m").iterdir())


@pytest.mark.parametrize("module", [wm, ngram])
def test_docstring_examples(module):
    assert doctest.testmod(module).failed == 0


def test_a_failed_swap_puts_the_old_model_back(tmp_path, monkeypatch):
    old = trained(1)
    wm.save(old, tmp_path / "m")
    real, calls = os.replace, []

    def replace(src, dst):
        calls.append(dst)
        if len(calls) == 2:  # the new directory taking the old one's place
            raise OSError(5, "Input/output error")
        real(src, dst)

    monkeypatch.setattr(_wm_store.os, "replace", replace)
    with pytest.raises(OSError):
        wm.save(trained(2), tmp_path / "m")
    monkeypatch.undo()
    assert sorted(os.listdir(tmp_path)) == ["m"] and state(wm.load(tmp_path / "m")) == state(old)


def test_progress_is_one_line_per_epoch_and_says_what_was_skipped(monkeypatch):
    wall_at(monkeypatch, {PAIRS + 3})
    out = io.StringIO()
    wm.train(fresh(), TEXT, 2, progress=True, stream=out)
    lines = out.getvalue().splitlines()
    assert len(lines) == 2 and lines[0].startswith("epoch 1/2: train ") and "perplexity" in lines[0]
    assert "1 skipped at the numeric wall" in lines[1]


@pytest.mark.parametrize("order", [2, 3])
@pytest.mark.parametrize("context", [[], ["the"], ["the", "boat"], ["zebra", "the"], ["boat", "zebra"]])
def test_ngram_probabilities_sum_to_one_and_survive_storage(order, context):
    streams = [wm.tokenize(TEXT), wm.tokenize("the sea came back .")]
    ng = ngram.NGram(streams, order, extra_words=["gull"])
    dist = ng.distribution(context)
    assert set(dist) == set(wm.word_counts(TEXT + " the sea came back .")) | {"gull"}
    assert abs(math.fsum(dist.values()) - 1) < 1e-12 and min(dist.values()) > 0
    assert all(ng.prob(context, w) == pytest.approx(p, rel=1e-12) for w, p in dist.items())
    back = ngram.NGram.from_json(json.loads(json.dumps(ng.to_json())))
    assert back.distribution(context) == dist and ng.prob(context, "zebra") == 0.0


@pytest.mark.parametrize("data", [
    {"order": 4, "discount": 0.75, "words": [], "unigrams": [], "bigrams": [], "trigrams": []},
    {"order": 2, "discount": 1, "words": [], "unigrams": [], "bigrams": [], "trigrams": []},
    {"order": 2, "discount": 0.75, "words": ["a"], "unigrams": [["b", 1]], "bigrams": [], "trigrams": []},
    {"order": 2, "discount": 0.75, "words": ["a"], "unigrams": [["a", 0]], "bigrams": [], "trigrams": []},
    {"order": 2, "discount": 0.75, "words": ["a"], "unigrams": [["a", 1]], "bigrams": [["a", 1]], "trigrams": []},
    [],
])
def test_ngram_table_rejects_what_it_did_not_write(data):
    with pytest.raises(ValueError):
        ngram.NGram.from_json(data)


def test_resumed_training_reads_new_words_as_the_rare_entry():
    model = wm.new_model_for(TEXT, **SIZES)
    wm.train(model, TEXT, 1)
    result = wm.train(model, "the whale went out to sea .", 1)
    assert result.epochs[0].steps == 6 and wm.unknown_words(model, "the whale") == []
    ev = wm.evaluate(model, "the whale saw a gull")
    assert ev.scored == 1 and ev.skipped == pytest.approx(0.75)


def test_the_examples_of_the_public_face_run():
    # the layer lives in private modules; its public names, presented as ORVEX.wordmodel's
    # own, keep their examples (which use each other's names) working from there
    import doctest

    assert all(getattr(wm, n).__module__ == "ORVEX.wordmodel" for n in wm.__all__ if callable(getattr(wm, n)))
    failed, tried = doctest.testmod(wm, optionflags=doctest.ELLIPSIS)
    assert failed == 0 and tried >= 25
