import gc
import inspect
import io
import os
import subprocess
import sys
import textwrap

import pytest

from ORVEX import numerix, synaptra
from ORVEX.lystra import read, write
from ORVEX.synaptra import RNN_HYBRID, RNNLM_HYBRID


# ---------------------------------------------------------------------------
# helpers
# ---------------------------------------------------------------------------
def bounds(n):
    return -(1 / numerix.sqrt(n)), 1 / numerix.sqrt(n)


def draws(gen, rows, cols):
    """What drawing through the generator object gives (numerix's own call path)."""
    return [[gen() for _ in range(cols)] for _ in range(rows)]


@pytest.fixture
def vocab(tmp_path):
    """Writes a vocabulary file and returns its name."""
    def make(words):
        path = str(tmp_path / "vocab.txt")
        write(list(words), path)
        return path
    return make


@pytest.fixture
def fake_step(monkeypatch):
    """Replaces the kernel by a recorder that predicts the target word (late binding)."""
    calls = []

    def step(obj, indexa, target):
        calls.append((indexa, target))
        obj.nexttoken = target
        obj.loss = 0.25 * (len(calls))
        obj.reply.append(obj.dictionary[obj.nexttoken])

    monkeypatch.setattr(synaptra, "activate_step", step)
    return calls


def feed(monkeypatch, *lines):
    # The module keeps the built-in input; it reads from sys.stdin when that is no console.
    monkeypatch.setattr(sys, "stdin", io.StringIO("".join(line + "\n" for line in lines)))


def run_python(code, cwd):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, cwd=cwd,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)))


# ---------------------------------------------------------------------------
# the module's face
# ---------------------------------------------------------------------------
def test_module_body_order_and_doc():
    assert synaptra.__doc__ == "ORVEX libary for machine learning such as rln and more..."
    names = [k for k in vars(synaptra) if not k.startswith("__")]
    public_numerix = [k for k in vars(numerix) if not k.startswith("_")]
    assert names == public_numerix + ["write", "read", "activate_step", "hybrid", "hybrid_prime", "cz",
                                      "RNN_HYBRID", "RNNLM_HYBRID"]
    assert synaptra.random is numerix.random and synaptra.ReLu is numerix.ReLu


@pytest.mark.parametrize(
    "fn, qualname, signature, doc",
    [
        (synaptra.hybrid, "hybrid", "(z: 'float') -> 'float'", None),
        (synaptra.hybrid_prime, "hybrid_prime", "(z)", None),
        (synaptra.cz, "cz", "(x: 'float', w: 'float', b: 'float') -> 'float'", None),
        (RNN_HYBRID.__init__, "RNN_HYBRID.__init__",
         "(self, start: 'float', target: 'float', neurons: 'int', load_model: 'str' = '', learnrate: 'float' = 0.001)",
         None),
        (RNN_HYBRID.layer, "RNN_HYBRID.layer", "(self)", None),
        (RNN_HYBRID.run, "RNN_HYBRID.run", "(self, times)", None),
        (RNNLM_HYBRID.__init__, "RNNLM_HYBRID.__init__",
         "(self, vocab_size: 'int', dictionary: 'str', veclength: 'int' = 32, load_vocab: 'str' = 'no', "
         "seed: 'int' = 564963, neurons: 'int' = 128, lr: 'float' = 0.001)", None),
        (RNNLM_HYBRID.warmup, "RNNLM_HYBRID.warmup", "(self, sentence: 'str')", "use only once!!!"),
        (RNNLM_HYBRID._RNNLM_HYBRID__activate, "RNNLM_HYBRID.__activate", "(self, indexa, target)", None),
        (RNNLM_HYBRID._RNNLM_HYBRID__getstuff, "RNNLM_HYBRID.__getstuff", "(self, word: 'str')", None),
        (RNNLM_HYBRID.run, "RNNLM_HYBRID.run", "(self, times: 'int', f: 'str' = '', s: 'str' = '')", None),
        (RNNLM_HYBRID.train, "RNNLM_HYBRID.train", "(self, turns: 'int')", None),
    ],
)
def test_function_metadata(fn, qualname, signature, doc):
    assert fn.__qualname__ == qualname
    assert fn.__name__ == qualname.rsplit(".", 1)[-1]
    assert fn.__module__ == "ORVEX.synaptra"
    assert str(inspect.signature(fn)) == signature
    assert fn.__doc__ == doc


