from typing import Any, SupportsInt

from ORVEX.numerix import Argmax as Argmax, FixSoftmax as FixSoftmax, LeakyReLu as LeakyReLu
from ORVEX.numerix import ReLu as ReLu, log as log

def activate_step(obj: Any, indexa: SupportsInt, target: SupportsInt) -> None:
    """
    obj = your RNNLM_HYBRID instance
    This function directly reads/writes obj.embedings, obj.lweights, etc.
    """
