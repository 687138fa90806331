// The ORVEX runtime: the one layer every extension module stands on.
//
//  * Ref          an owning reference (RAII); borrowed pointers stay bare PyObject*.
//  * FnDef/Param  a declarative signature (rt::declare<&f>, standing under f): names,
//                 kinds, annotations, defaults, docstring; each parameter's conversion
//                 is its C++ type in f (double, int, Obj, Str, List, Int, Args). A call
//                 passing every parameter by position converts straight into f's
//                 parameters; one binder (bind()) handles keywords and defaults. Both
//                 raise every argument error text.
//  * Fn           the native function type: vectorcall, __name__/__qualname__/__doc__/
//                 __module__/__annotations__/__defaults__/__kwdefaults__/__signature__,
//                 binds as a method when stored on a class.
//  * guard        every entry from Python into native code (calls, getters that run
//                 code, module init) is counted like a Python call, checks the C stack
//                 and turns C++ exceptions into Python ones (enter_native, guarded);
//                 Interrupts lets long loops notice Ctrl-C.
//  * Name         interned names, all made when the module is made.
//  * conversions  to_double / to_pyint / to_cint / exact str / exact list.
//  * globals      lookup at call time: module dict, then the module's own built-ins,
//                 else NameError (GlobalName: the same lookup, remembered while the dicts
//                 are unchanged); imports through the import system, never the caller's
//                 __import__ (import_module).
//  * internals    every cache that relies on CPython internals is in orvex/internals.hpp,
//                 behind one switch (ORVEX_INTERNALS).
//  * classes      ordinary Python classes built from native methods (type(...)).
#pragma once

#include "orvex/internals.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <tuple>
#include <utility>
#include <vector>

namespace rt {

// ---------------------------------------------------------------------------
// Owning reference
// ---------------------------------------------------------------------------
class Ref {
    PyObject* p_ = nullptr;

public:
    Ref() = default;
    Ref(std::nullptr_t) {}
    static Ref steal(PyObject* p) { Ref r; r.p_ = p; return r; }
    static Ref borrow(PyObject* p) { Py_XINCREF(p); return steal(p); }
    Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref o) noexcept { std::swap(p_, o.p_); return *this; }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { PyObject* p = p_; p_ = nullptr; return p; }
    // A new reference for returning to the interpreter.
    PyObject* newref() const { Py_XINCREF(p_); return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    void reset() { Ref().swap(*this); }
    void swap(Ref& o) noexcept { std::swap(p_, o.p_); }
};

inline PyObject* newref(PyObject* o) { Py_INCREF(o); return o; }

// An interned name. Every Name of a module is interned when the module is initialised
// (make_module calls init_names()), so get() never fails and never hands the C API a null
// name. Names belong at namespace scope: one made after the module (a function's local
// static) is interned when it is made, where a failure could not be reported.
class Name {
    const char* text_;
    PyObject* obj_ = nullptr;
    Name* next_;  // all Names of this module, newest first

