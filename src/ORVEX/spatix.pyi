"""script handeling class spatix"""
from typing import Any, Optional, SupportsFloat, SupportsIndex, Tuple, Union

from ORVEX.numerix import atan2 as atan2, deg as deg, sqrt as sqrt

_Real = Union[SupportsFloat, SupportsIndex]

class spatix:
    # The components are stored as given, so results follow the host's arithmetic on them.
    x: Any
    y: Any
    z: Any
    def __init__(self, x: Any, y: Any, z: Any) -> None:
        """creates new vector"""
    def __add__(self, other: Any) -> spatix: ...
    def __sub__(self, other: Any) -> spatix: ...
    def __mul__(self, other: object) -> Optional[spatix]: ...
    def __pow__(self, other: Any) -> Any: ...
    def length(self) -> Any:
        """returns length of vector"""
    def __truediv__(self, other: _Real) -> spatix: ...
    def angles(self) -> Tuple[float, float]:
        """returns eleveation and direction of 3 dimensional vector"""
    def __floordiv__(self, other: Any) -> spatix: ...
    def unit(self) -> spatix:
        """returns unit vector"""
