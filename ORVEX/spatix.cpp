// spatix: a vector in space with three components of any kind.
//
// The constructor stores its arguments unchanged; every method reads the
// components from the instance (and the operand) at call time and applies the
// host's arithmetic to them. Vector results are built by calling whatever the
// module-level name `spatix` is bound to. `sqrt`, `deg` and `atan2` come from
// numerix and are looked up at each call.
//
// Fast paths, each indistinguishable from the general one:
//  * exact float operands: the double arithmetic float's own slots would do;
//  * constructing a result: when `spatix` is still our class, its metaclass is
//    `type`, its `__new__` is object's and its `__init__` our own, the instance
//    is allocated and initialised directly, which is all type.__call__ would do.
#include "orvex/rt.hpp"

using namespace rt;

namespace {

Name n_x("x"), n_y("y"), n_z("z");
Name n_spatix("spatix"), n_float("float"), n_int("int");
Name n_sqrt("sqrt"), n_deg("deg"), n_atan2("atan2");
Name n_length("length"), n_init("__init__");

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

// The body of __init__: the three components, stored as given, x first.
bool init_fields(PyObject* self, PyObject* x, PyObject* y, PyObject* z) {
    return setattr(self, n_x, x) && setattr(self, n_y, y) && setattr(self, n_z, z);
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

// cls(x, y, z)
PyObject* construct(PyObject* cls, PyObject* x, PyObject* y, PyObject* z) {
    if (direct_construct_ok(cls)) {
        Ref obj = Ref::steal(new_instance(cls));
        if (!obj || !init_fields(obj.get(), x, y, z)) return nullptr;
        return obj.release();
    }
    if (PyErr_Occurred()) return nullptr;
    return call(cls, {x, y, z}).release();
}

// spatix(self.x <op> other.x, self.y <op> other.y, self.z <op> other.z)
PyObject* componentwise(Fn* fn, PyObject* self, PyObject* other, Op op) {
    static Name* const names[3] = {&n_x, &n_y, &n_z};
    Ref cls = global(fn, n_spatix);
    if (!cls) return nullptr;
    Ref r[3];
    for (int i = 0; i < 3; ++i) {
        Ref a = getattr(self, *names[i]);
        if (!a) return nullptr;
        Ref b = getattr(other, *names[i]);
        if (!b) return nullptr;
        r[i] = arith(op, a.get(), b.get());
        if (!r[i]) return nullptr;
    }
    return construct(cls.get(), r[0].get(), r[1].get(), r[2].get());
}

// ---------------------------------------------------------------------------
// Methods
// ---------------------------------------------------------------------------

PyObject* init_impl(Fn*, Value* v) {
    Depth depth;
    if (!depth.ok) return nullptr;
    if (!init_fields(v[0].obj.get(), v[1].obj.get(), v[2].obj.get(), v[3].obj.get())) return nullptr;
    Py_RETURN_NONE;
}

PyObject* add_impl(Fn* fn, Value* v) {
    Depth depth;
    if (!depth.ok) return nullptr;
    return componentwise(fn, v[0].obj.get(), v[1].obj.get(), Op::Add);
}
PyObject* sub_impl(Fn* fn, Value* v) {
    Depth depth;
    if (!depth.ok) return nullptr;
    return componentwise(fn, v[0].obj.get(), v[1].obj.get(), Op::Sub);
}

PyObject* mul_impl(Fn* fn, Value* v) {
    Depth depth;
    if (!depth.ok) return nullptr;
    PyObject* self = v[0].obj.get();
    PyObject* other = v[1].obj.get();
    Ref cls = global(fn, n_spatix);
    if (!cls) return nullptr;
    int is = type_is(other, cls.get());
    if (is < 0) return nullptr;
    if (is) return componentwise(fn, self, other, Op::Mul);
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

    cls = global(fn, n_spatix);
    if (!cls) return nullptr;
    static Name* const names[3] = {&n_x, &n_y, &n_z};
    Ref r[3];
    for (int i = 0; i < 3; ++i) {
        Ref a = getattr(self, *names[i]);
        if (!a) return nullptr;
        r[i] = arith(Op::Mul, a.get(), other);
        if (!r[i]) return nullptr;
    }
    return construct(cls.get(), r[0].get(), r[1].get(), r[2].get());
}

PyObject* pow_impl(Fn*, Value* v) {
    Depth depth;
    if (!depth.ok) return nullptr;
    PyObject* self = v[0].obj.get();
    PyObject* other = v[1].obj.get();
    static Name* const names[3] = {&n_x, &n_y, &n_z};
    Ref sum;
    for (int i = 0; i < 3; ++i) {
        Ref a = getattr(self, *names[i]);
        if (!a) return nullptr;
        Ref b = getattr(other, *names[i]);
        if (!b) return nullptr;
        Ref p = arith(Op::Mul, a.get(), b.get());
        if (!p) return nullptr;
        sum = sum ? arith(Op::Add, sum.get(), p.get()) : p;
        if (!sum) return nullptr;
    }
    return sum.release();
}

// The host's a ** 2.
Ref square(PyObject* a) {
    Ref two = lng(2);
    if (!two) return {};
    return Ref::steal(PyNumber_Power(a, two.get(), Py_None));
}

PyObject* length_impl(Fn* fn, Value* v) {
    Depth depth;
    if (!depth.ok) return nullptr;
    PyObject* self = v[0].obj.get();
    Ref sqrt_fn = global(fn, n_sqrt);
    if (!sqrt_fn) return nullptr;
    static Name* const names[3] = {&n_x, &n_y, &n_z};
    Ref sum;
    for (int i = 0; i < 3; ++i) {
        Ref a = getattr(self, *names[i]);
        if (!a) return nullptr;
        Ref p = square(a.get());
        if (!p) return nullptr;
        sum = sum ? arith(Op::Add, sum.get(), p.get()) : p;
        if (!sum) return nullptr;
    }
    return call(sqrt_fn.get(), {sum.get()}).release();
}

PyObject* truediv_impl(Fn* fn, Value* v) {
    Depth depth;
    if (!depth.ok) return nullptr;
    PyObject* self = v[0].obj.get();
    double d = v[1].d;
    Ref cls = global(fn, n_spatix);
    if (!cls) return nullptr;
    static Name* const names[3] = {&n_x, &n_y, &n_z};
    Ref r[3];
    for (int i = 0; i < 3; ++i) {
        Ref a = getattr(self, *names[i]);
        if (!a) return nullptr;
        if (PyFloat_CheckExact(a.get()) && d != 0.0) {
            r[i] = flt(PyFloat_AS_DOUBLE(a.get()) / d);
        } else {
            Ref divisor = flt(d);
            if (!divisor) return nullptr;
            r[i] = Ref::steal(PyNumber_TrueDivide(a.get(), divisor.get()));
        }
        if (!r[i]) return nullptr;
    }
    return construct(cls.get(), r[0].get(), r[1].get(), r[2].get());
}

// deg(atan2(self.<first>, self.x))
Ref plane_angle(Fn* fn, PyObject* self, Name& first) {
    Ref deg = global(fn, n_deg);
    if (!deg) return {};
    Ref atan2 = global(fn, n_atan2);
    if (!atan2) return {};
    Ref a = getattr(self, first);
    if (!a) return {};
    Ref x = getattr(self, n_x);
    if (!x) return {};
    Ref rad = call(atan2.get(), {a.get(), x.get()});
    if (!rad) return {};
    return call(deg.get(), {rad.get()});
}

PyObject* angles_impl(Fn* fn, Value* v) {
    Depth depth;
    if (!depth.ok) return nullptr;
    PyObject* self = v[0].obj.get();
    Ref a = plane_angle(fn, self, n_y);
    if (!a) return nullptr;
    Ref b = plane_angle(fn, self, n_z);
    if (!b) return nullptr;
    return PyTuple_Pack(2, a.get(), b.get());
}

PyObject* floordiv_impl(Fn* fn, Value* v) {
    Depth depth;
    if (!depth.ok) return nullptr;
    PyObject* self = v[0].obj.get();
    PyObject* other = v[1].obj.get();
    // (first of self, second of other, third of self, fourth of other) per component
    static Name* const order[3][4] = {
        {&n_y, &n_z, &n_z, &n_y},
        {&n_z, &n_x, &n_x, &n_z},
        {&n_x, &n_y, &n_y, &n_x},
    };
    Ref r[3];
    for (int i = 0; i < 3; ++i) {
        Ref a = getattr(self, *order[i][0]);
        if (!a) return nullptr;
        Ref b = getattr(other, *order[i][1]);
        if (!b) return nullptr;
        Ref p = arith(Op::Mul, a.get(), b.get());
        if (!p) return nullptr;
        Ref c = getattr(self, *order[i][2]);
        if (!c) return nullptr;
        Ref d = getattr(other, *order[i][3]);
        if (!d) return nullptr;
        Ref q = arith(Op::Mul, c.get(), d.get());
        if (!q) return nullptr;
        r[i] = arith(Op::Sub, p.get(), q.get());
        if (!r[i]) return nullptr;
    }
    Ref cls = global(fn, n_spatix);
    if (!cls) return nullptr;
    return construct(cls.get(), r[0].get(), r[1].get(), r[2].get());
}

PyObject* unit_impl(Fn*, Value* v) {
    Depth depth;
    if (!depth.ok) return nullptr;
    PyObject* self = v[0].obj.get();
    Ref len = Ref::steal(PyObject_CallMethodNoArgs(self, n_length.get()));
    if (!len) return nullptr;
    return PyNumber_TrueDivide(self, len.get());
}

// ---------------------------------------------------------------------------
// Declarations
// ---------------------------------------------------------------------------
const FnDef init_def{"__init__", "creates new vector", {P("self"), P("x"), P("y"), P("z")}, nullptr, init_impl};
const FnDef add_def{"__add__", nullptr, {P("self"), P("other")}, nullptr, add_impl};
const FnDef sub_def{"__sub__", nullptr, {P("self"), P("other")}, nullptr, sub_impl};
const FnDef mul_def{"__mul__", nullptr, {P("self"), P("other")}, nullptr, mul_impl};
const FnDef pow_def{"__pow__", nullptr, {P("self"), P("other")}, nullptr, pow_impl};
const FnDef length_def{"length", "returns length of vector", {P("self")}, nullptr, length_impl};
const FnDef truediv_def{"__truediv__", nullptr, {P("self"), P("other", Conv::Double)}, nullptr, truediv_impl};
const FnDef angles_def{"angles", "returns eleveation and direction of 3 dimensional vector", {P("self")}, nullptr,
                       angles_impl};
const FnDef floordiv_def{"__floordiv__", nullptr, {P("self"), P("other", Conv::Object, {}, "object")}, nullptr,
                         floordiv_impl};
const FnDef unit_def{"unit", "returns unit vector", {P("self")}, nullptr, unit_impl};

PyModuleDef moddef = {PyModuleDef_HEAD_INIT, "spatix", "script handeling class spatix", -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_spatix() {
    Ref m = Ref::steal(make_module(&moddef, {}));
    if (!m) return nullptr;
    if (!import_from(m.get(), "ORVEX.numerix", {"sqrt", "deg", "atan2"})) return nullptr;
    Ref cls = Ref::steal(make_class(m.get(), "spatix", {&init_def, &add_def, &sub_def, &mul_def, &pow_def,
                                                        &length_def, &truediv_def, &angles_def, &floordiv_def,
                                                        &unit_def}));
    if (!cls) return nullptr;
    Py_XSETREF(g_class, cls.release());
    return m.release();
}