    static Name*& chain() {
        static Name* head = nullptr;
        return head;
    }
    static bool& made() {  // init_names() has run
        static bool done = false;
        return done;
    }
    friend bool init_names();

public:
    explicit Name(const char* text) : text_(text), next_(chain()) {
        chain() = this;
        if (made()) obj_ = PyUnicode_InternFromString(text_);
    }
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;
    PyObject* get() const { return obj_; }
    const char* c_str() const { return text_; }
};

// Interns every Name not yet interned; false with MemoryError set when one fails (those
// already interned stay valid, so a later attempt only does the rest).
bool init_names();

// ---------------------------------------------------------------------------
// The guarded entry into native code
// ---------------------------------------------------------------------------

// Whether the C stack left below the caller's frame is less than the reserve a native call
// needs to go on: a quarter of the current thread's stack, at most 256 KiB (how deep native
// code may nest is bounded by the interpreter's recursion count, but how much C stack a
// level takes is the interpreter's guess for its own frames). False where the platform
// does not tell the stack's extent.
bool stack_exhausted_slow(const char* here);

#if ORVEX_STACK_CACHE
// The stack of the thread that made the last check (ORVEX_STACK_CACHE): an address inside
// it is on that thread's stack (live threads' stacks do not overlap, and a block is reused
// for a new thread only with the same extent), so while calls stay on one thread (the GIL
// hands the interpreter from thread to thread rarely, compared with calls) the check is
// two comparisons.
struct LastStack {
    const char* floor = nullptr;  // the lowest address a call may start at
    const char* top = nullptr;    // the end of the stack (null: no thread checked yet)
};
extern LastStack g_last_stack;
#endif

inline bool stack_exhausted() {
    const char* here = static_cast<const char*>(__builtin_frame_address(0));
#if ORVEX_STACK_CACHE
    if (here >= g_last_stack.floor && here < g_last_stack.top) return false;
#endif
    return stack_exhausted_slow(here);
}

// Enters a call from Python into native code: counts it like a Python-level call
// (Py_EnterRecursiveCall) and checks the C stack; false with RecursionError set.
// leave_native() undoes a successful enter_native().
inline bool enter_native() {
    if (stack_exhausted()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded (C stack nearly exhausted)");
        return false;
    }
    return Py_EnterRecursiveCall("") == 0;
}
inline void leave_native() { Py_LeaveRecursiveCall(); }

// Turns the C++ exception being handled into the Python exception: std::bad_alloc becomes
// MemoryError, anything else a SystemError naming `where` (a fault, not an outcome).
// Only inside a catch block.
void raise_cpp_exception(const char* where) noexcept;

// Runs `body` (returning R, `fail` meaning "exception set") as one guarded entry: counted,
// stack-checked, and with no C++ exception getting past it. Every way Python calls into
// native code goes through this: the native function type's vectorcall, its attribute
// getters that run code, and module initialisation.
template <class R, class F>
R guarded(const char* where, R fail, F&& body) noexcept {
    if (!enter_native()) return fail;
    R r = fail;
    try {
        r = body();
    } catch (...) {
        raise_cpp_exception(where);
        r = fail;
    }
    leave_native();
    return r;
}

// A module's PyInit body, guarded; a module is created once per process, so the body
// must leave no half-set state behind it when it fails (build everything first, then
// publish it).
template <class F>
PyObject* guarded_init(const char* module, F&& body) noexcept {
    return guarded<PyObject*>(module, nullptr, body);
}

// Lets a native loop whose length depends on the input notice Ctrl-C: tick() once per
// step; every `period` steps it runs the host's signal handlers (PyErr_CheckSignals), and
// is false with their exception (KeyboardInterrupt) set. The periods below keep a check
// to every few milliseconds of work or less. On 3.12+ a check may also run a scheduled
// garbage collection (so finalisers): hold no borrowed references across tick().
class Interrupts {
    unsigned left_;
    const unsigned period_;
    bool stopped_ = false;  // once false, tick() stays false

public:
    static constexpr unsigned kDoubles = 1u << 20;  // steps of a few double operations
    static constexpr unsigned kObjects = 1u << 10;  // steps of a few operations on objects
    static constexpr unsigned kCalls = 1;           // steps that call arbitrary code
    explicit Interrupts(unsigned period = kObjects) : left_(period), period_(period) {}
    bool tick() {
        if (--left_) return true;
        left_ = period_;
        if (!stopped_ && PyErr_CheckSignals() == 0) return true;
        stopped_ = true;
        left_ = 1;
        return false;
    }
    // A functor form for loops in C++ code outside the runtime (numcore), which stop when it is false.
    bool operator()() { return tick(); }
    // Whether a check raised (the loop's result is then not one).
    bool stopped() const { return stopped_; }
};

// A loop of fewer steps than one period never reaches a check: for such loops on a hot
// path, interruptible() hands `body` a ticker that checks nothing, else an Interrupts.
// `body` takes the ticker (`auto& tick`, called as tick() or tick.tick()); `stopped` tells
// whether a check raised (the exception is set and body's result is not one).
struct NoInterrupts {
    bool tick() const { return true; }
    bool operator()() const { return true; }
};
template <class F>
auto interruptible(unsigned long long steps, unsigned period, bool& stopped, F&& body) {
    stopped = false;
    if (steps < period) {
        NoInterrupts none;
        return body(none);
    }
    Interrupts sig(period);
    auto r = body(sig);
    stopped = sig.stopped();
    return r;
}

// ---------------------------------------------------------------------------
// Conversions (each returns false with the exception set on failure)
// ---------------------------------------------------------------------------

// Anything the host converts to float; exact floats directly.
bool to_double(PyObject* o, double& out);
// An exact int is taken as it is; any other number goes through int();
// everything else raises the incorrect-type message for `param`.
bool to_pyint(PyObject* o, const char* param, Ref& out);
// A 32-bit C int through the host's integer conversion: "an integer is required"
// for objects without one, OverflowError outside the range.
bool to_cint(PyObject* o, int& out);
// Exact type checks with the incorrect-type message (and a note for list subclasses).
bool check_exact(PyObject* o, PyTypeObject* type, const char* param);
// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
void raise_incorrect_type(const char* param, const char* expected, PyObject* got);

// Unsigned 128-bit values: an exact int in [0, 2**128) converts (false, with no exception
// set, for anything else); from_u128 builds the int.
bool as_u128(PyObject* o, unsigned __int128& out);
Ref from_u128(unsigned __int128 v);

// An exact float, or an exact int of magnitude at most `limit` (which converts to a double
// exactly): the numbers for which the host's arithmetic can be replaced by double
// arithmetic, as the caller's own bound ensures.
inline bool exact_double(PyObject* o, double& out, long long limit = 1LL << 53) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow || v > limit || v < -limit) return false;
        out = static_cast<double>(v);
        return true;
    }
    return false;
}
// The older name (tensilo moves to exact_double).
inline bool plain_double(PyObject* o, double& out, long long limit = 1LL << 53) { return exact_double(o, out, limit); }

