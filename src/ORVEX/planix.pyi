"""script handeling class planix"""
from typing import Any, Optional, Union

def sqrt(number: Any) -> float: ...
def atan(number: float) -> float: ...
def deg(radians: float) -> float: ...

class planix:
    x: float
    y: float
    def __init__(self, x: float, y: float) -> None:
        """creates new vector"""
    def __add__(self, other: Any) -> planix: ...
    def __mul__(self, other: Any) -> Optional[planix]: ...
    def __sub__(self, other: Any) -> planix: ...
    def length(self) -> Any:
        """returns length of vector"""
    def across(self) -> planix:
        """returns cross vector"""
    def unit(self) -> planix:
        """returns unit for vector"""
    def __pow__(self, other: Any) -> Any: ...
    def angle(self) -> Union[float, int, None]:
        """returns angle for planix"""
