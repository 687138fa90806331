import ast
import copy
import inspect
import math
import os
import struct
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from ORVEX import lystra
from probe import probe_outcome


# ---------------------------------------------------------------------------
# helpers
# ---------------------------------------------------------------------------
def put(path, text):
    with open(path, "w") as f:
        f.write(text)
    return str(path)


def raw(path):
    with open(path, "rb") as f:
        return f.read()


def same(x, y, nan_sign=True):
    """Equal values of equal types; floats compared bit for bit, except that NaNs match any NaN
    (of the same sign unless `nan_sign` is false). The printed form keeps neither a NaN's sign
    nor the signs of a complex number's zero parts, so round trips compare with nan_sign=False."""
    if type(x) is not type(y):
        return False
    if isinstance(x, float):
        if math.isnan(x) or math.isnan(y):
            return math.isnan(x) and math.isnan(y) and (not nan_sign or math.copysign(1, x) == math.copysign(1, y))
        return struct.pack("<d", x) == struct.pack("<d", y)
    if isinstance(x, complex):
        return all(same(p, q, nan_sign) or (not nan_sign and p == q) for p, q in ((x.real, y.real), (x.imag, y.imag)))
    if isinstance(x, (list, tuple)):
        return len(x) == len(y) and all(same(a, b, nan_sign) for a, b in zip(x, y))
    if isinstance(x, dict):
        return len(x) == len(y) and all(
            same(k, l, nan_sign) and same(v, w, nan_sign) for (k, v), (l, w) in zip(x.items(), y.items()))
    if isinstance(x, set):  # NaN keys are never equal to each other: match elements one by one
        return len(x) == len(y) and all(any(same(e, f, nan_sign) for f in y) for e in x)
    return x == y


def oracle(text):
    """What reading the statement format must give, built on the standard library's literal
    evaluation: only NAME = LITERAL statements, plus the names of non-finite numbers."""
    # A new object for every occurrence, as for any other literal: {nan, nan} holds two NaNs.
    specials = {"nan": lambda: float("nan"), "inf": lambda: float("inf"),
                "nanj": lambda: complex(0, float("nan")), "infj": lambda: complex(0, float("inf"))}

    class Specials(ast.NodeTransformer):
        def visit_Name(self, node):
            if node.id in specials:
                return ast.copy_location(ast.Constant(specials[node.id]()), node)
            return node

    class Unhashed(ast.NodeTransformer):
        # The same tree with nothing hashed: sets and dicts become lists.
        def visit_Set(self, node):
            return ast.List([self.visit(e) for e in node.elts], ast.Load())

        def visit_Dict(self, node):
            if None in node.keys:
                return node
            pairs = [ast.Tuple([self.visit(k), self.visit(v)], ast.Load()) for k, v in zip(node.keys, node.values)]
            return ast.List(pairs, ast.Load())

    tree = ast.parse(text)
    for stmt in tree.body:  # anything but literals is refused first, wherever it stands
        if not isinstance(stmt, ast.Assign) or not all(isinstance(t, ast.Name) for t in stmt.targets):
            raise ValueError("not an assignment")
        ast.literal_eval(Unhashed().visit(Specials().visit(copy.deepcopy(stmt.value))))
    env = {}
    for stmt in tree.body:
        value = ast.literal_eval(Specials().visit(stmt.value))
        for t in stmt.targets:
            env[t.id] = value
    a = env["a"]
    if a is not None and type(a) is not list:
        raise TypeError("Expected list, got %s" % type(a).__name__)
    return a


def outcome(fn, *args):
    try:
        return ("ok", fn(*args))
    except (ValueError, SyntaxError, TypeError, KeyError, MemoryError, RecursionError) as e:
        return ("error", type(e))


# ---------------------------------------------------------------------------
# the module's face
# ---------------------------------------------------------------------------
def test_module_surface():
    assert lystra.__doc__ == "helt klar ikke en knockoff af pickle"
    assert sorted(n for n in vars(lystra) if not n.startswith("__")) == ["read", "readl", "write", "writel"]


@pytest.mark.parametrize(
    "name, doc, annotations, signature",
    [
        ("writel", "writes lists to file can be read/loaded using lystra.read(file)",
         {"file": "str", "lists": "list"}, "(*lists: 'list', file: 'str')"),
        ("readl", "returns list with lists or strings if lists were not what was saved",
         {"file": "str", "return": "list"}, "(file: 'str') -> 'list'"),
        ("write", "write list to file", {"data": "list", "file": "str"}, "(data: 'list', file: 'str')"),
        ("read", "read list from file", {"file": "str", "return": "list"}, "(file: 'str') -> 'list'"),
    ],
)
def test_function_metadata(name, doc, annotations, signature):
    fn = getattr(lystra, name)
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__module__ == "ORVEX.lystra"
    assert fn.__doc__ == doc
    assert list(fn.__annotations__.items()) == list(annotations.items())  # in this order
    assert str(inspect.signature(fn)) == signature


class ListSub(list):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: lystra.writel([1], file=5),
         "Argument 'file' has incorrect type (expected str, got int)"),
        (lambda f: lystra.writel([1]), "writel() needs keyword-only argument file"),
        (lambda f: lystra.writel(), "writel() needs keyword-only argument file"),
        (lambda f: lystra.writel([1], file=f, mode="w"), "writel() got an unexpected keyword argument 'mode'"),
        (lambda f: lystra.write((1, 2), f), "Argument 'data' has incorrect type (expected list, got tuple)"),
        (lambda f: lystra.write(None, f), "Argument 'data' has incorrect type (expected list, got NoneType)"),
        (lambda f: lystra.write(ListSub([1]), f), "Argument 'data' has incorrect type (expected list, got ListSub)"),
        (lambda f: lystra.write([1], None), "Argument 'file' has incorrect type (expected str, got NoneType)"),
        (lambda f: lystra.write([1]), "write() takes exactly 2 positional arguments (1 given)"),
        (lambda f: lystra.write([1], f, f), "write() takes exactly 2 positional arguments (3 given)"),
        (lambda f: lystra.write([1], data=[2]), "write() got multiple values for keyword argument 'data'"),
        (lambda f: lystra.read(), "read() takes exactly 1 positional argument (0 given)"),
        (lambda f: lystra.read(f, f), "read() takes exactly 1 positional argument (2 given)"),
        (lambda f: lystra.read(os.fsencode(f)), "Argument 'file' has incorrect type (expected str, got bytes)"),
        (lambda f: lystra.readl(file=3.5), "Argument 'file' has incorrect type (expected str, got float)"),
        (lambda f: lystra.readl(f, name=f), "readl() got an unexpected keyword argument 'name'"),
    ],
)
def test_argument_errors_touch_no_file(tmp_path, call, message):
    target = str(tmp_path / "t.mem")
    with pytest.raises(TypeError) as e:
        call(target)
    assert message in str(e.value)
    assert os.listdir(tmp_path) == []


