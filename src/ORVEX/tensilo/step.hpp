// The word model's step over doubles, shared by ORVEX.tensilo (activate_step on a plain
// model) and ORVEX._kernel (run_pairs, forward): the model's reads, the test that a model is
// plain, the maths of the step written once over a storage of rows, and the commit.
//
// A plain model: exact lists of plain numbers (exact floats, exact ints below 2**53, whose
// products and conversions are those of doubles), every shape right (N, V, E >= 1, the rows
// at least as long as the step reads), no list the step writes aliased with another or with
// reply or dictionary, reply an exact list, dictionary an exact list or tuple, the numerix
// names still bound to numerix's own functions, and nothing on the instance that can run code
// when reply, dictionary, nexttoken or loss are read or stored. On such a model no Python
// code runs from the decision to the last store.
#pragma once

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "orvex/numcore.hpp"
#include "orvex/rt.hpp"

// Rewriting a float object that only its list holds (a cache on CPython's reference counts,
// ORVEX_FLOAT_REUSE in orvex/internals.hpp); -DORVEX_INTERNALS=0 or
// -DORVEX_TENSILO_FRESH_FLOATS=1 store a new float every time.
#ifndef ORVEX_TENSILO_FRESH_FLOATS
#define ORVEX_TENSILO_FRESH_FLOATS 0
#endif

namespace step {
using namespace rt;

#if ORVEX_FLOAT_REUSE && !ORVEX_TENSILO_FRESH_FLOATS
inline bool reusable(PyObject* o) { return PyFloat_CheckExact(o) && Py_REFCNT(o) == 1; }
#else
inline bool reusable(PyObject*) { return false; }
#endif

// Buffers from the interpreter's allocator (tracemalloc accounts for them).
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

inline Name n_neurons("neurons"), n_vocabL("vocabL"), n_vecL("vecL"), n_lr("lr"), n_embedings("embedings"),
    n_lweights("lweights"), n_lhweights("lhweights"), n_bias("bias"), n_who("who"), n_bo("bo"), n_ht("ht"),
    n_reply("reply"), n_dictionary("dictionary"), n_nexttoken("nexttoken"), n_loss("loss");
inline Name n_Argmax("Argmax"), n_FixSoftmax("FixSoftmax"), n_LeakyReLu("LeakyReLu"), n_ReLu("ReLu"),
    n_log("log"), n_exp("exp"), n_max("max");

// The numerix functions the step's module bound at import, and what numerix's FixSoftmax
// and Argmax use (numerix's exp, the built-in max): while all are still bound, the step
// runs them on doubles (orvex/numcore.hpp), their results to the last bit.
struct Bound {
    // ReLu, LeakyReLu, FixSoftmax, Argmax and log in the step module's globals, then exp in numerix's.
    inline static Name* names[6] = {&n_ReLu, &n_LeakyReLu, &n_FixSoftmax, &n_Argmax, &n_log, &n_exp};
    Ref fn[6], numerix_globals, max;

    // From the step module's globals; false (no exception) if they are not numerix's own.
    bool capture(PyObject* globals) {
        Ref numerix = Ref::steal(PyImport_ImportModule("ORVEX.numerix"));
        if (!numerix) return false;
        numerix_globals = Ref::borrow(PyModule_GetDict(numerix.get()));
        for (int k = 0; k < 6; ++k) {
            PyObject* mine = k < 5 ? PyDict_GetItemWithError(globals, names[k]->get()) : nullptr;
            PyObject* theirs = PyDict_GetItemWithError(numerix_globals.get(), names[k]->get());
            if (PyErr_Occurred()) return false;
            if (!theirs || (k < 5 && mine != theirs) || std::strcmp(Py_TYPE(theirs)->tp_name, FnType.tp_name))
                return false;
            fn[k] = Ref::borrow(theirs);
        }
        return bool(max = builtin("max"));
    }
    // The five names of the step's module, numerix's exp and the built-in max as captured.
    bool native(PyObject* globals) const {
        for (int k = 0; k < 6; ++k) {
            PyObject* v = PyDict_GetItemWithError(k < 5 ? globals : numerix_globals.get(), names[k]->get());
            if (!v) PyErr_Clear();
            if (!fn[k] || v != fn[k].get()) return false;
        }
        Ref m = global(numerix_globals.get(), n_max.get());
        if (!m) PyErr_Clear();
        return m && m.get() == max.get();
    }
};

// hybrid(x): ReLu when positive, LeakyReLu otherwise (NaN included), as the step module's
// globals bind them now; numerix's own on doubles.
inline bool hybrid(PyObject* globals, const Bound* b, double x, double& out) {
    bool pos = x > 0;
    Ref f = global(globals, (pos ? n_ReLu : n_LeakyReLu).get());
    if (!f) return false;
    if (b && f.get() == b->fn[pos ? 0 : 1].get()) {
        out = numcore::leaky(x);
        return true;
    }
    Ref a = flt(x), r = a ? call(f.get(), {a.get()}) : Ref();
    return r && to_double(r.get(), out);
}

// ---- 1. The sizes, the learning rate and the containers, read from the instance ----
struct Model {
    PyObject* obj;
    Py_ssize_t N = 0, V = 0, E = 0;  // a negative size runs its loops zero times
    double lr = 0;
    Ref emb, lw, lhw, bias, who, bo, ht;

