// ORVEX.tensilo: the inner step of the recurrent word model.
//
// activate_step(obj, indexa, target) runs one step on a model instance. A reader meets the
// step's parts in this order, each written once:
//   1. forward:   P = lweights·e + lhweights·ht + bias, the new ht = hybrid(P), Z = who·ht + bo;
//   2. soft-max:  Y = FixSoftmax(Z), nexttoken = Argmax(Y), loss = -log(Y[target]);
//   3. gradients: G = Y - onehot(target), DH = Gᵀ·who, DP = DH·slope(P), DE = DPᵀ·lweights;
//   4. update:    what each weight becomes, w - lr*gradient, and where it is written;
//   5. before the commit: everything that can fail or run Python code;
//   6. commit:    the new ht, then every weight in the update's order through update_row().
// The step is all-or-nothing. Before the commit the containers are fetched and checked,
// updates needing the host's arithmetic computed (custom numbers, rebound functions),
// reply/dictionary/the word read, nexttoken and loss stored, every float the commit stores
// allocated, pending signals handled. If Python code ran, every container is checked again
// first: a model whose shape changed under the step is left untouched (IndexError where
// the step reads past a list's end, RuntimeError otherwise). The commit runs no Python code
// and cannot fail; objects it replaces whose release could run code are released after it.
//
// When nothing can fail or run code once the gradients start (exact lists of plain
// numbers, the numerix functions still bound, lweights and embedings not who), DH is summed
// in the commit's who pass (fused): one pass over who instead of two, the same sums in the
// same order. Otherwise DH is summed beforehand and the commit only writes.
//
// Limits of the guarantee, by design:
//   * a container that is not a list is written through its __setitem__, before the
//     commit; if the step fails after that, the values it held are written back the same
//     way (which runs that code again, and can itself fail);
//   * a reply that is not a list gets the word through its append method, after the
//     commit: if that raises, the update stays;
//   * nexttoken and loss are set back (or deleted) the same way they were stored, which
//     runs the model's attribute hooks again.
//
// Arithmetic: sums are doubles starting at 0.0 and add, in ascending index order, the
// host's product of the two elements converted to a double; exact floats (and exact ints
// below 2**53, whose products and conversions are exact the same way) are multiplied as
// doubles, everything else goes through the host's number protocol. Updates are
// w - (lr * gradient), the product first; a position two updates write (a shared row) gets
// the second from the value the first left. The numerix functions are globals of this
// module, looked up at each use; while one is still the object imported at load (and
// numerix's FixSoftmax/Argmax still use its exp and the built-in max), it runs on doubles
// through orvex/numcore.hpp, numerix's own results to the last bit.
#include <algorithm>
#include <cstdlib>
#include <new>
#include <unordered_set>
#include <vector>

#include "orvex/numcore.hpp"
#include "orvex/rt.hpp"

using namespace rt;

namespace {

Name n_neurons("neurons"), n_vocabL("vocabL"), n_vecL("vecL"), n_lr("lr"), n_embedings("embedings"),
    n_lweights("lweights"), n_lhweights("lhweights"), n_bias("bias"), n_who("who"), n_bo("bo"), n_ht("ht"),
    n_reply("reply"), n_dictionary("dictionary"), n_nexttoken("nexttoken"), n_loss("loss"), n_append("append");
Name n_Argmax("Argmax"), n_FixSoftmax("FixSoftmax"), n_LeakyReLu("LeakyReLu"), n_ReLu("ReLu"), n_log("log"),
    n_exp("exp"), n_max("max");

// The objects bound at import (strong references for the life of the process).
struct Imported {
    PyObject *argmax = nullptr, *softmax = nullptr, *leaky = nullptr, *relu = nullptr, *log = nullptr;
    PyObject* numerix_globals = nullptr;  // numerix's module dict
    PyObject* exp = nullptr;              // numerix's exp, which its FixSoftmax uses
    PyObject* max = nullptr;              // the built-in max, which FixSoftmax and Argmax use
} IMPORTED;

// Overwriting the value of a float that only the list holds, instead of allocating a new
// one; measured in bench/bench_tensilo.py (ORVEX_TENSILO_FRESH_FLOATS=1 turns it off).
bool REUSE_FLOATS = true;

bool reuse_at_all() {
#ifndef Py_GIL_DISABLED
    return REUSE_FLOATS;
#else
    return false;
#endif
}
// A float that only the list holds: the commit rewrites its value.
bool reusable(PyObject* o) { return PyFloat_CheckExact(o) && Py_REFCNT(o) == 1 && reuse_at_all(); }

// The step's buffers come from the interpreter's allocator (tracemalloc accounts for them).
template <class T>
struct PyAlloc {
    using value_type = T;
    PyAlloc() = default;
    template <class U> PyAlloc(const PyAlloc<U>&) {}
    T* allocate(size_t n) {
        void* p = n > PY_SSIZE_T_MAX / sizeof(T) ? nullptr : PyMem_Malloc(n * sizeof(T));
        return p ? static_cast<T*>(p) : throw std::bad_alloc();
    }
    void deallocate(T* p, size_t) { PyMem_Free(p); }
    template <class U> bool operator==(const PyAlloc<U>&) const { return true; }
    template <class U> bool operator!=(const PyAlloc<U>&) const { return false; }
};
template <class T>
using Vec = std::vector<T, PyAlloc<T>>;

// A number the step multiplies as a double: an exact float, or an exact int that converts
// to a double exactly (the runtime's test).
constexpr auto plain = [](PyObject* o, double& d) { return plain_double(o, d); };

bool index_error(PyObject* seq) {
    PyErr_SetString(PyExc_IndexError, PyTuple_Check(seq) ? "tuple index out of range" : "list index out of range");
    return false;
}
bool not_writable(PyObject* seq) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object does not support item assignment", Py_TYPE(seq)->tp_name);
    return false;
}
bool writable(PyObject* seq) {
    PyTypeObject* t = Py_TYPE(seq);
    return (t->tp_as_mapping && t->tp_as_mapping->mp_ass_subscript) ||
           (t->tp_as_sequence && t->tp_as_sequence->sq_ass_item);
}
bool changed() {
    PyErr_SetString(PyExc_RuntimeError,
                    "activate_step: the model's lists changed while the step ran; nothing was updated");
    return false;
}

