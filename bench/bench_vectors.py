"""Speed of the vector classes against pure-Python classes with the same semantics.

Run:  PYTHONPATH=<built pkg> python3 bench/bench_vectors.py [--quick]
Prints, per operation, the time of the pure-Python class, of the native class and
their ratio (how many times faster the native one is). Both sides use the same
numerix functions, so the ratio measures the classes alone.
"""
import sys
import timeit

from ORVEX.numerix import sqrt, atan, deg, atan2
from ORVEX.planix import planix
from ORVEX.spatix import spatix
from ORVEX.multix import multiX


class py_planix:
    def __init__(self, x: float, y: float):
        self.x = float(x)
        self.y = float(y)

    def __add__(self, other):
        return py_planix(self.x + other.x, self.y + other.y)

    def __mul__(self, other):
        if type(other) == py_planix:
            return py_planix(self.x * other.x, self.y * other.y)
        elif type(other) == float or type(other) == int:
            return py_planix(self.x * other, self.y * other)

    def __sub__(self, other):
        return py_planix(self.x - other.x, self.y - other.y)

    def length(self):
        return sqrt(self.x ** 2 + self.y ** 2)

    def across(self):
        return py_planix(-self.y, self.x)

    def unit(self):
        return py_planix(self.x / self.length(), self.y / self.length())

    def __pow__(self, other):
        return self.x * other.x + self.y * other.y

    def angle(self):
        if self.x != 0:
            return deg(atan(self.y / self.x))
        elif self.x == 0:
            return 90


class py_spatix:
    def __init__(self, x, y, z):
        self.x = x
        self.y = y
        self.z = z

    def __add__(self, other):
        return py_spatix(self.x + other.x, self.y + other.y, self.z + other.z)

    def __sub__(self, other):
        return py_spatix(self.x - other.x, self.y - other.y, self.z - other.z)

    def __mul__(self, other):
        if type(other) == py_spatix:
            return py_spatix(self.x * other.x, self.y * other.y, self.z * other.z)
        elif type(other) == float or type(other) == int:
            return py_spatix(self.x * other, self.y * other, self.z * other)

    def __pow__(self, other):
        return self.x * other.x + self.y * other.y + self.z * other.z

    def length(self):
        return sqrt(self.x ** 2 + self.y ** 2 + self.z ** 2)

    def __truediv__(self, other: float):
        other = float(other)
        return py_spatix(self.x / other, self.y / other, self.z / other)

    def angles(self):
        a = deg(atan2(self.y, self.x))
        b = deg(atan2(self.z, self.x))
        return a, b

    def __floordiv__(self, other):
        cx = self.y * other.z - self.z * other.y
        cy = self.z * other.x - self.x * other.z
        cz = self.x * other.y - self.y * other.x
        return py_spatix(cx, cy, cz)

    def unit(self):
        length = self.length()
        return self / length


class py_multiX:
    def __init__(self, *values):
        self.values = values
        self.length = len(self.values)

    def __add__(self, other):
        if type(other) == py_multiX and other.length == self.length:
            result = []
            i = 0
            for v in self.values:
                result.append(v + other.values[i])
                i += 1
            return py_multiX(*result)

    def __sub__(self, other):
        if type(other) == py_multiX and other.length == self.length:
            result = []
            i = 0
            for v in self.values:
                result.append(v - other.values[i])
                i += 1
            return py_multiX(*result)

    def __mul__(self, other):
        if type(other) == py_multiX:
            if other.length == self.length:
                result = []
                i = 0
                for v in self.values:
                    result.append(v * other.values[i])
                    i += 1
                return py_multiX(*result)
        elif type(other) == float or type(other) == int:
            return py_multiX(*[v * other for v in self.values])


def cases():
    p, q = planix(1.5, -2.25), planix(0.75, 3.5)
    pp, pq = py_planix(1.5, -2.25), py_planix(0.75, 3.5)
    s, t = spatix(1.5, -2.25, 0.5), spatix(0.75, 3.5, -1.25)
    ps, pt = py_spatix(1.5, -2.25, 0.5), py_spatix(0.75, 3.5, -1.25)
    m = multiX(*[0.5 * i for i in range(8)])
    n = multiX(*[1.25 * i for i in range(8)])
    pm = py_multiX(*[0.5 * i for i in range(8)])
    pn = py_multiX(*[1.25 * i for i in range(8)])
    return [
        ("planix  +", lambda: pp + pq, lambda: p + q),
        ("planix  * 2.5", lambda: pp * 2.5, lambda: p * 2.5),
        ("planix  * 3 (int)", lambda: pp * 3, lambda: p * 3),
        ("planix  ** (dot)", lambda: pp ** pq, lambda: p ** q),
        ("planix  length()", pp.length, p.length),
        ("planix  unit()", pp.unit, p.unit),
        ("spatix  + (float)", lambda: ps + pt, lambda: s + t),
        ("spatix  * 2.5", lambda: ps * 2.5, lambda: s * 2.5),
        ("spatix  ** (dot)", lambda: ps ** pt, lambda: s ** t),
        ("spatix  // (cross)", lambda: ps // pt, lambda: s // t),
        ("spatix  length()", ps.length, s.length),
        ("spatix  unit()", ps.unit, s.unit),
        ("multiX  + (8 comps)", lambda: pm + pn, lambda: m + n),
        ("multiX  * 2.5 (8 comps)", lambda: pm * 2.5, lambda: m * 2.5),
    ]


def best(fn, number, repeat):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def main():
    quick = "--quick" in sys.argv
    number, repeat = (20000, 3) if quick else (100000, 7)
    print(f"{'operation':26} {'python ns':>10} {'native ns':>10} {'speed-up':>9}")
    worst = None
    for name, py_fn, native_fn in cases():
        tp = best(py_fn, number, repeat) * 1e9
        tn = best(native_fn, number, repeat) * 1e9
        ratio = tp / tn
        worst = ratio if worst is None else min(worst, ratio)
        print(f"{name:26} {tp:10.1f} {tn:10.1f} {ratio:8.2f}x")
    print(f"lowest speed-up: {worst:.2f}x (target 3x)")


if __name__ == "__main__":
    main()
