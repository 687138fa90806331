"""A typed tour of the package: mypy --strict checks it against the stubs, and it runs.

    python examples/typed_usage.py
"""
import os
import tempfile
from typing import List, Optional, Tuple, Union

from ORVEX import lystra, numerix, tensilo
from ORVEX.multix import multiX
from ORVEX.planix import planix
from ORVEX.spatix import spatix
from ORVEX.synaptra import RNNLM_HYBRID
from ORVEX.tintra import Color3


def scalars() -> List[float]:
    e: Union[int, float] = numerix.exp(1.0)
    root: Union[float, complex] = numerix.sqrt(2)
    big: int = numerix.factorial(30)
    probs: List[float] = numerix.FixSoftmax([1, 2, 3])
    best: int = numerix.Argmax(probs)
    draw = numerix.random(7, 0, 1)
    x: float = draw()
    return [e, abs(root), float(big % 97), probs[best], x, numerix.log(2.0), numerix.LeakyReLu(-1)]


def vectors() -> Tuple[float, Optional[planix], str]:
    a, b = planix(3, 4), planix(1, 2)
    scaled: Optional[planix] = a * 2
    length: float = (a - b).length()
    colour = Color3(spatix(255, 128, 0))
    assert multiX(1, 2) + multiX(3, 4) is not None
    return length, scaled, colour.to_hex()


def files_and_model(folder: str) -> Tuple[Optional[List[object]], float, str]:
    vocab = os.path.join(folder, "vocab.mem")
    lystra.write(["the", "boat", "went", "out"], vocab)
    back = lystra.read(vocab)
    model = RNNLM_HYBRID(4, vocab, veclength=4, neurons=4, seed=11)
    model.warmup("the boat went out")
    tensilo.activate_step(model, 0, 1)
    loss: float = model.loss
    word: str = model.dictionary[model.nexttoken]
    return back, loss, word


if __name__ == "__main__":
    print(scalars())
    print(vectors())
    with tempfile.TemporaryDirectory() as folder:
        print(files_and_model(folder))
