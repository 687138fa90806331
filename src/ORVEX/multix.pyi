from typing import Any, Optional, Tuple

from ORVEX.numerix import sqrt as sqrt

class multiX:
    values: Tuple[Any, ...]
    length: int
    def __init__(self, *values: Any) -> None:
        """creates vector with userdefined dimensions"""
    def __add__(self, other: object) -> Optional[multiX]: ...
    def __sub__(self, other: object) -> Optional[multiX]: ...
    def __mul__(self, other: object) -> Optional[multiX]: ...
