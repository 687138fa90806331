// spatix: a vector in space with three components of any kind.
//
// The constructor stores its arguments unchanged; every method reads the
// components from the instance (and the operand) at call time and applies the
// host's arithmetic to them. Vector results are built by calling whatever the
// module-level name `spatix` is bound to. `sqrt`, `deg` and `atan2` come from
// numerix and are looked up at each call.
//
// Fast paths, each indistinguishable from the general one (see orvex/objects.hpp):
//  * components are read from the instance dict while the class leaves reads to it,
//    all at once when every one is a float (no code can run between such reads);
//  * components the host would combine with float's own arithmetic are combined as
//    doubles;
//  * constructing a result: while `spatix` is still our class, untouched, the
//    instance is allocated and initialised directly, which is all type.__call__ would do.
#include "orvex/objects.hpp"

using namespace rt;

namespace {

Name n_x("x"), n_y("y"), n_z("z");
// globals, looked up at each call
GlobalName n_spatix("spatix");
GlobalName n_sqrt("sqrt"), n_deg("deg"), n_atan2("atan2");
Name n_length("length");

NativeClass g_class;  // the class created at load
InstanceAttrs g_attrs{&n_x, &n_y, &n_z};  // the components, read at each use

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

// The body of __init__: the three components, stored as given, x first.
bool init_fields(PyObject* self, PyObject* x, PyObject* y, PyObject* z) {
    return g_attrs.set(self, n_x, x) && g_attrs.set(self, n_y, y) && g_attrs.set(self, n_z, z);
}

// cls(x, y, z) for three computed components (all ok()).
PyObject* construct(PyObject* cls, const Num (&r)[3]) {
    Ref o[3];
    for (int i = 0; i < 3; ++i) {
        o[i] = r[i].object();
        if (!o[i]) return nullptr;
    }
    if (g_class.direct(cls))
        return g_class.make([&](PyObject* self) { return init_fields(self, o[0].get(), o[1].get(), o[2].get()); });
    return call(cls, {o[0].get(), o[1].get(), o[2].get()}).release();
}

Name* const xyz[3] = {&n_x, &n_y, &n_z};

// spatix(self.x <op> other.x, self.y <op> other.y, self.z <op> other.z)
PyObject* componentwise(Fn* fn, PyObject* self, PyObject* other, Op op) {
    Ref cls = global(fn, n_spatix);
    if (!cls) return nullptr;
    Num r[3];
    double a[3], b[3];
    if (g_attrs.floats(self, a) && g_attrs.floats(other, b)) {
        for (int i = 0; i < 3; ++i) r[i] = num(apply(op, a[i], b[i]));
        return construct(cls.get(), r);
    }
    for (int i = 0; i < 3; ++i) {
        r[i] = attr_op(g_attrs, op, self, other, *xyz[i]);
        if (!r[i].ok()) return nullptr;
    }
    return construct(cls.get(), r);
}

// spatix(self.x * other, self.y * other, self.z * other)
PyObject* scaled(Fn* fn, PyObject* self, PyObject* other) {
    Ref cls = global(fn, n_spatix);
    if (!cls) return nullptr;
    Num r[3];
    double a[3], k;
    if (exact_double(other, k) && g_attrs.floats(self, a)) {
        for (int i = 0; i < 3; ++i) r[i] = num(a[i] * k);
        return construct(cls.get(), r);
    }
    for (int i = 0; i < 3; ++i) {
        r[i] = attr_scaled(g_attrs, Op::Mul, self, *xyz[i], other);
        if (!r[i].ok()) return nullptr;
    }
    return construct(cls.get(), r);
}

// deg(atan2(self.<first>, self.x))
Ref plane_angle(Fn* fn, PyObject* self, Name& first) {
    Ref deg = global(fn, n_deg);
    if (!deg) return {};
    Ref atan2 = global(fn, n_atan2);
    if (!atan2) return {};
    Ref a = g_attrs.get(self, first);
    if (!a) return {};
    Ref x = g_attrs.get(self, n_x);
    if (!x) return {};
    Ref rad = call(atan2.get(), {a.get(), x.get()});
    if (!rad) return {};
    return call(deg.get(), {rad.get()});
}

// ---------------------------------------------------------------------------
// Methods
// ---------------------------------------------------------------------------

PyObject* init_impl(Fn*, Obj self, Obj x, Obj y, Obj z) {
    if (!init_fields(self, x, y, z)) return nullptr;
    Py_RETURN_NONE;
}
const FnDef init_def = declare<&init_impl>("__init__", {P("self"), P("x"), P("y"), P("z")}, nullptr,
                                           "creates new vector");

PyObject* add_impl(Fn* fn, Obj self, Obj other) { return componentwise(fn, self, other, Op::Add); }
const FnDef add_def = declare<&add_impl>("__add__", {P("self"), P("other")});

// Deliberate: `-` subtracts component-wise (it never adds).
PyObject* sub_impl(Fn* fn, Obj self, Obj other) { return componentwise(fn, self, other, Op::Sub); }
const FnDef sub_def = declare<&sub_impl>("__sub__", {P("self"), P("other")});

PyObject* mul_impl(Fn* fn, Obj self, Obj other) {
    return multiply(fn, other, n_spatix, [&] { return componentwise(fn, self, other, Op::Mul); },
                    [&] { return scaled(fn, self, other); });
}
const FnDef mul_def = declare<&mul_impl>("__mul__", {P("self"), P("other")});

PyObject* pow_impl(Fn*, Obj self, Obj other) { return dot(g_attrs, self, other).release(); }
const FnDef pow_def = declare<&pow_impl>("__pow__", {P("self"), P("other")});

PyObject* length_impl(Fn* fn, Obj self) {
    Ref sqrt_fn = global(fn, n_sqrt);
    if (!sqrt_fn) return nullptr;
    Ref s = square_sum(g_attrs, self);
    if (!s) return nullptr;
    return call(sqrt_fn.get(), {s.get()}).release();
}
const FnDef length_def = declare<&length_impl>("length", {P("self")}, nullptr, "returns length of vector");

// spatix(x / other, y / other, z / other), `other` converted to a double on entry and
// each component divided by a new float holding it.
PyObject* truediv_impl(Fn* fn, Obj self, double other) {
    Ref cls = global(fn, n_spatix);
    if (!cls) return nullptr;
    Num r[3];
    for (int i = 0; i < 3; ++i) {
        Ref a = g_attrs.get(self, *xyz[i]);
        if (!a) return nullptr;
        double x;
        if (other != 0.0 && exact_double(a.get(), x)) {  // float's own division: no divisor object needed
            r[i] = num(x / other);
        } else {
            Ref divisor = flt(other);
            if (!divisor) return nullptr;
            r[i].obj = host_op(Op::Div, a.get(), divisor.get());
            if (!r[i].obj) return nullptr;
        }
    }
    return construct(cls.get(), r);
}
const FnDef truediv_def = declare<&truediv_impl>("__truediv__", {P("self"), P("other")});

PyObject* angles_impl(Fn* fn, Obj self) {
    Ref a = plane_angle(fn, self, n_y);
    if (!a) return nullptr;
    Ref b = plane_angle(fn, self, n_z);
    if (!b) return nullptr;
    return PyTuple_Pack(2, a.get(), b.get());
}
const FnDef angles_def = declare<&angles_impl>("angles", {P("self")}, nullptr,
                                               "returns eleveation and direction of 3 dimensional vector");

// The cross product: (y * oz - z * oy, z * ox - x * oz, x * oy - y * ox), in that order.
PyObject* floordiv_impl(Fn* fn, Obj self, Obj other) {
    // (name of self, name of other) for the two products of each component
    static Name* const order[3][4] = {
        {&n_y, &n_z, &n_z, &n_y},
        {&n_z, &n_x, &n_x, &n_z},
        {&n_x, &n_y, &n_y, &n_x},
    };
    Num r[3];
    double a[3], b[3];
    if (g_attrs.floats(self, a) && g_attrs.floats(other, b)) {
        r[0] = num(a[1] * b[2] - a[2] * b[1]);
        r[1] = num(a[2] * b[0] - a[0] * b[2]);
        r[2] = num(a[0] * b[1] - a[1] * b[0]);
    } else {
        for (int i = 0; i < 3; ++i) {
            Num p = attr_op(g_attrs, Op::Mul, self, *order[i][0], other, *order[i][1]);
            if (!p.ok()) return nullptr;
            Num q = attr_op(g_attrs, Op::Mul, self, *order[i][2], other, *order[i][3]);
            if (!q.ok()) return nullptr;
            r[i] = combine(Op::Sub, p, q);
            if (!r[i].ok()) return nullptr;
        }
    }
    Ref cls = global(fn, n_spatix);
    if (!cls) return nullptr;
    return construct(cls.get(), r);
}
const FnDef floordiv_def = declare<&floordiv_impl>("__floordiv__", {P("self"), P("other", "object")});

// self / self.length(), through the `/` operator.
PyObject* unit_impl(Fn*, Obj self) {
    Ref len = Ref::steal(PyObject_CallMethodNoArgs(self, n_length.get()));
    if (!len) return nullptr;
    return PyNumber_TrueDivide(self, len.get());
}
const FnDef unit_def = declare<&unit_impl>("unit", {P("self")}, nullptr, "returns unit vector");

PyModuleDef moddef = {PyModuleDef_HEAD_INIT, "spatix", "script handeling class spatix", -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_spatix() {
    return class_module(&moddef, "ORVEX.numerix", {"sqrt", "deg", "atan2"}, "spatix",
                        {&init_def, &add_def, &sub_def, &mul_def, &pow_def, &length_def, &truediv_def,
                         &angles_def, &floordiv_def, &unit_def},
                        &g_class);
}