// A float object for a double; small helper to keep call sites short.
inline Ref flt(double d) { return Ref::steal(PyFloat_FromDouble(d)); }
inline Ref lng(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }

// ---------------------------------------------------------------------------
// Declarative signatures
// ---------------------------------------------------------------------------
// An implementation states each parameter's conversion by its C++ type; its declaration
// (rt::declare) stands directly under it and holds only names, kinds, defaults, annotations
// and the docstring:
//
//     PyObject* exp_impl(Fn* fn, Obj x, Obj terms) { ... }
//     const FnDef exp_def = declare<&exp_impl>("exp", {P("x"), P("terms", def_int(20))}, "float");
//
//     double  converted to a C double (anything the host converts to float)
//     int     converted to a 32-bit C int ("an integer is required", OverflowError)
//     Int     converted to an exact Python int (an exact int as it is, other numbers int())
//     Str     an exact str            List   an exact list
//     Obj     taken as it comes       Args   the tuple of *args (a VarArgs parameter)
//
// Obj and the types derived from it are borrowed for the call and stand for their
// PyObject* wherever one is expected (the C API's access macros that cast their argument to
// another struct, such as PyList_GET_SIZE before 3.13, take x.get()). A declaration naming a different number of parameters
// than its implementation takes does not compile.
enum class Conv {
    FromType,  // the one the implementation's parameter type gives (a bare PyObject*: Object)
    Object,    // taken as it comes
    Double,    // converted to a C double (Value::d); Value::obj keeps the argument
    PyInt,     // converted to an exact Python int (Value::obj)
    CInt,      // converted to a 32-bit C int (Value::i)
    Str,       // exact str
    List,      // exact list
};

struct Obj {
    PyObject* p;
    operator PyObject*() const noexcept { return p; }
    PyObject* get() const noexcept { return p; }
};
struct Str : Obj {};
struct List : Obj {};
struct Int : Obj {};
struct Args : Obj {};

enum class Kind { PosOrKw, VarPos, KwOnly };

