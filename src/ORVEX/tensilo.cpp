// ORVEX.tensilo: activate_step, one step of the recurrent word model on a model instance.
//
// The step is all-or-nothing: it either gives the result of the step as written or fails
// and leaves the model as it was. It reads the sizes and containers (1) and the
// pre-activations (3), lets pending signals run (Ctrl-C stops it there, having changed
// nothing), then decides once which of two straight paths runs the rest:
//   * a plain model (tensilo/step.hpp says what that is) runs the step over doubles: every
//     value is computed before anything is stored, the floats the stores need are made, then
//     nexttoken and loss are stored, the word appended, and the weights updated in place
//     with no Python code running and nothing able to fail; the who update is the pass
//     that sums the hidden error;
//   * any other model runs the step's operations over the host's objects. Everything that
//     can run code and does not store is done first (reply, dictionary and the word are read
//     before anything is stored); every store is then made in place and recorded (container,
//     position, old value), and a failure replays the record backwards. Before that replay,
//     and before the step succeeds, the lists written are checked to still have their
//     lengths and places; a model whose lists changed under the step raises RuntimeError.
//     Objects the stores replace are released when the step ends.
// Limits, by design: a container that is not a list is written and restored through its own
// __setitem__; a reply that is not a list gets the word through its append method after the
// update, so an append that raises leaves the update in place; nexttoken and loss are put
// back (or deleted) through the model's own attribute access, and only when storing them
// succeeded.
//
// Arithmetic: sums are doubles starting at 0.0 that add, in ascending index order, the host's
// product of the two elements converted to a double (plain numbers multiply as doubles, with
// the same bits); each update is w - (lr * gradient), the product first.
#include <functional>
#include <memory>

#include "tensilo/step.hpp"

using namespace step;

namespace {

Name n_append("append");
Bound* BOUND = nullptr;  // numerix's functions as this module bound them at import (kept for good)

bool fail(PyObject* type, const char* text) {
    PyErr_SetString(type, text);
    return false;
}
bool index_error(PyObject* seq) {
    return fail(PyExc_IndexError, PyTuple_Check(seq) ? "tuple index out of range" : "list index out of range");
}
bool assign_error() { return fail(PyExc_IndexError, "list assignment index out of range"); }
bool changed() {
    return fail(PyExc_RuntimeError, "activate_step: the model's lists changed while the step ran; nothing was updated");
}

// A number of the step: a double, or a host object (o set) the host's arithmetic handles.
struct Num {
    double d = 0;
    Ref o;
    static Num of(PyObject* x) {
        Num n;
        if (!plain_double(x, n.d)) n.o = Ref::borrow(x);
        return n;
    }
    Ref obj() const { return o ? o : flt(d); }
};
// a*b, a-b: doubles when both are plain numbers, the host's operation otherwise.
template <class Op, class D>
bool arith(const Num& a, const Num& b, Num& out, Op op, D dop) {
    if (!a.o && !b.o) return out = Num{dop(a.d, b.d)}, true;
    Ref x = a.obj(), y = x ? b.obj() : Ref();
    Ref r = y ? op(x.get(), y.get()) : Ref();
    if (r) out = Num::of(r.get());
    return bool(r);
}
bool product(const Num& a, const Num& b, Num& out) { return arith(a, b, out, mul, std::multiplies<double>()); }
bool difference(const Num& a, const Num& b, Num& out) { return arith(a, b, out, sub, std::minus<double>()); }
// s + double(x)
bool add_to(const Num& x, double& s) {
    double d = x.d;
    if (x.o && !to_double(x.o.get(), d)) return false;
    s = s + d;
    return true;
}

struct Step {
    Fn* fn;
    Model m;
    int indexa, target;
    Vec<double> P, h;
    bool pending = false;  // h is the hidden state, not yet stored into ht: reads of ht see it
    Interrupts sig{Interrupts::kObjects};

