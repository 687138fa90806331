// lystra: lists in text files.
//
// Two formats:
//  * the separator format (writel/readl): items joined by ",", lists by ";";
//    everything reads back as text.
//  * the statement format (write/read): "a = <printed form of the list>\nf=0".
//    Reading parses the file as data, never runs it: a sequence of NAME = LITERAL
//    assignments.  A native parser handles the shapes that `write` produces (and
//    a little more); any other text goes to the host's compiler in AST-only mode
//    and a literal evaluator over the tree, so the result is the same either way.
//
// Writing is crash-safe: the whole text is built first, then written to a
// temporary file next to the target and renamed over it.  Any error leaves the
// previous file as it was and no temporary file behind.
#include "orvex/rt.hpp"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

using namespace rt;

namespace {

// The NaN the host's float("nan") gives (positive: before 3.11 Py_NAN could be a
// negative NaN on some platforms).
const double kNaN = std::numeric_limits<double>::quiet_NaN();

Name n_open("open");
Name n_read("read");
Name n_write("write");
Name n_enter("__enter__");
Name n_exit("__exit__");
Name n_errno("errno");
Name n_strerror("strerror");
Name n_st_mode("st_mode");

// ---------------------------------------------------------------------------
// Exceptions
// ---------------------------------------------------------------------------

// The pending exception, normalized, owned; restored or dropped explicitly.
struct SavedError {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* tb = nullptr;
    void fetch() {
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        if (tb && value) PyException_SetTraceback(value, tb);
    }
    void restore() {
        PyErr_Restore(type, value, tb);
        type = value = tb = nullptr;
    }
    // Makes this exception the __context__ of the one now pending.
    void chain_under_current() {
        if (!value) return;
        SavedError now;
        now.fetch();
        if (now.value && now.value != value) {
            PyException_SetContext(now.value, value);  // steals
            value = nullptr;
        }
        now.restore();
    }
    ~SavedError() {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
    }
};

// ---------------------------------------------------------------------------
// Files: the host's open, used as a context manager
// ---------------------------------------------------------------------------

// open(*args) as a context manager: `body(handle)` runs between __enter__ and
// __exit__; __exit__ gets the exception, if any, which it never suppresses.
// `*opened` (when given) tells whether open() itself succeeded.
template <class Body>
bool with_open(Fn* fn, std::initializer_list<PyObject*> args, Body body, bool* opened = nullptr) {
    Ref open = global(fn, n_open);
    if (!open) return false;
    Ref mgr = call(open.get(), args);
    if (!mgr) return false;
    if (opened) *opened = true;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(mgr.get()));
    Ref enter = Ref::steal(PyObject_GetAttr(type, n_enter.get()));
    Ref exit = enter ? Ref::steal(PyObject_GetAttr(type, n_exit.get())) : Ref();
    if (!enter || !exit) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                         Py_TYPE(mgr.get())->tp_name);
        }
        return false;
    }
    Ref handle = call(enter.get(), {mgr.get()});
    if (!handle) return false;
    if (body(handle.get())) return bool(call(exit.get(), {mgr.get(), Py_None, Py_None, Py_None}));
    SavedError err;
    err.fetch();
    PyObject* t = err.type ? err.type : Py_None;
    PyObject* v = err.value ? err.value : Py_None;
    PyObject* tb = err.tb ? err.tb : Py_None;
    if (!call(exit.get(), {mgr.get(), t, v, tb})) {
        err.chain_under_current();
        return false;
    }
    err.restore();
    return false;
}

// handle.read(), which must give a str.
bool read_all(PyObject* h, Ref& text) {
    text = Ref::steal(PyObject_CallMethodObjArgs(h, n_read.get(), nullptr));
    if (!text) return false;
    if (PyUnicode_Check(text.get())) return true;
    PyErr_Format(PyExc_TypeError, "read() of a text file should return str, not %.200s", Py_TYPE(text.get())->tp_name);
    return false;
}

bool write_through(Fn* fn, PyObject* path, PyObject* mode, PyObject* text) {
    return with_open(fn, {path, mode}, [&](PyObject* h) {
        return bool(Ref::steal(PyObject_CallMethodObjArgs(h, n_write.get(), text, nullptr)));
    });
}

// ---------------------------------------------------------------------------
// Crash-safe replacement of a file
// ---------------------------------------------------------------------------

#ifdef _WIN32
constexpr char SEP = '\\';
#else
constexpr char SEP = '/';
#endif

// File-type bits as the host's os.stat reports them on every platform.
constexpr long MODE_FMT = 0170000, MODE_DIR = 0040000, MODE_REG = 0100000;

Ref os_call(PyObject* os, const char* name, std::initializer_list<PyObject*> args) {
    Ref f = Ref::steal(PyObject_GetAttrString(os, name));
    if (!f) return {};
    return call(f.get(), args);
}

// os.stat(path).st_mode, or -1 with the error set.
long stat_mode(PyObject* os, PyObject* path) {
    Ref st = os_call(os, "stat", {path});
    if (!st) return -1;
    Ref m = getattr(st.get(), n_st_mode);
    return m ? PyLong_AsLong(m.get()) : -1;
}

// Replaces the pending OSError by one of the same errno naming `file` alone, so
// the caller sees the path it passed rather than our temporary one.
void rename_os_error(PyObject* file) {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return;
    SavedError err;
    err.fetch();
    Ref no = Ref::steal(PyObject_GetAttr(err.value, n_errno.get()));
    Ref msg = no ? Ref::steal(PyObject_GetAttr(err.value, n_strerror.get())) : Ref();
    if (!no || !msg || no.get() == Py_None) {
        PyErr_Clear();
        err.restore();
        return;
    }
    Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_OSError, no.get(), msg.get(), file, nullptr));
    if (!exc) return;  // that error is pending instead
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

void raise_errno(int code, PyObject* file) {
    Ref no = Ref::steal(PyLong_FromLong(code));
    Ref msg = Ref::steal(PyUnicode_DecodeLocale(std::strerror(code), "surrogateescape"));
    if (!no || !msg) return;
    Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_OSError, no.get(), msg.get(), file, nullptr));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

// Removes `path`, keeping whatever exception is pending.
void remove_quietly(PyObject* os, PyObject* path) {
    SavedError err;
    err.fetch();
    if (!os_call(os, "remove", {path})) PyErr_Clear();
    err.restore();
}

// "name/" names a directory, so open(file, "w") refuses it; this raises what it
// raises: an error finding the parent, or "Is a directory".
void raise_trailing_separator(PyObject* os, PyObject* file) {
    Ref seps = Ref::steal(PyUnicode_FromFormat("%c%c", SEP, '/'));
    Ref stripped = seps ? Ref::steal(PyObject_CallMethod(file, "rstrip", "O", seps.get())) : Ref();
    Ref path_mod = stripped ? Ref::steal(PyObject_GetAttrString(os, "path")) : Ref();
    Ref parent = path_mod ? os_call(path_mod.get(), "dirname", {stripped.get()}) : Ref();
    if (!parent) return;
    if (PyUnicode_GetLength(parent.get()) == 0) parent = Ref::steal(PyUnicode_FromString("."));
    if (!parent) return;
    long mode = stat_mode(os, parent.get());
    if (mode == -1 && PyErr_Occurred()) {
        rename_os_error(file);
        return;
    }
    raise_errno((mode & MODE_FMT) == MODE_DIR ? EISDIR : ENOTDIR, file);
}