def test_classes_are_plain_with_their_methods_only():
    for cls, methods in [(RNN_HYBRID, ["__init__", "layer", "run"]),
                         (RNNLM_HYBRID, ["__init__", "warmup", "_RNNLM_HYBRID__activate",
                                         "_RNNLM_HYBRID__getstuff", "run", "train"])]:
        assert cls.__bases__ == (object,) and cls.__module__ == "ORVEX.synaptra"
        own = [k for k in vars(cls) if k not in ("__module__", "__dict__", "__weakref__", "__doc__")]
        assert own == methods


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: RNNLM_HYBRID(), TypeError, "__init__() takes at least 3 positional arguments (1 given)"),
        (lambda: RNNLM_HYBRID(1, "d", 1, "no", 1, 1, 0.1, 9), TypeError,
         "__init__() takes at most 8 positional arguments (9 given)"),
        (lambda: RNNLM_HYBRID(None, "d"), TypeError,
         "Argument 'vocab_size' has incorrect type (expected int, got NoneType)"),
        (lambda: RNNLM_HYBRID(3, b"d"), TypeError,
         "Argument 'dictionary' has incorrect type (expected str, got bytes)"),
        (lambda: RNN_HYBRID(0.5, 1.0, "3"), TypeError,
         "Argument 'neurons' has incorrect type (expected int, got str)"),
        (lambda: RNN_HYBRID(0.5, 1.0), TypeError, "__init__() takes at least 4 positional arguments (3 given)"),
        (lambda: synaptra.hybrid("x"), TypeError, None),
        (lambda: synaptra.cz(1, 2), TypeError, "cz() takes exactly 3 positional arguments (2 given)"),
    ],
)
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    if message:
        assert str(info.value) == message


# ---------------------------------------------------------------------------
# hybrid, hybrid_prime, cz
# ---------------------------------------------------------------------------
@pytest.mark.parametrize(
    "fn, args, expected",
    [
        (synaptra.hybrid, (2.0,), 2.0),
        (synaptra.hybrid, (0.0,), 0.0),
        (synaptra.hybrid, (-3,), -0.03),
        (synaptra.hybrid, (float("nan"),), None),
        (synaptra.hybrid_prime, (0,), 0.01),
        (synaptra.hybrid_prime, (-2.5,), 0.01),
        (synaptra.hybrid_prime, (0.5,), 1),
        (synaptra.cz, (2, 3, 1), 7.0),
        (synaptra.cz, (0.1, 0.2, 0.3), 0.2 * 0.1 + 0.3),
    ],
)
def test_scalar_functions(fn, args, expected):
    got = fn(*args)
    if expected is None:
        assert got != got
    else:
        assert got == expected and type(got) is type(expected)


def test_hybrid_calls_the_globals_bound_now(monkeypatch):
    seen = []
    monkeypatch.setattr(synaptra, "ReLu", lambda z: seen.append(("ReLu", z)) or "r")
    monkeypatch.setattr(synaptra, "LeakyReLu", lambda z: seen.append(("Leaky", z)) or "l")
    assert synaptra.hybrid(2) == "r" and synaptra.hybrid(0) == "l"
    assert seen == [("ReLu", 2.0), ("Leaky", 0.0)] and type(seen[0][1]) is float
    monkeypatch.delattr(synaptra, "ReLu")
    with pytest.raises(NameError, match="name 'ReLu' is not defined"):
        synaptra.hybrid(1.0)


def test_hybrid_prime_uses_the_host_comparison():
    class Odd:
        def __le__(self, other):
            return []  # falsy
    assert synaptra.hybrid_prime(Odd()) == 1


