"""activate_step benchmarks: every figure is a ratio against a baseline measured in this run.

    python bench/bench_tensilo.py            (V=2000, N=128, E=32)
    python bench/bench_tensilo.py --quick    (fewer repetitions)

* the kernel against the same step written in pure Python (goal: >= 50x faster);
* the kernel against the same step in NumPy float64 (goal: at most 1.1x its time at V=2000,
  1.7x at V=8000);
* the extra memory of one step (tracemalloc peak), for growing V: O(V + N + E);
* training (V=1000, N=48, E=32): ORVEX._kernel.run_pairs against the Python loop over
  activate_step (goal: >= 5x the pairs per second) and against a batched NumPy Elman network
  of the same size (goal: faster).
Reusing the float object a list alone holds is a build option: compare a build made with
CMAKE_ARGS="-DCMAKE_CXX_FLAGS=-DORVEX_TENSILO_FRESH_FLOATS=1". run_pairs takes AVX2 lanes where
the processor has them, SSE2 lanes otherwise: compare a build made with -DORVEX_KERNEL_AVX2=0.
"""
import os

# Single-threaded BLAS, like the kernel (and steadier figures on a shared machine).
for _v in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_v, "1")
import random
import sys
import time
import tracemalloc

from ORVEX import numerix
from ORVEX.tensilo import activate_step

QUICK = "--quick" in sys.argv


class Model:
    pass


def make_model(V, N, E, seed=564963):
    rnd = random.Random(seed)
    d, n = 1 / E ** 0.5, 1 / N ** 0.5
    m = Model()
    m.neurons, m.vocabL, m.vecL, m.lr = N, V, E, 0.001
    m.embedings = [[rnd.uniform(-d, d) for _ in range(E)] for _ in range(V)]
    m.lweights = [[rnd.uniform(-d, d) for _ in range(E)] for _ in range(N)]
    m.lhweights = [[rnd.uniform(-n, n) for _ in range(N)] for _ in range(N)]
    m.bias = [0] * N
    m.who = [[rnd.uniform(-n, n) for _ in range(N)] for _ in range(V)]
    m.bo = [0] * V
    m.ht = [0] * N
    m.dictionary = ["w%d" % i for i in range(V)]
    m.reply = []
    return m


def python_step(obj, indexa, target):
    """The step written plainly in Python over the model's lists."""
    N, V, E, lr = obj.neurons, obj.vocabL, obj.vecL, obj.lr
    emb, lw, lhw, bias, who, bo, ht = obj.embedings, obj.lweights, obj.lhweights, obj.bias, obj.who, obj.bo, obj.ht
    P = [0.0] * N
    for i in range(N):
        s = 0.0
        for k in range(E):
            s = s + lw[i][k] * emb[indexa][k]
        for j in range(N):
            s = s + lhw[i][j] * ht[j]
        P[i] = s + bias[i]
    for i in range(N):
        ht[i] = float(numerix.ReLu(P[i]) if P[i] > 0 else numerix.LeakyReLu(P[i]))
    Z = [0.0] * V
    for v in range(V):
        s = 0.0
        row = who[v]
        for j in range(N):
            s = s + row[j] * ht[j]
        Z[v] = s + bo[v]
    Y = numerix.FixSoftmax(Z)
    obj.nexttoken = numerix.Argmax(Y)
    obj.loss = -numerix.log(Y[target])
    G = [Y[v] - 1.0 if v == target else Y[v] for v in range(V)]
    GWO = [[G[v] * ht[j] for j in range(N)] for v in range(V)]
    DH = [0.0] * N
    for i in range(N):
        s = 0.0
        for v in range(V):
            s = s + G[v] * who[v][i]
        DH[i] = s
    DP = [DH[i] * (1.0 if P[i] > 0 else 0.01) for i in range(N)]
    GWL = [[DP[i] * emb[indexa][k] for k in range(E)] for i in range(N)]
    GWH = [[DP[i] * ht[j] for j in range(N)] for i in range(N)]
    DE = [0.0] * E
    for k in range(E):
        s = 0.0
        for i in range(N):
            s = s + DP[i] * lw[i][k]
        DE[k] = s
    for v in range(V):
        for j in range(N):
            who[v][j] = who[v][j] - lr * GWO[v][j]
    for v in range(V):
        bo[v] = bo[v] - lr * G[v]
    for i in range(N):
        for k in range(E):
            lw[i][k] = lw[i][k] - lr * GWL[i][k]
    for i in range(N):
        for j in range(N):
            lhw[i][j] = lhw[i][j] - lr * GWH[i][j]
    for i in range(N):
        bias[i] = bias[i] - lr * DP[i]
    for k in range(E):
        emb[indexa][k] = emb[indexa][k] - lr * DE[k]
    obj.reply.append(obj.dictionary[obj.nexttoken])


