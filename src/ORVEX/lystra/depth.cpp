// How deeply the host's compiler may have to nest to read a text, bounded before the text gets
// there.
//
// The host's parser and its syntax-tree builder recurse on the C stack, under limits that
// follow the interpreter's recursion limit, so raising that limit would let a long chain such
// as 1+1+...+1 overflow the stack. A fixed bound holds whatever the recursion limit is.
//
// What nests, and so is counted:
//  * every open bracket (the host's tokenizer refuses more than 200 itself);
//  * within one element of a bracket (since its last "," or ":"), every operator whose operand
//    becomes its child: arithmetic and bitwise operators, signs, `not`, `**`, attribute dots,
//    a bracket that follows an operand (a call or subscript of it), `lambda` (whose body nests
//    across commas, so it is never reset), the conditional `if`/`else`, `await`, `yield`, `:=`.
// The sum over the open brackets bounds the depth of any tree the text can give. What stays
// flat is not counted: comparisons (1<1<...<1 is one node), `and`/`or`, commas, a dict's ":",
// names, numbers, strings. So a literal file (at most 200 brackets and a sign or two inside
// the innermost) always passes, and a flat chain of operators reaches the reader, which
// refuses it as not a literal.
#include "lystra.hpp"

#include <cstring>
#include <vector>