# ---------------------------------------------------------------------------
# the separator format
# ---------------------------------------------------------------------------
@pytest.mark.parametrize(
    "lists, text, back",
    [
        ([], "", [[""]]),
        ([[]], "", [[""]]),
        ([[1, 2.5], ["x", "y"]], "1,2.5;x,y", [["1", "2.5"], ["x", "y"]]),
        ([[1], []], "1;", [["1"], [""]]),
        ([[], [1]], ";1", [[""], ["1"]]),
        ([[], []], ";", [[""], [""]]),
        (["ab"], "a,b", [["a", "b"]]),
        ([(1e-05, None, True)], "1e-05,None,True", [["1e-05", "None", "True"]]),
        ([[[1, 2]]], "[1, 2]", [["1", " 2"]]),
        ([["x;"]], "x;", [["x"], [""]]),
        ([["it's", "[a]"]], "it's,[a]", [["its", "a"]]),
        ([iter([1, 2]), {"k": 0}], "1,2;k", [["1", "2"], ["k"]]),
        ([["é", "\t"]], "é,\t", [["é", "\t"]]),
    ],
)
def test_separator_format(tmp_path, lists, text, back):
    path = str(tmp_path / "s.txt")
    assert lystra.writel(*lists, file=path) is None
    assert raw(path) == text.encode()
    assert lystra.readl(path) == back
    assert lystra.readl(file=path) == back


@pytest.mark.parametrize(
    "text, back",
    [
        ("['a', 'b']", [["a", " b"]]),
        ("a,,b;;", [["a", "", "b"], [""], [""]]),
        ("x\ny;1\r\n", [["x\ny"], ["1\n"]]),
    ],
)
def test_readl_splitting(tmp_path, text, back):
    path = tmp_path / "s.txt"
    path.write_bytes(text.encode())
    assert lystra.readl(str(path)) == back


def test_writel_items_that_mutate_their_list(tmp_path):
    data = [1, 2, 3]

    class Shrinks:
        def __str__(self):
            data.clear()
            return "s"

    data.insert(0, Shrinks())
    lystra.writel(data, file=str(tmp_path / "s.txt"))
    assert raw(tmp_path / "s.txt") == b"s"


def test_writel_subclass_str_items_go_through_str(tmp_path):
    class Loud(str):
        def __str__(self):
            return "LOUD"

    lystra.writel(["plain", Loud("quiet")], file=str(tmp_path / "s.txt"))
    assert raw(tmp_path / "s.txt") == b"plain,LOUD"


# ---------------------------------------------------------------------------
# the statement format
# ---------------------------------------------------------------------------
@pytest.mark.parametrize(
    "data, text",
    [
        ([0.5, -1.25], "a = [0.5, -1.25]\nf=0"),
        ([], "a = []\nf=0"),
        ([[0.5, 1.0], [2.0]], "a = [[0.5, 1.0], [2.0]]\nf=0"),
        (["it's", 'say "hi"'], "a = [\"it's\", 'say \"hi\"']\nf=0"),
        ([float("nan"), float("-inf")], "a = [nan, -inf]\nf=0"),
    ],
)
def test_statement_format_bytes(tmp_path, data, text):
    path = str(tmp_path / "m.mem")
    assert lystra.write(data, path) is None
    assert raw(path) == text.replace("\n", os.linesep).encode()
    assert same(lystra.read(path), data)


STRINGS = ["", "'", '"', "'\"", "\\", "\n\r\t\x0b\x0c\x07\x08\x00\x1f\x7f", "\x80\xff\u0100\u20ac",
           "\ud800\udfff", "\U0001f600\U0010ffff", "é", "\\x41\\n", "a'b\"c\\d"]

ROUND_TRIPS = [
    [0.1, 1 / 3, -2.5e-310, 5e-324, 1.7976931348623157e308, -0.0, 0.0, 1e16, 1e22, 123456789.0],
    [0, -0, 1, -1, 10**18 - 1, -(10**18), 10**19, -(2**64) - 1, 10**4000],
    STRINGS,
    [None, True, False, [], (), {}, set(), [[]], [(1,)], (1, [2]), {"k": [1.5], 2: (3,)}, {1, "x"}],
    [float("nan"), float("inf"), float("-inf"), [float("inf"), {"n": float("-inf")}]],
    [1j, 1 - 1j, 1 + 2j, -1.5 - 0.5j, complex(1, float("inf")), complex(float("nan"), -float("inf"))],
    [b"", b"\x00\xff'\"\\", b"abc"],
    [[[[[[[[1.5]]]]]]]],
]


@pytest.mark.parametrize("data", ROUND_TRIPS)
def test_round_trip_both_readers(tmp_path, data):
    path = str(tmp_path / "m.mem")
    lystra.write(data, path)
    assert same(lystra.read(path), data)
    # A comment sends the same text through the general reader.
    slow = put(tmp_path / "slow.mem", "# general\n" + raw(path).decode())
    assert same(lystra.read(slow), data)


@pytest.mark.parametrize("data", ROUND_TRIPS[:4])
def test_same_as_executing_a_trusted_file(tmp_path, data):
    path = str(tmp_path / "m.mem")
    lystra.write(data, path)
    local = {}
    exec(raw(path).decode(), {"f": ""}, local)
    assert same(lystra.read(path), local["a"])


