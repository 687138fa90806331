"""Writes docs/numerics.md: where each numerix function agrees with the standard library.

    python tools/numerics_doc.py           # rewrite docs/numerics.md from the installed ORVEX
    python tools/numerics_doc.py --check   # exit 1 if docs/numerics.md is not what it would write

Every range in the page is measured here, not typed in: the arguments are walked outwards from a
centre on a geometric grid (steps of 2 %), each boundary is then found by bisection and written
rounded towards the centre to three significant digits, so a range never claims more than was seen.
tests/test_release.py regenerates the page and compares.
"""
import cmath
import math
import os
import sys

from ORVEX import numerix as nx

REL = 1e-9
ROUGH = 1e-2
HERE = os.path.dirname(os.path.abspath(__file__))
PAGE = os.path.join(HERE, os.pardir, "docs", "numerics.md")


def agrees(f, ref, x, rel):
    """f(x) and ref(x) agree to `rel` relative, or both raise the same exception type."""
    try:
        got = f(x)
    except Exception as e:  # the series' own errors (ValueError, OverflowError, ...)
        got = e
    try:
        want = ref(x)
    except Exception as e:
        want = e
    if isinstance(got, Exception) or isinstance(want, Exception):
        return type(got) is type(want)
    if isinstance(got, complex) or isinstance(want, complex):
        return got == want
    if math.isnan(want) or math.isnan(got):
        return False
    return got == want or abs(got - want) <= rel * abs(want)


def _grid(lo, hi):
    """Distances 1e-6 ... on a 2 % geometric grid, within (lo, hi]."""
    d, out = 1e-6, []
    while d <= hi:
        if d > lo:
            out.append(d)
        d *= 1.02
    return out


def _sig3(x, towards):
    """x rounded to three significant digits in the direction of `towards`."""
    if x == 0 or math.isinf(x):
        return x
    e = 10 ** (math.floor(math.log10(abs(x))) - 2)
    return (math.floor if towards > x else math.ceil)(x / e) * e


def _fmt(x):
    if math.isinf(x):
        return "∞" if x > 0 else "−∞"
    text = f"{x:.3g}".replace("e+0", "e").replace("e-0", "e-").replace("e+", "e")
    return text.replace("-", "−")


def intervals(f, ref, *, centre=0.0, left=1e6, right=1e6, rel=REL):
    """The argument ranges, each [a, b], where f agrees with ref, walking out from `centre`
    (at most `left` below it and `right` above it)."""
    xs = sorted([centre - d for d in _grid(0, left) if centre - d != centre]
                + [centre] + [centre + d for d in _grid(0, right)])
    ok = [agrees(f, ref, x, rel) for x in xs]

    def edge(good, bad):  # bisect between an agreeing and a disagreeing argument
        for _ in range(80):
            mid = (good + bad) / 2
            if mid in (good, bad):
                break
            if agrees(f, ref, mid, rel):
                good = mid
            else:
                bad = mid
        return good

    runs, start = [], None
    for i, x in enumerate(xs):
        if ok[i] and start is None:
            start = i
        if start is not None and (i + 1 == len(xs) or not ok[i + 1]):
            lo = xs[start] if start == 0 else edge(xs[start], xs[start - 1])
            hi = xs[i] if i + 1 == len(xs) else edge(xs[i], xs[i + 1])
            if start == 0 and xs[0] < centre - left * 0.98:
                lo = -math.inf
            if i + 1 == len(xs) and xs[-1] > centre + right * 0.98:
                hi = math.inf
            inner = (lo + hi) / 2 if math.isfinite(lo + hi) else (hi if math.isinf(lo) else lo)
            runs.append((_sig3(lo, inner), _sig3(hi, inner)))
            start = None
    return [(a, b) for a, b in runs if a <= b]


def describe(runs, var="x"):
    if not runs:
        return "nowhere tried"
    parts = []
    for a, b in runs:
        if math.isinf(a) and math.isinf(b):
            parts.append("everywhere tried")
        elif math.isinf(b):
            parts.append(f"{var} ≥ {_fmt(a)}")
        elif math.isinf(a):
            parts.append(f"{var} ≤ {_fmt(b)}")
        elif a == b:
            parts.append(f"{var} = {_fmt(a)}")
        else:
            parts.append(f"{_fmt(a)} ≤ {var} ≤ {_fmt(b)}")
    return "; ".join(parts)


# ---------------------------------------------------------------------------
# What each function is compared with, where, and what its series does elsewhere
# ---------------------------------------------------------------------------
def _logistic(x):
    if x >= 0:
        return 1 / (1 + math.exp(-x))
    e = math.exp(x)
    return e / (1 + e)


