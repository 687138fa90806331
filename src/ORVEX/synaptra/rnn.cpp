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

// A fresh network: the generator seeded 953674, wx drawn, b zero, wh drawn.
bool fresh_network(Fn* fn, PyObject* self, PyObject* neurons) {
    UntrackedRows untracked;
    Ref seed = small_int(953674);
    if (!seed) return false;
    return set_result(self, n_gen, make_generator(fn, seed.get(), neurons)) &&
           set_result(self, n_wx, draw_vector(self, n_gen, neurons, untracked)) &&
           setattr(self, n_amount, neurons) && set_result(self, n_b, zeros(neurons)) &&
           set_result(self, n_wh, draw_matrix(self, n_gen, neurons, neurons, untracked));
}

// [float(v) for v in row] for every row of `rows`.
Ref float_rows(PyObject* rows) {
    Ref it = Ref::steal(PyObject_GetIter(rows));
    if (!it) return {};
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return {};
    Interrupts sig;
    while (Ref row = Ref::steal(PyIter_Next(it.get()))) {
        if (!sig.tick()) return {};
        Ref r = float_list(row.get());
        if (!r) return {};
        if (PyList_Append(out.get(), r.get()) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    return out;
}

// A saved network: wx, b and wh from the list file `file`, amount from wx's length.
bool load_network(Fn* fn, PyObject* self, PyObject* file) {
    Ref data = call_global(fn, n_read, {file});
    if (!data) return false;
    Ref d0 = item(data.get(), Py_ssize_t(0));
    if (!d0 || !set_result(self, n_wx, float_list(d0.get()))) return false;
    Ref d1 = item(data.get(), Py_ssize_t(1));
    if (!d1 || !set_result(self, n_b, float_list(d1.get()))) return false;
    Ref d2 = item(data.get(), Py_ssize_t(2));
    if (!d2 || !set_result(self, n_wh, float_rows(d2.get()))) return false;
    Ref wx_now = getattr(self, n_wx);
    if (!wx_now) return false;
    Py_ssize_t len = PyObject_Size(wx_now.get());
    if (len < 0) return false;
    return set_result(self, n_amount, Ref::steal(PyLong_FromSsize_t(len)));
}

// dLdwh = [[0] * self.amount for each of self.amount rows], the count read for each row.
Ref zero_rows(PyObject* self) {
    Ref amount = getattr(self, n_amount);
    if (!amount) return {};
    long long rows;
    if (!range_stop(amount.get(), rows)) return {};
    Ref m = Ref::steal(PyList_New(0));
    if (!m) return {};
    Interrupts sig;
    for (long long r = 0; r < rows; ++r) {
        if (!sig.tick()) return {};
        Ref now = getattr(self, n_amount);
        if (!now) return {};
        Ref z = zeros(now.get());
        if (!z) return {};
        if (PyList_Append(m.get(), z.get()) < 0) return {};
    }
    return m;
}

PyObject* rnn_init_impl(Fn* fn, Obj self, double start, double target, Int neurons, Str load_model, double learnrate) {
    if (!super_init(b_super, g_rnn_class, self)) return nullptr;
    bool made = PyUnicode_GET_LENGTH(load_model.get()) == 0 ? fresh_network(fn, self, neurons)
                                                              : load_network(fn, self, load_model);
    if (!made) return nullptr;
    if (!set_zeros_from(self, n_h, n_amount)) return nullptr;
    if (!set_result(self, n_x, flt(start))) return nullptr;
    if (!set_result(self, n_lr, flt(learnrate))) return nullptr;
    if (!set_result(self, n_y, flt(target))) return nullptr;
    for (Name* n : {&n_err, &n_loss, &n_lg, &n_dhzl, &n_dLdb, &n_dLdw})
        if (!set_zeros_from(self, *n, n_amount)) return nullptr;
    if (!set_result(self, n_dLdwh, zero_rows(self))) return nullptr;
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

// z = wx[i] * x + wh[i][0] * memory[0] + ... + b[i], each read at its turn.
bool neuron_input(PyObject* self, Py_ssize_t i, Interrupts& sig, Ref& z) {
    Ref wxi = attr_item(self, n_wx, i);
    if (!wxi) return false;
    Ref x = getattr(self, n_x);
    if (!x) return false;
    Ref z0 = mul(wxi.get(), x.get());
    if (!z0) return false;
    z = std::move(z0);
    {
        Ref amount_j = getattr(self, n_amount);
        if (!amount_j) return false;
        long long nj;
        if (!range_stop(amount_j.get(), nj)) return false;
        for (Py_ssize_t j = 0; j < nj; ++j) {
            if (!sig.tick()) return false;
            Ref w = attr_item2(self, n_wh, i, j);
            if (!w) return false;
            Ref m = attr_item(self, n_memory, j);
            if (!m) return false;
            Ref p = mul(w.get(), m.get());
            if (!p) return false;
            z = add(z.get(), p.get());
            if (!z) return false;
        }
    }
    {
        Ref bi = attr_item(self, n_b, i);
        if (!bi) return false;
        z = add(z.get(), bi.get());
        if (!z) return false;
    }
    return true;
}

// h[i] = hybrid(z); err, loss, lg, dhzl and dLdw of neuron i.
bool neuron_output(Fn* fn, PyObject* self, Py_ssize_t i, PyObject* z, PyObject* zero, PyObject* two) {
    {
        Ref h = call_global(fn, n_hybrid, {z});
        if (!h) return false;
        if (!attr_set_item(self, n_h, i, h.get())) return false;
    }
    {
        Ref hi = attr_item(self, n_h, i);
        if (!hi) return false;
        Ref y = getattr(self, n_y);
        if (!y) return false;
        Ref e = sub(hi.get(), y.get());
        if (!e) return false;
        if (!attr_set_item(self, n_err, i, e.get())) return false;
    }
    {
        Ref e = attr_item(self, n_err, i);
        if (!e) return false;
        Ref sq = power(e.get(), two);
        if (!sq) return false;
        if (!attr_set_item(self, n_loss, i, sq.get())) return false;
    }
    {
        Ref e = attr_item(self, n_err, i);
        if (!e) return false;
        Ref g = mul(two, e.get());
        if (!g) return false;
        if (!attr_set_item(self, n_lg, i, g.get())) return false;
    }
    {
        int pos = PyObject_RichCompareBool(z, zero, Py_GT);
        if (pos < 0) return false;
        if (!attr_set_item(self, n_dhzl, i, pos ? g_one_point_zero : g_zero_point_one)) return false;
    }
    {
        Ref g = lg_dhzl(self, i);
        if (!g) return false;
        Ref x2 = getattr(self, n_x);
        if (!x2) return false;
        Ref d = mul(g.get(), x2.get());
        if (!d) return false;
        if (!attr_set_item(self, n_dLdw, i, d.get())) return false;
    }
    return true;
}

// dLdwh[i][j] and wh[i][j] for every j.
bool update_recurrent(PyObject* self, Py_ssize_t i, Interrupts& sig) {
    {
        Ref amount_j = getattr(self, n_amount);
        if (!amount_j) return false;
        long long nj;
        if (!range_stop(amount_j.get(), nj)) return false;
        for (Py_ssize_t j = 0; j < nj; ++j) {
            if (!sig.tick()) return false;
            {
                Ref g = lg_dhzl(self, i);
                if (!g) return false;
                Ref m = attr_item(self, n_memory, j);
                if (!m) return false;
                Ref d = mul(g.get(), m.get());
                if (!d) return false;
                if (!attr_set_item2(self, n_dLdwh, i, j, d.get())) return false;
            }
            Ref w = attr_item2(self, n_wh, i, j);
            if (!w) return false;
            Ref lr = getattr(self, n_lr);
            if (!lr) return false;
            Ref d = attr_item2(self, n_dLdwh, i, j);
            if (!d) return false;
            Ref step = mul(lr.get(), d.get());
            if (!step) return false;
            Ref nw = sub(w.get(), step.get());
            if (!nw) return false;
            if (!attr_set_item2(self, n_wh, i, j, nw.get())) return false;
        }
    }
    return true;
}

// self.<w>[i] = descend(self.<w>[i], self.<grad>[i])
bool step_down(PyObject* self, Name& w, Name& grad, Py_ssize_t i) {
    Ref wi = attr_item(self, w, i);
    if (!wi) return false;
    Ref gi = attr_item(self, grad, i);
    if (!gi) return false;
    Ref nw = descend(self, wi.get(), gi.get());
    return nw && attr_set_item(self, w, i, nw.get());
}

// dLdb[i], then wx[i] and b[i] one gradient step down.
bool update_input(PyObject* self, Py_ssize_t i) {
    {
        Ref g = lg_dhzl(self, i);
        if (!g) return false;
        if (!attr_set_item(self, n_dLdb, i, g.get())) return false;
    }
    return step_down(self, n_wx, n_dLdw, i) && step_down(self, n_b, n_dLdb, i);
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
        Ref z;
        if (!neuron_input(self, i, sig, z)) return nullptr;
        if (!neuron_output(fn, self, i, z.get(), zero.get(), two.get())) return nullptr;
        if (!update_recurrent(self, i, sig) || !update_input(self, i)) return nullptr;
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

// print(label, value), where `value` is what a step computed (null: the step failed).
bool say_labeled(const char* label, const Ref& value) {
    if (!value) return false;
    Ref text = Ref::steal(PyUnicode_FromString(label));
    return text && say({text.get(), value.get()});
}

// h[k] for the neuron k of least loss.
Ref best_output(PyObject* self) {
    Ref h = getattr(self, n_h);
    if (!h) return {};
    Ref k = best_neuron(self);
    if (!k) return {};
    return item(h.get(), k.get());
}

// min(self.loss)
Ref least_loss(PyObject* self) {
    Ref loss = getattr(self, n_loss);
    if (!loss) return {};
    return call(b_min, {loss.get()});
}

// format(self.<name>[k], "") for the neuron k of least loss.
Ref best_of(PyObject* self, Name& name) {
    Ref all = getattr(self, name);
    if (!all) return {};
    Ref k = best_neuron(self);
    if (!k) return {};
    Ref v = item(all.get(), k.get());
    if (!v) return {};
    return format_default(v.get());
}

// The result lines: the best neuron's output, the target, the least loss and the weights.
bool print_result(PyObject* self) {
    if (!say_labeled("result: ", best_output(self))) return false;
    if (!say_labeled("target: ", getattr(self, n_y))) return false;
    if (!say_labeled("loss: ", least_loss(self))) return false;
    Ref f1 = best_of(self, n_wx);
    if (!f1) return false;
    Ref f2 = best_of(self, n_wh);
    if (!f2) return false;
    Ref line = Ref::steal(PyUnicode_FromFormat("weights: neuron: %U layer: %U", f1.get(), f2.get()));
    return line && say({line.get()});
}

// Asks whether to save, and writes [wx, b, wh] to the file named plus ".mem" on an exact "Y".
bool offer_to_save(Fn* fn, PyObject* self) {
    Ref prompt = Ref::steal(PyUnicode_FromString("Would you like to save as model? (Y/N): "));
    if (!prompt) return false;
    Ref answer = call(b_input, {prompt.get()});
    if (!answer) return false;
    Ref yes = Ref::steal(PyUnicode_FromString("Y"));
    if (!yes) return false;
    int eq = PyObject_RichCompareBool(answer.get(), yes.get(), Py_EQ);
    if (eq < 0) return false;
    if (eq) {
        Ref prompt2 = Ref::steal(PyUnicode_FromString("Filename: "));
        if (!prompt2) return false;
        Ref name = call(b_input, {prompt2.get()});
        if (!name) return false;
        Ref write = global(fn, n_write);
        if (!write) return false;
        Ref wx = getattr(self, n_wx);
        if (!wx) return false;
        Ref b = getattr(self, n_b);
        if (!b) return false;
        Ref wh = getattr(self, n_wh);
        if (!wh) return false;
        Ref data = list_of({wx.get(), b.get(), wh.get()});
        if (!data) return false;
        Ref ext = Ref::steal(PyUnicode_FromString(".mem"));
        if (!ext) return false;
        Ref file = add(name.get(), ext.get());
        if (!file) return false;
        Ref r = call(write.get(), {data.get(), file.get()});
        if (!r) return false;
    }
    return true;
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
    if (!print_result(self) || !offer_to_save(fn, self)) return nullptr;
    Py_RETURN_NONE;
}
const FnDef rnn_run_def = declare<&rnn_run_impl>("run", {P("self"), P("times")});

}  // namespace synaptra
