// synaptra: the hybrid activation, a small online-trained layer network (RNN_HYBRID) and
// the word-level recurrent language model (RNNLM_HYBRID).
//
// Both classes are ordinary Python classes built from the native methods below. Their
// state lives in instance attributes that every method reads and writes through the
// instance at the moment it needs them, with the host's arithmetic on whatever objects
// are stored there, so a caller that replaces a list or a number sees it used at once.
//
// The one hot path is the weight initialisation of a fresh model: hundreds of thousands of
// generator draws. When a draw could not be told apart from calling the generator object
// (the instance's attribute access is plain, the generator is a numerix `random` whose
// `__call__` is the one numerix defines and whose attributes are plain), the draws run on
// the native LCG and only the final state is stored back. Otherwise every draw is a call.
//
// The module is in four parts: this header (names, what the module takes when it loads, and
// the helpers both classes use), rnn.cpp (the hybrid functions and RNN_HYBRID), lm.cpp
// (RNNLM_HYBRID) and module.cpp (the module body).
#pragma once

#include "orvex/lcg.hpp"
#include "orvex/rt.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace synaptra {

using namespace rt;


// Globals, looked up at each use.
inline Name n_sqrt("sqrt"), n_random("random"), n_hybrid("hybrid"), n_read("read"), n_write("write");
inline Name n_activate_step("activate_step"), n_ReLu("ReLu"), n_LeakyReLu("LeakyReLu");

// RNN_HYBRID attributes.
inline Name n_gen("gen"), n_wx("wx"), n_amount("amount"), n_b("b"), n_wh("wh"), n_h("h"), n_x("x"), n_lr("lr");
inline Name n_y("y"), n_err("err"), n_loss("loss"), n_lg("lg"), n_dhzl("dhzl"), n_dLdb("dLdb"), n_dLdw("dLdw");
inline Name n_dLdwh("dLdwh"), n_memory("memory"), n_layer("layer");

// RNNLM_HYBRID attributes.
inline Name n_genrandd("genrandd"), n_genrandn("genrandn"), n_warm("_RNNLM_HYBRID__warm");
inline Name n_words("_RNNLM_HYBRID__wordstohandle"), n_neurons("neurons"), n_embedings("embedings");
inline Name n_lweights("lweights"), n_lhweights("lhweights"), n_bias("bias"), n_who("who"), n_bo("bo");
inline Name n_vocabL("vocabL"), n_vecL("vecL"), n_dictionary("dictionary"), n_ht("ht"), n_reply("reply");
inline Name n_nexttoken("nexttoken"), n_activate("_RNNLM_HYBRID__activate"), n_getstuff("_RNNLM_HYBRID__getstuff");

inline Name n_call("__call__"), n_index("index"), n_insert("insert"), n_clear("clear");
inline Name n_split("split"), n_add_note("add_note"), n_notes("__notes__");

// Built-ins looked up once, when the module is imported.
inline PyObject* b_super = nullptr;
inline PyObject* b_print = nullptr;
inline PyObject* b_min = nullptr;
inline PyObject* b_input = nullptr;

// The classes as created (the class a method's super() names), and numerix's
// random.__call__ as it was when this module was imported.
inline PyObject* g_rnn_class = nullptr;
inline PyObject* g_lm_class = nullptr;
inline PyObject* g_random_call = nullptr;

// Constants made when the module is imported.
inline PyObject* g_one_point_zero = nullptr;
inline PyObject* g_zero_point_one = nullptr;
inline PyObject* g_list_index = nullptr;  // list.index, the method descriptor
inline PyObject* g_os = nullptr;          // the os module, imported with this one


// The declarations the module body binds (each stands under its implementation).
extern const FnDef hybrid_def, hybrid_prime_def, cz_def;
extern const FnDef rnn_init_def, rnn_layer_def, rnn_run_def;
extern const FnDef lm_init_def, lm_warmup_def, lm_activate_def, lm_getstuff_def, lm_run_def, lm_train_def;

// ---------------------------------------------------------------------------
// Small helpers over the host's protocols
// ---------------------------------------------------------------------------

// seq[i] with the host's item access (exact lists in range read directly).
inline Ref item(PyObject* seq, Py_ssize_t i) {
    if (PyList_CheckExact(seq) && i >= 0 && i < PyList_GET_SIZE(seq)) return Ref::borrow(PyList_GET_ITEM(seq, i));
    Ref key = Ref::steal(PyLong_FromSsize_t(i));
    if (!key) return {};
    return Ref::steal(PyObject_GetItem(seq, key.get()));
}

inline Ref item(PyObject* seq, PyObject* key) { return Ref::steal(PyObject_GetItem(seq, key)); }

// seq[i] = value
inline bool set_item(PyObject* seq, Py_ssize_t i, PyObject* value) {
    if (PyList_CheckExact(seq) && i >= 0 && i < PyList_GET_SIZE(seq)) {
        Py_INCREF(value);
        return PyList_SetItem(seq, i, value) == 0;  // the old item may run Python code: nothing borrowed is held
    }
    Ref key = Ref::steal(PyLong_FromSsize_t(i));
    return key && PyObject_SetItem(seq, key.get(), value) == 0;
}

