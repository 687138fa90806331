// synaptra: the word-level language model RNNLM_HYBRID.
#include "synaptra.hpp"

namespace synaptra {

// ---------------------------------------------------------------------------
// RNNLM_HYBRID
// ---------------------------------------------------------------------------

// read(directory + suffix)[index] (index < 0: the whole list), noting the file on failure.
Ref read_model_file(Fn* fn, PyObject* dir, const char* suffix, Py_ssize_t index) {
    Ref tail = Ref::steal(PyUnicode_FromString(suffix));
    if (!tail) return nullptr;
    Ref file = add(dir, tail.get());
    if (!file) return nullptr;
    Ref data = read_file(fn, "model file", file.get());
    if (!data) return nullptr;
    if (index < 0) return data;
    Ref r = item(data.get(), index);
    if (!r) note_file("model file", file.get());
    return r;
}

PyObject* lm_init_impl(Fn* fn, Obj self, Int vocab_size, Str dictionary, Int veclength, Str load_vocab, Int seed,
                       Int neurons, double lr) {
    if (!super_init(b_super, g_lm_class, self)) return nullptr;
    {
        Ref g = make_generator(fn, seed, veclength);
        if (!g) return nullptr;
        if (!setattr(self, n_genrandd, g.get())) return nullptr;
    }
    {
        Ref g = make_generator(fn, seed, neurons);
        if (!g) return nullptr;
        if (!setattr(self, n_genrandn, g.get())) return nullptr;
    }
    if (!setattr(self, n_warm, Py_False)) return nullptr;
    {
        Ref rate = flt(lr);
        if (!rate) return nullptr;
        if (!setattr(self, n_lr, rate.get())) return nullptr;
    }
    {
        Ref words = Ref::steal(PyList_New(0));
        if (!words) return nullptr;
        if (!setattr(self, n_words, words.get())) return nullptr;
    }
    Ref no = Ref::steal(PyUnicode_FromString("no"));
    if (!no) return nullptr;
    int ne = PyObject_RichCompareBool(load_vocab, no.get(), Py_NE);
    if (ne < 0) return nullptr;
    if (ne) {
        struct Step { Name* attr; const char* suffix; Py_ssize_t index; };
        const Step steps[] = {
            {&n_embedings, "/embed.mem", -1}, {&n_vocabL, "/info.meta", 0},     {&n_vecL, "/info.meta", 1},
            {&n_neurons, "/info.meta", 2},    {&n_bias, "/bias.mem", -1},       {&n_lhweights, "/lhweights.mem", -1},
            {&n_lweights, "/lweights.mem", -1}, {&n_dictionary, "/dict.mem", -1}, {&n_who, "/who.mem", -1},
            {&n_bo, "/bo.mem", -1},           {&n_ht, "/info.meta", 3},
        };
        for (const Step& s : steps) {
            Ref val = read_model_file(fn, load_vocab, s.suffix, s.index);
            if (!val) return nullptr;
            if (!setattr(self, *s.attr, val.get())) return nullptr;
        }
        Ref emb = getattr(self, n_embedings);
        if (!emb) return nullptr;
        if (!say({emb.get()})) return nullptr;
        Py_RETURN_NONE;
    }
    if (!setattr(self, n_neurons, neurons)) return nullptr;
    UntrackedRows untracked;
    {
        Ref m = draw_matrix(self, n_genrandd, vocab_size, veclength, untracked);
        if (!m) return nullptr;
        if (!setattr(self, n_embedings, m.get())) return nullptr;
    }
    {
        Ref m = draw_matrix(self, n_genrandd, neurons, veclength, untracked);
        if (!m) return nullptr;
        if (!setattr(self, n_lweights, m.get())) return nullptr;
    }
    {
        Ref m = draw_matrix(self, n_genrandn, neurons, neurons, untracked);
        if (!m) return nullptr;
        if (!setattr(self, n_lhweights, m.get())) return nullptr;
    }
    {
        Ref z = zeros(neurons);
        if (!z) return nullptr;
        if (!setattr(self, n_bias, z.get())) return nullptr;
    }
    {
        Ref m = draw_matrix(self, n_genrandn, vocab_size, neurons, untracked);
        if (!m) return nullptr;
        if (!setattr(self, n_who, m.get())) return nullptr;
    }
    {
        Ref z = zeros(vocab_size);
        if (!z) return nullptr;
        if (!setattr(self, n_bo, z.get())) return nullptr;
    }
    if (!setattr(self, n_vocabL, vocab_size)) return nullptr;
    if (!setattr(self, n_vecL, veclength)) return nullptr;
    {
        Ref words = read_file(fn, "vocabulary file", dictionary);
        if (!words) return nullptr;
        if (!setattr(self, n_dictionary, words.get())) return nullptr;
    }
    {
        Ref z = zeros(neurons);
        if (!z) return nullptr;
        if (!setattr(self, n_ht, z.get())) return nullptr;
    }
    Py_RETURN_NONE;
}
const FnDef lm_init_def = declare<&lm_init_impl>("__init__",
                                                 {P("self"), P("vocab_size"), P("dictionary"),
                                                  P("veclength", def_int(32)), P("load_vocab", def_str("no")),
                                                  P("seed", def_int(564963)), P("neurons", def_int(128)),
                                                  P("lr", def_float(0.001))});

PyObject* lm_warmup_impl(Fn*, Obj self, Str sentence) {
    Ref warm = getattr(self, n_warm);
    if (!warm) return nullptr;
    // warm != True with the host's comparison (no identity shortcut), then its truth value.
    Ref ne = Ref::steal(PyObject_RichCompare(warm.get(), Py_True, Py_NE));
    if (!ne) return nullptr;
    int cold = PyObject_IsTrue(ne.get());
    if (cold < 0) return nullptr;
    if (!cold) {
        PyErr_SetString(PyExc_Exception, "Attempted double warmup dont fucking do this!");
        return nullptr;
    }
    Ref msg = Ref::steal(PyUnicode_FromString("Warming Model for use!"));
    if (!msg) return nullptr;
    if (!say({msg.get()})) return nullptr;
    if (!setattr(self, n_warm, Py_True)) return nullptr;
    Ref sep = Ref::steal(PyUnicode_FromString(" "));
    if (!sep) return nullptr;
    Ref words = Ref::steal(PyUnicode_Split(sentence, sep.get(), -1));
    if (!words) return nullptr;
    if (!setattr(self, n_words, words.get())) return nullptr;
    Ref reply = Ref::steal(PyList_New(0));
    if (!reply) return nullptr;
    if (!setattr(self, n_reply, reply.get())) return nullptr;
    Py_RETURN_NONE;
}
const FnDef lm_warmup_def = declare<&lm_warmup_impl>("warmup", {P("self"), P("sentence")}, nullptr,
                                                     "use only once!!!");

PyObject* lm_getstuff_impl(Fn*, Obj self, Str word) {
    Ref d = getattr(self, n_dictionary);
    if (!d) return nullptr;
    return call(g_list_index, {d.get(), word}).release();
}
const FnDef lm_getstuff_def = declare<&lm_getstuff_impl>("__getstuff", {P("self"), P("word")});

PyObject* lm_activate_impl(Fn* fn, Obj self, Obj indexa, Obj target) {
    Ref r = call_global(fn, n_activate_step, {self, indexa, target});
    if (!r) return nullptr;
    Py_RETURN_NONE;
}
const FnDef lm_activate_def = declare<&lm_activate_impl>("__activate", {P("self"), P("indexa"), P("target")});

// self.__getstuff(word)
Ref index_of(PyObject* self, PyObject* word) {
    Ref m = getattr(self, n_getstuff);
    if (!m) return nullptr;
    return call(m.get(), {word});
}

// self.__activate(a, b)
bool activate(PyObject* self, PyObject* a, PyObject* b) {
    Ref m = getattr(self, n_activate);
    return m && call(m.get(), {a, b});
}

PyObject* lm_run_impl(Fn*, Obj self, Int times, Str f, Str s) {
    long long steps;
    if (!range_stop(times, steps)) return nullptr;
    Interrupts sig(Interrupts::kCalls);  // every step calls the model's methods
    if (PyUnicode_GET_LENGTH(f) != 0 && PyUnicode_GET_LENGTH(s) != 0) {
        for (long long t = 0; t < steps; ++t) {
            if (!sig.tick()) return nullptr;
            Ref a = index_of(self, f);
            if (!a) return nullptr;
            Ref b = index_of(self, s);
            if (!b) return nullptr;
            if (!activate(self, a.get(), b.get())) return nullptr;
        }
        Py_RETURN_NONE;
    }
    // Sentence mode. `last` is the loop variable of the steps, kept across rounds.
    Py_ssize_t last = -1;
    bool have_last = false;
    for (long long t = 0; t < steps; ++t) {
        if (!sig.tick()) return nullptr;
        Py_ssize_t m;
        {
            Ref words = getattr(self, n_words);
            if (!words) return nullptr;
            Py_ssize_t len = PyObject_Size(words.get());
            if (len < 0) return nullptr;
            m = len - 1;
        }
        for (Py_ssize_t i = 0; i < m; ++i) {
            if (!sig.tick()) return nullptr;
            last = i;
            have_last = true;
            Ref w1 = attr_item(self, n_words, i);
            if (!w1) return nullptr;
            Ref a = index_of(self, w1.get());
            if (!a) return nullptr;
            Ref w2 = attr_item(self, n_words, i + 1);
            if (!w2) return nullptr;
            Ref b = index_of(self, w2.get());
            if (!b) return nullptr;
            if (!activate(self, a.get(), b.get())) return nullptr;
        }
        Ref reply = getattr(self, n_reply);
        if (!reply) return nullptr;
        Ref insert = Ref::steal(PyObject_GetAttr(reply.get(), n_insert.get()));
        if (!insert) return nullptr;
        Ref dictionary = getattr(self, n_dictionary);
        if (!dictionary) return nullptr;
        Ref getstuff = getattr(self, n_getstuff);
        if (!getstuff) return nullptr;
        Ref words = getattr(self, n_words);
        if (!words) return nullptr;
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
        Ref w = item(words.get(), last);
        if (!w) return nullptr;
        Ref idx = call(getstuff.get(), {w.get()});
        if (!idx) return nullptr;
        Ref entry = item(dictionary.get(), idx.get());
        if (!entry) return nullptr;
        Ref zero = small_int(0);
        if (!zero) return nullptr;
        Ref r = call(insert.get(), {zero.get(), entry.get()});
        if (!r) return nullptr;
        {
            Ref now = getattr(self, n_reply);
            if (!now) return nullptr;
            Ref args = Ref::steal(PySequence_Tuple(now.get()));
            if (!args) return nullptr;
            Ref p = Ref::steal(PyObject_Call(b_print, args.get(), nullptr));
            if (!p) return nullptr;
        }
        {
            Ref now = getattr(self, n_reply);
            if (!now) return nullptr;
            Ref r2 = Ref::steal(PyObject_CallMethodNoArgs(now.get(), n_clear.get()));
            if (!r2) return nullptr;
        }
    }
    Py_RETURN_NONE;
}
const FnDef lm_run_def = declare<&lm_run_impl>("run",
                                               {P("self"), P("times"), P("f", def_str("")), P("s", def_str(""))});

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

PyObject* lm_train_impl(Fn* fn, Obj self, Int turns) {
    long long steps;
    if (!range_stop(turns, steps)) return nullptr;
    Ref label1 = Ref::steal(PyUnicode_FromString("word1:"));
    if (!label1) return nullptr;
    Ref label2 = Ref::steal(PyUnicode_FromString("target:"));
    if (!label2) return nullptr;
    Interrupts sig(Interrupts::kCalls);  // every step calls the model's methods
    for (long long t = 0; t < steps; ++t) {
        if (!sig.tick()) return nullptr;
        long long nj;
        {
            Ref vl = getattr(self, n_vocabL);
            if (!vl) return nullptr;
            if (!range_stop(vl.get(), nj)) return nullptr;
        }
        for (long long j = 0; j < nj; ++j) {
            if (!sig.tick()) return nullptr;
            Ref J = Ref::steal(PyLong_FromLongLong(j));
            if (!J) return nullptr;
            long long nk;
            {
                Ref vl = getattr(self, n_vocabL);
                if (!vl) return nullptr;
                if (!range_stop(vl.get(), nk)) return nullptr;
            }
            for (long long k = 0; k < nk; ++k) {
                if (!sig.tick()) return nullptr;
                Ref K = Ref::steal(PyLong_FromLongLong(k));
                if (!K) return nullptr;
                if (!activate(self, J.get(), K.get())) return nullptr;
                Ref wj = attr_item(self, n_dictionary, static_cast<Py_ssize_t>(j));
                if (!wj) return nullptr;
                Ref wk = attr_item(self, n_dictionary, static_cast<Py_ssize_t>(k));
                if (!wk) return nullptr;
                if (!say({label1.get(), wj.get(), label2.get(), wk.get()})) return nullptr;
            }
        }
    }
    if (!ensure_save_dir()) return nullptr;
    struct Save { Name* attr; const char* file; };
    const Save saves[] = {
        {&n_embedings, "test/embed.mem"}, {nullptr, "test/info.meta"},     {&n_bias, "test/bias.mem"},
        {&n_lhweights, "test/lhweights.mem"}, {&n_lweights, "test/lweights.mem"}, {&n_dictionary, "test/dict.mem"},
        {&n_who, "test/who.mem"},         {&n_bo, "test/bo.mem"},
    };
    for (const Save& s : saves) {
        Ref write = global(fn, n_write);
        if (!write) return nullptr;
        Ref data;
        if (s.attr) {
            data = getattr(self, *s.attr);
        } else {
            Ref a = getattr(self, n_vocabL);
            if (!a) return nullptr;
            Ref b = getattr(self, n_vecL);
            if (!b) return nullptr;
            Ref c = getattr(self, n_neurons);
            if (!c) return nullptr;
            Ref d = getattr(self, n_ht);
            if (!d) return nullptr;
            data = list_of({a.get(), b.get(), c.get(), d.get()});
        }
        if (!data) return nullptr;
        Ref file = Ref::steal(PyUnicode_FromString(s.file));
        if (!file) return nullptr;
        Ref r = call(write.get(), {data.get(), file.get()});
        if (!r) return nullptr;
    }
    {
        Ref loss = getattr(self, n_loss);
        if (!loss) return nullptr;
        if (!say({loss.get()})) return nullptr;
    }
    {
        Ref d = getattr(self, n_dictionary);
        if (!d) return nullptr;
        Ref nt = getattr(self, n_nexttoken);
        if (!nt) return nullptr;
        Ref w = item(d.get(), nt.get());
        if (!w) return nullptr;
        if (!say({w.get()})) return nullptr;
    }
    Py_RETURN_NONE;
}
const FnDef lm_train_def = declare<&lm_train_impl>("train", {P("self"), P("turns")});

}  // namespace synaptra
