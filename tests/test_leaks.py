"""No leaks: each public entry point, on success and on error paths, called a few thousand
times after a warm-up, must not grow the memory tracemalloc sees beyond a small bound.

The calls are made in WINDOWS windows of CALLS calls; a leak grows the memory in every
window, while the interpreter's own bounded caches (file and path machinery, for one)
grow in some and shrink in others, so the smallest growth of a window is compared with
BOUND: 16 bytes a call, less than the smallest object (an int or a float takes 24-32
bytes), so one leaked object per call is caught.
"""
import gc
import tracemalloc

import pytest

from ORVEX import lystra, multix, numerix, planix, spatix, synaptra, tintra

CALLS = 1500
WINDOWS = 3
WARMUP = 50
BOUND = 16 * CALLS


class Boom(Exception):
    pass


class BadFloat:
    def __float__(self):
        raise Boom


def boom(*args):
    raise Boom


def raises(exc, f, *args, **kw):
    """A call that must raise `exc` (an error path); anything else fails the test."""
    def call():
        try:
            f(*args, **kw)
        except exc:
            return
        raise AssertionError(f"{f!r} did not raise {exc.__name__}")
    return call


def ok(f, *args, **kw):
    return lambda: f(*args, **kw)


V2 = planix.planix(1.0, 2.0)
V3 = spatix.spatix(1.0, 2, 3.5)
VN = multix.multiX(1.0, 2, 3.5)
GEN = numerix.random(5, -1.0, 1.0)

NUMERIX = {
    # success paths, double and object paths
    "pi": ok(numerix.pi),
    "sqrt": ok(numerix.sqrt, 2.0),
    "sqrt int": ok(numerix.sqrt, 7),
    "nrt": ok(numerix.nrt, -8.0, 3.0),
    "asin/acos/atan": lambda: (numerix.asin(0.5), numerix.acos(0.5), numerix.atan(3.0), numerix.atan2(1.0, -2.0)),
    "degrees": lambda: (numerix.asindeg(0.5), numerix.acosdeg(0.5), numerix.deg(1.0)),
    "sin/cos/tan": lambda: (numerix.sin(1.0, 2.0), numerix.cos(1.0, 2.0), numerix.tan(1.0, 2.0)),
    "factorial": ok(numerix.factorial, 30),
    "exp": ok(numerix.exp, 1.5),
    "exp object path": ok(numerix.exp, True, 15),
    "log": ok(numerix.log, 1.5),
    "log object path": ok(numerix.log, 3.0, 5),
    "hyperbolic": lambda: [f(0.7) for f in (numerix.sinh, numerix.cosh, numerix.tanh, numerix.coth,
                                            numerix.sech, numerix.csch, numerix.arsinh)],
    "activations": lambda: [f(-0.7) for f in (numerix.maximum, numerix.sigmoid, numerix.ReLu, numerix.ELU,
                                              numerix.LeakyReLu, numerix.softplus)],
    "Epsilon": ok(numerix.Epsilon),
    "FixSoftmax": ok(numerix.FixSoftmax, [1.0, 2.0, 0.5]),
    "FixSoftmax object path": ok(numerix.FixSoftmax, [1, True, 2.5]),
    "Argmax": ok(numerix.Argmax, [1.0, 7, 3.5]),
    "Argmax object path": ok(numerix.Argmax, [1, True, 2.5]),
    "sin_rad/cos_rad/tan_rad": lambda: (numerix.sin_rad(0.5), numerix.cos_rad(0.5, 4), numerix.tan_rad(0.5)),
    "random": ok(numerix.random, 3, 0.0, 1.0),
    "random draw": ok(GEN),
    # error paths
    "bad argument type": raises(TypeError, numerix.sin_rad, 1.0, "x"),
    "too many arguments": raises(TypeError, numerix.exp, 1.0, 2, 3),
    "unexpected keyword": raises(TypeError, numerix.exp, 1.0, nope=2),
    "missing argument": raises(TypeError, numerix.nrt, base=1.0),
    "__float__ raises": raises(Boom, numerix.sinh, BadFloat()),
    "list subclass": raises(TypeError, numerix.Argmax, type("L", (list,), {})([1.0])),
    "log domain": raises(ValueError, numerix.log, -1.0),
    "zero division": raises(ZeroDivisionError, numerix.sin, 1.0, 0.0),
    "FixSoftmax of non-numbers": raises(TypeError, numerix.FixSoftmax, [1.0, "a"]),
    "Argmax of empty": raises(ValueError, numerix.Argmax, []),
    "random seed type": raises(TypeError, numerix.random, "s", 0.0, 1.0),
}

