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

// The eight model files of the directory `dir`, in the model's order, then its embeddings
// printed.
bool load_model(Fn* fn, PyObject* self, PyObject* dir) {
    struct Step { Name* attr; const char* suffix; Py_ssize_t index; };
    const Step steps[] = {
        {&n_embedings, "/embed.mem", -1}, {&n_vocabL, "/info.meta", 0},     {&n_vecL, "/info.meta", 1},
        {&n_neurons, "/info.meta", 2},    {&n_bias, "/bias.mem", -1},       {&n_lhweights, "/lhweights.mem", -1},
        {&n_lweights, "/lweights.mem", -1}, {&n_dictionary, "/dict.mem", -1}, {&n_who, "/who.mem", -1},
        {&n_bo, "/bo.mem", -1},           {&n_ht, "/info.meta", 3},
    };
    for (const Step& s : steps)
        if (!set_result(self, *s.attr, read_model_file(fn, dir, s.suffix, s.index))) return false;
    Ref emb = getattr(self, n_embedings);
    return emb && say({emb.get()});
}

// A fresh model: weights drawn from the two generators, zero biases, the vocabulary read.
bool fresh_model(Fn* fn, PyObject* self, PyObject* vocab_size, PyObject* dictionary, PyObject* veclength,
                 PyObject* neurons) {
    if (!setattr(self, n_neurons, neurons)) return false;
    UntrackedRows untracked;
    return set_result(self, n_embedings, draw_matrix(self, n_genrandd, vocab_size, veclength, untracked)) &&
           set_result(self, n_lweights, draw_matrix(self, n_genrandd, neurons, veclength, untracked)) &&
           set_result(self, n_lhweights, draw_matrix(self, n_genrandn, neurons, neurons, untracked)) &&
           set_result(self, n_bias, zeros(neurons)) &&
           set_result(self, n_who, draw_matrix(self, n_genrandn, vocab_size, neurons, untracked)) &&
           set_result(self, n_bo, zeros(vocab_size)) && setattr(self, n_vocabL, vocab_size) &&
           setattr(self, n_vecL, veclength) &&
           set_result(self, n_dictionary, read_file(fn, "vocabulary file", dictionary)) &&
           set_result(self, n_ht, zeros(neurons));
}

