// The statement format's text: "a = " + str(list) + "\nf=0", the printed form built natively.
//
// str(list) for lists of floats, ints, strings, None and booleans, nested lists included, byte
// for byte as the host prints them: each float as repr() gives it (the shortest digits that
// read back to the same double, laid out by the host's rules). Anything else hands the whole
// list to the host, before any code of its own could have run, so the result never differs.
//
// The printer checks for signals as it goes (Ctrl-C), and a signal handler is Python code that
// may change the lists being printed (so may another thread while a handler runs). Everything
// printed is recorded, and once a check has run, held: at the end the lists must still hold
// exactly what was printed, so the text is the printed form of one state of the list (the
// current one); otherwise RuntimeError, and nothing is written.
#include "lystra.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace lystra {

namespace {

char* put(char* out, const char* s, int n) { return static_cast<char*>(std::memcpy(out, s, n)) + n; }

// digits (nd of them) times 10**(decpt - nd), laid out as repr() does: the exponent form below
// 1e-4 and from 1e16, else positional with at least one digit after the point.
char* layout(char* out, const char* digits, int nd, int decpt) {
    if (decpt <= -4 || decpt > 16) {
        int e = decpt - 1;
        *out++ = digits[0];
        if (nd > 1) {
            *out++ = '.';
            out = put(out, digits + 1, nd - 1);
        }
        *out++ = 'e';
        *out++ = e < 0 ? '-' : '+';
        int a = e < 0 ? -e : e;
        if (a >= 100) *out++ = static_cast<char>('0' + a / 100);
        *out++ = static_cast<char>('0' + a / 10 % 10);
        *out++ = static_cast<char>('0' + a % 10);
        return out;
    }
    if (decpt <= 0) {
        out = put(out, "0.", 2);
        for (int i = 0; i < -decpt; ++i) *out++ = '0';
        return put(out, digits, nd);
    }
    if (decpt >= nd) {
        out = put(out, digits, nd);
        for (int i = nd; i < decpt; ++i) *out++ = '0';
        return put(out, ".0", 2);
    }
    out = put(out, digits, decpt);
    *out++ = '.';
    return put(out, digits + decpt, nd - decpt);
}

}  // namespace

char* float_repr(char* out, double x) {
    if (std::isnan(x)) return put(out, "nan", 3);
    if (std::isinf(x)) return x < 0 ? put(out, "-inf", 4) : put(out, "inf", 3);
    // Shortest round-trip digits in scientific form: [-]d[.ddd]e(+|-)dd[d].
    char sci[32];
    char* end = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific).ptr;
    const char* p = sci;
    if (*p == '-') {
        *out++ = '-';
        ++p;
    }
    char digits[20];
    int nd = 0;
    for (; *p != 'e'; ++p)
        if (*p != '.') digits[nd++] = *p;
    ++p;
    bool neg_exp = *p++ == '-';
    int e = 0;
    for (; p < end; ++p) e = e * 10 + (*p - '0');
    // The value is 0.d1d2...dn times 10**decpt.
    return layout(out, digits, nd, (neg_exp ? -e : e) + 1);
}

namespace {

class ListPrinter {
public:
    enum Outcome { Printed, Other, Failed };

    explicit ListPrinter(std::string& out) : out_(out) {}
    ~ListPrinter() {
        if (holding_)
            for (PyObject* o : seen_) Py_DECREF(o);
    }
    ListPrinter(const ListPrinter&) = delete;
    ListPrinter& operator=(const ListPrinter&) = delete;

    // Appends str(list) to the text. Other: some item needs the host (nothing observable
    // happened; the text is left partly appended). Failed: an error is set (the host's str()
    // would raise it too, a signal handler's exception, or the list changed meanwhile).
    Outcome print(PyObject* list) {
        // As str() and list's repr count their nesting.
        if (Py_EnterRecursiveCall(" while getting the str of an object")) return Failed;
        record(list);
        Outcome r = one_list(list);
        Py_LeaveRecursiveCall();
        if (r != Printed || !holding_) return r;  // no check ran: no Python code ran
        size_t item = 1, size = 0;  // seen_[0] is `list` itself
        int same = unchanged(list, item, size);
        if (same < 0) return Failed;
        if (same && item == seen_.size() && size == sizes_.size()) return Printed;
        PyErr_SetString(PyExc_RuntimeError,
                        "write: the list changed while it was being written (in a signal handler or "
                        "another thread); the file was left as it was");
        return Failed;
    }

private:
    static constexpr unsigned kPeriod = 1u << 14;  // items between signal checks
    std::string& out_;
    rt::Interrupts poll_{rt::Interrupts::kCalls};  // checks whenever ticked
    unsigned since_check_ = 0;
    // What was printed, in order: every list visited and every item printed (seen_), and for
    // each list visited the number of items printed (-1: printed as [...]) (sizes_). Owned
    // references from the first signal check on (holding_).
    std::vector<PyObject*> seen_;
    std::vector<Py_ssize_t> sizes_;
    bool holding_ = false;

