// Native drawing from a numerix `random` instance, shared by numerix itself and by the
// modules that draw many numbers in a row (a fresh model's weights). Only valid where the
// instance's `__call__` is the generator's own and attribute access is plain: then no
// Python code can observe the intermediate states, and only the final `x` is stored.
#pragma once

#include "orvex/numcore.hpp"
#include "orvex/rt.hpp"

namespace lcg {

inline rt::Name n_x("x"), n_min("min"), n_max("max");
inline rt::Name& name_x() { return n_x; }
inline rt::Name& name_min() { return n_min; }
inline rt::Name& name_max() { return n_max; }

// Instances of `type` read and write x, min and max plainly.
inline bool plain_attrs(PyTypeObject* type) {
    return rt::plain_attrs(type, rt::kAttrRead | rt::kAttrWrite, {&name_x(), &name_min(), &name_max()});
}

struct Draws {
    numcore::Lcg state;
    double lo = 0, hi = 0;

    // Loads x, min and max. Returns 1 when they have the form native drawing needs (x an
    // exact int below the modulus, min and max exact floats), 0 when not, -1 on error.
    int load(PyObject* self) {
        rt::Ref x = rt::getattr(self, name_x());
        if (!x) return -1;
        unsigned __int128 v;
        if (!rt::as_u128(x.get(), v) || v >= numcore::LCG_M) return 0;
        // A missing bound is left to the caller's object path, which advances x first.
        rt::Ref mn = rt::getattr(self, name_min()), mx = mn ? rt::getattr(self, name_max()) : rt::Ref();
        if (!mx) {
            PyErr_Clear();
            return 0;
        }
        if (!PyFloat_CheckExact(mn.get()) || !PyFloat_CheckExact(mx.get())) return 0;
        state = numcore::Lcg::from(v);
        lo = PyFloat_AS_DOUBLE(mn.get());
        hi = PyFloat_AS_DOUBLE(mx.get());
        return 1;
    }
    double next() {
        state.step();
        return lo + state.fraction() * (hi - lo);
    }
    bool store(PyObject* self) const {
        rt::Ref x = rt::from_u128(state.value());
        return x && rt::setattr(self, name_x(), x.get());
    }
};

}  // namespace lcg
