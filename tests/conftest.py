import os
import sys

# The tests exercise the installed package: keep the source checkout (whose ORVEX/ holds
# only sources) off the import path, also under `python -m pytest` from the checkout.
_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _root]