def test_every_float_bit_identical(tmp_path):
    import random

    rng = random.Random(7)
    data = [struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0] for _ in range(20000)]
    data = [x for x in data if not math.isnan(x)]
    data += [rng.uniform(-1, 1) for _ in range(20000)] + [float(repr(x)[:12]) for x in data[:5000]]
    path = str(tmp_path / "m.mem")
    lystra.write(data, path)
    assert same(lystra.read(path), data)


@pytest.mark.parametrize(
    "text, result",
    [
        ("a = None", None),
        ("a = [1]\na = [2]\n", [2]),
        ("a = b = [1]", [1]),
        ("f=0;a=[1];", [1]),
        ("\n\n  \na = [\n  1,\n  2,\n]\n\n", [1, 2]),
        ("a = [1]\r\nf=0\r\n", [1]),
        ("a = [1]\rf=0", [1]),
        ("a = [-nan, +inf, - 1, +2.5, 1., .5, 1e3, 00, 1E-3]", [-math.nan, math.inf, -1, 2.5, 1.0, 0.5, 1000.0, 0, 0.001]),
        ("a = [(1), (1,), {1: 'a', 1.0: 'b'}, {1, 1.0, True}]", [1, (1,), {1: "b"}, {1}]),
        ("a = ['a' 'b', r'\\d', u'x', '''t''', 0x10, 1_000, 0o7, 0b1, 1e1j]", ["ab", "\\d", "x", "t", 16, 1000, 7, 1, 10j]),
        ("a = [...]", [...]),
        ("a = [set()]", [set()]),
        ("a = [(nan+infj), (1-nanj)]", [complex(math.nan, math.inf), complex(1, math.nan)]),
        ("# -*- coding: latin-1 -*-\na = ['é']", ["é"]),
        ("\uff41 = [1]", [1]),
    ],
)
def test_read_accepts(tmp_path, text, result):
    assert same(lystra.read(put(tmp_path / "m.mem", text)), result)


@pytest.mark.parametrize(
    "text, error, message",
    [
        ("a = 5", TypeError, "Expected list, got int"),
        ("a = (1, 2)", TypeError, "Expected list, got tuple"),
        ("a = 1, 2", TypeError, "Expected list, got tuple"),
        ("", KeyError, "'a'"),
        ("b = [1]\nf=0", KeyError, "'a'"),
        ("a = [1,", SyntaxError, "never closed" if sys.version_info >= (3, 10) else "unexpected EOF"),
        ("a = [1]]", SyntaxError, ""),
        (" a = [1]", SyntaxError, "indent"),
        ("a = [01]", SyntaxError, "leading zeros"),
        ("a = ['x\n']", SyntaxError, ""),
        ("a = [1 2]", SyntaxError, ""),
        ("a=[1]\0", SyntaxError, "null bytes"),
        ("a = [" + "1" * 5000 + "]", SyntaxError, "4300"),
        ("a = [{[1]: 2}]", TypeError, "unhashable"),
        ("a = [{[1]}]", TypeError, "unhashable"),
        ("a = [{[1]: 2}, x]", ValueError, "the name 'x'"),
        ("a = {[]: 1}\nb = f()", ValueError, "line 2"),
    ],
)
def test_read_errors(tmp_path, text, error, message):
    path = put(tmp_path / "m.mem", text)
    with pytest.raises(error) as e:
        lystra.read(path)
    assert message in str(e.value)


@pytest.mark.parametrize(
    "payload, found",
    [
        ("a = __import__('os').system('touch {m}')", "a call"),
        ("a = [open('{m}', 'w')]", "a call"),
        ("import os; a = os.system('touch {m}')", "an import"),
        ("a = [1]\nexec(\"open('{m}', 'w')\")", "an expression statement"),
        ("a = [f\"{{open('{m}', 'w')}}\"]", "an f-string"),
        ("a = [(lambda: open('{m}', 'w'))()]", "a call"),
        ("a = [x for x in [open('{m}', 'w')]]", "a comprehension"),
        ("a = [().__class__]", "an attribute access"),
        ("a = [[1][0]]", "a subscript"),
        ("a = [1 + 1]", "an operator"),
        ("a = [--1]", "an operator"),
        ("a = [-True]", "an operator"),
        ("a = [1 + 2]", "an operator"),
        ("a = [1 < 2]", "an operator"),
        ("a = [*[1]]", "an unpacking"),
        ("a = [{{**{{}}}}]", "a Dict node"),
        ("a = [set([1])]", "a call"),
        ("a = [f]", "the name 'f'"),
        ("a = [(b := open('{m}', 'w'))]", "NamedExpr"),
        ("a: list = [1]", "AnnAssign"),
        ("a, b = [1], 2", "an assignment to something other than a plain name"),
        ("a[0] = 1", "an assignment to something other than a plain name"),
        ("@open('{m}', 'w')\ndef a(): pass", "FunctionDef"),
        ("class a(list): pass", "ClassDef"),
        ("a = [1]\nif True: open('{m}', 'w')", "If"),
    ],
)
def test_nothing_runs(tmp_path, payload, found):
    marker = tmp_path / "marker"
    path = put(tmp_path / "evil.mem", payload.format(m=marker))
    with pytest.raises(ValueError) as e:
        lystra.read(path)
    message = str(e.value)
    assert path in message and found in message and "nothing was run" in message
    assert not marker.exists()


@pytest.mark.parametrize(
    "text, error",
    [
        ("a = " + "[" * 100000 + "]" * 100000, SyntaxError),
        ("a = " + "(" * 250 + ")" * 250, SyntaxError),
        ("a = " + "-" * 200000 + "1", MemoryError),
        ("a = [" + "9" * 10**6 + "]", SyntaxError),
    ],
)
def test_hostile_sizes_fail_cleanly(tmp_path, text, error):
    with pytest.raises(error) as e:
        lystra.read(put(tmp_path / "m.mem", text))
    assert str(e.value)


def test_megabyte_float_is_read_exactly(tmp_path):
    digits = "0." + "3" * 10**6 + "1e5"
    assert same(lystra.read(put(tmp_path / "m.mem", "a = [%s]" % digits)), [float(digits)])


