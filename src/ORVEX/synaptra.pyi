"""ORVEX libary for machine learning such as rln and more..."""
from typing import Any, List, Union

from ORVEX.numerix import *
from ORVEX.lystra import read as read, write as write
from ORVEX.tensilo import activate_step as activate_step

def hybrid(z: float) -> float: ...
def hybrid_prime(z: Any) -> Union[float, int]: ...
def cz(x: float, w: float, b: float) -> float: ...

class RNN_HYBRID:
    gen: random
    wx: List[Any]
    amount: int
    b: List[Any]
    wh: List[List[Any]]
    h: List[Any]
    x: float
    lr: float
    y: float
    err: List[Any]
    loss: List[Any]
    lg: List[Any]
    dhzl: List[Any]
    dLdb: List[Any]
    dLdw: List[Any]
    dLdwh: List[List[Any]]
    memory: List[Any]
    def __init__(self, start: float, target: float, neurons: int, load_model: str = "",
                 learnrate: float = 0.001) -> None: ...
    def layer(self) -> None: ...
    def run(self, times: Any) -> None: ...

class RNNLM_HYBRID:
    genrandd: random
    genrandn: random
    lr: float
    neurons: int
    embedings: List[List[Any]]
    lweights: List[List[Any]]
    lhweights: List[List[Any]]
    bias: List[Any]
    who: List[List[Any]]
    bo: List[Any]
    vocabL: int
    vecL: int
    dictionary: List[str]
    ht: List[Any]
    reply: List[str]
    loss: Any
    nexttoken: int
    def __init__(self, vocab_size: int, dictionary: str, veclength: int = 32, load_vocab: str = "no",
                 seed: int = 564963, neurons: int = 128, lr: float = 0.001) -> None: ...
    def warmup(self, sentence: str) -> None:
        """use only once!!!"""
    def __activate(self, indexa: Any, target: Any) -> None: ...
    def __getstuff(self, word: str) -> int: ...
    def run(self, times: int, f: str = "", s: str = "") -> None: ...
    def train(self, turns: int) -> None: ...