def _softplus(x):
    return x + math.log1p(math.exp(-x)) if x > 0 else math.log1p(math.exp(x))


def _softmax_pair(gap):
    """FixSoftmax([0.0, -gap]) against the exact shares."""
    got = nx.FixSoftmax([0.0, -gap])
    e = math.exp(-gap)
    want = [1 / (1 + e), e / (1 + e)]
    return got, want


def _pair_agrees(gap, rel):
    got, want = _softmax_pair(gap)
    return all(abs(g - w) <= rel * abs(w) for g, w in zip(got, want))


ONE_SIDED = 1e6
# name, reference (text), numerix function, reference function, scan keywords, what happens elsewhere
SCALARS = [
    ("exp(x)", "math.exp", nx.exp, math.exp, {"left": 1e3, "right": 1e3},
     "20 terms (x⁰/0! to x¹⁹/19!) at every x: short of eˣ for large x, and for x < 0 the alternating "
     "sum loses eˣ entirely and turns negative (from x ≈ {exp_neg})."),
    ("log(x)", "math.log", nx.log, math.log, {"centre": 1.0, "left": 1.0 - 1e-9, "right": 1e3},
     "20 terms of Σ (−1)ⁿ⁺¹ (x − 1)ⁿ / n: the series converges only for 0 < x ≤ 2 (slowly near 0) and "
     "diverges above 2; x ≤ 0 raises ValueError \"x must be > 0\"."),
    ("sqrt(x)", "math.sqrt", nx.sqrt, math.sqrt, {"centre": 0.0, "left": 0, "right": 1e6},
     "`x ** 0.5`: a negative x gives the host's complex root (sqrt(−4) is `{sqrt_neg4}`)."),
    ("sin_rad(x)", "math.sin", nx.sin_rad, math.sin, {},
     "10 terms, no argument reduction: the error grows like x²¹/21!; sin_rad(10) is {sin_rad_10}."),
    ("cos_rad(x)", "math.cos", nx.cos_rad, math.cos, {},
     "10 terms, no argument reduction: the error grows like x²⁰/20!; cos_rad(10) is {cos_rad_10}."),
    ("tan_rad(x)", "math.tan", nx.tan_rad, math.tan, {},
     "sin_rad / cos_rad: both series' errors, and no pole where cos_rad misses zero."),
    ("asin(x)", "math.asin", nx.asin, math.asin, {"left": 1.0, "right": 1.0},
     "7 terms of the arcsine series for every x: asin(1) is {asin_1} (π/2 is 1.570796327); for |x| > 1 "
     "the polynomial's value is returned where math.asin raises ValueError."),
    ("acos(x)", "math.acos", nx.acos, math.acos, {"left": 1.0, "right": 1.0},
     "π/2 − asin(x): asin's polynomial; acos(1) is {acos_1}, not 0."),
    ("atan(x)", "math.atan", nx.atan, math.atan, {},
     "5 terms for |x| ≤ 1, π/2 − atan(1/x) beyond: worst near |x| = 1, where the value jumps "
     "(atan(1) is {atan_1}, atan(1.0000001) is {atan_1p})."),
    ("deg(x)", "math.degrees", nx.deg, math.degrees, {}, "x · (180 / π): no series."),
    ("asindeg(x)", "degrees(asin)", nx.asindeg, lambda x: math.degrees(math.asin(x)),
     {"left": 1.0, "right": 1.0}, "deg(asin(x)): asin's polynomial."),
    ("acosdeg(x)", "degrees(acos)", nx.acosdeg, lambda x: math.degrees(math.acos(x)),
     {"left": 1.0, "right": 1.0}, "deg(acos(x)): asin's polynomial."),
    ("sinh(x)", "math.sinh", nx.sinh, math.sinh, {"left": 700, "right": 700},
     "(exp(x) − exp(−x)) / 2 with exp's 20 terms: sinh(10) is {sinh_10}, not 11013.23."),
    ("cosh(x)", "math.cosh", nx.cosh, math.cosh, {"left": 700, "right": 700},
     "(exp(x) + exp(−x)) / 2 with exp's 20 terms."),
    ("tanh(x)", "math.tanh", nx.tanh, math.tanh, {},
     "sinh / cosh with exp's 20 terms: above 1 for large x (tanh(10) is {tanh_10})."),
    ("coth(x)", "1 / math.tanh", nx.coth, lambda x: 1 / math.tanh(x), {},
     "cosh / sinh with exp's 20 terms; coth(0) raises ZeroDivisionError."),
    ("sech(x)", "1 / math.cosh", nx.sech, lambda x: 1 / math.cosh(x), {"left": 700, "right": 700},
     "1 / cosh with exp's 20 terms."),
    ("csch(x)", "1 / math.sinh", nx.csch, lambda x: 1 / math.sinh(x), {"left": 700, "right": 700},
     "1 / sinh with exp's 20 terms; csch(0) raises ZeroDivisionError."),
    ("arsinh(x)", "math.asinh", nx.arsinh, math.asinh, {},
     "log(x + √(x² + 1)): log's series diverges once that sum passes 2, i.e. for x > 0.75 "
     "(arsinh(1) is {arsinh_1}); for strongly negative x the sum rounds to 0 and log raises "
     "ValueError (arsinh(−1e9))."),
    ("sigmoid(x)", "1 / (1 + math.exp(−x))", nx.sigmoid, _logistic, {},
     "1 / (1 + exp(−x)) with exp's 20 terms: exp(−x) turns negative for large x, so sigmoid "
     "passes 1 on the way and ends below 0 (sigmoid(10) is {sigmoid_10}, sigmoid(20) is {sigmoid_20})."),
    ("ELU(x)", "math.expm1", nx.ELU, lambda x: x if x > 0 else math.expm1(x), {},
     "x for x > 0, else exp(x) − 1 with exp's 20 terms."),
    ("softplus(x)", "log1p(exp(x))", nx.softplus, _softplus, {},
     "log(1 + exp(x)): log's series diverges once 1 + exp(x) passes 2, i.e. for every x > 0 "
     "(softplus(1) is {softplus_1}); raises ValueError \"x must be > 0\" where exp's series "
     "falls below −1 (softplus(−10))."),
]