struct Default {
    enum K { Required, Int, Float, Str } k = Required;
    long long i = 0;
    double d = 0.0;
    const char* s = nullptr;
};
inline Default def_int(long long v) { Default d; d.k = Default::Int; d.i = v; return d; }
inline Default def_float(double v) { Default d; d.k = Default::Float; d.d = v; return d; }
inline Default def_str(const char* v) { Default d; d.k = Default::Str; d.s = v; return d; }

// The annotation "no annotation"; a null annotation is derived from the conversion
// (Double -> "float", PyInt -> "int", Str -> "str", List -> "list", else none).
extern const char* const NOANN;

struct Param {
    const char* name;
    Conv conv = Conv::FromType;  // stated only by declarations of bare PyObject* parameters
    Default def = {};
    const char* annotation = nullptr;
    Kind kind = Kind::PosOrKw;
};

// A parameter: its name, then optionally its default and its annotation.
inline Param P(const char* name, Default d = {}, const char* ann = nullptr) {
    return Param{name, Conv::FromType, d, ann, Kind::PosOrKw};
}
inline Param P(const char* name, const char* ann) { return P(name, Default{}, ann); }
inline Param VarArgs(const char* name, const char* ann = nullptr) {
    return Param{name, Conv::FromType, {}, ann, Kind::VarPos};
}
inline Param KwOnly(const char* name, Default d = {}, const char* ann = nullptr) {
    return Param{name, Conv::FromType, d, ann, Kind::KwOnly};
}
// The explicit forms: a bare PyObject* parameter with its conversion stated in the
// declaration (every module now uses the typed forms; the binder's own tests check both).
inline Param P(const char* name, Conv c, Default d = {}, const char* ann = nullptr) {
    return Param{name, c, d, ann, Kind::PosOrKw};
}
inline Param KwOnly(const char* name, Conv c, Default d = {}, const char* ann = nullptr) {
    return Param{name, c, d, ann, Kind::KwOnly};
}

// A converted argument.
struct Value {
    Ref obj;       // the argument (or its conversion result); a tuple for *args
    double d = 0;  // Conv::Double
    int i = 0;     // Conv::CInt
};

struct Fn;
using Impl = PyObject* (*)(Fn* fn, Value* v);

// What a declaration calls: the general entry `call` with the converted values, the
// conversion each of the implementation's parameter types gives (FromType for a bare
// PyObject*, whose declaration says), and `vectorcall`, the entry for a call that passes
// every parameter by position, which converts straight into the implementation's
// parameters (make_fn checks the declaration against the types once).
struct Body {
    Impl call;
    const Conv* convs;
    Py_ssize_t arity;
    vectorcallfunc vectorcall;
    constexpr Body(Impl f, const Conv* c, Py_ssize_t n, vectorcallfunc v = nullptr)
        : call(f), convs(c), arity(n), vectorcall(v) {}
};

struct FnDef {
    const char* name;
    const char* doc;  // nullptr: no docstring
    std::vector<Param> params;
    const char* ret;  // return annotation, nullptr: none
    Body impl;        // typed<&f>
    bool noargs = false;  // "takes no arguments" / "takes no keyword arguments"
};

// ---------------------------------------------------------------------------
// The native function object
// ---------------------------------------------------------------------------
// The most parameters a declaration may have.
constexpr Py_ssize_t MAX_PARAMS = 12;

struct Fn {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FnDef* def;
    PyObject* globals;      // the module dict
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;  // dict
    PyObject* defaults;     // tuple or None
    PyObject* kwdefaults;   // dict or None
    PyObject* dict;         // arbitrary attributes
    PyObject* signature;    // built on first use
    PyObject** pnames;      // interned parameter names, one per param
    PyObject** pdefaults;   // default object per param (owned), or null
    Py_ssize_t nparams;     // all parameters
    Py_ssize_t npos;        // positional-or-keyword parameters (they come first)
    Py_ssize_t nmin;        // positional parameters without a default
    Py_ssize_t varpos;      // index of *args, or -1
    bool positional;        // every parameter is positional-or-keyword: a call passing all by
                            // position binds nothing
    Conv conv[MAX_PARAMS];  // each parameter's conversion, resolved
};

