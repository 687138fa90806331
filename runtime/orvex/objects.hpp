// Classes built from native methods (rt::make_class): the pieces their methods share.
//
//  * Depth           one level of the interpreter's call-depth count, for work done in
//                    place of a call.
//  * type_is         type(o) == cls with the host's ==; is_float_or_int and classify for
//                    the late-bound `type(other) == <class>` / `== float or == int` tests.
//  * InstanceAttrs   reads of named attributes answered from the instance dict while the
//                    generic lookup would end there; all of an object's float components at
//                    once when no code can run in between.
//  * Op, Num         the host's + - * / and ** 2 on objects, computed as doubles where float's
//                    own slots would compute them; attr_op, dot, square_sum over components
//                    read from attributes at call time.
//  * NativeClass     the class a module made at load: whether calling what its name is
//                    bound to now would do nothing but allocate an instance and run our
//                    own __init__, and that construction done directly.
//
// Header-only: each module gets its own copy (as it gets its own copy of the runtime).
#pragma once

#include "orvex/rt.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>


namespace rt {

// ---------------------------------------------------------------------------
// Call depth
// ---------------------------------------------------------------------------

// Counts one level of the interpreter's recursion count for its lifetime; `ok` is false
// (with RecursionError set) when the limit is reached. For work done in place of a call
// that would have counted (NativeClass::make); calls of native methods are counted by
// their guarded entry (rt::enter_native).
class Depth {
public:
    const bool ok;
    explicit Depth(const char* where = "") : ok(Py_EnterRecursiveCall(where) == 0) {}
    ~Depth() {
        if (ok) Py_LeaveRecursiveCall();
    }
    Depth(const Depth&) = delete;
    Depth& operator=(const Depth&) = delete;
};

// Names used below (interned with the module's other names).
inline GlobalName g_float_name("float"), g_int_name("int");
inline Name n_dunder_init("__init__");

// ---------------------------------------------------------------------------
// Exact-type checks
// ---------------------------------------------------------------------------

// type(o) == cls with the host's ==; instances of `type` itself compare by identity. -1 on error.
inline int type_is(PyObject* o, PyObject* cls) {
    PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(o));
    if (Py_TYPE(t) == &PyType_Type && Py_TYPE(cls) == &PyType_Type) return t == cls;
    Ref r = Ref::steal(PyObject_RichCompare(t, cls, Py_EQ));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// type(o) == float or type(o) == int, each name looked up as a global of `fn` when its
// comparison is reached (so `bool` and subclasses never match). -1 on error.
inline int is_float_or_int(Fn* fn, PyObject* o) {
    Ref ft = global(fn, g_float_name);
    if (!ft) return -1;
    int is = type_is(o, ft.get());
    if (is != 0) return is;
    Ref it = global(fn, g_int_name);
    return it ? type_is(o, it.get()) : -1;
}

// How an operator that examines its operand sees it: type(other) == the object bound to the
// global `cls_name` (Vector), else type(other) == float or == int (Scalar), else Other.
// Error with the exception set.
enum class Operand { Error, Other, Vector, Scalar };

inline Operand classify(Fn* fn, PyObject* other, GlobalName& cls_name) {
    Ref cls = global(fn, cls_name);
    if (!cls) return Operand::Error;
    int is = type_is(other, cls.get());
    if (is) return is < 0 ? Operand::Error : Operand::Vector;
    is = is_float_or_int(fn, other);
    return is < 0 ? Operand::Error : is ? Operand::Scalar : Operand::Other;
}

// The operand test of `*` in the vector classes: `vector()` for an operand of the class
// itself, `scalar()` for a float or an int, None for anything else.
template <class Vector, class Scalar>
PyObject* multiply(Fn* fn, PyObject* other, GlobalName& cls_name, Vector&& vector, Scalar&& scalar) {
    switch (classify(fn, other, cls_name)) {
        case Operand::Vector: return vector();
        case Operand::Scalar: return scalar();
        case Operand::Other: Py_RETURN_NONE;
        case Operand::Error: break;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Instance attributes
// ---------------------------------------------------------------------------

// Reads of the named attributes (at most four) that go straight to the instance dict
// when the generic lookup would end there: the object's type has the generic attribute
// access and no class attribute of any of the names (rt::PlainAttrs, remembered per type);
// writes likewise go straight to the generic store only when it is the type's own. A name
// missing from the dict, or a dict that cannot be had, goes through the host's own lookup
// (which raises its own error).
class InstanceAttrs {
    Name* names_[4] = {};
    Py_ssize_t hints_[4] = {};
    int count_ = 0;

    int slot(Name& n) const {
        for (int i = 0; i < count_; ++i)
            if (names_[i] == &n) return i;
        return 0;  // any slot is a valid guess
    }
    // The position PyDict_Next reports the key at (0 if it is not there).
    static Py_ssize_t position(PyObject* dict, PyObject* key) {
        Py_ssize_t pos = 0, at = 0;
        PyObject *k, *v;
        while (PyDict_Next(dict, &pos, &k, &v)) {
            if (k == key) return at;
            at = pos;
        }
        return 0;
    }
    // Reads, and writes, that the generic attribute access would answer from the instance
    // dict alone (a class's own __setattr__ makes writes not plain while reads still are).
    PlainAttrs reads_, writes_;

public:
    InstanceAttrs(std::initializer_list<Name*> names) : reads_(kAttrRead, names), writes_(kAttrWrite, names) {
        for (Name* n : names)
            if (count_ < 4) names_[count_++] = n;
    }

    // What getattr(o, n) gives; `n` must be one of the names.
    Ref get(PyObject* o, Name& n) {
#if !defined(Py_GIL_DISABLED)
        if (reads_(Py_TYPE(o))) {
            PyObject* dict = PyObject_GenericGetDict(o, nullptr);
            if (dict) {
                PyObject* v = nullptr;
#if ORVEX_DICT_HINTS
                // The entry where the name was last found, if it is still there: the entry
                // of the very key object is the dict's one entry for that key.
                Py_ssize_t& hint = hints_[slot(n)];
                Py_ssize_t pos = hint;
                PyObject* key;
                if (!(PyDict_Next(dict, &pos, &key, &v) && key == n.get())) {
                    v = PyDict_GetItemWithError(dict, n.get());
                    if (v) hint = position(dict, n.get());
                }
#else
                v = PyDict_GetItemWithError(dict, n.get());
#endif
                Ref r = Ref::borrow(v);
                Py_DECREF(dict);
                if (v || PyErr_Occurred()) return r;
            } else {
                PyErr_Clear();
            }
        }
#endif
        return getattr(o, n);
    }

    // What setattr(o, n, v) does; false with the exception set. (The generic store is
    // called directly: the name is interned already, which is all the host adds.)
    bool set(PyObject* o, Name& n, PyObject* v) {
#if !defined(Py_GIL_DISABLED)
        if (writes_(Py_TYPE(o))) return PyObject_GenericSetAttr(o, n.get(), v) == 0;
#endif
        return setattr(o, n, v);
    }

    int size() const { return count_; }
    Name& name(int i) const { return *names_[i]; }

    // Every named attribute of `o`, in order, as the double of an exact float, when each
    // read would be answered from the instance dict at the entry where it was found last:
    // such reads run no code at all, so taking them ahead of their turn cannot be seen.
    // false (no exception set) otherwise: the caller then reads the ordinary way.
    bool floats(PyObject* o, double* out) {
#if ORVEX_DICT_HINTS
        if (!reads_(Py_TYPE(o))) return false;
        PyObject* dict = PyObject_GenericGetDict(o, nullptr);
        if (!dict) {
            PyErr_Clear();
            return false;
        }
        bool ok = true;
        for (int i = 0; ok && i < count_; ++i) {
            Py_ssize_t pos = hints_[i];
            PyObject *key, *v;
            ok = PyDict_Next(dict, &pos, &key, &v) && key == names_[i]->get() && PyFloat_CheckExact(v);
            if (ok) out[i] = PyFloat_AS_DOUBLE(v);
        }
        Py_DECREF(dict);  // the instance still holds it
        return ok;
#else
        (void)o, (void)out;
        return false;
#endif
    }
};

// ---------------------------------------------------------------------------
// Arithmetic on stored objects
// ---------------------------------------------------------------------------
enum class Op { Add, Sub, Mul, Div };

inline double apply(Op op, double a, double b) {
    switch (op) {
        case Op::Add: return a + b;
        case Op::Sub: return a - b;
        case Op::Mul: return a * b;
        case Op::Div: return a / b;
    }
    return 0.0;
}

// The host's a <op> b through the number protocol (Div is true division).
inline Ref host_op(Op op, PyObject* a, PyObject* b) {
    switch (op) {
        case Op::Add: return Ref::steal(PyNumber_Add(a, b));
        case Op::Sub: return Ref::steal(PyNumber_Subtract(a, b));
        case Op::Mul: return Ref::steal(PyNumber_Multiply(a, b));
        case Op::Div: return Ref::steal(PyNumber_TrueDivide(a, b));
    }
    return {};
}

// Whether the host computes a <op> b with float's own slot, on two values it converts
// exactly: an exact float with an exact float or an exact int of magnitude at most 2**53
// (int's slot declines a float, float's converts the int). Division by zero is left to the
// host, which raises.
inline bool float_pair(Op op, PyObject* a, PyObject* b, double& x, double& y) {
    if (!PyFloat_CheckExact(a) && !PyFloat_CheckExact(b)) return false;
    return exact_double(a, x) && exact_double(b, y) && !(op == Op::Div && y == 0.0);
}

// A computed number: a double while the host would have used float's own arithmetic (no
// object needed yet), the host's result object otherwise. !ok(): the exception is set.
struct Num {
    Ref obj;
    double d = 0.0;
    bool is_double = false;

    bool ok() const { return is_double || obj; }
    // As an object (a new float for a double).
    Ref object() const { return is_double ? flt(d) : obj; }
    // The host's float conversion of it (what a parameter annotated `float` gets).
    bool to_double(double& out) const {
        if (is_double) {
            out = d;
            return true;
        }
        return rt::to_double(obj.get(), out);
    }
};

inline Num num(double d) {
    Num r;
    r.d = d;
    r.is_double = true;
    return r;
}

// a <op> b
inline Num combine(Op op, PyObject* a, PyObject* b) {
    double x, y;
    if (float_pair(op, a, b, x, y)) return num(apply(op, x, y));
    Num r;
    r.obj = host_op(op, a, b);
    return r;
}

// The host's a <op> b as an object.
inline Ref arith(Op op, PyObject* a, PyObject* b) { return combine(op, a, b).object(); }

// a <op> b for two computed numbers.
inline Num combine(Op op, const Num& a, const Num& b) {
    if (a.is_double && b.is_double && !(op == Op::Div && b.d == 0.0)) return num(apply(op, a.d, b.d));
    Ref x = a.object();
    if (!x) return {};
    Ref y = b.object();
    if (!y) return {};
    return combine(op, x.get(), y.get());
}

// The host's o ** 2 with the int exponent 2. For a finite exact float the host ends in
// float's own power, which (the exponent being a positive even integer) is the C library's
// pow() of the magnitude, raising only when that overflows: computed here with the same
// pow(), through an exponent the compiler cannot see (it would rewrite pow(x, 2.0) as x * x,
// which rounds differently for some x). Anything else goes through the host's power.
inline bool square_double(double x, double& r) {
    static volatile double two = 2.0;
    if (!std::isfinite(x)) return false;
    r = std::pow(std::fabs(x), static_cast<double>(two));
    return std::isfinite(r);
}

inline Num square(PyObject* o) {
    double sq;
    if (PyFloat_CheckExact(o) && square_double(PyFloat_AS_DOUBLE(o), sq)) return num(sq);
    Num r;
    Ref two = lng(2);
    if (!two) return r;
    if (PyFloat_CheckExact(o))
        r.obj = Ref::steal(PyFloat_Type.tp_as_number->nb_power(o, two.get(), Py_None));
    else
        r.obj = Ref::steal(PyNumber_Power(o, two.get(), Py_None));
    return r;
}

// ---------------------------------------------------------------------------
// Components read from attributes at call time
// ---------------------------------------------------------------------------

// self.<a> <op> other.<b>, read in that order.
inline Num attr_op(InstanceAttrs& attrs, Op op, PyObject* self, Name& a, PyObject* other, Name& b) {
    Ref x = attrs.get(self, a);
    if (!x) return {};
    Ref y = attrs.get(other, b);
    if (!y) return {};
    return combine(op, x.get(), y.get());
}

// self.<name> <op> other.<name>
inline Num attr_op(InstanceAttrs& attrs, Op op, PyObject* self, PyObject* other, Name& name) {
    return attr_op(attrs, op, self, name, other, name);
}

// self.<name> <op> scalar
inline Num attr_scaled(InstanceAttrs& attrs, Op op, PyObject* self, Name& name, PyObject* scalar) {
    Ref a = attrs.get(self, name);
    if (!a) return {};
    return combine(op, a.get(), scalar);
}

// self.a * other.a + self.b * other.b + ... over the names of `attrs`, summed from the
// left (the dot product).
inline Ref dot(InstanceAttrs& attrs, PyObject* self, PyObject* other) {
    double a[4], b[4];
    if (attrs.floats(self, a) && attrs.floats(other, b)) {
        double sum = a[0] * b[0];
        for (int i = 1; i < attrs.size(); ++i) sum = sum + a[i] * b[i];
        return flt(sum);
    }
    Num sum;
    bool first = true;
    for (int i = 0; i < attrs.size(); ++i) {
        Name* n = &attrs.name(i);
        Num p = attr_op(attrs, Op::Mul, self, other, *n);
        if (!p.ok()) return {};
        sum = first ? std::move(p) : combine(Op::Add, sum, p);
        if (!sum.ok()) return {};
        first = false;
    }
    return sum.object();
}

// self.a ** 2 + self.b ** 2 + ... over the names of `attrs`, summed from the left.
inline Ref square_sum(InstanceAttrs& attrs, PyObject* self) {
    double a[4];
    if (attrs.floats(self, a)) {
        double sum = 0.0, sq;
        int i = 0;
        for (; i < attrs.size() && square_double(a[i], sq); ++i) sum = i ? sum + sq : sq;
        if (i == attrs.size()) return flt(sum);
    }
    Num sum;
    bool first = true;
    for (int i = 0; i < attrs.size(); ++i) {
        Ref a = attrs.get(self, attrs.name(i));
        if (!a) return {};
        Num p = square(a.get());
        if (!p.ok()) return {};
        sum = first ? std::move(p) : combine(Op::Add, sum, p);
        if (!sum.ok()) return {};
        first = false;
    }
    return sum.object();
}

// ---------------------------------------------------------------------------
// Results built through the module-level class name
// ---------------------------------------------------------------------------

// The class a module creates at load. Results are built by calling whatever the module's
// name is bound to at that moment; when that is still this class, untouched, the call would
// only run object.__new__ and our own __init__, so the instance is made directly:
//
//     if (g_class.direct(callee)) return g_class.make([&](PyObject* self) { ...store... });
//     return call(callee, {...});
class NativeClass {
    PyObject* cls_ = nullptr;      // the class (strong)
    PyObject* init_ = nullptr;     // its __init__ as made (strong)
    PyObject* no_args_ = nullptr;  // () for object.__new__

public:
    // After make_class; false with an exception set if the class has no native __init__.
    bool bind(PyObject* cls) {
        if (!PyType_Check(cls)) {
            PyErr_SetString(PyExc_SystemError, "NativeClass::bind needs a class");
            return false;
        }
        PyObject* init = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), n_dunder_init.get());
        if (!init || Py_TYPE(init) != &FnType) {
            PyErr_SetString(PyExc_SystemError, "NativeClass::bind needs a class with a native __init__");
            return false;
        }
        PyObject* no_args = PyTuple_New(0);
        if (!no_args) return false;
        Py_XSETREF(no_args_, no_args);
        Py_XSETREF(cls_, newref(cls));
        Py_XSETREF(init_, newref(init));
        return true;
    }

    PyObject* get() const { return cls_; }

    // Whether calling `callee` would do nothing but allocate an instance and run our
    // __init__: it is our class, its metaclass is `type` (so type.__call__ runs), its
    // __new__ is object's, it is not abstract and its __init__ is still ours.
    bool direct(PyObject* callee) const {
        if (callee != cls_ || Py_TYPE(callee) != &PyType_Type) return false;
        PyTypeObject* t = reinterpret_cast<PyTypeObject*>(callee);
        return t->tp_new == PyBaseObject_Type.tp_new && !(t->tp_flags & Py_TPFLAGS_IS_ABSTRACT) &&
               _PyType_Lookup(t, n_dunder_init.get()) == init_;
    }

    // The instance type.__call__ would make: object.__new__(cls) (which also sets up the
    // instance's attribute storage the way the interpreter expects), then what binding the
    // arguments of our __init__ does (`convert`, false on error), then its body (`fill`).
    // The call depth is counted as on that route: one level for calling the class, one
    // inside __init__.
    template <class Convert, class Fill>
    PyObject* make(Convert&& convert, Fill&& fill) const {
        Depth call(" while calling a Python object");
        if (!call.ok) return nullptr;
        Ref obj = Ref::steal(PyBaseObject_Type.tp_new(reinterpret_cast<PyTypeObject*>(cls_), no_args_, nullptr));
        if (!obj || !convert()) return nullptr;
        Depth init;
        if (!init.ok || !fill(obj.get())) return nullptr;
        return obj.release();
    }
    template <class Fill>
    PyObject* make(Fill&& fill) const {
        return make([] { return true; }, fill);
    }
};

// ---------------------------------------------------------------------------
// The module body of the vector and colour modules
// ---------------------------------------------------------------------------

// The module, then `from <sibling> import <names>`, then its one class `cls_name` from
// native methods, bound to `native` when given (for direct construction). Every method is
// counted by its guarded entry, so deeply nested components raise RecursionError instead
// of overflowing the stack.
inline PyObject* class_module(PyModuleDef* def, const char* sibling, std::initializer_list<const char*> names,
                              const char* cls_name, std::initializer_list<const FnDef*> methods,
                              NativeClass* native = nullptr) {
    return guarded_init(def->m_name, [&]() -> PyObject* {
        Ref m = Ref::steal(make_module(def, {}));
        if (!m || !import_from(m.get(), sibling, names)) return nullptr;
        Ref cls = Ref::steal(make_class(m.get(), cls_name, methods));
        if (!cls || (native && !native->bind(cls.get()))) return nullptr;
        return m.release();
    });
}

}  // namespace rt
