"""Hostile callers: every probe runs in a child interpreter (tests/probe.py), so a crash fails
one case instead of the run, and asserts the Python-level outcome the probe prints last.

Classes of probes:
  * native code re-entering itself (a rebound global, a native function as __float__, deep
    operands) and small thread stacks: RecursionError, never a signal;
  * sizes from Python (negative, huge): the loop runs zero times or MemoryError;
  * memory exhaustion (RLIMIT_AS) and injected allocation failures (_testcapi.set_nomemory):
    MemoryError, never an abort;
  * Ctrl-C during long native loops: KeyboardInterrupt.
"""
import os
import sys
import textwrap

import pytest

from probe import probe_outcome

# Under the sanitizers the address space is mostly shadow memory: RLIMIT_AS cannot be used.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

# Prints the exception's type name (or "ok") as the probe's last line (on the real stdout,
# whatever the probe did with sys.stdout).
OUTCOME = """
import sys as _sys
def outcome(f):
    try:
        f()
    except BaseException as e:
        print(type(e).__name__, file=_sys.__stdout__)
    else:
        print("ok", file=_sys.__stdout__)
"""


def run(body, **kw):
    return probe_outcome(OUTCOME + textwrap.dedent(body), **kw)


# ---------------------------------------------------------------------------
# Native code re-entering itself
# ---------------------------------------------------------------------------
RECURSION = {
    "exp rebound to sinh": """
        from ORVEX import numerix
        numerix.exp = numerix.sinh
        outcome(lambda: numerix.sinh(1.0))""",
    "ReLu rebound to hybrid": """
        from ORVEX import synaptra
        synaptra.ReLu = synaptra.hybrid
        outcome(lambda: synaptra.hybrid(1.0))""",
    "open rebound to read": """
        from ORVEX import lystra
        lystra.open = lystra.read
        outcome(lambda: lystra.read('x'))""",
    "__float__ is numerix.maximum": """
        from ORVEX import numerix
        class A: __float__ = numerix.maximum
        outcome(lambda: numerix.maximum(A()))""",
    "__float__ calls back through a Python frame": """
        from ORVEX import numerix
        class A:
            def __float__(self): return numerix.maximum(self)
        outcome(lambda: numerix.maximum(A()))""",
    "deg rebound to asindeg": """
        from ORVEX import numerix
        numerix.deg = numerix.asindeg
        outcome(lambda: numerix.asindeg(0.5))""",
    "sin_rad rebound to tan_rad": """
        from ORVEX import numerix
        numerix.sin_rad = numerix.tan_rad
        outcome(lambda: numerix.tan_rad(0.5))""",
    "huge recursion limit, stack guard": """
        import sys
        from ORVEX import numerix
        sys.setrecursionlimit(10**6)
        numerix.exp = numerix.cosh
        outcome(lambda: numerix.cosh(1.0))""",
    "nested spatix operands": """
        from ORVEX.spatix import spatix
        a = spatix(1.0, 2.0, 3.0)
        for _ in range(100000):
            a = spatix(a, 0.0, 0.0)
        outcome(lambda: a + a)""",
    "nested multiX operands": """
        from ORVEX.multix import multiX
        a = multiX(1.0)
        for _ in range(100000):
            a = multiX(a)
        outcome(lambda: a * 2.0)""",
    "RNN_HYBRID layer through hybrid rebound to layer": """
        from ORVEX import synaptra
        net = synaptra.RNN_HYBRID(1.0, 2.0, 2)
        synaptra.hybrid = lambda z: net.layer()
        outcome(net.layer)""",
}


@pytest.mark.parametrize("body", RECURSION.values(), ids=RECURSION.keys())
def test_reentry_raises_recursion_error(body):
    assert run(body) == "RecursionError"


