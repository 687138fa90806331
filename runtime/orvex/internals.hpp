// Every cache in ORVEX that relies on CPython internals, behind one compile-time switch.
//
// ORVEX_INTERNALS is 1 unless the build says otherwise: -DORVEX_INTERNALS=0 (the CMake
// option ORVEX_NO_INTERNALS) turns every cache below off at once. Each cache only saves
// work: with the switch off every result, error and side effect is the same, the suite
// passes both ways (`nox -s internals_off`), and only the speed differs. Free-threaded
// builds (Py_GIL_DISABLED) have them all off too: each would race on memory another
// thread writes.
//
// | macro             | cache (where)                     | what it assumes                                      | CPython     | if the assumption fails                 |
// |-------------------|-----------------------------------|------------------------------------------------------|-------------|-----------------------------------------|
// | ORVEX_DICT_TAGS   | GlobalName's remembered lookup    | ma_version_tag: a value never given twice in the     | 3.9-3.13    | a rebound global (or built-in) would    |
// |                   | (rt.hpp)                          | process, renewed by every insert/replace/delete      | (gone 3.14) | go unseen: the old object is called     |
// | ORVEX_TYPE_TAGS   | PlainAttrs' per-type memo         | tp_version_tag with Py_TPFLAGS_VALID_VERSION_TAG     | 3.9-3.13    | a property/__getattr__ added to a class |
// |                   | (rt.hpp)                          | changes on any change to the type or its bases       |             | (or a base) later would be bypassed     |
// | ORVEX_DICT_HINTS  | InstanceAttrs' entry positions    | PyDict_Next's position is the entry index, and an    | 3.9-3.13    | none silently: every hit is checked by  |
// |                   | (objects.hpp)                     | entry's key object is checked on every use           |             | key identity; a miss probes the dict    |
// | ORVEX_LAST_STATE  | the generator's last int state    | an int object is immutable (same object, same value) | all         | a stale state would be drawn from       |
// |                   | (lcg.hpp)                         | (we hold our own int, never a user's object)         |             |                                         |
// | ORVEX_LAST_DICT   | the generator's last instance     | as ORVEX_DICT_TAGS, and every store into an instance | 3.9-3.12    | a changed x/min/max would go unseen     |
// |                   | dict (lcg.hpp; key owns nothing)  | dict renews its tag (3.13 inline values may not)     |             | (3.13 is excluded for that reason)      |
// | ORVEX_STACK_CACHE | the last thread's stack extent    | live threads' stacks do not overlap, and a stack     | all (Linux, | the C stack check would use another     |
// |                   | (rt.hpp, rt.cpp)                  | block is reused only with the same extent            | macOS)      | thread's bounds                         |
// | ORVEX_FLOAT_REUSE | the step's float rewriting        | a float whose only reference is the list's can be    | 3.9-3.13    | a float someone else holds would        |
// |                   | (tensilo, guarded by its owner)   | rewritten in place (refcount 1 means unshared)       |             | change value under them                 |
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#ifndef ORVEX_INTERNALS
#define ORVEX_INTERNALS 1
#endif

#if ORVEX_INTERNALS && !defined(Py_GIL_DISABLED)
#define ORVEX_CACHES_ON 1
#else
#define ORVEX_CACHES_ON 0
#endif

#if ORVEX_CACHES_ON && PY_VERSION_HEX < 0x030E0000
#define ORVEX_DICT_TAGS 1
#else
#define ORVEX_DICT_TAGS 0
#endif

#define ORVEX_TYPE_TAGS ORVEX_CACHES_ON
#define ORVEX_DICT_HINTS ORVEX_CACHES_ON
#define ORVEX_LAST_STATE ORVEX_CACHES_ON
#if ORVEX_CACHES_ON && (defined(__linux__) || defined(__APPLE__))
#define ORVEX_STACK_CACHE 1
#else
#define ORVEX_STACK_CACHE 0
#endif
#define ORVEX_FLOAT_REUSE ORVEX_CACHES_ON

#if ORVEX_DICT_TAGS && PY_VERSION_HEX < 0x030D0000
#define ORVEX_LAST_DICT 1
#else
#define ORVEX_LAST_DICT 0
#endif

namespace rt::internals {

#if ORVEX_DICT_TAGS
// A dict's version tag: a new one, unique in the process, at every change of the dict.
inline uint64_t dict_tag(PyObject* dict) {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}
#endif

// The last type an answer was computed for, with its version tag then: while the live type
// still carries that tag, nothing that could change the answer has changed. Remembers
// nothing with the switch off. The type is not owned (only compared).
class TypeMemo {
#if ORVEX_TYPE_TAGS
    PyTypeObject* type_ = nullptr;
    unsigned int tag_ = 0;
#endif

public:
    bool holds(PyTypeObject* t) const {
#if ORVEX_TYPE_TAGS
        return t == type_ && PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG) && t->tp_version_tag == tag_;
#else
        (void)t;
        return false;
#endif
    }
    // After the answer was computed (its lookups give the type a tag if it had none).
    void remember(PyTypeObject* t) {
#if ORVEX_TYPE_TAGS
        if (PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG) && t->tp_version_tag != 0) {
            type_ = t;
            tag_ = t->tp_version_tag;
        }
#else
        (void)t;
#endif
    }
};

}  // namespace rt::internals
