"""A stored trace of activate_step: several models stepped a few hundred times, a digest of
every weight after each block of steps, compared to the last bit with the file recorded
from the kernel (tests/data/tensilo_trace.txt). Set ORVEX_RECORD_TRACE=1 to rewrite it."""
import hashlib
import os
import random
import struct

import pytest

from ORVEX.tensilo import activate_step
from test_tensilo import make_model

TRACE = os.path.join(os.path.dirname(__file__), "data", "tensilo_trace.txt")
BLOCK, BLOCKS = 25, 8

# (name, V, N, E, seed, zeros, how): "fast" is the usual model; "pinned" keeps every who row
# referenced twice (the general path); "ints" mixes int weights in.
CASES = [("fast-a", 40, 16, 8, 1, True, "fast"), ("fast-b", 23, 9, 5, 2, False, "fast"),
         ("fast-c", 64, 32, 4, 3, True, "fast"), ("pinned", 17, 8, 6, 4, True, "pinned"),
         ("ints", 12, 5, 3, 5, False, "ints"), ("fast-d", 120, 24, 16, 6, True, "fast")]


def _digest(m):
    h = hashlib.sha256()
    for name in ("embedings", "lweights", "lhweights", "who"):
        for row in getattr(m, name):
            h.update(struct.pack("<%dd" % len(row), *row))
    for name in ("bias", "bo", "ht"):
        h.update(struct.pack("<%dd" % len(getattr(m, name)), *getattr(m, name)))
    h.update(("%d %s %d" % (m.nexttoken, float(m.loss).hex(), len(m.reply))).encode())
    return h.hexdigest()[:32]


def _trace(V, N, E, seed, zeros, how):
    m = make_model(V, N, E, seed, zeros=zeros, scale=0.5)
    m.lr = 0.01
    held = list(m.who) if how == "pinned" else None  # noqa: F841
    if how == "ints":
        m.who[1] = [1, -1, 0, 2, 1][:N]
        m.embedings[2] = [1, 0, -1][:E]
    rnd = random.Random(seed)
    out = []
    for _ in range(BLOCKS):
        for _ in range(BLOCK):
            activate_step(m, rnd.randrange(V), rnd.randrange(V))
        out.append(_digest(m))
    return out


def _stored():
    lines = {}
    with open(TRACE) as f:
        for line in f:
            name, *digests = line.split()
            lines[name] = digests
    return lines


if os.environ.get("ORVEX_RECORD_TRACE") == "1":
    with open(TRACE, "w") as f:
        for name, *args in CASES:
            f.write(" ".join([name] + _trace(*args)) + "\n")


@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_trace_is_unchanged(case):
    name, *args = case
    assert _trace(*args) == _stored()[name]
