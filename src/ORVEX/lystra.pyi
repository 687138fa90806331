"""helt klar ikke en knockoff af pickle"""

from typing import Any, Iterable, List, Optional

def writel(*lists: Iterable[object], file: str) -> None:
    """writes lists to file can be read/loaded using lystra.read(file)"""

def readl(file: str) -> List[List[str]]:
    """returns list with lists or strings if lists were not what was saved"""

def write(data: List[Any], file: str) -> None:
    """write list to file"""

def read(file: str) -> Optional[List[Any]]:
    """read list from file"""