    bool read() {
        Name* sizes[] = {&n_neurons, &n_vocabL, &n_vecL};
        Py_ssize_t* dst[] = {&N, &V, &E};
        for (int k = 0; k < 3; ++k) {
            Ref a = getattr(obj, *sizes[k]);
            int v;
            if (!a || !to_cint(a.get(), v)) return false;
            *dst[k] = v < 0 ? 0 : v;
        }
        Ref a = getattr(obj, n_lr);
        if (!a || !to_double(a.get(), lr)) return false;
        Name* names[] = {&n_embedings, &n_lweights, &n_lhweights, &n_bias, &n_who, &n_bo, &n_ht};
        Ref* refs[] = {&emb, &lw, &lhw, &bias, &who, &bo, &ht};
        for (int k = 0; k < 7; ++k)
            if (!(*refs[k] = getattr(obj, *names[k]))) return false;
        return true;
    }
};

// Reading reply and dictionary and storing nexttoken and loss run no Python code: the
// generic attribute access, no class attribute of those names, an exact dict with exact str
// keys only (a str subclass's __eq__ would run when a key is compared).
inline bool quiet_instance(PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    if (t->tp_dictoffset == 0 || !plain_attrs(t, kAttrRead | kAttrWrite, {&n_nexttoken, &n_loss, &n_reply, &n_dictionary}))
        return false;
    Ref d = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    if (!d) PyErr_Clear();
    if (!d || !PyDict_CheckExact(d.get())) return false;
    Py_ssize_t p = 0;
    PyObject *k, *v;
    while (PyDict_Next(d.get(), &p, &k, &v))
        if (!PyUnicode_CheckExact(k)) return false;
    return true;
}

// The value of a plain number (an exact float, or an exact int the caller checked).
inline double value(PyObject* o) {
    return PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : static_cast<double>(PyLong_AsLongLong(o));
}
inline bool plain_number(PyObject* o) {
    double d;
    return PyFloat_CheckExact(o) || plain_double(o, d);
}
// An exact list of at least n plain numbers (the first n checked when `elements`); counts
// into `fresh` the positions whose float cannot be rewritten in place.
inline bool plain_row(PyObject* o, Py_ssize_t n, bool elements, size_t* fresh) {
    if (!o || !PyList_CheckExact(o) || PyList_GET_SIZE(o) < n) return false;
    PyObject** it = PySequence_Fast_ITEMS(o);
    for (Py_ssize_t j = 0; elements && j < n; ++j) {
        if (!plain_number(it[j])) return false;
        if (fresh) *fresh += !reusable(it[j]);
    }
    return true;
}

// The lists of a plain model, borrowed from its Model (which holds them for the step).
struct Lists {
    PyObject **lw, **lhw, **who;  // the rows
    PyObject *bias, *bo, *ht, *erow;
    PyObject *reply = nullptr, *dictionary = nullptr;
    size_t fresh = 0;            // stored positions outside who needing a new float
    Vec<PyObject*> written;      // the lists written, sorted (who's rows only who holds left out)
};

// Whether the model is plain as far as its containers, rows and the elements outside who go
// (who's elements are checked as the scores read them). `with_ht`: the step writes ht (the
// forward pass alone takes the hidden state as an argument). No Python code runs.
inline bool plain_lists(const Model& m, int indexa, bool with_ht, Lists& l) {
    const Py_ssize_t N = m.N, V = m.V, E = m.E;
    if (N < 1 || V < 1 || E < 1) return false;
    for (PyObject* o : {m.emb.get(), m.lw.get(), m.lhw.get(), m.who.get()})
        if (!PyList_CheckExact(o)) return false;
    Py_ssize_t a = indexa < 0 ? indexa + PyList_GET_SIZE(m.emb.get()) : indexa;
    if (a < 0 || a >= PyList_GET_SIZE(m.emb.get()) || PyList_GET_SIZE(m.lw.get()) < N ||
        PyList_GET_SIZE(m.lhw.get()) < N || PyList_GET_SIZE(m.who.get()) < V)
        return false;
    l.lw = PySequence_Fast_ITEMS(m.lw.get());
    l.lhw = PySequence_Fast_ITEMS(m.lhw.get());
    l.who = PySequence_Fast_ITEMS(m.who.get());
    l.bias = m.bias.get(), l.bo = m.bo.get(), l.ht = m.ht.get();
    l.erow = PyList_GET_ITEM(m.emb.get(), a);
    size_t* f = &l.fresh;
    if (!plain_row(l.bias, N, true, f) || !plain_row(l.bo, V, true, f) || !plain_row(l.erow, E, true, f) ||
        !plain_row(l.ht, N, true, with_ht ? f : nullptr))
        return false;
    Vec<PyObject*>& written = l.written;
    written.assign({l.bias, l.bo, l.erow, l.ht});
    written.reserve(static_cast<size_t>(2 * N + V) + 6);
    for (Py_ssize_t i = 0; i < N; ++i) {
        if (!plain_row(l.lw[i], E, true, f) || !plain_row(l.lhw[i], N, true, f)) return false;
        written.push_back(l.lw[i]);
        written.push_back(l.lhw[i]);
    }
    PyObject* who = m.who.get();
    const bool shared = who == m.emb.get() || who == m.lw.get() || who == m.lhw.get();
    for (Py_ssize_t v = 0; v < V; ++v) {
        if (!plain_row(l.who[v], N, false, nullptr)) return false;
        if (Py_REFCNT(l.who[v]) != 1 || shared) written.push_back(l.who[v]);  // else who alone holds it
    }
    for (PyObject* o : {l.reply, l.dictionary})
        if (o) written.push_back(o);
    std::sort(written.begin(), written.end());
    return std::adjacent_find(written.begin(), written.end()) == written.end();
}

// Reply and dictionary of a plain model, read after quiet_instance() (no code runs).
inline bool plain_reply(PyObject* obj, Lists& l, Ref& reply, Ref& dictionary) {
    reply = Ref::steal(PyObject_GenericGetAttr(obj, n_reply.get()));
    dictionary = reply ? Ref::steal(PyObject_GenericGetAttr(obj, n_dictionary.get())) : Ref();
    if (!dictionary) return PyErr_Clear(), false;
    l.reply = reply.get(), l.dictionary = dictionary.get();
    return PyList_CheckExact(l.reply) && (PyList_CheckExact(l.dictionary) || PyTuple_CheckExact(l.dictionary));
}

// Floats made before a commit, so that the commit cannot fail.
struct Pool {
    Vec<PyObject*> floats;
    ~Pool() {
        for (PyObject* f : floats) Py_DECREF(f);
    }
    bool fill(size_t n) {
        floats.reserve(floats.size() + n);
        for (size_t i = 0; i < n; ++i) {
            PyObject* f = PyFloat_FromDouble(0.0);
            if (!f) return false;
            floats.push_back(f);
        }
        return true;
    }
    PyObject* take(double d) {
        PyObject* f = floats.empty() ? PyFloat_FromDouble(d) : floats.back();  // counted: not empty
        if (!floats.empty()) floats.pop_back();
        if (f) reinterpret_cast<PyFloatObject*>(f)->ob_fval = d;
        return f;
    }
};

// One row of who: DH[j] + g*w summed from each weight w, which becomes w - lr*(g*h[j]).
// Written over T, a double or a vector of doubles (one lane per j, each its own element).
template <class T>
[[gnu::always_inline]] inline T who_weight(T x, T g, T h, T& dh, T lr) {
    dh = dh + g * x;
    return x - lr * (g * h);
}
// Out of line: g, lr and the buffers stay in registers.
template <class Row>
[[gnu::noinline]] void who_row(Row row, const double g, const double* __restrict h, double* __restrict dh,
                               const double lr, Py_ssize_t n) {
    row.update(n, [=](Py_ssize_t j, double x) { return who_weight(x, g, h[j], dh[j], lr); });
}

// Rows of float objects in exact lists of plain numbers, updated in place: a float only the
// list holds is rewritten, any other element replaced by a float from the pool (the old one,
// a float or an int, is released at once: that runs no code).
struct Objects {
    struct Row {
        PyObject** it;
        Pool* pool;
        double get(Py_ssize_t j) const { return value(it[j]); }
        // Positions [0, n) become f(j, w) of their value w: floats only the list holds are
        // rewritten out of line in a loop that makes no calls (f copied, its values in
        // registers), anything else is replaced out of line.
        template <class F>
        void update(Py_ssize_t n, F&& f) const {
            for (Py_ssize_t j = 0; j < n; ++j)
                if ((j = rewrite(it, j, n, f)) < n) replace(j, f(j, value(it[j])));
        }
        // Rewrites from j on, two floats per turn, while the list alone holds them; returns where it stopped.
        template <class F>
        [[gnu::noinline]] static Py_ssize_t rewrite(PyObject** it, Py_ssize_t j, Py_ssize_t n, F f) {
            for (; j + 2 <= n && reusable(it[j]) && reusable(it[j + 1]); j += 2) {
                auto f0 = reinterpret_cast<PyFloatObject*>(it[j]), f1 = reinterpret_cast<PyFloatObject*>(it[j + 1]);
                f0->ob_fval = f(j, f0->ob_fval);
                f1->ob_fval = f(j + 1, f1->ob_fval);
            }
            for (; j < n && reusable(it[j]); ++j) {
                auto fo = reinterpret_cast<PyFloatObject*>(it[j]);
                fo->ob_fval = f(j, fo->ob_fval);
            }
            return j;
        }
        [[gnu::noinline]] void replace(Py_ssize_t j, double d) const {
            PyObject *o = it[j], *n = pool->take(d);
            if (!n) return PyErr_Clear();  // not reached: the pool was counted
            it[j] = n;
            Py_DECREF(o);
        }
    };
    const Lists& l;
    Pool& pool;
    size_t who_fresh = 0;
    Row row(PyObject* list) const { return Row{PySequence_Fast_ITEMS(list), &pool}; }
    Row lw(Py_ssize_t i) const { return row(l.lw[i]); }
    Row lhw(Py_ssize_t i) const { return row(l.lhw[i]); }
    Row who(Py_ssize_t v) const { return row(l.who[v]); }
    Row bias() const { return row(l.bias); }
    Row bo() const { return row(l.bo); }
    Row ht() const { return row(l.ht); }
    Row erow() const { return row(l.erow); }
    // z[v] = Σ_j who[v][j]*h[j], checking as it reads that the row holds plain numbers (false
    // otherwise) and counting the floats its update cannot rewrite. Exact floats are summed two
    // per turn in a loop that makes no calls (the sum stays in a register, the reads overlap it).
    bool who_dots(const double* h, Py_ssize_t n, Py_ssize_t V, double* z) {
        for (Py_ssize_t v = 0; v < V; ++v)
            if (!who_dot(v, h, n, z[v])) return false;
        return true;
    }
    bool who_dot(Py_ssize_t v, const double* h, Py_ssize_t n, double& z) {
        PyObject** it = PySequence_Fast_ITEMS(l.who[v]);
        size_t fresh = 0;
        double s = 0.0;
        Py_ssize_t j = 0;
        for (; j + 2 <= n && PyFloat_CheckExact(it[j]) && PyFloat_CheckExact(it[j + 1]); j += 2) {
            fresh += size_t(!reusable(it[j])) + !reusable(it[j + 1]);
            s = s + PyFloat_AS_DOUBLE(it[j]) * h[j];
            s = s + PyFloat_AS_DOUBLE(it[j + 1]) * h[j + 1];
        }
        z = s;
        who_fresh += fresh;
        return j == n || who_dot_rest(it, j, h, n, z);
    }
    // 12 and 18.1 over every row of who, in order.
    void who_pass(const double* G, const double* h, double* dh, double lr, Py_ssize_t n, Py_ssize_t V) const {
        for (Py_ssize_t v = 0; v < V; ++v) who_row(who(v), G[v], h, dh, lr, n);
    }
    // The rest of a row from j on (an odd last element, or a row holding other than exact floats).
    [[gnu::noinline]] bool who_dot_rest(PyObject** it, Py_ssize_t j, const double* h, Py_ssize_t n, double& z) {
        double s = z;
        for (; j < n && plain_number(it[j]); ++j) {
            who_fresh += !reusable(it[j]);
            s = s + value(it[j]) * h[j];
        }
        z = s;
        return j == n;
    }
};

// The work of one step over doubles.
struct Work {
    Vec<double> e, h, P, Z, Y, G, DH, DP, DE;
    size_t next = 0;  // nexttoken
    double loss = 0;
    // Room for every buffer, so that the update allocates nothing.
    void reserve(Py_ssize_t N, Py_ssize_t V, Py_ssize_t E) {
        for (Vec<double>* b : {&e, &G, &DE, &h, &P, &DH, &DP, &Z, &Y})
            b->reserve(static_cast<size_t>(b == &e || b == &DE ? E : b == &G || b == &Z || b == &Y ? V : N));
    }
};

template <class S>
struct Kernel {
    S& s;
    const Py_ssize_t N, V, E;
    const double lr;
    Work& w;