def test_invalid_utf8_is_a_decoding_error(tmp_path):
    path = tmp_path / "m.mem"
    path.write_bytes(b"a = ['\xff\xfe']")
    if sys.flags.utf8_mode or __import__("locale").getpreferredencoding(False).lower() in ("utf-8", "utf8"):
        with pytest.raises(UnicodeDecodeError):
            lystra.read(str(path))


# ---------------------------------------------------------------------------
# crash-safe writing
# ---------------------------------------------------------------------------
DEEP_LIST = [1.5]
for _ in range(10**5):
    DEEP_LIST = [DEEP_LIST]


class BadStr:
    def __str__(self):
        raise RuntimeError("no text")

    __repr__ = __str__


@pytest.mark.parametrize(
    "action, error",
    [
        (lambda p: lystra.write([1.5, BadStr()], p), RuntimeError),
        (lambda p: lystra.writel([1], [BadStr()], file=p), RuntimeError),
        (lambda p: lystra.writel([1], 5, file=p), TypeError),
        (lambda p: lystra.writel(["\ud800"], file=p), UnicodeEncodeError),
        (lambda p: lystra.write(["\ud800", b"x"], p), None),  # printed form escapes it: succeeds
        (lambda p: lystra.write(DEEP_LIST, p), RecursionError),
        pytest.param(lambda p: lystra.write([1.5, 10 ** 5000], p), ValueError,  # the host's digit limit
                     marks=pytest.mark.skipif(not hasattr(sys, "get_int_max_str_digits"), reason="no limit")),
    ],
)
def test_failed_write_keeps_old_file(tmp_path, action, error):
    path = put(tmp_path / "m.mem", "old contents")
    if error is None:
        action(path)
        assert lystra.read(path) == ["\ud800", b"x"]
    else:
        with pytest.raises(error):
            action(path)
        assert raw(path) == b"old contents"
    assert os.listdir(tmp_path) == ["m.mem"]


@pytest.mark.parametrize("fn", [lambda p: lystra.write([1], p), lambda p: lystra.writel([1], file=p)])
def test_missing_directory_names_the_target(tmp_path, fn):
    target = str(tmp_path / "nowhere" / "m.mem")
    with pytest.raises(FileNotFoundError) as e:
        fn(target)
    assert e.value.filename == target and target in str(e.value)


def test_directory_target_and_devices(tmp_path):
    with pytest.raises(IsADirectoryError) as e:
        lystra.write([1], str(tmp_path))
    assert e.value.filename == str(tmp_path)
    if os.path.exists(os.devnull):
        lystra.write([1], os.devnull)
        lystra.writel([1], file=os.devnull)


def test_trailing_separator_is_a_directory(tmp_path):
    target = str(tmp_path / "m.mem") + os.sep
    with pytest.raises(IsADirectoryError) as e:
        lystra.write([1], target)
    assert e.value.filename == target
    assert os.listdir(tmp_path) == []


def test_directory_without_room_for_a_temporary_file(tmp_path, monkeypatch):
    # An existing writable file in a directory that refuses new files is written in place.
    real_open = open

    def no_new_files(name, mode="r", *args):
        if mode == "x":
            raise PermissionError(13, "Permission denied", name)
        return real_open(name, mode, *args)

    monkeypatch.setattr(lystra, "open", no_new_files, raising=False)
    path = put(tmp_path / "m.mem", "old")
    lystra.write([1.5], path)
    assert raw(path) == b"a = [1.5]" + os.linesep.encode() + b"f=0"
    with pytest.raises(PermissionError) as e:
        lystra.write([1.5], str(tmp_path / "new.mem"))
    assert e.value.filename == str(tmp_path / "new.mem")


def test_replacement_keeps_mode_and_links(tmp_path):
    real = tmp_path / "real.mem"
    put(real, "old")
    os.chmod(real, 0o640)
    link = tmp_path / "link.mem"
    os.symlink(real, link)
    lystra.write([2.5], str(link))
    assert os.path.islink(link)
    assert lystra.read(str(real)) == [2.5]
    assert oct(os.stat(real).st_mode & 0o777) == oct(0o640)
    assert sorted(os.listdir(tmp_path)) == ["link.mem", "real.mem"]


def test_missing_files_on_read(tmp_path):
    for fn in (lystra.read, lystra.readl):
        with pytest.raises(FileNotFoundError):
            fn(str(tmp_path / "absent"))


def test_open_is_the_module_global_and_closed_on_error(tmp_path, monkeypatch):
    events = []
    real_open = open

    class Tracked:
        def __init__(self, *args):
            events.append(("open",) + args[1:])
            self.f = real_open(*args)

        def __enter__(self):
            return self.f

        def __exit__(self, *exc):
            events.append(("exit", exc[0]))
            self.f.close()
            return True  # must not suppress anything

    monkeypatch.setattr(lystra, "open", Tracked, raising=False)
    path = put(tmp_path / "m.mem", "a = 5")
    with pytest.raises(TypeError):
        lystra.read(path)
    assert events == [("open",), ("exit", TypeError)]
    events.clear()
    assert lystra.readl(path) == [["a = 5"]]
    assert events == [("open", "r"), ("exit", None)]


@pytest.mark.parametrize("text", ["a = ['x\ry']", "a = ['x\\n\ry']", "a = [1]\rb = 2"])
def test_carriage_returns_read_as_the_host_reads_them(tmp_path, monkeypatch, text):
    # With the file's own newlines kept, a bare CR is a line end to the host's parser.
    real_open = open
    monkeypatch.setattr(lystra, "open", lambda name, mode="r": real_open(name, mode, newline=""), raising=False)
    path = tmp_path / "m.mem"
    path.write_bytes(text.encode())
    assert outcome(lystra.read, str(path)) == outcome(oracle, text)


# ---------------------------------------------------------------------------
# fuzzing against the standard library's literal evaluation
# ---------------------------------------------------------------------------
scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(allow_nan=True, allow_infinity=True),
    st.complex_numbers(allow_nan=True, allow_infinity=True), st.text(), st.binary(),
)
hashables = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), st.text())
values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=5),
        st.lists(inner, max_size=5).map(tuple),
        st.dictionaries(hashables, inner, max_size=4),
        st.frozensets(hashables, max_size=4).map(set),
    ),
    max_leaves=25,
)