    // seq[i] with the host's sequence rules (a negative i counts from the end).
    Ref item(PyObject* seq, Py_ssize_t i) {
        if (pending && seq == m.ht.get() && i >= 0 && i < static_cast<Py_ssize_t>(h.size())) return flt(h[i]);
        if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
            Py_ssize_t n = Py_SIZE(seq);
            if (i < 0) i += n;
            if (i < 0 || i >= n) return index_error(seq), Ref();
            return Ref::borrow(PySequence_Fast_ITEMS(seq)[i]);
        }
        Ref k = lng(i);
        return k ? Ref::steal(PyObject_GetItem(seq, k.get())) : Ref();
    }
    bool num(PyObject* seq, Py_ssize_t i, Num& out) {
        Ref x = item(seq, i);
        if (x) out = Num::of(x.get());
        return bool(x);
    }
    // s + Σ_j a[j]*b[j], j < n; the exact floats of exact lists are read in place (a loop
    // that makes no calls, the sum in a register), anything else element by element.
    bool dot(PyObject* a, PyObject* b, Py_ssize_t n, double& s) {
        Py_ssize_t j = 0;
        if (PyList_CheckExact(a) && PyList_CheckExact(b) && !(pending && (a == m.ht.get() || b == m.ht.get()))) {
            PyObject **x = PySequence_Fast_ITEMS(a), **y = PySequence_Fast_ITEMS(b);
            const Py_ssize_t end = std::min({n, PyList_GET_SIZE(a), PyList_GET_SIZE(b)});
            double acc = s;
            for (; j < end && PyFloat_CheckExact(x[j]) && PyFloat_CheckExact(y[j]); ++j)
                acc = acc + PyFloat_AS_DOUBLE(x[j]) * PyFloat_AS_DOUBLE(y[j]);
            s = acc;
        }
        for (; j < n; ++j) {
            Num p, u, v;
            if (!num(a, j, u) || !num(b, j, v) || !product(u, v, p) || !add_to(p, s)) return false;
        }
        return true;
    }

    // ---- 3. P[i] = Σ_k lweights[i][k]*embedings[indexa][k] + Σ_j lhweights[i][j]*ht[j] + bias[i] ----
    // (buffers grow as the lists are read: a size is trusted only once the lists bear it out)
    bool preactivations() {
        for (Py_ssize_t i = 0; i < m.N; ++i) {
            double s = 0.0;
            Num b;
            Ref row = m.E > 0 ? item(m.lw.get(), i) : Ref(), erow = row ? item(m.emb.get(), indexa) : Ref();
            if (m.E > 0 && !(erow && dot(row.get(), erow.get(), m.E, s))) return false;
            if (!(row = item(m.lhw.get(), i)) || !dot(row.get(), m.ht.get(), m.N, s)) return false;
            if (!num(m.bias.get(), i, b) || !add_to(b, s)) return false;
            P.push_back(s);
        }
        return true;
    }

    bool plain_path(Lists& l, Ref& reply, bool& taken);

    bool run() {
        if (!m.read() || !preactivations() || PyErr_CheckSignals() < 0) return false;
        Lists l;
        Ref reply, dictionary;
        bool taken = false;
        if (BOUND && BOUND->native(fn->globals) && quiet_instance(m.obj) && plain_reply(m.obj, l, reply, dictionary) &&
            plain_lists(m, indexa, true, l)) {
            bool ok = plain_path(l, reply, taken);
            if (taken) return ok;
        }
        return general_path();
    }

    // ---- The general path: 4-19 over the host's objects, every store recorded ----
    Vec<double> Z, DH, DP, DE;
    Ref ylist, next, loss, reply, word, append;
    Py_ssize_t tn = 0;
    Vec<Num> G, e;       // the output error; the embedding row as the gradients read it
    Vec<Vec<Num>> gwo;   // G[v]*h[j] for the rows whose G[v] is a host object
    Vec<Num> gwl;        // DP[i]*e[k] where e[k] is a host object
    struct Store { Ref seq, key, old; Py_ssize_t j; };
    struct Written { Ref seq; Py_ssize_t len; PyObject* outer; Py_ssize_t r; };
    Vec<Store> stores;   // every store, in order
    Vec<Written> lists;  // every container written, with its length and place
    Attrs attrs{m.obj, false};  // 7, 8. nexttoken and loss, through the model's attribute access

