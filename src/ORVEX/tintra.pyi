"""color module for ORVEX"""
from typing import Any

from ORVEX.spatix import spatix as spatix

class Color3:
    r: Any
    g: Any
    b: Any
    def __init__(self, vector: spatix) -> None: ...
    def to_hex(self) -> str: ...