// The global `name` of this module is still the object imported at load.
bool still_bound(Fn* fn, Name& name, PyObject* imported) {
    PyObject* v = peek_global(fn, name);
    return v && v == imported;
}
// numerix's FixSoftmax and Argmax still use numerix's exp and the built-in max.
bool numerix_plain(bool need_exp) {
    PyObject* g = IMPORTED.numerix_globals;
    if (need_exp) {
        PyObject* e = PyDict_GetItemWithError(g, n_exp.get());
        if (!e) PyErr_Clear();
        if (e != IMPORTED.exp) return false;
    }
    Ref m = global(g, n_max.get());
    if (!m) PyErr_Clear();
    return m && m.get() == IMPORTED.max;
}

// A vector of numbers that are doubles, except where an entry holds a host object.
struct NumVec {
    Vec<double> d;
    Vec<Ref> o;  // empty while every entry is a double
    bool is_obj(Py_ssize_t i) const { return !o.empty() && o[i]; }
    void set(Py_ssize_t i, PyObject* obj) {
        if (plain(obj, d[i])) return;
        if (o.empty()) o.resize(d.size());
        o[i] = Ref::borrow(obj);
    }
    Ref obj(Py_ssize_t i) const { return is_obj(i) ? o[i] : flt(d[i]); }
};

// One container the update writes: positions 0..count-1 of `row` become w - lr*gradient.
enum class Grad { Who, Bo, LWeights, LHWeights, Bias, Embed };
struct Target {
    Grad grad;
    Py_ssize_t r;      // the row (v or i) of a matrix
    Py_ssize_t count;  // positions written
    size_t first;      // its first position, counted over all targets in order
    Ref row;           // the container written
    PyObject* outer;   // the matrix the row came from (borrowed from the step), or null
};
// An update computed before the commit with the host's arithmetic: the new value of
// position `pos` (counted over all targets in order), and the element it replaces.
struct Kept {
    size_t pos;
    Ref old, value;
};
// A write into a container that is not a list, made before the commit (undone on failure).
struct Written {
    Ref seq, key, old;
};

struct Step {
    Fn* fn;
    PyObject* obj;
    int indexa, target;
    Py_ssize_t N = 0, V = 0, E = 0;
    double lr = 0;
    Ref emb, lw, lhw, bias, who, bo, ht;

    Vec<double> P, htn, Z;             // forward
    Vec<double> Y;                     // soft-max (or ylist from a rebound FixSoftmax)
    Ref ylist, nexttoken, loss;
    Py_ssize_t tn = 0;                 // the target, counted from the end when negative
    NumVec G;                          // gradients
    NumVec DP;
    Vec<double> DH, DE, embd;
    Vec<Vec<Ref>> gwo;                 // G[v]*ht[j] for rows whose G[v] is an object
    Vec<Ref> embo, gwl;                // embedding entries that are objects; DP[i]*those
    Vec<Target> targets;               // update
    Vec<Kept> kept;

    Ref reply, word, append;           // commit
    Ref prev_next, prev_loss;
    bool attrs_stored = false, committed = false;
    Vec<Written> written;
    size_t fresh = 0;                  // stored values that need a new float
    Vec<PyObject*> pool;               // those floats
    Vec<PyObject*> released;           // replaced objects freed after the commit

    bool pending = false;    // htn is the hidden state, not yet written into ht
    bool ran = false;        // Python code may have run
    bool who_clean = false;  // scores() read every row of who as an exact list held by who only
    bool fused = false;      // DH is summed while who is updated

    ~Step() {
        for (PyObject* f : pool) Py_DECREF(f);
        for (PyObject* o : released) Py_DECREF(o);
    }

    // ---- Reading the model's containers ----
    bool overlaid(PyObject* seq) const { return pending && seq == ht.get(); }
    bool direct(PyObject* seq) const {
        return (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) && !overlaid(seq);
    }