    bool forward() {
        PyObject* ht = m.ht.get();
        PyTypeObject* t = Py_TYPE(ht);
        if (m.N > 0 && !PyList_CheckExact(ht) && !(t->tp_as_mapping && t->tp_as_mapping->mp_ass_subscript) &&
            !(t->tp_as_sequence && t->tp_as_sequence->sq_ass_item)) {
            PyErr_Format(PyExc_TypeError, "'%.200s' object does not support item assignment", t->tp_name);
            return false;
        }
        h.resize(m.N);  // 4. the new hidden state, kept aside until the update (N as P bears it out)
        for (Py_ssize_t i = 0; i < m.N; ++i)
            if (!hybrid(fn->globals, BOUND, P[i], h[i])) return false;
        if (PyList_CheckExact(ht) && PyList_GET_SIZE(ht) < m.N) return assign_error();
        pending = true;
        for (Py_ssize_t v = 0; v < m.V; ++v) {
            double s = 0.0;
            Ref row = m.N > 0 ? item(m.who.get(), v) : Ref();
            if (!sig.tick() || (m.N > 0 && !(row && dot(row.get(), ht, m.N, s)))) return false;
            Num b;
            if (!num(m.bo.get(), v, b) || !add_to(b, s)) return false;
            Z.push_back(s);  // 5. scores from the new hidden state
        }
        Ref z = Ref::steal(PyList_New(m.V));  // 6. Y = FixSoftmax(Z)
        for (Py_ssize_t v = 0; z && v < m.V; ++v) {
            PyObject* f = PyFloat_FromDouble(Z[v]);
            if (!f) return false;
            PyList_SET_ITEM(z.get(), v, f);
        }
        if (!z || !(ylist = call_global(fn, n_FixSoftmax, {z.get()}))) return false;
        if (!(next = call_global(fn, n_Argmax, {ylist.get()}))) return false;  // 7. the next token
        tn = target < 0 ? target + m.V : target;  // 8. loss = -log(Y[target])
        if (tn < 0) return index_error(Py_None);
        Ref y = item(ylist.get(), tn), l = y ? call_global(fn, n_log, {y.get()}) : Ref();
        return l && (loss = neg(l.get()));
    }

    // 9. G = Y - onehot(target); 10. G[v]*h[j] made now where G[v] is a host object.
    bool output_error() {
        G.resize(m.V);
        Num one{1.0};
        for (Py_ssize_t v = 0; v < m.V; ++v) {
            if (!num(ylist.get(), v, G[v]) || (v == tn && !difference(G[v], one, G[v]))) return false;
            if (!G[v].o) continue;
            gwo.resize(m.V);
            gwo[v].resize(m.N);
            for (Py_ssize_t j = 0; j < m.N; ++j)
                if (!product(G[v], Num{h[j]}, gwo[v][j])) return false;
        }
        return true;
    }
    // acc[j] + c*outer[r][j] for every j (12 and 17 sum row by row); nothing when acc is empty.
    bool add_row(PyObject* outer, Py_ssize_t r, const Num& c, Vec<double>& acc) {
        Ref row = acc.empty() ? Ref() : item(outer, r);
        if (!acc.empty() && !row) return false;
        for (size_t j = 0; j < acc.size(); ++j) {
            Num x, p;
            if (!num(row.get(), j, x) || !product(c, x, p) || !add_to(p, acc[j])) return false;
        }
        return true;
    }
    // 14. The embedding row as the gradients read it; DP[i]*e[k] made now where e[k] is a host object.
    bool embedding_row() {
        e.resize(m.N > 0 ? m.E : 0);
        Ref erow = e.empty() ? Ref() : item(m.emb.get(), indexa);
        if (!e.empty() && !erow) return false;
        for (size_t k = 0; k < e.size(); ++k) {
            if (!num(erow.get(), k, e[k])) return false;
            if (!e[k].o) continue;
            gwl.resize(static_cast<size_t>(m.N) * m.E);
            for (Py_ssize_t i = 0; i < m.N; ++i)
                if (!product(Num{DP[i]}, e[k], gwl[i * m.E + k])) return false;
        }
        return true;
    }
    bool gradients() {
        if (!output_error()) return false;
        DH.assign(m.N, 0.0);  // 12. DH[i] = Σ_v G[v]*who[v][i] (who as read)
        for (Py_ssize_t v = 0; v < m.V && m.N > 0; ++v)
            if (!add_row(m.who.get(), v, G[v], DH) || !sig.tick()) return false;
        DP.resize(m.N);  // 13. DP = DH times the activation's slope
        for (Py_ssize_t i = 0; i < m.N; ++i) DP[i] = DH[i] * (P[i] > 0 ? 1.0 : 0.01);
        if (!embedding_row()) return false;
        DE.assign(m.N > 0 ? m.E : 0, 0.0);  // 17. DE[k] = Σ_i DP[i]*lweights[i][k] (E as P bears it out)
        for (Py_ssize_t i = 0; i < m.N; ++i)
            if (!add_row(m.lw.get(), i, Num{DP[i]}, DE)) return false;
        return true;
    }

