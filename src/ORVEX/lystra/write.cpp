// Files through the host's open, and crash-safe replacement of a file.
//
// Writing builds the whole text first (print.cpp, or writel's join), then writes it to a
// temporary file next to the target and renames that over the target: any error leaves the
// previous file as it was and no temporary file behind.
#include "lystra.hpp"

#include <cerrno>
#include <cstring>

namespace lystra {

using rt::call;
using rt::getattr;

namespace {

Name n_open("open");
Name n_read("read");
Name n_write("write");
Name n_enter("__enter__");
Name n_exit("__exit__");
Name n_errno("errno");
Name n_strerror("strerror");
Name n_st_mode("st_mode");

// The os module, imported once by load_os() and kept for the life of the process.
PyObject* g_os = nullptr;

}  // namespace

bool load_os() {
    if (g_os) return true;
    // Straight to the import system: no frame's __import__ is consulted.
    g_os = PyImport_ImportModuleLevel("os", nullptr, nullptr, nullptr, 0);
    return g_os != nullptr;
}

bool with_open_raw(Fn* fn, std::initializer_list<PyObject*> args, WithBody body, void* ctx, bool* opened) {
    Ref open = rt::global(fn, n_open);
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
    if (body(ctx, handle.get())) return bool(call(exit.get(), {mgr.get(), Py_None, Py_None, Py_None}));
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

bool read_all(PyObject* h, Ref& text) {
    text = Ref::steal(PyObject_CallMethodObjArgs(h, n_read.get(), nullptr));
    if (!text) return false;
    if (PyUnicode_Check(text.get())) return true;
    PyErr_Format(PyExc_TypeError, "read() of a text file should return str, not %.200s", Py_TYPE(text.get())->tp_name);
    return false;
}

namespace {

bool write_to(PyObject* h, PyObject* text) {
    return bool(Ref::steal(PyObject_CallMethodObjArgs(h, n_write.get(), text, nullptr)));
}

bool write_through(Fn* fn, PyObject* path, PyObject* mode, PyObject* text) {
    return with_open(fn, {path, mode}, [&](PyObject* h) { return write_to(h, text); });
}

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
long stat_mode(PyObject* path) {
    Ref st = os_call(g_os, "stat", {path});
    if (!st) return -1;
    Ref m = getattr(st.get(), n_st_mode);
    return m ? PyLong_AsLong(m.get()) : -1;
}

void raise_os_error(PyObject* no, PyObject* msg, PyObject* file) {
    Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_OSError, no, msg, file, nullptr));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

// Replaces the pending OSError by one of the same errno naming `file` alone, so the caller
// sees the path it passed rather than our temporary one.
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
    raise_os_error(no.get(), msg.get(), file);
}

void raise_errno(int code, PyObject* file) {
    Ref no = Ref::steal(PyLong_FromLong(code));
    Ref msg = Ref::steal(PyUnicode_DecodeLocale(std::strerror(code), "surrogateescape"));
    if (no && msg) raise_os_error(no.get(), msg.get(), file);
}

// Removes `path`, keeping whatever exception is pending.
void remove_quietly(PyObject* path) {
    SavedError err;
    err.fetch();
    if (!os_call(g_os, "remove", {path})) PyErr_Clear();
    err.restore();
}

// "name/" names a directory, so open(file, "w") refuses it; this raises what it raises: an
// error finding the parent, or "Is a directory".
void raise_trailing_separator(PyObject* file) {
    Ref seps = Ref::steal(PyUnicode_FromFormat("%c%c", SEP, '/'));
    Ref stripped = seps ? Ref::steal(PyObject_CallMethod(file, "rstrip", "O", seps.get())) : Ref();
    Ref path_mod = stripped ? Ref::steal(PyObject_GetAttrString(g_os, "path")) : Ref();
    Ref parent = path_mod ? os_call(path_mod.get(), "dirname", {stripped.get()}) : Ref();
    if (!parent) return;
    if (PyUnicode_GetLength(parent.get()) == 0) parent = Ref::steal(PyUnicode_FromString("."));
    if (!parent) return;
    long mode = stat_mode(parent.get());
    if (mode == -1 && PyErr_Occurred()) {
        rename_os_error(file);
        return;
    }
    raise_errno((mode & MODE_FMT) == MODE_DIR ? EISDIR : ENOTDIR, file);
}

// The directory takes no new files: overwrite the file in place. Its old bytes are kept in
// memory and put back when the new text cannot be written completely (a full disk, a
// file-size limit), so the file never ends up holding a part.
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
        return write_to(h, what) && bool(Ref::steal(PyObject_CallMethod(h, "truncate", nullptr)));
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

// What save_text does after looking at the target.
enum class Target { Replace, Written, Failed };

// Looks at what is at `file` now; `old_mode` gets its st_mode (-1: nothing there). A path that
// open(file, "w") refuses gets the error open() gives; devices, pipes and the like cannot be
// replaced and are written directly.
Target inspect_target(Fn* fn, PyObject* file, PyObject* text, long& old_mode) {
    Py_ssize_t len = PyUnicode_GetLength(file);
    if (len == 0) {
        raise_errno(ENOENT, file);
        return Target::Failed;
    }
    Py_UCS4 last = PyUnicode_ReadChar(file, len - 1);
    if (last == '/' || last == static_cast<Py_UCS4>(SEP)) {
        raise_trailing_separator(file);
        return Target::Failed;
    }
    old_mode = stat_mode(file);
    if (old_mode == -1 && PyErr_Occurred()) {
        // Missing: created later. Anything else (a part of the path that is not a directory, a
        // loop of links, no access) is what open() reports as well.
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return Target::Failed;
        PyErr_Clear();
        return Target::Replace;
    }
    if ((old_mode & MODE_FMT) == MODE_DIR) {
        raise_errno(EISDIR, file);
        return Target::Failed;
    }
    if ((old_mode & MODE_FMT) != MODE_REG) {
        Ref w = Ref::steal(PyUnicode_InternFromString("w"));
        return w && write_through(fn, file, w.get(), text) ? Target::Written : Target::Failed;
    }
    // A file that open() could not write stays as it is, with open()'s error: opening it for
    // writing, without creating or truncating, tells.
    Ref flag = Ref::steal(PyObject_GetAttrString(g_os, "O_WRONLY"));
    Ref fd = flag ? os_call(g_os, "open", {file, flag.get()}) : Ref();
    if (!fd || !os_call(g_os, "close", {fd.get()})) return Target::Failed;
    return Target::Replace;
}

// Where the new file goes: the directory of the file `file` names (through a symbolic link,
// the file it points to, so the link is kept), the real path, and a short form of its name.
struct Place {
    Ref path_mod, real, dir, short_base;
    bool find(PyObject* file) {
        path_mod = Ref::steal(PyObject_GetAttrString(g_os, "path"));
        real = path_mod ? os_call(path_mod.get(), "realpath", {file}) : Ref();
        Ref parts = real ? os_call(path_mod.get(), "split", {real.get()}) : Ref();
        if (!parts) return false;
        if (!PyTuple_Check(parts.get()) || PyTuple_GET_SIZE(parts.get()) != 2) {
            PyErr_SetString(PyExc_SystemError, "os.path.split() returned an unexpected value");
            return false;
        }
        dir = Ref::borrow(PyTuple_GET_ITEM(parts.get(), 0));
        // Keep the temporary name well inside the platform's name length limit.
        short_base = Ref::steal(PyUnicode_Substring(PyTuple_GET_ITEM(parts.get(), 1), 0, 40));
        return bool(short_base);
    }
};

enum class Temp { Written, InPlace, Failed };

// Writes `text` to a new temporary file beside the target; `tmp` gets its name. "x" never takes
// over a name that exists, whoever put it there. InPlace: the directory takes no new files but
// the target exists (the error is cleared).
Temp write_temporary(Fn* fn, PyObject* file, const Place& at, PyObject* text, bool target_exists, Ref& tmp) {
    static unsigned long counter = 0;
    Ref x = Ref::steal(PyUnicode_InternFromString("x"));
    Ref pid = os_call(g_os, "getpid", {});
    if (!x || !pid) return Temp::Failed;
    for (int attempt = 0;; ++attempt) {
        Ref name = Ref::steal(PyUnicode_FromFormat(".%U.%S.%lu.tmp", at.short_base.get(), pid.get(), ++counter));
        tmp = name ? os_call(at.path_mod.get(), "join", {at.dir.get(), name.get()}) : Ref();
        if (!tmp) return Temp::Failed;
        bool opened = false;
        if (with_open(fn, {tmp.get(), x.get()}, [&](PyObject* h) { return write_to(h, text); }, &opened))
            return Temp::Written;
        if (opened) {  // writing failed: the error is the write's own
            remove_quietly(tmp.get());
            return Temp::Failed;
        }
        if (PyErr_ExceptionMatches(PyExc_FileExistsError) && attempt < 100) {
            PyErr_Clear();  // someone else's file: leave it, try another name
            continue;
        }
        // Ours, if it exists at all: open() may fail after creating it.
        if (!PyErr_ExceptionMatches(PyExc_FileExistsError)) remove_quietly(tmp.get());
        if (target_exists && PyErr_ExceptionMatches(PyExc_PermissionError)) {
            PyErr_Clear();
            return Temp::InPlace;
        }
        rename_os_error(file);
        return Temp::Failed;
    }
}

}  // namespace

// A path that open(file, "w") refuses gets the error open() gives, and nothing is written.
bool save_text(Fn* fn, PyObject* file, PyObject* text) {
    if (!load_os()) return false;
    long old_mode = -1;
    Target target = inspect_target(fn, file, text, old_mode);
    if (target != Target::Replace) return target == Target::Written;
    Place at;
    if (!at.find(file)) return false;
    Ref tmp;
    Temp got = write_temporary(fn, file, at, text, old_mode != -1, tmp);
    if (got == Temp::InPlace) return write_in_place(fn, file, text);
    if (got == Temp::Failed) return false;
    // The new file gets the old one's permission bits; the rest is best effort.
    if (old_mode != -1) {
        Ref bits = Ref::steal(PyLong_FromLong(old_mode & 07777));
        if (!bits) {
            remove_quietly(tmp.get());
            return false;
        }
        if (!os_call(g_os, "chmod", {tmp.get(), bits.get()})) PyErr_Clear();
    }
    if (!os_call(g_os, "replace", {tmp.get(), at.real.get()})) {
        remove_quietly(tmp.get());
        rename_os_error(file);
        return false;
    }
    return true;
}

}  // namespace lystra