FUZZ = settings(max_examples=400, deadline=None, suppress_health_check=list(HealthCheck))


@FUZZ
@given(st.lists(values, max_size=6))
def test_fuzz_round_trip(tmp_path_factory, data):
    path = str(tmp_path_factory.mktemp("rt") / "m.mem")
    lystra.write(data, path)
    assert same(lystra.read(path), data, nan_sign=False)


TOKENS = ["[", "]", "(", ")", "{", "}", ",", ":", ";", " ", "\n", "\t", "-", "+", "0", "1", "07", "1.5",
          ".5", "1e5", "1e", "j", "'x'", '"y"', "'\\n'", "'\\x4", "'\\u00e9'", "'''", "b'z'", "nan", "inf",
          "None", "True", "x", ".", "_", "#", "\\", "=", "*", "a = ", "é", "set()", "lambda", "9" * 20]


@FUZZ
@given(st.lists(st.sampled_from(TOKENS), max_size=25).map("".join))
def test_fuzz_against_literal_eval(tmp_path_factory, body):
    text = "a = " + body
    d = tmp_path_factory.mktemp("fz")
    expected = outcome(oracle, text)
    got = outcome(lystra.read, put(d / "m.mem", text))
    general = outcome(lystra.read, put(d / "g.mem", "#\n" + text))
    assert got[0] == expected[0] == general[0], (text, got, expected)
    if got[0] == "ok":
        assert same(got[1], expected[1]) and same(general[1], expected[1])
    elif expected[1] in (ValueError, SyntaxError, TypeError, KeyError):
        assert got[1] is expected[1] is general[1], (text, got, expected)


@FUZZ
@given(st.text(max_size=60))
def test_fuzz_any_text_never_crashes(tmp_path_factory, body):
    path = tmp_path_factory.mktemp("tx") / "m.mem"
    try:
        path.write_text("a = " + body)
    except UnicodeEncodeError:
        return
    expected = outcome(oracle, path.read_text())
    got = outcome(lystra.read, str(path))
    assert got[0] == expected[0]
    if got[0] == "ok":
        assert same(got[1], expected[1])


# Source text of literals in the many spellings the host accepts (and some it does not),
# so that both readers meet forms they must accept as well as forms they must refuse.
NUMBERS = st.one_of(
    st.integers().map(str), st.floats().map(repr),
    st.sampled_from(["0", "00", "007", "1_000", "0x1F", "0o7", "0b10", "1.", ".5", "1e5", "1E-5", "01.5",
                     "1.e3", "0e0", "1j", "1.5J", "infj", "nanj", "1e", "1.2.3", "9" * 25, "0." + "3" * 30]),
)
SIGNED = st.tuples(st.sampled_from(["", "", "-", "+", "- ", "--", "-\t"]), NUMBERS).map("".join)
CHUNKS = ["a", " ", "é", "\U0001f600", "\\n", "\\t", "\\x41", "\\x4", "\\u00e9", "\\U0001F600", "\\U00110000",
          "\\0", "\\101", "\\777", "\\'", '\\"', "\\\\", "\\N{EM DASH}", "\\q", "'", '"', "\\\n"]
STRING_SRC = st.tuples(st.sampled_from(["", "", "", "b", "r", "u", "f"]), st.sampled_from(["'", '"']),
                       st.lists(st.sampled_from(CHUNKS), max_size=6).map("".join)).map(
    lambda t: t[0] + t[1] + t[2] + t[1])
OTHER = st.sampled_from(["None", "True", "False", "set()", "...", "nan", "inf", "x", "f()", "[1][0]", "()"])
GAP = st.sampled_from(["", "", " ", "\n", "\n  ", "\t", " \\\n", "  # c\n"])
SEP = st.tuples(GAP, st.just(","), GAP).map("".join)


@st.composite
def container(draw, inner):
    kind = draw(st.sampled_from(["[]", "()", "{}", "{:}"]))
    n = draw(st.integers(0, 4))
    items = [draw(inner) for _ in range(n)]
    if kind == "{:}":
        items = [draw(st.one_of(SIGNED, STRING_SRC, OTHER)) + draw(GAP) + ":" + draw(GAP) + it for it in items]
    body = draw(SEP).join(items) if items else ""
    if items and draw(st.booleans()):
        body += draw(SEP)
    opening, closing = kind[0], kind[-1]
    return opening + draw(GAP) + body + draw(GAP) + closing


LITERAL_SRC = st.recursive(st.one_of(SIGNED, STRING_SRC, OTHER), lambda inner: container(inner), max_leaves=12)


@FUZZ
@given(st.lists(LITERAL_SRC, min_size=1, max_size=3), st.sampled_from([" = ", "=", "= ", "  =\t"]),
       st.sampled_from(["\n", ";", "; ", "\n\n", "\r\n"]))
def test_fuzz_literal_spellings(tmp_path_factory, literals, eq, sep):
    text = sep.join(("a" if i == len(literals) - 1 else "b") + eq + lit for i, lit in enumerate(literals))
    path = tmp_path_factory.mktemp("sp") / "m.mem"
    path.write_bytes(text.encode("utf-8", "surrogatepass"))
    with open(path) as f:
        source = f.read()
    expected = outcome(oracle, source)
    got = outcome(lystra.read, str(path))
    assert got[0] == expected[0], (text, got, expected)
    if got[0] == "ok":
        assert same(got[1], expected[1]), text
    elif expected[1] in (ValueError, SyntaxError, TypeError, KeyError):
        assert got[1] is expected[1], (text, got, expected)


# ---------------------------------------------------------------------------
# hostile input and failing platforms, each in a child interpreter
# ---------------------------------------------------------------------------
N_DEEP = 10**6
DEEP_TEXTS = {
    "sum chain": "a = [" + "+".join(["1"] * N_DEEP) + "]",
    "signs": "a = " + "-" * N_DEEP + "1",
    "not": "a = " + "not " * N_DEEP + "1",
    "attributes": "a = x" + ".y" * N_DEEP,
    "calls": "a = f" + "()" * N_DEEP,
    "subscripts": "a = x" + "[0]" * N_DEEP,
    "lambdas across commas": "a = " + "lambda a, b: " * N_DEEP + "1",
    "conditionals": "a = " + "1 if 1 else " * N_DEEP + "1",
    "powers": "a = " + "2**" * N_DEEP + "1",
    "inside brackets": "a = " + "[" * 199 + "-" * N_DEEP + "1" + "]" * 199,
    "continued lines": "a = 1" + "+\\\n1" * N_DEEP,
    "inside an f-string": 'a = f"{" "' + "+1" * N_DEEP + '" "}"',
}


