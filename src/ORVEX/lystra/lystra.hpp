// lystra's parts and what they share.
//
//   module.cpp      the module table: the four functions, their declarations, init
//   write.cpp       the host's open as a context manager; crash-safe replacement of a file
//   print.cpp       the printed form of a list, natively (with the float text)
//   fast_parse.cpp  the native parser for what `write` produces
//   depth.cpp       the bound on how deeply the host's parser and tree builder would nest
//   tree_read.cpp   the general reader: the host's syntax tree, walked as literals
//
// Everything the native code needs from other modules (os, _ast) is imported once, when the
// module is made (load_os, load_tree_types), never through the calling frame's __import__.
#pragma once

#include "orvex/rt.hpp"

#include <initializer_list>

namespace lystra {

using rt::Fn;
using rt::Name;
using rt::Ref;

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
    SavedError() = default;
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
    }
};

// ---- write.cpp ------------------------------------------------------------------------------

// The host's open(*args) (the module's global `open`, else the built-in) as a context manager:
// `body(handle)` runs between __enter__ and __exit__; __exit__ gets the exception, if any, and
// never suppresses it. `*opened` (when given) tells whether open() itself succeeded.
using WithBody = bool (*)(void* ctx, PyObject* handle);
bool with_open_raw(Fn* fn, std::initializer_list<PyObject*> args, WithBody body, void* ctx, bool* opened);
template <class Body>
bool with_open(Fn* fn, std::initializer_list<PyObject*> args, Body body, bool* opened = nullptr) {
    return with_open_raw(
        fn, args, [](void* ctx, PyObject* h) { return (*static_cast<Body*>(ctx))(h); }, &body, opened);
}

// handle.read(), which must give a str.
bool read_all(PyObject* handle, Ref& text);

// Writes `text` to `file` so that the file holds its old or its new contents, never a part.
bool save_text(Fn* fn, PyObject* file, PyObject* text);

// ---- print.cpp ------------------------------------------------------------------------------

// repr(x) of a float into `out` (at least 32 chars); returns the end.
char* float_repr(char* out, double x);

// "a = " + str(data) + "\nf=0", or null with an error set.
Ref statement_text(PyObject* data);

// ---- fast_parse.cpp -------------------------------------------------------------------------

enum class Fast { Read, Bail, Failed };
// Read: the whole text was read; `a` is what the last assignment to a bound (null when none
// did). Bail: no exception set, the general reader takes over. Failed: an error no reader could
// avoid (out of memory, a signal handler's exception) is set.
Fast fast_read(const char* s, Py_ssize_t n, Ref& a);

// ---- depth.cpp ------------------------------------------------------------------------------

// The most levels the host's parser and tree builder may nest for a text that is read.
constexpr long MAX_NESTING = 500;
// False with MemoryError (or the error a signal handler raised) when the text could nest deeper.
bool check_nesting(const char* s, Py_ssize_t n, PyObject* file);

// ---- tree_read.cpp --------------------------------------------------------------------------

// ValueError: the text holds something other than assignments of literal values.
bool raise_not_literal(PyObject* file, long line, const char* what);
// Reads the statement format from `text`; `a` gets what the name a is bound to (null when
// nothing binds it).
bool read_statements(PyObject* text, PyObject* file, Ref& a);

// ---- imports, once per process --------------------------------------------------------------

// Imports os (write.cpp) and the syntax-tree classes (tree_read.cpp) without consulting any
// frame's __import__; false with the error set. Called by the module's init only.
bool load_os();
bool load_tree_types();

}  // namespace lystra
