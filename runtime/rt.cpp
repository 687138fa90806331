// The ORVEX runtime: binder, conversions, the native function type, globals,
// modules and classes. See orvex/rt.hpp for the overview.
#include "orvex/rt.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#if defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#endif

namespace rt {

const char* const NOANN = "";

// The interpreter's own built-ins dict (strong), taken when the first module is made.
static PyObject* g_interp_builtins = nullptr;

// Names the runtime itself uses.
static Name n_builtins("__builtins__"), n_init("__init__");

bool init_names() {
    for (Name* n = Name::chain(); n; n = n->next_) {
        if (n->obj_) continue;
        n->obj_ = PyUnicode_InternFromString(n->text_);
        if (!n->obj_) return false;
    }
    Name::made() = true;
    return true;
}

// ---------------------------------------------------------------------------
// The guarded entry
// ---------------------------------------------------------------------------
namespace {
// A thread's stack: its lowest usable address and the reserve to keep above it. Unknown
// (the platform does not tell): null, and nothing is ever exhausted.
struct StackLimit {
    const char* low = nullptr;
    size_t size = 0;
    size_t reserve = 0;
};

thread_local bool t_stack_known = false;  // t_stack looked up
thread_local StackLimit t_stack;

StackLimit find_stack_limit() {
    StackLimit s;
    const char* low = nullptr;
    size_t size = 0;
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* addr = nullptr;
        if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr) low = static_cast<const char*>(addr);
        pthread_attr_destroy(&attr);
    }
#elif defined(__APPLE__)
    size = pthread_get_stacksize_np(pthread_self());
    low = static_cast<const char*>(pthread_get_stackaddr_np(pthread_self())) - size;
#endif
    if (low && size) {
        s.low = low;
        s.size = size;
        s.reserve = std::min<size_t>(size / 4, 256 * 1024);
    }
    return s;
}

}  // namespace

#if ORVEX_STACK_CACHE
LastStack g_last_stack;
#endif

bool stack_exhausted_slow(const char* here) {
    if (!t_stack_known) {
        t_stack = find_stack_limit();
        t_stack_known = true;
    }
#if ORVEX_STACK_CACHE
    // Remembered only where the extent is known: elsewhere every check asks.
    g_last_stack.floor = t_stack.low ? t_stack.low + t_stack.reserve : nullptr;
    g_last_stack.top = t_stack.low ? t_stack.low + t_stack.size : nullptr;
#endif
    return t_stack.low && here >= t_stack.low && static_cast<size_t>(here - t_stack.low) < t_stack.reserve;
}

void raise_cpp_exception(const char* where) noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "%s: internal error (C++ exception: %s)", where, e.what());
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "%s: internal error (unknown C++ exception)", where);
    }
}

// ---------------------------------------------------------------------------
// Conversions
// ---------------------------------------------------------------------------
void raise_incorrect_type(const char* param, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected, Py_TYPE(got)->tp_name);
}

bool to_double(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    out = PyFloat_AsDouble(o);
    return !(out == -1.0 && PyErr_Occurred());
}

bool to_pyint(PyObject* o, const char* param, Ref& out) {
    if (PyLong_CheckExact(o)) {
        out = Ref::borrow(o);
        return true;
    }
    if (!PyNumber_Check(o)) {
        raise_incorrect_type(param, "int", o);
        return false;
    }
    out = Ref::steal(PyNumber_Long(o));
    return bool(out);
}

bool as_u128(PyObject* o, unsigned __int128& out) {
    if (!PyLong_CheckExact(o) || _PyLong_Sign(o) < 0) return false;
    unsigned char buf[16];
#if PY_VERSION_HEX >= 0x030D0000
    Py_ssize_t need = PyLong_AsNativeBytes(o, buf, 16,
                                           Py_ASNATIVEBYTES_LITTLE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER);
    if (need < 0) {
        PyErr_Clear();
        return false;
    }
    if (need > 16) return false;
#else
    if (_PyLong_NumBits(o) > 128) return false;
    if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(o), buf, 16, 1, 0) < 0) {
        PyErr_Clear();
        return false;
    }
#endif
    unsigned __int128 v = 0;
    for (int i = 15; i >= 0; --i) v = (v << 8) | buf[i];
    out = v;
    return true;
}

