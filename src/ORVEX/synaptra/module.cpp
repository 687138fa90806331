// synaptra: the module body.
#include "synaptra.hpp"

using namespace synaptra;

namespace {

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
