// ORVEX._kernel: private native entries of the word-model layer, over the step of
// ORVEX.tensilo (tensilo/step.hpp).
//
// run_pairs(model, pairs) does what `for a, t in pairs: tensilo.activate_step(model, a, t)`
// does. While the model is plain and the pairs are pairs of ints, it keeps the weights and the
// hidden state as doubles across pairs and writes them back into the model's float objects
// (with nexttoken, loss and the words for reply) before any Python code can run: before a
// pair it leaves to activate_step, before it lets signal handlers run (every few milliseconds
// of work; Ctrl-C then stops it between pairs), and at the end. Anything else goes pair by
// pair through activate_step itself, so every failure is activate_step's own: the pairs
// before it applied, the failing pair changing nothing.
//
// forward(model, indexa, h) gives the step's forward pass from the hidden state h: the new
// hidden state and the scores before the soft-max, the model unchanged.
#include <climits>
#include <memory>

// Independent sums in SIMD lanes (each lane its own element, in its own order): SSE2 on every
// x86-64, AVX2 where the processor has it (numcore::has_avx2(), chosen at run time;
// -DORVEX_KERNEL_AVX2=0 builds without it).
#if defined(__x86_64__) && defined(__GNUC__)
#define ORVEX_X86 1
#include <immintrin.h>
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"  // step::who_weight over AVX2 lanes is always inlined
#endif
#else
#define ORVEX_X86 0
#endif

#include "tensilo/step.hpp"

using namespace step;

// Vectors of four and two doubles (loaded and stored by copy: any double's address will do).
typedef double Lanes4 __attribute__((vector_size(32)));
typedef double Lanes2 __attribute__((vector_size(16)));

