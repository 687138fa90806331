"""ORVEX._kernel: run_pairs against the loop over activate_step, bit for bit (after it
returns and after any exception), and forward against the step's own forward pass."""
import copy
import os
import random

import pytest

from test_tensilo import make_model, snapshot
from probe import probe_outcome
from ORVEX import _kernel, tensilo

TESTS = os.path.dirname(os.path.abspath(__file__))


def loop(m, pairs):
    """The loop run_pairs stands for: the exception it ends with, if any."""
    try:
        for a, t in pairs:
            tensilo.activate_step(m, a, t)
    except Exception as e:  # noqa: BLE001 (compared by type and text)
        return type(e), str(e)
    return None


def run(m, pairs):
    try:
        _kernel.run_pairs(m, pairs)
    except Exception as e:  # noqa: BLE001
        return type(e), str(e)
    return None


@pytest.mark.parametrize("sizes,seed,zeros,change", [
    ((5, 4, 3), 1, True, ""),
    ((13, 11, 3), 12, False, ""),                                  # sizes past whole groups of lanes
    ((30, 16, 8), 2, False, ""),
    ((40, 7, 5), 3, True, "pairs[150] = (99, 0)"),                  # a failing pair in the middle
    ((12, 6, 2), 4, False, "pairs[100] = (1, 2.0)"),               # a pair activate_step converts
    ((12, 6, 2), 5, False, "pairs[50] = [1, 2, 3]"),               # a pair that does not unpack
    ((20, 5, 4), 6, False, "m.who[3][1] = Fraction(1, 3)"),        # not plain: pair by pair
    ((20, 5, 4), 7, False, "m.bias = m.ht"),                       # aliased lists
    ((20, 5, 4), 8, False, "m.embedings[2] = m.embedings[5]"),     # two rows, one list
    ((20, 5, 4), 9, False, "m.reply = m.dictionary"),
    ((20, 5, 4), 10, True, "pairs = iter(pairs)"),
    ((9, 3, 4), 11, False, "tensilo.ReLu = lambda x: 2 * x"),      # rebound: through activate_step
])
def test_run_pairs_is_the_loop(sizes, seed, zeros, change, monkeypatch):
    from fractions import Fraction
    V = sizes[0]
    m = make_model(*sizes, seed, zeros=zeros, lr=0.01, scale=0.5)
    rnd = random.Random(seed)
    pairs = [(rnd.randrange(-V, V), rnd.randrange(V)) for _ in range(300)]
    monkeypatch.setattr(tensilo, "ReLu", tensilo.ReLu)
    ns = dict(m=m, pairs=pairs, tensilo=tensilo, Fraction=Fraction)
    exec(change, ns)
    a, b = copy.deepcopy((ns["m"], ns["pairs"])), copy.deepcopy((ns["m"], ns["pairs"]))
    assert run(*b) == loop(*a)
    assert snapshot(b[0]) == snapshot(a[0])


def test_forward_is_the_steps_forward_pass():
    m = make_model(9, 6, 4, 12, zeros=False)
    for a, t in ((1, 2), (3, 4), (-1, 0)):
        h = list(m.ht)
        ref = copy.deepcopy(m)
        tensilo.activate_step(ref, a, t)
        before = snapshot(m)
        h_new, scores = _kernel.forward(m, a, h)
        assert snapshot(m) == before and h_new == ref.ht and len(scores) == 9
        assert ref.nexttoken == max(range(9), key=lambda v: (scores[v], -v))
        tensilo.activate_step(m, a, t)


@pytest.mark.parametrize("change,text", [
    ("m.who[2] = tuple(m.who[2])", "not plain"),
    ("m.who[0][0] = 'x'", "not plain"),
    ("h = h[:-1]", "h must be a list of 6 floats"),
    ("tensilo.ReLu = lambda x: (m.who.clear(), x)[1]", "not plain"),  # checked again after the call
])
def test_forward_refuses_what_is_not_plain(change, text, monkeypatch):
    m = make_model(9, 6, 4, 13, zeros=False)
    monkeypatch.setattr(tensilo, "ReLu", tensilo.ReLu)
    m.bias = [4.0] * 6  # positive pre-activations: ReLu is called
    ns = dict(m=m, h=list(m.ht), tensilo=tensilo)
    exec(change, ns)
    with pytest.raises(TypeError, match=text):
        _kernel.forward(m, 1, ns["h"])


def test_ctrl_c_stops_run_pairs_between_pairs():
    # SIGALRM raises KeyboardInterrupt at varying moments: the model is then what the loop
    # leaves after some number of whole pairs.
    code = """
import copy, random, signal, sys
sys.path.insert(0, %r)
from test_tensilo import make_model, snapshot
from ORVEX import _kernel, tensilo
base = make_model(500, 40, 16, 3, zeros=False, scale=0.3)
# Seeded (no pair meets the numeric wall) and far longer than any timer below, so every run
# is interrupted, however fast or busy the machine.
rnd = random.Random(7)
pairs = [(rnd.randrange(500), rnd.randrange(500)) for _ in range(200_000)]
def stop(*a): raise KeyboardInterrupt
signal.signal(signal.SIGALRM, stop)
bad = stopped = 0
for i in range(6):
    m = copy.deepcopy(base)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.01 * (i + 1))
        _kernel.run_pairs(m, pairs)
        signal.setitimer(signal.ITIMER_REAL, 0)
    except KeyboardInterrupt:
        stopped += 1
    ref = copy.deepcopy(base)
    for a, t in pairs[:len(m.reply)]:
        tensilo.activate_step(ref, a, t)
    bad += snapshot(ref) != snapshot(m)
print(stopped == 6, bad)
""" % TESTS
    assert probe_outcome(code) == "True 0"