    // ---- 3. Pre-activations from the embedding row e and the hidden state h ----
    // Four rows at a time (the last group repeats its last row), each summed in its own order.
    void preactivations() {
        w.P.resize(N);
        const double *e = w.e.data(), *h = w.h.data();
        auto sum4 = [](auto r0, auto r1, auto r2, auto r3, const double* x, Py_ssize_t n, double (&z)[4]) {
            double z0 = z[0], z1 = z[1], z2 = z[2], z3 = z[3];
            for (Py_ssize_t k = 0; k < n; ++k) {
                z0 = z0 + r0.get(k) * x[k], z1 = z1 + r1.get(k) * x[k];
                z2 = z2 + r2.get(k) * x[k], z3 = z3 + r3.get(k) * x[k];
            }
            z[0] = z0, z[1] = z1, z[2] = z2, z[3] = z3;
        };
        for (Py_ssize_t i = 0; i < N; i += 4) {
            Py_ssize_t r[4];
            for (int q = 0; q < 4; ++q) r[q] = std::min(i + q, N - 1);
            double z[4] = {0.0, 0.0, 0.0, 0.0};
            sum4(s.lw(r[0]), s.lw(r[1]), s.lw(r[2]), s.lw(r[3]), e, E, z);
            sum4(s.lhw(r[0]), s.lhw(r[1]), s.lhw(r[2]), s.lhw(r[3]), h, N, z);
            for (int q = 0; q < 4; ++q) w.P[r[q]] = z[q] + s.bias().get(r[q]);
        }
    }
    // ---- 4. The new hidden state (ReLu when positive, LeakyReLu otherwise) ----
    void hidden() {
        w.h.resize(N);
        for (Py_ssize_t i = 0; i < N; ++i) w.h[i] = numcore::leaky(w.P[i]);
    }
    // ---- 5. Output scores; false where a row of who holds other than plain numbers ----
    bool scores() {
        w.Z.resize(V);
        const double* h = w.h.data();
        auto bo = s.bo();
        if (!s.who_dots(h, N, V, w.Z.data())) return false;
        for (Py_ssize_t v = 0; v < V; ++v) w.Z[v] = w.Z[v] + bo.get(v);
        return true;
    }
    // ---- 6-8. Soft-max, next token, loss; false where numerix would raise ----
    bool outputs(int target, Py_ssize_t& tn) {
        w.Y.resize(V);
        if (!numcore::fix_softmax(w.Z.data(), V, w.Y.data())) return false;
        w.next = numcore::argmax(w.Y.data(), V);
        tn = target < 0 ? target + V : target;
        double r;
        if (tn < 0 || tn >= V || !(w.Y[tn] > 0) || !numcore::log_series(w.Y[tn], 20, r)) return false;
        w.loss = -r;
        return true;
    }
    // ---- 9-18. Gradients and the update (from e and h as the forward pass used them) ----
    void learn(Py_ssize_t tn) {
        const double* h = w.h.data();
        w.G.assign(w.Y.begin(), w.Y.end());  // 9. output error
        w.G[tn] = w.Y[tn] - 1.0;
        s.ht().update(N, [&](Py_ssize_t j, double) { return h[j]; });  // 4. the hidden state is stored
        // 12 and 18.1: DH summed from each who weight as the same pass updates it
        w.DH.assign(N, 0.0);
        s.who_pass(w.G.data(), h, w.DH.data(), lr, N, V);
        w.DP.resize(N);  // 13. slope of the activation
        for (Py_ssize_t i = 0; i < N; ++i) w.DP[i] = w.DH[i] * (w.P[i] > 0 ? 1.0 : 0.01);
        w.DE.assign(E, 0.0);  // 17. embedding error (lweights still as read)
        for (Py_ssize_t i = 0; i < N; ++i)
            for (Py_ssize_t k = 0; k < E; ++k) w.DE[k] = w.DE[k] + w.DP[i] * s.lw(i).get(k);
        s.bo().update(V, [&](Py_ssize_t v, double x) { return x - lr * w.G[v]; });  // 18.2-18.6
        for (Py_ssize_t i = 0; i < N; ++i)
            s.lw(i).update(E, [&, dp = w.DP[i]](Py_ssize_t k, double x) { return x - lr * (dp * w.e[k]); });
        for (Py_ssize_t i = 0; i < N; ++i)
            s.lhw(i).update(N, [&, dp = w.DP[i]](Py_ssize_t j, double x) { return x - lr * (dp * h[j]); });
        s.bias().update(N, [&](Py_ssize_t i, double x) { return x - lr * w.DP[i]; });
        s.erow().update(E, [&](Py_ssize_t k, double x) { return x - lr * w.DE[k]; });
    }
};

// nexttoken and loss stored, the values they replace kept; undo() puts back (or deletes)
// those whose store happened, in reverse. On a quiet instance (`generic`) the instance dict
// is read and written directly: no code runs and nothing is made that the garbage collector
// tracks (a collection could run finalisers); otherwise through the model's own attribute
// access. The values replaced are released when the owner ends (their release could run code).
struct Attrs {
    PyObject* obj;
    bool generic = true;
    Ref prev[2];
    bool stored[2] = {false, false};
    inline static Name* names[2] = {&n_nexttoken, &n_loss};

