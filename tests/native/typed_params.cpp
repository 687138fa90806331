// A module for test_typed_params.py: declarations whose implementations take typed<&f>
// parameters. TYPED_CASE 0 is sound; 1 and 2 disagree with their declaration, so making
// the module must fail; 3 is case 0 with the conversions carried by the parameter types
// (rt::declare); 4 names fewer parameters than its implementation takes, so it must not
// compile.
#include "orvex/rt.hpp"

using namespace rt;

namespace {

// Hands back what it was given, so the test sees which value reached which parameter.
PyObject* echo_impl(Fn*, double x, int n, PyObject* name, PyObject* rest, PyObject* flag) {
    return Py_BuildValue("(diOOO)", x, n, name, rest, flag);
}
PyObject* none_impl(Fn*) { Py_RETURN_NONE; }
PyObject* typed_echo_impl(Fn*, double x, int n, Str name, Args rest, Int flag) {
    return Py_BuildValue("(diOOO)", x, n, name.get(), rest.get(), flag.get());
}

#if TYPED_CASE == 0
const FnDef echo_def{"echo", nullptr,
                     {P("x", Conv::Double), P("n", Conv::CInt), P("name", Conv::Str), VarArgs("rest"),
                      KwOnly("flag", Conv::PyInt, def_int(7))},
                     nullptr, typed<&echo_impl>};
const FnDef none_def{"none", nullptr, {}, nullptr, typed<&none_impl>, true};
#define MODULE typed_ok
#elif TYPED_CASE == 1
const FnDef echo_def{"echo", nullptr, {P("x", Conv::Double), P("n", Conv::CInt)}, nullptr, typed<&echo_impl>};
const FnDef none_def{"none", nullptr, {}, nullptr, typed<&none_impl>, true};
#define MODULE typed_arity
#elif TYPED_CASE == 3
const FnDef echo_def = declare<&typed_echo_impl>(
    "echo", {P("x"), P("n"), P("name"), VarArgs("rest"), KwOnly("flag", def_int(7))});
const FnDef none_def = declare_noargs<&none_impl>("none");
#define MODULE typed_new
#elif TYPED_CASE == 4
const FnDef echo_def = declare<&typed_echo_impl>("echo", {P("x"), P("n")});
const FnDef none_def = declare_noargs<&none_impl>("none");
#define MODULE typed_short
#else
const FnDef echo_def{"echo", nullptr,
                     {P("x", Conv::Double), P("n", Conv::Double), P("name", Conv::Str), VarArgs("rest"),
                      KwOnly("flag", Conv::PyInt, def_int(7))},
                     nullptr, typed<&echo_impl>};
const FnDef none_def{"none", nullptr, {}, nullptr, typed<&none_impl>, true};
#define MODULE typed_type
#endif

#define STR2(x) #x
#define STR(x) STR2(x)
#define CAT2(a, b) a##b
#define CAT(a, b) CAT2(a, b)

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, STR(MODULE), nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC CAT(PyInit_, MODULE)() {
    return make_module(&module_def, {&echo_def, &none_def});
}