// The general entry of every native function: binds keywords and defaults, converts, and
// calls the implementation, as one guarded entry.
PyObject* call_general(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);
// Converts argument `o` for parameter `i` of `fn`; false with the exception set.
bool convert_arg(Fn* fn, Py_ssize_t i, PyObject* o, Value& v);

// ---------------------------------------------------------------------------
// Named, typed parameters
// ---------------------------------------------------------------------------
namespace detail {
template <class T>
struct Arg;  // no specialisation: a parameter type the binder cannot hand over

// Each parameter type: the conversion it carries, how it is read from a converted Value
// (the general entry) and a Slot that converts an argument straight into it (the
// all-positional entry).
template <>
struct Arg<double> {
    static constexpr Conv conv = Conv::Double;
    static double get(Value& v) { return v.d; }
    struct Slot {
        double d;
        bool load(Fn*, Py_ssize_t, PyObject* o) {
            if (PyFloat_CheckExact(o)) {
                d = PyFloat_AS_DOUBLE(o);
                return true;
            }
            return to_double(o, d);
        }
        double get() const { return d; }
    };
};
template <>
struct Arg<int> {
    static constexpr Conv conv = Conv::CInt;
    static int get(Value& v) { return v.i; }
    struct Slot {
        int i;
        bool load(Fn*, Py_ssize_t, PyObject* o) { return to_cint(o, i); }
        int get() const { return i; }
    };
};
// An Obj-derived type whose conversion is only a check (or nothing).
template <class T, Conv C>
struct ObjArg {
    static constexpr Conv conv = C;
    static T get(Value& v) { return T{{v.obj.get()}}; }
    struct Slot {
        PyObject* p;
        bool load(Fn* fn, Py_ssize_t i, PyObject* o);
        T get() const { return T{{p}}; }
    };
};
template <>
struct Arg<Obj> {
    static constexpr Conv conv = Conv::Object;
    static Obj get(Value& v) { return Obj{v.obj.get()}; }
    struct Slot {
        PyObject* p;
        bool load(Fn*, Py_ssize_t, PyObject* o) { p = o; return true; }
        Obj get() const { return Obj{p}; }
    };
};
template <>
struct Arg<Str> : ObjArg<Str, Conv::Str> {};
template <>
struct Arg<List> : ObjArg<List, Conv::List> {};
template <>
struct Arg<Args> : ObjArg<Args, Conv::Object> {};
template <>
struct Arg<Int> {
    static constexpr Conv conv = Conv::PyInt;
    static Int get(Value& v) { return Int{{v.obj.get()}}; }
    struct Slot {
        Ref r;
        bool load(Fn* fn, Py_ssize_t i, PyObject* o);
        Int get() const { return Int{{r.get()}}; }
    };
};
template <class T, Conv C>
bool ObjArg<T, C>::Slot::load(Fn* fn, Py_ssize_t i, PyObject* o) {
    p = o;
    if constexpr (C == Conv::Str) {
        return PyUnicode_CheckExact(o) || check_exact(o, &PyUnicode_Type, fn->def->params[i].name);
    } else if constexpr (C == Conv::List) {
        return PyList_CheckExact(o) || check_exact(o, &PyList_Type, fn->def->params[i].name);
    } else {
        (void)fn, (void)i;
        return true;
    }
}
inline bool Arg<Int>::Slot::load(Fn* fn, Py_ssize_t i, PyObject* o) {
    return to_pyint(o, fn->def->params[i].name, r);
}
// A bare PyObject*: the conversion its declaration states.
template <>
struct Arg<PyObject*> {
    static constexpr Conv conv = Conv::FromType;
    static PyObject* get(Value& v) { return v.obj.get(); }
    struct Slot {
        Value v;
        bool load(Fn* fn, Py_ssize_t i, PyObject* o) { return convert_arg(fn, i, o, v); }
        PyObject* get() const { return v.obj.get(); }
    };
};

template <class F>
struct Typed {
    static_assert(sizeof(F) == 0,
                  "an implementation is PyObject* f(Fn*, <double | int | Obj | Str | List | Int | Args>...)");
};
template <class... A>
struct Typed<PyObject* (*)(Fn*, A...)> {
    static constexpr Py_ssize_t arity = sizeof...(A);
    static constexpr Conv convs[sizeof...(A) + 1] = {Arg<A>::conv..., Conv::Object};

