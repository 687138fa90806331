import doctest
import io
import json
import os

import pytest

from ORVEX import lystra, tensilo, wordmodel as wm
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
    before = wm.generate(model, "the boat", 6)
    wm.save(model, tmp_path / "m")
    assert sorted(os.listdir(tmp_path / "m")) == sorted(wm.MODEL_FILES + (wm.HISTORY_FILE,))
    back = wm.load(tmp_path / "m")
    assert state(back) == state(model)
    assert wm.generate(back, "the boat", 6) == before
    assert back.lr == model.lr and back.history == model.history
    # The model class reads the directory on its own as well.
    plain = RNNLM_HYBRID(1, "", 6, str(tmp_path / "m"), neurons=5)
    assert state(plain) == state(model)


def test_load_prints_nothing_and_generate_changes_nothing(tmp_path, capsys):
    model = trained(2)
    wm.save(model, tmp_path / "m")
    capsys.readouterr()
    back = wm.load(tmp_path / "m")
    snap = wm._snapshot(back)
    first = wm.generate(back, "the fisher", 5)
    assert wm.generate(back, "the fisher", 5) == first
    assert wm._snapshot(back) == snap and not hasattr(back, "reply")
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


def test_resume_continues_where_it_stopped(tmp_path):
    straight = trained(4)
    half = trained(2)
    wm.save(half, tmp_path / "m")
    again = wm.load(tmp_path / "m")
    result = wm.train(again, TEXT, 2)
    assert [r.epoch for r in result.epochs] == [3, 4]
    assert state(again) == state(straight)
    assert [h["loss"] for h in again.history] == [h["loss"] for h in straight.history]


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


@pytest.mark.parametrize("on_wall, fails, epochs, lr, walls", [
    # stop: back to the end of epoch 1, which is all that is kept
    ("stop", {PAIRS + 3}, 1, 0.05, [0]),
    # skip: the pair is skipped, the rate halved, the epoch goes on
    ("skip", {PAIRS + 3}, 3, 0.025, [0, 1, 0]),
    # retry: epoch 2 restarts with half the rate; a second failure of the same pair skips it
    ("retry", {PAIRS + 3}, 3, 0.025, [0, 0, 0]),
    ("retry", {PAIRS + 3, PAIRS + 3 + 3}, 3, 0.025, [0, 1, 0]),
])
def test_numeric_wall_schedules(monkeypatch, on_wall, fails, epochs, lr, walls):
    wall_at(monkeypatch, fails)
    model = fresh()
    result = wm.train(model, TEXT, 3, on_wall=on_wall)
    assert len(result.epochs) == epochs and model.lr == lr
    assert [r.walls for r in result.epochs] == walls
    if on_wall == "stop":
        assert "x must be > 0" in result.stopped and "smaller learning rate" in result.stopped
        monkeypatch.undo()
        assert state(model) == state(trained(1))
    else:
        assert result.stopped is None


def test_retry_gives_up_below_the_smallest_rate(monkeypatch):
    wall_at(monkeypatch, set(range(3, 10_000)))
    model = fresh(lr=wm.MIN_LR * 3)
    result = wm.train(model, TEXT, 2)
    assert result.epochs == [] and "fell below" in result.stopped
    monkeypatch.undo()
    assert state(model) == state(fresh())


def test_ctrl_c_puts_the_model_back_to_its_last_complete_epoch(monkeypatch):
    wall_at(monkeypatch, {PAIRS + 5}, KeyboardInterrupt())
    model = fresh()
    with pytest.raises(wm.TrainingInterrupted) as info:
        wm.train(model, TEXT, 3)
    assert len(info.value.result.epochs) == 1 and len(model.history) == 1
    monkeypatch.undo()
    assert state(model) == state(trained(1))


@pytest.mark.parametrize("fail_at", [0, 4, 8])  # the first, a middle and the history file
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
    (wm.HISTORY_FILE, "{", "history.json: unreadable"),
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
    (lambda m: wm.generate(m, "the zebra"), "zebra"),
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


def test_likeliest_matches_the_kernel():
    model = trained(2)
    scratch = wm._scratch_model(model)
    for a in range(model.vocabL):
        guess = wm._likeliest(scratch, a)
        tensilo.activate_step(scratch, a, guess)
        assert scratch.nexttoken == guess


def test_generate_steps_past_a_target_beyond_the_wall(monkeypatch):
    model = trained(2)
    expected = wm.generate(model, "the boat", 4)
    real = tensilo.activate_step
    failed = []

    def step(obj, a, b):  # the target chosen first is past the wall once
        if not failed:
            failed.append(b)
            raise ValueError("x must be > 0")
        real(obj, a, b)

    monkeypatch.setattr(tensilo, "activate_step", step)
    assert wm.generate(model, "the boat", 4) == expected and failed


def test_info_counts_parameters(tmp_path):
    model = trained(2)
    i = wm.info(model)
    V, E, N = model.vocabL, 6, 5
    assert (i.vocabulary, i.parameters, i.epochs) == (V, V * E + N * E + N * N + N + V * N + V, 2)
    assert i.last_loss == model.history[-1]["loss"] and i.bytes_on_disk is None
    wm.save(model, tmp_path / "m")
    assert wm.info(tmp_path / "m").bytes_on_disk == sum(f.stat().st_size for f in (tmp_path / "m").iterdir())


def test_docstring_examples():
    assert doctest.testmod(wm).failed == 0


def test_a_failed_swap_puts_the_old_model_back(tmp_path, monkeypatch):
    old = trained(1)
    wm.save(old, tmp_path / "m")
    real, calls = os.replace, []

    def replace(src, dst):
        calls.append(dst)
        if len(calls) == 2:  # the new directory taking the old one's place
            raise OSError(5, "Input/output error")
        real(src, dst)

    monkeypatch.setattr(wm.os, "replace", replace)
    with pytest.raises(OSError):
        wm.save(trained(2), tmp_path / "m")
    monkeypatch.undo()
    assert sorted(os.listdir(tmp_path)) == ["m"] and state(wm.load(tmp_path / "m")) == state(old)


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_bar_on_a_terminal_says_when_the_rate_is_halved(monkeypatch):
    wall_at(monkeypatch, {PAIRS + 3})
    out = Terminal()
    wm.train(fresh(), TEXT, 2, progress=True, stream=out)
    text = out.getvalue()
    assert "epoch 2, pair 3: numeric wall" in text and "halved to 0.025" in text
    assert "100%" in text and f"{2 * PAIRS}/{2 * PAIRS}" in text
