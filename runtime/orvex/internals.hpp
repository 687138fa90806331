// Every cache in ORVEX that relies on CPython internals, behind one compile-time switch.
//
// ORVEX_INTERNALS is 1 unless the build says otherwise: -DORVEX_INTERNALS=0 (the CMake
// option ORVEX_NO_INTERNALS) turns every cache below off at once. Each cache only saves
// work: with the switch off every result, error and side effect is the same, the suite
// passes both ways (`nox -s internals_off`), and only the speed differs. Free-threaded
// builds (Py_GIL_DISABLED) have them all off too: each would race on memory another
// thread writes.
//
// | cache (macro, where)          | what it assumes                  | CPython  | if it fails          |
// |-------------------------------|----------------------------------|----------|----------------------|
// | GlobalName's remembered       | ma_version_tag: never given twice| 3.9-3.13 | a rebound global or  |
// | lookup (ORVEX_DICT_TAGS,      | in the process, renewed by every | (gone in | built-in goes unseen:|
// | rt.hpp)                       | insert, replace and delete       | 3.14)    | the old one is called|
// | PlainAttrs' per-type memo     | tp_version_tag (with VALID_      | 3.9-3.13 | a property or        |
// | (ORVEX_TYPE_TAGS, rt.hpp)     | VERSION_TAG) changes on any      |          | __getattr__ added    |
// |                               | change to the type or its bases  |          | later is bypassed    |
// | InstanceAttrs' entry hints    | PyDict_Next's position is the    | 3.9-3.13 | nothing silent: a hit|
// | (ORVEX_DICT_HINTS,            | entry index (each hit is checked |          | is checked by key    |
// | objects.hpp)                  | by the key object's identity)    |          | identity, a miss     |
// |                               |                                  |          | probes the dict      |
// | the generator's last int state| an int object is immutable (the  | all      | a stale state is     |
// | (ORVEX_LAST_STATE, lcg.hpp)   | cache holds our own int only)    |          | drawn from           |
// | the generator's last instance | as ORVEX_DICT_TAGS, and every    | 3.9-3.12 | a changed x, min or  |
// | dict (ORVEX_LAST_DICT,        | store into an instance dict      | (3.13's  | max goes unseen      |
// | lcg.hpp; a key owning nothing)| renews its tag                   | inline   |                      |
// |                               |                                  | values   |                      |
// |                               |                                  | may not) |                      |
// | the last thread's stack extent| live threads' stacks do not      | all      | the C stack check    |
// | (ORVEX_STACK_CACHE, rt.hpp,   | overlap; a stack block is reused | (Linux,  | uses another thread's|
// | rt.cpp)                       | only with the same extent        | macOS)   | bounds               |
// | the step's float rewriting    | a float only the list holds      | 3.9-3.13 | a float someone else |
// | (ORVEX_FLOAT_REUSE, tensilo,  | (refcount 1) is unshared and may |          | holds changes value  |
// | guarded by its owner)         | be rewritten in place            |          | under them           |
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
