// Native drawing from a numerix `random` instance, shared by numerix itself and by the
// modules that draw many numbers in a row (a fresh model's weights). Only valid where the
// instance's `__call__` is the generator's own and attribute access is plain: then no
// Python code can observe the intermediate states, and only the final `x` is stored.
#pragma once

#include "orvex/numcore.hpp"
#include "orvex/rt.hpp"

namespace lcg {

inline rt::Name& name_x() { static rt::Name n("x"); return n; }
inline rt::Name& name_min() { static rt::Name n("min"); return n; }
inline rt::Name& name_max() { static rt::Name n("max"); return n; }

// Instances of `type` read and write x, min and max plainly. The answer for the last type
// that had them plain is remembered with the type's version tag: any change to the type
// or to a base that could change the answer gives the type a new tag.
inline bool plain_attrs(PyTypeObject* type) {
#ifndef Py_GIL_DISABLED
    static PyTypeObject* known = nullptr;
    static unsigned int known_tag = 0;
    bool tagged = PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag != 0;
    if (type == known && tagged && type->tp_version_tag == known_tag) return true;
#endif
    if (!rt::plain_attrs(type, rt::kAttrRead | rt::kAttrWrite, {&name_x(), &name_min(), &name_max()}))
        return false;
#ifndef Py_GIL_DISABLED
    // The lookups above give the type a tag when it had none.
    if (PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag != 0) {
        known = type;
        known_tag = type->tp_version_tag;
    }
#endif
    return true;
}

// The int object last stored as a state, with that state: ints are immutable, so finding
// the same object in `x` again means the same state, and converting it back is skipped.
// (Free-threaded builds would race on it, and convert every time.)
struct LastState {
    PyObject* obj = nullptr;  // strong reference, so the identity stays meaningful
    numcore::Lcg state;
};
inline LastState& last_state() {
    static LastState s;
    return s;
}

// The state held by the int `x`: false (no exception) unless x is an exact int below
// the modulus.
inline bool state_of(PyObject* x, numcore::Lcg& out) {
#ifndef Py_GIL_DISABLED
    LastState& last = last_state();
    if (x == last.obj) {
        out = last.state;
        return true;
    }
#endif
    numcore::u128 v;
    if (!rt::as_u128(x, v) || v >= numcore::LCG_M) return false;
    out = numcore::Lcg::from(v);
    return true;
}

// The int for a state.
inline rt::Ref int_of(const numcore::Lcg& state) {
    rt::Ref x = rt::from_u128(state.value());
#ifndef Py_GIL_DISABLED
    if (x) {
        LastState& last = last_state();
        Py_XSETREF(last.obj, x.newref());
        last.state = state;
    }
#endif
    return x;
}

inline bool store_state(PyObject* self, const numcore::Lcg& state) {
    rt::Ref x = int_of(state);
    return x && rt::setattr(self, name_x(), x.get());
}

// Reads and writes go straight to the instance's dict: with plain attribute access that is
// where the generic lookup would find x, min and max and where it would store x.
struct Draws {
    numcore::Lcg state;
    double lo = 0, hi = 0;
    rt::Ref dict;

    // Loads x, min and max. Returns 1 when they have the form native drawing needs (x an
    // exact int below the modulus, min and max exact floats), 0 when not (a missing one
    // included: the caller's object path raises, after advancing x where it should), -1
    // on error.
    int load(PyObject* self) {
        dict = rt::Ref::steal(PyObject_GenericGetDict(self, nullptr));
        if (!dict) {
            PyErr_Clear();  // no dict: the object path says what is wrong
            return 0;
        }
        PyObject* x = PyDict_GetItemWithError(dict.get(), name_x().get());
        if (!x || !state_of(x, state)) return PyErr_Occurred() ? -1 : 0;
        PyObject* mn = PyDict_GetItemWithError(dict.get(), name_min().get());
        if (!mn || !PyFloat_CheckExact(mn)) return PyErr_Occurred() ? -1 : 0;
        lo = PyFloat_AS_DOUBLE(mn);
        PyObject* mx = PyDict_GetItemWithError(dict.get(), name_max().get());
        if (!mx || !PyFloat_CheckExact(mx)) return PyErr_Occurred() ? -1 : 0;
        hi = PyFloat_AS_DOUBLE(mx);
        return 1;
    }
    double next() {
        state.step();
        return lo + state.fraction() * (hi - lo);
    }
    // After a successful load.
    bool store() const {
        rt::Ref x = int_of(state);
        return x && PyDict_SetItem(dict.get(), name_x().get(), x.get()) == 0;
    }
};

}  // namespace lcg
