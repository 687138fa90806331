// multix: a vector with any number of components, the class `multiX`.
//
// The constructor keeps its positional arguments as the tuple `values` and
// their count as `length`. The operators accept only an operand whose exact
// type is `multiX` (and, for `*`, a float or an int) and answer None to the
// rest; sizes are compared through the stored `length` attributes. Results are
// built by calling whatever the module-level name `multiX` is bound to.
//
// Fast paths, each indistinguishable from the general one (see orvex/objects.hpp):
//  * an exact tuple of components is walked in place (a tuple cannot change);
//  * components the host would combine with float's own arithmetic are combined as
//    doubles;
//  * constructing a result: while `multiX` is still our class, untouched, the
//    instance is allocated and initialised directly, which is all type.__call__ would do.
#include "orvex/objects.hpp"

#include <vector>

using namespace rt;

namespace {

Name n_values("values"), n_length("length");
GlobalName n_multiX("multiX");  // the global, looked up at each call

NativeClass g_class;  // the class created at load

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

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

// cls(*items)
PyObject* construct(PyObject* cls, std::vector<Ref>& items) {
    Ref args = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!args) return nullptr;
    for (size_t i = 0; i < items.size(); ++i) PyTuple_SET_ITEM(args.get(), i, items[i].release());
    if (g_class.direct(cls)) return g_class.make([&](PyObject* self) { return init_fields(self, args.get()); });
    return PyObject_Call(cls, args.get(), nullptr);
}

// The components of a `values` object in order: an exact tuple is walked in place (a
// tuple cannot change), anything else through the iterator protocol.
class Walk {
    Ref values_, iter_;
    Py_ssize_t i_ = 0;

public:
    // false with the exception set (also when `values` is null: its read failed)
    bool open(Ref values) {
        values_ = std::move(values);
        if (!values_) return false;
        if (PyTuple_CheckExact(values_.get())) return true;
        iter_ = Ref::steal(PyObject_GetIter(values_.get()));
        return bool(iter_);
    }
    // The expected number of components (0 when unknown).
    size_t hint() const { return iter_ ? 0 : static_cast<size_t>(PyTuple_GET_SIZE(values_.get())); }
    // The next component; null at the end or on error (PyErr_Occurred() tells).
    Ref next() {
        if (iter_) return Ref::steal(PyIter_Next(iter_.get()));
        if (i_ >= PyTuple_GET_SIZE(values_.get())) return {};
        return Ref::borrow(PyTuple_GET_ITEM(values_.get(), i_++));
    }
};

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

// other.values[i], `other.values` read afresh.
Ref item_of(PyObject* other, Py_ssize_t i) {
    Ref ovalues = getattr(other, n_values);
    if (!ovalues) return {};
    if (PyTuple_CheckExact(ovalues.get())) {
        if (i < PyTuple_GET_SIZE(ovalues.get())) return Ref::borrow(PyTuple_GET_ITEM(ovalues.get(), i));
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return {};
    }
    Ref idx = Ref::steal(PyLong_FromSsize_t(i));
    if (!idx) return {};
    return Ref::steal(PyObject_GetItem(ovalues.get(), idx.get()));
}

// multiX(*[v <op> other.values[i] for each component v of self.values])
PyObject* pairwise(Fn* fn, PyObject* self, PyObject* other, Op op) {
    Walk walk;
    if (!walk.open(getattr(self, n_values))) return nullptr;
    std::vector<Ref> result;
    result.reserve(walk.hint());
    for (Py_ssize_t i = 0;; ++i) {
        Ref v = walk.next();
        if (!v) {
            if (PyErr_Occurred()) return nullptr;
            break;
        }
        Ref w = item_of(other, i);
        if (!w) return nullptr;
        result.push_back(arith(op, v.get(), w.get()));
        if (!result.back()) return nullptr;
    }
    Ref cls = global(fn, n_multiX);
    if (!cls) return nullptr;
    return construct(cls.get(), result);
}

// multiX(*[v * other for each component v of self.values])
PyObject* scaled(Fn* fn, PyObject* self, PyObject* other) {
    Walk walk;
    if (!walk.open(getattr(self, n_values))) return nullptr;
    std::vector<Ref> result;
    result.reserve(walk.hint());
    while (Ref v = walk.next()) {
        result.push_back(arith(Op::Mul, v.get(), other));
        if (!result.back()) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref cls = global(fn, n_multiX);
    if (!cls) return nullptr;
    return construct(cls.get(), result);
}

// None unless `other` is a multiX of the same length, else the pairwise result.
PyObject* with_vector(Fn* fn, PyObject* self, PyObject* other, Op op) {
    int same = same_length(self, other);
    if (same < 0) return nullptr;
    if (!same) Py_RETURN_NONE;
    return pairwise(fn, self, other, op);
}

// The shared body of + and -.
PyObject* add_or_sub(Fn* fn, PyObject* self, PyObject* other, Op op) {
    Ref cls = global(fn, n_multiX);
    if (!cls) return nullptr;
    int is = type_is(other, cls.get());
    if (is < 0) return nullptr;
    if (!is) Py_RETURN_NONE;
    return with_vector(fn, self, other, op);
}

// ---------------------------------------------------------------------------
// Methods (each counts a level of call depth: see counted)
// ---------------------------------------------------------------------------

PyObject* init_impl(Fn*, Value* v) {
    if (!init_fields(v[0].obj.get(), v[1].obj.get())) return nullptr;
    Py_RETURN_NONE;
}

PyObject* add_impl(Fn* fn, Value* v) { return add_or_sub(fn, v[0].obj.get(), v[1].obj.get(), Op::Add); }

PyObject* sub_impl(Fn* fn, Value* v) { return add_or_sub(fn, v[0].obj.get(), v[1].obj.get(), Op::Sub); }

PyObject* mul_impl(Fn* fn, Value* v) {
    PyObject* self = v[0].obj.get();
    PyObject* other = v[1].obj.get();
    switch (classify(fn, other, n_multiX)) {
        case Operand::Vector: return with_vector(fn, self, other, Op::Mul);
        case Operand::Scalar: return scaled(fn, self, other);
        case Operand::Other: Py_RETURN_NONE;
        case Operand::Error: break;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Declarations
// ---------------------------------------------------------------------------
const FnDef init_def{"__init__", "creates vector with userdefined dimensions", {P("self"), VarArgs("values")},
                     nullptr, counted<init_impl>};
const FnDef add_def{"__add__", nullptr, {P("self"), P("other")}, nullptr, counted<add_impl>};
const FnDef sub_def{"__sub__", nullptr, {P("self"), P("other")}, nullptr, counted<sub_impl>};
const FnDef mul_def{"__mul__", nullptr, {P("self"), P("other")}, nullptr, counted<mul_impl>};

PyModuleDef moddef = {PyModuleDef_HEAD_INIT, "multix", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_multix() {
    Ref m = Ref::steal(make_module(&moddef, {}));
    if (!m) return nullptr;
    if (!import_from(m.get(), "ORVEX.numerix", {"sqrt"})) return nullptr;
    Ref cls = Ref::steal(make_class(m.get(), "multiX", {&init_def, &add_def, &sub_def, &mul_def}));
    if (!cls || !g_class.bind(cls.get())) return nullptr;
    return m.release();
}