namespace {

Name n_activate_step("activate_step");

struct Tensilo {
    Bound bound;
    bool bound_ok = false;
    Ref globals, activate_step, step_pair;  // step_pair(step, model, pair): `a, t = pair; step(model, a, t)`
};
Tensilo* TENSILO = nullptr;  // kept for good

// The weights and the hidden state as doubles (rows of the embedding loaded as pairs use them).
struct Doubles {
    struct Row {
        double* p;
        double get(Py_ssize_t j) const { return p[j]; }
        template <class F>
        void update(Py_ssize_t n, F&& f) const {
            for (Py_ssize_t j = 0; j < n; ++j) p[j] = f(j, p[j]);
        }
    };
    Py_ssize_t N, V, E;
    Vec<double> lw_, lhw_, who_, bias_, bo_, ht_;
    Vec<Vec<double>> emb_;     // by row index; empty until loaded
    Vec<Py_ssize_t> touched;   // the rows loaded
    Py_ssize_t a = 0;          // the row of the current pair
    Row lw(Py_ssize_t i) { return Row{lw_.data() + i * E}; }
    Row lhw(Py_ssize_t i) { return Row{lhw_.data() + i * N}; }
    Row who(Py_ssize_t v) { return Row{who_.data() + v * N}; }
    Row bias() { return Row{bias_.data()}; }
    Row bo() { return Row{bo_.data()}; }
    Row ht() { return Row{ht_.data()}; }
    Row erow() { return Row{emb_[a].data()}; }
    // z[v] = Σ_j who[v][j]*h[j]: each row summed in its own order, eight rows in the lanes of
    // a group (the last group repeats its last row).
    bool who_dots(const double* h, Py_ssize_t n, Py_ssize_t V, double* z) const {
        const double* w = who_.data();
#if ORVEX_X86
        if (numcore::has_avx2()) return dots_avx2(w, h, n, V, z), true;
        return dots_sse2(w, h, n, V, z), true;
#else
        for (Py_ssize_t v = 0; v < V; v += 8) {
            double s[8];
            for (int q = 0; q < 8; ++q) {
                const double* r = w + std::min(v + q, V - 1) * n;
                s[q] = 0.0;
                for (Py_ssize_t j = 0; j < n; ++j) s[q] = s[q] + r[j] * h[j];
            }
            std::copy_n(s, std::min<Py_ssize_t>(8, V - v), z + v);
        }
        return true;
#endif
    }
    // 12 and 18.1 over every row of who, in order: AVX2's four lanes where the processor has
    // them, two otherwise.
    void who_pass(const double* G, const double* h, double* dh, double lr, Py_ssize_t n, Py_ssize_t V) {
#if ORVEX_X86
        if (numcore::has_avx2()) return who_pass_avx2(who_.data(), G, h, dh, lr, n, V);
#endif
        who_rows<Lanes2>(who_.data(), G, h, dh, lr, n, V);
    }
    // Four rows per turn (DH[j] gains their terms in row order while it stays in a register),
    // L elements of each (T a vector of L doubles).
    template <class T>
    [[gnu::always_inline]] static void who_rows(double* who, const double* G, const double* h, double* dh, double lr,
                                                Py_ssize_t n, Py_ssize_t V) {
        Py_ssize_t v = 0;
        for (; v + 4 <= V; v += 4) who_block<T, 4>(who, G, h, dh, lr, n, v);
        for (; v < V; ++v) who_block<T, 1>(who, G, h, dh, lr, n, v);
    }
    template <class T, int R>
    [[gnu::always_inline]] static void who_block(double* who, const double* G, const double* h, double* dh, double lr,
                                                 Py_ssize_t n, Py_ssize_t v) {
        constexpr Py_ssize_t L = sizeof(T) / sizeof(double);
        auto splat = [](double x) {
            T t;
            for (Py_ssize_t k = 0; k < L; ++k) t[k] = x;  // (not 0.0 + x: that loses the sign of a zero)
            return t;
        };
        double* r[R];
        T g[R];
        for (int q = 0; q < R; ++q) r[q] = who + (v + q) * n, g[q] = splat(G[v + q]);
        const T lrv = splat(lr);
        Py_ssize_t j = 0;
        auto load = [](const double* p) {
            T t;
            std::memcpy(&t, p, sizeof t);
            return t;
        };
        for (; j + L <= n; j += L) {
            T d = load(dh + j);
            const T hj = load(h + j);
            for (int q = 0; q < R; ++q) {
                const T x = who_weight(load(r[q] + j), g[q], hj, d, lrv);
                std::memcpy(r[q] + j, &x, sizeof x);
            }
            std::memcpy(dh + j, &d, sizeof d);
        }
        for (; j < n; ++j)
            for (int q = 0; q < R; ++q) r[q][j] = who_weight(r[q][j], G[v + q], h[j], dh[j], lr);
    }

#if ORVEX_X86
    // Lane q of a group holds row v+q; a 4x4 block of four rows is turned into four columns.
    [[gnu::target("avx2")]] static void dots_avx2(const double* w, const double* h, Py_ssize_t n, Py_ssize_t V,
                                                  double* z) {
        for (Py_ssize_t v = 0; v < V; v += 8) {
            const double* r[8];
            for (int q = 0; q < 8; ++q) r[q] = w + std::min(v + q, V - 1) * n;
            __m256d acc[2] = {_mm256_setzero_pd(), _mm256_setzero_pd()};
            Py_ssize_t j = 0;
            for (; j + 4 <= n; j += 4) {
                __m256d c[2][4];
                for (int g = 0; g < 2; ++g) {
                    const double* const* q = r + 4 * g;
                    __m256d a0 = _mm256_loadu_pd(q[0] + j), a1 = _mm256_loadu_pd(q[1] + j);
                    __m256d a2 = _mm256_loadu_pd(q[2] + j), a3 = _mm256_loadu_pd(q[3] + j);
                    __m256d t0 = _mm256_unpacklo_pd(a0, a1), t1 = _mm256_unpackhi_pd(a0, a1);
                    __m256d t2 = _mm256_unpacklo_pd(a2, a3), t3 = _mm256_unpackhi_pd(a2, a3);
                    c[g][0] = _mm256_permute2f128_pd(t0, t2, 0x20), c[g][1] = _mm256_permute2f128_pd(t1, t3, 0x20);
                    c[g][2] = _mm256_permute2f128_pd(t0, t2, 0x31), c[g][3] = _mm256_permute2f128_pd(t1, t3, 0x31);
                }
                for (int k = 0; k < 4; ++k) {
                    const __m256d hk = _mm256_broadcast_sd(h + j + k);
                    for (int g = 0; g < 2; ++g) acc[g] = _mm256_add_pd(acc[g], _mm256_mul_pd(c[g][k], hk));
                }
            }
            for (; j < n; ++j) {
                const __m256d hk = _mm256_broadcast_sd(h + j);
                for (int g = 0; g < 2; ++g) {
                    const double* const* q = r + 4 * g;
                    const __m256d c = _mm256_set_pd(q[3][j], q[2][j], q[1][j], q[0][j]);
                    acc[g] = _mm256_add_pd(acc[g], _mm256_mul_pd(c, hk));
                }
            }
            alignas(32) double s[8];
            _mm256_store_pd(s, acc[0]), _mm256_store_pd(s + 4, acc[1]);
            std::copy_n(s, std::min<Py_ssize_t>(8, V - v), z + v);
        }
    }
    // The same over two-double lanes: a 2x2 block of two rows turned into two columns.
    static void dots_sse2(const double* w, const double* h, Py_ssize_t n, Py_ssize_t V, double* z) {
        for (Py_ssize_t v = 0; v < V; v += 8) {
            const double* r[8];
            for (int q = 0; q < 8; ++q) r[q] = w + std::min(v + q, V - 1) * n;
            __m128d acc[4] = {_mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd()};
            Py_ssize_t j = 0;
            for (; j + 2 <= n; j += 2) {
                const __m128d h0 = _mm_set1_pd(h[j]), h1 = _mm_set1_pd(h[j + 1]);
                for (int g = 0; g < 4; ++g) {
                    const __m128d a = _mm_loadu_pd(r[2 * g] + j), b = _mm_loadu_pd(r[2 * g + 1] + j);
                    acc[g] = _mm_add_pd(acc[g], _mm_mul_pd(_mm_unpacklo_pd(a, b), h0));
                    acc[g] = _mm_add_pd(acc[g], _mm_mul_pd(_mm_unpackhi_pd(a, b), h1));
                }
            }
            for (; j < n; ++j) {
                const __m128d hj = _mm_set1_pd(h[j]);
                for (int g = 0; g < 4; ++g)
                    acc[g] = _mm_add_pd(acc[g], _mm_mul_pd(_mm_set_pd(r[2 * g + 1][j], r[2 * g][j]), hj));
            }
            alignas(16) double s[8];
            for (int g = 0; g < 4; ++g) _mm_store_pd(s + 2 * g, acc[g]);
            std::copy_n(s, std::min<Py_ssize_t>(8, V - v), z + v);
        }
    }
    [[gnu::target("avx2")]] static void who_pass_avx2(double* who, const double* G, const double* h, double* dh,
                                                      double lr, Py_ssize_t n, Py_ssize_t V) {
        who_rows<Lanes4>(who, G, h, dh, lr, n, V);
    }
#endif
};

void read_row(PyObject* list, Py_ssize_t n, Vec<double>& out) {
    PyObject** it = PySequence_Fast_ITEMS(list);
    for (Py_ssize_t j = 0; j < n; ++j) out.push_back(value(it[j]));
}

struct Trainer {
    PyObject* obj;
    Model m{obj};
    Lists l;
    Ref reply, dictionary;
    std::unique_ptr<Doubles> d;   // null: not loaded (the model is read anew)
    Work w;
    Vec<Ref> words;               // the words of the pairs stepped since the last write-back
    size_t next = 0;
    double loss = 0;

