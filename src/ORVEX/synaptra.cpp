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
#include "orvex/lcg.hpp"
#include "orvex/rt.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

using namespace rt;

namespace {

// Globals, looked up at each use.
Name n_sqrt("sqrt"), n_random("random"), n_hybrid("hybrid"), n_read("read"), n_write("write");
Name n_activate_step("activate_step"), n_ReLu("ReLu"), n_LeakyReLu("LeakyReLu");

// RNN_HYBRID attributes.
Name n_gen("gen"), n_wx("wx"), n_amount("amount"), n_b("b"), n_wh("wh"), n_h("h"), n_x("x"), n_lr("lr");
Name n_y("y"), n_err("err"), n_loss("loss"), n_lg("lg"), n_dhzl("dhzl"), n_dLdb("dLdb"), n_dLdw("dLdw");
Name n_dLdwh("dLdwh"), n_memory("memory"), n_layer("layer");

// RNNLM_HYBRID attributes.
Name n_genrandd("genrandd"), n_genrandn("genrandn"), n_warm("_RNNLM_HYBRID__warm");
Name n_words("_RNNLM_HYBRID__wordstohandle"), n_neurons("neurons"), n_embedings("embedings");
Name n_lweights("lweights"), n_lhweights("lhweights"), n_bias("bias"), n_who("who"), n_bo("bo");
Name n_vocabL("vocabL"), n_vecL("vecL"), n_dictionary("dictionary"), n_ht("ht"), n_reply("reply");
Name n_nexttoken("nexttoken"), n_activate("_RNNLM_HYBRID__activate"), n_getstuff("_RNNLM_HYBRID__getstuff");

Name n_call("__call__"), n_index("index"), n_insert("insert"), n_clear("clear");
Name n_split("split"), n_add_note("add_note"), n_notes("__notes__");

// Built-ins looked up once, when the module is imported.
PyObject* b_super = nullptr;
PyObject* b_print = nullptr;
PyObject* b_min = nullptr;
PyObject* b_input = nullptr;

// The classes as created (the class a method's super() names), and numerix's
// random.__call__ as it was when this module was imported.
PyObject* g_rnn_class = nullptr;
PyObject* g_lm_class = nullptr;
PyObject* g_random_call = nullptr;

// Constants made when the module is imported.
PyObject* g_one_point_zero = nullptr;
PyObject* g_zero_point_one = nullptr;
PyObject* g_list_index = nullptr;  // list.index, the method descriptor
PyObject* g_os = nullptr;          // the os module, imported with this one

#define TRY(var, expr) \
    Ref var = (expr);  \
    if (!var) return nullptr

#define CHECK(expr) \
    if (!(expr)) return nullptr

// ---------------------------------------------------------------------------
// Small helpers over the host's protocols
// ---------------------------------------------------------------------------

// seq[i] with the host's item access (exact lists in range read directly).
Ref item(PyObject* seq, Py_ssize_t i) {
    if (PyList_CheckExact(seq) && i >= 0 && i < PyList_GET_SIZE(seq)) return Ref::borrow(PyList_GET_ITEM(seq, i));
    Ref key = Ref::steal(PyLong_FromSsize_t(i));
    if (!key) return {};
    return Ref::steal(PyObject_GetItem(seq, key.get()));
}

Ref item(PyObject* seq, PyObject* key) { return Ref::steal(PyObject_GetItem(seq, key)); }

// seq[i] = value
bool set_item(PyObject* seq, Py_ssize_t i, PyObject* value) {
    if (PyList_CheckExact(seq) && i >= 0 && i < PyList_GET_SIZE(seq)) {
        Py_INCREF(value);
        return PyList_SetItem(seq, i, value) == 0;  // the old item may run Python code: nothing borrowed is held
    }
    Ref key = Ref::steal(PyLong_FromSsize_t(i));
    return key && PyObject_SetItem(seq, key.get(), value) == 0;
}

// self.<name>[i]
Ref attr_item(PyObject* self, Name& name, Py_ssize_t i) {
    Ref seq = getattr(self, name);
    return seq ? item(seq.get(), i) : Ref();
}

// self.<name>[i] = value
bool attr_set_item(PyObject* self, Name& name, Py_ssize_t i, PyObject* value) {
    Ref seq = getattr(self, name);
    return seq && set_item(seq.get(), i, value);
}

// self.<name>[i][j]
Ref attr_item2(PyObject* self, Name& name, Py_ssize_t i, Py_ssize_t j) {
    Ref row = attr_item(self, name, i);
    return row ? item(row.get(), j) : Ref();
}

// self.<name>[i][j] = value
bool attr_set_item2(PyObject* self, Name& name, Py_ssize_t i, Py_ssize_t j, PyObject* value) {
    Ref row = attr_item(self, name, i);
    return row && set_item(row.get(), j, value);
}

// [0] * count, with the host's sequence repetition (so its errors too).
Ref zeros(PyObject* count) {
    Ref one = Ref::steal(PyList_New(1));
    if (!one) return {};
    PyList_SET_ITEM(one.get(), 0, PyLong_FromLong(0));
    return Ref::steal(PyNumber_Multiply(one.get(), count));
}

// self.<name> = [0] * self.amount style: the count read from an attribute at this moment.
bool set_zeros_from(PyObject* self, Name& name, Name& count_name) {
    Ref count = getattr(self, count_name);
    if (!count) return false;
    Ref z = zeros(count.get());
    return z && setattr(self, name, z.get());
}

// [a, b, ...] holding the objects themselves
Ref list_of(std::initializer_list<PyObject*> items) {
    Ref l = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!l) return l;
    Py_ssize_t i = 0;
    for (PyObject* o : items) PyList_SET_ITEM(l.get(), i++, newref(o));
    return l;
}