namespace lystra {

namespace {

constexpr size_t HOST_MAX_BRACKETS = 200;

bool raise_too_deep(PyObject* file, long line) {
    PyErr_Format(PyExc_MemoryError, "File \"%U\", line %ld: the text is nested too deeply to be read (more than %ld levels)",
                 file, line, MAX_NESTING);
    return false;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool word_char(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(static_cast<char>(c)) || c == '_' || c >= 0x80;
}

enum class Word { Atom, Keyword, Nests, Lambda, Not, Is };

Word classify(const char* w, size_t n) {
    static const char* const keywords[] = {"and",      "as",  "assert", "async", "break",  "class", "continue",
                                           "def",      "del", "elif",   "except", "finally", "for",  "from",
                                           "global",   "import", "in",  "nonlocal", "or",    "pass", "raise",
                                           "return",   "try", "while",  "with"};
    static const char* const nesting[] = {"if", "else", "await", "yield"};
    auto is = [&](const char* k) { return std::strlen(k) == n && std::memcmp(k, w, n) == 0; };
    if (is("lambda")) return Word::Lambda;
    if (is("not")) return Word::Not;
    if (is("is")) return Word::Is;
    for (const char* k : nesting)
        if (is(k)) return Word::Nests;
    for (const char* k : keywords)
        if (is(k)) return Word::Keyword;
    return Word::Atom;
}

// The operators (longest first within each group) and whether their operands nest.
struct Op {
    const char* text;
    bool nests;
};
const Op kOps[] = {
    {"**=", true}, {"//=", true}, {">>=", true}, {"<<=", true}, {"...", false}, {"**", true}, {"//", true},
    {">>", true},  {"<<", true},  {"->", true},  {":=", true},  {"==", false}, {"!=", false}, {"<=", false},
    {">=", false}, {"+=", true},  {"-=", true},  {"*=", true},  {"/=", true},  {"%=", true},  {"@=", true},
    {"&=", true},  {"|=", true},  {"^=", true},  {"<", false},  {">", false},  {"=", false},  {"!", false},
};

class Depth {
public:
    Depth(const char* s, Py_ssize_t n, PyObject* file) : p_(s), end_(s + n), file_(file) {}

    bool run() {
        while (p_ < end_) {
            if (!poll_.tick()) return false;
            if (!step()) return false;
            if (fstring_) return true;
        }
        return true;
    }

private:
    struct Level {
        long chain;    // nesting operators of the current element
        long lambdas;  // lambdas in this bracket: they nest across commas
    };
    const char* p_;
    const char* end_;
    PyObject* file_;
    long line_ = 1;
    std::vector<Level> levels_{{0, 0}};
    size_t excess_ = 0;        // brackets beyond the tokenizer's limit
    long total_ = 0;           // open brackets + the chains of all open levels
    bool after_atom_ = false;  // the last token ends an operand: a bracket now is a trailer
    bool after_is_ = false;    // the last token is `is` (so `not` makes `is not`)
    bool fstring_ = false;     // an f-string was met: the rest was bounded as a whole
    rt::Interrupts poll_{1u << 16};

    bool nest() {
        ++levels_.back().chain;
        return ++total_ <= MAX_NESTING || raise_too_deep(file_, line_);
    }

    // "," or ":": the next element of the innermost bracket.
    void separator() {
        if (excess_ > 0) return;
        Level& l = levels_.back();
        total_ -= l.chain - l.lambdas;
        l.chain = l.lambdas;
    }

    void end_statement() {
        if (levels_.size() == 1 && excess_ == 0) {
            total_ = 0;
            levels_[0] = {0, 0};
        }
    }

    // Past a line break at p_, if there is one (the host reads \r\n and \r as \n).
    bool skip_newline() {
        if (p_ >= end_ || (*p_ != '\r' && *p_ != '\n')) return false;
        if (*p_++ == '\r' && p_ < end_ && *p_ == '\n') ++p_;
        ++line_;
        return true;
    }

    bool open_bracket() {
        ++p_;
        bool trailer = after_atom_;
        after_atom_ = after_is_ = false;
        if (levels_.size() > HOST_MAX_BRACKETS) {
            ++excess_;
            return true;
        }
        if (trailer && !nest()) return false;
        levels_.push_back({0, 0});
        return ++total_ <= MAX_NESTING || raise_too_deep(file_, line_);
    }

    void close_bracket() {
        ++p_;
        after_atom_ = true;
        after_is_ = false;
        if (excess_ > 0) {
            --excess_;
        } else if (levels_.size() > 1) {
            total_ -= levels_.back().chain + 1;
            levels_.pop_back();
        }
    }

    // Past the string starting at the quote *p_.
    void skip_string() {
        char quote = *p_;
        bool triple = end_ - p_ >= 3 && p_[1] == quote && p_[2] == quote;
        p_ += triple ? 3 : 1;
        while (p_ < end_) {
            char c = *p_;
            if (c == '\\') {
                ++p_;
                if (!skip_newline() && p_ < end_) ++p_;
            } else if (c == '\n' || c == '\r') {
                if (!triple) return;  // unterminated: the host reports it
                skip_newline();
            } else if (c == quote && (!triple || (end_ - p_ >= 3 && p_[1] == quote && p_[2] == quote))) {
                p_ += triple ? 3 : 1;
                return;
            } else {
                ++p_;
            }
        }
    }

    void skip_while(const char* chars) {
        while (p_ < end_ && std::strchr(chars, *p_) && *p_) ++p_;
    }

    // A number as the tokenizer reads it (an exponent's sign is part of it); what follows, a
    // dot or letters, is read as the tokens they are.
    void skip_number() {
        static const char digits[] = "0123456789_";
        after_atom_ = true;
        after_is_ = false;
        if (*p_ == '0' && end_ - p_ >= 2 && std::strchr("xXoObB", p_[1]) && p_[1]) {
            p_ += 2;
            skip_while("0123456789abcdefABCDEF_");
            return;
        }
        skip_while(digits);
        if (p_ < end_ && *p_ == '.') {
            ++p_;
            skip_while(digits);
        }
        const char* q = p_ + 1;
        if (p_ < end_ && (*p_ == 'e' || *p_ == 'E') && q < end_ && (*q == '+' || *q == '-')) ++q;
        if (p_ < end_ && (*p_ == 'e' || *p_ == 'E') && q < end_ && is_digit(*q)) {
            p_ = q;
            skip_while(digits);
        }
        if (p_ < end_ && (*p_ == 'j' || *p_ == 'J')) ++p_;
    }

    // A string prefix before a quote (r, b, u, f and the pairs rb, br, fr, rf): 0 none, 1 a
    // prefix, 2 an f-string's.
    static int prefix(const char* w, size_t len) {
        if (len > 2) return 0;
        bool f = false;
        for (size_t i = 0; i < len; ++i) {
            char l = static_cast<char>(w[i] | 0x20);
            if (l != 'r' && l != 'b' && l != 'u' && l != 'f') return 0;
            f = f || l == 'f';
        }
        if (len == 2) {
            char a = static_cast<char>(w[0] | 0x20), b = static_cast<char>(w[1] | 0x20);
            if (a == b || (a != 'r' && b != 'r')) return 0;
        }
        return f ? 2 : 1;
    }

    // An f-string's fields are code, and where it ends depends on the host's version: from
    // here on, any character may open a level. A short text is left to the host (a syntax
    // error, or no literal).
    bool rest_as_fstring() {
        fstring_ = true;
        for (; p_ < end_; ++p_)
            if (*p_ != ' ' && *p_ != '\t' && *p_ != '\n' && ++total_ > MAX_NESTING)
                return raise_not_literal(file_, line_, "an f-string");
        return true;
    }

    bool word() {
        const char* w = p_;
        while (p_ < end_ && word_char(static_cast<unsigned char>(*p_))) ++p_;
        size_t len = static_cast<size_t>(p_ - w);
        if (p_ < end_ && (*p_ == '\'' || *p_ == '"')) {
            int kind = prefix(w, len);
            if (kind == 2) return rest_as_fstring();
            if (kind == 1) {
                skip_string();
                after_atom_ = true;
                after_is_ = false;
                return true;
            }
        }
        Word k = classify(w, len);
        bool was_atom = after_atom_, was_is = after_is_;
        after_atom_ = k == Word::Atom;
        after_is_ = k == Word::Is;
        if (k == Word::Lambda) ++levels_.back().lambdas;
        // `x not in y` and `x is not y` are comparisons; a `not` starting an operand nests.
        if (k == Word::Not) return was_atom || was_is || nest();
        return (k != Word::Lambda && k != Word::Nests) || nest();
    }

    bool op() {
        after_is_ = false;
        if (*p_ == ',' || (*p_ == ':' && !(end_ - p_ >= 2 && p_[1] == '='))) {
            ++p_;
            after_atom_ = false;
            separator();
            return true;
        }
        for (const Op& o : kOps) {
            size_t n = std::strlen(o.text);
            if (static_cast<size_t>(end_ - p_) >= n && std::memcmp(p_, o.text, n) == 0) {
                p_ += n;
                after_atom_ = n == 3 && !o.nests;  // ... is an operand
                return !o.nests || nest();
            }
        }
        // A single-character operator (+ - * / % @ & | ^ ~ .), or anything else the tokenizer
        // would refuse.
        ++p_;
        after_atom_ = false;
        return nest();
    }

    bool step() {
        char c = *p_;
        switch (c) {
            case ' ': case '\t': case '\f':
                ++p_;
                return true;
            case '\\':  // a line continuation
                ++p_;
                skip_newline();
                return true;
            case '\r': case '\n':
                skip_newline();
                if (levels_.size() == 1) after_atom_ = after_is_ = false;
                end_statement();
                return true;
            case '#':
                while (p_ < end_ && *p_ != '\n' && *p_ != '\r') ++p_;
                return true;
            case ';':
                if (levels_.size() == 1 && excess_ == 0) {
                    ++p_;
                    after_atom_ = after_is_ = false;
                    end_statement();
                    return true;
                }
                return op();
            case '(': case '[': case '{':
                return open_bracket();
            case ')': case ']': case '}':
                close_bracket();
                return true;
            case '\'': case '"':
                skip_string();
                after_atom_ = true;
                after_is_ = false;
                return true;
            default:
                break;
        }
        if (is_digit(c) || (c == '.' && end_ - p_ >= 2 && is_digit(p_[1]))) {
            skip_number();
            return true;
        }
        if (word_char(static_cast<unsigned char>(c))) return word();
        return op();
    }
};

}  // namespace

bool check_nesting(const char* s, Py_ssize_t n, PyObject* file) { return Depth(s, n, file).run(); }

}  // namespace lystra
