"""ORVEX libary for machine learning such as rln and more..."""
from typing import Any, List, SupportsFloat, SupportsIndex, SupportsInt, Union

from ORVEX.numerix import *
from ORVEX.lystra import read as read, write as write
from ORVEX.tensilo import activate_step as activate_step

_Real = Union[SupportsFloat, SupportsIndex]

def hybrid(z: _Real) -> Union[float, int]: ...
def hybrid_prime(z: Any) -> Union[float, int]: ...
def cz(x: _Real, w: _Real, b: _Real) -> float: ...

class RNN_HYBRID:
    gen: random
    wx: List[float]
    amount: int
    b: List[float]
    wh: List[List[float]]
    h: List[float]
    x: float
    lr: float
    y: float
    err: List[float]
    loss: List[float]
    lg: List[float]
    dhzl: List[float]
    dLdb: List[float]
    dLdw: List[float]
    dLdwh: List[List[float]]
    memory: List[float]
    def __init__(self, start: _Real, target: _Real, neurons: SupportsInt, load_model: str = "",
                 learnrate: _Real = 0.001) -> None: ...
    def layer(self) -> None: ...
    def run(self, times: SupportsIndex) -> None: ...

class RNNLM_HYBRID:
    genrandd: random
    genrandn: random
    lr: float
    neurons: int
    embedings: List[List[float]]
    lweights: List[List[float]]
    lhweights: List[List[float]]
    bias: List[float]
    who: List[List[float]]
    bo: List[float]
    vocabL: int
    vecL: int
    dictionary: List[str]
    ht: List[float]
    reply: List[str]
    loss: float
    nexttoken: int
    def __init__(self, vocab_size: SupportsInt, dictionary: str, veclength: SupportsInt = 32,
                 load_vocab: str = "no", seed: SupportsInt = 564963, neurons: SupportsInt = 128,
                 lr: _Real = 0.001) -> None: ...
    def warmup(self, sentence: str) -> None:
        """use only once!!!"""
    def __activate(self, indexa: Any, target: Any) -> None: ...
    def __getstuff(self, word: str) -> int: ...
    def run(self, times: SupportsInt, f: str = "", s: str = "") -> None: ...
    def train(self, turns: SupportsInt) -> None: ...
