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
    """(label, python statement, native statement); the names live in setup()."""
    return [
        ("planix  +", "pp + pq", "p + q"),
        ("planix  * 2.5", "pp * 2.5", "p * 2.5"),
        ("planix  * 3 (int)", "pp * 3", "p * 3"),
        ("planix  ** (dot)", "pp ** pq", "p ** q"),
        ("planix  length()", "pp.length()", "p.length()"),
        ("planix  unit()", "pp.unit()", "p.unit()"),
        ("spatix  + (float)", "ps + pt", "s + t"),
        ("spatix  * 2.5", "ps * 2.5", "s * 2.5"),
        ("spatix  ** (dot)", "ps ** pt", "s ** t"),
        ("spatix  // (cross)", "ps // pt", "s // t"),
        ("spatix  length()", "ps.length()", "s.length()"),
        ("spatix  unit()", "ps.unit()", "s.unit()"),
        ("multiX  + (8 comps)", "pm + pn", "m + n"),
        ("multiX  * 2.5 (8 comps)", "pm * 2.5", "m * 2.5"),
    ]


def setup():
    return dict(
        p=planix(1.5, -2.25), q=planix(0.75, 3.5),
        pp=py_planix(1.5, -2.25), pq=py_planix(0.75, 3.5),
        s=spatix(1.5, -2.25, 0.5), t=spatix(0.75, 3.5, -1.25),
        ps=py_spatix(1.5, -2.25, 0.5), pt=py_spatix(0.75, 3.5, -1.25),
        m=multiX(*[0.5 * i for i in range(8)]), n=multiX(*[1.25 * i for i in range(8)]),
        pm=py_multiX(*[0.5 * i for i in range(8)]), pn=py_multiX(*[1.25 * i for i in range(8)]),
    )


def best_pair(py_stmt, native_stmt, names, number, repeat):
    """Best time per run of each statement; the two alternate so load changes hit both."""
    tp = tn = float("inf")
    timers = (timeit.Timer(py_stmt, globals=names), timeit.Timer(native_stmt, globals=names))
    for _ in range(repeat):
        tp = min(tp, timers[0].timeit(number) / number)
        tn = min(tn, timers[1].timeit(number) / number)
    return tp, tn


def main():
    quick = "--quick" in sys.argv
    number, repeat = (20000, 3) if quick else (50000, 15)
    print(f"{'operation':26} {'python ns':>10} {'native ns':>10} {'speed-up':>9}")
    worst = None
    names = setup()
    for name, py_stmt, native_stmt in cases():
        tp, tn = best_pair(py_stmt, native_stmt, names, number, repeat)
        tp, tn = tp * 1e9, tn * 1e9
        ratio = tp / tn
        worst = ratio if worst is None else min(worst, ratio)
        print(f"{name:26} {tp:10.1f} {tn:10.1f} {ratio:8.2f}x")
    print(f"lowest speed-up: {worst:.2f}x (target 3x)")


if __name__ == "__main__":
    main()
