"""The argument binder's order of errors, the same for every module.

A missing argument (the argument-count message, or the keyword-only message) is reported
before an unknown keyword; an unknown keyword alone keeps its own message.
"""
import pytest

from ORVEX import lystra, numerix, planix, spatix, synaptra, tensilo, tintra


@pytest.mark.parametrize("call, message", [
    # missing argument and an unknown keyword: the missing argument wins
    (lambda: lystra.writel([1], bogus=1), "writel() needs keyword-only argument file"),
    (lambda: lystra.writel(bogus=1), "writel() needs keyword-only argument file"),
    (lambda: lystra.write([1], bogus=1), "write() takes exactly 2 positional arguments (1 given)"),
    (lambda: lystra.read(bogus=1), "read() takes exactly 1 positional argument (0 given)"),
    (lambda: numerix.exp(bogus=1), "exp() takes at least 1 positional argument (0 given)"),
    (lambda: numerix.sin(1, bogus=1), "sin() takes exactly 2 positional arguments (1 given)"),
    (lambda: numerix.random(1, 0, bogus=1), "__init__() takes exactly 4 positional arguments (3 given)"),
    (lambda: tensilo.activate_step(None, 0, tgt=1),
     "activate_step() takes exactly 3 positional arguments (2 given)"),
    (lambda: synaptra.cz(1, 2, c=3), "cz() takes exactly 3 positional arguments (2 given)"),
    (lambda: planix.planix(1, z=2), "__init__() takes exactly 3 positional arguments (2 given)"),
    (lambda: spatix.spatix(1, 2, w=3), "__init__() takes exactly 4 positional arguments (3 given)"),
    # the unknown keyword is reported once nothing is missing, the first one named
    (lambda: numerix.exp(1, bogus=1, other=2), "exp() got an unexpected keyword argument 'bogus'"),
    (lambda: lystra.writel([1], bogus=1, file="f"), "writel() got an unexpected keyword argument 'bogus'"),
    (lambda: tintra.Color3(spatix.spatix(1, 2, 3), bogus=1),
     "__init__() got an unexpected keyword argument 'bogus'"),
    # a repeated argument is still reported as such
    (lambda: numerix.exp(1, x=2, bogus=1), "exp() got multiple values for keyword argument 'x'"),
    # functions without parameters keep their own messages
    (lambda: numerix.pi(bogus=1), "pi() takes no keyword arguments"),
])
def test_missing_argument_before_unknown_keyword(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_nothing_is_written_on_a_binding_error(tmp_path):
    target = tmp_path / "t.mem"
    with pytest.raises(TypeError):
        lystra.writel([1], bogus=1)
    with pytest.raises(TypeError):
        lystra.write([1], bogus=str(target))
    assert list(tmp_path.iterdir()) == []