    // The model is plain, every attribute the step reads is read without running code, the
    // sizes are exact numbers and tensilo still binds its own functions: the doubles are read.
    bool load(int indexa) {
        d.reset();
        PyObject* g = TENSILO->globals.get();
        if (!TENSILO->bound_ok || !TENSILO->bound.native(g) || !quiet_instance(obj) ||
            PyDict_GetItemWithError(g, n_activate_step.get()) != TENSILO->activate_step.get() ||
            !plain_attrs(Py_TYPE(obj), kAttrRead, {&n_neurons, &n_vocabL, &n_vecL, &n_lr, &n_embedings, &n_lweights,
                                                   &n_lhweights, &n_bias, &n_who, &n_bo, &n_ht}))
            return PyErr_Clear(), false;
        for (Name* n : {&n_neurons, &n_vocabL, &n_vecL, &n_lr}) {
            Ref v = getattr(obj, *n);
            if (!v || !(PyLong_CheckExact(v.get()) || (n == &n_lr && PyFloat_CheckExact(v.get()))))
                return PyErr_Clear(), false;
        }
        l = Lists();
        if (!m.read() || !plain_reply(obj, l, reply, dictionary) || !plain_lists(m, indexa, true, l))
            return PyErr_Clear(), false;
        auto s = std::make_unique<Doubles>();
        const Py_ssize_t N = m.N, V = m.V, E = m.E;
        s->N = N, s->V = V, s->E = E;
        s->who_.reserve(static_cast<size_t>(V) * N);
        for (Py_ssize_t v = 0; v < V; ++v) {
            PyObject** it = PySequence_Fast_ITEMS(l.who[v]);
            for (Py_ssize_t j = 0; j < N; ++j)
                if (!plain_number(it[j])) return false;
            read_row(l.who[v], N, s->who_);
        }
        for (Py_ssize_t i = 0; i < N; ++i) read_row(l.lw[i], E, s->lw_), read_row(l.lhw[i], N, s->lhw_);
        read_row(l.bias, N, s->bias_), read_row(l.bo, V, s->bo_), read_row(l.ht, N, s->ht_);
        s->emb_.resize(PyList_GET_SIZE(m.emb.get()));
        w.reserve(N, V, E);
        d = std::move(s);
        return row(indexa);
    }
    // The embedding row of indexa, loaded if it is a plain row no other written list is.
    bool row(int indexa) {
        Py_ssize_t a = indexa < 0 ? indexa + static_cast<Py_ssize_t>(d->emb_.size()) : indexa;
        if (a < 0 || a >= static_cast<Py_ssize_t>(d->emb_.size()) || PyList_GET_SIZE(m.emb.get()) <= a) return false;
        d->a = a;
        if (!d->emb_[a].empty()) return true;
        PyObject* r = PyList_GET_ITEM(m.emb.get(), a);
        auto at = std::lower_bound(l.written.begin(), l.written.end(), r);
        if (r != l.erow && ((at != l.written.end() && *at == r) || !plain_row(r, m.E, true, nullptr))) return false;
        if (r != l.erow) l.written.insert(at, r);
        d->touched.push_back(a);
        read_row(r, m.E, d->emb_[a]);
        return true;
    }