PyObject* lm_init_impl(Fn* fn, Obj self, Int vocab_size, Str dictionary, Int veclength, Str load_vocab, Int seed,
                       Int neurons, double lr) {
    if (!super_init(b_super, g_lm_class, self)) return nullptr;
    if (!set_result(self, n_genrandd, make_generator(fn, seed, veclength))) return nullptr;
    if (!set_result(self, n_genrandn, make_generator(fn, seed, neurons))) return nullptr;
    if (!setattr(self, n_warm, Py_False)) return nullptr;
    if (!set_result(self, n_lr, flt(lr))) return nullptr;
    if (!set_result(self, n_words, Ref::steal(PyList_New(0)))) return nullptr;
    Ref no = Ref::steal(PyUnicode_FromString("no"));
    if (!no) return nullptr;
    int ne = PyObject_RichCompareBool(load_vocab, no.get(), Py_NE);
    if (ne < 0) return nullptr;
    bool made =
        ne ? load_model(fn, self, load_vocab) : fresh_model(fn, self, vocab_size, dictionary, veclength, neurons);
    if (!made) return nullptr;
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

// One round of sentence mode: each consecutive pair of warm-up words stepped. `last` is the
// loop variable of the steps (kept across rounds), `m` the number of pairs there were.
bool sentence_round(PyObject* self, Interrupts& sig, Py_ssize_t& last, bool& have_last, Py_ssize_t& m) {
    {
        Ref words = getattr(self, n_words);
        if (!words) return false;
        Py_ssize_t len = PyObject_Size(words.get());
        if (len < 0) return false;
        m = len - 1;
    }
    for (Py_ssize_t i = 0; i < m; ++i) {
        if (!sig.tick()) return false;
        last = i;
        have_last = true;
        Ref w1 = attr_item(self, n_words, i);
        if (!w1) return false;
        Ref a = index_of(self, w1.get());
        if (!a) return false;
        Ref w2 = attr_item(self, n_words, i + 1);
        if (!w2) return false;
        Ref b = index_of(self, w2.get());
        if (!b) return false;
        if (!activate(self, a.get(), b.get())) return false;
    }
    return true;
}

// The line after a round: the word predicted after the last step goes to the reply's front,
// and the reply is printed and cleared.
bool reply_line(PyObject* self, Py_ssize_t last, bool have_last, Py_ssize_t m) {
    Ref reply = getattr(self, n_reply);
    if (!reply) return false;
    Ref insert = Ref::steal(PyObject_GetAttr(reply.get(), n_insert.get()));
    if (!insert) return false;
    Ref dictionary = getattr(self, n_dictionary);
    if (!dictionary) return false;
    Ref getstuff = getattr(self, n_getstuff);
    if (!getstuff) return false;
    Ref words = getattr(self, n_words);
    if (!words) return false;
    if (!have_last) {
        // With fewer than two warm-up words no step was made: there is no word to
        // start the line with. Nothing has been changed at this point. Deliberately a
        // clear ValueError rather than a failure deep in the line-building.
        PyErr_Format(PyExc_ValueError,
                     "run() in sentence mode needs at least two warm-up words, the model has %zd; "
                     "warm it up with a longer sentence or pass a word pair as f and s",
                     m + 1);
        return false;
    }
    Ref w = item(words.get(), last);
    if (!w) return false;
    Ref idx = call(getstuff.get(), {w.get()});
    if (!idx) return false;
    Ref entry = item(dictionary.get(), idx.get());
    if (!entry) return false;
    Ref zero = small_int(0);
    if (!zero) return false;
    Ref r = call(insert.get(), {zero.get(), entry.get()});
    if (!r) return false;
    {
        Ref now = getattr(self, n_reply);
        if (!now) return false;
        Ref args = Ref::steal(PySequence_Tuple(now.get()));
        if (!args) return false;
        Ref p = Ref::steal(PyObject_Call(b_print, args.get(), nullptr));
        if (!p) return false;
    }
    {
        Ref now = getattr(self, n_reply);
        if (!now) return false;
        Ref r2 = Ref::steal(PyObject_CallMethodNoArgs(now.get(), n_clear.get()));
        if (!r2) return false;
    }
    return true;
}

PyObject* lm_run_impl(Fn*, Obj self, Int times, Str f, Str s) {
    long long steps;
    if (!range_stop(times, steps)) return nullptr;
    Interrupts sig(Interrupts::kCalls);  // every step calls the model's methods
    if (PyUnicode_GET_LENGTH(f.get()) != 0 && PyUnicode_GET_LENGTH(s.get()) != 0) {
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
        if (!sentence_round(self, sig, last, have_last, m) || !reply_line(self, last, have_last, m)) return nullptr;
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

// [vocabL, vecL, neurons, ht]: the model's info file.
Ref info_of(PyObject* self) {
    Ref a = getattr(self, n_vocabL);
    if (!a) return {};
    Ref b = getattr(self, n_vecL);
    if (!b) return {};
    Ref c = getattr(self, n_neurons);
    if (!c) return {};
    Ref d = getattr(self, n_ht);
    if (!d) return {};
    return list_of({a.get(), b.get(), c.get(), d.get()});
}

// The model directory written into "test" (made when missing): its eight files in order.
bool save_model(Fn* fn, PyObject* self) {
    if (!ensure_save_dir()) return false;
    struct Save { Name* attr; const char* file; };
    const Save saves[] = {
        {&n_embedings, "test/embed.mem"}, {nullptr, "test/info.meta"},     {&n_bias, "test/bias.mem"},
        {&n_lhweights, "test/lhweights.mem"}, {&n_lweights, "test/lweights.mem"}, {&n_dictionary, "test/dict.mem"},
        {&n_who, "test/who.mem"},         {&n_bo, "test/bo.mem"},
    };
    for (const Save& s : saves) {
        Ref write = global(fn, n_write);
        if (!write) return false;
        Ref data;
        if (s.attr) {
            data = getattr(self, *s.attr);
        } else {
            data = info_of(self);
        }
        if (!data) return false;
        Ref file = Ref::steal(PyUnicode_FromString(s.file));
        if (!file) return false;
        Ref r = call(write.get(), {data.get(), file.get()});
        if (!r) return false;
    }
    return true;
}

// The last loss and the last predicted word.
bool print_outcome(PyObject* self) {
    {
        Ref loss = getattr(self, n_loss);
        if (!loss) return false;
        if (!say({loss.get()})) return false;
    }
    {
        Ref d = getattr(self, n_dictionary);
        if (!d) return false;
        Ref nt = getattr(self, n_nexttoken);
        if (!nt) return false;
        Ref w = item(d.get(), nt.get());
        if (!w) return false;
        if (!say({w.get()})) return false;
    }
    return true;
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
    if (!save_model(fn, self) || !print_outcome(self)) return nullptr;
    Py_RETURN_NONE;
}
const FnDef lm_train_def = declare<&lm_train_impl>("train", {P("self"), P("turns")});

}  // namespace synaptra
