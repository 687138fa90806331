import json
import math
import os
import subprocess
import sys
import threading

import pytest

from ORVEX import _wm_score, _wm_train, tensilo, wordmodel as wm
from ORVEX.__main__ import main
from probe import child_env

TEXT = "the boat went out to sea. the boat came back to the harbour. the fisher sang!"
SMALL = ["--embed", "5", "--neurons", "4", "--epochs", "2"]


def run(args):
    """main() as the console script runs it: argparse's own errors end in SystemExit."""
    try:
        return main(args)
    except SystemExit as exc:
        return exc.code


def orvex(*args, cwd=None):
    """`python -m ORVEX ...` in a child process (stdout not a terminal)."""
    return subprocess.run([sys.executable, "-m", "ORVEX", *args], capture_output=True, text=True,
                          cwd=cwd, env=child_env(), timeout=120)


@pytest.fixture
def text(tmp_path):
    path = tmp_path / "text.txt"
    path.write_text(TEXT, encoding="utf-8")
    return str(path)


def test_train_generate_info_in_a_subprocess(tmp_path, text):
    r = orvex("train", text, "--model", "m", *SMALL, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    # Not a terminal: one plain line per epoch instead of a bar.
    assert "epoch 1/2: train" in r.stderr and "epoch 2/2: train" in r.stderr and "\r" not in r.stderr
    assert r.stdout == "" and r.stderr.count("\n") == 4  # sizes, two epochs, saved
    g = orvex("generate", "--model", "m", "--prompt", "The boat", "--words", "5", "--seed", "4", cwd=tmp_path)
    assert g.returncode == 0 and g.stderr == ""
    assert g.stdout.startswith("the boat ") and len(wm.tokenize(g.stdout)) == 7
    again = orvex("generate", "--model", "m", "--prompt", "The boat", "--words", "5", "--seed", "4", cwd=tmp_path)
    assert again.stdout == g.stdout
    i = orvex("info", "--model", "m", cwd=tmp_path)
    assert i.returncode == 0 and "13 words" in i.stdout and "2 epoch(s)" in i.stdout
    e = orvex("evaluate", "--model", "m", text, cwd=tmp_path)
    assert e.returncode == 0 and "perplexity" in e.stdout and "0.0% skipped" in e.stdout


@pytest.mark.parametrize("files, extra, message", [
    ({}, [], "missing.txt: no such file"),
    ({"t.txt": ""}, [], "t.txt: the text has no words"),
    ({"t.txt": " -- () "}, [], "t.txt: the text has no words"),
    ({"t.txt": "Hello"}, [], "a single word"),
    ({"t.txt": b"\xff\xfe bad"}, [], "not UTF-8"),
    ({"t.txt": TEXT}, ["--neurons", "0"], "must be at least 1"),
    ({"t.txt": TEXT}, ["--lr", "-1"], "must be a positive number"),
    ({"t.txt": TEXT}, ["--resume"], "no such model directory"),
    ({"t.txt": TEXT, "m/notes.txt": "mine"}, [], "exists and is not a model directory"),
    ({"t.txt": TEXT, "m/notes.txt": "mine"}, ["--overwrite"], "exists and is not a model directory"),
    ({"t.txt": TEXT}, ["--model", "{tmp}/no/m"], "no such directory to put the model in"),
])
def test_train_bad_input(tmp_path, capsys, files, extra, message):
    for name, data in files.items():
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(data if isinstance(data, bytes) else data.encode())
    texts = [str(tmp_path / n) for n in files if n.endswith(".txt") and "/" not in n] or [str(tmp_path / "missing.txt")]
    before = sorted(os.listdir(tmp_path))
    status = run(["train", *texts, "--model", str(tmp_path / "m"), *[a.format(tmp=tmp_path) for a in extra]])
    out, err = capsys.readouterr()
    assert status == 2 and message in err and err.count("\n") == 1 and err.startswith("orvex") and "Traceback" not in err
    assert sorted(os.listdir(tmp_path)) == before  # no model, no temporary directory


def trained_dir(tmp_path, text, epochs="2"):
    assert main(["train", text, "--model", str(tmp_path / "m"), "--embed", "5", "--neurons", "4",
                 "--epochs", epochs, "--quiet"]) == 0
    return str(tmp_path / "m")


@pytest.mark.parametrize("args, message", [
    (["generate", "--model", "{m}", "--prompt", "the", "--temperature", "0"], "must be a positive number"),
    (["generate", "--model", "{m}", "--prompt", "the", "--top-p", "2"], "must be above 0 and at most 1"),
    (["generate", "--model", "{m}", "--prompt", "()"], "the prompt has no words"),
    (["generate", "--model", "{m}", "--prompt", "the", "--words", "x"], "'x' is not a whole number"),
    (["generate", "--model", "{m}/../nowhere", "--prompt", "the"], "no such model directory"),
    (["info", "--model", "{m}", "--corrupt"], "cannot read the model: SyntaxError"),
    (["info", "--model", "{m}", "--short"], "sizes do not match"),
    (["train", "{text}", "--model", "{m}"], "already holds a model; use --resume"),
    (["train", "{text}", "--model", "{m}", "--resume", "--neurons", "7"], "--neurons 7 does not match"),
    (["train", "{text}", "--model", "{m}", "--holdout", "1"], "must be a share"),
    (["info", "--model", "{m}", "--history", '{"epochs": [{"loss": "x"}]}'], "history.json: unreadable"),
    (["info", "--model", "{m}", "--history", "[" * 100_000], "history.json: unreadable"),
    (["generate", "--model", "{m}", "--prompt", "the", "--history", '{"lr": "x"}'], "learning rate"),
    (["info", "--model", "{m}", "--bo", "1e999"], "bo.mem: expected"),
    (["train", "{text}", "--model", "{m}", "--resume", "--bo", "1" + "0" * 400], "bo.mem: expected"),
    (["train", "{text}", "--model", "{tmp}/big", "--embed", "100000000000"], "too large"),
])
def test_model_bad_input(tmp_path, text, capsys, args, message):
    m = trained_dir(tmp_path, text)
    other = tmp_path / "other.txt"
    other.write_text("a zebra walked")
    if "--corrupt" in args:
        args.remove("--corrupt")
        (tmp_path / "m" / "who.mem").write_text("a = [[0.5, ")
    if "--short" in args:
        args.remove("--short")
        (tmp_path / "m" / "bo.mem").write_text("a = [0.5]\nf=0")
    for flag, name in (("--history", wm.HISTORY_FILE), ("--bo", "bo.mem")):
        if flag in args:
            at = args.index(flag)
            data = args[at + 1]
            if name == "bo.mem":
                data = "a = [%s]\nf=0" % ", ".join([data] * len(wm.load(m).bo))
            (tmp_path / "m" / name).write_text(data)
            del args[at:at + 2]
    snapshot = {n: (tmp_path / "m" / n).read_bytes() for n in os.listdir(tmp_path / "m")}
    capsys.readouterr()
    status = run([a.format(m=m, text=text, other=other, tmp=tmp_path) for a in args])
    out, err = capsys.readouterr()
    assert status == 2 and message in err and err.count("\n") == 1 and "Traceback" not in err
    assert {n: (tmp_path / "m" / n).read_bytes() for n in os.listdir(tmp_path / "m")} == snapshot


def test_resume_continues_where_it_stopped(tmp_path, text, monkeypatch):
    (tmp_path / "a").mkdir()
    straight = wm.load(trained_dir(tmp_path / "a", text, "4"))
    m = trained_dir(tmp_path, text, "2")
    assert main(["train", text, "--model", m, "--resume", "--epochs", "2", "--quiet"]) == 0
    resumed = wm.load(m)
    assert [h["epoch"] for h in resumed.history] == [1, 2, 3, 4]
    assert resumed.who == straight.who and resumed.history == [
        dict(h, seconds=r["seconds"]) for h, r in zip(straight.history, resumed.history)]


@pytest.mark.parametrize("interrupt_at, saved", [(3, False), (80, True)])
def test_ctrl_c_saves_the_last_complete_epoch_or_nothing(tmp_path, text, capsys, monkeypatch, interrupt_at, saved):
    real, calls = tensilo.activate_step, []

    def step(obj, a, b):
        calls.append(1)
        if len(calls) == interrupt_at:
            raise KeyboardInterrupt
        real(obj, a, b)

    monkeypatch.setattr(tensilo, "activate_step", step)
    monkeypatch.setattr(_wm_score, "_kernel", None)
    status = main(["train", text, "--model", str(tmp_path / "m"), *SMALL[:4], "--epochs", "5", "--quiet"])
    err = capsys.readouterr().err
    assert status == 130
    if saved:
        saved = wm.load(tmp_path / "m")
        assert "saved the best complete epoch (" in err and len(saved.history) == 4
        best = [h for h in saved.history if h["epoch"] == saved.trained["best"]][0]
        assert saved.lr == best["lr"] * wm.LR_GROWTH  # the rate the next epoch would run with
    else:
        assert "nothing saved" in err and not (tmp_path / "m").exists()


def test_a_real_ctrl_c_in_a_subprocess(tmp_path, text):
    import signal

    with subprocess.Popen([sys.executable, "-m", "ORVEX", "train", text, "--model", "m", *SMALL[:4],
                           "--epochs", "1000000", "--lr", "0.001", "--patience", "1000000"],
                          cwd=tmp_path, env=child_env(), stderr=subprocess.PIPE, text=True) as proc:
        try:
            for line in proc.stderr:
                if line.startswith("epoch 3/"):
                    break
            proc.send_signal(signal.SIGINT)
            err = proc.stderr.read()
            assert proc.wait(timeout=60) == 130
        finally:
            proc.kill()
    assert "interrupted; saved the best complete epoch" in err and "Traceback" not in err
    saved = wm.load(tmp_path / "m")
    assert len(saved.history) >= 3 and [h["epoch"] for h in saved.history] == list(range(1, len(saved.history) + 1))


def broken_model(tmp_path, text):
    """`--resume --lr 1e300` on a good model: every epoch breaks it and is rolled back."""
    m = trained_dir(tmp_path, text)
    return ["train", text, "--model", m, "--resume", "--lr", "1e300", "--epochs", "3", "--quiet"]


@pytest.mark.parametrize("make_args, statuses", [
    # a symbolic link to a directory is that directory
    (lambda tmp, text: (os.mkdir(tmp / "real"), os.symlink(tmp / "real", tmp / "link"),
                        ["train", text, "--model", str(tmp / "link"), *SMALL, "--quiet"])[-1], {0}),
    # a learning rate that breaks the model: rolled back and halved, never a NaN model
    (lambda tmp, text: ["train", text, "--model", str(tmp / "m"), *SMALL[:4], "--lr", "10", "--quiet"], {0, 1}),
    (broken_model, {0, 1}),
    (lambda tmp, text: ["--version"], {0}),
])
def test_faults_give_the_sound_result(tmp_path, text, capsys, make_args, statuses):
    args = make_args(tmp_path, text)
    before = {n: (tmp_path / "m" / n).read_bytes() for n in os.listdir(tmp_path / "m")} if (tmp_path / "m").exists() else None
    status = run(args)
    out, err = capsys.readouterr()
    assert status in statuses and "Traceback" not in err and err.count("\n") <= 1
    if args == ["--version"]:
        assert out.startswith("orvex ") and out.count("\n") == 1
        return
    where = args[args.index("--model") + 1]
    if status == 0:
        model = wm.load(where)
        assert all(map(math.isfinite, model.bo)) and wm.generate(model, "the", 3, seed=1)
    else:
        assert "nothing saved" in err
        if before is not None:
            assert {n: (tmp_path / "m" / n).read_bytes() for n in os.listdir(tmp_path / "m")} == before


def test_concurrent_trainings_into_one_directory_leave_one_model(tmp_path, text):
    procs = [subprocess.Popen([sys.executable, "-m", "ORVEX", "train", text, "--model", "m", *SMALL,
                               "--overwrite", "--quiet", "--seed", str(seed)], cwd=tmp_path, env=child_env(),
                              stderr=subprocess.PIPE, text=True) for seed in (1, 2, 3)]
    errs = [p.communicate(timeout=120)[1] for p in procs]
    assert [p.returncode for p in procs] == [0, 0, 0] and errs == ["", "", ""]
    assert sorted(os.listdir(tmp_path)) == ["m", "text.txt"] and wm.load(tmp_path / "m").history


def test_a_closed_stdout_stops_nothing(tmp_path, text):
    for args in (["train", text, "--model", "m", *SMALL], ["generate", "--model", "m", "--prompt", "the"]):
        with subprocess.Popen([sys.executable, "-m", "ORVEX", *args], cwd=tmp_path, env=child_env(),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as proc:
            proc.stdout.close()
            err = proc.stderr.read()
            assert proc.wait(timeout=120) == 0 and "Traceback" not in err and "Error" not in err
    assert wm.load(tmp_path / "m").history