Ref from_u128(unsigned __int128 v) {
    if (!(v >> 64)) return Ref::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v)));
    // Straight into the int's own digits (this sits on every generator draw).
    digit digits[(128 + PyLong_SHIFT - 1) / PyLong_SHIFT];
    Py_ssize_t n = 0;
    for (; v; v >>= PyLong_SHIFT) digits[n++] = static_cast<digit>(v & PyLong_MASK);
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(reinterpret_cast<PyObject*>(_PyLong_FromDigits(0, n, digits)));
#else
    PyLongObject* r = _PyLong_New(n);
    if (r) std::memcpy(r->ob_digit, digits, sizeof(digit) * static_cast<size_t>(n));
    return Ref::steal(reinterpret_cast<PyObject*>(r));
#endif
}

bool range_stop(PyObject* stop, long long& out) {
    Ref i = Ref::steal(PyNumber_Index(stop));
    if (!i) return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(i.get(), &overflow);
    if (out == -1 && PyErr_Occurred()) return false;
    if (overflow) out = overflow > 0 ? LLONG_MAX : LLONG_MIN;
    return true;
}

static bool long_to_cint(PyObject* l, int& out) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(l, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v < INT_MIN || v > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

bool to_cint(PyObject* o, int& out) {
    if (PyLong_Check(o)) return long_to_cint(o, out);
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (!nb || (!nb->nb_int && !nb->nb_index)) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    Ref l = Ref::steal(PyNumber_Long(o));
    return l && long_to_cint(l.get(), out);
}

bool check_exact(PyObject* o, PyTypeObject* type, const char* param) {
    if (Py_TYPE(o) == type) return true;
    if (PyObject_TypeCheck(o, type)) {
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s); "
                     "note: a subclass of %.200s is not accepted here, pass %.200s(value) instead",
                     param, type->tp_name, Py_TYPE(o)->tp_name, type->tp_name, type->tp_name);
        return false;
    }
    raise_incorrect_type(param, type->tp_name, o);
    return false;
}

bool convert_arg(Fn* fn, Py_ssize_t i, PyObject* o, Value& v) {
    const char* name = fn->def->params[i].name;
    switch (fn->conv[i]) {
        case Conv::FromType:
        case Conv::Object:
            v.obj = Ref::borrow(o);
            return true;
        case Conv::Double:
            v.obj = Ref::borrow(o);
            return to_double(o, v.d);
        case Conv::PyInt:
            return to_pyint(o, name, v.obj);
        case Conv::CInt:
            v.obj = Ref::borrow(o);
            return to_cint(o, v.i);
        case Conv::Str:
            v.obj = Ref::borrow(o);
            return check_exact(o, &PyUnicode_Type, name);
        case Conv::List:
            v.obj = Ref::borrow(o);
            return check_exact(o, &PyList_Type, name);
    }
    return false;
}

// ---------------------------------------------------------------------------
// The binder
// ---------------------------------------------------------------------------
static void raise_arity(Fn* fn, Py_ssize_t given) {
    const char* more_or_less;
    Py_ssize_t expected;
    if (fn->varpos < 0 && fn->nmin == fn->npos) {
        more_or_less = "exactly";
        expected = fn->npos;
    } else if (given < fn->nmin) {
        more_or_less = "at least";
        expected = fn->nmin;
    } else {
        more_or_less = "at most";
        expected = fn->npos;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fn->def->name,
                 more_or_less, expected, expected == 1 ? "" : "s", given);
}