    template <PyObject* (*F)(Fn*, A...), std::size_t... I>
    static PyObject* unpack(Fn* fn, [[maybe_unused]] Value* v, std::index_sequence<I...>) {
        return F(fn, Arg<A>::get(v[I])...);
    }
    template <PyObject* (*F)(Fn*, A...)>
    static PyObject* call(Fn* fn, Value* v) {
        return unpack<F>(fn, v, std::index_sequence_for<A...>{});
    }

    template <PyObject* (*F)(Fn*, A...), std::size_t... I>
    static PyObject* direct(Fn* fn, [[maybe_unused]] PyObject* const* args, std::index_sequence<I...>) {
        std::tuple<typename Arg<A>::Slot...> slots;
        if (!(std::get<I>(slots).load(fn, static_cast<Py_ssize_t>(I), args[I]) && ...)) return nullptr;
        return F(fn, std::get<I>(slots).get()...);
    }
    // Every call: all parameters passed by position convert straight into F's parameters,
    // as one guarded entry; anything else goes through the general entry.
    template <PyObject* (*F)(Fn*, A...)>
    static PyObject* vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
        Fn* fn = reinterpret_cast<Fn*>(self);
        if (kwnames || PyVectorcall_NARGS(nargsf) != arity || !fn->positional)
            return call_general(self, args, nargsf, kwnames);
        return guarded<PyObject*>(fn->def->name, nullptr,
                                  [&] { return direct<F>(fn, args, std::index_sequence_for<A...>{}); });
    }
};
}  // namespace detail

template <auto F>
inline constexpr Body typed{&detail::Typed<decltype(F)>::template call<F>, detail::Typed<decltype(F)>::convs,
                            detail::Typed<decltype(F)>::arity,
                            &detail::Typed<decltype(F)>::template vectorcall<F>};

// The declaration of implementation F: its name, its parameters (as many as F takes),
// its return annotation and its docstring.
template <auto F, std::size_t N>
FnDef declare(const char* name, const Param (&params)[N], const char* ret = nullptr, const char* doc = nullptr) {
    static_assert(N == detail::Typed<decltype(F)>::arity,
                  "the declaration names as many parameters as its implementation takes");
    return FnDef{name, doc, std::vector<Param>(params, params + N), ret, typed<F>};
}
// A function that takes no arguments at all ("takes no arguments").
template <auto F>
FnDef declare_noargs(const char* name, const char* ret = nullptr, const char* doc = nullptr) {
    static_assert(detail::Typed<decltype(F)>::arity == 0, "a function without arguments takes no parameters");
    return FnDef{name, doc, {}, ret, typed<F>, true};
}

extern PyTypeObject FnType;

// Creates a function whose globals are `globals` and whose __module__ is `module`.
// `qualname` defaults to the name.
PyObject* make_fn(const FnDef* def, PyObject* globals, PyObject* module, const char* qualname = nullptr);

inline bool is_fn(PyObject* o, const FnDef* def) {
    return Py_TYPE(o) == &FnType && reinterpret_cast<Fn*>(o)->def == def;
}

// ---------------------------------------------------------------------------
// Globals, calls, modules, classes
// ---------------------------------------------------------------------------

// The built-ins a function of the module with these globals sees, as for a Python function
// defined there: its globals' `__builtins__` (a module stands for its dict), else the
// interpreter's own. Never the calling frame's. Borrowed; null with an exception set.
PyObject* builtins_of(PyObject* globals);

