"""The runtime's global lookup: a module's functions see the built-ins of their own module
(its globals' __builtins__, else the interpreter's), as a Python function defined there
would, never those of the frame that calls them."""
import builtins

import pytest

from probe import probe_outcome

from ORVEX import numerix, spatix


def first(seq):
    return seq[0]


CALLS = [
    ("Argmax([1.0, 5.0, 3.0])", 1),
    ("Argmax([1, 5, True])", 1),
    ("FixSoftmax([0.0, 0.0])", [0.5, 0.5]),
    ("vars(spatix(1.0, 2.0, 3.0) * 2.0)", {"x": 2.0, "y": 4.0, "z": 6.0}),
]


@pytest.mark.parametrize("expr, expected", CALLS)
def test_callers_builtins_are_not_used(expr, expected):
    g = {"__builtins__": {"max": first, "float": str, "int": str, "vars": vars},
         "Argmax": numerix.Argmax, "FixSoftmax": numerix.FixSoftmax, "spatix": spatix.spatix}
    exec("r = " + expr, g)
    assert g["r"] == expected


def test_module_builtins_are_used_and_forgotten_when_removed():
    ns = vars(spatix)
    v = spatix.spatix(1.0, 2.0, 3.0)
    assert vars(v * 2.0)["x"] == 2.0  # (warms any remembered lookup)
    ns["__builtins__"] = {"float": int, "int": int}
    try:
        assert v * 2.0 is None
        ns["__builtins__"] = {}
        with pytest.raises(NameError, match="name 'float' is not defined"):
            v * 2.0
        ns["__builtins__"] = builtins  # a module stands for its dict
        assert vars(v * 2.0)["x"] == 2.0
    finally:
        del ns["__builtins__"]
    assert vars(v * 2.0)["x"] == 2.0


def test_vector_operand_test_follows_the_module_builtins():
    ns = vars(spatix)
    v = spatix.spatix(1.0, 2.0, 3.0)
    assert vars(v * 2.0) == {"x": 2.0, "y": 4.0, "z": 6.0}
    ns["__builtins__"] = {"float": int, "int": int}
    try:
        assert v * 2.0 is None  # type(2.0) == float is now false
        assert vars(v * 2) == {"x": 2.0, "y": 4.0, "z": 6.0}
    finally:
        del ns["__builtins__"]
    assert vars(v * 2.0) == {"x": 2.0, "y": 4.0, "z": 6.0}


# Faults found by hostile callers, each in a child interpreter: the outcome printed last.
FAULTS = {
    "Argmax and FixSoftmax use the built-in max, not numerix.max": ("""
        from ORVEX import numerix
        numerix.max = lambda x: 0
        print(numerix.Argmax([3, 0, 1]), numerix.FixSoftmax([5.0, 5.0]), numerix.FixSoftmax([2, 2]))""",
        "0 [0.5, 0.5] [0.5, 0.5]"),
    "train from a frame without built-ins": ("""
        import os, tempfile
        from ORVEX import lystra, synaptra
        os.chdir(tempfile.mkdtemp())
        lystra.write(["a", "b"], "v.txt")
        m = synaptra.RNNLM_HYBRID(2, "v.txt", 2, neurons=2)
        m.warmup("a b")
        saved = []
        synaptra.write = lambda data, path: saved.append(path)  # (lystra's own imports aside)
        synaptra.print = lambda *a: None
        exec("m.train(1)", {"__builtins__": {}, "m": m})
        print(os.path.isdir("test"), len(saved))""", "True 8"),
    "a signature built from a frame without built-ins": ("""
        from ORVEX import numerix
        g = {"__builtins__": {}, "f": numerix.exp}
        exec("s = f.__signature__", g)
        print(g["s"])""", "(x, terms=20) -> 'float'"),
    "multiX result tuple unreachable while components compute": ("""
        import gc
        from ORVEX.multix import multiX
        class C:
            def __add__(self, other):
                for o in gc.get_objects():
                    if type(o) is tuple:
                        for _ in o: pass
                return 1
        a, b = multiX(*[C() for _ in range(8)]), multiX(*[C() for _ in range(8)])
        print((a + b).values)""", "(1, 1, 1, 1, 1, 1, 1, 1)"),
    "a dropped generator frees its attributes at once": ("""
        import weakref
        from ORVEX import numerix
        class X: pass
        x = X(); alive = weakref.ref(x)
        g = numerix.random(3, 0.0, 1.0); g.payload = x; g(); g()
        del g, x
        print(alive() is None)""", "True"),
}


@pytest.mark.parametrize("body, expected", FAULTS.values(), ids=FAULTS.keys())
def test_hostile_faults(body, expected):
    assert probe_outcome(body) == expected