static Py_ssize_t find_param(Fn* fn, PyObject* key) {
    for (Py_ssize_t i = 0; i < fn->nparams; ++i)
        if (fn->pnames[i] == key) return i;
    for (Py_ssize_t i = 0; i < fn->nparams; ++i) {
        if (i == fn->varpos) continue;
        int eq = PyUnicode_Compare(fn->pnames[i], key);
        if (eq == 0) return i;
        if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    return -1;
}

// Fills raw[i] (borrowed) with the object for parameter i; *args becomes a new tuple.
static bool bind(Fn* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** raw,
                 Ref& extra) {
    const FnDef* def = fn->def;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (def->noargs) {
        if (nargs) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", def->name, "takes no arguments", nargs);
            return false;
        }
        if (nkw) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s", def->name, "takes no keyword arguments");
            return false;
        }
        return true;
    }
    if (nargs > fn->npos && fn->varpos < 0) {
        raise_arity(fn, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < fn->nparams; ++i) raw[i] = nullptr;
    Py_ssize_t npos = nargs < fn->npos ? nargs : fn->npos;
    for (Py_ssize_t i = 0; i < npos; ++i) raw[i] = args[i];
    if (fn->varpos >= 0) {
        Py_ssize_t n = nargs - npos;
        extra = Ref::steal(PyTuple_New(n > 0 ? n : 0));
        if (!extra) return false;
        for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(extra.get(), i, newref(args[npos + i]));
        raw[fn->varpos] = extra.get();
    }
    // A missing argument is reported before an unknown keyword (deliberately, for every
    // function): the first unknown keyword is only remembered until the parameters are checked.
    PyObject* unknown = nullptr;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def->name);
            return false;
        }
        Py_ssize_t i = find_param(fn, key);
        if (i < 0 || i == fn->varpos) {
            if (!unknown) unknown = key;
            continue;
        }
        if (raw[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", def->name, key);
            return false;
        }
        raw[i] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < fn->nparams; ++i) {
        if (raw[i]) continue;
        if (fn->pdefaults[i]) {
            raw[i] = fn->pdefaults[i];
        } else if (i < fn->npos) {
            raise_arity(fn, i);
            return false;
        } else {
            PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U", def->name, fn->pnames[i]);
            return false;
        }
    }
    if (unknown) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def->name, unknown);
        return false;
    }
    return true;
}

// Converted arguments for one call: only as many values as the function has parameters
// are constructed and destroyed (this sits on every call's path).
class Values {
    alignas(Value) unsigned char buf_[sizeof(Value) * MAX_PARAMS];
    Py_ssize_t n_;

public:
    explicit Values(Py_ssize_t n) : n_(n) {
        for (Py_ssize_t i = 0; i < n_; ++i) new (&buf_[i * sizeof(Value)]) Value();
    }
    ~Values() {
        for (Py_ssize_t i = 0; i < n_; ++i) data()[i].~Value();
    }
    Value* data() { return reinterpret_cast<Value*>(buf_); }
};

static PyObject* call_impl(Fn* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* raw_buf[MAX_PARAMS];
    PyObject* const* raw = raw_buf;
    Ref extra;
    if (!kwnames && nargs == fn->nparams && fn->positional)
        raw = args;  // every parameter given by position: nothing to bind
    else if (!bind(fn, args, nargs, kwnames, raw_buf, extra))
        return nullptr;
    Values vals(fn->nparams);
    Value* v = vals.data();
    for (Py_ssize_t i = 0; i < fn->nparams; ++i)
        if (!convert_arg(fn, i, raw[i], v[i])) return nullptr;
    return fn->def->impl.call(fn, v);
}

PyObject* call_general(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Fn* fn = reinterpret_cast<Fn*>(self);
    return guarded<PyObject*>(fn->def->name, nullptr,
                              [&] { return call_impl(fn, args, PyVectorcall_NARGS(nargsf), kwnames); });
}

// ---------------------------------------------------------------------------
// The function type
// ---------------------------------------------------------------------------
static const char* annotation_of(const Param& p, Conv conv) {
    if (p.annotation) return *p.annotation ? p.annotation : nullptr;
    switch (conv) {
        case Conv::Double: return "float";
        case Conv::PyInt: return "int";
        case Conv::Str: return "str";
        case Conv::List: return "list";
        default: return nullptr;
    }
}

static PyObject* default_object(const Default& d) {
    switch (d.k) {
        case Default::Int: return PyLong_FromLongLong(d.i);
        case Default::Float: return PyFloat_FromDouble(d.d);
        case Default::Str: return PyUnicode_FromString(d.s);
        default: Py_RETURN_NONE;
    }
}

static int fn_traverse(PyObject* self, visitproc visit, void* arg) {
    Fn* f = reinterpret_cast<Fn*>(self);
    Py_VISIT(f->globals);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->dict);
    Py_VISIT(f->signature);
    return 0;
}

static int fn_clear(PyObject* self) {
    Fn* f = reinterpret_cast<Fn*>(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->signature);
    return 0;
}

