"""Run a snippet in a child interpreter, so that a crash fails one test instead of the run.

The child imports the same ORVEX as the test run (its package folder is put first on the
child's path) and inherits the environment (a sanitizer's LD_PRELOAD included).
"""
import os
import subprocess
import sys
import textwrap

import ORVEX

_PKG_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(ORVEX.__file__)))


def child_env(env=None):
    """This environment, with the tested ORVEX first on the path, updated with `env`."""
    result = dict(os.environ)
    result["PYTHONPATH"] = os.pathsep.join(p for p in (_PKG_PARENT, result.get("PYTHONPATH")) if p)
    result.update(env or {})
    return result


def run_probe(code, *, timeout=120, cwd=None, env=None):
    """Run `code` (dedented) with `python -c`; returns the CompletedProcess (text output).

    A negative returncode means the child died of a signal: the fault these probes look for.
    """
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, cwd=cwd, env=child_env(env))


def probe_outcome(code, **kw):
    """The last line the child printed, or 'signal N' / 'exit N: <stderr tail>' otherwise.

    Probes print their outcome last (e.g. `print(type(e).__name__)`), so a table of cases
    compares one string each.
    """
    r = run_probe(code, **kw)
    if r.returncode < 0:
        return f"signal {-r.returncode}"
    if r.returncode != 0:
        return f"exit {r.returncode}: {r.stderr.strip().splitlines()[-1:] }"
    lines = r.stdout.strip().splitlines()
    return lines[-1] if lines else ""