// The directory takes no new files: overwrite the file in place. Its old bytes are
// kept in memory and put back when the new text cannot be written completely (a
// full disk, a file-size limit), so the file never ends up holding a part.
bool write_in_place(Fn* fn, PyObject* file, PyObject* text) {
    Ref rb = Ref::steal(PyUnicode_FromString("rb"));
    Ref rplus = Ref::steal(PyUnicode_FromString("r+"));
    Ref rplusb = Ref::steal(PyUnicode_FromString("r+b"));
    if (!rb || !rplus || !rplusb) return false;
    Ref old;
    bool ok = with_open(fn, {file, rb.get()}, [&](PyObject* h) {
        old = Ref::steal(PyObject_CallMethodObjArgs(h, n_read.get(), nullptr));
        return bool(old);
    });
    if (!ok) {
        // A file we may write but not read: nothing to keep, write it as open() would.
        if (!PyErr_ExceptionMatches(PyExc_PermissionError)) return false;
        PyErr_Clear();
        Ref w = Ref::steal(PyUnicode_FromString("w"));
        return w && write_through(fn, file, w.get(), text);
    }
    // "r+" writes the same text-mode bytes as "w" but truncates only once all of them are out.
    auto put = [&](PyObject* h, PyObject* what) {
        return bool(Ref::steal(PyObject_CallMethodObjArgs(h, n_write.get(), what, nullptr))) &&
               bool(Ref::steal(PyObject_CallMethod(h, "truncate", nullptr)));
    };
    if (with_open(fn, {file, rplus.get()}, [&](PyObject* h) { return put(h, text); })) return true;
    SavedError err;
    err.fetch();
    if (!with_open(fn, {file, rplusb.get()}, [&](PyObject* h) { return put(h, old.get()); })) {
        err.chain_under_current();
        return false;
    }
    err.restore();
    return false;
}