class NumpyModel:
    """The same step on float64 arrays (BLAS sums, the 20-term series for exp and log)."""

    def __init__(self, m):
        import numpy as np
        self.np = np
        self.emb = np.array(m.embedings, dtype=np.float64)
        self.lw = np.array(m.lweights, dtype=np.float64)
        self.lhw = np.array(m.lhweights, dtype=np.float64)
        self.bias = np.array(m.bias, dtype=np.float64)
        self.who = np.array(m.who, dtype=np.float64)
        self.bo = np.array(m.bo, dtype=np.float64)
        self.ht = np.array(m.ht, dtype=np.float64)
        self.lr = m.lr
        self.dictionary = m.dictionary
        self.reply = []

    def exp20(self, x):
        term = self.np.ones_like(x)
        total = self.np.ones_like(x)
        for n in range(1, 20):
            term = term * (x / n)
            total = total + term
        return total

    def step(self, indexa, target):
        np, lr = self.np, self.lr
        e = self.emb[indexa]
        P = self.lw @ e + self.lhw @ self.ht + self.bias
        pos = P > 0
        self.ht = np.where(pos, P, 0.01 * P)
        Z = self.who @ self.ht + self.bo
        ez = self.exp20(Z - Z.max())
        Y = ez / ez.sum()
        self.nexttoken = int(np.argmax(Y))
        self.loss = -numerix.log(float(Y[target]))
        G = Y.copy()
        G[target] -= 1.0
        DH = G @ self.who
        DP = DH * np.where(pos, 1.0, 0.01)
        DE = DP @ self.lw
        self.who -= lr * np.outer(G, self.ht)
        self.bo -= lr * G
        self.lw -= lr * np.outer(DP, e)
        self.lhw -= lr * np.outer(DP, self.ht)
        self.bias -= lr * DP
        self.emb[indexa] -= lr * DE
        self.reply.append(self.dictionary[self.nexttoken])


def per_step(fn, steps, rounds):
    """Best time per step over `rounds` runs of `steps` steps."""
    best = float("inf")
    for _ in range(rounds):
        t = time.perf_counter()
        for s in range(steps):
            fn(s)
        best = min(best, (time.perf_counter() - t) / steps)
    return best


def kernel_time(V, N, E, steps, rounds):
    m = make_model(V, N, E)
    activate_step(m, 0, 1)  # first step turns the int zeros into floats
    return per_step(lambda s: activate_step(m, s % V, (s * 7 + 3) % V), steps, rounds)


def extra_memory(V, N, E):
    """tracemalloc peak of one step above what was allocated before it (bytes)."""
    m = make_model(V, N, E)
    activate_step(m, 0, 1)
    activate_step(m, 1, 2)
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    tracemalloc.reset_peak()
    activate_step(m, 2, 3)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return peak - before


class NumpyElman:
    """An Elman network of the same size trained the batched NumPy way: B independent streams
    step together, one matrix product per layer and one update per batch of B pairs."""

    def __init__(self, V, N, E, B=32, lr=0.001, seed=1):
        import numpy as np
        self.np, self.B, self.lr = np, B, lr
        rnd = np.random.default_rng(seed)
        self.emb = rnd.uniform(-0.1, 0.1, (V, E))
        self.lw, self.lhw = rnd.uniform(-0.1, 0.1, (N, E)), rnd.uniform(-0.1, 0.1, (N, N))
        self.bias, self.who, self.bo = np.zeros(N), rnd.uniform(-0.1, 0.1, (V, N)), np.zeros(V)
        self.h = np.zeros((B, N))

    def batch(self, a, t):
        np, lr = self.np, self.lr
        x = self.emb[a]
        p = x @ self.lw.T + self.h @ self.lhw.T + self.bias
        pos = p > 0
        h = np.where(pos, p, 0.01 * p)
        z = h @ self.who.T + self.bo
        y = np.exp(z - z.max(axis=1, keepdims=True))
        y /= y.sum(axis=1, keepdims=True)
        y[np.arange(len(t)), t] -= 1.0
        dp = (y @ self.who) * np.where(pos, 1.0, 0.01)
        self.who -= lr * (y.T @ h)
        self.bo -= lr * y.sum(axis=0)
        de = dp @ self.lw
        self.lw -= lr * (dp.T @ x)
        self.lhw -= lr * (dp.T @ self.h)
        self.bias -= lr * dp.sum(axis=0)
        np.subtract.at(self.emb, a, lr * de)
        self.h = h