    // 19, read before anything is stored: reply, dictionary, the word, the append method.
    bool reply_word() {
        Ref dict;
        if (!(reply = getattr(m.obj, n_reply)) || !(dict = getattr(m.obj, n_dictionary))) return false;
        if (!(word = Ref::steal(PyObject_GetItem(dict.get(), next.get())))) return false;
        return PyList_CheckExact(reply.get()) || (append = getattr(reply.get(), n_append));
    }

    // seq[j] = value, recorded; a list's old element is held until the step ends.
    bool store(PyObject* seq, Py_ssize_t j, const Num& value, Ref old) {
        Ref v = value.obj(), key = v ? lng(j) : Ref();
        if (!key) return false;
        stores.push_back(Store{Ref::borrow(seq), key, std::move(old), j});
        if (PyList_CheckExact(seq)) {
            if (j >= PyList_GET_SIZE(seq)) return stores.pop_back(), assign_error();
            stores.back().old = Ref::steal(PyList_GET_ITEM(seq, j));
            PyList_SET_ITEM(seq, j, v.release());
            return true;
        }
        if (PyObject_SetItem(seq, key.get(), v.get()) == 0) return true;
        stores.pop_back();
        return false;
    }
    // 18. Positions [0, n) of outer[r] (or of `seq`) become w - (lr * grad(j)).
    template <class Grad>
    bool update(PyObject* outer, Py_ssize_t r, PyObject* seq, Py_ssize_t n, Grad grad) {
        Ref row = outer ? item(outer, r) : Ref::borrow(seq);
        if (!row || n <= 0) return bool(row);
        lists.push_back(Written{row, Py_SIZE(row.get()), outer, r});
        Num rate{m.lr};
        for (Py_ssize_t j = 0; j < n; ++j) {
            Ref w = item(row.get(), j);
            Num t, x;
            if (!w || !product(rate, grad(j), t) || !difference(Num::of(w.get()), t, x) ||
                !store(row.get(), j, x, w))
                return false;
        }
        return sig.tick();
    }
    bool updates() {
        pending = false;  // 4. the hidden state
        if (m.N > 0) lists.push_back(Written{m.ht, Py_SIZE(m.ht.get()), nullptr, 0});
        for (Py_ssize_t i = 0; i < m.N; ++i) {
            Ref old = item(m.ht.get(), i);
            if (!old || !store(m.ht.get(), i, Num{h[i]}, old)) return false;
        }
        for (Py_ssize_t v = 0; v < m.V; ++v)
            if (!update(m.who.get(), v, nullptr, m.N, [&](Py_ssize_t j) {
                    return G[v].o ? gwo[v][j] : Num{G[v].d * h[j]};
                }))
                return false;
        if (!update(nullptr, 0, m.bo.get(), m.V, [&](Py_ssize_t v) { return G[v]; })) return false;
        for (Py_ssize_t i = 0; i < m.N; ++i)
            if (!update(m.lw.get(), i, nullptr, m.E, [&](Py_ssize_t k) {
                    return e[k].o ? gwl[i * m.E + k] : Num{DP[i] * e[k].d};
                }))
                return false;
        for (Py_ssize_t i = 0; i < m.N; ++i)
            if (!update(m.lhw.get(), i, nullptr, m.N, [&](Py_ssize_t j) { return Num{DP[i] * h[j]}; }))
                return false;
        if (!update(nullptr, 0, m.bias.get(), m.N, [&](Py_ssize_t i) { return Num{DP[i]}; })) return false;
        return update(m.emb.get(), indexa, nullptr, m.E,
                      [&](Py_ssize_t k) { return Num{k < static_cast<Py_ssize_t>(DE.size()) ? DE[k] : 0.0}; });
    }