// Writes `text` to `file` so that the file holds either its old or its new
// contents, never a part: a temporary file in the same directory, then a rename.
// A path that open(file, "w") refuses gets the error open() gives, and nothing
// is written.
bool save_text(Fn* fn, PyObject* file, PyObject* text) {
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    Ref w = Ref::steal(PyUnicode_InternFromString("w"));
    if (!os || !w) return false;

    Py_ssize_t len = PyUnicode_GetLength(file);
    if (len == 0) {
        raise_errno(ENOENT, file);
        return false;
    }
    Py_UCS4 last = PyUnicode_ReadChar(file, len - 1);
    if (last == '/' || last == static_cast<Py_UCS4>(SEP)) {
        raise_trailing_separator(os.get(), file);
        return false;
    }

    // What is at the target now.
    long old_mode = stat_mode(os.get(), file);
    if (old_mode == -1 && PyErr_Occurred()) {
        // Missing: created below. Anything else (a part of the path that is not a
        // directory, a loop of links, no access) is what open() reports as well.
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return false;
        PyErr_Clear();
    }
    if (old_mode != -1) {
        if ((old_mode & MODE_FMT) == MODE_DIR) {
            raise_errno(EISDIR, file);
            return false;
        }
        // Devices, pipes and the like cannot be replaced: write to them directly.
        if ((old_mode & MODE_FMT) != MODE_REG) return write_through(fn, file, w.get(), text);
        // A file that open() could not write stays as it is, with open()'s error:
        // opening it for writing, without creating or truncating, tells.
        Ref flag = Ref::steal(PyObject_GetAttrString(os.get(), "O_WRONLY"));
        Ref fd = flag ? os_call(os.get(), "open", {file, flag.get()}) : Ref();
        if (!fd || !os_call(os.get(), "close", {fd.get()})) return false;
    }

    // Through a symbolic link, replace the file it points to and keep the link.
    Ref path_mod = Ref::steal(PyObject_GetAttrString(os.get(), "path"));
    if (!path_mod) return false;
    Ref real = os_call(path_mod.get(), "realpath", {file});
    if (!real) return false;
    Ref parts = os_call(path_mod.get(), "split", {real.get()});
    if (!parts) return false;
    if (!PyTuple_Check(parts.get()) || PyTuple_GET_SIZE(parts.get()) != 2) {
        PyErr_SetString(PyExc_SystemError, "os.path.split() returned an unexpected value");
        return false;
    }
    PyObject* dir = PyTuple_GET_ITEM(parts.get(), 0);
    PyObject* base = PyTuple_GET_ITEM(parts.get(), 1);
    // Keep the temporary name well inside the platform's name length limit.
    Ref short_base = Ref::steal(PyUnicode_Substring(base, 0, 40));
    if (!short_base) return false;

    // The temporary file: "x" never takes over a name that exists, whoever put it there.
    static unsigned long counter = 0;
    Ref x = Ref::steal(PyUnicode_InternFromString("x"));
    Ref pid = os_call(os.get(), "getpid", {});
    if (!x || !pid) return false;
    Ref tmp;
    for (int attempt = 0;; ++attempt) {
        Ref name = Ref::steal(PyUnicode_FromFormat(".%U.%S.%lu.tmp", short_base.get(), pid.get(), ++counter));
        if (!name) return false;
        tmp = os_call(path_mod.get(), "join", {dir, name.get()});
        if (!tmp) return false;
        bool opened = false;
        bool ok = with_open(
            fn, {tmp.get(), x.get()},
            [&](PyObject* h) { return bool(Ref::steal(PyObject_CallMethodObjArgs(h, n_write.get(), text, nullptr))); },
            &opened);
        if (ok) break;
        if (opened) {  // writing failed: the error is the write's own
            remove_quietly(os.get(), tmp.get());
            return false;
        }
        if (PyErr_ExceptionMatches(PyExc_FileExistsError)) {
            // Someone else's file: leave it, try another name.
            if (attempt < 100) {
                PyErr_Clear();
                continue;
            }
            rename_os_error(file);
            return false;
        }
        // Ours, if it exists at all: open() may fail after creating it.
        remove_quietly(os.get(), tmp.get());
        // A directory that takes no new files, holding a file we may write: write in place.
        if (old_mode != -1 && PyErr_ExceptionMatches(PyExc_PermissionError)) {
            PyErr_Clear();
            return write_in_place(fn, file, text);
        }
        rename_os_error(file);
        return false;
    }

    // The new file gets the old one's permission bits; the rest is best effort.
    if (old_mode != -1) {
        Ref bits = Ref::steal(PyLong_FromLong(old_mode & 07777));
        if (!bits) {
            remove_quietly(os.get(), tmp.get());
            return false;
        }
        if (!os_call(os.get(), "chmod", {tmp.get(), bits.get()})) PyErr_Clear();
    }
    if (!os_call(os.get(), "replace", {tmp.get(), real.get()})) {
        remove_quietly(os.get(), tmp.get());
        rename_os_error(file);
        return false;
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// The statement format: the native parser
// ---------------------------------------------------------------------------
//
// Handles the common shapes only; whenever it meets anything else it gives up
// without an exception ("bails") and the general reader below takes the text.
// So it never has to report a syntax error itself: its job is to be exact and
// fast on what it accepts, and to accept nothing the host would read otherwise.
namespace {

// Nesting the native parser takes on; deeper texts go to the general reader,
// which reports the host's own limit.
constexpr int FAST_MAX_DEPTH = 100;

bool is_ident_start(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_ident_char(unsigned char c) { return is_ident_start(c) || (c >= '0' && c <= '9'); }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// Names that cannot be assigned to (keywords, and __debug__).
bool is_reserved(const char* s, size_t n) {
    static const char* const words[] = {"False", "None", "True", "and", "as", "assert", "async", "await",
                                        "break", "class", "continue", "def", "del", "elif", "else", "except",
                                        "finally", "for", "from", "global", "if", "import", "in", "is",
                                        "lambda", "nonlocal", "not", "or", "pass", "raise", "return", "try",
                                        "while", "with", "yield", "__debug__"};
    for (const char* w : words)
        if (std::strlen(w) == n && std::memcmp(w, s, n) == 0) return true;
    return false;
}

class FastParser {
public:
    FastParser(const char* s, Py_ssize_t n) : p_(s), end_(s + n) {}
    ~FastParser() {
        for (PyObject* o : stack_) Py_DECREF(o);
    }
    FastParser(const FastParser&) = delete;
    FastParser& operator=(const FastParser&) = delete;

    enum Outcome { Read, Bail, Failed };

    // Read: the whole text was read; `a` is then what the last assignment to the
    // name a bound (null when none did).  Bail: no exception set, the general reader
    // takes over.  Failed: an error no reader could avoid (out of memory, a signal's
    // exception) is set.
    Outcome run(Ref& a) {
        bool ok;
        try {
            ok = statements(a);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return Failed;
        }
        if (ok) return Read;
        if (interrupted_ || PyErr_ExceptionMatches(PyExc_MemoryError)) return Failed;
        PyErr_Clear();
        return Bail;
    }

private:
    const char* p_;
    const char* end_;
    int depth_ = 0;
    Interrupts poll_{1u << 14};
    bool interrupted_ = false;
    std::vector<PyObject*> stack_;  // owned references: values being built
    std::vector<Py_UCS4> chars_;    // scratch for strings with escapes

    int peek() const { return p_ < end_ ? static_cast<unsigned char>(*p_) : -1; }

    // Blanks inside a line; line breaks too within brackets.
    void skip_blanks() {
        for (; p_ < end_; ++p_) {
            char c = *p_;
            if (c == ' ' || c == '\t' || (c == '\n' && depth_ > 0)) continue;
            break;
        }
    }

    bool push(PyObject* o) {
        if (!o) return false;
        stack_.push_back(o);
        return true;
    }
    PyObject* pop() {
        PyObject* o = stack_.back();
        stack_.pop_back();
        return o;
    }

    bool statements(Ref& a) {
        for (;;) {
            // Start of a line: skip blank lines; an indented statement is not ours.
            const char* q = p_;
            while (q < end_ && (*q == ' ' || *q == '\t')) ++q;
            if (q == end_) return true;
            if (*q == '\n') {
                p_ = q + 1;
                continue;
            }
            if (q != p_) return false;
            // One or more statements on this line, separated by ";".
            for (;;) {
                const char* name = p_;
                if (!is_ident_start(peek())) return false;
                while (p_ < end_ && is_ident_char(static_cast<unsigned char>(*p_))) ++p_;
                size_t len = static_cast<size_t>(p_ - name);
                if (peek() >= 0x80 || is_reserved(name, len)) return false;
                skip_blanks();
                if (peek() != '=') return false;
                ++p_;
                if (peek() == '=') return false;
                skip_blanks();
                if (!value()) return false;
                Ref v = Ref::steal(pop());
                if (len == 1 && *name == 'a') a = v;
                skip_blanks();
                int c = peek();
                if (c == -1) return true;
                if (c == '\n') {
                    ++p_;
                    break;
                }
                if (c != ';') return false;
                ++p_;
                skip_blanks();
                c = peek();
                if (c == -1) return true;
                if (c == '\n') {
                    ++p_;
                    break;
                }
            }
        }
    }

    // One value, pushed on the stack.
    bool value() {
        if (!poll_.tick()) {
            interrupted_ = true;
            return false;
        }
        int c = peek();
        switch (c) {
            case '[': return display(']');
            case '(': return display(')');
            case '{': return braces();
            case '\'':
            case '"': return string(static_cast<char>(c));
            case '-':
            case '+': {
                ++p_;
                skip_blanks();
                return number_or_special(c == '-');
            }
            default:
                if (is_digit(c) || c == '.') return number(false);
                if (is_ident_start(c)) return name_constant();
                return false;
        }
    }

    // A number or one of the names nan and inf after a sign.
    bool number_or_special(bool negative) {
        int c = peek();
        if (is_digit(c) || c == '.') return number(negative);
        if (!is_ident_start(c)) return false;
        const char* s = p_;
        while (p_ < end_ && is_ident_char(static_cast<unsigned char>(*p_))) ++p_;
        if (peek() >= 0x80) return false;
        size_t n = static_cast<size_t>(p_ - s);
        double d;
        if (n == 3 && std::memcmp(s, "nan", 3) == 0)
            d = kNaN;
        else if (n == 3 && std::memcmp(s, "inf", 3) == 0)
            d = Py_HUGE_VAL;
        else
            return false;
        return push(PyFloat_FromDouble(negative ? -d : d));
    }

    bool name_constant() {
        const char* s = p_;
        while (p_ < end_ && is_ident_char(static_cast<unsigned char>(*p_))) ++p_;
        if (peek() >= 0x80) return false;
        size_t n = static_cast<size_t>(p_ - s);
        auto is = [&](const char* w) { return std::strlen(w) == n && std::memcmp(w, s, n) == 0; };
        if (is("None")) return push(newref(Py_None));
        if (is("True")) return push(newref(Py_True));
        if (is("False")) return push(newref(Py_False));
        if (is("nan")) return push(PyFloat_FromDouble(kNaN));
        if (is("inf")) return push(PyFloat_FromDouble(Py_HUGE_VAL));
        return false;
    }

    bool number(bool negative) {
        const char* s = p_;
        const char* q = p_;
        while (q < end_ && is_digit(*q)) ++q;
        size_t int_digits = static_cast<size_t>(q - s);
        bool is_float = false;
        size_t frac_digits = 0;
        if (q < end_ && *q == '.') {
            is_float = true;
            ++q;
            const char* f = q;
            while (q < end_ && is_digit(*q)) ++q;
            frac_digits = static_cast<size_t>(q - f);
        }
        if (int_digits + frac_digits == 0) return false;
        if (q < end_ && (*q == 'e' || *q == 'E')) {
            is_float = true;
            ++q;
            if (q < end_ && (*q == '+' || *q == '-')) ++q;
            const char* e = q;
            while (q < end_ && is_digit(*q)) ++q;
            if (q == e) return false;
        }
        // Suffixes (j, hex, underscores, a second dot) belong to the general reader.
        if (q < end_ && (is_ident_char(static_cast<unsigned char>(*q)) || *q == '.' ||
                         static_cast<unsigned char>(*q) >= 0x80))
            return false;
        p_ = q;
        if (is_float) {
            // Correctly rounded, as the host's compiler reads it; overflow and
            // underflow are left to the host's own conversion.
            double d;
            auto r = std::from_chars(s, q, d, std::chars_format::general);
            if (r.ec != std::errc() || r.ptr != q) {
                char* stop = nullptr;
                d = PyOS_string_to_double(s, &stop, nullptr);
                if (d == -1.0 && PyErr_Occurred()) return false;
                if (stop != q) return false;
            }
            return push(PyFloat_FromDouble(negative ? -d : d));
        }
        if (int_digits > 1 && *s == '0') {
            // "00" is zero; "01" is not valid source.
            for (const char* z = s; z < q; ++z)
                if (*z != '0') return false;
        }
        if (int_digits <= 18) {
            long long v = 0;
            for (const char* z = s; z < q; ++z) v = v * 10 + (*z - '0');
            return push(PyLong_FromLongLong(negative ? -v : v));
        }
        // Any size, within the host's limit on digits (beyond it the general reader
        // reports the host's own error).
        std::string digits(s, q);
        Ref big = Ref::steal(PyLong_FromString(digits.c_str(), nullptr, 10));
        if (!big) return false;
        if (negative) big = Ref::steal(PyNumber_Negative(big.get()));
        return push(big.release());
    }

    static int hex_value(int c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    bool hex_escape(int ndigits, Py_UCS4& out) {
        if (end_ - p_ < ndigits) return false;
        Py_UCS4 v = 0;
        for (int i = 0; i < ndigits; ++i) {
            int h = hex_value(static_cast<unsigned char>(p_[i]));
            if (h < 0) return false;
            v = v * 16 + static_cast<Py_UCS4>(h);
        }
        p_ += ndigits;
        out = v;
        return v <= 0x10FFFF;
    }

    // A single- or double-quoted string without prefix, on one line.
    bool string(char quote) {
        ++p_;
        const char* s = p_;
        // Triple quotes go to the general reader; two quotes are the empty string.
        if (peek() == quote) {
            if (p_ + 1 < end_ && p_[1] == quote) return false;
            ++p_;
            return push(PyUnicode_FromStringAndSize("", 0));
        }
        // No escapes: decode the bytes as they are.
        const char* q = s;
        while (q < end_ && *q != quote && *q != '\\' && *q != '\n' && *q != '\r') ++q;
        if (q == end_ || *q == '\n' || *q == '\r') return false;
        if (*q == quote) {
            p_ = q + 1;
            return push(PyUnicode_DecodeUTF8(s, q - s, nullptr));
        }
        // With escapes: collect code points.
        chars_.clear();
        for (p_ = s;;) {
            if (p_ == end_) return false;
            unsigned char c = static_cast<unsigned char>(*p_);
            if (c == static_cast<unsigned char>(quote)) {
                ++p_;
                break;
            }
            if (c == '\n' || c == '\r') return false;  // the host reads both as line ends
            if (c < 0x80 && c != '\\') {
                chars_.push_back(c);
                ++p_;
                continue;
            }
            if (c >= 0x80) {
                // The text came from a str, so its UTF-8 is well formed.
                int n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
                if (end_ - p_ < n) return false;
                Py_UCS4 cp = n == 4 ? (c & 0x07) : n == 3 ? (c & 0x0F) : (c & 0x1F);
                for (int i = 1; i < n; ++i) cp = (cp << 6) | (static_cast<unsigned char>(p_[i]) & 0x3F);
                chars_.push_back(cp);
                p_ += n;
                continue;
            }
            // A backslash.
            ++p_;
            if (p_ == end_) return false;
            char e = *p_++;
            Py_UCS4 cp;
            switch (e) {
                case '\\': cp = '\\'; break;
                case '\'': cp = '\''; break;
                case '"': cp = '"'; break;
                case 'a': cp = 7; break;
                case 'b': cp = 8; break;
                case 'f': cp = 12; break;
                case 'n': cp = 10; break;
                case 'r': cp = 13; break;
                case 't': cp = 9; break;
                case 'v': cp = 11; break;
                case 'x':
                    if (!hex_escape(2, cp)) return false;
                    break;
                case 'u':
                    if (!hex_escape(4, cp)) return false;
                    break;
                case 'U':
                    if (!hex_escape(8, cp)) return false;
                    break;
                default:
                    if (e >= '0' && e <= '7') {
                        cp = static_cast<Py_UCS4>(e - '0');
                        for (int i = 0; i < 2 && p_ < end_ && *p_ >= '0' && *p_ <= '7'; ++i)
                            cp = cp * 8 + static_cast<Py_UCS4>(*p_++ - '0');
                        // Larger octal values draw a warning from newer hosts.
                        if (cp > 0377) return false;
                        break;
                    }
                    // Line continuations, \N{...} and unknown escapes.
                    return false;
            }
            chars_.push_back(cp);
        }
        return push(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, chars_.data(),
                                              static_cast<Py_ssize_t>(chars_.size())));
    }

    // [...] or (...): a list, a tuple, or a parenthesized value.
    bool display(char close) {
        if (++depth_ > FAST_MAX_DEPTH) return false;
        ++p_;
        size_t base = stack_.size();
        bool comma = false;
        for (;;) {
            skip_blanks();
            if (peek() == close) break;
            if (!value()) return false;
            skip_blanks();
            if (peek() == ',') {
                ++p_;
                comma = true;
                continue;
            }
            if (peek() != close) return false;
            break;
        }
        ++p_;
        --depth_;
        size_t n = stack_.size() - base;
        if (close == ')' && n == 1 && !comma) return true;  // (x) is x
        PyObject* seq = close == ']' ? PyList_New(static_cast<Py_ssize_t>(n)) : PyTuple_New(static_cast<Py_ssize_t>(n));
        if (!seq) return false;
        for (size_t i = 0; i < n; ++i) {
            if (close == ']')
                PyList_SET_ITEM(seq, static_cast<Py_ssize_t>(i), stack_[base + i]);
            else
                PyTuple_SET_ITEM(seq, static_cast<Py_ssize_t>(i), stack_[base + i]);
        }
        stack_.resize(base);
        return push(seq);
    }

    // {...}: a dict or a set.
    bool braces() {
        if (++depth_ > FAST_MAX_DEPTH) return false;
        ++p_;
        skip_blanks();
        if (peek() == '}') {
            ++p_;
            --depth_;
            return push(PyDict_New());
        }
        size_t base = stack_.size();
        if (!value()) return false;
        skip_blanks();
        bool is_dict = peek() == ':';
        for (;;) {
            if (is_dict) {
                if (peek() != ':') return false;
                ++p_;
                skip_blanks();
                if (!value()) return false;
                skip_blanks();
            }
            if (peek() == '}') break;
            if (peek() != ',') return false;
            ++p_;
            skip_blanks();
            if (peek() == '}') break;
            if (!value()) return false;
            skip_blanks();
        }
        ++p_;
        --depth_;
        // Entries go in in order, as the host's displays build them.
        Ref result = Ref::steal(is_dict ? PyDict_New() : PySet_New(nullptr));
        if (!result) return false;
        size_t n = stack_.size();
        bool ok = true;
        if (is_dict) {
            for (size_t i = base; ok && i + 1 < n; i += 2)
                ok = PyDict_SetItem(result.get(), stack_[i], stack_[i + 1]) == 0;
        } else {
            for (size_t i = base; ok && i < n; ++i) ok = PySet_Add(result.get(), stack_[i]) == 0;
        }
        if (!ok) return false;
        while (stack_.size() > base) Py_DECREF(pop());
        return push(result.release());
    }
};

}  // namespace

// ---------------------------------------------------------------------------
// The statement format: the general reader
// ---------------------------------------------------------------------------
//
// The host's compiler parses the text to a syntax tree (nothing is compiled to
// code, nothing runs); the tree must be a sequence of assignments to plain names,
// each of a literal value as the standard library's literal evaluation accepts
// them, plus the names nan, inf, nanj and infj that the printed forms of
// non-finite floats and complex numbers use.
namespace {

Name n_body("body"), n_targets("targets"), n_value("value"), n_id("id"), n_elts("elts"), n_keys("keys"),
    n_values("values"), n_op("op"), n_operand("operand"), n_left("left"), n_right("right"), n_func("func"),
    n_args("args"), n_keywords("keywords"), n_lineno("lineno");

struct Ast {
    Ref Assign, Name_, Constant, List, Tuple, Set, Dict, Call, BinOp, UnaryOp, Add, Sub, UAdd, USub;
    bool load() {
        Ref m = Ref::steal(PyImport_ImportModule("_ast"));
        if (!m) return false;
        struct Item {
            Ref* slot;
            const char* name;
        } items[] = {{&Assign, "Assign"}, {&Name_, "Name"}, {&Constant, "Constant"}, {&List, "List"},
                     {&Tuple, "Tuple"},   {&Set, "Set"},    {&Dict, "Dict"},         {&Call, "Call"},
                     {&BinOp, "BinOp"},   {&UnaryOp, "UnaryOp"}, {&Add, "Add"},     {&Sub, "Sub"},
                     {&UAdd, "UAdd"},     {&USub, "USub"}};
        for (Item& it : items) {
            *it.slot = Ref::steal(PyObject_GetAttrString(m.get(), it.name));
            if (!*it.slot) return false;
        }
        return true;
    }
};

bool is(PyObject* node, const Ref& cls) { return reinterpret_cast<PyObject*>(Py_TYPE(node)) == cls.get(); }

// A readable phrase for a node that is not allowed.
std::string describe(PyObject* node) {
    std::string cls = Py_TYPE(node)->tp_name;
    if (cls == "Call") return "a call";
    if (cls == "Name") {
        Ref id = getattr(node, n_id);
        const char* s = id && PyUnicode_Check(id.get()) ? PyUnicode_AsUTF8(id.get()) : nullptr;
        PyErr_Clear();
        return s ? std::string("the name '") + s + "'" : std::string("a name");
    }
    if (cls == "Attribute") return "an attribute access";
    if (cls == "Subscript") return "a subscript";
    if (cls == "BinOp" || cls == "UnaryOp" || cls == "BoolOp" || cls == "Compare")
        return "an operator (only a sign before a number and the real+imaginary form are allowed)";
    if (cls == "ListComp" || cls == "SetComp" || cls == "DictComp" || cls == "GeneratorExp")
        return "a comprehension";
    if (cls == "Lambda") return "a lambda";
    if (cls == "JoinedStr") return "an f-string";
    if (cls == "Starred") return "an unpacking";
    if (cls == "Import" || cls == "ImportFrom") return "an import";
    if (cls == "Expr") return "an expression statement";
    if (cls == "Assign") return "an assignment to something other than a plain name";
    return "a " + cls + " node";
}

// The error for a text that is not a sequence of literal assignments.
bool raise_not_literal(PyObject* file, long line, const char* what) {
    PyErr_Format(PyExc_ValueError,
                 "File \"%U\", line %ld: only assignments of literal values can be read, found %s "
                 "(nothing was run)",
                 file, line, what);
    return false;
}

// How deeply the host's compiler may have to nest to read a text, bounded before
// the text gets there: its parser and syntax-tree builder recurse on the C stack,
// under limits that follow the interpreter's recursion limit, so raising that limit
// would let a long chain such as 1+1+...+1 overflow the stack.  A fixed bound
// holds whatever the recursion limit is.  Literal files need a few levels per
// bracket; the host's tokenizer refuses more than 200 brackets itself.
constexpr long MAX_NESTING = 500;
constexpr size_t HOST_MAX_BRACKETS = 200;

bool raise_too_deep(PyObject* file, long line) {
    PyErr_Format(PyExc_MemoryError, "File \"%U\", line %ld: the text is nested too deeply to be read (more than %ld levels)",
                 file, line, MAX_NESTING);
    return false;
}

// A lexical pass that bounds the depth of any syntax tree the text can give.  Each
// bracket level counts the operators, names and trailers since its last comma (a
// chain of them nests one node per element); the sum over the open levels bounds
// the depth.  Lambdas nest across commas (lambda a, b: lambda ...) and are never
// reset.  Strings are skipped as the tokenizer reads them, except f-strings, whose
// fields are code.
bool check_nesting(const char* s, Py_ssize_t n, PyObject* file) {
    struct Level {
        long count;
        long lambdas;
    };
    std::vector<Level> levels{{0, 0}};
    size_t excess = 0;  // brackets beyond the tokenizer's limit
    long total = 0, line = 1;
    const char* p = s;
    const char* end = s + n;
    auto bump = [&]() {
        ++levels.back().count;
        return ++total <= MAX_NESTING;
    };
    auto reset_statement = [&]() {
        if (levels.size() == 1 && excess == 0) {
            total = 0;
            levels[0] = {0, 0};
        }
    };
    // Past a line break at p, if there is one (the host reads \r\n and \r as \n).
    auto skip_newline = [&]() {
        if (p < end && *p == '\r') ++p;
        else if (p < end && *p == '\n') ++p;
        else return false;
        if (p < end && p[-1] == '\r' && *p == '\n') ++p;
        ++line;
        return true;
    };
    auto word_char = [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c >= 0x80;
    };
    // Past the string starting at the quote *p.
    auto skip_string = [&]() {
        char quote = *p;
        bool triple = end - p >= 3 && p[1] == quote && p[2] == quote;
        p += triple ? 3 : 1;
        while (p < end) {
            char c = *p;
            if (c == '\\') {
                ++p;
                if (!skip_newline() && p < end) ++p;
                continue;
            }
            if (c == '\n' || c == '\r') {
                if (!triple) return;  // unterminated: the host reports it
                if (c == '\n') ++line;
                ++p;
                continue;
            }
            if (c == quote && (!triple || (end - p >= 3 && p[1] == quote && p[2] == quote))) {
                p += triple ? 3 : 1;
                return;
            }
            ++p;
        }
    };
    Interrupts poll(1u << 16);
    while (p < end) {
        if (!poll.tick()) return false;
        unsigned char c = static_cast<unsigned char>(*p);
        switch (c) {
            case ' ': case '\t': case '\f':
                ++p;
                continue;
            case '\\':  // a line continuation
                ++p;
                skip_newline();
                continue;
            case '\r':
            case '\n':
                skip_newline();
                reset_statement();
                continue;
            case '#':
                while (p < end && *p != '\n' && *p != '\r') ++p;
                continue;
            case ';':
                ++p;
                if (levels.size() == 1 && excess == 0) {
                    reset_statement();
                    continue;
                }
                break;
            case ',':
                ++p;
                if (excess == 0) {
                    Level& l = levels.back();
                    total -= l.count - l.lambdas;
                    l.count = l.lambdas;
                }
                continue;
            case '(': case '[': case '{':
                ++p;
                if (levels.size() > HOST_MAX_BRACKETS) {
                    ++excess;
                    continue;
                }
                if (!bump()) return raise_too_deep(file, line);
                levels.push_back({0, 0});
                continue;
            case ')': case ']': case '}':
                ++p;
                if (excess > 0) {
                    --excess;
                } else if (levels.size() > 1) {
                    total -= levels.back().count;
                    levels.pop_back();
                }
                continue;
            case '\'': case '"':
                skip_string();
                continue;
            default:
                if (word_char(c)) {
                    const char* w = p;
                    while (p < end && word_char(static_cast<unsigned char>(*p))) ++p;
                    size_t len = static_cast<size_t>(p - w);
                    if (c >= '0' && c <= '9') continue;  // a number
                    if (p < end && (*p == '\'' || *p == '"') && len <= 2) {
                        // A string prefix: r, b, u, f and the pairs rb, br, fr, rf.
                        bool prefix = true, f = false;
                        for (size_t i = 0; i < len; ++i) {
                            char l = static_cast<char>(w[i] | 0x20);
                            prefix = prefix && (l == 'r' || l == 'b' || l == 'u' || l == 'f');
                            f = f || l == 'f';
                        }
                        if (len == 2) {
                            char a = static_cast<char>(w[0] | 0x20), b = static_cast<char>(w[1] | 0x20);
                            prefix = prefix && a != b && (a == 'r' || b == 'r');
                        }
                        if (prefix && f) {
                            // An f-string's fields are code, and where it ends depends on the
                            // host's version: from here on, any character may open a level.
                            // A short text is left to the host (a syntax error, or no literal).
                            for (; p < end; ++p)
                                if (*p != ' ' && *p != '\t' && *p != '\n' && ++total > MAX_NESTING)
                                    return raise_not_literal(file, line, "an f-string");
                            return true;
                        }
                        if (prefix) {
                            skip_string();
                            continue;
                        }
                    }
                    if (len == 6 && std::memcmp(w, "lambda", 6) == 0) ++levels.back().lambdas;
                    if (!bump()) return raise_too_deep(file, line);
                    continue;
                }
                ++p;
                break;
        }
        // An operator (or anything else the tokenizer would refuse).
        if (!bump()) return raise_too_deep(file, line);
    }
    return true;
}

class Reader {
public:
    Reader(const Ast& ast, PyObject* file) : t_(ast), file_(file) {}

    // Reads every statement of the module; `a` gets the last value bound to a.
    // A first pass only checks that everything is a literal, so that anything else
    // is reported as such wherever it stands, before any value is built.
    bool run(PyObject* module, Ref& a) {
        Ref body = getattr(module, n_body);
        if (!body) return false;
        if (!PyList_Check(body.get())) return reject(module);
        for (int pass = 0; pass < 2; ++pass) {
            checking_ = pass == 0;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(body.get()); ++i) {
                Ref stmt = Ref::borrow(PyList_GET_ITEM(body.get(), i));
                if (!statement(stmt.get(), a)) return false;
            }
        }
        return true;
    }

private:
    const Ast& t_;
    PyObject* file_;
    bool checking_ = false;  // first pass: containers are checked, not built
    Interrupts poll_{1u << 10};

    bool statement(PyObject* stmt, Ref& a) {
        if (!is(stmt, t_.Assign)) return reject(stmt);
        Ref targets = getattr(stmt, n_targets);
        if (!targets) return false;
        if (!PyList_Check(targets.get())) return reject(stmt);
        bool binds_a = false;
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(targets.get()); ++k) {
            PyObject* target = PyList_GET_ITEM(targets.get(), k);
            if (!is(target, t_.Name_)) return reject(stmt);
            Ref id = getattr(target, n_id);
            if (!id) return false;
            if (PyUnicode_Check(id.get()) && PyUnicode_CompareWithASCIIString(id.get(), "a") == 0) binds_a = true;
        }
        Ref node = getattr(stmt, n_value);
        if (!node) return false;
        Ref v = value(node.get());
        if (!v) return false;
        if (binds_a && !checking_) a = v;
        return true;
    }

    bool reject(PyObject* node) {
        long line = 0;
        Ref ln = Ref::steal(PyObject_GetAttr(node, n_lineno.get()));
        if (ln && PyLong_Check(ln.get())) line = PyLong_AsLong(ln.get());
        PyErr_Clear();
        return raise_not_literal(file_, line, describe(node).c_str());
    }

    // A name standing for a non-finite number; null (no error) for any other node.
    Ref special(PyObject* node) {
        if (!is(node, t_.Name_)) return {};
        Ref id = getattr(node, n_id);
        if (!id || !PyUnicode_Check(id.get())) {
            PyErr_Clear();
            return {};
        }
        if (PyUnicode_CompareWithASCIIString(id.get(), "nan") == 0) return flt(kNaN);
        if (PyUnicode_CompareWithASCIIString(id.get(), "inf") == 0) return flt(Py_HUGE_VAL);
        if (PyUnicode_CompareWithASCIIString(id.get(), "nanj") == 0)
            return Ref::steal(PyComplex_FromDoubles(0.0, kNaN));
        if (PyUnicode_CompareWithASCIIString(id.get(), "infj") == 0)
            return Ref::steal(PyComplex_FromDoubles(0.0, Py_HUGE_VAL));
        return {};
    }

    // An unsigned number: a numeric constant (not a bool) or a special name; a
    // failure is reported at `where`, the expression the number is part of.
    Ref num(PyObject* node, PyObject* where) {
        if (is(node, t_.Constant)) {
            Ref v = getattr(node, n_value);
            if (!v) return {};
            if (PyLong_CheckExact(v.get()) || PyFloat_CheckExact(v.get()) || PyComplex_CheckExact(v.get())) return v;
        } else if (Ref s = special(node)) {
            return s;
        } else if (PyErr_Occurred()) {
            return {};
        }
        reject(where);
        return {};
    }

    // A number with at most one unary sign.
    Ref signed_num(PyObject* node, PyObject* where) {
        if (is(node, t_.UnaryOp)) {
            Ref op = getattr(node, n_op);
            if (!op) return {};
            bool plus = is(op.get(), t_.UAdd);
            if (plus || is(op.get(), t_.USub)) {
                Ref operand = getattr(node, n_operand);
                if (!operand) return {};
                Ref v = num(operand.get(), where);
                if (!v) return {};
                return Ref::steal(plus ? PyNumber_Positive(v.get()) : PyNumber_Negative(v.get()));
            }
        }
        return num(node, where);
    }

    // Each element of the list attribute `field` of `node`, converted.
    bool elements(PyObject* node, Name& field, std::vector<Ref>& out) {
        Ref elts = getattr(node, field);
        if (!elts) return false;
        if (!PyList_Check(elts.get())) {
            reject(node);
            return false;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(elts.get()); ++i) {
            Ref e = Ref::borrow(PyList_GET_ITEM(elts.get(), i));
            if (e.get() == Py_None) {  // {**x}
                reject(node);
                return false;
            }
            Ref v = value(e.get());
            if (!v) return false;
            out.push_back(std::move(v));
        }
        return true;
    }

    Ref value(PyObject* node) {
        if (!poll_.tick()) return {};
        if (Py_EnterRecursiveCall(" while reading a list file")) return {};
        Ref v;
        try {
            v = value_inner(node);
        } catch (...) {
            Py_LeaveRecursiveCall();
            throw;
        }
        Py_LeaveRecursiveCall();
        return v;
    }

    Ref value_inner(PyObject* node) {
        if (is(node, t_.Constant)) return getattr(node, n_value);
        if (is(node, t_.List) || is(node, t_.Tuple) || is(node, t_.Set)) {
            std::vector<Ref> items;
            if (!elements(node, n_elts, items)) return {};
            if (checking_) return Ref::borrow(Py_None);
            Py_ssize_t n = static_cast<Py_ssize_t>(items.size());
            if (is(node, t_.Set)) {
                Ref s = Ref::steal(PySet_New(nullptr));
                if (!s) return {};
                for (Ref& it : items)
                    if (PySet_Add(s.get(), it.get()) < 0) return {};
                return s;
            }
            bool list = is(node, t_.List);
            Ref seq = Ref::steal(list ? PyList_New(n) : PyTuple_New(n));
            if (!seq) return {};
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (list)
                    PyList_SET_ITEM(seq.get(), i, items[i].release());
                else
                    PyTuple_SET_ITEM(seq.get(), i, items[i].release());
            }
            return seq;
        }
        if (is(node, t_.Dict)) {
            Ref keys = getattr(node, n_keys);
            Ref vals = keys ? getattr(node, n_values) : Ref();
            if (!vals) return {};
            if (!PyList_Check(keys.get()) || !PyList_Check(vals.get()) ||
                PyList_GET_SIZE(keys.get()) != PyList_GET_SIZE(vals.get())) {
                reject(node);
                return {};
            }
            std::vector<Ref> ks, vs;
            if (!elements(node, n_keys, ks) || !elements(node, n_values, vs)) return {};
            if (checking_) return Ref::borrow(Py_None);
            Ref d = Ref::steal(PyDict_New());
            if (!d) return {};
            for (size_t i = 0; i < ks.size() && i < vs.size(); ++i)
                if (PyDict_SetItem(d.get(), ks[i].get(), vs[i].get()) < 0) return {};
            return d;
        }
        if (is(node, t_.Call)) {
            // set() is how the empty set prints.
            Ref func = getattr(node, n_func);
            Ref args = func ? getattr(node, n_args) : Ref();
            Ref kws = args ? getattr(node, n_keywords) : Ref();
            if (!kws) return {};
            if (is(func.get(), t_.Name_) && PyList_Check(args.get()) && PyList_GET_SIZE(args.get()) == 0 &&
                PyList_Check(kws.get()) && PyList_GET_SIZE(kws.get()) == 0) {
                Ref id = getattr(func.get(), n_id);
                if (!id) return {};
                if (PyUnicode_Check(id.get()) && PyUnicode_CompareWithASCIIString(id.get(), "set") == 0)
                    return Ref::steal(PySet_New(nullptr));
            }
            reject(node);
            return {};
        }
        if (is(node, t_.BinOp)) {
            // real +/- imaginary: the printed form of a complex number.
            Ref op = getattr(node, n_op);
            if (!op) return {};
            bool add = is(op.get(), t_.Add);
            if (add || is(op.get(), t_.Sub)) {
                Ref l = getattr(node, n_left);
                Ref r = l ? getattr(node, n_right) : Ref();
                if (!r) return {};
                Ref left = signed_num(l.get(), node);
                if (!left) return {};
                Ref right = num(r.get(), node);
                if (!right) return {};
                if ((PyLong_CheckExact(left.get()) || PyFloat_CheckExact(left.get())) &&
                    PyComplex_CheckExact(right.get()))
                    return Ref::steal(add ? PyNumber_Add(left.get(), right.get())
                                          : PyNumber_Subtract(left.get(), right.get()));
            }
            reject(node);
            return {};
        }
        if (Ref s = special(node)) return s;
        if (PyErr_Occurred()) return {};
        if (is(node, t_.UnaryOp)) return signed_num(node, node);
        reject(node);
        return {};
    }
};

bool read_statements_or_throw(PyObject* text, PyObject* file, Ref& a) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(text, &n);
    if (!s) return false;
    const char* nul = static_cast<const char*>(std::memchr(s, 0, static_cast<size_t>(n)));
    if (!nul) {
        FastParser fast(s, n);
        FastParser::Outcome got = fast.run(a);
        if (got != FastParser::Bail) return got == FastParser::Read;
        a.reset();
    } else {
        long line = 1;
        for (const char* q = s; q < nul; ++q) line += *q == '\n';
        PyErr_SetString(PyExc_SyntaxError, "source code cannot contain null bytes");
        PyErr_SyntaxLocationObject(file, static_cast<int>(line), 0);
        return false;
    }

    if (!check_nesting(s, n, file)) return false;
    PyCompilerFlags flags;
    flags.cf_flags = PyCF_ONLY_AST | PyCF_SOURCE_IS_UTF8 | PyCF_IGNORE_COOKIE;
    flags.cf_feature_version = PY_MINOR_VERSION;
    Ref module = Ref::steal(Py_CompileStringObject(s, file, Py_file_input, &flags, -1));
    if (!module) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            // The host's parser gives up on very deep nesting with a bare MemoryError.
            SavedError err;
            err.fetch();
            PyErr_Format(PyExc_MemoryError,
                         "File \"%U\": the parser ran out of memory (the text may be nested too deeply)", file);
            err.chain_under_current();
        }
        return false;
    }
    Ast ast;
    if (!ast.load()) return false;
    return Reader(ast, file).run(module.get(), a);
}