# ---------------------------------------------------------------------------
# RNN_HYBRID
# ---------------------------------------------------------------------------
def reference_layer(net):
    """The layer step written out in Python, on a copy of the network's lists."""
    n = net.amount
    for i in range(n):
        net.memory[i] = net.h[i]
        z = net.wx[i] * net.x
        for j in range(net.amount):
            z = z + net.wh[i][j] * net.memory[j]
        z = z + net.b[i]
        net.h[i] = synaptra.hybrid(z)
        net.err[i] = net.h[i] - net.y
        net.loss[i] = net.err[i] ** 2
        net.lg[i] = 2 * net.err[i]
        net.dhzl[i] = 1.0 if z > 0 else 0.1
        net.dLdw[i] = (net.lg[i] * net.dhzl[i]) * net.x
        for j in range(net.amount):
            net.dLdwh[i][j] = (net.lg[i] * net.dhzl[i]) * net.memory[j]
            net.wh[i][j] = net.wh[i][j] - net.lr * net.dLdwh[i][j]
        net.dLdb[i] = net.lg[i] * net.dhzl[i]
        net.wx[i] = net.wx[i] - net.lr * net.dLdw[i]
        net.b[i] = net.b[i] - net.lr * net.dLdb[i]


class Plain:
    pass


def clone(net):
    c = Plain()
    for k, v in vars(net).items():
        setattr(c, k, [list(r) if isinstance(r, list) else r for r in v] if isinstance(v, list) else v)
    return c


def test_fresh_network():
    net = RNN_HYBRID(0.5, 1.0, 4)
    assert list(vars(net)) == ["gen", "wx", "amount", "b", "wh", "h", "x", "lr", "y", "err", "loss", "lg",
                               "dhzl", "dLdb", "dLdw", "dLdwh", "memory"]
    gen = numerix.random(953674, *bounds(4))
    assert net.wx == [gen() for _ in range(4)] and net.wh == draws(gen, 4, 4)
    assert net.gen.x == gen.x and type(net.gen) is numerix.random
    assert net.amount == 4 and net.b == [0] * 4 and net.h == [0] * 4 and net.dLdwh == [[0] * 4] * 4
    assert (net.x, net.y, net.lr) == (0.5, 1.0, 0.001) and all(type(v) is int for v in net.b + net.memory)
    assert RNN_HYBRID(0.5, 1.0, 4).wh == net.wh
    assert RNN_HYBRID(0.5, 1.0, 3.9).amount == 3


@pytest.mark.parametrize("steps", [1, 3])
def test_layer_matches_the_step_written_in_python(steps):
    net = RNN_HYBRID(0.25, -0.5, 5, learnrate=0.1)
    ref = clone(net)
    for _ in range(steps):
        net.layer()
        reference_layer(ref)
    for k in vars(ref):
        if k != "gen":
            assert getattr(net, k) == getattr(ref, k), k
    assert all(l == e ** 2 for l, e in zip(net.loss, net.err)) and net.lg == [2 * e for e in net.err]


def test_run_prints_and_declines_to_save(monkeypatch, capsys, tmp_path):
    monkeypatch.chdir(tmp_path)
    net = RNN_HYBRID(0.5, 1.0, 2)
    feed(monkeypatch, "y")
    net.run(0)
    out = capsys.readouterr().out
    assert out == ("result:  0\ntarget:  1.0\nloss:  0\n"
                   f"weights: neuron: {net.wx[0]} layer: {net.wh[0]}\n"
                   "Would you like to save as model? (Y/N): ")
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("answer", ["y", "Y ", "N", ""])
def test_run_saves_only_on_exact_Y(monkeypatch, capsys, tmp_path, answer):
    monkeypatch.chdir(tmp_path)
    feed(monkeypatch, answer, "net")
    RNN_HYBRID(0.5, 1.0, 2).run(1)
    assert os.listdir(tmp_path) == []