// Module dict, then its built-ins (builtins_of); NameError "name '%U' is not defined".
Ref global(PyObject* globals, PyObject* name);
inline Ref global(Fn* fn, Name& name) { return global(fn->globals, name.get()); }

// rt::global looks a name up at each call: the module's dict, then its built-ins, else
// NameError. A GlobalName remembers what its last lookup found together with the version
// tags of the dicts it read (ORVEX_DICT_TAGS, orvex/internals.hpp). Every insertion,
// replacement or deletion gives a dict a new tag, so while the tags are the same, looking
// again would find the same object (the module dict unchanged means its `__builtins__`
// entry, so the built-ins dict read, is the same); it is returned without probing. Only
// dicts whose keys are all exact str are remembered, since probing others may run a key's
// __eq__. With the cache off every lookup probes.
class GlobalName {
    Name name_;
#if ORVEX_DICT_TAGS
    const void* globals_ = nullptr;   // the dicts read by the last lookup
    const void* builtins_ = nullptr;  // (null: found in the module's dict)
    uint64_t gtag_ = 0, btag_ = 0;    // and their tags then
    PyObject* value_ = nullptr;       // what it found, borrowed from the unchanged dict

    static uint64_t tag(PyObject* dict) { return internals::dict_tag(dict); }
    static bool str_keys_only(PyObject* dict) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(dict, &pos, &k, &v))
            if (!PyUnicode_CheckExact(k)) return false;
        return true;
    }
    void remember(PyObject* globals, PyObject* builtins, PyObject* value) {
        if (!str_keys_only(globals) || (builtins && !str_keys_only(builtins))) return;
        globals_ = globals;
        gtag_ = tag(globals);
        builtins_ = builtins;
        btag_ = builtins ? tag(builtins) : 0;
        value_ = value;
    }
#endif

public:
    explicit GlobalName(const char* text) : name_(text) {}
    PyObject* get() const { return name_.get(); }

    // What rt::global(globals, name) gives.
    Ref lookup(PyObject* globals) {
#if ORVEX_DICT_TAGS
        if (value_ && globals == globals_ && tag(globals) == gtag_) {
            if (!builtins_) return Ref::borrow(value_);
            PyObject* b = const_cast<PyObject*>(static_cast<const PyObject*>(builtins_));
            if (tag(b) == btag_) return Ref::borrow(value_);
        }
        value_ = nullptr;
        PyObject* key = name_.get();
        if (PyDict_CheckExact(globals)) {
            PyObject* v = PyDict_GetItemWithError(globals, key);
            if (v) {
                remember(globals, nullptr, v);
                return Ref::borrow(v);
            }
            if (PyErr_Occurred()) return {};
            PyObject* b = builtins_of(globals);
            if (!b) return {};
            if (PyDict_CheckExact(b)) {
                v = PyDict_GetItemWithError(b, key);
                if (v) {
                    remember(globals, b, v);
                    return Ref::borrow(v);
                }
                if (PyErr_Occurred()) return {};
            }
        }
#endif
        return global(globals, name_.get());
    }
};

inline Ref global(Fn* fn, GlobalName& name) { return name.lookup(fn->globals); }

// The module's own binding of `name` (borrowed; null, with no exception set, when the
// module does not bind it): for fast paths that check a global is still a given object.
inline PyObject* peek_global(Fn* fn, Name& name) {
    PyObject* v = PyDict_GetItemWithError(fn->globals, name.get());
    if (!v) PyErr_Clear();
    return v;
}

// Call with positional arguments only.
inline Ref call(PyObject* f, std::initializer_list<PyObject*> args) {
    return Ref::steal(PyObject_Vectorcall(f, const_cast<PyObject**>(args.begin()), args.size(), nullptr));
}
// Looks the global up now, then calls it with positional arguments.
inline Ref call_global(Fn* fn, Name& name, std::initializer_list<PyObject*> args) {
    Ref f = global(fn, name);
    if (!f) return {};
    return call(f.get(), args);
}
// super(cls, self).__init__() through the given `super` callable.
bool super_init(PyObject* super_fn, PyObject* cls, PyObject* self);
// The module `name` (dotted names give the last one), imported through the import system
// itself: never through the calling frame's `__import__` (which may be missing, or hooked).
Ref import_module(const char* name);
// A built-in looked up in the builtins module (cached by the caller when wanted).
Ref builtin(const char* name);

