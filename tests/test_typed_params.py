"""Implementations with named, typed parameters (rt::typed): each converted argument reaches
the parameter of its name, and a module whose implementation disagrees with its declaration
(how many parameters, or a C++ type its conversion does not give) fails to import with a
SystemError naming the function. Builds a small module from tests/native with the host's
C++ compiler (skipped without one)."""
import importlib.machinery
import importlib.util
import os
import shutil
import subprocess
import sysconfig

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CASES = {"typed_ok": 0, "typed_arity": 1, "typed_type": 2, "typed_new": 3}
SHORT = 4  # a declaration naming fewer parameters than its implementation: no module at all


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    cxx = shutil.which(os.environ.get("CXX", "g++")) or shutil.which("c++")
    include = sysconfig.get_paths()["include"]
    if not cxx or not os.path.exists(os.path.join(include, "Python.h")):
        pytest.skip("no C++ compiler or Python headers")
    out = tmp_path_factory.mktemp("typed")
    flags = ["-std=c++17", "-O1", "-fPIC", "-fvisibility=hidden", "-I" + os.path.join(ROOT, "runtime"),
             "-I" + include]
    rt_obj = str(out / "rt.o")
    subprocess.run([cxx, *flags, "-c", os.path.join(ROOT, "runtime", "rt.cpp"), "-o", rt_obj], check=True)
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    paths = {}
    for name, case in CASES.items():
        paths[name] = str(out / (name + suffix))
        subprocess.run([cxx, *flags, "-shared", "-DTYPED_CASE=%d" % case,
                        os.path.join(ROOT, "tests", "native", "typed_params.cpp"), rt_obj, "-o", paths[name]],
                       check=True)
    short = subprocess.run([cxx, *flags, "-shared", "-DTYPED_CASE=%d" % SHORT,
                            os.path.join(ROOT, "tests", "native", "typed_params.cpp"), rt_obj, "-o",
                            str(out / ("typed_short" + suffix))], capture_output=True, text=True)
    paths["short"] = (short.returncode, short.stderr)
    return paths


def load(paths, name):
    found = importlib.util.spec_from_file_location(name, paths[name])
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


@pytest.mark.parametrize("args, kwargs, expected", [
    ((1.5, 2, "a"), {}, (1.5, 2, "a", (), 7)),
    ((2, True, "b", 3, 4), {"flag": 5.9}, (2.0, 1, "b", (3, 4), 5)),
    ((), {"name": "c", "n": -3, "x": 0.25, "flag": 1}, (0.25, -3, "c", (), 1)),
])
@pytest.mark.parametrize("name", ["typed_ok", "typed_new"])
def test_each_argument_reaches_its_parameter(built, args, kwargs, expected, name):
    m = load(built, name)
    assert m.echo(*args, **kwargs) == expected
    assert m.none() is None
    assert m.echo.__annotations__ == {"x": "float", "name": "str", "flag": "int"}
    with pytest.raises(TypeError, match=r"Argument 'name' has incorrect type \(expected str, got int\)"):
        m.echo(1.0, 2, 3)


def test_a_declaration_short_of_parameters_does_not_compile(built):
    returncode, stderr = built["short"]
    assert returncode != 0 and "as many parameters as its implementation takes" in stderr


@pytest.mark.parametrize("name, message", [
    ("typed_arity", "echo(): the implementation takes 5 parameters, the declaration 2"),
    ("typed_type", "echo(): parameter 'n' is taken as int by the implementation, its declaration gives double"),
])
def test_a_mismatch_fails_the_import(built, name, message):
    with pytest.raises(SystemError) as e:
        load(built, name)
    assert str(e.value) == message