EXACT = [
    ("pi()", "math.pi", "the same double, 3.141592653589793."),
    ("nrt(base, n)", "base ** (1 / n)", "the platform's pow (no series): agrees wherever the root is "
     "real; nrt(16, 0.5) is 256.0 (an integral exponent 2: a product, no platform call); a negative "
     "base gives the principal complex root."),
    ("factorial(n)", "math.factorial", "exact integers for n ≥ 0; a negative n gives 1."),
    ("maximum(x), ReLu(x)", "max(x, 0)", "exactly; the int 0 for x ≤ 0 (and for a NaN)."),
    ("LeakyReLu(x, leak)", "x if x > 0 else leak · x", "exactly."),
    ("Epsilon()", "1e-08", "exactly, a new float each call."),
    ("sin, cos, tan(a, b)", "a / b", "the quotient of the two sides, exactly; a zero divisor raises "
     "ZeroDivisionError \"float division\"."),
    ("atan2(y, x)", "math.atan2", "atan(y / x), shifted by ±π for x < 0: agrees where atan agrees at "
     "y / x (see atan), exactly ±π/2 on the y axis, the int 0 at the origin."),
    ("Argmax(x)", "max and list.index", "exactly: the first position of the largest score."),
]

SPOTS = [
    ("exp(1)", lambda: nx.exp(1.0), math.e),
    ("exp(30)", lambda: nx.exp(30.0), math.exp(30)),
    ("exp(-10)", lambda: nx.exp(-10.0), math.exp(-10)),
    ("log(2)", lambda: nx.log(2.0), math.log(2)),
    ("log(3)", lambda: nx.log(3.0), math.log(3)),
    ("log(0.001)", lambda: nx.log(0.001), math.log(0.001)),
    ("sin_rad(pi())", lambda: nx.sin_rad(nx.pi()), math.sin(math.pi)),
    ("sin_rad(10)", lambda: nx.sin_rad(10.0), math.sin(10)),
    ("asin(1)", lambda: nx.asin(1.0), math.asin(1)),
    ("atan(1)", lambda: nx.atan(1.0), math.atan(1)),
    ("sinh(10)", lambda: nx.sinh(10.0), math.sinh(10)),
    ("tanh(10)", lambda: nx.tanh(10.0), math.tanh(10)),
    ("arsinh(1)", lambda: nx.arsinh(1.0), math.asinh(1)),
    ("sigmoid(2)", lambda: nx.sigmoid(2.0), _logistic(2)),
    ("sigmoid(10)", lambda: nx.sigmoid(10.0), _logistic(10)),
    ("sigmoid(20)", lambda: nx.sigmoid(20.0), _logistic(20)),
    ("softplus(1)", lambda: nx.softplus(1.0), _softplus(1)),
    ("FixSoftmax([0.0, -30.0])[0]", lambda: _softmax_pair(30.0)[0][0], _softmax_pair(30.0)[1][0]),
    ("FixSoftmax([0.0, -30.0])[1]", lambda: _softmax_pair(30.0)[0][1], _softmax_pair(30.0)[1][1]),
]


