"""Proves lystra's float text against the host on many doubles: `write` must give exactly
repr() of every double (in str(list)), and `read` exactly float() of every decimal text.

    python bench/check_float_text.py [--n 10000000] [--chunk 1000000] [--seed 1]

The doubles cover every exponent (random bit patterns), subnormals, +-0, inf and nan,
integral values near 1e16 and 2**53, the neighbours of the powers of ten where the
layout switches (1e-4, 1e16), and short decimals; the texts read back include the
exact midpoints between neighbouring doubles (halfway cases), long and truncated
digit strings. Prints the count and every difference (any difference is a bug);
exits 1 if there is one. tests/test_lystra.py runs a sample of it.
"""
import argparse
import decimal
import math
import os
import random
import struct
import sys
import tempfile

from ORVEX import lystra


def from_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


SPECIALS = [0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, -5e-324, 2.2250738585072014e-308,
            2.225073858507201e-308, 1.7976931348623157e308, 1e16, 1e-4, 1e-5, 9999999999999998.0,
            2.0**53, 2.0**53 + 2, 0.1, 1.5e-07, 1e22, 1e23, 123456789012345680.0]


def samples(rng, n):
    """n doubles of the kinds above, in random order."""
    out = list(SPECIALS)
    while len(out) < n:
        k = rng.randrange(10)
        if k < 4:  # any bit pattern: every exponent, sign and mantissa
            x = from_bits(rng.getrandbits(64))
            if math.isnan(x):
                continue
        elif k == 4:  # subnormals
            x = from_bits(rng.getrandbits(52) | (rng.getrandbits(1) << 63))
        elif k == 5:  # integral values near 1e16 and 2**53
            x = float(rng.choice((10**16, 2**53, 10**17, 10**15)) + rng.randint(-10**5, 10**5))
        elif k == 6:  # neighbours of powers of ten
            x = 10.0 ** rng.randint(-20, 22)
            for _ in range(rng.randint(0, 3)):
                x = math.nextafter(x, rng.choice((0.0, math.inf)))
        elif k == 7:  # short decimals
            x = float(f"{rng.randint(1, 10 ** rng.randint(1, 17))}e{rng.randint(-330, 310)}")
        else:
            x = rng.uniform(-1.0, 1.0) * 10.0 ** rng.randint(-8, 20)
        out.append(-x if rng.random() < 0.5 else x)
    rng.shuffle(out)
    return out[:n]


def texts(rng, xs):
    """Decimal texts near the doubles: exact halfway points, extra and missing digits."""
    ctx = decimal.Context(prec=1200)
    out = []
    for x in xs:
        if not math.isfinite(x):
            continue
        k = rng.randrange(4)
        if k == 0:  # exactly between x and its upper neighbour
            up = math.nextafter(x, math.inf)
            if math.isfinite(up):
                mid = ctx.divide(ctx.add(decimal.Decimal(x), decimal.Decimal(up)), 2)
                out.append(format(mid, "f") if abs(x) > 1e-300 and abs(x) < 1e300 else str(mid))
        elif k == 1:
            out.append(repr(x) if "e" in repr(x) else repr(x) + "000000000000000000001")
        elif k == 2:
            r = repr(x)
            out.append(r[:12] if "e" not in r else r.split("e")[0][:10] + "e" + r.split("e")[1])
        else:
            out.append("%.25e" % x)
    return [t for t in out if "." in t or "e" in t or "E" in t]


def same_float(a, b):
    return bits(a) == bits(b) or (math.isnan(a) and math.isnan(b))


def check_chunk(rng, n, path):
    """Differences found in one chunk of n doubles (empty when all agree)."""
    bad = []
    xs = samples(rng, n)
    lystra.write(xs, path)
    with open(path) as f:
        got = f.read()
    want = "a = " + str(xs) + "\nf=0"
    if got != want:
        g, w = got[4:-4].split(", "), want[4:-4].split(", ")
        bad += [f"write {w[i]!r}: got {g[i]!r}" for i in range(min(len(g), len(w))) if g[i] != w[i]][:20]
        bad.append("write: texts differ") if not bad else None
    back = lystra.read(path)
    bad += [f"read {repr(x)!r}: got {y!r}" for x, y in zip(xs, back) if not same_float(x, y)][:20]
    ts = texts(rng, xs[: n // 4 + 1])
    with open(path, "w") as f:
        f.write("a = [" + ", ".join(ts) + "]")
    back = lystra.read(path)
    bad += [f"read {t!r}: got {y!r}, float() gives {float(t)!r}" for t, y in zip(ts, back)
            if not same_float(float(t), y)][:20]
    return bad


def check(n, seed=1, chunk=10**6):
    """Runs n doubles in chunks; returns the list of differences."""
    rng = random.Random(seed)
    bad = []
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "floats.mem")
        done = 0
        while done < n:
            m = min(chunk, n - done)
            bad += check_chunk(rng, m, path)
            done += m
    return bad


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=10**7)
    ap.add_argument("--chunk", type=int, default=10**6)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    bad = check(args.n, args.seed, args.chunk)
    print(f"{args.n} doubles written and read back, {args.n // 4} decimal texts read: {len(bad)} differences")
    for b in bad:
        print("  " + b)
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