static void fn_dealloc(PyObject* self) {
    Fn* f = reinterpret_cast<Fn*>(self);
    PyObject_GC_UnTrack(self);
    fn_clear(self);
    if (f->pnames) {
        for (Py_ssize_t i = 0; i < f->nparams; ++i) Py_XDECREF(f->pnames[i]);
        PyMem_Free(f->pnames);
    }
    if (f->pdefaults) {
        for (Py_ssize_t i = 0; i < f->nparams; ++i) Py_XDECREF(f->pdefaults[i]);
        PyMem_Free(f->pdefaults);
    }
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    PyObject_GC_Del(self);
}

static PyObject* fn_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<Fn*>(self)->qualname, self);
}

static PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return newref(self);
    return PyMethod_New(self, obj);
}

static PyObject* fn_reduce(PyObject* self, PyObject*) { return newref(reinterpret_cast<Fn*>(self)->qualname); }

static PyObject* build_signature(Fn* f) {
    Ref inspect = import_module("inspect");
    if (!inspect) return nullptr;
    Ref param_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref sig_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!param_cls || !sig_cls) return nullptr;
    Ref params = Ref::steal(PyList_New(0));
    if (!params) return nullptr;
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        const Param& p = f->def->params[i];
        const char* kind = p.kind == Kind::VarPos   ? "VAR_POSITIONAL"
                           : p.kind == Kind::KwOnly ? "KEYWORD_ONLY"
                                                    : "POSITIONAL_OR_KEYWORD";
        Ref kind_obj = Ref::steal(PyObject_GetAttrString(param_cls.get(), kind));
        Ref kw = Ref::steal(PyDict_New());
        if (!kind_obj || !kw) return nullptr;
        if (f->pdefaults[i] && PyDict_SetItemString(kw.get(), "default", f->pdefaults[i]) < 0) return nullptr;
        PyObject* ann = PyDict_GetItemWithError(f->annotations, f->pnames[i]);
        if (ann && PyDict_SetItemString(kw.get(), "annotation", ann) < 0) return nullptr;
        if (PyErr_Occurred()) return nullptr;
        Ref pos = Ref::steal(PyTuple_Pack(2, f->pnames[i], kind_obj.get()));
        if (!pos) return nullptr;
        Ref param = Ref::steal(PyObject_Call(param_cls.get(), pos.get(), kw.get()));
        if (!param || PyList_Append(params.get(), param.get()) < 0) return nullptr;
    }
    Ref kw = Ref::steal(PyDict_New());
    if (!kw) return nullptr;
    PyObject* ret = PyDict_GetItemString(f->annotations, "return");
    if (ret && PyDict_SetItemString(kw.get(), "return_annotation", ret) < 0) return nullptr;
    Ref pos = Ref::steal(PyTuple_Pack(1, params.get()));
    if (!pos) return nullptr;
    return PyObject_Call(sig_cls.get(), pos.get(), kw.get());
}

static PyObject* get_signature(PyObject* self, void*) {
    Fn* f = reinterpret_cast<Fn*>(self);
    return guarded<PyObject*>("__signature__", nullptr, [f]() -> PyObject* {
        if (!f->signature) f->signature = build_signature(f);
        Py_XINCREF(f->signature);
        return f->signature;
    });
}

// Attributes that hold a str and may be replaced by a str, like a Python function's.
template <size_t Offset>
static PyObject* get_field(PyObject* self, void*) {
    return newref(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset));
}
template <size_t Offset>
static int set_str_field(PyObject* self, PyObject* value, void* closure) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", static_cast<const char*>(closure));
        return -1;
    }
    PyObject** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    Py_INCREF(value);
    Py_SETREF(*slot, value);
    return 0;
}
template <size_t Offset>
static int set_any_field(PyObject* self, PyObject* value, void*) {
    PyObject** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    Py_XSETREF(*slot, newref(value ? value : Py_None));
    return 0;
}