@pytest.mark.parametrize("text", DEEP_TEXTS.values(), ids=list(DEEP_TEXTS))
def test_deep_text_is_refused_whatever_the_recursion_limit(tmp_path, text):
    # Refused before the host's compiler sees it, which would overflow the C stack.
    path = put(tmp_path / "m.mem", text)
    got = probe_outcome(f"""
        import sys
        from ORVEX import lystra
        sys.setrecursionlimit(50000)
        try:
            lystra.read({path!r})
        except (MemoryError, ValueError) as e:
            print(type(e).__name__, {path!r} in str(e))
    """)
    assert got in ("MemoryError True", "ValueError True")


def test_literal_nesting_below_the_limit_still_reads(tmp_path):
    path = put(tmp_path / "m.mem", "a = " + "[" * 150 + "-1.5, (2, {3: 'x'})" + "]" * 150)
    value = lystra.read(path)
    for _ in range(150):
        value = value[0]
    assert value == -1.5


def nest(opening, inner, closing, n):
    return opening * n + inner + closing * n


# What the bound on nesting lets through to the host's compiler: what nests is counted (brackets,
# operators whose operands become children, trailers); what stays flat is not.
DEPTH_CASES = {
    # every file `write` writes reads back: at most 200 brackets (the host's own limit)
    "166 dicts keyed -1": ("a = [" + nest("{-1: ", "1", "}", 166) + "]", None, ""),
    "199 dicts keyed -1.5": ("a = [" + nest("{-1.5: ", "-2.5e-05", "}", 199) + "]", None, ""),
    "complex innermost": ("a = " + nest("[", "(-1-2j)", "]", 199), None, ""),
    "signed items": ("a = [" + ", ".join(["-1e-05"] * 2000) + "]", None, ""),
    # flat chains reach the reader, which refuses them as not literals
    "comparisons": ("a = [" + "<".join(["1"] * 502) + "]", ValueError, "found an operator"),
    "bracketed comparisons": ("a = [" + "<".join(["(-1)"] * 502) + "]", ValueError, "found an operator"),
    "and": ("a = [" + " and ".join(["1"] * 502) + "]", ValueError, "found an operator"),
    "not in": ("a = [" + " not in ".join(["1"] * 502) + "]", ValueError, "found an operator"),
    "is not": ("a = [" + " is not ".join(["1"] * 502) + "]", ValueError, "found an operator"),
    "500 levels": ("a = [" + "+".join(["1"] * 500) + "]", ValueError, "found an operator"),
    # chains that nest are refused before the compiler sees them
    "501 levels": ("a = [" + "+".join(["1"] * 501) + "]", MemoryError, "nested too deeply"),
    "signs": ("a = " + "-" * 501 + "1", MemoryError, "nested too deeply"),
    "calls": ("a = f" + "()" * 501, MemoryError, "nested too deeply"),
    "attributes after a number": ("a = 1." + ".real" * 501, MemoryError, "nested too deeply"),
    "hex digits are no exponent": ("a = 0xe" + "-0xe" * 501, MemoryError, "nested too deeply"),
    "brackets and signs": ("a = " + nest("[", "-" * 302 + "1", "]", 199), MemoryError, "nested too deeply"),
    "a chain in a dict value": ("a = [{1: " + "-" * 500 + "1}]", MemoryError, "nested too deeply"),
}


@pytest.mark.parametrize("text, error, message", DEPTH_CASES.values(), ids=list(DEPTH_CASES))
def test_nesting_bound(tmp_path, text, error, message):
    path = put(tmp_path / "m.mem", text)
    if error is None:
        assert same(lystra.read(path), ast.literal_eval(text[len("a = "):]))
        return
    with pytest.raises(error) as e:
        lystra.read(path)
    assert message in str(e.value) and path in str(e.value)


# The child writes the list file itself, then reads or writes it under a tight address-space limit.
MEMORY_PROBE = """
    import resource
    from ORVEX import lystra
    path = {path!r}
    with open(path, "w") as f:
        f.write({text})
    with open("/proc/self/status") as f:
        size = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (size + 150 * 2**20, resource.RLIM_INFINITY))
    try:
        {call}
        print("no error")
    except MemoryError:
        print("MemoryError")
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="address-space limit and /proc")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer reserves more address space than the limit allows")
@pytest.mark.parametrize("text, call", [
    ('"a = [" + "0, " * 2 * 10**7 + "]"', "lystra.read(path)"),
    ('"a = [" + "1.5, " * 10**7 + "]"', "lystra.read(path)"),
    ('"a = [" + "(0,), " * 10**7 + "]"', "lystra.read(path)"),
    ('"1.5, " * 10**7', "lystra.readl(path)"),
    ('""', "lystra.write([[0.5] * 100] * 10**6, path)"),
], ids=["ints", "floats", "tuples", "separator format", "write"])
def test_memory_exhaustion_is_a_memory_error(tmp_path, text, call):
    got = probe_outcome(textwrap.dedent(MEMORY_PROBE).format(path=str(tmp_path / "m.mem"), text=text, call=call))
    assert got == "MemoryError"


# Ctrl-C while a long loop runs: the handler's exception comes out of the loop itself. The call
# is made from native code (map over a partial), so no Python code runs around it: a handler
# that runs with run()'s frame innermost ran from a check inside the call, and `results` stays
# empty unless the call returned first.
INTERRUPT_PROBE = """
    import signal
    from functools import partial
    from ORVEX import lystra
    data = [i / 7 for i in range(3 * 10**6)]
    path = {path!r}
    lystra.write(data, path)
    if "write" in {call!r}:
        with open(path, "w") as f:
            f.write("a = []")
    with open(path) as f:
        old = f.read()
    job = partial({call})
    results = []
    def run():
        results.extend(map(partial.__call__, [job]))
    def interrupt(signum, frame):
        if frame is not None and frame.f_code is run.__code__:
            raise KeyboardInterrupt
    signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
    try:
        run()
        print("finished")
    except KeyboardInterrupt:
        signal.setitimer(signal.ITIMER_REAL, 0)
        with open(path) as f:
            print("interrupted", results == [], f.read() == old)