    // One pair over doubles; false (nothing changed) where activate_step must take it.
    bool pair(int a, int t) {
        if (!d && !load(a)) return false;
        if (!row(a)) return false;
        Kernel<Doubles> k{*d, m.N, m.V, m.E, m.lr, w};
        w.e.assign(d->emb_[d->a].begin(), d->emb_[d->a].end());
        w.h.assign(d->ht_.begin(), d->ht_.end());
        k.preactivations();
        k.hidden();
        Py_ssize_t tn;
        PyObject* word;
        if (!k.scores() || !k.outputs(t, tn) || !(word = plain_word(l.dictionary, w.next))) return false;
        words.push_back(Ref::borrow(word));
        next = w.next, loss = w.loss;
        k.learn(tn);
        return true;
    }

    // The doubles back into the model: floats made, nexttoken and loss stored, the words
    // appended, then every value written (nothing fails from there on).
    bool write_back() {
        if (!d || words.empty()) return true;
        const Py_ssize_t N = m.N, V = m.V, E = m.E;
        struct Out { PyObject* list; Py_ssize_t n; const double* src; };
        Vec<Out> outs{{l.ht, N, d->ht_.data()}, {l.bias, N, d->bias_.data()}, {l.bo, V, d->bo_.data()}};
        outs.reserve(static_cast<size_t>(V + 2 * N) + 3 + d->touched.size());
        for (Py_ssize_t v = 0; v < V; ++v) outs.push_back({l.who[v], N, d->who_.data() + v * N});
        for (Py_ssize_t i = 0; i < N; ++i) {
            outs.push_back({l.lw[i], E, d->lw_.data() + i * E});
            outs.push_back({l.lhw[i], N, d->lhw_.data() + i * N});
        }
        for (Py_ssize_t a : d->touched) outs.push_back({PyList_GET_ITEM(m.emb.get(), a), E, d->emb_[a].data()});
        size_t fresh = 0;
        for (const Out& o : outs)
            for (Py_ssize_t j = 0; j < o.n; ++j) fresh += !reusable(PyList_GET_ITEM(o.list, j));
        Pool pool;
        Ref nt = Ref::steal(PyLong_FromSize_t(next)), lo = flt(loss);
        Attrs attrs{obj};
        if (!nt || !lo || !pool.fill(fresh) || !attrs.set(nt.get(), lo.get())) return false;
        const Py_ssize_t n0 = PyList_GET_SIZE(reply.get());
        for (const Ref& word : words)
            if (PyList_Append(reply.get(), word.get()) < 0) {
                PyList_SetSlice(reply.get(), n0, PY_SSIZE_T_MAX, nullptr);
                return attrs.undo(), false;
            }
        words.clear();
        Objects objects{l, pool};
        for (const Out& o : outs) {
            auto row = objects.row(o.list);
            row.update(o.n, [&](Py_ssize_t j, double) { return o.src[j]; });
        }
        return true;
    }
};

// A pair of exact ints in the C int range.
bool int_pair(PyObject* p, int& a, int& t) {
    if (!(PyTuple_CheckExact(p) || PyList_CheckExact(p)) || Py_SIZE(p) != 2) return false;
    int* out[] = {&a, &t};
    for (int k = 0; k < 2; ++k) {
        PyObject* x = PySequence_Fast_ITEMS(p)[k];
        int overflow = 0;
        long v = PyLong_CheckExact(x) ? PyLong_AsLongAndOverflow(x, &overflow) : 0;
        if (!PyLong_CheckExact(x) || overflow || v < INT_MIN || v > INT_MAX) return false;
        *out[k] = static_cast<int>(v);
    }
    return true;
}

PyObject* run_pairs_impl(Fn*, Obj model, Obj pairs) {
    Trainer tr{model};
    auto delegate = [&](PyObject* pair) {
        PyObject* step = PyDict_GetItemWithError(TENSILO->globals.get(), n_activate_step.get());
        if (!step && !PyErr_Occurred()) PyErr_SetString(PyExc_AttributeError, "module 'ORVEX.tensilo' has no attribute 'activate_step'");
        tr.d.reset();
        return step && call(TENSILO->step_pair.get(), {step, model, pair});
    };
    if (!PyList_CheckExact(pairs) && !PyTuple_CheckExact(pairs)) {
        Ref it = Ref::steal(PyObject_GetIter(pairs));
        if (!it) return nullptr;
        while (Ref p = Ref::steal(PyIter_Next(it.get())))
            if (PyErr_CheckSignals() < 0 || !delegate(p.get())) return nullptr;
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    }
    size_t work = 0;
    for (Py_ssize_t i = 0; i < Py_SIZE(pairs.get()); ++i) {
        Ref p = Ref::borrow(PySequence_Fast_ITEMS(pairs.get())[i]);
        int a, t;
        if (int_pair(p.get(), a, t) && tr.pair(a, t)) {
            work += static_cast<size_t>(tr.m.V + tr.m.N) * tr.m.N + 1;
            if (work < (1u << 24)) continue;
            work = 0;  // every few milliseconds: the model written back, signals let run
            if (!tr.write_back()) return nullptr;
            tr.d.reset();
            if (PyErr_CheckSignals() < 0) return nullptr;
            continue;
        }
        if (!tr.write_back() || PyErr_CheckSignals() < 0 || !delegate(p.get())) return nullptr;
    }
    if (!tr.write_back()) return nullptr;
    Py_RETURN_NONE;
}
const FnDef run_pairs_def = declare<&run_pairs_impl>(
    "run_pairs", {P("model"), P("pairs")}, nullptr,
    "run_pairs(model, pairs)\n\nfor a, t in pairs: tensilo.activate_step(model, a, t)");

PyObject* not_plain() {
    PyErr_SetString(PyExc_TypeError, "forward: the model is not plain (exact lists of numbers, every shape right)");
    return nullptr;
}

PyObject* forward_impl(Fn*, Obj model, int indexa, Obj h) {
    Model m{model};
    Lists l;
    if (!m.read()) return nullptr;
    if (!plain_lists(m, indexa, false, l))
        return not_plain();
    if (!PyList_CheckExact(h) || PyList_GET_SIZE(h.get()) != m.N || !plain_row(h, m.N, true, nullptr))
        return PyErr_Format(PyExc_TypeError, "forward: h must be a list of %zd floats", m.N);
    Pool pool;
    Objects s{l, pool};
    Work w;
    Kernel<Objects> k{s, m.N, m.V, m.E, m.lr, w};
    read_row(l.erow, m.E, w.e);
    read_row(h, m.N, w.h);
    k.preactivations();
    const Bound* b = TENSILO->bound_ok ? &TENSILO->bound : nullptr;
    const bool native = b && b->native(TENSILO->globals.get());
    for (Py_ssize_t i = 0; i < m.N; ++i)  // rebound functions run Python code: the lists are checked again
        if (!hybrid(TENSILO->globals.get(), b, w.P[i], w.h[i])) return nullptr;
    if ((!native && !plain_lists(m, indexa, false, l)) || !k.scores())
        return not_plain();
    Ref hn = Ref::steal(PyList_New(m.N)), z = hn ? Ref::steal(PyList_New(m.V)) : Ref();
    if (!z) return nullptr;
    for (auto [list, src] : {std::pair{hn.get(), &w.h}, std::pair{z.get(), &w.Z}})
        for (size_t j = 0; j < src->size(); ++j) {
            PyObject* f = PyFloat_FromDouble((*src)[j]);
            if (!f) return nullptr;
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(j), f);
        }
    return PyTuple_Pack(2, hn.get(), z.get());
}
const FnDef forward_def = declare<&forward_impl>(
    "forward", {P("model"), P("indexa"), P("h")}, nullptr,
    "forward(model, indexa, h) -> (h_new, scores)\n\nThe step's forward pass from the hidden state h; the "
    "model is unchanged.");

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_kernel", nullptr, -1, nullptr};

