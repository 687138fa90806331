// The statement format: the general reader.
//
// The host's compiler parses the text to a syntax tree (nothing is compiled to code, nothing
// runs); the tree must be a sequence of assignments to plain names, each of a literal value as
// the standard library's literal evaluation accepts them, plus the names nan, inf, nanj and
// infj that the printed forms of non-finite floats and complex numbers use. Before the text
// gets to the compiler, depth.cpp bounds how deeply the compiler would have to nest.
#include "lystra.hpp"

#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

namespace lystra {

using rt::getattr;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

Name n_body("body"), n_targets("targets"), n_value("value"), n_id("id"), n_elts("elts"), n_keys("keys"),
    n_values("values"), n_op("op"), n_operand("operand"), n_left("left"), n_right("right"), n_func("func"),
    n_args("args"), n_keywords("keywords"), n_lineno("lineno");

// The syntax-tree classes the reader tells apart.
struct Ast {
    PyObject *Assign, *Name_, *Constant, *List, *Tuple, *Set, *Dict, *Call, *BinOp, *UnaryOp, *Add, *Sub, *UAdd,
        *USub;
};

// Loaded once by load_tree_types() and kept for the life of the process.
const Ast* g_ast = nullptr;

bool is(PyObject* node, PyObject* cls) { return reinterpret_cast<PyObject*>(Py_TYPE(node)) == cls; }

// A readable phrase for a node that is not allowed.
std::string describe(PyObject* node) {
    static const struct {
        const char* cls;
        const char* phrase;
    } phrases[] = {
        {"Call", "a call"},
        {"Attribute", "an attribute access"},
        {"Subscript", "a subscript"},
        {"BinOp", "an operator (only a sign before a number and the real+imaginary form are allowed)"},
        {"UnaryOp", "an operator (only a sign before a number and the real+imaginary form are allowed)"},
        {"BoolOp", "an operator (only a sign before a number and the real+imaginary form are allowed)"},
        {"Compare", "an operator (only a sign before a number and the real+imaginary form are allowed)"},
        {"ListComp", "a comprehension"},
        {"SetComp", "a comprehension"},
        {"DictComp", "a comprehension"},
        {"GeneratorExp", "a comprehension"},
        {"Lambda", "a lambda"},
        {"JoinedStr", "an f-string"},
        {"Starred", "an unpacking"},
        {"Import", "an import"},
        {"ImportFrom", "an import"},
        {"Expr", "an expression statement"},
        {"Assign", "an assignment to something other than a plain name"},
    };
    std::string cls = Py_TYPE(node)->tp_name;
    if (cls == "Name") {
        Ref id = getattr(node, n_id);
        const char* s = id && PyUnicode_Check(id.get()) ? PyUnicode_AsUTF8(id.get()) : nullptr;
        PyErr_Clear();
        return s ? std::string("the name '") + s + "'" : std::string("a name");
    }
    for (const auto& p : phrases)
        if (cls == p.cls) return p.phrase;
    return "a " + cls + " node";
}

class Reader {
public:
    Reader(const Ast& ast, PyObject* file) : t_(ast), file_(file) {}

    // Reads every statement of the module; `a` gets the last value bound to a. A first pass
    // only checks that everything is a literal, so that anything else is reported as such
    // wherever it stands, before any value is built.
    bool run(PyObject* module, Ref& a) {
        Ref body = getattr(module, n_body);
        if (!body) return false;
        if (!PyList_Check(body.get())) return reject(module);
        for (int pass = 0; pass < 2; ++pass) {
            checking_ = pass == 0;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(body.get()); ++i) {
                Ref stmt = Ref::borrow(PyList_GET_ITEM(body.get(), i));
                if (!statement(stmt.get(), a)) return false;
            }
        }
        return true;
    }

private:
    const Ast& t_;
    PyObject* file_;
    bool checking_ = false;  // first pass: containers are checked, not built
    rt::Interrupts poll_{1u << 10};