SMALL_STACKS = {
    # (stack size, probe body run in the thread, expected)
    "planix in a 256 KiB thread": (256 * 1024, "lambda: planix.planix(1.0, 2.0).length()", "ok"),
    "numerix in a 128 KiB thread": (128 * 1024, "lambda: numerix.FixSoftmax([1.0, 2.0])", "ok"),
    "re-entry in a 64 KiB thread": (64 * 1024, "lambda: numerix.maximum(A())", "RecursionError"),
    "re-entry in a 1 MiB thread": (1024 * 1024, "lambda: numerix.maximum(A())", "RecursionError"),
}


@pytest.mark.parametrize("size, call, expected", SMALL_STACKS.values(), ids=SMALL_STACKS.keys())
def test_threads_with_small_stacks(size, call, expected):
    assert run(f"""
        import threading
        from ORVEX import numerix, planix
        class A: __float__ = numerix.maximum
        threading.stack_size({size})
        t = threading.Thread(target=outcome, args=({call},))
        t.start()
        t.join()""") == expected


# ---------------------------------------------------------------------------
# Sizes from Python
# ---------------------------------------------------------------------------
MODEL = """
import os, tempfile
from ORVEX import synaptra
os.chdir(tempfile.mkdtemp())
synaptra.read = lambda f: ['a', 'b', 'c']
"""

SIZES = {
    "exp with negative terms": ("from ORVEX import numerix; print(numerix.exp(2.0, -5))", "1"),
    "log with negative terms": ("from ORVEX import numerix; print(numerix.log(2.0, -5))", "0"),
    "sin_rad with negative terms": ("from ORVEX import numerix; print(numerix.sin_rad(2.0, -5))", "0"),
    "factorial of a negative": ("from ORVEX import numerix; print(numerix.factorial(-7))", "1"),
    "random with a negative seed": (
        "from ORVEX import numerix; print(numerix.random(-5, 0.0, 1.0).x == (1103515245 * -5 + 12345) % (2 * 10**32))",
        "True"),
    "RNN_HYBRID with negative neurons": (  # 1/sqrt(-3) is complex, as in Python
        "from ORVEX import synaptra; outcome(lambda: synaptra.RNN_HYBRID(1.0, 2.0, -3))", "TypeError"),
    "RNN_HYBRID layer with a negative amount": (
        "from ORVEX import synaptra; n = synaptra.RNN_HYBRID(1.0, 2.0, 2); n.amount = -3; n.layer();"
        "print(len(n.wh), n.h)", "2 [0, 0]"),
    "RNN_HYBRID with 10**12 neurons": (
        "from ORVEX import synaptra; outcome(lambda: synaptra.RNN_HYBRID(1.0, 2.0, 10**12))", "MemoryError"),
    "RNN_HYBRID run with negative times": (
        "import builtins; builtins.input = lambda p: 'N'\nfrom ORVEX import synaptra\n"
        "n = synaptra.RNN_HYBRID(1.0, 2.0, 2); outcome(lambda: n.run(-4))", "ok"),
    "RNNLM_HYBRID with negative sizes": (
        MODEL + "m = synaptra.RNNLM_HYBRID(-2, 'd', 3, neurons=2); print(m.who, m.embedings, m.bo)",
        "[] [] []"),
    "RNNLM_HYBRID run and train with negative counts": (
        MODEL + "m = synaptra.RNNLM_HYBRID(3, 'd', 2, neurons=2); m.warmup('a b')\n"
        "m.run(-3, 'a', 'b'); m.run(-3); print(m.reply)", "[]"),
}


@pytest.mark.parametrize("body, expected", SIZES.values(), ids=SIZES.keys())
def test_sizes_from_python(body, expected):
    assert run(body) == expected


# ---------------------------------------------------------------------------
# Memory exhaustion
# ---------------------------------------------------------------------------
LIMITED = """
import resource
def limit_address_space(extra):
    with open('/proc/self/statm') as f:
        used = int(f.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + extra, used + extra))
"""

