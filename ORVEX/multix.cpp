// multix: a vector with any number of components, the class `multiX`.
//
// The constructor keeps its positional arguments as the tuple `values` and
// their count as `length`. The operators accept only an operand whose exact
// type is `multiX` (and, for `*`, a float or an int) and answer None to the
// rest; sizes are compared through the stored `length` attributes. Results are
// built by calling whatever the module-level name `multiX` is bound to.
//
// Fast paths, each indistinguishable from the general one:
//  * an exact tuple of components is walked in place (a tuple cannot change);
//  * exact float components are combined as float's own slots would;
//  * constructing a result: when `multiX` is still our class, its metaclass is
//    `type`, its `__new__` is object's and its `__init__` our own, the instance
//    is allocated and initialised directly, which is all type.__call__ would do.
#include "orvex/rt.hpp"

using namespace rt;

namespace {

Name n_values("values"), n_length("length");
Name n_multiX("multiX"), n_float("float"), n_int("int"), n_init("__init__");

PyObject* g_class = nullptr;  // the class created at load (strong reference)
extern const FnDef init_def;

// Components may themselves be vectors, so these methods can re-enter one another
// through the number protocol with no Python frame in between: count the depth the
// way the interpreter counts calls, so a deep nesting raises RecursionError.
struct Depth {
    bool ok;
    Depth() : ok(Py_EnterRecursiveCall("") == 0) {}
    ~Depth() {
        if (ok) Py_LeaveRecursiveCall();
    }
    Depth(const Depth&) = delete;
    Depth& operator=(const Depth&) = delete;
};

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

// type(o) == cls with the host's ==; plain type objects compare by identity.
int type_is(PyObject* o, PyObject* cls) {
    PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(o));
    if (Py_TYPE(t) == &PyType_Type && Py_TYPE(cls) == &PyType_Type) return t == cls;
    Ref r = Ref::steal(PyObject_RichCompare(t, cls, Py_EQ));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

enum class Op { Add, Sub, Mul };

// The host's a <op> b; two exact floats are combined as float's own slots would.
Ref arith(Op op, PyObject* a, PyObject* b) {
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
        double x = PyFloat_AS_DOUBLE(a), y = PyFloat_AS_DOUBLE(b);
        switch (op) {
            case Op::Add: return flt(x + y);
            case Op::Sub: return flt(x - y);
            case Op::Mul: return flt(x * y);
        }
    }
    switch (op) {
        case Op::Add: return Ref::steal(PyNumber_Add(a, b));
        case Op::Sub: return Ref::steal(PyNumber_Subtract(a, b));
        case Op::Mul: return Ref::steal(PyNumber_Multiply(a, b));
    }
    return {};
}

// The body of __init__: store the tuple, read it back and store its len().
bool init_fields(PyObject* self, PyObject* values) {
    if (!setattr(self, n_values, values)) return false;
    Ref stored = getattr(self, n_values);
    if (!stored) return false;
    Py_ssize_t n = PyObject_Size(stored.get());
    if (n < 0) return false;
    Ref len = Ref::steal(PyLong_FromSsize_t(n));
    return len && setattr(self, n_length, len.get());
}

// Whether calling `cls` would do nothing but allocate and run our __init__.
bool direct_construct_ok(PyObject* cls) {
    if (cls != g_class || Py_TYPE(cls) != &PyType_Type) return false;
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(cls);
    if (t->tp_new != PyBaseObject_Type.tp_new || (t->tp_flags & Py_TPFLAGS_IS_ABSTRACT)) return false;
    PyObject* init = PyDict_GetItemWithError(t->tp_dict, n_init.get());
    return init && is_fn(init, &init_def);
}

// object.__new__(cls): what type.__call__ would do before __init__ (this also sets up
// the instance's attribute storage the way the interpreter expects).
PyObject* new_instance(PyObject* cls) {
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) return nullptr;
    return PyBaseObject_Type.tp_new(reinterpret_cast<PyTypeObject*>(cls), no_args.get(), nullptr);
}

// cls(*items) for a list of results (the list is ours alone).
PyObject* construct(PyObject* cls, PyObject* items) {
    Ref args = Ref::steal(PyList_AsTuple(items));
    if (!args) return nullptr;
    if (direct_construct_ok(cls)) {
        Ref obj = Ref::steal(new_instance(cls));
        if (!obj || !init_fields(obj.get(), args.get())) return nullptr;
        return obj.release();
    }
    if (PyErr_Occurred()) return nullptr;
    return PyObject_Call(cls, args.get(), nullptr);
}