static PyGetSetDef fn_getset[] = {
    {"__name__", get_field<offsetof(Fn, name)>, set_str_field<offsetof(Fn, name)>, nullptr,
     const_cast<char*>("__name__")},
    {"__qualname__", get_field<offsetof(Fn, qualname)>, set_str_field<offsetof(Fn, qualname)>, nullptr,
     const_cast<char*>("__qualname__")},
    {"__doc__", get_field<offsetof(Fn, doc)>, set_any_field<offsetof(Fn, doc)>, nullptr, nullptr},
    {"__module__", get_field<offsetof(Fn, module)>, set_any_field<offsetof(Fn, module)>, nullptr, nullptr},
    {"__annotations__", get_field<offsetof(Fn, annotations)>, nullptr, nullptr, nullptr},
    {"__defaults__", get_field<offsetof(Fn, defaults)>, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_field<offsetof(Fn, kwdefaults)>, nullptr, nullptr, nullptr},
    {"__globals__", get_field<offsetof(Fn, globals)>, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject FnType = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "ORVEX.function";
    t.tp_basicsize = sizeof(Fn);
    t.tp_dealloc = fn_dealloc;
    t.tp_vectorcall_offset = offsetof(Fn, vectorcall);
    t.tp_repr = fn_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_traverse = fn_traverse;
    t.tp_clear = fn_clear;
    t.tp_methods = fn_methods;
    t.tp_getset = fn_getset;
    t.tp_descr_get = fn_descr_get;
    t.tp_dictoffset = offsetof(Fn, dict);
    return t;
}();

static const char* conv_name(Conv c) {
    switch (c) {
        case Conv::Double: return "double";
        case Conv::CInt: return "int";
        case Conv::PyInt: return "Int";
        case Conv::Str: return "Str";
        case Conv::List: return "List";
        default: return "Obj";
    }
}

// Each parameter's conversion: the one its C++ type carries (rt::typed), or for a bare
// PyObject* the one its declaration states (an object conversion: double and int are C
// types). A declaration that states another than its type carries, a parameter count other
// than the implementation's, or *args not taken as Args / PyObject*, is a SystemError
// naming the function.
static bool resolve_convs(const FnDef* def, const char* name, Conv* out) {
    const Body& b = def->impl;
    Py_ssize_t n = static_cast<Py_ssize_t>(def->params.size());
    if (b.arity != n) {
        PyErr_Format(PyExc_SystemError, "%s(): the implementation takes %zd parameters, the declaration %zd", name,
                     b.arity, n);
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Param& p = def->params[i];
        Conv have = b.convs[i], said = p.conv;
        Conv c = have == Conv::FromType ? (said == Conv::FromType ? Conv::Object : said) : have;
        bool ok = have == Conv::FromType ? (said != Conv::Double && said != Conv::CInt)
                                         : (said == Conv::FromType || said == have);
        if (p.kind == Kind::VarPos) ok = ok && c == Conv::Object;
        if (!ok) {
            PyErr_Format(PyExc_SystemError,
                         "%s(): parameter '%s' is taken as %s by the implementation, its declaration gives %s",
                         name, p.name, have == Conv::FromType ? "PyObject*" : conv_name(have),
                         p.kind == Kind::VarPos ? "*args (Args)" : conv_name(said));
            return false;
        }
        out[i] = c;
    }
    return true;
}

// Parameter i of a function being made: its interned name, where it stands among the
// kinds, its annotation, and its default (appended to `defaults`, or set in `kwdefaults`).
static bool add_param(Fn* f, Py_ssize_t i, PyObject* defaults, PyObject* kwdefaults) {
    const Param& p = f->def->params[i];
    f->pnames[i] = PyUnicode_InternFromString(p.name);
    if (!f->pnames[i]) return false;
    if (p.kind == Kind::PosOrKw) {
        f->npos = i + 1;
        if (p.def.k == Default::Required) f->nmin = i + 1;
    } else if (p.kind == Kind::VarPos) {
        f->varpos = i;
    }
    if (const char* ann = annotation_of(p, f->conv[i])) {
        Ref s = Ref::steal(PyUnicode_FromString(ann));
        if (!s || PyDict_SetItem(f->annotations, f->pnames[i], s.get()) < 0) return false;
    }
    if (p.def.k == Default::Required) return true;
    Ref d = Ref::steal(default_object(p.def));
    if (!d) return false;
    int rc = p.kind == Kind::KwOnly ? PyDict_SetItem(kwdefaults, f->pnames[i], d.get())
                                    : PyList_Append(defaults, d.get());
    if (rc < 0) return false;
    f->pdefaults[i] = d.release();
    return true;
}

PyObject* make_fn(const FnDef* def, PyObject* globals, PyObject* module, const char* qualname) {
    if (PyType_Ready(&FnType) < 0) return nullptr;
    if (static_cast<Py_ssize_t>(def->params.size()) > MAX_PARAMS) {
        PyErr_SetString(PyExc_SystemError, "too many parameters in a native function declaration");
        return nullptr;
    }
    Conv conv[MAX_PARAMS];
    if (!resolve_convs(def, qualname ? qualname : def->name, conv)) return nullptr;
    Fn* f = PyObject_GC_New(Fn, &FnType);
    if (!f) return nullptr;
    f->vectorcall = def->impl.vectorcall ? def->impl.vectorcall : call_general;
    std::copy(conv, conv + def->params.size(), f->conv);
    f->def = def;
    f->globals = newref(globals);
    f->module = newref(module);
    f->name = f->qualname = f->doc = f->annotations = f->defaults = f->kwdefaults = nullptr;
    f->dict = f->signature = nullptr;
    f->pnames = f->pdefaults = nullptr;
    f->nparams = static_cast<Py_ssize_t>(def->params.size());
    f->npos = f->nmin = 0;
    f->varpos = -1;
    f->positional = false;
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(f));  // frees the object on any error below
    f->name = PyUnicode_FromString(def->name);
    f->qualname = PyUnicode_FromString(qualname ? qualname : def->name);
    f->doc = def->doc ? PyUnicode_FromString(def->doc) : newref(Py_None);
    f->annotations = PyDict_New();
    f->pnames = static_cast<PyObject**>(PyMem_Calloc(f->nparams + 1, sizeof(PyObject*)));
    f->pdefaults = static_cast<PyObject**>(PyMem_Calloc(f->nparams + 1, sizeof(PyObject*)));
    if (!f->name || !f->qualname || !f->doc || !f->annotations || !f->pnames || !f->pdefaults) return nullptr;

    Ref defaults = Ref::steal(PyList_New(0));
    Ref kwdefaults = Ref::steal(PyDict_New());
    if (!defaults || !kwdefaults) return nullptr;
    for (Py_ssize_t i = 0; i < f->nparams; ++i)
        if (!add_param(f, i, defaults.get(), kwdefaults.get())) return nullptr;
    if (def->ret) {
        Ref s = Ref::steal(PyUnicode_FromString(def->ret));
        if (!s || PyDict_SetItemString(f->annotations, "return", s.get()) < 0) return nullptr;
    }
    f->defaults = PyList_GET_SIZE(defaults.get()) ? PyList_AsTuple(defaults.get()) : newref(Py_None);
    f->kwdefaults = PyDict_GET_SIZE(kwdefaults.get()) ? kwdefaults.newref() : newref(Py_None);
    if (!f->defaults) return nullptr;
    f->positional = f->npos == f->nparams && !def->noargs;
    PyObject_GC_Track(self.get());
    return self.release();
}