MEMORY = {
    "FixSoftmax of 20 million floats": "from ORVEX import numerix\nx = [1.0] * 20_000_000\n"
                                       "limit_address_space(64 << 20)\nf = lambda: numerix.FixSoftmax(x)",
    "Argmax of 20 million floats": "from ORVEX import numerix\nx = [1.0] * 20_000_000\n"
                                   "limit_address_space(64 << 20)\nf = lambda: numerix.Argmax(x)",
    "RNN_HYBRID with 20000 neurons": "from ORVEX import synaptra\n"
                                     "limit_address_space(32 << 20)\n"
                                     "f = lambda: synaptra.RNN_HYBRID(1.0, 2.0, 20000)",
}


@pytest.mark.skipif(SANITIZED, reason="RLIMIT_AS cannot be used under the sanitizers")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize("body", MEMORY.values(), ids=MEMORY.keys())
def test_memory_limit_raises_memory_error(body):
    assert run(LIMITED + body + "\noutcome(f)") == "MemoryError"


# Allocation failures injected at every allocation from the n-th on, for n over a range:
# each call must raise MemoryError or succeed, and the module must work afterwards.
NOMEMORY = {
    "FixSoftmax, double path": ("from ORVEX import numerix",
                                "numerix.FixSoftmax([1.0, 2.0, 3.0, 0.5])", 120),
    "FixSoftmax, object path": ("from ORVEX import numerix",
                                "numerix.FixSoftmax([1, 2.0, True, 3])", 200),
    "Argmax": ("from ORVEX import numerix", "numerix.Argmax([1.0, 7, 3.5])", 60),
    "exp object path": ("from ORVEX import numerix", "numerix.exp(True, 12)", 200),
    "RNN_HYBRID constructor": ("from ORVEX import synaptra", "synaptra.RNN_HYBRID(1.0, 2.0, 4).wh", 400),
    "RNN_HYBRID layer": ("from ORVEX import synaptra\nn = synaptra.RNN_HYBRID(1.0, 2.0, 3)",
                         "n.layer()", 300),
    "RNNLM_HYBRID constructor": ("from ORVEX import synaptra\nsynaptra.read = lambda f: ['a', 'b', 'c']",
                                 "synaptra.RNNLM_HYBRID(3, 'd', 3, neurons=3).who", 400),
    "spatix arithmetic": ("from ORVEX.spatix import spatix\na = spatix(1.0, 2, 3.5)",
                          "vars((a + a) // a * 2.5)", 120),
}


@pytest.mark.parametrize("setup, call, count", NOMEMORY.values(), ids=NOMEMORY.keys())
def test_allocation_failures_never_crash(setup, call, count):
    pytest.importorskip("_testcapi")
    import _testcapi
    if not hasattr(_testcapi, "set_nomemory"):
        pytest.skip("no _testcapi.set_nomemory")
    out = run("import _testcapi\n" + setup + textwrap.dedent(f"""
        def attempt():
            return {call}
        expected = attempt()
        seen = set()
        for start in range(1, {count}):
            _testcapi.set_nomemory(start, 0)
            try:
                attempt()
                seen.add('ok')
            except MemoryError:
                seen.add('MemoryError')
            finally:
                _testcapi.remove_mem_hooks()
        assert attempt() == expected
        print(' '.join(sorted(seen)))"""))
    # (Some calls allocate nothing the hooks see on a given version: "ok" alone.)
    assert out in ("MemoryError ok", "MemoryError", "ok")


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="the interpreter's own import system does not survive "
                    "injected allocation failures on 3.12+ (importing json the same way crashes 3.13.0)")