    // Whether an assignment's targets are plain names; `binds_a` tells whether one is a.
    int plain_targets(PyObject* stmt, bool& binds_a) {
        Ref targets = getattr(stmt, n_targets);
        if (!targets) return -1;
        if (!PyList_Check(targets.get())) return 0;
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(targets.get()); ++k) {
            PyObject* target = PyList_GET_ITEM(targets.get(), k);
            if (!is(target, t_.Name_)) return 0;
            Ref id = getattr(target, n_id);
            if (!id) return -1;
            if (PyUnicode_Check(id.get()) && PyUnicode_CompareWithASCIIString(id.get(), "a") == 0) binds_a = true;
        }
        return 1;
    }

    bool statement(PyObject* stmt, Ref& a) {
        if (!is(stmt, t_.Assign)) return reject(stmt);
        bool binds_a = false;
        int plain = plain_targets(stmt, binds_a);
        if (plain <= 0) return plain == 0 ? reject(stmt) : false;
        Ref node = getattr(stmt, n_value);
        if (!node) return false;
        Ref v = value(node.get());
        if (!v) return false;
        if (binds_a && !checking_) a = v;
        return true;
    }

    bool reject(PyObject* node) {
        long line = 0;
        Ref ln = Ref::steal(PyObject_GetAttr(node, n_lineno.get()));
        if (ln && PyLong_Check(ln.get())) line = PyLong_AsLong(ln.get());
        PyErr_Clear();
        return raise_not_literal(file_, line, describe(node).c_str());
    }
    Ref rejected(PyObject* node) {
        reject(node);
        return {};
    }

    // A name standing for a non-finite number; null (no error) for any other node.
    Ref special(PyObject* node) {
        if (!is(node, t_.Name_)) return {};
        Ref id = getattr(node, n_id);
        if (!id || !PyUnicode_Check(id.get())) {
            PyErr_Clear();
            return {};
        }
        if (PyUnicode_CompareWithASCIIString(id.get(), "nan") == 0) return rt::flt(kNaN);
        if (PyUnicode_CompareWithASCIIString(id.get(), "inf") == 0) return rt::flt(Py_HUGE_VAL);
        if (PyUnicode_CompareWithASCIIString(id.get(), "nanj") == 0)
            return Ref::steal(PyComplex_FromDoubles(0.0, kNaN));
        if (PyUnicode_CompareWithASCIIString(id.get(), "infj") == 0)
            return Ref::steal(PyComplex_FromDoubles(0.0, Py_HUGE_VAL));
        return {};
    }

    // An unsigned number: a numeric constant (not a bool) or a special name; a failure is
    // reported at `where`, the expression the number is part of.
    Ref num(PyObject* node, PyObject* where) {
        if (is(node, t_.Constant)) {
            Ref v = getattr(node, n_value);
            if (!v) return {};
            if (PyLong_CheckExact(v.get()) || PyFloat_CheckExact(v.get()) || PyComplex_CheckExact(v.get())) return v;
        } else if (Ref s = special(node)) {
            return s;
        } else if (PyErr_Occurred()) {
            return {};
        }
        return rejected(where);
    }

    // A number with at most one unary sign.
    Ref signed_num(PyObject* node, PyObject* where) {
        if (!is(node, t_.UnaryOp)) return num(node, where);
        Ref op = getattr(node, n_op);
        if (!op) return {};
        bool plus = is(op.get(), t_.UAdd);
        if (!plus && !is(op.get(), t_.USub)) return num(node, where);
        Ref operand = getattr(node, n_operand);
        Ref v = operand ? num(operand.get(), where) : Ref();
        if (!v) return {};
        return Ref::steal(plus ? PyNumber_Positive(v.get()) : PyNumber_Negative(v.get()));
    }

    // Each element of the list attribute `field` of `node`, converted.
    bool elements(PyObject* node, Name& field, std::vector<Ref>& out) {
        Ref elts = getattr(node, field);
        if (!elts) return false;
        if (!PyList_Check(elts.get())) return reject(node);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(elts.get()); ++i) {
            Ref e = Ref::borrow(PyList_GET_ITEM(elts.get(), i));
            if (e.get() == Py_None) return reject(node);  // {**x}
            Ref v = value(e.get());
            if (!v) return false;
            out.push_back(std::move(v));
        }
        return true;
    }

    Ref value(PyObject* node) {
        if (!poll_.tick()) return {};
        if (Py_EnterRecursiveCall(" while reading a list file")) return {};
        Ref v;
        try {
            v = value_inner(node);
        } catch (...) {
            Py_LeaveRecursiveCall();
            throw;
        }
        Py_LeaveRecursiveCall();
        return v;
    }

    Ref value_inner(PyObject* node) {
        if (is(node, t_.Constant)) return getattr(node, n_value);
        if (is(node, t_.List) || is(node, t_.Tuple) || is(node, t_.Set)) return sequence(node);
        if (is(node, t_.Dict)) return dict(node);
        if (is(node, t_.Call)) return empty_set(node);
        if (is(node, t_.BinOp)) return complex_number(node);
        if (Ref s = special(node)) return s;
        if (PyErr_Occurred()) return {};
        if (is(node, t_.UnaryOp)) return signed_num(node, node);
        return rejected(node);
    }

    Ref sequence(PyObject* node) {
        std::vector<Ref> items;
        if (!elements(node, n_elts, items)) return {};
        if (checking_) return Ref::borrow(Py_None);
        Py_ssize_t n = static_cast<Py_ssize_t>(items.size());
        if (is(node, t_.Set)) {
            Ref s = Ref::steal(PySet_New(nullptr));
            if (!s) return {};
            for (Ref& it : items)
                if (PySet_Add(s.get(), it.get()) < 0) return {};
            return s;
        }
        bool list = is(node, t_.List);
        Ref seq = Ref::steal(list ? PyList_New(n) : PyTuple_New(n));
        if (!seq) return {};
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (list)
                PyList_SET_ITEM(seq.get(), i, items[i].release());
            else
                PyTuple_SET_ITEM(seq.get(), i, items[i].release());
        }
        return seq;
    }

    Ref dict(PyObject* node) {
        Ref keys = getattr(node, n_keys);
        Ref vals = keys ? getattr(node, n_values) : Ref();
        if (!vals) return {};
        if (!PyList_Check(keys.get()) || !PyList_Check(vals.get()) ||
            PyList_GET_SIZE(keys.get()) != PyList_GET_SIZE(vals.get()))
            return rejected(node);
        std::vector<Ref> ks, vs;
        if (!elements(node, n_keys, ks) || !elements(node, n_values, vs)) return {};
        if (checking_) return Ref::borrow(Py_None);
        Ref d = Ref::steal(PyDict_New());
        if (!d) return {};
        for (size_t i = 0; i < ks.size() && i < vs.size(); ++i)
            if (PyDict_SetItem(d.get(), ks[i].get(), vs[i].get()) < 0) return {};
        return d;
    }

    // set() is how the empty set prints; any other call is refused.
    Ref empty_set(PyObject* node) {
        Ref func = getattr(node, n_func);
        Ref args = func ? getattr(node, n_args) : Ref();
        Ref kws = args ? getattr(node, n_keywords) : Ref();
        if (!kws) return {};
        if (is(func.get(), t_.Name_) && PyList_Check(args.get()) && PyList_GET_SIZE(args.get()) == 0 &&
            PyList_Check(kws.get()) && PyList_GET_SIZE(kws.get()) == 0) {
            Ref id = getattr(func.get(), n_id);
            if (!id) return {};
            if (PyUnicode_Check(id.get()) && PyUnicode_CompareWithASCIIString(id.get(), "set") == 0)
                return Ref::steal(PySet_New(nullptr));
        }
        return rejected(node);
    }

    // real +/- imaginary: the printed form of a complex number.
    Ref complex_number(PyObject* node) {
        Ref op = getattr(node, n_op);
        if (!op) return {};
        bool add = is(op.get(), t_.Add);
        if (!add && !is(op.get(), t_.Sub)) return rejected(node);
        Ref l = getattr(node, n_left);
        Ref r = l ? getattr(node, n_right) : Ref();
        if (!r) return {};
        Ref left = signed_num(l.get(), node);
        Ref right = left ? num(r.get(), node) : Ref();
        if (!right) return {};
        if ((PyLong_CheckExact(left.get()) || PyFloat_CheckExact(left.get())) && PyComplex_CheckExact(right.get()))
            return Ref::steal(add ? PyNumber_Add(left.get(), right.get()) : PyNumber_Subtract(left.get(), right.get()));
        return rejected(node);
    }
};