VECTORS = {
    "planix": lambda: (V2 + V2, V2 - V2, V2 * 2.5, V2 * V2, V2 ** V2, V2.length(), V2.unit(), V2.across(),
                       V2.angle()),
    "spatix": lambda: (V3 + V3, V3 - V3, V3 * 2, V3 ** V3, V3 // V3, V3 / 2.0, V3.length(), V3.unit(),
                       V3.angles()),
    "multiX": lambda: (VN + VN, VN - VN, VN * 2.5, VN + multix.multiX(1)),
    "Color3": lambda: tintra.Color3(spatix.spatix(255, 16, 0)).to_hex(),
    "planix bad component": raises(TypeError, planix.planix, "a", 1.0),
    "planix operand without components": raises(AttributeError, lambda: V2 + 1),
    "spatix operand without components": raises(AttributeError, lambda: V3 + "x"),
    "spatix component arithmetic fails": raises(TypeError, lambda: V3 + spatix.spatix(BadFloat(), 0, 0)),
    "multiX operand raises": raises(TypeError, lambda: VN + multix.multiX(1.0, None, 2)),
}


@pytest.fixture
def model_dir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    lystra.write(["a", "b", "c"], "dict.txt")
    return tmp_path


def synaptra_cases():
    net = synaptra.RNN_HYBRID(1.0, 2.0, 3)
    lm = synaptra.RNNLM_HYBRID(3, "dict.txt", 3, neurons=3)
    lm.warmup("a b c")
    return {
        "hybrid family": lambda: (synaptra.hybrid(-1.0), synaptra.hybrid_prime(2), synaptra.cz(1.0, 2.0, 3.0)),
        "RNN_HYBRID": ok(synaptra.RNN_HYBRID, 1.0, 2.0, 3),
        "RNN_HYBRID layer": ok(net.layer),
        "RNN_HYBRID neurons type": raises(TypeError, synaptra.RNN_HYBRID, 1.0, 2.0, "x"),
        "RNNLM_HYBRID": ok(synaptra.RNNLM_HYBRID, 3, "dict.txt", 3, neurons=3),
        "RNNLM_HYBRID missing vocabulary": raises(OSError, synaptra.RNNLM_HYBRID, 3, "nope.txt", 2, neurons=2),
        "RNNLM_HYBRID double warmup": raises(Exception, lm.warmup, "a b"),
        "RNNLM_HYBRID run": lambda: (lm.run(1, "a", "b"), lm.reply.clear()),  # (each step appends)
        "RNNLM_HYBRID unknown word": raises(ValueError, lm.run, 1, "a", "zzz"),
        "lystra write/read": lambda: lystra.read(lystra.write([1, [2.5, "x"]], "l.txt") or "l.txt"),
    }


def growth(call):
    for _ in range(WARMUP):
        call()
    gc.collect()
    growths = []
    for _ in range(WINDOWS):
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(CALLS):
            call()
        gc.collect()
        growths.append(tracemalloc.get_traced_memory()[0] - before)
    return min(growths)


@pytest.fixture
def traced():
    tracemalloc.start()
    try:
        yield
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("name", list(NUMERIX) + list(VECTORS))
def test_no_leak(name, traced):
    call = NUMERIX.get(name) or VECTORS[name]
    assert growth(call) < BOUND


MODEL_CASES = ["hybrid family", "RNN_HYBRID", "RNN_HYBRID layer", "RNN_HYBRID neurons type", "RNNLM_HYBRID",
               "RNNLM_HYBRID missing vocabulary", "RNNLM_HYBRID double warmup", "RNNLM_HYBRID run",
               "RNNLM_HYBRID unknown word", "lystra write/read"]


@pytest.mark.parametrize("name", MODEL_CASES)
def test_no_leak_in_models(name, model_dir, traced, capsys):
    call = synaptra_cases()[name]
    assert growth(call) < BOUND