def test_failed_imports_leave_nothing_half_made():
    # One allocation fails at each position in turn while the modules are imported (until
    # an import succeeds: a module made once is not made again). A failed import raises
    # (MemoryError, or the import system's RuntimeError for a lock) and a later import
    # gives working modules.
    pytest.importorskip("_testcapi")
    import _testcapi
    if not hasattr(_testcapi, "set_nomemory"):
        pytest.skip("no _testcapi.set_nomemory")
    out = run("""
        import sys, _testcapi
        seen = set()
        for start in range(1, 3000):
            for name in [m for m in sys.modules if m.startswith('ORVEX.')]:
                del sys.modules[name]
            _testcapi.set_nomemory(start, start + 1)
            try:
                import ORVEX.synaptra, ORVEX.tintra, ORVEX.multix
                seen.add('ok')
            except (MemoryError, RuntimeError) as e:
                seen.add(type(e).__name__)
            finally:
                _testcapi.remove_mem_hooks()
        from ORVEX import numerix, synaptra, tintra, spatix, multix
        assert numerix.FixSoftmax([1.0, 1.0]) == [0.5, 0.5]
        assert synaptra.hybrid(-1.0) == -0.01
        assert tintra.Color3(spatix.spatix(255, 0, 16)).to_hex() == '#ff0010'
        assert (multix.multiX(1, 2) * 2).values == (2, 4)
        print('MemoryError' in seen and 'ok' in seen)""")
    assert out == "True"


# ---------------------------------------------------------------------------
# Ctrl-C
# ---------------------------------------------------------------------------
# A real SIGINT from another process, sent when the probe says its loop starts (a line on the
# helper's stdin), not after a delay: however slow the machine, the signal cannot come before the
# probe is ready nor after a loop that runs for hours. `interrupted(f)` is what the probe runs.
INTERRUPT = """
import os, signal, subprocess, sys
_killer = subprocess.Popen(['sh', '-c', 'read _ && kill -INT %d' % os.getpid()], stdin=subprocess.PIPE)
def interrupted(f):
    def start():
        _killer.stdin.write(b'go\\n')
        _killer.stdin.close()
        f()
    return start
"""

SIGNALS = {
    "exp with 10**15 terms": "from ORVEX import numerix\nf = lambda: numerix.exp(1.0, 10**15)",
    "exp object path": "from ORVEX import numerix\nf = lambda: numerix.exp(True, 10**15)",
    "log with 10**15 terms": "from ORVEX import numerix\nf = lambda: numerix.log(1.5, 10**15)",
    "sin_rad object path": "from ORVEX import numerix\nnumerix.factorial = float\n"
                           "f = lambda: numerix.sin_rad(0.5, 10**15)",
    "factorial of 10**8": "from ORVEX import numerix\nf = lambda: numerix.factorial(10**8)",
    "FixSoftmax object path": "from ORVEX import numerix\nx = [True] * 20000\n"
                              "f = lambda: numerix.FixSoftmax(x)",
    "RNNLM_HYBRID.run(10**15, 'a', 'b')": MODEL + "m = synaptra.RNNLM_HYBRID(3, 'd', 4, neurons=4)\n"
                                                  "m.warmup('a b c')\nf = lambda: m.run(10**15, 'a', 'b')",
    "RNNLM_HYBRID.run in sentence mode": MODEL + "m = synaptra.RNNLM_HYBRID(3, 'd', 4, neurons=4)\n"
                                                 "m.warmup('a b c')\nsys.stdout = open(os.devnull, 'w')\n"
                                                 "f = lambda: m.run(10**15)",
    "RNNLM_HYBRID.train(10**9)": MODEL + "m = synaptra.RNNLM_HYBRID(3, 'd', 4, neurons=4)\nm.warmup('a')\n"
                                         "sys.stdout = open(os.devnull, 'w')\nf = lambda: m.train(10**9)",
    "RNN_HYBRID.run(10**15)": "from ORVEX import synaptra\nn = synaptra.RNN_HYBRID(1.0, 2.0, 3)\n"
                              "f = lambda: n.run(10**15)",
    "RNN_HYBRID with 4000 neurons": "from ORVEX import synaptra\n"
                                    "synaptra.random = lambda s, lo, hi: (lambda: 0.5)\n"
                                    "f = lambda: synaptra.RNN_HYBRID(1.0, 2.0, 4000)",
}


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="uses kill(1)")
@pytest.mark.parametrize("body", SIGNALS.values(), ids=SIGNALS.keys())
def test_ctrl_c_stops_long_loops(body):
    # The timeout only ends a probe that hangs; the outcome is what is checked.
    assert run(INTERRUPT + body + "\noutcome(interrupted(f))", timeout=600) == "KeyboardInterrupt"