def test_run_save_and_load_round_trip(monkeypatch, capsys, tmp_path):
    monkeypatch.chdir(tmp_path)
    net = RNN_HYBRID(0.5, 1.0, 3)
    feed(monkeypatch, "Y", "mynet")
    net.run(2)
    out = capsys.readouterr().out
    k = net.loss.index(min(net.loss))
    assert out.startswith(f"result:  {net.h[k]}\ntarget:  1.0\nloss:  {min(net.loss)}\n")
    assert out.endswith("Would you like to save as model? (Y/N): Filename: ")
    assert read("mynet.mem") == [net.wx, net.b, net.wh]
    back = RNN_HYBRID(0, 0, 99, "mynet.mem")
    assert (back.wx, back.b, back.wh, back.amount) == (net.wx, net.b, net.wh, 3)
    assert all(type(v) is float for v in back.b) and not hasattr(back, "gen")


@pytest.mark.parametrize(
    "text, exc",
    [("a = [[1.0], [2.0]]\nf=0", IndexError), ("a = [[1.0], ['x'], [[1.0]]]\nf=0", ValueError),
     ("a = [[1.0], [None], [[1.0]]]\nf=0", TypeError), ("a = None\nf=0", TypeError)],
)
def test_loading_a_bad_network_file(tmp_path, text, exc):
    path = tmp_path / "bad.mem"
    path.write_text(text)
    with pytest.raises(exc):
        RNN_HYBRID(0, 0, 1, str(path))


def test_run_rejects_bad_times_and_empty_networks(tmp_path):
    path = tmp_path / "empty.mem"
    write([[], [], []], str(path))
    with pytest.raises(ValueError):
        RNN_HYBRID(0, 0, 1, str(path)).run(0)
    with pytest.raises(TypeError):
        RNN_HYBRID(0, 0, 1).run("3")


# ---------------------------------------------------------------------------
# RNNLM_HYBRID: construction
# ---------------------------------------------------------------------------
LM_ATTRS = ["genrandd", "genrandn", "_RNNLM_HYBRID__warm", "lr", "_RNNLM_HYBRID__wordstohandle", "neurons",
            "embedings", "lweights", "lhweights", "bias", "who", "bo", "vocabL", "vecL", "dictionary", "ht"]


@pytest.mark.parametrize("V, E, N, seed", [(3, 2, 4, 564963), (7, 5, 3, 11), (1, 1, 1, 0), (0, 3, 2, 5)])
def test_fresh_model_draws(vocab, V, E, N, seed):
    words = vocab(f"w{i}" for i in range(V))
    m = RNNLM_HYBRID(V, words, E, seed=seed, neurons=N, lr=0.5)
    assert list(vars(m)) == LM_ATTRS
    d, n = numerix.random(seed, *bounds(E)), numerix.random(seed, *bounds(N))
    assert m.embedings == draws(d, V, E) and m.lweights == draws(d, N, E)
    assert m.lhweights == draws(n, N, N) and m.who == draws(n, V, N)
    assert (m.genrandd.x, m.genrandn.x) == (d.x, n.x)
    assert m.bias == [0] * N and m.bo == [0] * V and m.ht == [0] * N
    assert (m.vocabL, m.vecL, m.neurons, m.lr) == (V, E, N, 0.5)
    assert m.dictionary == [f"w{i}" for i in range(V)]
    assert m._RNNLM_HYBRID__warm is False and m._RNNLM_HYBRID__wordstohandle == []
    for name in ("reply", "loss", "nexttoken"):
        assert not hasattr(m, name)
    assert all(gc.is_tracked(row) for row in m.embedings + m.who)


@pytest.mark.parametrize("seed", [0, 1, 7, -5, 999999, 2**40 + 3])
def test_native_draws_are_exact(vocab, seed):
    # every draw against the generator's formula in exact integer arithmetic
    m = RNNLM_HYBRID(400, vocab(["a"]), 64, seed=seed, neurons=1)
    start = numerix.random(seed, 0.0, 1.0)
    x, lo, hi, M = start.x, m.genrandd.min, m.genrandd.max, 200000000000000000000000000000000
    for row in m.embedings + m.lweights:
        for value in row:
            x = (1103515245 * x + 12345) % M
            assert value == lo + (x / M) * (hi - lo)
    assert m.genrandd.x == x