    // seq[i] with the host's sequence rules (a negative i counts from the end); the
    // hidden state reads as the step has written it.
    Ref item(PyObject* seq, Py_ssize_t i) {
        if (overlaid(seq) && i >= 0 && i < static_cast<Py_ssize_t>(htn.size())) return flt(htn[i]);
        if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
            Py_ssize_t n = Py_SIZE(seq);
            if (i < 0) i += n;
            if (i < 0 || i >= n) return index_error(seq), Ref();
            return Ref::borrow(PySequence_Fast_ITEMS(seq)[i]);
        }
        ran = true;
        Ref k = lng(i);
        return k ? Ref::steal(PyObject_GetItem(seq, k.get())) : Ref();
    }
    // outer[i] of an exact list or tuple, without running code; null if out of range.
    static PyObject* row_of(PyObject* outer, Py_ssize_t i) {
        if (!PyList_CheckExact(outer) && !PyTuple_CheckExact(outer)) return nullptr;
        if (i < 0) i += Py_SIZE(outer);
        return i >= 0 && i < Py_SIZE(outer) ? PySequence_Fast_ITEMS(outer)[i] : nullptr;
    }

    // each(j, o, d) for o = row[j], j in [0, n), d pointing at its value when it is a plain
    // number (null otherwise). A direct row is read in place, its length re-read at every
    // position (`each` may run Python code that changes the list).
    template <class Each>
    bool walk(PyObject* row, Py_ssize_t n, Each&& each) {
        const bool dir = direct(row);
        double d;
        for (Py_ssize_t j = 0; j < n; ++j) {
            Ref hold;
            if (dir) {
                if (j >= Py_SIZE(row)) return index_error(row);
            } else if (!(hold = item(row, j))) {
                return false;
            }
            PyObject* o = dir ? PySequence_Fast_ITEMS(row)[j] : hold.get();
            bool p = plain(o, d);
            if (!p) {
                ran = true;
                if (!hold) hold = Ref::borrow(o);
            }
            if (!each(j, o, p ? &d : nullptr)) return false;
        }
        return true;
    }

    // s + double(a*b) with the host's product (a double operand as a new float).
    static Ref as_obj(PyObject* o) { return Ref::borrow(o); }
    static Ref as_obj(double d) { return flt(d); }
    template <class A, class B>
    static bool add_product(A a, B b, double& s) {
        Ref x = as_obj(a), y = x ? as_obj(b) : Ref();
        Ref p = y ? mul(x.get(), y.get()) : Ref();
        double d;
        if (!p || !to_double(p.get(), d)) return false;
        s = s + d;
        return true;
    }
    // s += Σ a[j]*b[j] over two stored rows.
    bool dot(PyObject* a, PyObject* b, Py_ssize_t n, double& s) {
        return walk(a, n, [&](Py_ssize_t j, PyObject* x, const double* xd) {
            Ref y = item(b, j);
            if (!y) return false;
            double yd;
            if (xd && plain(y.get(), yd)) {
                s = s + *xd * yd;
                return true;
            }
            ran = true;
            return add_product(x, y.get(), s);
        });
    }
    // s + double(o) for a stored element.
    bool add_value(PyObject* o, double& s) {
        double x;
        if (!plain(o, x)) {
            ran = true;
            if (!to_double(o, x)) return false;
        }
        s = s + x;
        return true;
    }

    // ---- 1. Forward ----
    bool read_model() {
        Name* sizes[] = {&n_neurons, &n_vocabL, &n_vecL};
        Py_ssize_t* dst[] = {&N, &V, &E};
        for (int k = 0; k < 3; ++k) {
            Ref a = getattr(obj, *sizes[k]);
            int v;
            if (!a || !to_cint(a.get(), v)) return false;
            *dst[k] = v < 0 ? 0 : v;  // a loop over a negative count runs zero times
        }
        Ref a = getattr(obj, n_lr);
        if (!a || !to_double(a.get(), lr)) return false;
        Name* names[] = {&n_embedings, &n_lweights, &n_lhweights, &n_bias, &n_who, &n_bo, &n_ht};
        Ref* refs[] = {&emb, &lw, &lhw, &bias, &who, &bo, &ht};
        for (int k = 0; k < 7; ++k)
            if (!(*refs[k] = getattr(obj, *names[k]))) return false;
        return true;
    }

    // P[i] = Σ_k lweights[i][k]*embedings[indexa][k] + Σ_j lhweights[i][j]*ht[j] + bias[i]
    bool preactivations() {
        for (Py_ssize_t i = preactivations_by_four(); i < N; ++i) {
            double s = 0.0;
            if (E > 0) {
                Ref row = item(lw.get(), i);
                Ref erow = row ? item(emb.get(), indexa) : Ref();
                if (!erow || !dot(row.get(), erow.get(), E, s)) return false;
            }
            Ref row = item(lhw.get(), i);
            if (!row || !dot(row.get(), ht.get(), N, s)) return false;
            Ref b = item(bias.get(), i);
            if (!b || !add_value(b.get(), s)) return false;
            P.push_back(s);
        }
        return true;
    }

    // The values of seq[0..n) when seq is an exact list of plain numbers.
    static bool doubles(PyObject* seq, Py_ssize_t n, Vec<double>& out) {
        if (!seq || !PyList_CheckExact(seq) || PyList_GET_SIZE(seq) < n) return false;
        out.resize(static_cast<size_t>(n));
        for (Py_ssize_t j = 0; j < n; ++j)
            if (!plain(PyList_GET_ITEM(seq, j), out[j])) return false;
        return true;
    }
    // Four exact lists of exact floats, at least n long, read together: four sums, each in
    // its own order (so the additions of the four overlap). False where one does not qualify.
    static bool sum4(PyObject** rows[4], const double* x, Py_ssize_t n, double s[4]) {
        double s0 = s[0], s1 = s[1], s2 = s[2], s3 = s[3];  // in registers (s could alias a float's value)
        PyObject **r0 = rows[0], **r1 = rows[1], **r2 = rows[2], **r3 = rows[3];
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject *o0 = r0[k], *o1 = r1[k], *o2 = r2[k], *o3 = r3[k];
            if (!PyFloat_CheckExact(o0) || !PyFloat_CheckExact(o1) || !PyFloat_CheckExact(o2) ||
                !PyFloat_CheckExact(o3))
                return false;
            const double xk = x[k];
            s0 = s0 + PyFloat_AS_DOUBLE(o0) * xk;
            s1 = s1 + PyFloat_AS_DOUBLE(o1) * xk;
            s2 = s2 + PyFloat_AS_DOUBLE(o2) * xk;
            s3 = s3 + PyFloat_AS_DOUBLE(o3) * xk;
        }
        s[0] = s0, s[1] = s1, s[2] = s2, s[3] = s3;
        return true;
    }
    static PyObject** items_of(PyObject* row, Py_ssize_t n) {
        return row && PyList_CheckExact(row) && PyList_GET_SIZE(row) >= n ? PySequence_Fast_ITEMS(row) : nullptr;
    }

    // P for four rows at a time while everything is exact lists of plain numbers. Only
    // reads: returns the first row not done, for the general loop.
    Py_ssize_t preactivations_by_four() {
        Vec<double> h, e;
        if (N < 4 || !doubles(ht.get(), N, h) || !PyList_CheckExact(bias.get()) ||
            (E > 0 && !doubles(PyList_CheckExact(emb.get()) ? row_of(emb.get(), indexa) : nullptr, E, e)))
            return 0;
        Py_ssize_t i = 0;
        for (; i + 4 <= N; i += 4) {
            PyObject **a[4], **c[4];
            double b[4], s[4] = {0.0, 0.0, 0.0, 0.0};
            for (int r = 0; r < 4; ++r) {
                PyObject* bv = i + r < PyList_GET_SIZE(bias.get()) ? PyList_GET_ITEM(bias.get(), i + r) : nullptr;
                a[r] = E > 0 && PyList_CheckExact(lw.get()) ? items_of(row_of(lw.get(), i + r), E) : nullptr;
                c[r] = PyList_CheckExact(lhw.get()) ? items_of(row_of(lhw.get(), i + r), N) : nullptr;
                if ((E > 0 && !a[r]) || !c[r] || !bv || !plain(bv, b[r])) return i;
            }
            if ((E > 0 && !sum4(a, e.data(), E, s)) || !sum4(c, h.data(), N, s)) return i;
            for (int r = 0; r < 4; ++r) P.push_back(s[r] + b[r]);
        }
        return i;
    }

    // The new hidden state hybrid(P[i]): ReLu when positive, LeakyReLu otherwise (NaN
    // included). Kept aside in htn; reads of ht see it from here on.
    bool hidden_state() {
        if (N > 0 && !PyList_CheckExact(ht.get()) && !writable(ht.get())) return not_writable(ht.get());
        htn.resize(P.size());
        bool native = still_bound(fn, n_ReLu, IMPORTED.relu) && still_bound(fn, n_LeakyReLu, IMPORTED.leaky);
        for (Py_ssize_t i = 0; i < N; ++i) {
            double x = P[i];
            if (!native) {
                bool pos = x > 0;
                Ref f = global(fn, pos ? n_ReLu : n_LeakyReLu);
                if (!f) return false;
                if (f.get() != (pos ? IMPORTED.relu : IMPORTED.leaky)) {
                    ran = true;
                    Ref a = flt(x);
                    Ref r = a ? call(f.get(), {a.get()}) : Ref();
                    if (!r || !to_double(r.get(), htn[i])) return false;
                    continue;
                }
            }
            htn[i] = numcore::leaky(x);
        }
        // A callback that shortened the list: the step would fail to assign into it.
        if (ran && PyList_CheckExact(ht.get()) && PyList_GET_SIZE(ht.get()) < N) {
            PyErr_SetString(PyExc_IndexError, "list assignment index out of range");
            return false;
        }
        pending = true;
        return true;
    }

    // Z[v] = Σ_j who[v][j]*ht[j] + bo[v], with the new hidden state. Pending signals are
    // handled first: Ctrl-C stops the step here, having changed nothing.
    bool scores() {
        if (PyErr_CheckSignals() < 0) return false;
        const double* h = htn.data();
        ran = false;
        who_clean = N > 0 && direct(who.get());
        for (Py_ssize_t v = who_clean ? scores_by_row() : 0; v < V; ++v) {
            double s = 0.0;
            if (N > 0) {
                Ref row = item(who.get(), v);
                if (!row) return false;
                // Held by who and by `row` only: no other row or container is this list.
                if (!PyList_CheckExact(row.get()) || overlaid(row.get()) || Py_REFCNT(row.get()) != 2)
                    who_clean = false;
                bool ok = walk(row.get(), N, [&](Py_ssize_t j, PyObject* w, const double* d) {
                    return d ? (s = s + *d * h[j], true) : add_product(w, h[j], s);  // sets `ran`
                });
                if (!ok) return false;
                if (who_clean) count_fresh(row.get(), N);
            }
            Ref b = item(bo.get(), v);
            if (!b || !add_value(b.get(), s)) return false;
            Z.push_back(s);
        }
        return true;
    }

    // Z row by row while the rows are exact lists of exact floats and the bo entries plain
    // (one row at a time reads who from memory faster than four interleaved). Counts the
    // floats the fused update cannot rewrite. Returns the first row not done.
    Py_ssize_t scores_by_row() {
        const double* h = htn.data();
        PyObject* outer = who.get();
        const bool reuse_floats = reuse_at_all();
        Py_ssize_t v = 0;
        for (; v < V && v < Py_SIZE(outer); ++v) {
            PyObject* row = PySequence_Fast_ITEMS(outer)[v];
            PyObject** it = overlaid(row) ? nullptr : items_of(row, N);
            PyObject* bv = direct(bo.get()) ? row_of(bo.get(), v) : nullptr;
            double b, s = 0.0;
            if (!it || !bv || !plain(bv, b)) return v;
            if (Py_REFCNT(row) != 1) who_clean = false;
            Py_ssize_t refs = 1;  // the refcounts or-ed together: 1 while every one is 1
            for (Py_ssize_t k = 0; k < N; ++k) {
                PyObject* o = it[k];
                if (!PyFloat_CheckExact(o)) return v;
                refs |= Py_REFCNT(o);
                s = s + PyFloat_AS_DOUBLE(o) * h[k];
            }
            Z.push_back(s + b);
            if (refs != 1 || !reuse_floats) count_fresh(row, N);
        }
        return v;
    }

    // ---- 2. Soft-max, next token, loss ----
    Ref float_list(const Vec<double>& xs) {
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(xs.size())));
        for (size_t i = 0; list && i < xs.size(); ++i) {
            PyObject* f = PyFloat_FromDouble(xs[i]);
            if (!f) return {};
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), f);
        }
        return list;
    }

    // Y = FixSoftmax(Z); nexttoken = Argmax(Y); loss = -log(Y[target]).
    bool output() {
        bool native_y = false;
        if (V > 0 && still_bound(fn, n_FixSoftmax, IMPORTED.softmax) && numerix_plain(true)) {
            Y.resize(V);
            native_y = numcore::fix_softmax(Z.data(), Z.size(), Y.data());
        }
        if (!native_y) {
            Ref f = global(fn, n_FixSoftmax);
            Ref z = f ? float_list(Z) : Ref();
            if (!z) return false;
            ran = true;
            if (!(ylist = call(f.get(), {z.get()}))) return false;
        }
        if (native_y && still_bound(fn, n_Argmax, IMPORTED.argmax) && numerix_plain(false)) {
            nexttoken = Ref::steal(PyLong_FromSize_t(numcore::argmax(Y.data(), Y.size())));
        } else {
            Ref f = global(fn, n_Argmax);
            if (!f || (native_y && !(ylist = float_list(Y)))) return false;
            ran = true;
            nexttoken = call(f.get(), {ylist.get()});
        }
        if (!nexttoken) return false;
        // The target, counted from the end when negative, for the loss and the gradient.
        tn = target < 0 ? target + V : target;
        if (tn < 0 || (!ylist && tn >= V)) return index_error(ylist ? ylist.get() : Py_None);
        double y = ylist ? 0 : Y[tn];
        Ref yobj = ylist ? item(ylist.get(), tn) : Ref();
        if (ylist && !yobj) return false;
        Ref f = global(fn, n_log);
        if (!f) return false;
        double r;
        if (f.get() == IMPORTED.log && (!yobj || plain(yobj.get(), y)) && y > 0 &&
            numcore::log_series(y, 20, r)) {
            loss = flt(-r);
        } else {
            if (!yobj) yobj = flt(y);
            ran = true;
            Ref l = yobj ? call(f.get(), {yobj.get()}) : Ref();
            loss = l ? neg(l.get()) : Ref();
        }
        return bool(loss);
    }

    // ---- 3. Gradients ----

    // G[v] = Y[v], minus 1.0 at the target; the products G[v]*ht[j] of entries that are
    // host objects are formed here, as the step does.
    bool output_error() {
        G.d.assign(V, 0.0);
        for (Py_ssize_t v = 0; v < V; ++v) {
            Ref yv = ylist ? item(ylist.get(), v) : Ref();
            if (ylist && !yv) return false;
            double x = ylist ? 0 : Y[v];
            if (!yv || plain(yv.get(), x)) {
                G.d[v] = v == tn ? x - 1.0 : x;
                continue;
            }
            Ref one = v == tn ? flt(1.0) : Ref();
            if (v == tn && !(yv = one ? sub(yv.get(), one.get()) : Ref())) return false;
            G.set(v, yv.get());
        }
        if (G.o.empty()) return true;
        gwo.resize(V);
        for (Py_ssize_t v = 0; v < V; ++v) {
            if (!G.is_obj(v)) continue;
            gwo[v].resize(N);
            for (Py_ssize_t j = 0; j < N; ++j) {
                Ref h = flt(htn[j]);
                gwo[v][j] = h ? mul(G.o[v].get(), h.get()) : Ref();
                if (!gwo[v][j]) return false;
            }
        }
        return true;
    }

    // acc[j] = Σ_r a[r]*M[r][j], j < n, summed row by row over r < rows (each acc[j] still adds
    // in ascending r; M unchanged): DH from G and who, DE from DP and lweights.
    bool accumulate(PyObject* m, Py_ssize_t rows, Py_ssize_t n, const NumVec& a, Vec<double>& acc) {
        acc.assign(n, 0.0);
        for (Py_ssize_t r = 0; r < rows && n > 0; ++r) {
            Ref row = item(m, r);
            bool ok = row && walk(row.get(), n, [&](Py_ssize_t j, PyObject* w, const double* d) {
                if (d && !a.is_obj(r)) return acc[j] = acc[j] + a.d[r] * *d, true;
                Ref x = a.obj(r);
                return x && add_product(x.get(), w, acc[j]);
            });
            if (!ok) return false;
        }
        return true;
    }
    bool hidden_error() { return accumulate(who.get(), V, N, G, DH); }

    // DP[i] = DH[i] times the activation's slope; the embedding row (the entries that are
    // host objects get their products DP[i]*embedings[indexa][k] now); DE = DPᵀ·lweights.
    bool input_errors() {
        DP.d.resize(N);
        for (Py_ssize_t i = 0; i < N; ++i) DP.d[i] = DH[i] * (P[i] > 0 ? 1.0 : 0.01);
        DE.assign(E, 0.0);
        if (N <= 0 || E <= 0) return true;
        Ref erow = item(emb.get(), indexa);
        bool ok = erow && walk(erow.get(), E, [&](Py_ssize_t k, PyObject* o, const double* d) {
            embd.push_back(d ? *d : 0.0);
            if (!d) embo.resize(E), embo[k] = Ref::borrow(o);
            return true;
        });
        if (!ok) return false;
        if (!embo.empty()) {
            gwl.resize(static_cast<size_t>(N) * E);
            for (Py_ssize_t i = 0; i < N; ++i)
                for (Py_ssize_t k = 0; k < E; ++k) {
                    if (!embo[k]) continue;
                    Ref d = flt(DP.d[i]);
                    Ref& p = gwl[static_cast<size_t>(i) * E + k];
                    if (!d || !(p = mul(d.get(), embo[k].get()))) return false;
                }
        }
        return accumulate(lw.get(), N, E, DP, DE);
    }

    // ---- 4. Update: each weight w becomes w - (lr * gradient) ----

    // The gradient at position j of target t: a double, or (o set) a host object.
    double gradient(const Target& t, Py_ssize_t j, PyObject*& o) const {
        double d = 0;
        o = nullptr;
        switch (t.grad) {
            case Grad::Who: G.is_obj(t.r) ? void(o = gwo[t.r][j].get()) : void(d = G.d[t.r] * htn[j]); break;
            case Grad::Bo: G.is_obj(j) ? void(o = G.o[j].get()) : void(d = G.d[j]); break;
            case Grad::LWeights:
                !embo.empty() && embo[j] ? void(o = gwl[t.r * E + j].get()) : void(d = DP.d[t.r] * embd[j]);
                break;
            case Grad::LHWeights: d = DP.d[t.r] * htn[j]; break;
            case Grad::Bias: d = DP.d[j]; break;
            case Grad::Embed: d = DE[j]; break;
        }
        if (o && PyFloat_CheckExact(o)) {
            d = PyFloat_AS_DOUBLE(o);
            o = nullptr;
        }
        return d;
    }

    // f(grad) with grad(j) the gradient() of target t at j, chosen once for the whole target,
    // when every gradient is a double (no entry of G or of the embedding row is an object).
    template <class F>
    void with_gradient(const Target& t, F&& f) const {
        const double* __restrict h = htn.data();
        const double* __restrict dp = DP.d.data();
        switch (t.grad) {
            case Grad::Who: return f([g = G.d[t.r], h](Py_ssize_t j) { return g * h[j]; });
            case Grad::Bo: return f([g = G.d.data()](Py_ssize_t j) { return g[j]; });
            case Grad::LWeights: return f([d = dp[t.r], e = embd.data()](Py_ssize_t j) { return d * e[j]; });
            case Grad::LHWeights: return f([d = dp[t.r], h](Py_ssize_t j) { return d * h[j]; });
            case Grad::Bias: return f([dp](Py_ssize_t j) { return dp[j]; });
            case Grad::Embed: return f([de = DE.data()](Py_ssize_t j) { return de[j]; });
        }
    }

    // w - (lr * g) on the host's objects.
    Ref host_update(PyObject* w, double gd, PyObject* go) {
        Ref lrf = flt(lr), g = go ? Ref::borrow(go) : flt(gd);
        Ref t = lrf && g ? mul(lrf.get(), g.get()) : Ref();
        return t ? sub(w, t.get()) : Ref();
    }

    // The containers the update writes, in its order (rows are fetched as they are reached);
    // who's rows are left to the fused pass when `fusing`.
    void collect_targets(bool fusing) {
        auto add = [&](Grad g, Py_ssize_t r, Py_ssize_t count, PyObject* outer, PyObject* whole) {
            if (count <= 0) return;
            size_t first = targets.empty() ? 0 : targets.back().first + targets.back().count;
            targets.push_back(Target{g, r, count, first, Ref::borrow(whole), outer});
        };
        targets.reserve(static_cast<size_t>(fusing ? 0 : V) + 2 * static_cast<size_t>(N) + 3);
        for (Py_ssize_t v = 0; v < V && !fusing; ++v) add(Grad::Who, v, N, who.get(), nullptr);
        add(Grad::Bo, 0, V, nullptr, bo.get());
        for (Py_ssize_t i = 0; i < N; ++i) add(Grad::LWeights, i, E, lw.get(), nullptr);
        for (Py_ssize_t i = 0; i < N; ++i) add(Grad::LHWeights, i, N, lhw.get(), nullptr);
        add(Grad::Bias, 0, N, nullptr, bias.get());
        add(Grad::Embed, 0, E, emb.get(), nullptr);
    }

    // Fetches every target, checks it can be written, and computes the updates that need
    // the host's arithmetic (kept), in the update's order. A container that an earlier target
    // wrote too is read as the step has left it (earlier()).
    bool prepare_targets() {
        targets.clear();
        collect_targets(false);
        std::unordered_set<PyObject*, std::hash<PyObject*>, std::equal_to<PyObject*>, PyAlloc<PyObject*>> seen;
        for (size_t ti = 0; ti < targets.size(); ++ti) {
            Target& t = targets[ti];
            if (t.outer && !(t.row = item(t.outer, t.grad == Grad::Embed ? indexa : t.r))) return false;
            PyObject* row = t.row.get();
            const bool again = !seen.insert(row).second;
            bool list = PyList_CheckExact(row) && !overlaid(row);
            if (!PyList_CheckExact(row) && !writable(row)) {
                // The step reads the element before it fails to assign it.
                Ref w = item(row, 0);
                return w ? not_writable(row) : false;
            }
            for (Py_ssize_t j = 0; j < t.count; ++j) {
                PyObject* go;
                double gd = gradient(t, j, go), wd = 0;
                if (list && j >= PyList_GET_SIZE(row)) return index_error(row);
                Ref w = list ? Ref::borrow(PyList_GET_ITEM(row, j)) : item(row, j), view = w;
                if (!w) return false;
                bool hit = false;  // an earlier update of this position was computed beforehand
                if (again && !earlier(ti, j, view, hit)) return false;
                if (list && !hit && !go && plain(w.get(), wd)) continue;
                Ref value = !go && plain(view.get(), wd) ? flt(wd - lr * gd) : (ran = true, host_update(view.get(), gd, go));
                if (!value) return false;
                kept.push_back(Kept{t.first + j, w, value});
            }
        }
        return true;
    }
    // `view` (position j of target ti's container) as the earlier targets on the same
    // container leave it: their updates computed beforehand (`hit`), or those the commit
    // makes from the plain number there.
    bool earlier(size_t ti, Py_ssize_t j, Ref& view, bool& hit) {
        for (size_t e = 0; e < ti; ++e) {
            const Target& te = targets[e];
            if (te.row.get() != targets[ti].row.get() || j >= te.count) continue;
            if (const Kept* k = kept_at(te.first + j)) {
                hit = true;
                view = k->value;
                continue;
            }
            hit = false;
            PyObject* go;
            double gd = gradient(te, j, go), wd;  // a double: the update was left to the commit
            if (!plain(view.get(), wd)) return changed();
            if (!(view = flt(wd - lr * gd))) return false;
        }
        return true;
    }

    // count_fresh() over positions [0, n) of the list (at least n long), false where one is
    // not a plain number.
    bool count_fresh_plain(PyObject* list, Py_ssize_t n) {
        PyObject** it = PySequence_Fast_ITEMS(list);
        const bool reuse_floats = reuse_at_all();
        size_t count = 0;
        for (Py_ssize_t j = 0; j < n; ++j) {
            PyObject* w = it[j];
            if (PyFloat_CheckExact(w)) {
                count += !reuse_floats || Py_REFCNT(w) != 1;
            } else {
                double d;
                if (!plain(w, d)) return false;
                ++count;
            }
        }
        fresh += count;
        return true;
    }
    void count_fresh(PyObject* list, Py_ssize_t n) {
        n = std::min(n, PyList_GET_SIZE(list));
        for (Py_ssize_t j = 0; j < n; ++j) fresh += !reusable(PyList_GET_ITEM(list, j));
    }

    // The fused pass (see commit()) is taken when nothing can fail or run Python code
    // from the decision on: every row of who was read by scores() as an exact list of plain
    // numbers held by who alone and no Python code ran since; every other target and every
    // list the gradients read is an exact list of plain numbers; G is plain. It reads
    // lweights and the embedding row after it updated who, so they must not be who (no row
    // of theirs can be one of who's, which who alone holds).
    bool fuse_candidate() {
        return who_clean && !ran && V > 0 && G.o.empty() && lw.get() != who.get() && emb.get() != who.get();
    }
    // The rest of the checks, after reply and the word were read (the references taken there
    // may add to the floats the commit cannot rewrite), and the fused commit's buffers.
    bool fuse_ready() {
        if (ran || !PyList_CheckExact(ht.get()) || PyList_GET_SIZE(ht.get()) < N) return false;
        collect_targets(true);
        if (!targets_ready(true)) return false;
        DH.reserve(N);
        DP.d.reserve(N);
        DE.reserve(E);
        embd.reserve(E);
        return true;
    }

    // ---- 5. Before the commit: everything that can fail or run Python code ----

    // Reading reply/dictionary and storing nexttoken/loss run no Python code: the generic
    // attribute access, no class attribute of those names, and an instance dict with only
    // exact str keys (a str subclass's __eq__ would run when a key is compared).
    bool quiet_dict() {
        PyTypeObject* t = Py_TYPE(obj);
        if (t->tp_dictoffset == 0 ||
            !rt::plain_attrs(t, kAttrRead | kAttrWrite, {&n_nexttoken, &n_loss, &n_reply, &n_dictionary}))
            return false;
        Ref idict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
        if (!idict) PyErr_Clear();
        if (!idict || !PyDict_CheckExact(idict.get())) return false;
        Py_ssize_t p = 0;
        PyObject *k, *v;
        while (PyDict_Next(idict.get(), &p, &k, &v))
            if (!PyUnicode_CheckExact(k)) return false;
        return true;
    }

    // reply, dictionary, the new word and (for other than a list) its append method; then
    // nexttoken and loss are stored, and put back (or deleted) if the step fails before its
    // commit. The old values are held until the step ends (their release could run code).
    bool prepare_reply() {
        if (!quiet_dict()) ran = true;
        reply = getattr(obj, n_reply);
        Ref dict = reply ? getattr(obj, n_dictionary) : Ref();
        if (!dict) return false;
        if (!PyLong_CheckExact(nexttoken.get()) || !(PyList_CheckExact(dict.get()) || PyTuple_CheckExact(dict.get())))
            ran = true;
        word = Ref::steal(PyObject_GetItem(dict.get(), nexttoken.get()));
        if (!word) return false;
        if (!PyList_CheckExact(reply.get())) {
            ran = true;
            if (!(append = getattr(reply.get(), n_append))) return false;
        }
        prev_next = Ref::steal(PyObject_GetAttr(obj, n_nexttoken.get()));
        PyErr_Clear();
        prev_loss = Ref::steal(PyObject_GetAttr(obj, n_loss.get()));
        PyErr_Clear();
        attrs_stored = true;
        return setattr(obj, n_nexttoken, nexttoken.get()) && setattr(obj, n_loss, loss.get());
    }

    // Containers that are not lists are written through their __setitem__ now (the hidden
    // state first, then in the update's order); undo() writes back what they held.
    bool write_others() {
        auto write = [&](PyObject* seq, Py_ssize_t j, PyObject* value, Ref old) {
            ran = true;
            Ref k = lng(j);
            if (!k) return false;
            if (!old) old = Ref::steal(PyObject_GetItem(seq, k.get()));
            if (!old || PyObject_SetItem(seq, k.get(), value) < 0) return false;
            written.push_back(Written{Ref::borrow(seq), k, old});
            return true;
        };
        if (!PyList_CheckExact(ht.get()))
            for (Py_ssize_t i = 0; i < N; ++i) {
                Ref f = flt(htn[i]);
                if (!f || !write(ht.get(), i, f.get(), Ref())) return false;
            }
        pending = false;
        for (const Target& t : targets)
            for (Py_ssize_t j = 0; j < t.count && !PyList_CheckExact(t.row.get()); ++j) {
                const Kept* k = kept_at(t.first + j);  // every position: computed beforehand
                if (k && !write(t.row.get(), j, k->value.get(), k->old)) return false;
            }
        return true;
    }

    // Every target is still the row of its matrix, at least as long as the update, with the
    // same objects where updates were computed beforehand (kept) and plain numbers elsewhere;
    // counts the values that need a new float. Targets that are not lists (or are the hidden
    // state) were computed beforehand. `fusing`: every target must be such a list, with no
    // update computed beforehand, and its row is fetched here (who's rows, no targets then,
    // were checked and counted by scores()). Runs no Python code.
    bool targets_ready(bool fusing) {
        if (!fusing) fresh = 0;
        for (Target& t : targets) {
            PyObject* outer = t.outer;
            if (outer && (PyList_CheckExact(outer) || PyTuple_CheckExact(outer))) {
                PyObject* r = row_of(outer, t.grad == Grad::Embed ? indexa : t.r);
                if (fusing) t.row = Ref::borrow(r);
                if (!r || r != t.row.get()) return false;
            } else if (fusing && outer) {
                return false;
            }
            PyObject* row = t.row.get();
            if (!PyList_CheckExact(row) || row == ht.get()) {
                if (fusing) return false;
                continue;
            }
            if (PyList_GET_SIZE(row) < t.count) return false;
            if (kept.empty()) {
                if (!count_fresh_plain(row, t.count)) return false;
                continue;
            }
            for (Py_ssize_t j = 0; j < t.count; ++j) {
                PyObject* w = PyList_GET_ITEM(row, j);
                if (const Kept* k = kept.empty() ? nullptr : kept_at(t.first + j)) {
                    if (k->old.get() != w) return false;
                } else {
                    double d;
                    if (!plain(w, d)) return false;
                    fresh += !reusable(w);
                }
            }
        }
        return true;
    }
    // The update of position `pos` computed beforehand, if any.
    const Kept* kept_at(size_t pos) const {
        auto k = std::lower_bound(kept.begin(), kept.end(), pos, [](const Kept& k, size_t p) { return k.pos < p; });
        return k != kept.end() && k->pos == pos ? &*k : nullptr;
    }

    // The floats the commit stores, room for what it releases, and the word appended to a
    // list reply (the last step that can fail).
    bool ready() {
        if (N > 0 && PyList_CheckExact(ht.get())) {
            if (PyList_GET_SIZE(ht.get()) < N) return changed();
            count_fresh(ht.get(), N);
        }
        pool.reserve(fresh);
        for (size_t i = 0; i < fresh; ++i) {
            PyObject* f = PyFloat_FromDouble(0.0);
            if (!f) return false;
            pool.push_back(f);
        }
        released.reserve(static_cast<size_t>(N));
        return append || PyList_Append(reply.get(), word.get()) == 0;
    }

    // Undoes what was stored before the commit (the current exception is kept).
    void undo() {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        for (size_t i = written.size(); i-- > 0;) {
            Written& w = written[i];
            if (PyObject_SetItem(w.seq.get(), w.key.get(), w.old.get()) < 0) PyErr_Clear();
        }
        written.clear();
        if (attrs_stored) {
            restore_attr(n_nexttoken, prev_next);
            restore_attr(n_loss, prev_loss);
            attrs_stored = false;
        }
        PyErr_Restore(type, value, tb);
    }
    void restore_attr(Name& name, Ref& prev) {
        int rc = prev ? PyObject_SetAttr(obj, name.get(), prev.get()) : PyObject_DelAttr(obj, name.get());
        if (rc < 0) PyErr_Clear();
    }

    // ---- 6. Commit: no Python code runs and nothing fails ----

    // list[j] = value, with a float from the pool when the old one cannot be rewritten. The
    // old object is released at once when that runs no code (an int or a float), after the
    // step otherwise.
    void store(PyObject* list, Py_ssize_t j, double value) {
        PyObject* old = PyList_GET_ITEM(list, j);
        if (reusable(old)) {
            reinterpret_cast<PyFloatObject*>(old)->ob_fval = value;
            return;
        }
        PyObject* f;
        if (!pool.empty()) {
            f = pool.back();
            pool.pop_back();
        } else if (!(f = PyFloat_FromDouble(0.0))) {  // not reached: the pool was counted
            return PyErr_Clear();
        }
        reinterpret_cast<PyFloatObject*>(f)->ob_fval = value;
        PyList_SET_ITEM(list, j, f);
        release(old);
    }
    void release(PyObject* old) {
        if (PyFloat_CheckExact(old) || PyLong_CheckExact(old) || released.size() == released.capacity())
            Py_DECREF(old);
        else
            released.push_back(old);
    }

    // Positions [0, n) of the exact list `row`, plain numbers, become w - lr*grad(j); a float
    // only the list holds is rewritten in place. kept(j): the position's update was computed
    // beforehand and is stored by kept(). kSumDH: the fused pass, DH[j] + g*w summed from
    // each w before it is updated. lr, the reuse decision and the buffers stay in registers
    // (stores into float objects cannot change them).
    template <bool kSumDH, class Grad, class Kept>
    [[gnu::noinline]] void update_row(PyObject* row, Py_ssize_t from, Py_ssize_t n, Grad grad, Kept kept, double g = 0) {
        const double rate = lr;
        const bool reuse_floats = reuse_at_all();
        double* __restrict dh = DH.data();
        PyObject** it = PySequence_Fast_ITEMS(row);
        for (Py_ssize_t j = from; j < n; ++j) {
            for (; j < n; ++j) {  // floats only the list holds: no calls, values in registers
                if (kept(j)) continue;
                PyObject* o = it[j];
                if (!reuse_floats || !PyFloat_CheckExact(o) || Py_REFCNT(o) != 1) break;
                auto fo = reinterpret_cast<PyFloatObject*>(o);
                const double w = fo->ob_fval;
                if (kSumDH) dh[j] = dh[j] + g * w;
                fo->ob_fval = w - rate * grad(j);
            }
            if (j == n) break;
            double w = 0;
            plain(it[j], w);
            if (kSumDH) dh[j] = dh[j] + g * w;
            store(row, j, w - rate * grad(j));
        }
    }

    // The hidden state, then the weights in the update's order. When fused, DH is summed in
    // the who pass and DP and DE follow it (plain lists only: nothing fails).
    void commit() {
        pending = false;
        for (Py_ssize_t i = 0; i < N && PyList_CheckExact(ht.get()); ++i) store(ht.get(), i, htn[i]);
        if (fused) {
            DH.assign(N, 0.0);
            const double* __restrict h = htn.data();
            PyObject** rows = PySequence_Fast_ITEMS(who.get());
            for (Py_ssize_t v = 0; v < V; ++v) {
                const double g = G.d[v];
                update_row<true>(rows[v], 0, N, [g, h](Py_ssize_t j) { return g * h[j]; },
                                 [](Py_ssize_t) { return false; }, g);
            }
            input_errors();
        }
        const bool doubles_only = kept.empty() && G.o.empty() && embo.empty();
        for (const Target& tg : targets) {
            PyObject* row = tg.row.get();
            if (!PyList_CheckExact(row)) continue;  // written before the commit
            if (doubles_only) {
                with_gradient(tg, [&](auto grad) { update_row<false>(row, 0, tg.count, grad, [](Py_ssize_t) { return false; }); });
                continue;
            }
            auto grad = [&](Py_ssize_t j) {
                PyObject* go;
                return gradient(tg, j, go);  // a double here: host objects were kept
            };
            auto swap_kept = [&](Py_ssize_t j) {
                const Kept* k = kept.empty() ? nullptr : kept_at(tg.first + j);
                if (!k) return false;
                PyObject* old = PyList_GET_ITEM(row, j);
                PyList_SET_ITEM(row, j, newref(k->value.get()));
                Py_DECREF(old);  // held by `kept`, or a float an earlier update stored
                return true;
            };
            update_row<false>(row, 0, tg.count, grad, swap_kept);
        }
    }

    bool run() {
        if (!(read_model() && preactivations() && hidden_state() && scores() && output() && output_error()))
            return false;
        fused = fuse_candidate();
        if (fused) {
            if (!prepare_reply()) return false;
            fused = fuse_ready();
        }
        if (!fused) {
            ran = true;  // or might have: the containers are checked again before the commit
            if (!(hidden_error() && input_errors() && prepare_targets() && (reply || prepare_reply()) &&
                  write_others()))
                return false;
            if (!targets_ready(false)) return changed();
        }
        if (!ready()) return false;
        committed = true;
        commit();
        return !append || call(append.get(), {word.get()});
    }

    bool step() {
        bool ok;
        try {
            ok = run();
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            ok = false;
        }
        if (!ok && !committed) undo();
        return ok;
    }
};