// Creates the module and binds the functions in order.
PyObject* make_module(PyModuleDef* def, std::initializer_list<const FnDef*> fns);
bool add_fn(PyObject* module, const FnDef* def);

// `from <modname> import name, ...` into the module's dict; ImportError "cannot import name %S".
bool import_from(PyObject* module, const char* modname, std::initializer_list<const char*> names);
// `from <modname> import *` (public names in the module's dict order).
bool import_star(PyObject* module, const char* modname);

// An ordinary class `type(name, (object,), {...})` with __module__/__qualname__ set and
// private method names mangled; bound into the module under `name`.
PyObject* make_class(PyObject* module, const char* name, std::initializer_list<const FnDef*> methods);

// The host's number protocol on objects, as owning references.
inline Ref add(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Add(a, b)); }
inline Ref sub(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Subtract(a, b)); }
inline Ref mul(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Multiply(a, b)); }
inline Ref truediv(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_TrueDivide(a, b)); }
inline Ref neg(PyObject* a) { return Ref::steal(PyNumber_Negative(a)); }
inline Ref power(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Power(a, b, Py_None)); }

// A loop counter for range(start, stop) over a host integer `stop` (anything with
// __index__): false with the host's TypeError otherwise. Stops beyond the C range are
// clamped (such a loop cannot finish anyway).
bool range_stop(PyObject* stop, long long& out);

// format(o, ""): the printed form through the object's own __format__.
inline Ref format_default(PyObject* o) {
    Ref empty = Ref::steal(PyUnicode_FromString(""));
    if (!empty) return {};
    return Ref::steal(PyObject_Format(o, empty.get()));
}
// The older name (lystra moves to format_default).
inline Ref format_plain(PyObject* o) { return format_default(o); }

// Reading (kAttrRead) and/or writing (kAttrWrite) these attributes on instances of `type`
// runs no Python code beyond the instance dict: the generic attribute access and no class
// attribute (a property, a slot) of those names anywhere in the MRO. Fast paths that skip
// attribute reads or writes nobody could observe check this first.
constexpr int kAttrRead = 1, kAttrWrite = 2;
inline bool plain_attrs(PyTypeObject* type, int use, std::initializer_list<Name*> names) {
    if ((use & kAttrRead) && type->tp_getattro != PyObject_GenericGetAttr) return false;
    if ((use & kAttrWrite) && type->tp_setattro != PyObject_GenericSetAttr) return false;
    for (Name* n : names)
        if (_PyType_Lookup(type, n->get())) return false;
    return true;
}

// plain_attrs for one use and up to four names, remembered for the last type found plain
// while its version tag is unchanged (ORVEX_TYPE_TAGS, orvex/internals.hpp): any change to
// the type or to a base that could change the answer gives the type a new tag.
class PlainAttrs {
    int use_;
    Name* names_[4] = {};
    int count_ = 0;
    internals::TypeMemo memo_;

public:
    PlainAttrs(int use, std::initializer_list<Name*> names) : use_(use) {
        for (Name* n : names)
            if (count_ < 4) names_[count_++] = n;
    }
    bool operator()(PyTypeObject* t) {
        if (memo_.holds(t)) return true;
        if (!plain_attrs(t, use_, {})) return false;
        for (int i = 0; i < count_; ++i)
            if (_PyType_Lookup(t, names_[i]->get())) return false;
        memo_.remember(t);
        return true;
    }
};

// Attribute helpers with interned names.
inline Ref getattr(PyObject* o, Name& n) { return Ref::steal(PyObject_GetAttr(o, n.get())); }
inline bool setattr(PyObject* o, Name& n, PyObject* v) { return PyObject_SetAttr(o, n.get(), v) == 0; }

}  // namespace rt
