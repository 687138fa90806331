"""script handeling class planix"""
from typing import Any, Optional, SupportsFloat, SupportsIndex, Union

from ORVEX.numerix import atan as atan, deg as deg, sqrt as sqrt

_Real = Union[SupportsFloat, SupportsIndex]

class planix:
    x: float
    y: float
    def __init__(self, x: _Real, y: _Real) -> None:
        """creates new vector"""
    # + and - read other.x and other.y without checking other's type.
    def __add__(self, other: Any) -> planix: ...
    def __mul__(self, other: object) -> Optional[planix]: ...
    def __sub__(self, other: Any) -> planix: ...
    def length(self) -> float:
        """returns length of vector"""
    def across(self) -> planix:
        """returns cross vector"""
    def unit(self) -> planix:
        """returns unit for vector"""
    def __pow__(self, other: Any) -> float: ...
    def angle(self) -> Union[float, int, None]:
        """returns angle for planix"""