// other.length == self.length, with the host's == and truth.
int same_length(PyObject* self, PyObject* other) {
    Ref ol = getattr(other, n_length);
    if (!ol) return -1;
    Ref sl = getattr(self, n_length);
    if (!sl) return -1;
    if (PyLong_CheckExact(ol.get()) && PyLong_CheckExact(sl.get()))
        return PyObject_RichCompareBool(ol.get(), sl.get(), Py_EQ);
    Ref r = Ref::steal(PyObject_RichCompare(ol.get(), sl.get(), Py_EQ));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// Appends v <op> other.values[i] for each component v of self.values.
PyObject* pairwise(Fn* fn, PyObject* self, PyObject* other, Op op) {
    Ref result = Ref::steal(PyList_New(0));
    if (!result) return nullptr;
    Ref values = getattr(self, n_values);
    if (!values) return nullptr;
    Ref iter;
    bool is_tuple = PyTuple_CheckExact(values.get());
    if (!is_tuple) {
        iter = Ref::steal(PyObject_GetIter(values.get()));
        if (!iter) return nullptr;
    }
    for (Py_ssize_t i = 0;; ++i) {
        Ref v;
        if (is_tuple) {
            if (i >= PyTuple_GET_SIZE(values.get())) break;
            v = Ref::borrow(PyTuple_GET_ITEM(values.get(), i));
        } else {
            v = Ref::steal(PyIter_Next(iter.get()));
            if (!v) {
                if (PyErr_Occurred()) return nullptr;
                break;
            }
        }
        Ref ovalues = getattr(other, n_values);
        if (!ovalues) return nullptr;
        Ref w;
        if (PyTuple_CheckExact(ovalues.get())) {
            if (i < PyTuple_GET_SIZE(ovalues.get())) {
                w = Ref::borrow(PyTuple_GET_ITEM(ovalues.get(), i));
            } else {
                PyErr_SetString(PyExc_IndexError, "tuple index out of range");
                return nullptr;
            }
        } else {
            Ref idx = Ref::steal(PyLong_FromSsize_t(i));
            if (!idx) return nullptr;
            w = Ref::steal(PyObject_GetItem(ovalues.get(), idx.get()));
            if (!w) return nullptr;
        }
        Ref r = arith(op, v.get(), w.get());
        if (!r || PyList_Append(result.get(), r.get()) < 0) return nullptr;
    }
    Ref cls = global(fn, n_multiX);
    if (!cls) return nullptr;
    return construct(cls.get(), result.get());
}

// The shared body of + and -: None unless `other` is a multiX of the same length.
PyObject* combine(Fn* fn, PyObject* self, PyObject* other, Op op) {
    Ref cls = global(fn, n_multiX);
    if (!cls) return nullptr;
    int is = type_is(other, cls.get());
    if (is < 0) return nullptr;
    if (!is) Py_RETURN_NONE;
    int same = same_length(self, other);
    if (same < 0) return nullptr;
    if (!same) Py_RETURN_NONE;
    return pairwise(fn, self, other, op);
}

// ---------------------------------------------------------------------------
// Methods
// ---------------------------------------------------------------------------

PyObject* init_impl(Fn*, Value* v) {
    Depth depth;
    if (!depth.ok) return nullptr;
    if (!init_fields(v[0].obj.get(), v[1].obj.get())) return nullptr;
    Py_RETURN_NONE;
}

PyObject* add_impl(Fn* fn, Value* v) {
    Depth depth;
    if (!depth.ok) return nullptr;
    return combine(fn, v[0].obj.get(), v[1].obj.get(), Op::Add);
}
PyObject* sub_impl(Fn* fn, Value* v) {
    Depth depth;
    if (!depth.ok) return nullptr;
    return combine(fn, v[0].obj.get(), v[1].obj.get(), Op::Sub);
}

PyObject* mul_impl(Fn* fn, Value* v) {
    Depth depth;
    if (!depth.ok) return nullptr;
    PyObject* self = v[0].obj.get();
    PyObject* other = v[1].obj.get();
    Ref cls = global(fn, n_multiX);
    if (!cls) return nullptr;
    int is = type_is(other, cls.get());
    if (is < 0) return nullptr;
    if (is) {
        int same = same_length(self, other);
        if (same < 0) return nullptr;
        if (!same) Py_RETURN_NONE;
        return pairwise(fn, self, other, Op::Mul);
    }
    Ref ft = global(fn, n_float);
    if (!ft) return nullptr;
    is = type_is(other, ft.get());
    if (is == 0) {
        Ref it = global(fn, n_int);
        if (!it) return nullptr;
        is = type_is(other, it.get());
    }
    if (is < 0) return nullptr;
    if (!is) Py_RETURN_NONE;

    Ref result = Ref::steal(PyList_New(0));
    if (!result) return nullptr;
    Ref values = getattr(self, n_values);
    if (!values) return nullptr;
    Ref iter = Ref::steal(PyObject_GetIter(values.get()));
    if (!iter) return nullptr;
    while (Ref c = Ref::steal(PyIter_Next(iter.get()))) {
        Ref r = arith(Op::Mul, c.get(), other);
        if (!r || PyList_Append(result.get(), r.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    cls = global(fn, n_multiX);
    if (!cls) return nullptr;
    return construct(cls.get(), result.get());
}

// ---------------------------------------------------------------------------
// Declarations
// ---------------------------------------------------------------------------
const FnDef init_def{"__init__", "creates vector with userdefined dimensions", {P("self"), VarArgs("values")},
                     nullptr, init_impl};
const FnDef add_def{"__add__", nullptr, {P("self"), P("other")}, nullptr, add_impl};
const FnDef sub_def{"__sub__", nullptr, {P("self"), P("other")}, nullptr, sub_impl};
const FnDef mul_def{"__mul__", nullptr, {P("self"), P("other")}, nullptr, mul_impl};

PyModuleDef moddef = {PyModuleDef_HEAD_INIT, "multix", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_multix() {
    Ref m = Ref::steal(make_module(&moddef, {}));
    if (!m) return nullptr;
    if (!import_from(m.get(), "ORVEX.numerix", {"sqrt"})) return nullptr;
    Ref cls = Ref::steal(make_class(m.get(), "multiX", {&init_def, &add_def, &sub_def, &mul_def}));
    if (!cls) return nullptr;
    Py_XSETREF(g_class, cls.release());
    return m.release();
}
