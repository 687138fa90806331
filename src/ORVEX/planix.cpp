// planix: a plane vector with two float components.
//
// The class is an ordinary Python class built from the native methods below.
// Every method reads the components from the instance (and the operand) at
// call time and applies the host's arithmetic to what it finds; every vector
// result is built by calling whatever the module-level name `planix` is bound
// to. `sqrt`, `atan` and `deg` come from numerix and are looked up at each call.
//
// Fast paths, each indistinguishable from the general one (see orvex/objects.hpp):
//  * components are read from the instance dict while the class leaves reads to it,
//    all at once when every one is a float (no code can run between such reads);
//  * components the host would combine with float's own arithmetic are combined as
//    doubles, and a result made directly is stored from those doubles;
//  * constructing a result: while `planix` is still our class, untouched, the
//    instance is allocated and initialised directly, which is all type.__call__ would do.
#include "orvex/objects.hpp"

using namespace rt;

namespace {

Name n_x("x"), n_y("y");
// globals, looked up at each call
GlobalName n_planix("planix");
GlobalName n_sqrt("sqrt"), n_atan("atan"), n_deg("deg");
Name n_length("length");

NativeClass g_class;  // the class created at load
InstanceAttrs g_attrs{&n_x, &n_y};  // the components, read at each use

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

// Stores the two components as new floats, x first: the body of __init__.
bool init_fields(PyObject* self, double x, double y) {
    Ref fx = flt(x);
    if (!fx || !g_attrs.set(self, n_x, fx.get())) return false;
    Ref fy = flt(y);
    return fy && g_attrs.set(self, n_y, fy.get());
}

// cls(x, y)
PyObject* construct(PyObject* cls, const Num& x, const Num& y) {
    if (g_class.direct(cls)) {
        double dx, dy;
        return g_class.make([&] { return x.to_double(dx) && y.to_double(dy); },
                            [&](PyObject* self) { return init_fields(self, dx, dy); });
    }
    Ref ox = x.object();
    if (!ox) return nullptr;
    Ref oy = y.object();
    if (!oy) return nullptr;
    return call(cls, {ox.get(), oy.get()}).release();
}

// planix(self.x <op> other.x, self.y <op> other.y)
PyObject* componentwise(Fn* fn, PyObject* self, PyObject* other, Op op) {
    Ref cls = global(fn, n_planix);
    if (!cls) return nullptr;
    double a[2], b[2];
    if (g_attrs.floats(self, a) && g_attrs.floats(other, b))
        return construct(cls.get(), num(apply(op, a[0], b[0])), num(apply(op, a[1], b[1])));
    Num rx = attr_op(g_attrs, op, self, other, n_x);
    if (!rx.ok()) return nullptr;
    Num ry = attr_op(g_attrs, op, self, other, n_y);
    if (!ry.ok()) return nullptr;
    return construct(cls.get(), rx, ry);
}

// planix(self.x * other, self.y * other)
PyObject* scaled(Fn* fn, PyObject* self, PyObject* other) {
    Ref cls = global(fn, n_planix);
    if (!cls) return nullptr;
    double a[2], k;
    if (exact_double(other, k) && g_attrs.floats(self, a))
        return construct(cls.get(), num(a[0] * k), num(a[1] * k));
    Num rx = attr_scaled(g_attrs, Op::Mul, self, n_x, other);
    if (!rx.ok()) return nullptr;
    Num ry = attr_scaled(g_attrs, Op::Mul, self, n_y, other);
    if (!ry.ok()) return nullptr;
    return construct(cls.get(), rx, ry);
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

// ---------------------------------------------------------------------------
// Methods
// ---------------------------------------------------------------------------

PyObject* init_impl(Fn*, Obj self, double x, double y) {
    if (!init_fields(self, x, y)) return nullptr;
    Py_RETURN_NONE;
}
const FnDef init_def = declare<&init_impl>("__init__", {P("self"), P("x"), P("y")}, nullptr, "creates new vector");

PyObject* add_impl(Fn* fn, Obj self, Obj other) { return componentwise(fn, self, other, Op::Add); }
const FnDef add_def = declare<&add_impl>("__add__", {P("self"), P("other")});

PyObject* sub_impl(Fn* fn, Obj self, Obj other) { return componentwise(fn, self, other, Op::Sub); }
const FnDef sub_def = declare<&sub_impl>("__sub__", {P("self"), P("other")});

PyObject* mul_impl(Fn* fn, Obj self, Obj other) {
    return multiply(fn, other, n_planix, [&] { return componentwise(fn, self, other, Op::Mul); },
                    [&] { return scaled(fn, self, other); });
}
const FnDef mul_def = declare<&mul_impl>("__mul__", {P("self"), P("other")});

PyObject* length_impl(Fn* fn, Obj self) {
    Ref sqrt_fn = global(fn, n_sqrt);
    if (!sqrt_fn) return nullptr;
    Ref s = square_sum(g_attrs, self);
    if (!s) return nullptr;
    return call(sqrt_fn.get(), {s.get()}).release();
}
const FnDef length_def = declare<&length_impl>("length", {P("self")}, nullptr, "returns length of vector");

// planix(-y, x)
PyObject* across_impl(Fn* fn, Obj self) {
    Ref cls = global(fn, n_planix);
    if (!cls) return nullptr;
    Ref sy = g_attrs.get(self, n_y);
    if (!sy) return nullptr;
    Num ny;
    if (PyFloat_CheckExact(sy.get())) {
        ny = num(-PyFloat_AS_DOUBLE(sy.get()));
    } else {
        ny.obj = Ref::steal(PyNumber_Negative(sy.get()));
        if (!ny.obj) return nullptr;
    }
    Num sx;
    sx.obj = g_attrs.get(self, n_x);
    if (!sx.obj) return nullptr;
    return construct(cls.get(), ny, sx);
}
const FnDef across_def = declare<&across_impl>("across", {P("self")}, nullptr, "returns cross vector");

// planix(x / self.length(), y / self.length()), length() looked up on self each time.
PyObject* unit_impl(Fn* fn, Obj self) {
    Ref cls = global(fn, n_planix);
    if (!cls) return nullptr;
    Num r[2];
    Name* names[2] = {&n_x, &n_y};
    for (int i = 0; i < 2; ++i) {
        Ref c = g_attrs.get(self, *names[i]);
        if (!c) return nullptr;
        Ref len = Ref::steal(PyObject_CallMethodNoArgs(self, n_length.get()));
        if (!len) return nullptr;
        r[i] = combine(Op::Div, c.get(), len.get());
        if (!r[i].ok()) return nullptr;
    }
    return construct(cls.get(), r[0], r[1]);
}
const FnDef unit_def = declare<&unit_impl>("unit", {P("self")}, nullptr, "returns unit for vector");

PyObject* pow_impl(Fn*, Obj self, Obj other) { return dot(g_attrs, self, other).release(); }
const FnDef pow_def = declare<&pow_impl>("__pow__", {P("self"), P("other")});

PyObject* angle_impl(Fn* fn, Obj self) {
    Ref sx = g_attrs.get(self, n_x);
    if (!sx) return nullptr;
    int ne = compare_zero(sx.get(), Py_NE);
    if (ne < 0) return nullptr;
    if (ne) {
        Ref deg = global(fn, n_deg);
        if (!deg) return nullptr;
        Ref atan = global(fn, n_atan);
        if (!atan) return nullptr;
        Ref sy = g_attrs.get(self, n_y);
        if (!sy) return nullptr;
        Ref sx2 = g_attrs.get(self, n_x);
        if (!sx2) return nullptr;
        Ref q = arith(Op::Div, sy.get(), sx2.get());
        if (!q) return nullptr;
        Ref a = call(atan.get(), {q.get()});
        if (!a) return nullptr;
        return call(deg.get(), {a.get()}).release();
    }
    sx = g_attrs.get(self, n_x);
    if (!sx) return nullptr;
    int eq = compare_zero(sx.get(), Py_EQ);
    if (eq < 0) return nullptr;
    if (eq) return PyLong_FromLong(90);
    Py_RETURN_NONE;
}
const FnDef angle_def = declare<&angle_impl>("angle", {P("self")}, nullptr, "returns angle for planix");

PyModuleDef moddef = {PyModuleDef_HEAD_INIT, "planix", "script handeling class planix", -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_planix() {
    return class_module(&moddef, "ORVEX.numerix", {"sqrt", "atan", "deg"}, "planix",
                        {&init_def, &add_def, &mul_def, &sub_def, &length_def, &across_def, &unit_def, &pow_def,
                         &angle_def},
                        &g_class);
}