def test_defaults_and_seed(vocab, capsys):
    words = vocab(["a", "b"])
    m = RNNLM_HYBRID(2, words)
    assert (m.vecL, m.neurons, m.lr, m.genrandd.seed) == (32, 128, 0.001, 564963)
    assert len(m.lweights) == 128 and len(m.lweights[0]) == 32
    assert RNNLM_HYBRID(2, words).who == m.who
    other = RNNLM_HYBRID(2, words, seed=564964)
    assert all(a != b for a, b in zip(other.embedings[0], m.embedings[0]))
    assert capsys.readouterr().out == ""


class CountingRandom(numerix.random):
    calls = 0

    def __call__(self):
        CountingRandom.calls += 1
        return super().__call__()


class PlainSubclass(numerix.random):
    pass


class Model(RNNLM_HYBRID):
    pass


class WatchedModel(RNNLM_HYBRID):
    looked_up = 0

    def __getattribute__(self, name):
        if name == "genrandd":
            WatchedModel.looked_up += 1
        return super().__getattribute__(name)


@pytest.mark.parametrize("cls, gen_cls", [(RNNLM_HYBRID, CountingRandom), (RNNLM_HYBRID, PlainSubclass),
                                          (Model, None), (WatchedModel, None)])
def test_other_generators_and_models_draw_the_same(monkeypatch, vocab, cls, gen_cls):
    words = vocab(["a", "b", "c"])
    expected = RNNLM_HYBRID(3, words, 4, neurons=2)
    if gen_cls:
        monkeypatch.setattr(synaptra, "random", gen_cls)
    CountingRandom.calls = WatchedModel.looked_up = 0
    m = cls(3, words, 4, neurons=2)
    for k in ("embedings", "lweights", "lhweights", "who"):
        assert getattr(m, k) == getattr(expected, k)
    if gen_cls is CountingRandom:
        assert CountingRandom.calls == 2 * 564963 + 3 * 4 + 2 * 4 + 2 * 2 + 3 * 2
    if cls is WatchedModel:
        assert WatchedModel.looked_up == 3 * 4 + 2 * 4


def test_a_generator_replaced_while_drawing_is_used_from_then_on(vocab):
    words = vocab(["a"])

    class Swapping(numerix.random):
        def __call__(self):
            value = super().__call__()
            owner.genrandd = lambda: 7.0
            return value

    class Owner(RNNLM_HYBRID):
        def __init__(self):
            global owner
            owner = self
            super().__init__(1, words, 3, neurons=1)

    synaptra_random = synaptra.random
    try:
        synaptra.random = Swapping
        m = Owner()
    finally:
        synaptra.random = synaptra_random
    assert m.embedings[0][1:] == [7.0, 7.0] and m.lweights == [[7.0, 7.0, 7.0]]


def test_generator_without_bounds_fails_like_a_call(monkeypatch, vocab):
    words = vocab(["a"])

    class NoMax(numerix.random):
        def __init__(self, s, lo, hi):
            super().__init__(s, lo, hi)
            del self.max

    monkeypatch.setattr(synaptra, "random", NoMax)
    with pytest.raises(AttributeError):
        RNNLM_HYBRID(1, words, 2, neurons=1)


@pytest.mark.parametrize("n, exc", [(0, ZeroDivisionError), (-4, TypeError)])
def test_nonpositive_sizes_go_through_sqrt(vocab, n, exc):
    # sqrt(0) is 0.0 and 1 / 0.0 raises; sqrt(-4) is complex, which the generator rejects
    words = vocab(["a"])
    with pytest.raises(exc):
        RNNLM_HYBRID(1, words, n)
    with pytest.raises(exc):
        RNNLM_HYBRID(1, words, 3, neurons=n)


# ---------------------------------------------------------------------------
# the model directory
# ---------------------------------------------------------------------------
FILES = ["embed.mem", "info.meta", "bias.mem", "lhweights.mem", "lweights.mem", "dict.mem", "who.mem", "bo.mem"]


