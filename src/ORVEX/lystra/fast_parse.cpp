// The statement format: the native parser.
//
// What it earns: a file of 10**6 floats as `write` writes it reads in 111 ms here, against
// 12.7 s through the syntax-tree reader (tree_read.cpp) in the same run, 114x (bench/
// bench_lystra.py, "fast"): the host's compiler builds a node object per number before any
// value is made. It handles the shapes `write` produces (and a little more); on anything else
// it gives up without an exception ("bails") and the syntax-tree reader takes the text. So it
// never reports a syntax error itself: its job is to be exact and fast on what it accepts, and
// to accept nothing the host would read otherwise.
#include "lystra.hpp"

#include <charconv>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <system_error>
#include <vector>

namespace lystra {

namespace {

using rt::newref;

// Nesting the native parser takes on; deeper texts go to the general reader, which reports
// the host's own limit.
constexpr int FAST_MAX_DEPTH = 100;

// The NaN the host's float("nan") gives (positive: before 3.11 Py_NAN could be a negative NaN
// on some platforms).
const double kNaN = std::numeric_limits<double>::quiet_NaN();

bool is_ident_start(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_digit(int c) { return c >= '0' && c <= '9'; }
bool is_ident_char(int c) { return is_ident_start(c) || is_digit(c); }

bool word_is(const char* s, size_t n, const char* w) { return std::strlen(w) == n && std::memcmp(w, s, n) == 0; }

// Names that cannot be assigned to (keywords, and __debug__).
bool is_reserved(const char* s, size_t n) {
    static const char* const words[] = {"False", "None", "True", "and", "as", "assert", "async", "await",
                                        "break", "class", "continue", "def", "del", "elif", "else", "except",
                                        "finally", "for", "from", "global", "if", "import", "in", "is",
                                        "lambda", "nonlocal", "not", "or", "pass", "raise", "return", "try",
                                        "while", "with", "yield", "__debug__"};
    for (const char* w : words)
        if (word_is(s, n, w)) return true;
    return false;
}

int hex_value(int c) {
    const char* digits = "0123456789abcdef";
    const char* at = c > 0 ? std::strchr(digits, c | (c >= 'A' ? 0x20 : 0)) : nullptr;
    return at ? static_cast<int>(at - digits) : -1;
}

// The code point of a one-character escape (\n, \t, ...), or -1.
long simple_escape(char e) {
    switch (e) {
        case '\\': return '\\';
        case '\'': return '\'';
        case '"': return '"';
        case 'a': return 7;
        case 'b': return 8;
        case 'f': return 12;
        case 'n': return 10;
        case 'r': return 13;
        case 't': return 9;
        case 'v': return 11;
        default: return -1;
    }
}

// Where the digits of a number spelled as the host's decimal literals end (no suffix, no
// underscores), or null when it is not one.
struct NumberText {
    const char* end = nullptr;
    bool is_float = false;
    size_t int_digits = 0;
};

NumberText scan_number(const char* s, const char* end) {
    NumberText t;
    const char* q = s;
    while (q < end && is_digit(*q)) ++q;
    t.int_digits = static_cast<size_t>(q - s);
    size_t frac_digits = 0;
    if (q < end && *q == '.') {
        t.is_float = true;
        const char* f = ++q;
        while (q < end && is_digit(*q)) ++q;
        frac_digits = static_cast<size_t>(q - f);
    }
    if (t.int_digits + frac_digits == 0) return t;
    if (q < end && (*q == 'e' || *q == 'E')) {
        t.is_float = true;
        ++q;
        if (q < end && (*q == '+' || *q == '-')) ++q;
        const char* e = q;
        while (q < end && is_digit(*q)) ++q;
        if (q == e) return t;
    }
    // Suffixes (j, hex, underscores, a second dot) belong to the general reader.
    unsigned char c = q < end ? static_cast<unsigned char>(*q) : 0;
    if (q < end && (is_ident_char(c) || c == '.' || c >= 0x80)) return t;
    t.end = q;
    return t;
}

// The float the host's compiler reads from [s, q): correctly rounded; overflow and underflow
// are left to the host's own conversion. Null, maybe with no error set, when it cannot.
PyObject* make_float(const char* s, const char* q, bool negative) {
    double d;
    auto r = std::from_chars(s, q, d, std::chars_format::general);
    if (r.ec != std::errc() || r.ptr != q) {
        char* stop = nullptr;
        d = PyOS_string_to_double(s, &stop, nullptr);
        if ((d == -1.0 && PyErr_Occurred()) || stop != q) return nullptr;
    }
    return PyFloat_FromDouble(negative ? -d : d);
}

// The int the host's compiler reads from the digits [s, q) (no leading zeros but for zero).
PyObject* make_int(const char* s, const char* q, size_t digits, bool negative) {
    if (digits > 1 && *s == '0') {
        // "00" is zero; "01" is not valid source.
        for (const char* z = s; z < q; ++z)
            if (*z != '0') return nullptr;
    }
    if (digits <= 18) {
        long long v = 0;
        for (const char* z = s; z < q; ++z) v = v * 10 + (*z - '0');
        return PyLong_FromLongLong(negative ? -v : v);
    }
    // Any size, within the host's limit on digits (beyond it the general reader reports the
    // host's own error).
    std::string text(s, q);
    Ref big = Ref::steal(PyLong_FromString(text.c_str(), nullptr, 10));
    if (big && negative) big = Ref::steal(PyNumber_Negative(big.get()));
    return big.release();
}

class FastParser {
public:
    FastParser(const char* s, Py_ssize_t n) : p_(s), end_(s + n) {}
    ~FastParser() {
        for (PyObject* o : stack_) Py_DECREF(o);
    }
    FastParser(const FastParser&) = delete;
    FastParser& operator=(const FastParser&) = delete;

    Fast run(Ref& a) {
        bool ok;
        try {
            ok = statements(a);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return Fast::Failed;
        }
        if (ok) return Fast::Read;
        if (interrupted_ || PyErr_ExceptionMatches(PyExc_MemoryError)) return Fast::Failed;
        PyErr_Clear();
        return Fast::Bail;
    }

private:
    const char* p_;
    const char* end_;
    int depth_ = 0;
    rt::Interrupts poll_{1u << 14};
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

    // A plain name, as a span; empty when there is none or it runs into non-ASCII.
    size_t name(const char*& s) {
        s = p_;
        if (!is_ident_start(peek())) return 0;
        while (p_ < end_ && is_ident_char(static_cast<unsigned char>(*p_))) ++p_;
        return peek() >= 0x80 ? 0 : static_cast<size_t>(p_ - s);
    }

    enum class End { Line, Text, More, Bad };
    // After a statement: the end of the text or of the line, or ";" and another statement.
    End statement_end() {
        skip_blanks();
        int c = peek();
        if (c == -1) return End::Text;
        if (c == '\n') return ++p_, End::Line;
        if (c != ';') return End::Bad;
        ++p_;
        skip_blanks();
        c = peek();
        if (c == -1) return End::Text;
        if (c == '\n') return ++p_, End::Line;
        return End::More;
    }

    // NAME = value
    bool assignment(Ref& a) {
        const char* s;
        size_t len = name(s);
        if (len == 0 || is_reserved(s, len)) return false;
        skip_blanks();
        if (peek() != '=') return false;
        ++p_;
        if (peek() == '=') return false;
        skip_blanks();
        if (!value()) return false;
        Ref v = Ref::steal(pop());
        if (len == 1 && *s == 'a') a = v;
        return true;
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
            End e = End::More;
            while (e == End::More) {
                if (!assignment(a)) return false;
                e = statement_end();
            }
            if (e != End::Line) return e == End::Text;
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
            case '+':
                ++p_;
                skip_blanks();
                return number_or_special(c == '-');
            default:
                if (is_digit(c) || c == '.') return number(false);
                return name_constant();
        }
    }

    // nan or inf (the printed forms of non-finite floats), after an optional sign.
    bool special(const char* s, size_t n, bool negative) {
        double d;
        if (word_is(s, n, "nan"))
            d = kNaN;
        else if (word_is(s, n, "inf"))
            d = Py_HUGE_VAL;
        else
            return false;
        return push(PyFloat_FromDouble(negative ? -d : d));
    }

    // A number or one of the names nan and inf after a sign.
    bool number_or_special(bool negative) {
        int c = peek();
        if (is_digit(c) || c == '.') return number(negative);
        const char* s;
        size_t n = name(s);
        return special(s, n, negative);
    }

    bool name_constant() {
        const char* s;
        size_t n = name(s);
        if (word_is(s, n, "None")) return push(newref(Py_None));
        if (word_is(s, n, "True")) return push(newref(Py_True));
        if (word_is(s, n, "False")) return push(newref(Py_False));
        return special(s, n, false);
    }

    bool number(bool negative) {
        const char* s = p_;
        NumberText t = scan_number(s, end_);
        if (!t.end) return false;
        p_ = t.end;
        if (t.is_float) return push(make_float(s, t.end, negative));
        return push(make_int(s, t.end, t.int_digits, negative));
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

    // The escape after a backslash (p_ past the backslash): its code point.
    bool escape(Py_UCS4& cp) {
        if (p_ == end_) return false;
        char e = *p_++;
        long simple = simple_escape(e);
        if (simple >= 0) {
            cp = static_cast<Py_UCS4>(simple);
            return true;
        }
        if (e == 'x') return hex_escape(2, cp);
        if (e == 'u') return hex_escape(4, cp);
        if (e == 'U') return hex_escape(8, cp);
        // Line continuations, \N{...} and unknown escapes go to the general reader.
        if (e < '0' || e > '7') return false;
        cp = static_cast<Py_UCS4>(e - '0');
        for (int i = 0; i < 2 && p_ < end_ && *p_ >= '0' && *p_ <= '7'; ++i)
            cp = cp * 8 + static_cast<Py_UCS4>(*p_++ - '0');
        // Larger octal values draw a warning from newer hosts.
        return cp <= 0377;
    }

    // One character of UTF-8 (the text came from a str, so it is well formed).
    bool utf8_char(unsigned char c, Py_UCS4& cp) {
        int n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        if (end_ - p_ < n) return false;
        cp = n == 4 ? (c & 0x07) : n == 3 ? (c & 0x0F) : (c & 0x1F);
        for (int i = 1; i < n; ++i) cp = (cp << 6) | (static_cast<unsigned char>(p_[i]) & 0x3F);
        p_ += n;
        return true;
    }

    // The rest of a string with escapes, from `s` (past the opening quote), as code points.
    bool escaped_string(const char* s, char quote) {
        chars_.clear();
        for (p_ = s;;) {
            if (p_ == end_) return false;
            unsigned char c = static_cast<unsigned char>(*p_);
            if (c == static_cast<unsigned char>(quote)) break;
            if (c == '\n' || c == '\r') return false;  // the host reads both as line ends
            Py_UCS4 cp = c;
            if (c >= 0x80) {
                if (!utf8_char(c, cp)) return false;
            } else if (c == '\\') {
                ++p_;
                if (!escape(cp)) return false;
            } else {
                ++p_;
            }
            chars_.push_back(cp);
        }
        ++p_;
        return push(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, chars_.data(),
                                              static_cast<Py_ssize_t>(chars_.size())));
    }

    // A single- or double-quoted string without prefix, on one line.
    bool string(char quote) {
        const char* s = ++p_;
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
        if (*q == '\\') return escaped_string(s, quote);
        p_ = q + 1;
        return push(PyUnicode_DecodeUTF8(s, q - s, nullptr));
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
            if (peek() != ',') break;
            ++p_;
            comma = true;
        }
        if (peek() != close) return false;
        ++p_;
        --depth_;
        size_t n = stack_.size() - base;
        if (close == ')' && n == 1 && !comma) return true;  // (x) is x
        bool list = close == ']';
        PyObject* seq = list ? PyList_New(static_cast<Py_ssize_t>(n)) : PyTuple_New(static_cast<Py_ssize_t>(n));
        if (!seq) return false;
        for (size_t i = 0; i < n; ++i) {
            if (list)
                PyList_SET_ITEM(seq, static_cast<Py_ssize_t>(i), stack_[base + i]);
            else
                PyTuple_SET_ITEM(seq, static_cast<Py_ssize_t>(i), stack_[base + i]);
        }
        stack_.resize(base);
        return push(seq);
    }

    // The entries of a dict or set display after the first value, up to the closing brace.
    bool brace_entries(bool is_dict) {
        for (;;) {
            if (is_dict) {
                if (peek() != ':') return false;
                ++p_;
                skip_blanks();
                if (!value()) return false;
                skip_blanks();
            }
            if (peek() == '}') return true;
            if (peek() != ',') return false;
            ++p_;
            skip_blanks();
            if (peek() == '}') return true;
            if (!value()) return false;
            skip_blanks();
        }
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
        if (!brace_entries(is_dict)) return false;
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

Fast fast_read(const char* s, Py_ssize_t n, Ref& a) { return FastParser(s, n).run(a); }

}  // namespace lystra