// The syntax tree of the text, or null with the error set.
Ref parse(const char* s, PyObject* file) {
    PyCompilerFlags flags;
    flags.cf_flags = PyCF_ONLY_AST | PyCF_SOURCE_IS_UTF8 | PyCF_IGNORE_COOKIE;
    flags.cf_feature_version = PY_MINOR_VERSION;
    Ref module = Ref::steal(Py_CompileStringObject(s, file, Py_file_input, &flags, -1));
    if (!module && PyErr_ExceptionMatches(PyExc_MemoryError)) {
        // The host's parser gives up on very deep nesting with a bare MemoryError.
        SavedError err;
        err.fetch();
        PyErr_Format(PyExc_MemoryError, "File \"%U\": the parser ran out of memory (the text may be nested too deeply)",
                     file);
        err.chain_under_current();
    }
    return module;
}

bool read_statements_or_throw(PyObject* text, PyObject* file, Ref& a) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(text, &n);
    if (!s) return false;
    const char* nul = static_cast<const char*>(std::memchr(s, 0, static_cast<size_t>(n)));
    if (nul) {
        long line = 1;
        for (const char* q = s; q < nul; ++q) line += *q == '\n';
        PyErr_SetString(PyExc_SyntaxError, "source code cannot contain null bytes");
        PyErr_SyntaxLocationObject(file, static_cast<int>(line), 0);
        return false;
    }
    Fast got = fast_read(s, n, a);
    if (got != Fast::Bail) return got == Fast::Read;
    a.reset();
    if (!check_nesting(s, n, file)) return false;
    Ref module = parse(s, file);
    if (!module || !load_tree_types()) return false;
    return Reader(*g_ast, file).run(module.get(), a);
}

}  // namespace