    // Every list written still has its length, every row its place in its matrix.
    bool unchanged() const {
        for (const Written& w : lists) {
            PyObject* seq = w.seq.get();
            if (PyList_CheckExact(seq) && Py_SIZE(seq) != w.len) return false;
            PyObject* o = w.outer;
            if (o && (PyList_CheckExact(o) || PyTuple_CheckExact(o))) {
                Py_ssize_t r = w.r < 0 ? w.r + Py_SIZE(o) : w.r;
                if (r < 0 || r >= Py_SIZE(o) || PySequence_Fast_ITEMS(o)[r] != seq) return false;
            }
        }
        return true;
    }
    // Replays the stores backwards, then puts back the attributes stored (the exception set
    // is kept; a list that changed raises RuntimeError instead). Values taken out are
    // released when the step ends.
    void undo() {
        const bool same = unchanged();
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        for (size_t i = stores.size(); i-- > 0;) {  // each store's slot then holds what it stored
            Store& s = stores[i];
            PyObject* seq = s.seq.get();
            if (!PyList_CheckExact(seq)) {
                if (PyObject_SetItem(seq, s.key.get(), s.old.get()) < 0) PyErr_Clear();
            } else if (s.j < PyList_GET_SIZE(seq)) {
                PyObject* now = PyList_GET_ITEM(seq, s.j);
                PyList_SET_ITEM(seq, s.j, s.old.release());
                s.old = Ref::steal(now);
            }
        }
        attrs.undo();
        PyErr_Restore(t, v, tb);
        if (!same) {
            PyErr_Clear();
            changed();
        }
    }

    bool general_path() {
        bool ok = false;
        try {
            ok = forward() && gradients() && reply_word() && attrs.set(next.get(), loss.get()) && updates();
            if (ok && !unchanged()) ok = changed();
            if (ok && !append && PyList_Append(reply.get(), word.get()) < 0) ok = false;
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        }
        if (!ok) return undo(), false;
        return !append || call(append.get(), {word.get()});  // after the update, not undone
    }
};

// ---- The plain path: 4-19 over doubles, every store after the last thing that can fail ----
// `taken` stays false where the step would raise (a zero total in the soft-max, a target or
// word out of range, a zero probability) or a row of who holds other than plain numbers:
// nothing has changed then, and the general path raises the host's error.
bool Step::plain_path(Lists& l, Ref& reply, bool& taken) {
    Pool pool;
    Objects s{l, pool};
    Work w;
    w.reserve(m.N, m.V, m.E);
    Kernel<Objects> k{s, m.N, m.V, m.E, m.lr, w};
    w.P = P;
    k.hidden();
    for (Py_ssize_t j = 0; j < m.E; ++j) w.e.push_back(s.erow().get(j));  // 14. the embedding row as read
    Py_ssize_t tn;
    if (!k.scores() || !k.outputs(target, tn)) return false;
    PyObject* word = plain_word(l.dictionary, w.next);
    if (!word) return false;
    taken = true;
    Ref next = Ref::steal(PyLong_FromSize_t(w.next)), loss = flt(w.loss);
    Attrs attrs{m.obj};
    if (!next || !loss || !pool.fill(l.fresh + s.who_fresh) || !attrs.set(next.get(), loss.get())) return false;
    if (PyList_Append(reply.get(), word) < 0) return attrs.undo(), false;
    k.learn(tn);
    return true;
}

PyObject* activate_step_impl(Fn* fn, Obj obj, int indexa, int target) {
    Step s{fn, Model{obj}, indexa, target};
    if (!s.run()) return nullptr;
    Py_RETURN_NONE;
}

const FnDef activate_step_def = declare<&activate_step_impl>(
    "activate_step", {P("obj"), P("indexa"), P("target")}, nullptr,
    "\n    obj = your RNNLM_HYBRID instance\n    This function directly reads/writes obj.embedings, obj.lweights, etc.\n");

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "tensilo", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_tensilo() {
    return rt::guarded_init("tensilo", []() -> PyObject* {
        Ref m = Ref::steal(make_module(&module_def, {&activate_step_def}));
        if (!m) return nullptr;
        if (!import_from(m.get(), "ORVEX.numerix", {"Argmax", "FixSoftmax", "LeakyReLu", "ReLu", "log"}))
            return nullptr;
        auto bound = std::make_unique<Bound>();
        if (bound->capture(PyModule_GetDict(m.get()))) BOUND = bound.release();
        if (PyErr_Occurred()) return nullptr;
        return m.release();
    });
}
