// tintra: the colour class `Color3`, built from the x, y, z of a vector.
//
// The constructor stores the components as read, unchecked. `to_hex` gives the
// usual "#rrggbb" form: each component must be an integer (anything the host
// accepts as an index, bool included) in 0..255, written as two lower-case
// hexadecimal digits.
#include "orvex/objects.hpp"

using namespace rt;

namespace {

Name n_x("x"), n_y("y"), n_z("z");
Name n_r("r"), n_g("g"), n_b("b");

PyObject* init_impl(Fn*, Obj self, Obj vector) {
    static Name* const from[3] = {&n_x, &n_y, &n_z};
    static Name* const to[3] = {&n_r, &n_g, &n_b};
    for (int i = 0; i < 3; ++i) {
        Ref c = getattr(vector, *from[i]);
        if (!c || !setattr(self, *to[i], c.get())) return nullptr;
    }
    Py_RETURN_NONE;
}
const FnDef init_def = declare<&init_impl>("__init__", {P("self"), P("vector", "spatix")});

PyObject* to_hex_impl(Fn*, Obj self) {
    static Name* const comps[3] = {&n_r, &n_g, &n_b};
    static const char digits[] = "0123456789abcdef";
    char text[8] = {'#'};
    for (int i = 0; i < 3; ++i) {
        Ref c = getattr(self, *comps[i]);
        if (!c) return nullptr;
        // The same integer conversion hex() applies: TypeError for non-integers.
        Ref idx = Ref::steal(PyNumber_Index(c.get()));
        if (!idx) return nullptr;
        int overflow = 0;
        long value = PyLong_AsLongAndOverflow(idx.get(), &overflow);
        if (value == -1 && PyErr_Occurred()) return nullptr;
        // Deliberate: a component outside 0..255 is refused, so the text is always "#rrggbb".
        if (overflow || value < 0 || value > 255) {
            PyErr_Format(PyExc_ValueError, "colour component '%U' must be in the range 0..255, got %R",
                         comps[i]->get(), idx.get());
            return nullptr;
        }
        text[1 + 2 * i] = digits[value >> 4];
        text[2 + 2 * i] = digits[value & 15];
    }
    return PyUnicode_FromStringAndSize(text, 7);
}
const FnDef to_hex_def = declare<&to_hex_impl>("to_hex", {P("self")}, "str");


PyModuleDef moddef = {PyModuleDef_HEAD_INIT, "tintra", "color module for ORVEX", -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_tintra() {
    return class_module(&moddef, "ORVEX.spatix", {"spatix"}, "Color3",
                        {&init_def, &to_hex_def});
}