// ---------------------------------------------------------------------------
// Globals, calls, modules, classes
// ---------------------------------------------------------------------------
PyObject* builtins_of(PyObject* globals) {
    PyObject* b = PyDict_GetItemWithError(globals, n_builtins.get());
    if (b) return PyModule_Check(b) ? PyModule_GetDict(b) : b;
    if (PyErr_Occurred()) return nullptr;
    if (!g_interp_builtins) PyErr_SetString(PyExc_SystemError, "ORVEX runtime used before a module was made");
    return g_interp_builtins;
}

Ref global(PyObject* globals, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(globals, name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) return {};
    PyObject* builtins = builtins_of(globals);
    if (!builtins) return {};
    if (PyDict_CheckExact(builtins)) {
        v = PyDict_GetItemWithError(builtins, name);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) return {};
    } else {
        Ref r = Ref::steal(PyObject_GetItem(builtins, name));
        if (r || !PyErr_ExceptionMatches(PyExc_KeyError)) return r;
        PyErr_Clear();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref import_module(const char* name) {
    Ref top = Ref::steal(PyImport_ImportModuleLevel(name, nullptr, nullptr, nullptr, 0));
    if (!top) return {};
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) return {};
    Ref mod = Ref::steal(PyImport_GetModule(key.get()));
    if (!mod && !PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "No module named %R", key.get());
    return mod;
}