"""


@pytest.mark.skipif(not hasattr(__import__("signal"), "setitimer"), reason="needs setitimer")
@pytest.mark.parametrize("call", ["lystra.read, path", "lystra.write, data, path", "lystra.write, [data], path",
                                  "lystra.readl, path", "lystra.writel, data, data, file=path"],
                         ids=["read", "write", "write nested", "readl", "writel"])
def test_long_loops_can_be_interrupted(tmp_path, call):
    got = probe_outcome(textwrap.dedent(INTERRUPT_PROBE).format(path=str(tmp_path / "m.mem"), call=call))
    assert got == "interrupted True True"


# A list changed while it is written, by a signal handler or by another thread while a handler
# waits: the write is refused and the old file kept, or the file holds one state of the list.
TEAR_PROBE = """
    import signal, threading
    from ORVEX import lystra
    path = {path!r}
    data = {data}
    before = [x[:] if type(x) is list else x for x in data]
    lystra.write([0.5], path)
    read_back = lystra.readl if "writel" in {call!r} else lystra.read
    old = read_back(path)
    ready, done = threading.Event(), threading.Event()
    def change():
        {change}
    def other_thread():
        ready.wait()
        change()
        done.set()
    if {by_thread}:
        threading.Thread(target=other_thread, daemon=True).start()
    def run():
        {call}
    def handler(signum, frame):
        if frame is not None and frame.f_code is run.__code__ and not ready.is_set():
            ready.set()
            done.wait() if {by_thread} else change()
    signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    try:
        run()
        outcome = "written"
    except RuntimeError:
        outcome = "refused"
    signal.setitimer(signal.ITIMER_REAL, 0)
    back = read_back(path)
    states = [[[str(x) for x in s]] for s in (before, data)] if "writel" in {call!r} else [before, data]
    if outcome == "refused":
        print(ready.is_set(), "refused, old file kept" if back == old else "refused, file changed")
    else:
        print(ready.is_set(), "one state" if back in states else "torn")
"""

FLOATS = "[i / 7 for i in range(2_000_000)]"
TEAR_CASES = {
    "write, handler shrinks the list": ("lystra.write(data, path)", FLOATS, "del data[10:]", False),
    "write, handler changes both ends": ("lystra.write(data, path)", FLOATS, "data[0] = data[-1] = -1.0", False),
    "write, another thread shrinks it": ("lystra.write(data, path)", FLOATS, "del data[10:]", True),
    "write, handler changes inner lists": ("lystra.write(data, path)", f"[{FLOATS}, {FLOATS}]",
                                           "data[0][0] = -1.0; del data[1][10:]", False),
    "writel, handler shrinks the list": ("lystra.writel(data, file=path)", FLOATS, "del data[10:]", False),
}


@pytest.mark.skipif(not hasattr(__import__("signal"), "setitimer"), reason="needs setitimer")
@pytest.mark.parametrize("call, data, change, by_thread", TEAR_CASES.values(), ids=list(TEAR_CASES))
def test_a_list_changed_while_written_never_tears_the_file(tmp_path, call, data, change, by_thread):
    got = probe_outcome(textwrap.dedent(TEAR_PROBE).format(path=str(tmp_path / "m.mem"), call=call, data=data,
                                                           change=change, by_thread=by_thread))
    assert got in ("True refused, old file kept", "True one state")


# What lystra imports it imports once, when loaded: a caller's frame without built-ins, or a
# caller's import hook, plays no part in a call.
IMPORT_PROBE = """
    import builtins
    from ORVEX import lystra
    path = {path!r}
    with open(path + ".tree", "w") as f:
        f.write("# read through the syntax tree" + chr(10) + "a = [1.5, [2.5]]")
    imported = []
    host_import = builtins.__import__
    def hook(name, *args, **kw):
        imported.append(name)
        return host_import(name, *args, **kw)
    builtins.__import__ = hook
    names = {{"__builtins__": {{}}, "lystra": lystra, "path": path}}
    exec("lystra.write([1.5], path); lystra.writel([1.5], file=path + '.txt'); "
         "a = lystra.read(path + '.tree'); b = lystra.read(path)", names)
    print(names["a"], names["b"], imported)
