// lystra: lists in text files.
//
// Two formats:
//  * the separator format (writel/readl): items joined by ",", lists by ";"; everything reads
//    back as text.
//  * the statement format (write/read): "a = <printed form of the list>\nf=0". Reading parses
//    the file as data, never runs it: a sequence of NAME = LITERAL assignments (fast_parse.cpp,
//    else tree_read.cpp). Writing prints the list natively (print.cpp).
// Both writers build the whole text first and replace the file crash-safely (write.cpp).
#include "lystra.hpp"

#include <vector>

namespace lystra {

using rt::Args;
using rt::declare;
using rt::FnDef;
using rt::Interrupts;
using rt::KwOnly;
using rt::List;
using rt::P;
using rt::Str;
using rt::VarArgs;

namespace {

Name n_lists("lists");

// Whether str() of `o` is the host's own, running no Python code.
bool native_str(PyObject* o) {
    return PyUnicode_CheckExact(o) || PyFloat_CheckExact(o) || PyLong_CheckExact(o) || o == Py_None ||
           PyBool_Check(o);
}

// Whether `list` holds exactly the items `walked`, in order.
bool holds(PyObject* list, const std::vector<Ref>& walked) {
    if (PyList_GET_SIZE(list) != static_cast<Py_ssize_t>(walked.size())) return false;
    for (size_t i = 0; i < walked.size(); ++i)
        if (PyList_GET_ITEM(list, i) != walked[i].get()) return false;
    return true;
}

// The text of one argument of writel: str() of each item joined by ",". A list or tuple is
// walked by index, its size read again at each step (an item's str() may change it, and the
// text then follows the walk). Where no item's str() ran Python code, the list must hold at the
// end what was walked: only a signal handler (or another thread meanwhile) could have changed
// it, and the text would be part one state, part another.
Ref separator_text(PyObject* arg, PyObject* comma, Interrupts& poll) {
    Ref items = Ref::steal(PyList_New(0));
    if (!items) return {};
    auto add = [&](PyObject* item) {
        if (!poll.tick()) return false;
        if (PyUnicode_CheckExact(item)) return PyList_Append(items.get(), item) == 0;
        Ref s = Ref::steal(PyObject_Str(item));
        return s && PyList_Append(items.get(), s.get()) == 0;
    };
    if (PyList_Check(arg) || PyTuple_Check(arg)) {
        bool list = PyList_Check(arg), ran_code = false;
        std::vector<Ref> walked;
        for (Py_ssize_t i = 0; i < (list ? PyList_GET_SIZE(arg) : PyTuple_GET_SIZE(arg)); ++i) {
            Ref item = Ref::borrow(list ? PyList_GET_ITEM(arg, i) : PyTuple_GET_ITEM(arg, i));
            ran_code = ran_code || !native_str(item.get());
            if (!add(item.get())) return {};
            if (list) walked.push_back(std::move(item));
        }
        if (list && !ran_code && !holds(arg, walked)) {
            PyErr_SetString(PyExc_RuntimeError,
                            "writel: a list changed while it was being written (in a signal handler or "
                            "another thread); the file was left as it was");
            return {};
        }
    } else {
        Ref it = Ref::steal(PyObject_GetIter(arg));
        if (!it) return {};
        while (Ref item = Ref::steal(PyIter_Next(it.get())))
            if (!add(item.get())) return {};
        if (PyErr_Occurred()) return {};
    }
    return Ref::steal(PyUnicode_Join(comma, items.get()));
}

// writel(*lists, file): the separator format.
PyObject* writel_impl(Fn* fn, Args lists, Str file) {
    Ref comma = Ref::steal(PyUnicode_InternFromString(","));
    Ref semi = Ref::steal(PyUnicode_InternFromString(";"));
    Ref texts = Ref::steal(PyList_New(0));
    if (!comma || !semi || !texts) return nullptr;
    Interrupts poll(1u << 12);
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(lists.get()); ++k) {
        Ref text = separator_text(PyTuple_GET_ITEM(lists.get(), k), comma.get(), poll);
        if (!text || PyList_Append(texts.get(), text.get()) < 0) return nullptr;
    }
    // Each list text followed by ";", then one final ";" removed: a join.
    Ref text = Ref::steal(PyUnicode_Join(semi.get(), texts.get()));
    if (!text || !save_text(fn, file, text.get())) return nullptr;
    Py_RETURN_NONE;
}
const FnDef writel_def = declare<&writel_impl>("writel", {VarArgs("lists", "list"), KwOnly("file")}, nullptr,
                                               "writes lists to file can be read/loaded using lystra.read(file)");

// The separator format's text back as lists of strings.
Ref split_lists(PyObject* text) {
    Ref semi = Ref::steal(PyUnicode_FromString(";"));
    Ref comma = Ref::steal(PyUnicode_FromString(","));
    Ref empty = Ref::steal(PyUnicode_FromString(""));
    Ref strip[3] = {Ref::steal(PyUnicode_FromString("[")), Ref::steal(PyUnicode_FromString("]")),
                    Ref::steal(PyUnicode_FromString("'"))};
    Ref result = Ref::steal(PyList_New(0));
    if (!semi || !comma || !empty || !strip[0] || !strip[1] || !strip[2] || !result) return {};
    Ref pieces = Ref::steal(PyUnicode_Split(text, semi.get(), -1));
    if (!pieces) return {};
    Interrupts poll(1u << 12);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pieces.get()); ++i) {
        Ref parts = Ref::steal(PyUnicode_Split(PyList_GET_ITEM(pieces.get(), i), comma.get(), -1));
        if (!parts) return {};
        // Each part is replaced in place by its stripped form: the list is the inner list.
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(parts.get()); ++j) {
            if (!poll.tick()) return {};
            Ref part = Ref::borrow(PyList_GET_ITEM(parts.get(), j));
            for (Ref& ch : strip) {
                if (PyUnicode_Contains(part.get(), ch.get()) == 0) continue;
                part = Ref::steal(PyUnicode_Replace(part.get(), ch.get(), empty.get(), -1));
                if (!part) return {};
            }
            if (PyList_SetItem(parts.get(), j, part.release()) < 0) return {};
        }
        if (PyList_Append(result.get(), parts.get()) < 0) return {};
    }
    return result;
}

