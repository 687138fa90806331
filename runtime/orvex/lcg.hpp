// Native drawing from a numerix `random` instance, shared by numerix itself and by the
// modules that draw many numbers in a row (a fresh model's weights). Only valid where the
// instance's `__call__` is the generator's own and attribute access is plain: then no
// Python code can observe the intermediate states, and only the final `x` is stored.
#pragma once

#include "orvex/numcore.hpp"
#include "orvex/rt.hpp"

namespace lcg {

inline rt::Name n_x("x"), n_min("min"), n_max("max");

// Instances of `type` read and write x, min and max plainly (remembered per type).
inline rt::PlainAttrs plain_generator(rt::kAttrRead | rt::kAttrWrite, {&n_x, &n_min, &n_max});
inline bool plain_attrs(PyTypeObject* type) { return plain_generator(type); }

// The int object last stored as a state, with that state (ORVEX_LAST_STATE,
// orvex/internals.hpp): ints are immutable, so finding the same object in `x` again means
// the same state, and converting it back is skipped. Below 3.13 also the instance dict it
// was stored into (ORVEX_LAST_DICT), with the dict's tag after the store and the bounds
// read then: while the tag is unchanged nothing has been stored into that dict since, so
// x, min and max are still those objects. (3.13 may change a dict that shares its
// object's inline values without a new tag.)
struct LastState {
    PyObject* obj = nullptr;  // a strong reference to our own int, so its identity stays meaningful
    numcore::Lcg state;
#if ORVEX_LAST_DICT
    // The dict is a key that owns nothing (holding it would keep the instance's other
    // attributes alive): only compared with a live instance's dict, and that is this very
    // dict unchanged only if its tag matches too (a tag is never given twice in a process,
    // a new dict at the same address included).
    const void* dict = nullptr;
    uint64_t tag = 0;
    double lo = 0, hi = 0;
#endif
};
inline LastState& last_state() {
    static LastState s;
    return s;
}

// The state held by the int `x`: false (no exception) unless x is an exact int below
// the modulus.
inline bool state_of(PyObject* x, numcore::Lcg& out) {
#if ORVEX_LAST_STATE
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

// Remembers that `x` holds `state` and, when `dict` is given, that it has just been stored
// there with these bounds.
inline void remember(PyObject* x, const numcore::Lcg& state, PyObject* dict, double lo, double hi) {
#if ORVEX_LAST_STATE
    LastState& last = last_state();
    // Released only once everything is in place: releasing may run code.
    rt::Ref old_x = rt::Ref::steal(last.obj);
    last.obj = rt::newref(x);
    last.state = state;
#if ORVEX_LAST_DICT
    last.dict = dict;
    last.tag = dict ? rt::internals::dict_tag(dict) : 0;
    last.lo = lo;
    last.hi = hi;
#endif
#endif
    (void)x, (void)state, (void)dict, (void)lo, (void)hi;
}

inline bool store_state(PyObject* self, const numcore::Lcg& state) {
    rt::Ref x = rt::from_u128(state.value());
    if (!x || !rt::setattr(self, n_x, x.get())) return false;
    remember(x.get(), state, nullptr, 0, 0);
    return true;
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
#if ORVEX_LAST_DICT
        const LastState& last = last_state();
        if (dict.get() == last.dict && rt::internals::dict_tag(dict.get()) == last.tag) {
            state = last.state;
            lo = last.lo;
            hi = last.hi;
            return 1;
        }
#endif
        PyObject* x = PyDict_GetItemWithError(dict.get(), n_x.get());
        if (!x || !state_of(x, state)) return PyErr_Occurred() ? -1 : 0;
        PyObject* mn = PyDict_GetItemWithError(dict.get(), n_min.get());
        if (!mn || !PyFloat_CheckExact(mn)) return PyErr_Occurred() ? -1 : 0;
        lo = PyFloat_AS_DOUBLE(mn);
        PyObject* mx = PyDict_GetItemWithError(dict.get(), n_max.get());
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
        rt::Ref x = rt::from_u128(state.value());
        if (!x || PyDict_SetItem(dict.get(), n_x.get(), x.get()) < 0) return false;
        remember(x.get(), state, dict.get(), lo, hi);
        return true;
    }
};

}  // namespace lcg
