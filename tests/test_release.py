"""What a release promises besides the modules: one version, and docs/numerics.md as the module
computes it."""
import glob
import importlib.metadata
import importlib.util
import os
import re

import pytest

import ORVEX
from probe import probe_outcome

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def read(*path):
    with open(os.path.join(ROOT, *path), encoding="utf-8") as f:
        return f.read()


def project_version():
    return re.search(r'(?m)^version = "([^"]+)"', read("pyproject.toml")).group(1)


def test_version_comes_from_the_package_metadata():
    pkg = os.path.dirname(os.path.abspath(ORVEX.__file__))
    installed = glob.glob(os.path.join(pkg, os.pardir, "[Oo][Rr][Vv][Ee][Xx]-*.dist-info"))
    if installed:  # an installed package: its metadata, which pyproject.toml wrote
        assert ORVEX.__version__ == importlib.metadata.version("ORVEX") == project_version()
    else:  # a development build on the path has no metadata of its own
        assert ORVEX.__version__ == "0+unknown"


def test_changelog_names_this_version_first():
    assert re.search(r"(?m)^## (\S+)", read("CHANGELOG.md")).group(1) == project_version()


@pytest.mark.parametrize("code, expected", [
    # importing the package imports none of its modules, nor the metadata reader
    ("import sys, ORVEX\nprint(sorted(m for m in sys.modules if m.startswith('ORVEX.') or m == 'importlib.metadata'))",
     "[]"),
    ("import ORVEX\nprint(ORVEX.__version__ == ORVEX.__version__ != '')", "True"),
    ("import ORVEX\ntry:\n    ORVEX.version\nexcept AttributeError as e:\n    print(e)",
     "module 'ORVEX' has no attribute 'version'"),
])
def test_import_stays_lazy(code, expected):
    assert probe_outcome(code) == expected


def test_numerics_page_is_what_the_module_computes():
    found = importlib.util.spec_from_file_location("numerics_doc", os.path.join(ROOT, "tools", "numerics_doc.py"))
    doc = importlib.util.module_from_spec(found)
    found.loader.exec_module(doc)
    assert read("docs", "numerics.md") == doc.render(), "docs/numerics.md is stale: run tools/numerics_doc.py"
    # the facts a reader comes for, whatever the wording around them
    page = read("docs", "numerics.md")
    for fact in ("| `log(3)` | −34359.70809 |", "| `exp(-10)` | −27.70631024 |", "| `tanh(10)` | 1.00252764 |",
                 "| `sigmoid(20)` | −4.582406912e−08 |", "| `log(x)` | `math.log` | 0.591 ≤ x ≤ 1.42 |"):
        assert fact in page