// readl(file): the separator format back as lists of strings.
PyObject* readl_impl(Fn* fn, Str file) {
    Ref mode = Ref::steal(PyUnicode_InternFromString("r"));
    if (!mode) return nullptr;
    Ref result;
    bool ok = with_open(fn, {file, mode.get()}, [&](PyObject* h) {
        Ref text;
        if (!read_all(h, text)) return false;
        result = split_lists(text.get());
        return bool(result);
    });
    return ok ? result.release() : nullptr;
}
const FnDef readl_def = declare<&readl_impl>("readl", {P("file")}, "list",
                                             "returns list with lists or strings if lists were not what was saved");

// write(data, file): the statement format.
PyObject* write_impl(Fn* fn, List data, Str file) {
    Ref text = statement_text(data);
    if (!text || !save_text(fn, file, text.get())) return nullptr;
    Py_RETURN_NONE;
}
const FnDef write_def = declare<&write_impl>("write", {P("data"), P("file")}, nullptr, "write list to file");

// read(file): the statement format, parsed as data.
PyObject* read_impl(Fn* fn, Str file) {
    Ref result;
    bool ok = with_open(fn, {file}, [&](PyObject* h) {
        Ref text;
        if (!read_all(h, text)) return false;
        Ref a;
        if (!read_statements(text.get(), file, a)) return false;
        if (!a) {
            PyErr_SetObject(PyExc_KeyError, Ref::steal(PyUnicode_FromString("a")).get());
            return false;
        }
        if (a.get() != Py_None && !PyList_CheckExact(a.get())) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(a.get())->tp_name);
            return false;
        }
        result = a;
        return true;
    });
    return ok ? result.release() : nullptr;
}
const FnDef read_def = declare<&read_impl>("read", {P("file")}, "list", "read list from file");


PyModuleDef lystra_module = {PyModuleDef_HEAD_INIT, "lystra", "helt klar ikke en knockoff af pickle", -1,
                             nullptr};

// writel's annotations list `file` before `lists`, unlike its parameters.
bool annotations_in_order(PyObject* m) {
    Ref writel = Ref::steal(PyObject_GetAttrString(m, "writel"));
    Ref ann = writel ? Ref::steal(PyObject_GetAttrString(writel.get(), "__annotations__")) : Ref();
    if (!ann || !PyDict_Check(ann.get())) return false;
    Ref list_ann = Ref::borrow(PyDict_GetItemWithError(ann.get(), n_lists.get()));
    return list_ann && PyDict_DelItem(ann.get(), n_lists.get()) == 0 &&
           PyDict_SetItem(ann.get(), n_lists.get(), list_ann.get()) == 0;
}

}  // namespace

}  // namespace lystra

PyMODINIT_FUNC PyInit_lystra() {
    using namespace lystra;
    return rt::guarded_init("lystra", []() -> PyObject* {
        // What the functions import, once: never through a caller's __import__ later.
        if (!load_os() || !load_tree_types()) return nullptr;
        Ref m = Ref::steal(rt::make_module(&lystra_module, {&writel_def, &readl_def, &write_def, &read_def}));
        if (!m || !annotations_in_order(m.get())) return nullptr;
        return m.release();
    });
}