// self.<name>[i]
inline Ref attr_item(PyObject* self, Name& name, Py_ssize_t i) {
    Ref seq = getattr(self, name);
    if (!seq) return {};
    return item(seq.get(), i);
}

// self.<name>[i] = value
inline bool attr_set_item(PyObject* self, Name& name, Py_ssize_t i, PyObject* value) {
    Ref seq = getattr(self, name);
    return seq && set_item(seq.get(), i, value);
}

// self.<name>[i][j]
inline Ref attr_item2(PyObject* self, Name& name, Py_ssize_t i, Py_ssize_t j) {
    Ref row = attr_item(self, name, i);
    if (!row) return {};
    return item(row.get(), j);
}

// self.<name>[i][j] = value
inline bool attr_set_item2(PyObject* self, Name& name, Py_ssize_t i, Py_ssize_t j, PyObject* value) {
    Ref row = attr_item(self, name, i);
    return row && set_item(row.get(), j, value);
}

// [0] * count, with the host's sequence repetition (so its errors too).
inline Ref zeros(PyObject* count) {
    Ref one = Ref::steal(PyList_New(1));
    if (!one) return {};
    PyList_SET_ITEM(one.get(), 0, PyLong_FromLong(0));
    return Ref::steal(PyNumber_Multiply(one.get(), count));
}

// self.<name> = [0] * self.amount style: the count read from an attribute at this moment.
inline bool set_zeros_from(PyObject* self, Name& name, Name& count_name) {
    Ref count = getattr(self, count_name);
    if (!count) return false;
    Ref z = zeros(count.get());
    return z && setattr(self, name, z.get());
}

// self.<name> = value, where `value` is what a step computed (null: the step failed, with
// its exception set).
inline bool set_result(PyObject* self, Name& name, const Ref& value) {
    return value && setattr(self, name, value.get());
}

// [a, b, ...] holding the objects themselves
inline Ref list_of(std::initializer_list<PyObject*> items) {
    Ref l = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!l) return l;
    Py_ssize_t i = 0;
    for (PyObject* o : items) PyList_SET_ITEM(l.get(), i++, newref(o));
    return l;
}

inline Ref small_int(long v) { return Ref::steal(PyLong_FromLong(v)); }

// print(*args) through the built-in print captured at import.
inline bool say(std::initializer_list<PyObject*> args) { return bool(call(b_print, args)); }

// Adds a note naming the file to the exception being raised (shown under the message on
// 3.11+; kept in __notes__ on older versions). The exception itself is unchanged.
inline void note_file(const char* what, PyObject* file) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value) {
        Ref note = Ref::steal(PyUnicode_FromFormat("while reading the %s %R", what, file));
        bool ok = false;
        if (note) {
#if PY_VERSION_HEX >= 0x030B0000
            ok = bool(Ref::steal(PyObject_CallMethodOneArg(value, n_add_note.get(), note.get())));
#else
            Ref notes = Ref::steal(PyObject_GetAttr(value, n_notes.get()));
            if (!notes) {
                PyErr_Clear();
                notes = Ref::steal(PyList_New(0));
                ok = notes && PyObject_SetAttr(value, n_notes.get(), notes.get()) == 0;
            } else {
                ok = true;
            }
            ok = ok && PyList_Check(notes.get()) && PyList_Append(notes.get(), note.get()) == 0;
#endif
        }
        if (!ok) PyErr_Clear();  // the original error matters more than its note
    }
    if (tb && value) PyException_SetTraceback(value, tb);
    PyErr_Restore(type, value, tb);
}

// read(file), with a note naming the file on failure.
inline Ref read_file(Fn* fn, const char* what, PyObject* file) {
    Ref r = call_global(fn, n_read, {file});
    if (!r) note_file(what, file);
    return r;
}

// -(1 / sqrt(n)) and 1 / sqrt(n), each computed on its own, lower first.
inline bool bounds(Fn* fn, PyObject* n, Ref& lo, Ref& hi) {
    Ref one = small_int(1);
    if (!one) return false;
    for (int k = 0; k < 2; ++k) {
        Ref root = call_global(fn, n_sqrt, {n});
        if (!root) return false;
        Ref q = truediv(one.get(), root.get());
        if (!q) return false;
        if (k == 0) {
            lo = neg(q.get());
            if (!lo) return false;
        } else {
            hi = std::move(q);
        }
    }
    return true;
}

// random(seed, -(1/sqrt(n)), 1/sqrt(n)), `random` looked up before the bounds.
inline Ref make_generator(Fn* fn, PyObject* seed, PyObject* n) {
    Ref cls = global(fn, n_random);
    if (!cls) return {};
    Ref lo, hi;
    if (!bounds(fn, n, lo, hi)) return {};
    return call(cls.get(), {seed, lo.get(), hi.get()});
}

