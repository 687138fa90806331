// synaptra: the hybrid activation functions and the layer network RNN_HYBRID.
#include "synaptra.hpp"

namespace synaptra {

// ---------------------------------------------------------------------------
// Module functions
// ---------------------------------------------------------------------------
PyObject* hybrid_impl(Fn* fn, double z) {
    Ref arg = flt(z);
    if (!arg) return nullptr;
    return call_global(fn, z > 0 ? n_ReLu : n_LeakyReLu, {arg.get()}).release();
}
const FnDef hybrid_def = declare<&hybrid_impl>("hybrid", {P("z")}, "float");

PyObject* hybrid_prime_impl(Fn*, Obj z) {
    Ref zero = small_int(0);
    if (!zero) return nullptr;
    int le = PyObject_RichCompareBool(z, zero.get(), Py_LE);
    if (le < 0) return nullptr;
    return le ? PyFloat_FromDouble(0.01) : PyLong_FromLong(1);
}
const FnDef hybrid_prime_def = declare<&hybrid_prime_impl>("hybrid_prime", {P("z")});

PyObject* cz_impl(Fn*, double x, double w, double b) { return PyFloat_FromDouble(w * x + b); }
const FnDef cz_def = declare<&cz_impl>("cz", {P("x"), P("w"), P("b")}, "float");

// ---------------------------------------------------------------------------
// RNN_HYBRID
// ---------------------------------------------------------------------------

// [float(i) for i in seq]
Ref float_list(PyObject* seq) {
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return nullptr;
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    Interrupts sig;
    while (Ref i = Ref::steal(PyIter_Next(it.get()))) {
        if (!sig.tick()) return nullptr;
        Ref f = Ref::steal(PyNumber_Float(i.get()));
        if (!f) return nullptr;
        if (PyList_Append(out.get(), f.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return {};
    return out;
}

PyObject* rnn_init_impl(Fn* fn, Obj self, double start, double target, Int neurons, Str load_model, double learnrate) {
    if (!super_init(b_super, g_rnn_class, self)) return nullptr;
    UntrackedRows untracked;
    if (PyUnicode_GET_LENGTH(load_model) == 0) {
        Ref seed = small_int(953674);
        if (!seed) return nullptr;
        Ref gen = make_generator(fn, seed.get(), neurons);
        if (!gen) return nullptr;
        if (!setattr(self, n_gen, gen.get())) return nullptr;
        Ref wx = draw_vector(self, n_gen, neurons, untracked);
        if (!wx) return nullptr;
        if (!setattr(self, n_wx, wx.get())) return nullptr;
        if (!setattr(self, n_amount, neurons)) return nullptr;
        Ref b = zeros(neurons);
        if (!b) return nullptr;
        if (!setattr(self, n_b, b.get())) return nullptr;
        Ref wh = draw_matrix(self, n_gen, neurons, neurons, untracked);
        if (!wh) return nullptr;
        if (!setattr(self, n_wh, wh.get())) return nullptr;
    } else {
        Ref data = call_global(fn, n_read, {load_model});
        if (!data) return nullptr;
        Ref d0 = item(data.get(), Py_ssize_t(0));
        if (!d0) return nullptr;
        Ref wx = float_list(d0.get());
        if (!wx) return nullptr;
        if (!setattr(self, n_wx, wx.get())) return nullptr;
        Ref d1 = item(data.get(), Py_ssize_t(1));
        if (!d1) return nullptr;
        Ref b = float_list(d1.get());
        if (!b) return nullptr;
        if (!setattr(self, n_b, b.get())) return nullptr;
        Ref d2 = item(data.get(), Py_ssize_t(2));
        if (!d2) return nullptr;
        Ref it = Ref::steal(PyObject_GetIter(d2.get()));
        if (!it) return nullptr;
        Ref wh = Ref::steal(PyList_New(0));
        if (!wh) return nullptr;
        Interrupts sig;
        while (Ref row = Ref::steal(PyIter_Next(it.get()))) {
            if (!sig.tick()) return nullptr;
            Ref r = float_list(row.get());
            if (!r) return nullptr;
            if (PyList_Append(wh.get(), r.get()) < 0) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
        if (!setattr(self, n_wh, wh.get())) return nullptr;
        Ref wx_now = getattr(self, n_wx);
        if (!wx_now) return nullptr;
        Py_ssize_t len = PyObject_Size(wx_now.get());
        if (len < 0) return nullptr;
        Ref amount = Ref::steal(PyLong_FromSsize_t(len));
        if (!amount) return nullptr;
        if (!setattr(self, n_amount, amount.get())) return nullptr;
    }
    if (!set_zeros_from(self, n_h, n_amount)) return nullptr;
    Ref x = flt(start);
    if (!x) return nullptr;
    if (!setattr(self, n_x, x.get())) return nullptr;
    Ref lr = flt(learnrate);
    if (!lr) return nullptr;
    if (!setattr(self, n_lr, lr.get())) return nullptr;
    Ref y = flt(target);
    if (!y) return nullptr;
    if (!setattr(self, n_y, y.get())) return nullptr;
    for (Name* n : {&n_err, &n_loss, &n_lg, &n_dhzl, &n_dLdb, &n_dLdw})
        if (!set_zeros_from(self, *n, n_amount)) return nullptr;
    {
        Ref amount = getattr(self, n_amount);
        if (!amount) return nullptr;
        long long rows;
        if (!range_stop(amount.get(), rows)) return nullptr;
        Ref m = Ref::steal(PyList_New(0));
        if (!m) return nullptr;
        Interrupts sig;
        for (long long r = 0; r < rows; ++r) {
            if (!sig.tick()) return nullptr;
            Ref now = getattr(self, n_amount);
            if (!now) return nullptr;
            Ref z = zeros(now.get());
            if (!z) return nullptr;
            if (PyList_Append(m.get(), z.get()) < 0) return nullptr;
        }
        if (!setattr(self, n_dLdwh, m.get())) return nullptr;
    }
    if (!set_zeros_from(self, n_memory, n_amount)) return nullptr;
    Py_RETURN_NONE;
}
const FnDef rnn_init_def = declare<&rnn_init_impl>("__init__",
                                                   {P("self"), P("start"), P("target"), P("neurons"),
                                                    P("load_model", def_str("")), P("learnrate", def_float(0.001))});

// lg[i] * dhzl[i]
Ref lg_dhzl(PyObject* self, Py_ssize_t i) {
    Ref lg = attr_item(self, n_lg, i);
    if (!lg) return nullptr;
    Ref d = attr_item(self, n_dhzl, i);
    if (!d) return nullptr;
    return mul(lg.get(), d.get());
}

// w - self.lr * g
Ref descend(PyObject* self, PyObject* w, PyObject* g) {
    Ref lr = getattr(self, n_lr);
    if (!lr) return nullptr;
    Ref step = mul(lr.get(), g);
    if (!step) return nullptr;
    return sub(w, step.get());
}

PyObject* rnn_layer_impl(Fn* fn, Obj self) {
    Ref zero = small_int(0);
    if (!zero) return nullptr;
    Ref two = small_int(2);
    if (!two) return nullptr;
    Ref amount = getattr(self, n_amount);
    if (!amount) return nullptr;
    long long n;
    if (!range_stop(amount.get(), n)) return nullptr;
    Interrupts sig;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!sig.tick()) return nullptr;
        {  // memory[i] = h[i]
            Ref hi = attr_item(self, n_h, i);
            if (!hi) return nullptr;
            if (!attr_set_item(self, n_memory, i, hi.get())) return nullptr;
        }
        Ref wxi = attr_item(self, n_wx, i);
        if (!wxi) return nullptr;
        Ref x = getattr(self, n_x);
        if (!x) return nullptr;
        Ref z0 = mul(wxi.get(), x.get());
        if (!z0) return nullptr;
        Ref z = std::move(z0);
        {
            Ref amount_j = getattr(self, n_amount);
            if (!amount_j) return nullptr;
            long long nj;
            if (!range_stop(amount_j.get(), nj)) return nullptr;
            for (Py_ssize_t j = 0; j < nj; ++j) {
                if (!sig.tick()) return nullptr;
                Ref w = attr_item2(self, n_wh, i, j);
                if (!w) return nullptr;
                Ref m = attr_item(self, n_memory, j);
                if (!m) return nullptr;
                Ref p = mul(w.get(), m.get());
                if (!p) return nullptr;
                z = add(z.get(), p.get());
                if (!z) return nullptr;
            }
        }
        {
            Ref bi = attr_item(self, n_b, i);
            if (!bi) return nullptr;
            z = add(z.get(), bi.get());
            if (!z) return nullptr;
        }
        {
            Ref h = call_global(fn, n_hybrid, {z.get()});
            if (!h) return nullptr;
            if (!attr_set_item(self, n_h, i, h.get())) return nullptr;
        }
        {
            Ref hi = attr_item(self, n_h, i);
            if (!hi) return nullptr;
            Ref y = getattr(self, n_y);
            if (!y) return nullptr;
            Ref e = sub(hi.get(), y.get());
            if (!e) return nullptr;
            if (!attr_set_item(self, n_err, i, e.get())) return nullptr;
        }
        {
            Ref e = attr_item(self, n_err, i);
            if (!e) return nullptr;
            Ref sq = power(e.get(), two.get());
            if (!sq) return nullptr;
            if (!attr_set_item(self, n_loss, i, sq.get())) return nullptr;
        }
        {
            Ref e = attr_item(self, n_err, i);
            if (!e) return nullptr;
            Ref g = mul(two.get(), e.get());
            if (!g) return nullptr;
            if (!attr_set_item(self, n_lg, i, g.get())) return nullptr;
        }
        {
            int pos = PyObject_RichCompareBool(z.get(), zero.get(), Py_GT);
            if (pos < 0) return nullptr;
            if (!attr_set_item(self, n_dhzl, i, pos ? g_one_point_zero : g_zero_point_one)) return nullptr;
        }
        {
            Ref g = lg_dhzl(self, i);
            if (!g) return nullptr;
            Ref x2 = getattr(self, n_x);
            if (!x2) return nullptr;
            Ref d = mul(g.get(), x2.get());
            if (!d) return nullptr;
            if (!attr_set_item(self, n_dLdw, i, d.get())) return nullptr;
        }
        {
            Ref amount_j = getattr(self, n_amount);
            if (!amount_j) return nullptr;
            long long nj;
            if (!range_stop(amount_j.get(), nj)) return nullptr;
            for (Py_ssize_t j = 0; j < nj; ++j) {
                if (!sig.tick()) return nullptr;
                {
                    Ref g = lg_dhzl(self, i);
                    if (!g) return nullptr;
                    Ref m = attr_item(self, n_memory, j);
                    if (!m) return nullptr;
                    Ref d = mul(g.get(), m.get());
                    if (!d) return nullptr;
                    if (!attr_set_item2(self, n_dLdwh, i, j, d.get())) return nullptr;
                }
                Ref w = attr_item2(self, n_wh, i, j);
                if (!w) return nullptr;
                Ref lr = getattr(self, n_lr);
                if (!lr) return nullptr;
                Ref d = attr_item2(self, n_dLdwh, i, j);
                if (!d) return nullptr;
                Ref step = mul(lr.get(), d.get());
                if (!step) return nullptr;
                Ref nw = sub(w.get(), step.get());
                if (!nw) return nullptr;
                if (!attr_set_item2(self, n_wh, i, j, nw.get())) return nullptr;
            }
        }
        {
            Ref g = lg_dhzl(self, i);
            if (!g) return nullptr;
            if (!attr_set_item(self, n_dLdb, i, g.get())) return nullptr;
        }
        {
            Ref w = attr_item(self, n_wx, i);
            if (!w) return nullptr;
            Ref d = attr_item(self, n_dLdw, i);
            if (!d) return nullptr;
            Ref nw = descend(self, w.get(), d.get());
            if (!nw) return nullptr;
            if (!attr_set_item(self, n_wx, i, nw.get())) return nullptr;
        }
        {
            Ref w = attr_item(self, n_b, i);
            if (!w) return nullptr;
            Ref d = attr_item(self, n_dLdb, i);
            if (!d) return nullptr;
            Ref nw = descend(self, w.get(), d.get());
            if (!nw) return nullptr;
            if (!attr_set_item(self, n_b, i, nw.get())) return nullptr;
        }
    }
    Py_RETURN_NONE;
}
const FnDef rnn_layer_def = declare<&rnn_layer_impl>("layer", {P("self")});

// self.loss.index(min(self.loss))
Ref best_neuron(PyObject* self) {
    Ref loss = getattr(self, n_loss);
    if (!loss) return nullptr;
    Ref index = Ref::steal(PyObject_GetAttr(loss.get(), n_index.get()));
    if (!index) return nullptr;
    Ref loss2 = getattr(self, n_loss);
    if (!loss2) return nullptr;
    Ref m = call(b_min, {loss2.get()});
    if (!m) return nullptr;
    return call(index.get(), {m.get()});
}

PyObject* rnn_run_impl(Fn* fn, Obj self, Obj times) {
    long long steps;
    if (!range_stop(times, steps)) return nullptr;
    Interrupts sig(Interrupts::kCalls);
    for (long long t = 0; t < steps; ++t) {
        if (!sig.tick()) return nullptr;
        Ref layer = getattr(self, n_layer);
        if (!layer) return nullptr;
        Ref r = call(layer.get(), {});
        if (!r) return nullptr;
    }
    {
        Ref h = getattr(self, n_h);
        if (!h) return nullptr;
        Ref k = best_neuron(self);
        if (!k) return nullptr;
        Ref hk = item(h.get(), k.get());
        if (!hk) return nullptr;
        Ref label = Ref::steal(PyUnicode_FromString("result: "));
        if (!label) return nullptr;
        if (!say({label.get(), hk.get()})) return nullptr;
    }
    {
        Ref y = getattr(self, n_y);
        if (!y) return nullptr;
        Ref label = Ref::steal(PyUnicode_FromString("target: "));
        if (!label) return nullptr;
        if (!say({label.get(), y.get()})) return nullptr;
    }
    {
        Ref loss = getattr(self, n_loss);
        if (!loss) return nullptr;
        Ref m = call(b_min, {loss.get()});
        if (!m) return nullptr;
        Ref label = Ref::steal(PyUnicode_FromString("loss: "));
        if (!label) return nullptr;
        if (!say({label.get(), m.get()})) return nullptr;
    }
    {
        Ref wx = getattr(self, n_wx);
        if (!wx) return nullptr;
        Ref k1 = best_neuron(self);
        if (!k1) return nullptr;
        Ref wk = item(wx.get(), k1.get());
        if (!wk) return nullptr;
        Ref f1 = format_default(wk.get());
        if (!f1) return nullptr;
        Ref wh = getattr(self, n_wh);
        if (!wh) return nullptr;
        Ref k2 = best_neuron(self);
        if (!k2) return nullptr;
        Ref hk = item(wh.get(), k2.get());
        if (!hk) return nullptr;
        Ref f2 = format_default(hk.get());
        if (!f2) return nullptr;
        Ref line = Ref::steal(PyUnicode_FromFormat("weights: neuron: %U layer: %U", f1.get(), f2.get()));
        if (!line) return nullptr;
        if (!say({line.get()})) return nullptr;
    }
    Ref prompt = Ref::steal(PyUnicode_FromString("Would you like to save as model? (Y/N): "));
    if (!prompt) return nullptr;
    Ref answer = call(b_input, {prompt.get()});
    if (!answer) return nullptr;
    Ref yes = Ref::steal(PyUnicode_FromString("Y"));
    if (!yes) return nullptr;
    int eq = PyObject_RichCompareBool(answer.get(), yes.get(), Py_EQ);
    if (eq < 0) return nullptr;
    if (eq) {
        Ref prompt2 = Ref::steal(PyUnicode_FromString("Filename: "));
        if (!prompt2) return nullptr;
        Ref name = call(b_input, {prompt2.get()});
        if (!name) return nullptr;
        Ref write = global(fn, n_write);
        if (!write) return nullptr;
        Ref wx = getattr(self, n_wx);
        if (!wx) return nullptr;
        Ref b = getattr(self, n_b);
        if (!b) return nullptr;
        Ref wh = getattr(self, n_wh);
        if (!wh) return nullptr;
        Ref data = list_of({wx.get(), b.get(), wh.get()});
        if (!data) return nullptr;
        Ref ext = Ref::steal(PyUnicode_FromString(".mem"));
        if (!ext) return nullptr;
        Ref file = add(name.get(), ext.get());
        if (!file) return nullptr;
        Ref r = call(write.get(), {data.get(), file.get()});
        if (!r) return nullptr;
    }
    Py_RETURN_NONE;
}
const FnDef rnn_run_def = declare<&rnn_run_impl>("run", {P("self"), P("times")});

}  // namespace synaptra