def training():
    """Pairs per second: run_pairs, the Python loop over activate_step, batched NumPy."""
    from common import best_interleaved
    try:
        from ORVEX import _kernel
    except ImportError:
        print("  ORVEX._kernel not built")
        return
    V, N, E, n = 1000, 48, 32, 2000
    rnd = random.Random(5)
    pairs = [(rnd.randrange(V), rnd.randrange(V)) for _ in range(n)]
    km, lm = make_model(V, N, E), make_model(V, N, E)

    def python_loop():
        for a, t in pairs:
            activate_step(lm, a, t)
    fns = [lambda: _kernel.run_pairs(km, pairs), python_loop]
    try:
        import numpy as np
        net = NumpyElman(V, N, E)
        A, T = np.array([a for a, _ in pairs]), np.array([t for _, t in pairs])
        B = net.B
        fns.append(lambda: [net.batch(A[i:i + B], T[i:i + B]) for i in range(0, n - B + 1, B)])
    except ImportError:
        pass
    times = best_interleaved(fns, 3 if QUICK else 5)
    rate = [n / t for t in times]
    print("training, V=%d N=%d E=%d, %d pairs" % (V, N, E, n))
    print("  run_pairs          %9.0f pairs/s" % rate[0])
    print("  loop activate_step %9.0f pairs/s   run_pairs is %5.2fx (goal >= 5x)" % (rate[1], rate[0] / rate[1]))
    if len(rate) > 2:
        print("  NumPy Elman, B=%d  %9.0f pairs/s   run_pairs is %5.2fx (goal > 1x)" % (B, rate[2], rate[0] / rate[2]))


def main():
    V, N, E = 2000, 128, 32
    rounds = 3 if QUICK else 7
    print("activate_step on a fresh model, V=%d N=%d E=%d" % (V, N, E))

    # The sides alternate round by round, so a change in machine load hits all of them.
    km = make_model(V, N, E)
    activate_step(km, 0, 1)  # the first step turns the int zeros into floats
    pm = make_model(V, N, E)
    try:
        import numpy  # noqa: F401
        nm = NumpyModel(make_model(V, N, E))
    except ImportError:
        nm = None
        print("  NumPy not installed: pip install numpy (the [bench] extra)")
    t_kernel = t_python = t_numpy = float("inf")
    for _ in range(rounds):
        t_kernel = min(t_kernel, per_step(lambda s: activate_step(km, s % V, (s * 7 + 3) % V), 20, 1))
        if nm:
            t_numpy = min(t_numpy, per_step(lambda s: nm.step(s % V, (s * 7 + 3) % V), 20, 1))
        if _ < 3:
            t_python = min(t_python, per_step(lambda s: python_step(pm, s % V, (s * 7 + 3) % V), 1, 1))
    print("  kernel          %9.3f ms/step" % (t_kernel * 1e3))
    print("  pure Python     %9.3f ms/step   kernel is %6.1fx faster   (goal >= 50x)"
          % (t_python * 1e3, t_python / t_kernel))
    if nm:
        print("  NumPy float64   %9.3f ms/step   kernel is %6.2fx the NumPy time (goal <= 1.1x)"
              % (t_numpy * 1e3, t_kernel / t_numpy))

    # The same comparison on a larger vocabulary (goal: at most 1.7x at V=8000).
    if nm:
        big = 8000
        kb, nb = make_model(big, N, E), NumpyModel(make_model(big, N, E))
        activate_step(kb, 0, 1)
        t_kb = t_nb = float("inf")
        for _ in range(max(2, rounds // 2)):
            t_kb = min(t_kb, per_step(lambda s: activate_step(kb, s % big, (s * 7 + 3) % big), 10, 1))
            t_nb = min(t_nb, per_step(lambda s: nb.step(s % big, (s * 7 + 3) % big), 10, 1))
        print("  V=%d: kernel %.3f ms, NumPy %.3f ms: kernel is %.2fx the NumPy time (goal <= 1.7x)"
              % (big, t_kb * 1e3, t_nb * 1e3, t_kb / t_nb))

    # Correctness guard for the baseline: one step of each on equal models agrees.
    a, b = make_model(40, 16, 8), make_model(40, 16, 8)
    python_step(a, 3, 5)
    activate_step(b, 3, 5)
    assert a.who == b.who and a.ht == b.ht and a.embedings == b.embedings and a.reply == b.reply

    print("extra memory of one step (tracemalloc peak)")
    for v in (1000, 2000, 4000):
        extra = extra_memory(v, N, E)
        print("  V=%5d  %8d bytes  (%.1f bytes per V+N+E;  V*N*8 = %d)"
              % (v, extra, extra / (v + N + E), v * N * 8))

    training()

if __name__ == "__main__":
    main()
