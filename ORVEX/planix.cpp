// planix: a plane vector with two float components.
//
// The class is an ordinary Python class built from the native methods below.
// Every method reads the components from the instance (and the operand) at
// call time and applies the host's arithmetic to what it finds; every vector
// result is built by calling whatever the module-level name `planix` is bound
// to. `sqrt`, `atan` and `deg` come from numerix and are looked up at each call.
//
// Fast paths, each indistinguishable from the general one:
//  * exact float operands: the double arithmetic float's own slots would do;
//  * constructing a result: when `planix` is still our class, its metaclass is
//    `type`, its `__new__` is object's and its `__init__` our own, the instance
//    is allocated and initialised directly, which is all type.__call__ would do.
#include "orvex/rt.hpp"

using namespace rt;

namespace {

Name n_x("x"), n_y("y");
Name n_planix("planix"), n_float("float"), n_int("int");
Name n_sqrt("sqrt"), n_atan("atan"), n_deg("deg");
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

Ref host_op(Op op, PyObject* a, PyObject* b) {
    switch (op) {
        case Op::Add: return Ref::steal(PyNumber_Add(a, b));
        case Op::Sub: return Ref::steal(PyNumber_Subtract(a, b));
        case Op::Mul: return Ref::steal(PyNumber_Multiply(a, b));
    }
    return {};
}

double native_op(Op op, double a, double b) {
    switch (op) {
        case Op::Add: return a + b;
        case Op::Sub: return a - b;
        case Op::Mul: return a * b;
    }
    return 0.0;
}

// Stores the two components as new floats, x first: the body of __init__.
bool init_fields(PyObject* self, double x, double y) {
    Ref fx = flt(x);
    if (!fx || !setattr(self, n_x, fx.get())) return false;
    Ref fy = flt(y);
    return fy && setattr(self, n_y, fy.get());
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

// cls(x, y) for components already known as doubles.
PyObject* construct_d(PyObject* cls, double x, double y) {
    if (direct_construct_ok(cls)) {
        Ref obj = Ref::steal(new_instance(cls));
        if (!obj || !init_fields(obj.get(), x, y)) return nullptr;
        return obj.release();
    }
    if (PyErr_Occurred()) return nullptr;
    Ref fx = flt(x), fy = flt(y);
    if (!fx || !fy) return nullptr;
    return call(cls, {fx.get(), fy.get()}).release();
}

// cls(x, y) for arbitrary component objects.
PyObject* construct(PyObject* cls, PyObject* x, PyObject* y) {
    if (direct_construct_ok(cls)) {
        double dx, dy;
        if (!to_double(x, dx) || !to_double(y, dy)) return nullptr;
        Ref obj = Ref::steal(new_instance(cls));
        if (!obj || !init_fields(obj.get(), dx, dy)) return nullptr;
        return obj.release();
    }
    if (PyErr_Occurred()) return nullptr;
    return call(cls, {x, y}).release();
}

bool both_float(PyObject* a, PyObject* b) { return PyFloat_CheckExact(a) && PyFloat_CheckExact(b); }

// planix(self.x <op> other.x, self.y <op> other.y)
PyObject* componentwise(Fn* fn, PyObject* self, PyObject* other, Op op) {
    Ref cls = global(fn, n_planix);
    if (!cls) return nullptr;
    Ref sx = getattr(self, n_x);
    if (!sx) return nullptr;
    Ref ox = getattr(other, n_x);
    if (!ox) return nullptr;
    if (both_float(sx.get(), ox.get())) {
        double rx = native_op(op, PyFloat_AS_DOUBLE(sx.get()), PyFloat_AS_DOUBLE(ox.get()));
        Ref sy = getattr(self, n_y);
        if (!sy) return nullptr;
        Ref oy = getattr(other, n_y);
        if (!oy) return nullptr;
        if (both_float(sy.get(), oy.get())) {
            double ry = native_op(op, PyFloat_AS_DOUBLE(sy.get()), PyFloat_AS_DOUBLE(oy.get()));
            return construct_d(cls.get(), rx, ry);
        }
        Ref fx = flt(rx);
        Ref ry = fx ? host_op(op, sy.get(), oy.get()) : Ref();
        if (!ry) return nullptr;
        return construct(cls.get(), fx.get(), ry.get());
    }
    Ref rx = host_op(op, sx.get(), ox.get());
    if (!rx) return nullptr;
    Ref sy = getattr(self, n_y);
    if (!sy) return nullptr;
    Ref oy = getattr(other, n_y);
    if (!oy) return nullptr;
    Ref ry = host_op(op, sy.get(), oy.get());
    if (!ry) return nullptr;
    return construct(cls.get(), rx.get(), ry.get());
}

// ---------------------------------------------------------------------------
// Methods
// ---------------------------------------------------------------------------

PyObject* init_impl(Fn*, Value* v) {
    Depth depth;
    if (!depth.ok) return nullptr;
    if (!init_fields(v[0].obj.get(), v[1].d, v[2].d)) return nullptr;
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
    Ref cls = global(fn, n_planix);
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

    cls = global(fn, n_planix);
    if (!cls) return nullptr;
    Ref sx = getattr(self, n_x);
    if (!sx) return nullptr;
    Ref rx = host_op(Op::Mul, sx.get(), other);
    if (!rx) return nullptr;
    Ref sy = getattr(self, n_y);
    if (!sy) return nullptr;
    if (both_float(rx.get(), sy.get()) && PyFloat_CheckExact(other)) {
        double ry = PyFloat_AS_DOUBLE(sy.get()) * PyFloat_AS_DOUBLE(other);
        return construct_d(cls.get(), PyFloat_AS_DOUBLE(rx.get()), ry);
    }
    Ref ry = host_op(Op::Mul, sy.get(), other);
    if (!ry) return nullptr;
    return construct(cls.get(), rx.get(), ry.get());
}

// x**2 + y**2 with the integer exponent 2.
Ref square_sum(PyObject* self) {
    Ref two = lng(2);
    Ref sx = getattr(self, n_x);
    if (!two || !sx) return {};
    Ref px = Ref::steal(PyNumber_Power(sx.get(), two.get(), Py_None));
    if (!px) return {};
    Ref sy = getattr(self, n_y);
    if (!sy) return {};
    Ref py = Ref::steal(PyNumber_Power(sy.get(), two.get(), Py_None));
    if (!py) return {};
    return Ref::steal(PyNumber_Add(px.get(), py.get()));
}

PyObject* length_impl(Fn* fn, Value* v) {
    Depth depth;
    if (!depth.ok) return nullptr;
    Ref sqrt_fn = global(fn, n_sqrt);
    if (!sqrt_fn) return nullptr;
    Ref s = square_sum(v[0].obj.get());
    if (!s) return nullptr;
    return call(sqrt_fn.get(), {s.get()}).release();
}

PyObject* across_impl(Fn* fn, Value* v) {
    Depth depth;
    if (!depth.ok) return nullptr;
    PyObject* self = v[0].obj.get();
    Ref cls = global(fn, n_planix);
    if (!cls) return nullptr;
    Ref sy = getattr(self, n_y);
    if (!sy) return nullptr;
    Ref ny = Ref::steal(PyNumber_Negative(sy.get()));
    if (!ny) return nullptr;
    Ref sx = getattr(self, n_x);
    if (!sx) return nullptr;
    return construct(cls.get(), ny.get(), sx.get());
}

PyObject* unit_impl(Fn* fn, Value* v) {
    Depth depth;
    if (!depth.ok) return nullptr;
    PyObject* self = v[0].obj.get();
    Ref cls = global(fn, n_planix);
    if (!cls) return nullptr;
    Ref sx = getattr(self, n_x);
    if (!sx) return nullptr;
    Ref l1 = Ref::steal(PyObject_CallMethodNoArgs(self, n_length.get()));
    if (!l1) return nullptr;
    Ref rx = Ref::steal(PyNumber_TrueDivide(sx.get(), l1.get()));
    if (!rx) return nullptr;
    Ref sy = getattr(self, n_y);
    if (!sy) return nullptr;
    Ref l2 = Ref::steal(PyObject_CallMethodNoArgs(self, n_length.get()));
    if (!l2) return nullptr;
    Ref ry = Ref::steal(PyNumber_TrueDivide(sy.get(), l2.get()));
    if (!ry) return nullptr;
    return construct(cls.get(), rx.get(), ry.get());
}

PyObject* pow_impl(Fn*, Value* v) {
    Depth depth;
    if (!depth.ok) return nullptr;
    PyObject* self = v[0].obj.get();
    PyObject* other = v[1].obj.get();
    Ref sx = getattr(self, n_x);
    if (!sx) return nullptr;
    Ref ox = getattr(other, n_x);
    if (!ox) return nullptr;
    Ref px = host_op(Op::Mul, sx.get(), ox.get());
    if (!px) return nullptr;
    Ref sy = getattr(self, n_y);
    if (!sy) return nullptr;
    Ref oy = getattr(other, n_y);
    if (!oy) return nullptr;
    Ref py = host_op(Op::Mul, sy.get(), oy.get());
    if (!py) return nullptr;
    return host_op(Op::Add, px.get(), py.get()).release();
}

// Truth of `a <op> 0` with the host's comparison (exact floats compared directly).
int compare_zero(PyObject* a, int op) {
    if (PyFloat_CheckExact(a)) {
        double d = PyFloat_AS_DOUBLE(a);
        return op == Py_NE ? d != 0.0 : d == 0.0;
    }
    Ref zero = lng(0);
    if (!zero) return -1;
    Ref r = Ref::steal(PyObject_RichCompare(a, zero.get(), op));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

PyObject* angle_impl(Fn* fn, Value* v) {
    Depth depth;
    if (!depth.ok) return nullptr;
    PyObject* self = v[0].obj.get();
    Ref sx = getattr(self, n_x);
    if (!sx) return nullptr;
    int ne = compare_zero(sx.get(), Py_NE);
    if (ne < 0) return nullptr;
    if (ne) {
        Ref deg = global(fn, n_deg);
        if (!deg) return nullptr;
        Ref atan = global(fn, n_atan);
        if (!atan) return nullptr;
        Ref sy = getattr(self, n_y);
        if (!sy) return nullptr;
        Ref sx2 = getattr(self, n_x);
        if (!sx2) return nullptr;
        Ref q = Ref::steal(PyNumber_TrueDivide(sy.get(), sx2.get()));
        if (!q) return nullptr;
        Ref a = call(atan.get(), {q.get()});
        if (!a) return nullptr;
        return call(deg.get(), {a.get()}).release();
    }
    sx = getattr(self, n_x);
    if (!sx) return nullptr;
    int eq = compare_zero(sx.get(), Py_EQ);
    if (eq < 0) return nullptr;
    if (eq) return PyLong_FromLong(90);
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Declarations
// ---------------------------------------------------------------------------
const FnDef init_def{"__init__", "creates new vector", {P("self"), P("x", Conv::Double), P("y", Conv::Double)},
                     nullptr, init_impl};
const FnDef add_def{"__add__", nullptr, {P("self"), P("other")}, nullptr, add_impl};
const FnDef mul_def{"__mul__", nullptr, {P("self"), P("other")}, nullptr, mul_impl};
const FnDef sub_def{"__sub__", nullptr, {P("self"), P("other")}, nullptr, sub_impl};
const FnDef length_def{"length", "returns length of vector", {P("self")}, nullptr, length_impl};
const FnDef across_def{"across", "returns cross vector", {P("self")}, nullptr, across_impl};
const FnDef unit_def{"unit", "returns unit for vector", {P("self")}, nullptr, unit_impl};
const FnDef pow_def{"__pow__", nullptr, {P("self"), P("other")}, nullptr, pow_impl};
const FnDef angle_def{"angle", "returns angle for planix", {P("self")}, nullptr, angle_impl};

PyModuleDef moddef = {PyModuleDef_HEAD_INIT, "planix", "script handeling class planix", -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_planix() {
    Ref m = Ref::steal(make_module(&moddef, {}));
    if (!m) return nullptr;
    if (!import_from(m.get(), "ORVEX.numerix", {"sqrt", "atan", "deg"})) return nullptr;
    Ref cls = Ref::steal(make_class(m.get(), "planix", {&init_def, &add_def, &mul_def, &sub_def, &length_def,
                                                        &across_def, &unit_def, &pow_def, &angle_def}));
    if (!cls) return nullptr;
    Py_XSETREF(g_class, cls.release());
    return m.release();
}
