// multix: a vector with any number of components, the class `multiX`.
//
// The constructor keeps its positional arguments as the tuple `values` and
// their count as `length`. The operators accept only an operand whose exact
// type is `multiX` (and, for `*`, a float or an int) and answer None to the
// rest; sizes are compared through the stored `length` attributes. Results are
// built by calling whatever the module-level name `multiX` is bound to.
//
// Fast paths, each indistinguishable from the general one (see orvex/objects.hpp):
//  * `values` and `length` are read from the instance dict while the class leaves reads to it;
//  * an exact tuple of components is walked in place (a tuple cannot change);
//  * components the host would combine with float's own arithmetic are combined as
//    doubles;
//  * constructing a result: while `multiX` is still our class, untouched, the
//    instance is allocated and initialised directly, which is all type.__call__ would do.
#include "orvex/objects.hpp"

#include <utility>
#include <vector>

using namespace rt;

namespace {

Name n_values("values"), n_length("length");
GlobalName n_multiX("multiX");  // the global, looked up at each call

NativeClass g_class;  // the class created at load
InstanceAttrs g_attrs{&n_values, &n_length};  // read at each use

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

// The body of __init__: store the tuple, read it back and store its len().
bool init_fields(PyObject* self, PyObject* values) {
    if (!setattr(self, n_values, values)) return false;
    Ref stored = getattr(self, n_values);  // (a fresh instance: its dict is left as the host keeps it)
    if (!stored) return false;
    Py_ssize_t n = PyObject_Size(stored.get());
    if (n < 0) return false;
    Ref len = Ref::steal(PyLong_FromSsize_t(n));
    return len && setattr(self, n_length, len.get());
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
    // How many components there will be; -1 when not known in advance.
    Py_ssize_t size() const { return iter_ ? -1 : PyTuple_GET_SIZE(values_.get()); }
    // The next component; null at the end or on error (PyErr_Occurred() tells).
    Ref next() {
        if (iter_) return Ref::steal(PyIter_Next(iter_.get()));
        if (i_ >= PyTuple_GET_SIZE(values_.get())) return {};
        return Ref::borrow(PyTuple_GET_ITEM(values_.get(), i_++));
    }
};

// The results in order, becoming the constructor's arguments. They are held here and the
// argument tuple is made only after the last of them is computed: computing one may run
// Python code, which could otherwise reach a half-filled tuple (gc.get_objects()).
class Results {
    std::vector<Ref> items_;

public:
    explicit Results(Py_ssize_t size_hint) {
        if (size_hint > 0) items_.reserve(static_cast<size_t>(size_hint));
    }
    // false with the exception set (also when `r` is null: computing it failed)
    bool add(Ref r) {
        if (!r) return false;
        items_.push_back(std::move(r));
        return true;
    }
    // The argument tuple.
    Ref args() const {
        Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items_.size())));
        for (size_t i = 0; t && i < items_.size(); ++i)
            PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), items_[i].newref());
        return t;
    }
};

// cls(*results)
PyObject* construct(PyObject* cls, const Results& results) {
    Ref args = results.args();
    if (!args) return nullptr;
    if (g_class.direct(cls)) return g_class.make([&](PyObject* self) { return init_fields(self, args.get()); });
    return PyObject_Call(cls, args.get(), nullptr);
}

// other.length == self.length, with the host's == and truth.
int same_length(PyObject* self, PyObject* other) {
    Ref ol = g_attrs.get(other, n_length);
    if (!ol) return -1;
    Ref sl = g_attrs.get(self, n_length);
    if (!sl) return -1;
    if (PyLong_CheckExact(ol.get()) && PyLong_CheckExact(sl.get()))
        return PyObject_RichCompareBool(ol.get(), sl.get(), Py_EQ);
    Ref r = Ref::steal(PyObject_RichCompare(ol.get(), sl.get(), Py_EQ));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// other.values[i], `other.values` read afresh.
Ref item_of(PyObject* other, Py_ssize_t i) {
    Ref ovalues = g_attrs.get(other, n_values);
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
    if (!walk.open(g_attrs.get(self, n_values))) return nullptr;
    Results result(walk.size());
    Interrupts sig;
    for (Py_ssize_t i = 0;; ++i) {
        if (!sig.tick()) return nullptr;
        Ref v = walk.next();
        if (!v) {
            if (PyErr_Occurred()) return nullptr;
            break;
        }
        Ref w = item_of(other, i);
        if (!w || !result.add(arith(op, v.get(), w.get()))) return nullptr;
    }
    Ref cls = global(fn, n_multiX);
    if (!cls) return nullptr;
    return construct(cls.get(), result);
}

// multiX(*[v * other for each component v of self.values])
PyObject* scaled(Fn* fn, PyObject* self, PyObject* other) {
    Walk walk;
    if (!walk.open(g_attrs.get(self, n_values))) return nullptr;
    Results result(walk.size());
    Interrupts sig;
    while (Ref v = walk.next()) {
        if (!sig.tick() || !result.add(arith(Op::Mul, v.get(), other))) return nullptr;
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
// Methods
// ---------------------------------------------------------------------------

PyObject* init_impl(Fn*, Obj self, Args values) {
    if (!init_fields(self, values)) return nullptr;
    Py_RETURN_NONE;
}
const FnDef init_def = declare<&init_impl>("__init__", {P("self"), VarArgs("values")}, nullptr,
                                           "creates vector with userdefined dimensions");

PyObject* add_impl(Fn* fn, Obj self, Obj other) { return add_or_sub(fn, self, other, Op::Add); }
const FnDef add_def = declare<&add_impl>("__add__", {P("self"), P("other")});

PyObject* sub_impl(Fn* fn, Obj self, Obj other) { return add_or_sub(fn, self, other, Op::Sub); }
const FnDef sub_def = declare<&sub_impl>("__sub__", {P("self"), P("other")});

PyObject* mul_impl(Fn* fn, Obj self, Obj other) {
    return multiply(fn, other, n_multiX, [&] { return with_vector(fn, self, other, Op::Mul); },
                    [&] { return scaled(fn, self, other); });
}
const FnDef mul_def = declare<&mul_impl>("__mul__", {P("self"), P("other")});

PyModuleDef moddef = {PyModuleDef_HEAD_INIT, "multix", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_multix() {
    return class_module(&moddef, "ORVEX.numerix", {"sqrt"}, "multiX",
                        {&init_def, &add_def, &sub_def, &mul_def}, &g_class);
}