"""


def test_imports_are_made_once_not_through_the_caller(tmp_path):
    got = probe_outcome(textwrap.dedent(IMPORT_PROBE).format(path=str(tmp_path / "m.mem")))
    assert got == "[1.5, [2.5]] [1.5] []"


# ---------------------------------------------------------------------------
# errors of a write are those of open(path, "w"); failures keep the old file
# ---------------------------------------------------------------------------
def open_error(path):
    try:
        with open(path, "w"):
            pass
    except OSError as e:
        return e
    raise AssertionError(f"open({path!r}, 'w') succeeded")


@pytest.mark.parametrize("where", ["", "missing/m.mem", "dir", "dir/", "new/", "missing/x/", "file/", "file/x",
                                   "file/x/"])
@pytest.mark.parametrize("fn", [lambda p: lystra.write([1.5], p), lambda p: lystra.writel([1.5], file=p)],
                         ids=["write", "writel"])
def test_unwritable_paths_give_the_error_of_open(tmp_path, monkeypatch, where, fn):
    monkeypatch.chdir(tmp_path)
    os.mkdir("dir")
    put("file", "old")
    expected = open_error(where)
    with pytest.raises(type(expected)) as e:
        fn(where)
    assert str(e.value) == str(expected) and e.value.filename == where
    assert sorted(os.listdir()) == ["dir", "file"] and os.listdir("dir") == [] and raw("file") == b"old"


def test_open_failing_after_creating_the_temporary_file_leaves_nothing(tmp_path, monkeypatch):
    real_open = open

    def creates_then_fails(name, mode="r", *args):
        if mode == "x":
            real_open(name, mode).close()
            raise OSError(5, "Input/output error", name)
        return real_open(name, mode, *args)

    monkeypatch.setattr(lystra, "open", creates_then_fails, raising=False)
    path = put(tmp_path / "m.mem", "old")
    with pytest.raises(OSError) as e:
        lystra.write([1.5], path)
    assert e.value.errno == 5 and e.value.filename == path
    assert os.listdir(tmp_path) == ["m.mem"] and raw(path) == b"old"


# A child sets up `ro` (a directory that takes no new files, holding the writable file w.mem)
# and `rw` (a writable directory holding the read-only file r.mem), then gives up the rights
# that would bypass them (root becomes nobody) and runs one case.
PERMISSION_PROBE = """
    import os, resource
    from ORVEX import lystra
    top = {top!r}
    ro, rw = os.path.join(top, "ro"), os.path.join(top, "rw")
    for d in (ro, rw):
        os.mkdir(d)
    os.chmod(top, 0o755)
    os.chmod(rw, 0o777)
    old = "a = [" + ", ".join(["0.5"] * 100) + "]"
    for path, mode in ((os.path.join(ro, "w.mem"), 0o666), (os.path.join(rw, "r.mem"), 0o444)):
        with open(path, "w") as f:
            f.write(old)
        os.chmod(path, mode)
    if os.geteuid() == 0:
        os.setgid(65534)
        os.setuid(65534)
    else:
        os.chmod(ro, 0o555)
    def content(path):
        with open(path) as f:
            return f.read()
    def open_error(path):
        try:
            open(path, "w").close()
        except OSError as e:
            return e
    def outcome(path, data):
        try:
            lystra.write(data, path)
            result = "written" if lystra.read(path) == data else "wrong content"
        except OSError as e:
            expected = open_error(path) if e.filename else None  # (a plain open truncates)
            same = expected is not None and (type(e), str(e)) == (type(expected), str(expected))
            result = type(e).__name__ + (" as open" if same else "")
        kept = os.path.exists(path) and content(path) == old
        return result, kept, sorted(os.listdir(ro)), sorted(os.listdir(rw))
    {case}
"""

PERMISSION_CASES = {
    "read-only file": ("print(*outcome(os.path.join(rw, 'r.mem'), [1.5]))",
                       "PermissionError as open True ['w.mem'] ['r.mem']"),
    "new file in a closed directory": ("print(*outcome(os.path.join(ro, 'new.mem'), [1.5]))",
                                       "PermissionError as open False ['w.mem'] ['r.mem']"),
    "in place in a closed directory": ("print(*outcome(os.path.join(ro, 'w.mem'), [1.5]))",
                                       "written False ['w.mem'] ['r.mem']"),
    "in place, shorter text": ("print(*outcome(os.path.join(ro, 'w.mem'), []))",
                               "written False ['w.mem'] ['r.mem']"),
    "in place beyond the file-size limit": (
        "resource.setrlimit(resource.RLIMIT_FSIZE, (len(old) + 100, resource.RLIM_INFINITY))\n"
        "print(*outcome(os.path.join(ro, 'w.mem'), [0.25] * 1000))",
        "OSError True ['w.mem'] ['r.mem']"),
    "temporary file beyond the file-size limit": (
        "with open(os.path.join(rw, 'n.mem'), 'w') as f: f.write(old)\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (len(old) + 100, resource.RLIM_INFINITY))\n"
        "print(*outcome(os.path.join(rw, 'n.mem'), [0.25] * 1000))",
        "OSError True ['w.mem'] ['n.mem', 'r.mem']"),
}


@pytest.mark.skipif(not hasattr(os, "geteuid") or not sys.platform.startswith("linux"), reason="POSIX rights")
@pytest.mark.parametrize("case, expected", PERMISSION_CASES.values(), ids=list(PERMISSION_CASES))
def test_rights_and_limits(case, expected):
    import shutil
    import tempfile
    top = tempfile.mkdtemp(dir="/tmp")
    try:
        got = probe_outcome(textwrap.dedent(PERMISSION_PROBE).format(top=top, case=case))
    finally:
        shutil.rmtree(top)
    assert got == expected


# ---------------------------------------------------------------------------
# float text: exactly repr() when writing, exactly float() when reading
# ---------------------------------------------------------------------------
def test_float_text_is_that_of_repr_and_float():
    # A sample of bench/check_float_text.py, which runs ten million doubles.
    import importlib.util
    here = os.path.dirname(os.path.abspath(__file__))
    found = importlib.util.spec_from_file_location(
        "check_float_text", os.path.join(here, os.pardir, "bench", "check_float_text.py"))
    checker = importlib.util.module_from_spec(found)
    found.loader.exec_module(checker)
    assert checker.check(200_000, seed=11) == []


@pytest.mark.parametrize("x, text", [
    (0.0, "0.0"), (-0.0, "-0.0"), (1e16, "1e+16"), (1e-05, "1e-05"), (1.5e-07, "1.5e-07"), (0.0001, "0.0001"),
    (9999999999999998.0, "9999999999999998.0"), (123.0, "123.0"), (5e-324, "5e-324"), (1e100, "1e+100"),
    (-1.7976931348623157e308, "-1.7976931348623157e+308"), (float("inf"), "inf"), (float("-inf"), "-inf"),
    (float("nan"), "nan"), (-float("nan"), "nan"), (0.1, "0.1"), (2.5, "2.5"),
])
def test_float_layout(tmp_path, x, text):
    path = str(tmp_path / "m.mem")
    lystra.write([x, [x]], path)
    assert raw(path) == f"a = [{text}, [{text}]]\nf=0".encode().replace(b"\n", os.linesep.encode())


def test_mixed_and_self_containing_lists_print_as_str(tmp_path):
    class Odd:
        def __repr__(self):
            return "odd()"

    loop = [1.5]
    loop.append(loop)
    path = str(tmp_path / "m.mem")
    for data in ([2**70, -3, "é\n", None, True, [[]], loop], [1.5, Odd(), 2.5], [0.5, (1.5,)], [[0.25] * 3] * 2):
        lystra.write(data, path)
        assert raw(path).decode() == "a = " + str(data) + os.linesep + "f=0"