Ref small_int(long v) { return Ref::steal(PyLong_FromLong(v)); }

// print(*args) through the built-in print captured at import.
bool say(std::initializer_list<PyObject*> args) { return bool(call(b_print, args)); }

// Adds a note naming the file to the exception being raised (shown under the message on
// 3.11+; kept in __notes__ on older versions). The exception itself is unchanged.
void note_file(const char* what, PyObject* file) {
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
Ref read_file(Fn* fn, const char* what, PyObject* file) {
    Ref r = call_global(fn, n_read, {file});
    if (!r) note_file(what, file);
    return r;
}

// -(1 / sqrt(n)) and 1 / sqrt(n), each computed on its own, lower first.
bool bounds(Fn* fn, PyObject* n, Ref& lo, Ref& hi) {
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
Ref make_generator(Fn* fn, PyObject* seed, PyObject* n) {
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
int native_draws(PyObject* self, Name& gen, lcg::Draws& draws, Ref& g) {
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
Ref native_matrix(lcg::Draws& draws, long long nr, long long nc, UntrackedRows& untracked) {
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
Ref draw_matrix(PyObject* self, Name& gen, PyObject* rows, PyObject* cols, UntrackedRows& untracked) {
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
        CHECK(sig.tick());
        if (!range_stop(cols, nc)) return {};
        Ref row = Ref::steal(PyList_New(0));
        if (!row) return {};
        for (long long c = 0; c < nc; ++c) {
            CHECK(sig.tick());
            TRY(g, getattr(self, gen));
            TRY(v, call(g.get(), {}));
            CHECK(PyList_Append(row.get(), v.get()) == 0);
        }
        CHECK(PyList_Append(out.get(), row.get()) == 0);
    }
    return out;
}

// [self.<gen>() for i in range(count)]
Ref draw_vector(PyObject* self, Name& gen, PyObject* count, UntrackedRows& untracked) {
    TRY(one, small_int(1));
    TRY(m, draw_matrix(self, gen, one.get(), count, untracked));
    return item(m.get(), Py_ssize_t(0));
}

// ---------------------------------------------------------------------------
// Module functions
// ---------------------------------------------------------------------------
PyObject* hybrid_impl(Fn* fn, double z) {
    TRY(arg, flt(z));
    return call_global(fn, z > 0 ? n_ReLu : n_LeakyReLu, {arg.get()}).release();
}

PyObject* hybrid_prime_impl(Fn*, PyObject* z) {
    TRY(zero, small_int(0));
    int le = PyObject_RichCompareBool(z, zero.get(), Py_LE);
    if (le < 0) return nullptr;
    return le ? PyFloat_FromDouble(0.01) : PyLong_FromLong(1);
}

PyObject* cz_impl(Fn*, double x, double w, double b) { return PyFloat_FromDouble(w * x + b); }

// ---------------------------------------------------------------------------
// RNN_HYBRID
// ---------------------------------------------------------------------------

// [float(i) for i in seq]
Ref float_list(PyObject* seq) {
    TRY(it, Ref::steal(PyObject_GetIter(seq)));
    TRY(out, Ref::steal(PyList_New(0)));
    Interrupts sig;
    while (Ref i = Ref::steal(PyIter_Next(it.get()))) {
        CHECK(sig.tick());
        TRY(f, Ref::steal(PyNumber_Float(i.get())));
        CHECK(PyList_Append(out.get(), f.get()) == 0);
    }
    if (PyErr_Occurred()) return {};
    return out;
}

PyObject* rnn_init_impl(Fn* fn, PyObject* self, double start, double target, PyObject* neurons,
                        PyObject* load_model, double learnrate) {
    CHECK(super_init(b_super, g_rnn_class, self));
    UntrackedRows untracked;
    if (PyUnicode_GET_LENGTH(load_model) == 0) {
        TRY(seed, small_int(953674));
        TRY(gen, make_generator(fn, seed.get(), neurons));
        CHECK(setattr(self, n_gen, gen.get()));
        TRY(wx, draw_vector(self, n_gen, neurons, untracked));
        CHECK(setattr(self, n_wx, wx.get()));
        CHECK(setattr(self, n_amount, neurons));
        TRY(b, zeros(neurons));
        CHECK(setattr(self, n_b, b.get()));
        TRY(wh, draw_matrix(self, n_gen, neurons, neurons, untracked));
        CHECK(setattr(self, n_wh, wh.get()));
    } else {
        TRY(data, call_global(fn, n_read, {load_model}));
        TRY(d0, item(data.get(), Py_ssize_t(0)));
        TRY(wx, float_list(d0.get()));
        CHECK(setattr(self, n_wx, wx.get()));
        TRY(d1, item(data.get(), Py_ssize_t(1)));
        TRY(b, float_list(d1.get()));
        CHECK(setattr(self, n_b, b.get()));
        TRY(d2, item(data.get(), Py_ssize_t(2)));
        TRY(it, Ref::steal(PyObject_GetIter(d2.get())));
        TRY(wh, Ref::steal(PyList_New(0)));
        Interrupts sig;
        while (Ref row = Ref::steal(PyIter_Next(it.get()))) {
            CHECK(sig.tick());
            TRY(r, float_list(row.get()));
            CHECK(PyList_Append(wh.get(), r.get()) == 0);
        }
        CHECK(!PyErr_Occurred());
        CHECK(setattr(self, n_wh, wh.get()));
        TRY(wx_now, getattr(self, n_wx));
        Py_ssize_t len = PyObject_Size(wx_now.get());
        CHECK(len >= 0);
        TRY(amount, Ref::steal(PyLong_FromSsize_t(len)));
        CHECK(setattr(self, n_amount, amount.get()));
    }
    CHECK(set_zeros_from(self, n_h, n_amount));
    TRY(x, flt(start));
    CHECK(setattr(self, n_x, x.get()));
    TRY(lr, flt(learnrate));
    CHECK(setattr(self, n_lr, lr.get()));
    TRY(y, flt(target));
    CHECK(setattr(self, n_y, y.get()));
    for (Name* n : {&n_err, &n_loss, &n_lg, &n_dhzl, &n_dLdb, &n_dLdw}) CHECK(set_zeros_from(self, *n, n_amount));
    {
        TRY(amount, getattr(self, n_amount));
        long long rows;
        CHECK(range_stop(amount.get(), rows));
        TRY(m, Ref::steal(PyList_New(0)));
        Interrupts sig;
        for (long long r = 0; r < rows; ++r) {
            CHECK(sig.tick());
            TRY(now, getattr(self, n_amount));
            TRY(z, zeros(now.get()));
            CHECK(PyList_Append(m.get(), z.get()) == 0);
        }
        CHECK(setattr(self, n_dLdwh, m.get()));
    }
    CHECK(set_zeros_from(self, n_memory, n_amount));
    Py_RETURN_NONE;
}

// lg[i] * dhzl[i]
Ref lg_dhzl(PyObject* self, Py_ssize_t i) {
    TRY(lg, attr_item(self, n_lg, i));
    TRY(d, attr_item(self, n_dhzl, i));
    return mul(lg.get(), d.get());
}

// w - self.lr * g
Ref descend(PyObject* self, PyObject* w, PyObject* g) {
    TRY(lr, getattr(self, n_lr));
    TRY(step, mul(lr.get(), g));
    return sub(w, step.get());
}

PyObject* rnn_layer_impl(Fn* fn, PyObject* self) {
    TRY(zero, small_int(0));
    TRY(two, small_int(2));
    TRY(amount, getattr(self, n_amount));
    long long n;
    CHECK(range_stop(amount.get(), n));
    Interrupts sig;
    for (Py_ssize_t i = 0; i < n; ++i) {
        CHECK(sig.tick());
        {  // memory[i] = h[i]
            TRY(hi, attr_item(self, n_h, i));
            CHECK(attr_set_item(self, n_memory, i, hi.get()));
        }
        TRY(wxi, attr_item(self, n_wx, i));
        TRY(x, getattr(self, n_x));
        TRY(z0, mul(wxi.get(), x.get()));
        Ref z = std::move(z0);
        {
            TRY(amount_j, getattr(self, n_amount));
            long long nj;
            CHECK(range_stop(amount_j.get(), nj));
            for (Py_ssize_t j = 0; j < nj; ++j) {
                CHECK(sig.tick());
                TRY(w, attr_item2(self, n_wh, i, j));
                TRY(m, attr_item(self, n_memory, j));
                TRY(p, mul(w.get(), m.get()));
                z = add(z.get(), p.get());
                CHECK(z);
            }
        }
        {
            TRY(bi, attr_item(self, n_b, i));
            z = add(z.get(), bi.get());
            CHECK(z);
        }
        {
            TRY(h, call_global(fn, n_hybrid, {z.get()}));
            CHECK(attr_set_item(self, n_h, i, h.get()));
        }
        {
            TRY(hi, attr_item(self, n_h, i));
            TRY(y, getattr(self, n_y));
            TRY(e, sub(hi.get(), y.get()));
            CHECK(attr_set_item(self, n_err, i, e.get()));
        }
        {
            TRY(e, attr_item(self, n_err, i));
            TRY(sq, power(e.get(), two.get()));
            CHECK(attr_set_item(self, n_loss, i, sq.get()));
        }
        {
            TRY(e, attr_item(self, n_err, i));
            TRY(g, mul(two.get(), e.get()));
            CHECK(attr_set_item(self, n_lg, i, g.get()));
        }
        {
            int pos = PyObject_RichCompareBool(z.get(), zero.get(), Py_GT);
            CHECK(pos >= 0);
            CHECK(attr_set_item(self, n_dhzl, i, pos ? g_one_point_zero : g_zero_point_one));
        }
        {
            TRY(g, lg_dhzl(self, i));
            TRY(x2, getattr(self, n_x));
            TRY(d, mul(g.get(), x2.get()));
            CHECK(attr_set_item(self, n_dLdw, i, d.get()));
        }
        {
            TRY(amount_j, getattr(self, n_amount));
            long long nj;
            CHECK(range_stop(amount_j.get(), nj));
            for (Py_ssize_t j = 0; j < nj; ++j) {
                CHECK(sig.tick());
                {
                    TRY(g, lg_dhzl(self, i));
                    TRY(m, attr_item(self, n_memory, j));
                    TRY(d, mul(g.get(), m.get()));
                    CHECK(attr_set_item2(self, n_dLdwh, i, j, d.get()));
                }
                TRY(w, attr_item2(self, n_wh, i, j));
                TRY(lr, getattr(self, n_lr));
                TRY(d, attr_item2(self, n_dLdwh, i, j));
                TRY(step, mul(lr.get(), d.get()));
                TRY(nw, sub(w.get(), step.get()));
                CHECK(attr_set_item2(self, n_wh, i, j, nw.get()));
            }
        }
        {
            TRY(g, lg_dhzl(self, i));
            CHECK(attr_set_item(self, n_dLdb, i, g.get()));
        }
        {
            TRY(w, attr_item(self, n_wx, i));
            TRY(d, attr_item(self, n_dLdw, i));
            TRY(nw, descend(self, w.get(), d.get()));
            CHECK(attr_set_item(self, n_wx, i, nw.get()));
        }
        {
            TRY(w, attr_item(self, n_b, i));
            TRY(d, attr_item(self, n_dLdb, i));
            TRY(nw, descend(self, w.get(), d.get()));
            CHECK(attr_set_item(self, n_b, i, nw.get()));
        }
    }
    Py_RETURN_NONE;
}

// self.loss.index(min(self.loss))
Ref best_neuron(PyObject* self) {
    TRY(loss, getattr(self, n_loss));
    TRY(index, Ref::steal(PyObject_GetAttr(loss.get(), n_index.get())));
    TRY(loss2, getattr(self, n_loss));
    TRY(m, call(b_min, {loss2.get()}));
    return call(index.get(), {m.get()});
}

PyObject* rnn_run_impl(Fn* fn, PyObject* self, PyObject* times) {
    long long steps;
    CHECK(range_stop(times, steps));
    Interrupts sig(Interrupts::kCalls);
    for (long long t = 0; t < steps; ++t) {
        CHECK(sig.tick());
        TRY(layer, getattr(self, n_layer));
        TRY(r, call(layer.get(), {}));
    }
    {
        TRY(h, getattr(self, n_h));
        TRY(k, best_neuron(self));
        TRY(hk, item(h.get(), k.get()));
        TRY(label, Ref::steal(PyUnicode_FromString("result: ")));
        CHECK(say({label.get(), hk.get()}));
    }
    {
        TRY(y, getattr(self, n_y));
        TRY(label, Ref::steal(PyUnicode_FromString("target: ")));
        CHECK(say({label.get(), y.get()}));
    }
    {
        TRY(loss, getattr(self, n_loss));
        TRY(m, call(b_min, {loss.get()}));
        TRY(label, Ref::steal(PyUnicode_FromString("loss: ")));
        CHECK(say({label.get(), m.get()}));
    }
    {
        TRY(wx, getattr(self, n_wx));
        TRY(k1, best_neuron(self));
        TRY(wk, item(wx.get(), k1.get()));
        TRY(f1, format_default(wk.get()));
        TRY(wh, getattr(self, n_wh));
        TRY(k2, best_neuron(self));
        TRY(hk, item(wh.get(), k2.get()));
        TRY(f2, format_default(hk.get()));
        TRY(line, Ref::steal(PyUnicode_FromFormat("weights: neuron: %U layer: %U", f1.get(), f2.get())));
        CHECK(say({line.get()}));
    }
    TRY(prompt, Ref::steal(PyUnicode_FromString("Would you like to save as model? (Y/N): ")));
    TRY(answer, call(b_input, {prompt.get()}));
    TRY(yes, Ref::steal(PyUnicode_FromString("Y")));
    int eq = PyObject_RichCompareBool(answer.get(), yes.get(), Py_EQ);
    CHECK(eq >= 0);
    if (eq) {
        TRY(prompt2, Ref::steal(PyUnicode_FromString("Filename: ")));
        TRY(name, call(b_input, {prompt2.get()}));
        TRY(write, global(fn, n_write));
        TRY(wx, getattr(self, n_wx));
        TRY(b, getattr(self, n_b));
        TRY(wh, getattr(self, n_wh));
        TRY(data, list_of({wx.get(), b.get(), wh.get()}));
        TRY(ext, Ref::steal(PyUnicode_FromString(".mem")));
        TRY(file, add(name.get(), ext.get()));
        TRY(r, call(write.get(), {data.get(), file.get()}));
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// RNNLM_HYBRID
// ---------------------------------------------------------------------------

// read(directory + suffix)[index] (index < 0: the whole list), noting the file on failure.
Ref read_model_file(Fn* fn, PyObject* dir, const char* suffix, Py_ssize_t index) {
    TRY(tail, Ref::steal(PyUnicode_FromString(suffix)));
    TRY(file, add(dir, tail.get()));
    TRY(data, read_file(fn, "model file", file.get()));
    if (index < 0) return data;
    Ref r = item(data.get(), index);
    if (!r) note_file("model file", file.get());
    return r;
}

PyObject* lm_init_impl(Fn* fn, PyObject* self, PyObject* vocab_size, PyObject* dictionary, PyObject* veclength,
                       PyObject* load_vocab, PyObject* seed, PyObject* neurons, double lr) {
    CHECK(super_init(b_super, g_lm_class, self));
    {
        TRY(g, make_generator(fn, seed, veclength));
        CHECK(setattr(self, n_genrandd, g.get()));
    }
    {
        TRY(g, make_generator(fn, seed, neurons));
        CHECK(setattr(self, n_genrandn, g.get()));
    }
    CHECK(setattr(self, n_warm, Py_False));
    {
        TRY(rate, flt(lr));
        CHECK(setattr(self, n_lr, rate.get()));
    }
    {
        TRY(words, Ref::steal(PyList_New(0)));
        CHECK(setattr(self, n_words, words.get()));
    }
    TRY(no, Ref::steal(PyUnicode_FromString("no")));
    int ne = PyObject_RichCompareBool(load_vocab, no.get(), Py_NE);
    CHECK(ne >= 0);
    if (ne) {
        struct Step { Name* attr; const char* suffix; Py_ssize_t index; };
        const Step steps[] = {
            {&n_embedings, "/embed.mem", -1}, {&n_vocabL, "/info.meta", 0},     {&n_vecL, "/info.meta", 1},
            {&n_neurons, "/info.meta", 2},    {&n_bias, "/bias.mem", -1},       {&n_lhweights, "/lhweights.mem", -1},
            {&n_lweights, "/lweights.mem", -1}, {&n_dictionary, "/dict.mem", -1}, {&n_who, "/who.mem", -1},
            {&n_bo, "/bo.mem", -1},           {&n_ht, "/info.meta", 3},
        };
        for (const Step& s : steps) {
            TRY(val, read_model_file(fn, load_vocab, s.suffix, s.index));
            CHECK(setattr(self, *s.attr, val.get()));
        }
        TRY(emb, getattr(self, n_embedings));
        CHECK(say({emb.get()}));
        Py_RETURN_NONE;
    }
    CHECK(setattr(self, n_neurons, neurons));
    UntrackedRows untracked;
    {
        TRY(m, draw_matrix(self, n_genrandd, vocab_size, veclength, untracked));
        CHECK(setattr(self, n_embedings, m.get()));
    }
    {
        TRY(m, draw_matrix(self, n_genrandd, neurons, veclength, untracked));
        CHECK(setattr(self, n_lweights, m.get()));
    }
    {
        TRY(m, draw_matrix(self, n_genrandn, neurons, neurons, untracked));
        CHECK(setattr(self, n_lhweights, m.get()));
    }
    {
        TRY(z, zeros(neurons));
        CHECK(setattr(self, n_bias, z.get()));
    }
    {
        TRY(m, draw_matrix(self, n_genrandn, vocab_size, neurons, untracked));
        CHECK(setattr(self, n_who, m.get()));
    }
    {
        TRY(z, zeros(vocab_size));
        CHECK(setattr(self, n_bo, z.get()));
    }
    CHECK(setattr(self, n_vocabL, vocab_size));
    CHECK(setattr(self, n_vecL, veclength));
    {
        TRY(words, read_file(fn, "vocabulary file", dictionary));
        CHECK(setattr(self, n_dictionary, words.get()));
    }
    {
        TRY(z, zeros(neurons));
        CHECK(setattr(self, n_ht, z.get()));
    }
    Py_RETURN_NONE;
}

PyObject* lm_warmup_impl(Fn*, PyObject* self, PyObject* sentence) {
    TRY(warm, getattr(self, n_warm));
    // warm != True with the host's comparison (no identity shortcut), then its truth value.
    TRY(ne, Ref::steal(PyObject_RichCompare(warm.get(), Py_True, Py_NE)));
    int cold = PyObject_IsTrue(ne.get());
    CHECK(cold >= 0);
    if (!cold) {
        PyErr_SetString(PyExc_Exception, "Attempted double warmup dont fucking do this!");
        return nullptr;
    }
    TRY(msg, Ref::steal(PyUnicode_FromString("Warming Model for use!")));
    CHECK(say({msg.get()}));
    CHECK(setattr(self, n_warm, Py_True));
    TRY(sep, Ref::steal(PyUnicode_FromString(" ")));
    TRY(words, Ref::steal(PyUnicode_Split(sentence, sep.get(), -1)));
    CHECK(setattr(self, n_words, words.get()));
    TRY(reply, Ref::steal(PyList_New(0)));
    CHECK(setattr(self, n_reply, reply.get()));
    Py_RETURN_NONE;
}

PyObject* lm_getstuff_impl(Fn*, PyObject* self, PyObject* word) {
    TRY(d, getattr(self, n_dictionary));
    return call(g_list_index, {d.get(), word}).release();
}

PyObject* lm_activate_impl(Fn* fn, PyObject* self, PyObject* indexa, PyObject* target) {
    TRY(r, call_global(fn, n_activate_step, {self, indexa, target}));
    Py_RETURN_NONE;
}

// self.__getstuff(word)
Ref index_of(PyObject* self, PyObject* word) {
    TRY(m, getattr(self, n_getstuff));
    return call(m.get(), {word});
}

// self.__activate(a, b)
bool activate(PyObject* self, PyObject* a, PyObject* b) {
    Ref m = getattr(self, n_activate);
    return m && call(m.get(), {a, b});
}

PyObject* lm_run_impl(Fn*, PyObject* self, PyObject* times, PyObject* f, PyObject* s) {
    long long steps;
    CHECK(range_stop(times, steps));
    Interrupts sig(Interrupts::kCalls);  // every step calls the model's methods
    if (PyUnicode_GET_LENGTH(f) != 0 && PyUnicode_GET_LENGTH(s) != 0) {
        for (long long t = 0; t < steps; ++t) {
            CHECK(sig.tick());
            TRY(a, index_of(self, f));
            TRY(b, index_of(self, s));
            CHECK(activate(self, a.get(), b.get()));
        }
        Py_RETURN_NONE;
    }
    // Sentence mode. `last` is the loop variable of the steps, kept across rounds.
    Py_ssize_t last = -1;
    bool have_last = false;
    for (long long t = 0; t < steps; ++t) {
        CHECK(sig.tick());
        Py_ssize_t m;
        {
            TRY(words, getattr(self, n_words));
            Py_ssize_t len = PyObject_Size(words.get());
            CHECK(len >= 0);
            m = len - 1;
        }
        for (Py_ssize_t i = 0; i < m; ++i) {
            CHECK(sig.tick());
            last = i;
            have_last = true;
            TRY(w1, attr_item(self, n_words, i));
            TRY(a, index_of(self, w1.get()));
            TRY(w2, attr_item(self, n_words, i + 1));
            TRY(b, index_of(self, w2.get()));
            CHECK(activate(self, a.get(), b.get()));
        }
        TRY(reply, getattr(self, n_reply));
        TRY(insert, Ref::steal(PyObject_GetAttr(reply.get(), n_insert.get())));
        TRY(dictionary, getattr(self, n_dictionary));
        TRY(getstuff, getattr(self, n_getstuff));
        TRY(words, getattr(self, n_words));
        if (!have_last) {
            // With fewer than two warm-up words no step was made: there is no word to
            // start the line with. Nothing has been changed at this point. Deliberately a
            // clear ValueError rather than a failure deep in the line-building.
            PyErr_Format(PyExc_ValueError,
                         "run() in sentence mode needs at least two warm-up words, the model has %zd; "
                         "warm it up with a longer sentence or pass a word pair as f and s",
                         m + 1);
            return nullptr;
        }
        TRY(w, item(words.get(), last));
        TRY(idx, call(getstuff.get(), {w.get()}));
        TRY(entry, item(dictionary.get(), idx.get()));
        TRY(zero, small_int(0));
        TRY(r, call(insert.get(), {zero.get(), entry.get()}));
        {
            TRY(now, getattr(self, n_reply));
            TRY(args, Ref::steal(PySequence_Tuple(now.get())));
            TRY(p, Ref::steal(PyObject_Call(b_print, args.get(), nullptr)));
        }
        {
            TRY(now, getattr(self, n_reply));
            TRY(r2, Ref::steal(PyObject_CallMethodNoArgs(now.get(), n_clear.get())));
        }
    }
    Py_RETURN_NONE;
}

// Makes the save directory "test" when it is missing, so a finished training run is
// never thrown away for want of it (deliberately: train creates what it saves into).
bool ensure_save_dir() {
    Ref path = Ref::steal(PyObject_GetAttrString(g_os, "path"));
    if (!path) return false;
    Ref isdir = Ref::steal(PyObject_CallMethod(path.get(), "isdir", "s", "test"));
    if (!isdir) return false;
    int present = PyObject_IsTrue(isdir.get());
    if (present < 0) return false;
    if (present) return true;
    return bool(Ref::steal(PyObject_CallMethod(g_os, "mkdir", "s", "test")));
}

PyObject* lm_train_impl(Fn* fn, PyObject* self, PyObject* turns) {
    long long steps;
    CHECK(range_stop(turns, steps));
    TRY(label1, Ref::steal(PyUnicode_FromString("word1:")));
    TRY(label2, Ref::steal(PyUnicode_FromString("target:")));
    Interrupts sig(Interrupts::kCalls);  // every step calls the model's methods
    for (long long t = 0; t < steps; ++t) {
        CHECK(sig.tick());
        long long nj;
        {
            TRY(vl, getattr(self, n_vocabL));
            CHECK(range_stop(vl.get(), nj));
        }
        for (long long j = 0; j < nj; ++j) {
            CHECK(sig.tick());
            TRY(J, Ref::steal(PyLong_FromLongLong(j)));
            long long nk;
            {
                TRY(vl, getattr(self, n_vocabL));
                CHECK(range_stop(vl.get(), nk));
            }
            for (long long k = 0; k < nk; ++k) {
                CHECK(sig.tick());
                TRY(K, Ref::steal(PyLong_FromLongLong(k)));
                CHECK(activate(self, J.get(), K.get()));
                TRY(wj, attr_item(self, n_dictionary, static_cast<Py_ssize_t>(j)));
                TRY(wk, attr_item(self, n_dictionary, static_cast<Py_ssize_t>(k)));
                CHECK(say({label1.get(), wj.get(), label2.get(), wk.get()}));
            }
        }
    }
    CHECK(ensure_save_dir());
    struct Save { Name* attr; const char* file; };
    const Save saves[] = {
        {&n_embedings, "test/embed.mem"}, {nullptr, "test/info.meta"},     {&n_bias, "test/bias.mem"},
        {&n_lhweights, "test/lhweights.mem"}, {&n_lweights, "test/lweights.mem"}, {&n_dictionary, "test/dict.mem"},
        {&n_who, "test/who.mem"},         {&n_bo, "test/bo.mem"},
    };
    for (const Save& s : saves) {
        TRY(write, global(fn, n_write));
        Ref data;
        if (s.attr) {
            data = getattr(self, *s.attr);
        } else {
            TRY(a, getattr(self, n_vocabL));
            TRY(b, getattr(self, n_vecL));
            TRY(c, getattr(self, n_neurons));
            TRY(d, getattr(self, n_ht));
            data = list_of({a.get(), b.get(), c.get(), d.get()});
        }
        CHECK(data);
        TRY(file, Ref::steal(PyUnicode_FromString(s.file)));
        TRY(r, call(write.get(), {data.get(), file.get()}));
    }
    {
        TRY(loss, getattr(self, n_loss));
        CHECK(say({loss.get()}));
    }
    {
        TRY(d, getattr(self, n_dictionary));
        TRY(nt, getattr(self, n_nexttoken));
        TRY(w, item(d.get(), nt.get()));
        CHECK(say({w.get()}));
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Declarations
// ---------------------------------------------------------------------------
const FnDef hybrid_def{"hybrid", nullptr, {P("z", Conv::Double)}, "float", typed<&hybrid_impl>};
const FnDef hybrid_prime_def{"hybrid_prime", nullptr, {P("z")}, nullptr, typed<&hybrid_prime_impl>};
const FnDef cz_def{"cz", nullptr, {P("x", Conv::Double), P("w", Conv::Double), P("b", Conv::Double)}, "float",
                   typed<&cz_impl>};

const FnDef rnn_init_def{"__init__",
                         nullptr,
                         {P("self"), P("start", Conv::Double), P("target", Conv::Double), P("neurons", Conv::PyInt),
                          P("load_model", Conv::Str, def_str("")), P("learnrate", Conv::Double, def_float(0.001))},
                         nullptr,
                         typed<&rnn_init_impl>};
const FnDef rnn_layer_def{"layer", nullptr, {P("self")}, nullptr, typed<&rnn_layer_impl>};
const FnDef rnn_run_def{"run", nullptr, {P("self"), P("times")}, nullptr, typed<&rnn_run_impl>};

const FnDef lm_init_def{"__init__",
                        nullptr,
                        {P("self"), P("vocab_size", Conv::PyInt), P("dictionary", Conv::Str),
                         P("veclength", Conv::PyInt, def_int(32)), P("load_vocab", Conv::Str, def_str("no")),
                         P("seed", Conv::PyInt, def_int(564963)), P("neurons", Conv::PyInt, def_int(128)),
                         P("lr", Conv::Double, def_float(0.001))},
                        nullptr,
                        typed<&lm_init_impl>};
const FnDef lm_warmup_def{"warmup", "use only once!!!", {P("self"), P("sentence", Conv::Str)}, nullptr,
                          typed<&lm_warmup_impl>};
const FnDef lm_activate_def{"__activate", nullptr, {P("self"), P("indexa"), P("target")}, nullptr,
                            typed<&lm_activate_impl>};
const FnDef lm_getstuff_def{"__getstuff", nullptr, {P("self"), P("word", Conv::Str)}, nullptr,
                            typed<&lm_getstuff_impl>};
const FnDef lm_run_def{"run",
                       nullptr,
                       {P("self"), P("times", Conv::PyInt), P("f", Conv::Str, def_str("")),
                        P("s", Conv::Str, def_str(""))},
                       nullptr,
                       typed<&lm_run_impl>};
const FnDef lm_train_def{"train", nullptr, {P("self"), P("turns", Conv::PyInt)}, nullptr, typed<&lm_train_impl>};

PyModuleDef moddef = {PyModuleDef_HEAD_INIT, "synaptra", "ORVEX libary for machine learning such as rln and more...",
                      -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_synaptra() {
    return guarded_init("synaptra", []() -> PyObject* {
        Ref m = Ref::steal(make_module(&moddef, {}));
        if (!m) return nullptr;
        if (!import_star(m.get(), "ORVEX.numerix")) return nullptr;
        if (!import_from(m.get(), "ORVEX.lystra", {"write", "read"})) return nullptr;
        if (!import_from(m.get(), "ORVEX.tensilo", {"activate_step"})) return nullptr;
        // The built-ins these methods use are taken once, now; with the constants, they are
        // published only when the whole module is made.
        Ref builtins[4];
        const char* const builtin_names[4] = {"super", "print", "min", "input"};
        for (int i = 0; i < 4; ++i) {
            builtins[i] = builtin(builtin_names[i]);
            if (!builtins[i]) return nullptr;
        }
        Ref one = flt(1.0), tenth = flt(0.1);
        Ref list_index = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyList_Type), n_index.get()));
        Ref os = import_module("os");
        if (!one || !tenth || !list_index || !os) return nullptr;
        // numerix's generator method, for recognising draws that may run natively.
        PyObject* random_cls = PyDict_GetItemWithError(PyModule_GetDict(m.get()), n_random.get());
        if (!random_cls && PyErr_Occurred()) return nullptr;
        Ref random_call;
        if (random_cls && PyType_Check(random_cls))
            random_call = Ref::borrow(_PyType_Lookup(reinterpret_cast<PyTypeObject*>(random_cls), n_call.get()));
        for (const FnDef* f : {&hybrid_def, &hybrid_prime_def, &cz_def})
            if (!add_fn(m.get(), f)) return nullptr;
        Ref rnn = Ref::steal(make_class(m.get(), "RNN_HYBRID", {&rnn_init_def, &rnn_layer_def, &rnn_run_def}));
        if (!rnn) return nullptr;
        Ref lm = Ref::steal(make_class(m.get(), "RNNLM_HYBRID", {&lm_init_def, &lm_warmup_def, &lm_activate_def,
                                                                  &lm_getstuff_def, &lm_run_def, &lm_train_def}));
        if (!lm) return nullptr;
        PyObject** const slots[] = {&b_super, &b_print, &b_min, &b_input};
        for (int i = 0; i < 4; ++i) Py_XSETREF(*slots[i], builtins[i].release());
        Py_XSETREF(g_one_point_zero, one.release());
        Py_XSETREF(g_zero_point_one, tenth.release());
        Py_XSETREF(g_list_index, list_index.release());
        Py_XSETREF(g_os, os.release());
        Py_XSETREF(g_random_call, random_call.release());
        Py_XSETREF(g_rnn_class, rnn.release());
        Py_XSETREF(g_lm_class, lm.release());
        return m.release();
    });
}