bool load_tree_types() {
    if (g_ast) return true;
    // Straight to the import system: no frame's __import__ is consulted.
    Ref m = Ref::steal(PyImport_ImportModuleLevel("_ast", nullptr, nullptr, nullptr, 0));
    if (!m) return false;
    Ast t;
    struct Item {
        PyObject** slot;
        const char* name;
    } items[] = {{&t.Assign, "Assign"}, {&t.Name_, "Name"},       {&t.Constant, "Constant"}, {&t.List, "List"},
                 {&t.Tuple, "Tuple"},   {&t.Set, "Set"},          {&t.Dict, "Dict"},         {&t.Call, "Call"},
                 {&t.BinOp, "BinOp"},   {&t.UnaryOp, "UnaryOp"}, {&t.Add, "Add"},           {&t.Sub, "Sub"},
                 {&t.UAdd, "UAdd"},     {&t.USub, "USub"}};
    std::vector<Ref> got;
    for (Item& it : items) {
        got.push_back(Ref::steal(PyObject_GetAttrString(m.get(), it.name)));
        if (!got.back()) return false;
        *it.slot = got.back().get();
    }
    // Published whole, with the references kept for the life of the process.
    g_ast = new Ast(t);
    for (Ref& r : got) r.release();
    return true;
}

bool raise_not_literal(PyObject* file, long line, const char* what) {
    PyErr_Format(PyExc_ValueError,
                 "File \"%U\", line %ld: only assignments of literal values can be read, found %s "
                 "(nothing was run)",
                 file, line, what);
    return false;
}

bool read_statements(PyObject* text, PyObject* file, Ref& a) {
    try {
        return read_statements_or_throw(text, file, a);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

}  // namespace lystra