PyObject* activate_step_impl(Fn* fn, PyObject* obj, int indexa, int target) {
    Step s;
    s.fn = fn;
    s.obj = obj;
    s.indexa = indexa;
    s.target = target;
    if (!s.step()) return nullptr;
    Py_RETURN_NONE;
}

const FnDef activate_step_def{
    "activate_step",
    "\n    obj = your RNNLM_HYBRID instance\n    This function directly reads/writes obj.embedings, obj.lweights, etc.\n",
    {P("obj"), P("indexa", Conv::CInt), P("target", Conv::CInt)},
    nullptr,
    typed<&activate_step_impl>};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "tensilo", nullptr, -1, nullptr};

bool capture(PyObject* m) {
    PyObject* g = PyModule_GetDict(m);
    const char* names[] = {"Argmax", "FixSoftmax", "LeakyReLu", "ReLu", "log"};
    PyObject** slots[] = {&IMPORTED.argmax, &IMPORTED.softmax, &IMPORTED.leaky, &IMPORTED.relu, &IMPORTED.log};
    for (int k = 0; k < 5; ++k) {
        PyObject* o = PyDict_GetItemString(g, names[k]);
        if (!o) return false;
        Py_XSETREF(*slots[k], newref(o));
    }
    Ref numerix = Ref::steal(PyImport_ImportModule("ORVEX.numerix"));
    if (!numerix) return false;
    PyObject* ng = PyModule_GetDict(numerix.get());
    PyObject* e = PyDict_GetItemWithError(ng, n_exp.get());
    Ref mx = builtin("max");
    if (!mx) return false;
    Py_XSETREF(IMPORTED.numerix_globals, newref(ng));
    Py_XSETREF(IMPORTED.exp, e ? newref(e) : nullptr);
    Py_XSETREF(IMPORTED.max, mx.release());
    return true;
}

}  // namespace

PyMODINIT_FUNC PyInit_tensilo() {
    return rt::guarded_init("tensilo", []() -> PyObject* {
        const char* fresh = std::getenv("ORVEX_TENSILO_FRESH_FLOATS");
        REUSE_FLOATS = !(fresh && *fresh && *fresh != '0');
        Ref m = Ref::steal(make_module(&module_def, {&activate_step_def}));
        if (!m) return nullptr;
        if (!import_from(m.get(), "ORVEX.numerix", {"Argmax", "FixSoftmax", "LeakyReLu", "ReLu", "log"}))
            return nullptr;
        if (!capture(m.get())) return nullptr;
        return m.release();
    });
}