const char* STEP_PAIR = "def step_pair(step, model, pair):\n    a, t = pair\n    step(model, a, t)\n";

}  // namespace

PyMODINIT_FUNC PyInit__kernel() {
    return rt::guarded_init("_kernel", []() -> PyObject* {
        Ref m = Ref::steal(make_module(&module_def, {&run_pairs_def, &forward_def}));
        Ref tensilo = m ? Ref::steal(PyImport_ImportModule("ORVEX.tensilo")) : Ref();
        if (!tensilo) return nullptr;
        auto t = std::make_unique<Tensilo>();
        t->globals = Ref::borrow(PyModule_GetDict(tensilo.get()));
        t->activate_step = getattr(tensilo.get(), n_activate_step);
        Ref code = Ref::steal(Py_CompileString(STEP_PAIR, "<ORVEX._kernel>", Py_file_input));
        Ref ns = code ? Ref::steal(PyDict_New()) : Ref();
        if (!t->activate_step || !ns || PyDict_SetItemString(ns.get(), "__builtins__", PyEval_GetBuiltins()) < 0)
            return nullptr;
        Ref done = Ref::steal(PyEval_EvalCode(code.get(), ns.get(), ns.get()));
        if (!done || !(t->step_pair = Ref::borrow(PyDict_GetItemString(ns.get(), "step_pair")))) return nullptr;
        t->bound_ok = t->bound.capture(t->globals.get());
        if (PyErr_Occurred()) return nullptr;
        TENSILO = t.release();
        return m.release();
    });
}
