// ORVEX.numerix: scalar maths from first principles, activations and a seeded generator.
//
// Every function follows its algorithm on Python objects (host arithmetic, so an int
// stays an int where the algorithm keeps one) and looks up the module functions it uses
// at each call. Where all inputs are exact floats (or small exact ints) and every name it
// uses is still bound to this module's own function, the same computation runs on doubles
// (orvex/numcore.hpp); where that computation meets a case in which the object path
// raises, the object path is taken from the start, so the host raises its own error.
#include <algorithm>
#include <cmath>
#include <climits>
#include <iterator>

#include "orvex/lcg.hpp"
#include "orvex/numcore.hpp"
#include "orvex/rt.hpp"

using namespace rt;

namespace {

// Constants created once at module load.
PyObject* PI_OBJ;        // the float returned by pi(), the same object each call
PyObject* INT0;
PyObject* INT1;
PyObject* INT2;
PyObject* INT180;
PyObject* LCG_A_OBJ;
PyObject* LCG_C_OBJ;
PyObject* LCG_M_OBJ;
PyObject* RANDOM_CLS;    // the generator class (for super())
PyObject* MAX_BUILTIN;   // the built-in max
double FACT_D[171];      // float(k!) as the host converts it, for k! below the float range

constexpr double PI_D = 3.141592653589793;
constexpr long long EXACT_INT = 1LL << 52;  // ints whose sums and quotients stay exact in doubles

// Signal-check periods (rt::Interrupts) for loops whose steps cost more than a few double
// arithmetic: a call of the maths library (or a 128-bit modular product), a product of
// big ints that grow with the loop.
constexpr unsigned kMathSteps = 1u << 15;
constexpr unsigned kBigIntSteps = 16;

Name n_pi("pi"), n_sqrt("sqrt"), n_asin("asin"), n_acos("acos"), n_deg("deg"), n_atan("atan"),
    n_sin_rad("sin_rad"), n_cos_rad("cos_rad"), n_factorial("factorial"), n_exp("exp"), n_log("log"),
    n_sinh("sinh"), n_cosh("cosh"), n_call("__call__"), n_index("index"),
    n_seed("seed");

extern const FnDef pi_def, sqrt_def, asin_def, acos_def, deg_def, atan_def, sin_rad_def, cos_rad_def,
    factorial_def, exp_def, log_def, sinh_def, cosh_def, random_call_def;


// The global `name` is still bound to this module's function `def`.
bool ours(Fn* fn, Name& name, const FnDef& def) {
    PyObject* v = peek_global(fn, name);
    return v && is_fn(v, &def);
}

// Calls the global `name` with a new float holding x.
Ref call_float(Fn* fn, Name& name, double x) {
    Ref a = flt(x);
    if (!a) return {};
    return call_global(fn, name, {a.get()});
}

// An exact float, or an exact int small enough that sums and quotients with it stay exact.
bool exact_number(PyObject* o, double& out) { return exact_double(o, out, EXACT_INT); }

// An exact int loop bound (clamped like any range stop).
bool exact_count(PyObject* o, long long& out) { return PyLong_CheckExact(o) && range_stop(o, out); }

PyObject* zero_division(const char* msg) {
    PyErr_SetString(PyExc_ZeroDivisionError, msg);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Elementary functions
// ---------------------------------------------------------------------------
PyObject* pi_impl(Fn*) { return newref(PI_OBJ); }
const FnDef pi_def = declare_noargs<&pi_impl>("pi", "float", "returns first 100 digets of pi");

PyObject* sqrt_impl(Fn*, Obj number) {
    double r;
    if (PyFloat_CheckExact(number) && numcore::fpow(PyFloat_AS_DOUBLE(number.get()), 0.5, r))
        return PyFloat_FromDouble(r);
    Ref half = flt(0.5);
    if (!half) return nullptr;
    return power(number, half.get()).release();
}
const FnDef sqrt_def = declare<&sqrt_impl>("sqrt", {P("number")}, "float", "returns squareroot of number");

// base ** (1/n) as a complex power with a real exponent, using the platform's maths.
PyObject* nrt_impl(Fn*, double base, double n) {
    if (n == 0) return zero_division("float division");
    double e = 1.0 / n;
    double a = base, b = 0.0, re, im;
    bool integral = e >= INT_MIN && e <= INT_MAX && e == static_cast<double>(static_cast<int>(e));
    bool done = false;
    if (integral) {
        if (e < 0) {
            double d = 1.0 / (a * a + b * b);
            double na = a * d, nb = -(b * d);
            a = na;
            b = nb;
            e = -e;
        }
        done = true;
        switch (static_cast<int>(e)) {
            case 0: re = 1.0; im = 0.0; break;
            case 1: re = a; im = b; break;
            case 2: re = a * a - b * b; im = 2 * a * b; break;
            case 3: {
                double d = a * a - b * b;
                re = d * a - 2 * a * b * b;
                im = 2 * a * b * a + d * b;
                break;
            }
            case 4: {
                double c = a * a - b * b, d = 2 * a * b;
                re = c * c - d * d;
                im = 2 * c * d;
                break;
            }
            default: done = false;
        }
    }
    if (!done) {
        if (a == 0) {
            re = a;
            im = b;
        } else if (a > 0) {
            re = std::pow(a, e);
            im = 0.0;
        } else {
            double r = -a, theta = std::atan2(0.0, -1.0);
            double m = std::exp(std::log(r) * e);
            re = m * std::cos(theta * e);
            im = m * std::sin(theta * e);
        }
    }
    if (im != 0) return PyComplex_FromDoubles(re, im);
    return PyFloat_FromDouble(re);
}
const FnDef nrt_def = declare<&nrt_impl>("nrt", {P("base"), P("n")}, "float", "returns root-n for the base");

PyObject* factorial_impl(Fn*, Obj n) {
    Ref stop = add(n, INT1);
    long long hi;
    if (!stop || !range_stop(stop.get(), hi)) return nullptr;
    Ref total = Ref::borrow(INT1);
    // Multiply runs of small factors in a machine word first: the product is the same integer.
    unsigned long long chunk = 1;
    Interrupts sig(kBigIntSteps);
    for (long long i = 1; i < hi; ++i) {
        unsigned long long u = static_cast<unsigned long long>(i);
        if (chunk > ULLONG_MAX / u) {
            Ref c = Ref::steal(PyLong_FromUnsignedLongLong(chunk));
            if (!c) return nullptr;
            total = mul(total.get(), c.get());
            if (!total) return nullptr;
            chunk = 1;
            // Deliberate: a long product stops with KeyboardInterrupt on Ctrl-C.
            if (!sig.tick()) return nullptr;
        }
        chunk *= u;
    }
    if (chunk != 1) {
        Ref c = Ref::steal(PyLong_FromUnsignedLongLong(chunk));
        if (!c) return nullptr;
        total = mul(total.get(), c.get());
    }
    return total.release();
}
const FnDef factorial_def = declare<&factorial_impl>("factorial", {P("n")}, "float");

PyObject* exp_impl(Fn*, Obj x, Obj terms) {
    long long count;
    double xd;
    if (exact_count(terms, count) && exact_number(x, xd)) {
        if (count <= 1) return newref(INT1);
        bool stopped;
        double r = interruptible(count, Interrupts::kDoubles, stopped,
                                 [&](auto& tick) { return numcore::exp_series(xd, count, tick); });
        return stopped ? nullptr : PyFloat_FromDouble(r);
    }
    long long stop;
    if (!range_stop(terms, stop)) return nullptr;
    Ref total = Ref::borrow(INT1), term = Ref::borrow(INT1);
    Interrupts sig;
    for (long long n = 1; n < stop; ++n) {
        if (!sig.tick()) return nullptr;
        Ref nobj = lng(n);
        if (!nobj) return nullptr;
        Ref q = truediv(x, nobj.get());
        if (!q) return nullptr;
        term = mul(term.get(), q.get());
        if (!term) return nullptr;
        total = add(total.get(), term.get());
        if (!total) return nullptr;
    }
    return total.release();
}
const FnDef exp_def = declare<&exp_impl>("exp", {P("x"), P("terms", def_int(20))}, "float");

// The object path of log: every step on host objects.
PyObject* log_objects(double x, PyObject* terms) {
    Ref stop_obj = add(terms, INT1);
    long long stop;
    if (!stop_obj || !range_stop(stop_obj.get(), stop)) return nullptr;
    Ref total = Ref::borrow(INT0);
    Interrupts sig;
    for (long long n = 1; n < stop; ++n) {
        if (!sig.tick()) return nullptr;
        Ref nobj = lng(n);
        if (!nobj) return nullptr;
        Ref d = flt(x - 1.0);
        if (!d) return nullptr;
        Ref t = power(d.get(), nobj.get());
        if (!t) return nullptr;
        t = truediv(t.get(), nobj.get());
        if (!t) return nullptr;
        total = n % 2 == 1 ? add(total.get(), t.get()) : sub(total.get(), t.get());
        if (!total) return nullptr;
    }
    return total.release();
}

PyObject* log_impl(Fn*, double x, Obj terms) {
    if (!(x > 0)) {
        PyErr_SetString(PyExc_ValueError, "x must be > 0");
        return nullptr;
    }
    long long count;
    double r;
    if (exact_count(terms, count) && count < LLONG_MAX) {
        if (count < 1) return newref(INT0);
        bool stopped;
        if (interruptible(count, kMathSteps, stopped,
                          [&](auto& tick) { return numcore::log_series(x, count, r, tick); }))
            return PyFloat_FromDouble(r);
        if (stopped) return nullptr;
    }
    return log_objects(x, terms);
}
const FnDef log_def = declare<&log_impl>("log", {P("x"), P("terms", def_int(20))}, "float");

// Rule shared by maximum and ReLu: the float x when positive, else the int 0.
PyObject* positive_or_zero(double x) { return x > 0 ? PyFloat_FromDouble(x) : newref(INT0); }

PyObject* maximum_impl(Fn*, double x) { return positive_or_zero(x); }
const FnDef maximum_def = declare<&maximum_impl>("maximum", {P("x")}, "float");
PyObject* epsilon_impl(Fn*) { return PyFloat_FromDouble(1e-08); }
const FnDef epsilon_def = declare_noargs<&epsilon_impl>("Epsilon", "float");

// ---------------------------------------------------------------------------
// Trigonometric functions
// ---------------------------------------------------------------------------
PyObject* ratio(double num, double den) {
    if (den == 0) return zero_division("float division");
    return PyFloat_FromDouble(num / den);
}
// sin, cos and tan: a side over another.
PyObject* ratio_impl(Fn*, double num, double den) { return ratio(num, den); }
const FnDef sin_def = declare<&ratio_impl>("sin", {P("opp"), P("hypo")}, "float", "returns sinus to opp/hypo");
const FnDef cos_def = declare<&ratio_impl>("cos", {P("adja"), P("hypo")}, "float", "returns cosin to adja/hypo");
const FnDef tan_def = declare<&ratio_impl>("tan", {P("opp"), P("adj")}, "float", "returns tan to opp/adj");

double asin_poly(double x) {
    const double c3 = 0.16666666666666666, c5 = 0.07500000000000001, c7 = 0.04464285714285714,
                 c9 = 0.030381944444444444, c11 = 0.022372159090909092, c13 = 0.017352764423076924;
    double x2 = x * x, x3 = x2 * x, x4 = x2 * x2, x5 = x4 * x, x6 = x3 * x3, x7 = x6 * x, x8 = x4 * x4,
           x10 = x5 * x5, x12 = x6 * x6;
    double t3 = x3 * c3, t5 = x5 * c5, t7 = x7 * c7, t9 = x8 * (x * c9), t11 = x10 * (x * c11),
           t13 = x12 * (x * c13);
    return ((t11 + t13) + (t9 + t7)) + ((t5 + x) + t3);
}

double atan_poly(double x) {
    const double c = 0.3333333333333333, d = 0.14285714285714285, e = 0.1111111111111111;
    double x2 = x * x, x3 = x2 * x, x4 = x2 * x2, x5 = x4 * x, x6 = x3 * x3, x8 = x4 * x4;
    return (((x - x3 * c) + x5 * 0.2) - x6 * (x * d)) + x8 * (x * e);
}

// atan with the module's own pi and atan: the inner call sees |1/x| <= 1.
double atan_d(double x) {
    if (std::fabs(x) > 1 && x > 1) return PI_D / 2 - atan_poly(1.0 / x);
    if (std::fabs(x) > 1 && x < -1) return -(PI_D / 2) - atan_poly(1.0 / x);
    return atan_poly(x);
}

// Series of sin_rad (first = 1) and cos_rad (first = 0) on doubles; false where the
// object path raises (a factorial beyond the float range, a power that overflows).
bool trig_series(double x, long long terms, int first, double& out) {
    double total = 0.0;
    for (long long n = 0; n < terms; ++n) {
        long long k = 2 * n + first;
        double p;
        if (k > 170 || !numcore::fpow(x, static_cast<double>(k), p)) return false;
        double t = (n % 2 ? -1.0 : 1.0) * p;
        total = total + t / FACT_D[k];
    }
    out = total;
    return true;
}

PyObject* trig_series_of(Fn* fn, double x, PyObject* terms, int first) {
    long long count = 0;
    if (exact_count(terms, count) && count <= 0) return newref(INT0);
    double r;
    if (count < LLONG_MAX / 2 && ours(fn, n_factorial, factorial_def) && trig_series(x, count, first, r))
        return PyFloat_FromDouble(r);
    long long stop;
    if (!range_stop(terms, stop)) return nullptr;
    Ref total = Ref::borrow(INT0);
    Interrupts sig;
    for (long long n = 0; n < stop; ++n) {
        if (!sig.tick()) return nullptr;
        Ref sign = lng(n % 2 ? -1 : 1), k = lng(2 * n + first), xf = flt(x);
        if (!sign || !k || !xf) return nullptr;
        Ref p = power(xf.get(), k.get());
        if (!p) return nullptr;
        Ref t = mul(sign.get(), p.get());
        if (!t) return nullptr;
        Ref f = call_global(fn, n_factorial, {k.get()});
        if (!f) return nullptr;
        Ref q = truediv(t.get(), f.get());
        if (!q) return nullptr;
        total = add(total.get(), q.get());
        if (!total) return nullptr;
    }
    return total.release();
}
PyObject* sin_rad_impl(Fn* fn, double x, Int terms) { return trig_series_of(fn, x, terms, 1); }
const FnDef sin_rad_def = declare<&sin_rad_impl>("sin_rad", {P("x"), P("terms", def_int(10))}, "float");
PyObject* cos_rad_impl(Fn* fn, double x, Int terms) { return trig_series_of(fn, x, terms, 0); }
const FnDef cos_rad_def = declare<&cos_rad_impl>("cos_rad", {P("x"), P("terms", def_int(10))}, "float");

PyObject* tan_rad_impl(Fn* fn, double x) {
    Ref s = call_float(fn, n_sin_rad, x);
    if (!s) return nullptr;
    Ref c = call_float(fn, n_cos_rad, x);
    if (!c) return nullptr;
    return truediv(s.get(), c.get()).release();
}
const FnDef tan_rad_def = declare<&tan_rad_impl>("tan_rad", {P("x")}, "float");

PyObject* asin_impl(Fn*, double number) { return PyFloat_FromDouble(asin_poly(number)); }
const FnDef asin_def = declare<&asin_impl>("asin", {P("number")}, "float", "returns inverse sinus for number");

// pi() / 2 on host objects.
Ref half_pi(Fn* fn) {
    Ref p = call_global(fn, n_pi, {});
    if (!p) return {};
    return truediv(p.get(), INT2);
}

PyObject* acos_impl(Fn* fn, double number) {
    if (ours(fn, n_pi, pi_def) && ours(fn, n_asin, asin_def))
        return PyFloat_FromDouble(PI_D / 2 - asin_poly(number));
    Ref h = half_pi(fn);
    if (!h) return nullptr;
    Ref s = call_float(fn, n_asin, number);
    if (!s) return nullptr;
    return sub(h.get(), s.get()).release();
}
const FnDef acos_def = declare<&acos_impl>("acos", {P("number")}, "float", "returns inverse cosin for number");

PyObject* atan_impl(Fn* fn, double number) {
    bool outside = std::fabs(number) > 1 && (number > 1 || number < -1);
    if (!outside) return PyFloat_FromDouble(atan_poly(number));
    if (ours(fn, n_pi, pi_def) && ours(fn, n_atan, atan_def)) return PyFloat_FromDouble(atan_d(number));
    Ref h = half_pi(fn);
    if (h && number < -1) h = neg(h.get());
    if (!h) return nullptr;
    Ref inner = call_float(fn, n_atan, 1.0 / number);
    if (!inner) return nullptr;
    return sub(h.get(), inner.get()).release();
}
const FnDef atan_def = declare<&atan_impl>("atan", {P("number")}, "float", "returns inverse tan for number");

PyObject* atan2_impl(Fn* fn, double y, double x) {
    bool fast = ours(fn, n_pi, pi_def) && ours(fn, n_atan, atan_def);
    // The cases in their order; a NaN argument matches none of them.
    int sign = x > 0 ? 0 : (x < 0 && y >= 0) ? 1 : (x < 0 && y < 0) ? -1 : 2;
    if (sign != 2) {
        if (fast) return PyFloat_FromDouble(sign == 0 ? atan_d(y / x) : atan_d(y / x) + sign * PI_D);
        Ref a = call_float(fn, n_atan, y / x);
        if (!a || sign == 0) return a.release();
        Ref p = call_global(fn, n_pi, {});
        if (!p) return nullptr;
        return (sign > 0 ? add(a.get(), p.get()) : sub(a.get(), p.get())).release();
    }
    if (x == 0 && (y > 0 || y < 0)) {
        if (fast) return PyFloat_FromDouble(y > 0 ? PI_D / 2 : (-PI_D) / 2);
        Ref p = call_global(fn, n_pi, {});
        if (p && y < 0) p = neg(p.get());
        if (!p) return nullptr;
        return truediv(p.get(), INT2).release();
    }
    return newref(INT0);
}
const FnDef atan2_def = declare<&atan2_impl>("atan2", {P("y"), P("x")}, "float", "returns atan2 for y, x");

PyObject* deg_of(Fn* fn, double radians) {
    if (ours(fn, n_pi, pi_def)) return PyFloat_FromDouble(radians * (180.0 / PI_D));
    Ref p = call_global(fn, n_pi, {});
    if (!p) return nullptr;
    Ref q = truediv(INT180, p.get());
    if (!q) return nullptr;
    Ref r = flt(radians);
    if (!r) return nullptr;
    return mul(r.get(), q.get()).release();
}
PyObject* deg_impl(Fn* fn, double radians) { return deg_of(fn, radians); }
const FnDef deg_def = declare<&deg_impl>("deg", {P("radians")}, "float", "turns radians into degress");

// deg(inner(float(number))) through the module's names.
PyObject* degrees_of(Fn* fn, Name& inner, double x) {
    Ref r = call_float(fn, inner, x);
    if (!r) return nullptr;
    Ref d = global(fn, n_deg);
    if (!d) return nullptr;
    if (is_fn(d.get(), &deg_def) && PyFloat_CheckExact(r.get()))
        return deg_of(reinterpret_cast<Fn*>(d.get()), PyFloat_AS_DOUBLE(r.get()));
    return call(d.get(), {r.get()}).release();
}
PyObject* asindeg_impl(Fn* fn, double number) { return degrees_of(fn, n_asin, number); }
const FnDef asindeg_def = declare<&asindeg_impl>("asindeg", {P("number")}, "float",
                                                 "asin but returns degress instead of radians");
PyObject* acosdeg_impl(Fn* fn, double number) { return degrees_of(fn, n_acos, number); }
const FnDef acosdeg_def = declare<&acosdeg_impl>("acosdeg", {P("number")}, "float",
                                                 "acos but degress instead of radians");

// ---------------------------------------------------------------------------
// Hyperbolic functions
// ---------------------------------------------------------------------------
// (exp(x) -/+ exp(-x)) / 2
PyObject* exp_pair(Fn* fn, double x, bool plus) {
    if (ours(fn, n_exp, exp_def)) {
        double a = numcore::exp_series(x), b = numcore::exp_series(-x);
        return PyFloat_FromDouble((plus ? a + b : a - b) / 2);
    }
    Ref a = call_float(fn, n_exp, x);
    if (!a) return nullptr;
    Ref b = call_float(fn, n_exp, -x);
    if (!b) return nullptr;
    Ref s = plus ? add(a.get(), b.get()) : sub(a.get(), b.get());
    if (!s) return nullptr;
    return truediv(s.get(), INT2).release();
}
PyObject* sinh_impl(Fn* fn, double x) { return exp_pair(fn, x, false); }
const FnDef sinh_def = declare<&sinh_impl>("sinh", {P("x")}, "float");
PyObject* cosh_impl(Fn* fn, double x) { return exp_pair(fn, x, true); }
const FnDef cosh_def = declare<&cosh_impl>("cosh", {P("x")}, "float");

PyObject* quotient_of(Fn* fn, Name& first, Name& second, double x, bool first_on_top) {
    Ref a = call_float(fn, first, x);
    if (!a) return nullptr;
    Ref b = call_float(fn, second, x);
    if (!b) return nullptr;
    return (first_on_top ? truediv(a.get(), b.get()) : truediv(b.get(), a.get())).release();
}
PyObject* tanh_impl(Fn* fn, double x) { return quotient_of(fn, n_sinh, n_cosh, x, true); }
const FnDef tanh_def = declare<&tanh_impl>("tanh", {P("x")}, "float");
PyObject* coth_impl(Fn* fn, double x) { return quotient_of(fn, n_cosh, n_sinh, x, true); }
const FnDef coth_def = declare<&coth_impl>("coth", {P("x")}, "float");

PyObject* reciprocal_of(Fn* fn, Name& name, double x) {
    Ref a = call_float(fn, name, x);
    if (!a) return nullptr;
    return truediv(INT1, a.get()).release();
}
PyObject* sech_impl(Fn* fn, double x) { return reciprocal_of(fn, n_cosh, x); }
const FnDef sech_def = declare<&sech_impl>("sech", {P("x")}, "float");
PyObject* csch_impl(Fn* fn, double x) { return reciprocal_of(fn, n_sinh, x); }
const FnDef csch_def = declare<&csch_impl>("csch", {P("x")}, "float");

PyObject* arsinh_impl(Fn* fn, double x) {
    double q = x * x + 1;
    Ref r = call_float(fn, n_sqrt, q);
    if (!r) return nullptr;
    Ref xf = flt(x);
    if (!xf) return nullptr;
    Ref s = add(xf.get(), r.get());
    if (!s) return nullptr;
    return call_global(fn, n_log, {s.get()}).release();
}
const FnDef arsinh_def = declare<&arsinh_impl>("arsinh", {P("x")}, "float");

// ---------------------------------------------------------------------------
// Activation functions
// ---------------------------------------------------------------------------
PyObject* sigmoid_impl(Fn* fn, double x) {
    if (ours(fn, n_exp, exp_def)) {
        double d = 1.0 + numcore::exp_series(-x);
        if (d != 0) return PyFloat_FromDouble(1.0 / d);
    }
    Ref e = call_float(fn, n_exp, -x);
    if (!e) return nullptr;
    Ref d = add(INT1, e.get());
    if (!d) return nullptr;
    return truediv(INT1, d.get()).release();
}
const FnDef sigmoid_def = declare<&sigmoid_impl>("sigmoid", {P("x")}, "float");

PyObject* relu_impl(Fn*, double x) { return positive_or_zero(x); }
const FnDef relu_def = declare<&relu_impl>("ReLu", {P("x")}, "float");

PyObject* elu_impl(Fn* fn, double x, double alpha) {
    if (x > 0) return PyFloat_FromDouble(x);
    if (ours(fn, n_exp, exp_def)) return PyFloat_FromDouble(alpha * (numcore::exp_series(x) - 1.0));
    Ref e = call_float(fn, n_exp, x);
    if (!e) return nullptr;
    Ref r = sub(e.get(), INT1);
    if (!r) return nullptr;
    Ref af = flt(alpha);
    if (!af) return nullptr;
    return mul(af.get(), r.get()).release();
}
const FnDef elu_def = declare<&elu_impl>("ELU", {P("x"), P("alpha", def_float(1.0))}, "float");

PyObject* leaky_impl(Fn*, double x, double leak) { return PyFloat_FromDouble(numcore::leaky(x, leak)); }
const FnDef leaky_def = declare<&leaky_impl>("LeakyReLu", {P("x"), P("leak", def_float(0.01))}, "float");

PyObject* softplus_impl(Fn* fn, double x) {
    double r;
    if (ours(fn, n_exp, exp_def) && ours(fn, n_log, log_def)) {
        double s = 1.0 + numcore::exp_series(x);
        if (s > 0 && numcore::log_series(s, 20, r)) return PyFloat_FromDouble(r);
    }
    Ref e = call_float(fn, n_exp, x);
    if (!e) return nullptr;
    Ref s = add(INT1, e.get());
    if (!s) return nullptr;
    return call_global(fn, n_log, {s.get()}).release();
}
const FnDef softplus_def = declare<&softplus_impl>("softplus", {P("x")}, "float");

// The list's elements as doubles when every one is an exact number (see exact_number).
// (std::bad_alloc for a list too long to copy: the call's entry makes it a MemoryError.)
// Nothing here runs Python code, so the list cannot change under the loop.
bool exact_doubles(PyObject* list, std::vector<double>& out) {
    Py_ssize_t n = PyList_GET_SIZE(list);
    out.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!exact_number(PyList_GET_ITEM(list, i), out[i])) return false;
    return true;
}

PyObject* fix_softmax_impl(Fn* fn, List x) {
    Ref out = Ref::steal(PyList_New(0));
    if (!out || PyList_GET_SIZE(x.get()) == 0) return out.release();
    std::vector<double> xs;
    if (ours(fn, n_exp, exp_def) && exact_doubles(x, xs)) {
        std::vector<double> ys(xs.size());
        bool stopped;
        bool done = interruptible(xs.size(), kMathSteps, stopped, [&](auto& tick) {
            return numcore::fix_softmax(xs.data(), xs.size(), ys.data(), tick);
        });
        if (stopped) return nullptr;
        if (done) {
            out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ys.size())));
            if (!out) return nullptr;
            for (size_t i = 0; i < ys.size(); ++i) {
                PyObject* f = PyFloat_FromDouble(ys[i]);
                if (!f) return nullptr;
                PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), f);
            }
            return out.release();
        }
    }
    // The object path: the list is walked by index with its length re-read each time, as
    // iterating it does, and the maximum is taken anew for every element (exp may be any
    // callable, and the elements' comparisons any code: either may change the list).
    Ref total = Ref::borrow(INT0);
    Interrupts sig(Interrupts::kCalls);  // each step calls max over the whole list
    for (int pass = 0; pass < 2; ++pass) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(x.get()); ++i) {
            if (!sig.tick()) return nullptr;
            Ref item = Ref::borrow(PyList_GET_ITEM(x.get(), i));
            Ref m = call(MAX_BUILTIN, {x});
            if (!m) return nullptr;
            Ref d = sub(item.get(), m.get());
            if (!d) return nullptr;
            Ref e = call_global(fn, n_exp, {d.get()});
            if (!e) return nullptr;
            if (pass == 0) {
                total = add(total.get(), e.get());
                if (!total) return nullptr;
            } else {
                Ref q = truediv(e.get(), total.get());
                if (!q || PyList_Append(out.get(), q.get()) < 0) return nullptr;
            }
        }
    }
    return out.release();
}
const FnDef fix_softmax_def = declare<&fix_softmax_impl>("FixSoftmax", {P("x")}, "list");