def save_dir(path, m):
    os.makedirs(path, exist_ok=True)
    data = [m.embedings, [m.vocabL, m.vecL, m.neurons, m.ht], m.bias, m.lhweights, m.lweights, m.dictionary,
            m.who, m.bo]
    for name, value in zip(FILES, data):
        write(value, os.path.join(path, name))


def test_load_model_directory(vocab, tmp_path, capsys):
    m = RNNLM_HYBRID(3, vocab(["x", "y", "z"]), 2, neurons=3)
    m.ht = [0.5, -1.0, 0.0]
    save_dir(str(tmp_path / "model"), m)
    back = RNNLM_HYBRID(99, "never read", 2, str(tmp_path / "model"), neurons=3)
    assert capsys.readouterr().out == f"{m.embedings}\n"
    assert list(vars(back)) == ["genrandd", "genrandn", "_RNNLM_HYBRID__warm", "lr", "_RNNLM_HYBRID__wordstohandle",
                                "embedings", "vocabL", "vecL", "neurons", "bias", "lhweights", "lweights",
                                "dictionary", "who", "bo", "ht"]
    for k in ("embedings", "vocabL", "vecL", "neurons", "bias", "lhweights", "lweights", "dictionary", "who", "bo",
              "ht"):
        assert getattr(back, k) == getattr(m, k), k
    assert type(back.vocabL) is int and back.genrandd.min == bounds(2)[0]


@pytest.mark.parametrize(
    "name, text, exc",
    [
        ("who.mem", None, FileNotFoundError),
        ("info.meta", "a = [3, 2]\nf=0", IndexError),
        ("info.meta", "a = None\nf=0", TypeError),
        ("bias.mem", "a = [1.0,\nf=0", SyntaxError),
        ("embed.mem", "a = 5\nf=0", TypeError),
    ],
)
def test_broken_model_directory_names_the_file(vocab, tmp_path, name, text, exc):
    m = RNNLM_HYBRID(3, vocab(["x", "y", "z"]), 2, neurons=3)
    d = str(tmp_path / "model")
    save_dir(d, m)
    path = os.path.join(d, name)
    if text is None:
        os.remove(path)
    else:
        with open(path, "w") as fh:
            fh.write(text)
    with pytest.raises(exc) as info:
        RNNLM_HYBRID(3, "", 2, d, neurons=3)
    assert path in str(info.value) or any(path in note for note in getattr(info.value, "__notes__", []))