// Reads the statement format from `text`; `a` gets what the name a is bound to
// (null when nothing binds it).
bool read_statements(PyObject* text, PyObject* file, Ref& a) {
    try {
        return read_statements_or_throw(text, file, a);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

// ---------------------------------------------------------------------------
// The statement format: the printed form of a list, natively
// ---------------------------------------------------------------------------
//
// str(list) for lists of floats, ints, strings, None and booleans, nested lists
// included, byte for byte as the host prints them: each float as repr() gives it
// (the shortest digits that read back to the same double, laid out by the host's
// rules).  Anything else hands the whole list to the host, before any code of its
// own could have run, so the result never differs.

// repr(x) of a float.
char* float_repr(char* out, double x) {
    if (std::isnan(x)) return static_cast<char*>(std::memcpy(out, "nan", 3)) + 3;
    if (std::isinf(x)) {
        if (x < 0) *out++ = '-';
        return static_cast<char*>(std::memcpy(out, "inf", 3)) + 3;
    }
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
    if (neg_exp) e = -e;
    // The value is 0.d1d2...dn times 10**decpt; the host switches to the exponent
    // form below 1e-4 and from 1e16.
    int decpt = e + 1;
    if (decpt <= -4 || decpt > 16) {
        *out++ = digits[0];
        if (nd > 1) {
            *out++ = '.';
            out = static_cast<char*>(std::memcpy(out, digits + 1, nd - 1)) + (nd - 1);
        }
        *out++ = 'e';
        *out++ = e < 0 ? '-' : '+';
        int a = e < 0 ? -e : e;
        if (a >= 100) *out++ = static_cast<char>('0' + a / 100);
        *out++ = static_cast<char>('0' + a / 10 % 10);
        *out++ = static_cast<char>('0' + a % 10);
    } else if (decpt <= 0) {
        *out++ = '0';
        *out++ = '.';
        for (int i = 0; i < -decpt; ++i) *out++ = '0';
        out = static_cast<char*>(std::memcpy(out, digits, nd)) + nd;
    } else if (decpt >= nd) {
        out = static_cast<char*>(std::memcpy(out, digits, nd)) + nd;
        for (int i = nd; i < decpt; ++i) *out++ = '0';
        *out++ = '.';
        *out++ = '0';
    } else {
        out = static_cast<char*>(std::memcpy(out, digits, decpt)) + decpt;
        *out++ = '.';
        out = static_cast<char*>(std::memcpy(out, digits + decpt, nd - decpt)) + (nd - decpt);
    }
    return out;
}

class ListPrinter {
public:
    enum Outcome { Printed, Other, Failed };

    explicit ListPrinter(std::string& out) : out_(out) {}

    // Appends str(list) to the text.  Other: some item needs the host (nothing
    // observable happened; the text is left partly appended).  Failed: an error
    // is set (the host's str() would raise it too, or a signal's exception).
    Outcome print(PyObject* list) {
        // As str() and list's repr count their nesting.
        if (Py_EnterRecursiveCall(" while getting the str of an object")) return Failed;
        Outcome r = one_list(list);
        Py_LeaveRecursiveCall();
        return r;
    }

private:
    std::string& out_;
    Interrupts poll_{1u << 14};

    Outcome one_list(PyObject* list) {
        if (PyList_GET_SIZE(list) == 0) {
            out_ += "[]";
            return Printed;
        }
        int seen = Py_ReprEnter(list);
        if (seen != 0) {
            if (seen < 0) return Failed;
            out_ += "[...]";
            return Printed;
        }
        Outcome r = Printed;
        if (Py_EnterRecursiveCall(" while getting the repr of an object")) {
            r = Failed;
        } else {
            out_ += '[';
            // The size is read at every step: a signal handler may change the list.
            for (Py_ssize_t i = 0; r == Printed && i < PyList_GET_SIZE(list); ++i) {
                if (!poll_.tick()) {
                    r = Failed;
                    break;
                }
                if (i >= PyList_GET_SIZE(list)) break;
                if (i > 0) out_ += ", ";
                r = item(PyList_GET_ITEM(list, i));
            }
            out_ += ']';
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
        if (PyLong_CheckExact(o)) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (!overflow) {
                if (v == -1 && PyErr_Occurred()) return Failed;
                char buf[24];
                out_.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
                return Printed;
            }
            return host_repr(o);
        }
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

    // repr() of an exact int or str: the type's own, which runs no Python code (its
    // nesting level is the one entered for the list's items).
    Outcome host_repr(PyObject* o) {
        Ref r = Ref::steal(Py_TYPE(o)->tp_repr(o));
        if (!r) return Failed;
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(r.get(), &n);
        if (!s) return Failed;
        out_.append(s, static_cast<size_t>(n));
        return Printed;
    }
};

// "a = " + str(data) + "\nf=0", or null with an error set.
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
    Ref printed = format_plain(data);
    if (!printed) return {};
    return Ref::steal(PyUnicode_FromFormat("%s%U%s", head, printed.get(), tail));
}

// ---------------------------------------------------------------------------
// The module's functions
// ---------------------------------------------------------------------------

// writel(*lists, file): the separator format.
PyObject* writel_impl(Fn* fn, PyObject* lists, PyObject* file) {
    Ref comma = Ref::steal(PyUnicode_InternFromString(","));
    Ref semi = Ref::steal(PyUnicode_InternFromString(";"));
    Ref texts = Ref::steal(PyList_New(0));
    if (!comma || !semi || !texts) return nullptr;
    Interrupts poll(1u << 12);
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(lists); ++k) {
        PyObject* arg = PyTuple_GET_ITEM(lists, k);
        Ref items = Ref::steal(PyList_New(0));
        if (!items) return nullptr;
        auto add = [&](PyObject* item) {
            if (!poll.tick()) return false;
            if (PyUnicode_CheckExact(item)) return PyList_Append(items.get(), item) == 0;
            Ref s = Ref::steal(PyObject_Str(item));
            return s && PyList_Append(items.get(), s.get()) == 0;
        };
        if (PyList_Check(arg) || PyTuple_Check(arg)) {
            // By index; the size is read again each step, as str() may change the list.
            bool list = PyList_Check(arg);
            for (Py_ssize_t i = 0; i < (list ? PyList_GET_SIZE(arg) : PyTuple_GET_SIZE(arg)); ++i) {
                Ref item = Ref::borrow(list ? PyList_GET_ITEM(arg, i) : PyTuple_GET_ITEM(arg, i));
                if (!add(item.get())) return nullptr;
            }
        } else {
            Ref it = Ref::steal(PyObject_GetIter(arg));
            if (!it) return nullptr;
            while (Ref item = Ref::steal(PyIter_Next(it.get())))
                if (!add(item.get())) return nullptr;
            if (PyErr_Occurred()) return nullptr;
        }
        Ref text = Ref::steal(PyUnicode_Join(comma.get(), items.get()));
        if (!text || PyList_Append(texts.get(), text.get()) < 0) return nullptr;
    }
    // Each list text followed by ";", then one final ";" removed: a join.
    Ref text = Ref::steal(PyUnicode_Join(semi.get(), texts.get()));
    if (!text || !save_text(fn, file, text.get())) return nullptr;
    Py_RETURN_NONE;
}

// readl(file): the separator format back as lists of strings.
PyObject* readl_impl(Fn* fn, PyObject* file) {
    Ref mode = Ref::steal(PyUnicode_InternFromString("r"));
    if (!mode) return nullptr;
    Ref result;
    bool ok = with_open(fn, {file, mode.get()}, [&](PyObject* h) {
        Ref text;
        if (!read_all(h, text)) return false;
        Ref semi = Ref::steal(PyUnicode_FromString(";"));
        Ref comma = Ref::steal(PyUnicode_FromString(","));
        Ref empty = Ref::steal(PyUnicode_FromString(""));
        const char* strip[] = {"[", "]", "'"};
        Ref strip_obj[3];
        for (int i = 0; i < 3; ++i)
            if (!(strip_obj[i] = Ref::steal(PyUnicode_FromString(strip[i])))) return false;
        result = Ref::steal(PyList_New(0));
        Ref pieces = semi && comma && empty && result ? Ref::steal(PyUnicode_Split(text.get(), semi.get(), -1)) : Ref();
        if (!pieces) return false;
        Interrupts poll(1u << 12);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pieces.get()); ++i) {
            Ref parts = Ref::steal(PyUnicode_Split(PyList_GET_ITEM(pieces.get(), i), comma.get(), -1));
            if (!parts) return false;
            Ref inner = Ref::steal(PyList_New(PyList_GET_SIZE(parts.get())));
            if (!inner) return false;
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(parts.get()); ++j) {
                if (!poll.tick()) return false;
                Ref part = Ref::borrow(PyList_GET_ITEM(parts.get(), j));
                for (Ref& ch : strip_obj) {
                    if (PyUnicode_Contains(part.get(), ch.get()) == 0) continue;
                    part = Ref::steal(PyUnicode_Replace(part.get(), ch.get(), empty.get(), -1));
                    if (!part) return false;
                }
                PyList_SET_ITEM(inner.get(), j, part.release());
            }
            if (PyList_Append(result.get(), inner.get()) < 0) return false;
        }
        return true;
    });
    return ok ? result.release() : nullptr;
}