    int store(int k, PyObject* v) {
        return generic ? PyObject_GenericSetAttr(obj, names[k]->get(), v) : PyObject_SetAttr(obj, names[k]->get(), v);
    }
    bool set(PyObject* next, PyObject* loss) {
        Ref d = generic ? Ref::steal(PyObject_GenericGetDict(obj, nullptr)) : Ref();  // made by quiet_instance()
        if (generic && !d) return false;
        for (int k = 0; k < 2; ++k) {
            prev[k] = generic ? Ref::borrow(PyDict_GetItemWithError(d.get(), names[k]->get())) : getattr(obj, *names[k]);
            if (!generic) PyErr_Clear();
        }
        PyObject* values[] = {next, loss};
        for (int k = 0; k < 2; ++k)
            if (!(stored[k] = store(k, values[k]) == 0)) return undo(), false;
        return true;
    }
    void undo() {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        for (int k = 1; k >= 0; --k)
            if (stored[k] && (stored[k] = false, store(k, prev[k].get()) < 0)) PyErr_Clear();
        PyErr_Restore(t, v, tb);
    }
};

// dictionary[nexttoken] of a plain model, without running code; null if out of range.
inline PyObject* plain_word(PyObject* dictionary, size_t next) {
    return next < static_cast<size_t>(Py_SIZE(dictionary)) ? PySequence_Fast_ITEMS(dictionary)[next] : nullptr;
}

}  // namespace step