    void record(PyObject* o) {
        seen_.push_back(o);
        if (holding_) Py_INCREF(o);
    }

    // Every few thousand items a check for signals; before the first, everything printed so
    // far (alive: no Python code has run yet) is held, so that nothing it removes is freed.
    bool check() {
        if (++since_check_ < kPeriod) return true;
        since_check_ = 0;
        if (!holding_) {
            for (PyObject* o : seen_) Py_INCREF(o);
            holding_ = true;
        }
        return poll_.tick();
    }

    Outcome one_list(PyObject* list) {
        if (PyList_GET_SIZE(list) == 0) {
            sizes_.push_back(0);
            out_ += "[]";
            return Printed;
        }
        int seen = Py_ReprEnter(list);
        if (seen != 0) {
            if (seen < 0) return Failed;
            sizes_.push_back(-1);
            out_ += "[...]";
            return Printed;
        }
        Outcome r = Printed;
        if (Py_EnterRecursiveCall(" while getting the repr of an object")) {
            r = Failed;
        } else {
            out_ += '[';
            size_t slot = sizes_.size();  // in the order the lists are entered
            sizes_.push_back(0);
            // The size is read at every step: a signal handler may change the list.
            Py_ssize_t i = 0;
            for (; r == Printed && i < PyList_GET_SIZE(list); ++i) {
                if (!check()) {
                    r = Failed;
                    break;
                }
                if (i >= PyList_GET_SIZE(list)) break;
                if (i > 0) out_ += ", ";
                PyObject* o = PyList_GET_ITEM(list, i);
                record(o);
                r = item(o);
            }
            out_ += ']';
            sizes_[slot] = i;
            Py_LeaveRecursiveCall();
        }
        Py_ReprLeave(list);
        return r;
    }

    Outcome item(PyObject* o) {
        if (PyFloat_CheckExact(o)) {
            char buf[40];
            out_.append(buf, float_repr(buf, PyFloat_AS_DOUBLE(o)));
            return Printed;
        }
        if (PyLong_CheckExact(o)) return integer(o);
        if (PyUnicode_CheckExact(o)) return host_repr(o);
        if (o == Py_None) return out_ += "None", Printed;
        if (o == Py_True) return out_ += "True", Printed;
        if (o == Py_False) return out_ += "False", Printed;
        if (PyList_CheckExact(o)) {
            Ref keep = Ref::borrow(o);  // a signal handler may drop it from its list
            return one_list(o);
        }
        return Other;
    }

    Outcome integer(PyObject* o) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow) return host_repr(o);
        if (v == -1 && PyErr_Occurred()) return Failed;
        char buf[24];
        out_.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
        return Printed;
    }

    // repr() of an exact int or str: the type's own, which runs no Python code (its nesting
    // level is the one entered for the list's items).
    Outcome host_repr(PyObject* o) {
        Ref r = Ref::steal(Py_TYPE(o)->tp_repr(o));
        if (!r) return Failed;
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(r.get(), &n);
        if (!s) return Failed;
        out_.append(s, static_cast<size_t>(n));
        return Printed;
    }

    // Whether `list` and the lists in it still hold what was printed: the same walk as the
    // printer's over the record (seen_[item...], sizes_[size...]), 1 or 0; -1 with an error.
    // Runs no Python code, and descends only into lists the printer descended into.
    int unchanged(PyObject* list, size_t& item, size_t& size) {
        if (size >= sizes_.size()) return 0;
        Py_ssize_t printed = sizes_[size++];
        if (PyList_GET_SIZE(list) == 0) return printed == 0;
        int seen = Py_ReprEnter(list);
        if (seen != 0) return seen < 0 ? -1 : printed == -1;
        int same = PyList_GET_SIZE(list) == printed;
        for (Py_ssize_t i = 0; same == 1 && i < PyList_GET_SIZE(list); ++i) {
            PyObject* o = PyList_GET_ITEM(list, i);
            same = item < seen_.size() && seen_[item++] == o;
            if (same && PyList_CheckExact(o)) same = unchanged(o, item, size);
        }
        Py_ReprLeave(list);
        return same;
    }
};

}  // namespace

Ref statement_text(PyObject* data) {
    static const char head[] = "a = ", tail[] = "\nf=0";
    try {
        std::string text;
        text.reserve(static_cast<size_t>(PyList_GET_SIZE(data)) * 22 + 16);
        text += head;
        ListPrinter::Outcome got = ListPrinter(text).print(data);
        if (got == ListPrinter::Failed) return {};
        if (got == ListPrinter::Printed) {
            text += tail;
            return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return {};
    } catch (const std::length_error&) {
        PyErr_NoMemory();
        return {};
    }
    // Through the host: format(data, "") is str(data) for a list.
    Ref printed = rt::format_plain(data);
    if (!printed) return {};
    return Ref::steal(PyUnicode_FromFormat("%s%U%s", head, printed.get(), tail));
}

}  // namespace lystra