// write(data, file): the statement format.
PyObject* write_impl(Fn* fn, PyObject* data, PyObject* file) {
    Ref text = statement_text(data);
    if (!text || !save_text(fn, file, text.get())) return nullptr;
    Py_RETURN_NONE;
}

// read(file): the statement format, parsed as data.
PyObject* read_impl(Fn* fn, PyObject* file) {
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

const FnDef writel_def{"writel",
                       "writes lists to file can be read/loaded using lystra.read(file)",
                       {VarArgs("lists", "list"), KwOnly("file", Conv::Str)},
                       nullptr,
                       typed<&writel_impl>};
const FnDef readl_def{"readl", "returns list with lists or strings if lists were not what was saved",
                      {P("file", Conv::Str)}, "list", typed<&readl_impl>};
const FnDef write_def{"write", "write list to file", {P("data", Conv::List), P("file", Conv::Str)}, nullptr,
                      typed<&write_impl>};
const FnDef read_def{"read", "read list from file", {P("file", Conv::Str)}, "list", typed<&read_impl>};

PyModuleDef lystra_module = {PyModuleDef_HEAD_INIT, "lystra", "helt klar ikke en knockoff af pickle", -1,
                             nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_lystra() {
    return rt::guarded_init("lystra", []() -> PyObject* {
        Ref m = Ref::steal(make_module(&lystra_module, {&writel_def, &readl_def, &write_def, &read_def}));
        if (!m) return nullptr;
        // writel's annotations list `file` before `lists`, unlike its parameters.
        Ref writel = Ref::steal(PyObject_GetAttrString(m.get(), "writel"));
        Ref ann = writel ? Ref::steal(PyObject_GetAttrString(writel.get(), "__annotations__")) : Ref();
        if (!ann || !PyDict_Check(ann.get())) return nullptr;
        Ref lists = Ref::steal(PyUnicode_InternFromString("lists"));
        Ref list_ann = lists ? Ref::borrow(PyDict_GetItemWithError(ann.get(), lists.get())) : Ref();
        if (!list_ann || PyDict_DelItem(ann.get(), lists.get()) < 0 ||
            PyDict_SetItem(ann.get(), lists.get(), list_ann.get()) < 0)
            return nullptr;
        return m.release();
    });
}
