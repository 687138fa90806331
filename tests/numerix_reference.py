"""The numerix algorithms written plainly in Python, step by step on Python objects.

The tests compare the native module against these functions bit for bit; `ns` is the
namespace the functions look their helpers up in (rebinding a name there changes what
the composite functions call), mirroring the module's late binding.
"""

ns = {}


def _g(name):
    return ns[name]


def pi():
    return 3.141592653589793


def sqrt(number):
    return number ** 0.5


def factorial(n):
    total = 1
    for i in range(1, n + 1):
        total *= i
    return total


def exp(x, terms=20):
    total = 1
    term = 1
    for n in range(1, terms):
        term = term * (x / n)
        total = total + term
    return total


def log(x, terms=20):
    x = float(x)
    if not x > 0:
        raise ValueError("x must be > 0")
    total = 0
    for n in range(1, terms + 1):
        t = float(x - 1) ** n
        t = t / n
        if n % 2 == 1:
            total = total + t
        else:
            total = total - t
    return total


def maximum(x):
    x = float(x)
    return x if x > 0 else 0


def _series(x, terms, first):
    x = float(x)
    total = 0
    for n in range(terms):
        sign = -1 if n % 2 else 1
        k = 2 * n + first
        total = total + (sign * float(x) ** k) / _g("factorial")(k)
    return total


def sin_rad(x, terms=10):
    return _series(x, terms, 1)


def cos_rad(x, terms=10):
    return _series(x, terms, 0)


def asin(number):
    x = float(number)
    c3, c5, c7 = 0.16666666666666666, 0.07500000000000001, 0.04464285714285714
    c9, c11, c13 = 0.030381944444444444, 0.022372159090909092, 0.017352764423076924
    x2 = x * x
    x3 = x2 * x
    x4 = x2 * x2
    x5 = x4 * x
    x6 = x3 * x3
    x7 = x6 * x
    x8 = x4 * x4
    x10 = x5 * x5
    x12 = x6 * x6
    t3, t5, t7 = x3 * c3, x5 * c5, x7 * c7
    t9, t11, t13 = x8 * (x * c9), x10 * (x * c11), x12 * (x * c13)
    return ((t11 + t13) + (t9 + t7)) + ((t5 + x) + t3)


def atan(number):
    x = float(number)
    if abs(x) > 1 and x > 1:
        return _g("pi")() / 2 - _g("atan")(1.0 / x)
    if abs(x) > 1 and x < -1:
        return -(_g("pi")() / 2) - _g("atan")(1.0 / x)
    x2 = x * x
    x3 = x2 * x
    x4 = x2 * x2
    x5 = x4 * x
    x6 = x3 * x3
    x8 = x4 * x4
    return (((x - x3 * 0.3333333333333333) + x5 * 0.2) - x6 * (x * 0.14285714285714285)) + x8 * (
        x * 0.1111111111111111
    )


def atan2(y, x):
    y, x = float(y), float(x)
    if x > 0:
        return _g("atan")(y / x)
    if x < 0 and y >= 0:
        return _g("atan")(y / x) + _g("pi")()
    if x < 0 and y < 0:
        return _g("atan")(y / x) - _g("pi")()
    if x == 0 and y > 0:
        return _g("pi")() / 2
    if x == 0 and y < 0:
        return (-_g("pi")()) / 2
    return 0


def deg(radians):
    return float(radians) * (180 / _g("pi")())


def sinh(x):
    x = float(x)
    return (_g("exp")(float(x)) - _g("exp")(float(-x))) / 2


def cosh(x):
    x = float(x)
    return (_g("exp")(float(x)) + _g("exp")(float(-x))) / 2


def sigmoid(x):
    x = float(x)
    return 1 / (1 + _g("exp")(float(-x)))


def softplus(x):
    x = float(x)
    return _g("log")(1 + _g("exp")(float(x)))


def FixSoftmax(x):
    if not x:
        return []
    total = 0
    for i in x:
        total = total + _g("exp")(i - max(x))
    return [_g("exp")(i - max(x)) / total for i in x]


def Argmax(x):
    return x.index(max(x))


class random:
    def __init__(self, seeda, mina, maxa):
        self.seed = seeda
        self.min = float(mina)
        self.max = float(maxa)
        self.x = (1103515245 * self.seed + 12345) % 200000000000000000000000000000000
        for _ in range(0, self.seed):
            self()

    def __call__(self):
        self.x = (1103515245 * self.x + 12345) % 200000000000000000000000000000000
        return self.min + (self.x / 200000000000000000000000000000000) * (self.max - self.min)


ns.update({k: v for k, v in list(globals().items()) if not k.startswith("_") and callable(v)})