// ---------------------------------------------------------------------------
// Drawing weights
// ---------------------------------------------------------------------------

// Whether `self.<gen>()` may be replaced by native draws: 1 yes (`draws` loaded), 0 no,
// -1 error. Reading the generator attribute runs no Python code here: the instance's
// type has plain attribute access and no class attribute of that name.
inline int native_draws(PyObject* self, Name& gen, lcg::Draws& draws, Ref& g) {
    if (!g_random_call) return 0;
    PyTypeObject* st = Py_TYPE(self);
    if (!plain_attrs(st, kAttrRead, {&gen})) return 0;
    g = getattr(self, gen);
    if (!g) return -1;
    PyTypeObject* gt = Py_TYPE(g.get());
    if (PyType_Check(g.get()) || _PyType_Lookup(gt, n_call.get()) != g_random_call || !lcg::plain_attrs(gt))
        return 0;
    return draws.load(g.get());
}

// Rows of fresh weights hold only floats, so they are kept out of the cycle collector while
// a model is being built (it would otherwise walk them again at every collection that the
// building itself triggers) and handed to it when the constructor returns, however it
// returns.
class UntrackedRows {
    std::vector<PyObject*> rows_;  // strong references

public:
    UntrackedRows() = default;
    UntrackedRows(const UntrackedRows&) = delete;
    UntrackedRows& operator=(const UntrackedRows&) = delete;
    ~UntrackedRows() {
        for (PyObject* r : rows_) {
            if (!PyObject_GC_IsTracked(r)) PyObject_GC_Track(r);
            Py_DECREF(r);
        }
    }
    bool add(PyObject* row) {
        try {
            rows_.push_back(row);
        } catch (const std::bad_alloc&) {
            // Deliberate: running out of memory is a MemoryError, never a crash.
            PyErr_NoMemory();
            return false;
        }
        Py_INCREF(row);
        PyObject_GC_UnTrack(row);
        return true;
    }
};

// nr rows of nc native draws.
inline Ref native_matrix(lcg::Draws& draws, long long nr, long long nc, UntrackedRows& untracked) {
    Ref out = Ref::steal(PyList_New(0));
    bool ok = out && untracked.add(out.get());  // it holds only rows: out of the collector too
    Interrupts sig;
    for (long long r = 0; r < nr && ok; ++r) {
        Ref row = Ref::steal(PyList_New(static_cast<Py_ssize_t>(nc)));
        if (!row || !untracked.add(row.get())) { ok = false; break; }
        for (Py_ssize_t c = 0; c < nc; ++c) {
            if (!sig.tick()) { ok = false; break; }  // (a list frees its empty slots)
            PyObject* f = PyFloat_FromDouble(draws.next());
            if (!f) { ok = false; break; }
            PyList_SET_ITEM(row.get(), c, f);
        }
        ok = ok && PyList_Append(out.get(), row.get()) == 0;
    }
    // draws.state has advanced as far as the draws went, also on failure.
    if (!ok) return {};
    return out;
}

// [[self.<gen>() for c in range(cols)] for r in range(rows)]
inline Ref draw_matrix(PyObject* self, Name& gen, PyObject* rows, PyObject* cols, UntrackedRows& untracked) {
    long long nr, nc;
    if (!range_stop(rows, nr) || !range_stop(cols, nc)) return {};
    if (nr > 0 && nc > 0) {
        lcg::Draws draws;
        Ref g;
        int fast = native_draws(self, gen, draws, g);
        if (fast < 0) return {};
        if (fast) {
            Ref out = native_matrix(draws, nr, nc, untracked);
            PyObject *t, *v, *tb;
            PyErr_Fetch(&t, &v, &tb);
            bool stored = draws.store();
            if (!out || !stored) {
                if (t) PyErr_Restore(t, v, tb);  // the drawing error comes first
                return {};
            }
            return out;
        }
    }
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return {};
    Interrupts sig;
    for (long long r = 0; r < nr; ++r) {
        if (!sig.tick()) return nullptr;
        if (!range_stop(cols, nc)) return {};
        Ref row = Ref::steal(PyList_New(0));
        if (!row) return {};
        for (long long c = 0; c < nc; ++c) {
            if (!sig.tick()) return nullptr;
            Ref g = getattr(self, gen);
            if (!g) return nullptr;
            Ref v = call(g.get(), {});
            if (!v) return nullptr;
            if (PyList_Append(row.get(), v.get()) < 0) return nullptr;
        }
        if (PyList_Append(out.get(), row.get()) < 0) return nullptr;
    }
    return out;
}

// [self.<gen>() for i in range(count)]
inline Ref draw_vector(PyObject* self, Name& gen, PyObject* count, UntrackedRows& untracked) {
    Ref one = small_int(1);
    if (!one) return nullptr;
    Ref m = draw_matrix(self, gen, one.get(), count, untracked);
    if (!m) return nullptr;
    return item(m.get(), Py_ssize_t(0));
}


}  // namespace synaptra