def _first_negative_exp():
    x = 0.0
    while nx.exp(x) > 0:
        x -= 0.01
    return round(x, 1)


def _v(x):
    return f"{x:.10g}".replace("-", "−")


def render():
    facts = {
        "exp_neg": _fmt(_first_negative_exp()),
        "sqrt_neg4": repr(nx.sqrt(-4)),
        "sin_rad_10": _v(nx.sin_rad(10.0)), "cos_rad_10": _v(nx.cos_rad(10.0)),
        "asin_1": _v(nx.asin(1.0)), "acos_1": _v(nx.acos(1.0)),
        "atan_1": _v(nx.atan(1.0)), "atan_1p": _v(nx.atan(1.0000001)),
        "sinh_10": _v(nx.sinh(10.0)), "tanh_10": _v(nx.tanh(10.0)), "arsinh_1": _v(nx.arsinh(1.0)),
        "sigmoid_10": _v(nx.sigmoid(10.0)), "sigmoid_20": _v(nx.sigmoid(20.0)),
        "softplus_1": _v(nx.softplus(1.0)),
    }
    out = [
        "# Where numerix's maths holds",
        "",
        "<!-- Generated by tools/numerics_doc.py from the built module; do not edit by hand. -->",
        "",
        "`ORVEX.numerix` computes its functions the way the model was written: truncated series "
        "with fixed term counts (20 for `exp` and `log`, 10 for `sin_rad` and `cos_rad`), short "
        "fixed polynomials for the inverse functions, and no argument reduction. Near the series' "
        "centres they agree with Python's `math` module; away from them they drift, and some "
        "diverge. **These values are kept on purpose:** the functions are the model's own truncated "
        "series, and the language model's soft-max and loss receive exactly them, so a trained "
        "model and its outputs stay the same; use `math` when you want the true functions.",
        "",
        f"Each range below was measured on the installed module: the arguments where the result "
        f"agrees with the standard library to {_fmt(REL)} relative, and where it stays within "
        f"{ROUGH:.0%}. The edges were found by bisection and rounded towards the centre; arguments "
        f"were tried up to |x| = 1e6 (1e3 for exp and log, 700 for sinh, cosh, sech and csch, where "
        f"`math` overflows).",
        "",
        f"| function | compared with | agrees to {_fmt(REL)} for | within {ROUGH:.0%} for | elsewhere |",
        "|---|---|---|---|---|",
    ]
    for name, refname, f, ref, scan, note in SCALARS:
        fine = describe(intervals(f, ref, **scan))
        rough = describe(intervals(f, ref, rel=ROUGH, **scan))
        out.append(f"| `{name}` | `{refname}` | {fine} | {rough} | {note.format(**facts)} |")

    gaps = intervals(lambda g: _pair_agrees(g, REL), lambda g: True, left=0, right=1e3)
    rough = intervals(lambda g: _pair_agrees(g, ROUGH), lambda g: True, left=0, right=1e3)
    out.append(
        f"| `FixSoftmax(x)` | the exact soft-max | {describe(gaps, 'gap')} | {describe(rough, 'gap')} | "
        f"the gap is the maximum minus a score (measured on two scores): every share goes through "
        f"exp's 20 terms at −gap, so scores far below the maximum get wrong, even negative, shares "
        f"(from a gap of about {_fmt(-_first_negative_exp())}). |")
    out += [
        "",
        "Exact, or no series:",
        "",
        "| function | equals | notes |",
        "|---|---|---|",
    ]
    out += [f"| `{name}` | `{ref}` | {note} |" for name, ref, note in EXACT]
    out += [
        "",
        "## Spot values",
        "",
        "| call | numerix | standard library |",
        "|---|---|---|",
    ]
    out += [f"| `{call}` | {_v(f())} | {_v(want)} |" for call, f, want in SPOTS]
    out.append("")
    return "\n".join(out)


def main(argv):
    text = render()
    if "--check" in argv:
        with open(PAGE, encoding="utf-8") as fh:
            same = fh.read() == text
        print("docs/numerics.md is " + ("up to date" if same else "stale: run tools/numerics_doc.py"))
        return 0 if same else 1
    with open(PAGE, "w", encoding="utf-8") as fh:
        fh.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