def test_load_vocab_is_compared_exactly(vocab, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(FileNotFoundError) as info:
        RNNLM_HYBRID(1, vocab(["a"]), 2, "No", neurons=1)
    assert info.value.filename == "No/embed.mem"


# ---------------------------------------------------------------------------
# warmup, __getstuff, run
# ---------------------------------------------------------------------------
@pytest.fixture
def model(vocab):
    return RNNLM_HYBRID(4, vocab(["a", "b", "c", "b"]), 3, neurons=2)


def test_warmup_once(model, capsys):
    model.warmup("a b  c")
    assert capsys.readouterr().out == "Warming Model for use!\n"
    assert model._RNNLM_HYBRID__wordstohandle == ["a", "b", "", "c"] and model.reply == []
    assert model._RNNLM_HYBRID__warm is True
    model.reply.append("kept")
    with pytest.raises(Exception) as info:
        model.warmup("b")
    assert type(info.value) is Exception and info.value.args == ("Attempted double warmup dont fucking do this!",)
    assert model.reply == ["kept"] and capsys.readouterr().out == ""


def test_getstuff(model):
    assert model._RNNLM_HYBRID__getstuff("b") == 1
    with pytest.raises(ValueError):
        model._RNNLM_HYBRID__getstuff("zz")
    model.dictionary = None
    with pytest.raises(TypeError):
        model._RNNLM_HYBRID__getstuff("a")


def test_run_sentence_mode(model, fake_step, capsys):
    model.warmup("a b c")
    capsys.readouterr()
    model.reply.append("old")
    model.run(1)
    assert fake_step == [(0, 1), (1, 2)]
    assert capsys.readouterr().out == "b old b c\n" and model.reply == []
    model.run(2, "a")  # f alone: still sentence mode
    assert capsys.readouterr().out == "b b c\nb b c\n"


def test_run_word_pair_mode(model, fake_step, capsys):
    model.warmup("a")
    capsys.readouterr()
    model.run(3, "c", "b")
    assert fake_step == [(2, 1)] * 3 and model.reply == ["b", "b", "b"]
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("f, s", [("", ""), ("a", "b")])
def test_run_zero_times(model, fake_step, capsys, f, s):
    model.warmup("a b")
    model.run(0, f, s)
    assert fake_step == [] and capsys.readouterr().out == "Warming Model for use!\n"


@pytest.mark.parametrize("sentence", ["a", ""])
def test_run_needs_two_warmup_words(model, fake_step, capsys, sentence):
    model.warmup(sentence)
    model.reply.append("x")
    before = {k: v for k, v in vars(model).items()}
    capsys.readouterr()
    with pytest.raises(ValueError, match="at least two warm-up words"):
        model.run(2)
    assert fake_step == [] and capsys.readouterr().out == "" and vars(model) == before and model.reply == ["x"]


def test_run_on_a_cold_model(model, fake_step):
    with pytest.raises(AttributeError, match="reply"):
        model.run(1)
    with pytest.raises(AttributeError, match="reply"):
        model.run(1, "a", "b")
    assert fake_step == [(0, 1)]  # the step ran, its append failed


def test_run_propagates_unknown_words(model, fake_step):
    model.warmup("a zz")
    with pytest.raises(ValueError):
        model.run(1)
    assert fake_step == []


# ---------------------------------------------------------------------------
# train
# ---------------------------------------------------------------------------
@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.mark.parametrize("turns, rounds", [(1, 1), (2, 2), (2.7, 2)])
def test_train_lines_and_saving(vocab, fake_step, capsys, in_tmp, turns, rounds):
    m = RNNLM_HYBRID(2, vocab(["a", "b"]), 2, neurons=2)
    m.warmup("a b")
    capsys.readouterr()
    assert not os.path.exists("test")
    m.train(turns)
    lines = ["word1: a target: a", "word1: a target: b", "word1: b target: a", "word1: b target: b"] * rounds
    out = capsys.readouterr().out.splitlines()
    assert out == lines + [str(0.25 * 4 * rounds), "b"]
    assert fake_step == [(0, 0), (0, 1), (1, 0), (1, 1)] * rounds
    assert sorted(os.listdir("test")) == sorted(FILES)
    assert read("test/info.meta") == [2, 2, 2, m.ht] and read("test/who.mem") == m.who
    assert len(m.reply) == 4 * rounds


def test_train_into_an_existing_directory_and_zero_turns(vocab, capsys, in_tmp):
    os.mkdir("test")
    m = RNNLM_HYBRID(2, vocab(["a", "b"]), 2, neurons=2)
    with pytest.raises(AttributeError, match="loss"):
        m.train(0)
    assert sorted(os.listdir("test")) == sorted(FILES)


def test_train_cold_model_writes_nothing(vocab, capsys, in_tmp):
    m = RNNLM_HYBRID(2, vocab(["a", "b"]), 2, neurons=2)
    with pytest.raises(AttributeError, match="reply"):
        m.train(1)
    assert capsys.readouterr().out == "" and not os.path.exists("test")


def test_train_over_a_file_named_test(vocab, fake_step, in_tmp):
    (in_tmp / "test").write_text("not a directory")
    m = RNNLM_HYBRID(1, vocab(["a"]), 2, neurons=2)
    m.warmup("a")
    with pytest.raises(OSError):
        m.train(1)


def test_train_reload_run_gives_the_same_lines(vocab, capsys, in_tmp):
    words = ["the", "cat", "sat", "on", "mat"]
    m = RNNLM_HYBRID(5, vocab(words), 4, neurons=3, lr=0.05)
    m.warmup("the cat sat on the mat")
    m.train(2)
    capsys.readouterr()
    back = RNNLM_HYBRID(5, "", 4, "test", neurons=3, lr=0.05)
    for k in ("embedings", "lweights", "lhweights", "bias", "who", "bo", "dictionary", "ht"):
        assert getattr(back, k) == getattr(m, k), k
    assert (back.vocabL, back.vecL, back.neurons) == (5, 4, 3)
    back.warmup("the cat sat on the mat")
    m.reply.clear()
    capsys.readouterr()
    m.run(2)
    first = capsys.readouterr().out
    back.run(2)
    assert capsys.readouterr().out == first and len(first.splitlines()) == 2


def test_train_with_the_kernel_steps_and_saves(vocab, capsys, in_tmp):
    m = RNNLM_HYBRID(3, vocab(["a", "b", "c"]), 2, neurons=2, lr=0.1)
    m.warmup("a b")
    who = [list(r) for r in m.who]
    m.train(1)
    out = capsys.readouterr().out.splitlines()
    assert len(out) == 1 + 9 + 2 and out[-1] == m.dictionary[m.nexttoken] and out[-2] == str(m.loss)
    assert m.who != who and len(m.reply) == 9


# ---------------------------------------------------------------------------
# hostile callers
# ---------------------------------------------------------------------------
def test_hostile_callbacks_do_not_crash(tmp_path):
    code = """
    import io, sys
    from ORVEX import synaptra
    from ORVEX.lystra import write
    from ORVEX.synaptra import RNN_HYBRID, RNNLM_HYBRID
    write(["a", "b", "c"], "v.txt")
    results = []

    def attempt(label, fn):
        try:
            fn()
            results.append((label, "ok"))
        except Exception as e:
            results.append((label, type(e).__name__))

    # a hybrid that empties the network's lists in the middle of a layer
    net = RNN_HYBRID(0.5, 1.0, 4)
    def wreck(z):
        net.wh.clear(); net.memory[:] = []; net.amount = 10**30
        return 1.0
    synaptra.hybrid = wreck
    attempt("layer", net.layer)
    del synaptra.hybrid
    attempt("layer-no-hybrid", RNN_HYBRID(0.5, 1.0, 2).layer)

    # a kernel that takes the model apart while run and train walk it
    m = RNNLM_HYBRID(3, "v.txt", 2, neurons=2)
    m.warmup("a b c a")
    def step(obj, a, t):
        obj.reply = None
        del obj._RNNLM_HYBRID__wordstohandle[:]
        obj.dictionary = obj.dictionary[:1]
    synaptra.activate_step = step
    attempt("run", lambda: m.run(3))
    m.dictionary = ["a", "b", "c"]
    m._RNNLM_HYBRID__wordstohandle = ["a", "b"]
    m.reply = []
    def step2(obj, a, t):
        obj.vocabL = 10**40
        obj.reply.append(obj.dictionary.pop())
    synaptra.activate_step = step2
    attempt("train", lambda: m.train(1))

    # sizes and numbers that do not fit
    attempt("huge-neurons", lambda: RNN_HYBRID(0.5, 1.0, 2**70))
    attempt("huge-vecl", lambda: RNNLM_HYBRID(1, "v.txt", 2**63 + 5, neurons=1))
    attempt("times", lambda: RNN_HYBRID(0.5, 1.0, 1).run(object()))
    n2 = RNN_HYBRID(0.5, 1.0, 2)
    n2.wx = ["x", 1.0]
    attempt("strings", n2.layer)
    print(results)
    """
    out = run_python(code, str(tmp_path))
    assert out.returncode == 0, out.stderr
    results = dict(eval(out.stdout.strip().splitlines()[-1]))
    assert results == {"layer": "IndexError", "layer-no-hybrid": "NameError", "run": "IndexError",
                       "train": "IndexError", "huge-neurons": "MemoryError", "huge-vecl": "MemoryError",
                       "times": "TypeError", "strings": "TypeError"}
