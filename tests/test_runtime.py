"""The runtime's global lookup: a module's functions see the built-ins of their own module
(its globals' __builtins__, else the interpreter's), as a Python function defined there
would, never those of the frame that calls them."""
import builtins

import pytest

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
    ns = vars(numerix)
    assert numerix.Argmax([1.0, 5.0, 3.0]) == 1  # (warms any remembered lookup)
    ns["__builtins__"] = {"max": first}
    try:
        assert numerix.Argmax([1.0, 5.0, 3.0]) == 0
        ns["__builtins__"] = {}
        with pytest.raises(NameError, match="name 'max' is not defined"):
            numerix.Argmax([1.0, 5.0, 3.0])
        ns["__builtins__"] = builtins  # a module stands for its dict
        assert numerix.Argmax([1.0, 5.0, 3.0]) == 1
    finally:
        del ns["__builtins__"]
    assert numerix.Argmax([1.0, 5.0, 3.0]) == 1


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