PyObject* argmax_impl(Fn*, List x) {
    std::vector<double> xs;
    if (PyList_GET_SIZE(x.get()) > 0 && exact_doubles(x, xs)) {
        bool stopped;
        size_t i = interruptible(xs.size(), Interrupts::kDoubles, stopped,
                                 [&](auto& tick) { return numcore::argmax(xs.data(), xs.size(), tick); });
        return stopped ? nullptr : PyLong_FromSize_t(i);
    }
    Ref m = call(MAX_BUILTIN, {x});
    if (!m) return nullptr;
    return PyObject_CallMethodObjArgs(x, n_index.get(), m.get(), nullptr);
}
const FnDef argmax_def = declare<&argmax_impl>("Argmax", {P("x")}, "int");

// ---------------------------------------------------------------------------
// The generator
// ---------------------------------------------------------------------------
// The instance draws with this module's own __call__ and plain attribute access.
bool native_generator(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject* call_attr = _PyType_Lookup(type, n_call.get());
    return call_attr && is_fn(call_attr, &random_call_def) && lcg::plain_attrs(type);
}

// x advanced by `steps` generator steps (a positive int of any size): the precomputed
// powers of the step for the low 64 bits, then powers squared on the way for any beyond.
bool jump_ahead(PyObject* steps, numcore::Lcg& x) {
    unsigned long long low = PyLong_AsUnsignedLongLongMask(steps);
    if (low == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    x = numcore::jump(x, low);
    if (_PyLong_NumBits(steps) <= 64) return true;
    // The bits from 64 up, read once from the hexadecimal text (linear in the seed's size):
    // its last 16 digits are the low 64 bits, "0x" leads.
    Ref hex = Ref::steal(PyNumber_ToBase(steps, 16));
    if (!hex) return false;
    numcore::Affine power = numcore::step_power(63);
    Interrupts sig(kMathSteps);
    for (Py_ssize_t i = PyUnicode_GET_LENGTH(hex.get()) - 17; i >= 2; --i) {
        if (!sig.tick()) return false;
        Py_UCS4 ch = PyUnicode_READ_CHAR(hex.get(), i);
        int digit = ch <= '9' ? static_cast<int>(ch - '0') : static_cast<int>(ch - 'a' + 10);
        for (int bit = 0; bit < 4; ++bit) {
            power = power.then(power);
            if ((digit >> bit) & 1) x = power(x);
        }
    }
    return true;
}

PyObject* random_init_impl(Fn*, Obj self, Int seeda, double mina, double maxa) {
    if (Py_TYPE(self) != reinterpret_cast<PyTypeObject*>(RANDOM_CLS)) {
        if (!super_init(reinterpret_cast<PyObject*>(&PySuper_Type), RANDOM_CLS, self)) return nullptr;
    }
    Ref lo = flt(mina), hi = flt(maxa);
    if (!lo || !hi || !setattr(self, n_seed, seeda) || !setattr(self, lcg::n_min, lo.get()) ||
        !setattr(self, lcg::n_max, hi.get()))
        return nullptr;
    Ref ax = mul(LCG_A_OBJ, seeda);
    if (!ax) return nullptr;
    Ref axc = add(ax.get(), LCG_C_OBJ);
    if (!axc) return nullptr;
    Ref x = Ref::steal(PyNumber_Remainder(axc.get(), LCG_M_OBJ));
    if (!x) return nullptr;
    bool warm_up = _PyLong_Sign(seeda) > 0;
    numcore::Lcg state;
    if (warm_up && native_generator(self) && lcg::state_of(x.get(), state)) {
        // Nothing can observe the state between the steps: only the last one is stored.
        if (!jump_ahead(seeda, state)) return nullptr;
        if (!lcg::store_state(self, state)) return nullptr;
        Py_RETURN_NONE;
    }
    if (!setattr(self, lcg::n_x, x.get())) return nullptr;
    if (!warm_up) Py_RETURN_NONE;
    long long steps;
    if (!range_stop(seeda, steps)) return nullptr;
    Interrupts sig;
    for (long long i = 0; i < steps; ++i) {
        // Deliberate: a huge seed's warm-up stops with KeyboardInterrupt on Ctrl-C.
        if (!sig.tick()) return nullptr;
        Ref r = Ref::steal(PyObject_CallNoArgs(self));
        if (!r) return nullptr;
    }
    Py_RETURN_NONE;
}
const FnDef random_init_def = declare<&random_init_impl>(
    "__init__", {P("self"), P("seeda"), P("mina"), P("maxa")}, nullptr,
    "warning do not make seed to large otherwise it will take an eternaty and also maybe give error or crash "
    "recommended range 1-999999");

PyObject* random_call_impl(Fn*, Obj self) {
    if (lcg::plain_attrs(Py_TYPE(self))) {
        lcg::Draws d;
        int ok = d.load(self);
        if (ok < 0) return nullptr;
        if (ok) {
            double r = d.next();
            if (!d.store()) return nullptr;
            return PyFloat_FromDouble(r);
        }
    }
    Ref x = getattr(self, lcg::n_x);
    if (!x) return nullptr;
    Ref ax = mul(LCG_A_OBJ, x.get());
    if (!ax) return nullptr;
    Ref axc = add(ax.get(), LCG_C_OBJ);
    if (!axc) return nullptr;
    Ref nx = Ref::steal(PyNumber_Remainder(axc.get(), LCG_M_OBJ));
    if (!nx || !setattr(self, lcg::n_x, nx.get())) return nullptr;
    Ref lo = getattr(self, lcg::n_min);
    if (!lo) return nullptr;
    Ref cur = getattr(self, lcg::n_x);
    if (!cur) return nullptr;
    Ref frac = truediv(cur.get(), LCG_M_OBJ);
    if (!frac) return nullptr;
    Ref hi = getattr(self, lcg::n_max);
    if (!hi) return nullptr;
    Ref lo2 = getattr(self, lcg::n_min);
    if (!lo2) return nullptr;
    Ref span = sub(hi.get(), lo2.get());
    if (!span) return nullptr;
    Ref scaled = mul(frac.get(), span.get());
    if (!scaled) return nullptr;
    return add(lo.get(), scaled.get()).release();
}
const FnDef random_call_def = declare<&random_call_impl>("__call__", {P("self")});

// Makes every constant, then publishes them all at once: a failed attempt leaves nothing
// half-set behind it.
bool init_constants() {
    Ref pi = flt(PI_D), i0 = lng(0), i1 = lng(1), i2 = lng(2), i180 = lng(180);
    Ref a = Ref::steal(PyLong_FromUnsignedLongLong(numcore::LCG_A));
    Ref c = Ref::steal(PyLong_FromUnsignedLongLong(numcore::LCG_C));
    Ref m = from_u128(numcore::LCG_M);
    Ref mx = builtin("max");
    if (!pi || !i0 || !i1 || !i2 || !i180 || !a || !c || !m || !mx) return false;
    double fact[171];
    Ref f = i1;
    for (int k = 0; k <= 170; ++k) {
        if (k > 1) {
            Ref kk = lng(k);
            if (!kk) return false;
            f = mul(f.get(), kk.get());
            if (!f) return false;
        }
        fact[k] = PyLong_AsDouble(f.get());
        if (fact[k] == -1.0 && PyErr_Occurred()) return false;
    }
    std::copy(std::begin(fact), std::end(fact), std::begin(FACT_D));
    INT0 = i0.release();
    INT1 = i1.release();
    INT2 = i2.release();
    INT180 = i180.release();
    LCG_A_OBJ = a.release();
    LCG_C_OBJ = c.release();
    LCG_M_OBJ = m.release();
    MAX_BUILTIN = mx.release();
    PI_OBJ = pi.release();  // last: it marks the constants as made
    return true;
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "numerix", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_numerix() {
    return guarded_init("numerix", []() -> PyObject* {
        if (!PI_OBJ && !init_constants()) return nullptr;
        Ref m = Ref::steal(make_module(
            &module_def, {&pi_def, &sqrt_def, &nrt_def, &asin_def, &acos_def, &acosdeg_def, &asindeg_def, &deg_def,
                          &atan_def, &atan2_def, &sin_def, &cos_def, &tan_def, &factorial_def, &exp_def, &log_def,
                          &sinh_def, &cosh_def, &maximum_def, &tanh_def, &coth_def, &sech_def, &csch_def, &arsinh_def,
                          &sigmoid_def, &relu_def, &elu_def, &leaky_def, &epsilon_def, &fix_softmax_def, &argmax_def,
                          &softplus_def, &sin_rad_def, &cos_rad_def, &tan_rad_def}));
        if (!m) return nullptr;
        Ref cls = Ref::steal(make_class(m.get(), "random", {&random_init_def, &random_call_def}));
        if (!cls) return nullptr;
        Py_XSETREF(RANDOM_CLS, cls.release());
        return m.release();
    });
}
