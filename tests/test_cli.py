import os
import subprocess
import sys

import pytest

from ORVEX import tensilo, wordmodel as wm
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
    assert "epoch 1/2: loss" in r.stderr and "epoch 2/2: loss" in r.stderr and "\r" not in r.stderr
    g = orvex("generate", "--model", "m", "--prompt", "The boat", "--words", "5", cwd=tmp_path)
    assert g.returncode == 0 and g.stderr == ""
    assert g.stdout.startswith("the boat ") and len(wm.tokenize(g.stdout)) == 7
    assert orvex("generate", "--model", "m", "--prompt", "The boat", "--words", "5", cwd=tmp_path).stdout == g.stdout
    i = orvex("info", "--model", "m", cwd=tmp_path)
    assert i.returncode == 0 and "13 words" in i.stdout and "2 epoch(s)" in i.stdout


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
    (["generate", "--model", "{m}", "--prompt", "the zebra"], "does not know the word(s) 'zebra'"),
    (["generate", "--model", "{m}", "--prompt", "()"], "the prompt has no words"),
    (["generate", "--model", "{m}", "--prompt", "the", "--words", "x"], "'x' is not a whole number"),
    (["generate", "--model", "{m}/../nowhere", "--prompt", "the"], "no such model directory"),
    (["info", "--model", "{m}", "--corrupt"], "cannot read the model: SyntaxError"),
    (["info", "--model", "{m}", "--short"], "sizes do not match"),
    (["train", "{text}", "--model", "{m}"], "already holds a model; use --resume"),
    (["train", "{text}", "--model", "{m}", "--resume", "--neurons", "7"], "--neurons 7 does not match"),
    (["train", "{other}", "--model", "{m}", "--resume"], "does not know"),
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
    snapshot = {n: (tmp_path / "m" / n).read_bytes() for n in os.listdir(tmp_path / "m")}
    capsys.readouterr()
    status = run([a.format(m=m, text=text, other=other) for a in args])
    out, err = capsys.readouterr()
    assert status == 2 and message in err and err.count("\n") == 1 and "Traceback" not in err
    assert {n: (tmp_path / "m" / n).read_bytes() for n in os.listdir(tmp_path / "m")} == snapshot


def test_resume_continues_where_it_stopped(tmp_path, text):
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
    status = main(["train", text, "--model", str(tmp_path / "m"), *SMALL[:4], "--epochs", "5", "--quiet"])
    err = capsys.readouterr().err
    assert status == 130
    if saved:
        assert "saved the last complete epoch (4)" in err
        assert len(wm.load(tmp_path / "m").history) == 4
    else:
        assert "nothing saved" in err and not (tmp_path / "m").exists()


def test_a_real_ctrl_c_in_a_subprocess(tmp_path, text):
    import signal

    with subprocess.Popen([sys.executable, "-m", "ORVEX", "train", text, "--model", "m", *SMALL[:4],
                           "--epochs", "1000000", "--lr", "0.001"],
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
    assert "interrupted; saved the last complete epoch" in err and "Traceback" not in err
    saved = wm.load(tmp_path / "m")
    assert len(saved.history) >= 3 and [h["epoch"] for h in saved.history] == list(range(1, len(saved.history) + 1))