Ref builtin(const char* name) {
    Ref mod = import_module("builtins");
    if (!mod) return {};
    return Ref::steal(PyObject_GetAttrString(mod.get(), name));
}

bool super_init(PyObject* super_fn, PyObject* cls, PyObject* self) {
    Ref sup = call(super_fn, {cls, self});
    if (!sup) return false;
    Ref init = getattr(sup.get(), n_init);
    return init && call(init.get(), {});
}

bool add_fn(PyObject* module, const FnDef* def) {
    Ref modname = Ref::steal(PyModule_GetNameObject(module));
    if (!modname) return false;
    Ref fn = Ref::steal(make_fn(def, PyModule_GetDict(module), modname.get()));
    return fn && PyDict_SetItemString(PyModule_GetDict(module), def->name, fn.get()) == 0;
}

PyObject* make_module(PyModuleDef* def, std::initializer_list<const FnDef*> fns) {
    return guarded_init(def->m_name, [&]() -> PyObject* {
        if (!init_names()) return nullptr;
        if (!g_interp_builtins) {
            Ref mod = import_module("builtins");
            if (!mod) return nullptr;
            g_interp_builtins = newref(PyModule_GetDict(mod.get()));
        }
        Ref m = Ref::steal(PyModule_Create(def));
        if (!m) return nullptr;
        for (const FnDef* f : fns)
            if (!add_fn(m.get(), f)) return nullptr;
        return m.release();
    });
}

bool import_from(PyObject* module, const char* modname, std::initializer_list<const char*> names) {
    Ref src = import_module(modname);
    if (!src) return false;
    PyObject* dict = PyModule_GetDict(module);
    for (const char* n : names) {
        Ref key = Ref::steal(PyUnicode_InternFromString(n));
        if (!key) return false;
        Ref v = Ref::steal(PyObject_GetAttr(src.get(), key.get()));
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name %S", key.get());
            return false;
        }
        if (PyDict_SetItem(dict, key.get(), v.get()) < 0) return false;
    }
    return true;
}

bool import_star(PyObject* module, const char* modname) {
    Ref src = import_module(modname);
    if (!src) return false;
    Ref items = Ref::steal(PyDict_Items(PyModule_GetDict(src.get())));
    if (!items) return false;
    PyObject* dict = PyModule_GetDict(module);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* kv = PyList_GET_ITEM(items.get(), i);
        PyObject* key = PyTuple_GET_ITEM(kv, 0);
        if (!PyUnicode_Check(key) || PyUnicode_READ_CHAR(key, 0) == '_') continue;
        if (PyDict_SetItem(dict, key, PyTuple_GET_ITEM(kv, 1)) < 0) return false;
    }
    return true;
}

// The host's private-name mangling: __name inside class _C becomes _C__name.
static std::string mangle(const char* cls, const char* name) {
    size_t n = std::strlen(name);
    if (n < 3 || name[0] != '_' || name[1] != '_' || (name[n - 1] == '_' && name[n - 2] == '_')) return name;
    while (*cls == '_') ++cls;
    return std::string("_") + cls + name;
}

PyObject* make_class(PyObject* module, const char* name, std::initializer_list<const FnDef*> methods) {
    Ref modname = Ref::steal(PyModule_GetNameObject(module));
    Ref ns = Ref::steal(PyDict_New());
    if (!modname || !ns) return nullptr;
    Ref qual = Ref::steal(PyUnicode_FromString(name));
    if (!qual || PyDict_SetItemString(ns.get(), "__module__", modname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qual.get()) < 0)
        return nullptr;
    PyObject* globals = PyModule_GetDict(module);
    for (const FnDef* m : methods) {
        std::string qualname = std::string(name) + "." + m->name;
        Ref fn = Ref::steal(make_fn(m, globals, modname.get(), qualname.c_str()));
        if (!fn || PyDict_SetItemString(ns.get(), mangle(name, m->name).c_str(), fn.get()) < 0) return nullptr;
    }
    Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", name, ns.get()));
    if (!cls || PyDict_SetItemString(globals, name, cls.get()) < 0) return nullptr;
    return cls.release();
}

}  // namespace rt
