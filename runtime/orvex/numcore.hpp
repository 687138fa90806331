// Double-precision cores of the numerix functions, shared by numerix and by the modules
// that call numerix on their hot paths (while the numerix names are still bound to the
// numerix functions). Each core gives, to the last bit, what the object-level algorithm
// gives for exact float inputs; where the object-level algorithm would raise, the core
// reports failure and the caller takes the object path, which raises the host's error.
#pragma once

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
// AVX2 lanes where the processor has them, chosen at run time (has_avx2());
// -DORVEX_KERNEL_AVX2=0 builds without them.
#ifndef ORVEX_KERNEL_AVX2
#define ORVEX_KERNEL_AVX2 1
#endif
#if ORVEX_KERNEL_AVX2 && defined(__x86_64__) && defined(__GNUC__)
#define ORVEX_AVX2_PATHS 1
#else
#define ORVEX_AVX2_PATHS 0
#endif

namespace numcore {

inline bool has_avx2() {
#if ORVEX_AVX2_PATHS
    static const bool yes = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
    return yes;
#else
    return false;
#endif
}

// The host's float ** float for finite and non-finite operands (float.__pow__), without
// the error cases: returns false where the host would raise (zero to a negative power,
// a negative base to a fractional power, a range error).
inline bool fpow(double iv, double iw, double& out) {
    if (iw == 0) { out = 1.0; return true; }
    if (std::isnan(iv)) { out = iv; return true; }
    if (std::isnan(iw)) { out = iv == 1.0 ? 1.0 : iw; return true; }
    auto odd_integer = [](double w) { return std::fmod(std::fabs(w), 2.0) == 1.0; };
    if (std::isinf(iw)) {
        double a = std::fabs(iv);
        if (a == 1.0) out = 1.0;
        else if ((iw > 0) == (a > 1.0)) out = std::fabs(iw);
        else out = 0.0;
        return true;
    }
    if (std::isinf(iv)) {
        bool odd = odd_integer(iw);
        out = iw > 0 ? (odd ? iv : std::fabs(iv)) : (odd ? std::copysign(0.0, iv) : 0.0);
        return true;
    }
    if (iv == 0.0) {
        if (iw < 0) return false;
        out = odd_integer(iw) ? iv : 0.0;
        return true;
    }
    bool negate = false;
    if (iv < 0.0) {
        if (iw != std::floor(iw)) return false;
        iv = -iv;
        negate = odd_integer(iw);
    }
    if (iv == 1.0) { out = negate ? -1.0 : 1.0; return true; }
    errno = 0;
    double r = std::pow(iv, iw);
    if (std::isinf(r)) return false;  // the host raises OverflowError
    if (errno != 0 && r != 0.0) return false;
    out = negate ? -r : r;
    return true;
}

// The loops below whose length is the caller's take a `tick`, called once per step: a long
// loop stops early when it returns false (the caller can then tell from its own state, e.g.
// rt::Interrupts with the exception set, that the result is not one). By default nothing
// is checked.
struct NoTick {
    constexpr bool operator()() const { return true; }
};

// exp(x, terms): 1 + sum_{n=1}^{terms-1} of the running term term*(x/n); terms >= 2.
template <class Tick = NoTick>
inline double exp_series(double x, long long terms = 20, Tick&& tick = {}) {
    double term = 1.0, total = 1.0;
    for (long long n = 1; n < terms; ++n) {
        if (!tick()) break;
        term = term * (x / static_cast<double>(n));
        total = total + term;
    }
    return total;
}

// log(x, terms) for x > 0: sum_{n=1}^{terms} (+/-) (x-1)^n / n; terms >= 1.
template <class Tick = NoTick>
inline bool log_series(double x, long long terms, double& out, Tick&& tick = {}) {
    double d = x - 1.0, total = 0.0;
    for (long long n = 1; n <= terms; ++n) {
        double t;
        if (!tick() || !fpow(d, static_cast<double>(n), t)) return false;
        t = t / static_cast<double>(n);
        total = (n % 2 == 1) ? total + t : total - t;
    }
    out = total;
    return true;
}

inline double leaky(double x, double leak = 0.01) { return x > 0 ? x : leak * x; }

// The host's max() over doubles: the first element, replaced by each later one that
// compares greater (so a leading NaN stays the maximum).
template <class Tick = NoTick>
inline size_t max_index(const double* x, size_t n, Tick&& tick = {}) {
    size_t best = 0;
    for (size_t i = 1; i < n; ++i) {
        if (!tick()) break;
        if (x[i] > x[best]) best = i;
    }
    return best;
}

// list.index(max(x)): the first element equal to the maximum, or the maximum itself.
template <class Tick = NoTick>
inline size_t argmax(const double* x, size_t n, Tick&& tick = {}) {
    size_t best = max_index(x, n, tick);
    for (size_t i = 0; i < best; ++i)
        if (x[i] == x[best]) return i;
    return best;
}

// exp_series(x[i] - m) W elements at a time from i on (V: a vector of W doubles), each lane
// the series of its own element with the same operations in the same order; false when
// `tick` stopped it. Always inlined, so each lane width compiles for its caller's target.
template <class V, size_t W, class Tick>
[[gnu::always_inline]] inline bool exp_series_lanes(const double* x, size_t n, double m, double* out,
                                                    size_t& i, Tick& tick) {
    for (; i + W <= n; i += W) {
        if (!tick()) return false;
        V d;
        std::memcpy(&d, x + i, sizeof d);
        d = d - m;
        V term = V{} + 1.0, total = term;
        for (int k = 1; k < 20; ++k) {
            term = term * (d / static_cast<double>(k));
            total = total + term;
        }
        std::memcpy(out + i, &total, sizeof total);
    }
    return true;
}
using lanes2 = double __attribute__((vector_size(16)));

#if ORVEX_AVX2_PATHS
using lanes4 = double __attribute__((vector_size(32)));
template <class Tick>
[[gnu::target("avx2")]] bool exp_series_avx2(const double* x, size_t n, double m, double* out, size_t& i,
                                             Tick& tick) {
    return exp_series_lanes<lanes4, 4>(x, n, m, out, i, tick);
}
#endif

// FixSoftmax over doubles into out[]; false when the total is zero (the host raises
// ZeroDivisionError) or `tick` stopped it. n >= 1.
// The series run four (AVX2) or two (SSE2) elements at a time where the processor has the
// lanes: each lane runs the 20-term series of its own element (the same operations in the
// same order, so the same bits) and the series' divisions and products overlap. The total
// still adds the values in order.
template <class Tick = NoTick>
inline bool fix_softmax(const double* x, size_t n, double* out, Tick&& tick = {}) {
    const double m = x[max_index(x, n, tick)];
    size_t i = 0;
#if ORVEX_AVX2_PATHS
    if (has_avx2() && !exp_series_avx2(x, n, m, out, i, tick)) return false;
#endif
    if (!exp_series_lanes<lanes2, 2>(x, n, m, out, i, tick)) return false;
    for (; i < n; ++i) {
        if (!tick()) return false;
        out[i] = exp_series(x[i] - m);
    }
    double total = 0.0;
    for (i = 0; i < n; ++i) total = total + out[i];
    if (total == 0.0) return false;
    for (i = 0; i < n; ++i) out[i] = out[i] / total;
    return true;
}

// ---------------------------------------------------------------------------
// The random generator's LCG: x -> (a*x + c) mod m with m = 2 * 10**32 (< 2**108).
// ---------------------------------------------------------------------------
using u128 = unsigned __int128;

constexpr uint64_t LCG_A = 1103515245u;
constexpr uint64_t LCG_C = 12345u;
constexpr uint64_t E16 = 10000000000000000ull;  // 10**16
// 2 * 10**32 = 2**33 * 5**32
constexpr u128 POW5_32 = static_cast<u128>(23283064365386962ull) * 1000000u + 890625u;
constexpr u128 LCG_M = static_cast<u128>(2 * E16) * E16;

inline int bitlen(u128 v) {
    uint64_t hi = static_cast<uint64_t>(v >> 64);
    if (hi) return 128 - __builtin_clzll(hi);
    uint64_t lo = static_cast<uint64_t>(v);
    return lo ? 64 - __builtin_clzll(lo) : 0;
}

// The double nearest to num/den (ties to even), for 0 < den < 2**76 and num < 2**127.
inline double div_round(u128 num, u128 den) {
    if (num == 0) return 0.0;
    u128 q = num / den, r = num % den;
    int scale = 0;  // the quotient is q * 2**-scale, plus a remainder below the last place
    while (bitlen(q) < 64) {
        int k = bitlen(q) == 0 ? 50 : 64 - bitlen(q);
        if (k > 50) k = 50;
        u128 rr = r << k;
        q = (q << k) | (rr / den);
        r = rr % den;
        scale += k;
    }
    int drop = bitlen(q) - 53;
    u128 mant = q >> drop;
    u128 rest = q & ((static_cast<u128>(1) << drop) - 1);
    u128 half = static_cast<u128>(1) << (drop - 1);
    bool sticky = r != 0;
    if (rest > half || (rest == half && (sticky || (mant & 1)))) ++mant;
    return std::ldexp(static_cast<double>(mant), drop - scale);
}

// The generator state in base-10**8 digits, so that every product of a step fits 64 bits
// and every division is by a constant: x = top*10**32 + d3*10**24 + d2*10**16 + d1*10**8 + d0.
struct Lcg {
    static constexpr uint64_t B = 100000000;  // 10**8
    uint64_t d[4] = {0, 0, 0, 0};
    uint64_t top = 0;                         // 0 or 1, since x < 2 * 10**32

    static Lcg from(u128 x) {
        Lcg s;
        for (uint64_t& digit : s.d) {
            digit = static_cast<uint64_t>(x % B);
            x /= B;
        }
        s.top = static_cast<uint64_t>(x);
        return s;
    }
    uint64_t upper() const { return (top * B + d[3]) * B + d[2]; }  // x // 10**16
    uint64_t lower() const { return d[1] * B + d[0]; }               // x % 10**16
    u128 value() const { return static_cast<u128>(upper()) * E16 + lower(); }

    // x = (a*x + c) mod m
    void step() {
        uint64_t carry = LCG_C;
        for (uint64_t& digit : d) {
            uint64_t v = LCG_A * digit + carry;  // < 1.2e17
            digit = v % B;
            carry = v / B;
        }
        top = (LCG_A * top + carry) & 1;  // mod 2
    }

    // x = mul*x + add (mod m): the base-10**8 schoolbook product up to the 10**32 digit
    // (higher digits are multiples of m); every column sum stays below 2**57.
    void mul_add(const Lcg& mul, const Lcg& add) {
        const uint64_t xs[5] = {d[0], d[1], d[2], d[3], top};
        const uint64_t ms[5] = {mul.d[0], mul.d[1], mul.d[2], mul.d[3], mul.top};
        uint64_t carry = 0;
        for (int k = 0; k < 4; ++k) {
            uint64_t col = carry + add.d[k];
            for (int i = 0; i <= k; ++i) col += xs[i] * ms[k - i];
            d[k] = col % B;
            carry = col / B;
        }
        uint64_t col = carry + add.top;
        for (int i = 0; i <= 4; ++i) col += xs[i] * ms[4 - i];
        top = col & 1;
    }

    // x / m, correctly rounded as the host's int division is: x times 1 / 5**32 in extended
    // precision (within 3 units of its last place), then scaled by 2**-33; when the 11
    // bits that rounding to a double drops are that close to a half, the quotient is
    // formed exactly instead.
    double fraction() const {
        uint64_t hi = upper(), lo = lower();
        if (!hi && !lo) return 0.0;
#if (defined(__x86_64__) || defined(__i386__)) && !defined(_MSC_VER)
        static_assert(sizeof(long double) >= 10, "x87 extended precision expected");
        long double x = static_cast<long double>(hi) * 1e16L + static_cast<long double>(lo);
        constexpr long double inv_pow5_32 = 1.0L / 23283064365386962890625.0L;
        long double q = x * inv_pow5_32;
        uint64_t mant;
        std::memcpy(&mant, &q, sizeof mant);
        uint64_t dropped = mant & 0x7FF;
        if (dropped < 0x400 - 32 || dropped > 0x400 + 32) return static_cast<double>(q) * 0x1p-33;
#endif
        return std::ldexp(div_round(value(), POW5_32), -33);
    }
};

// An affine map x -> mul*x + add (mod m) over generator states; `then` gives the map
// that applies this one and then `f`.
struct Affine {
    Lcg mul = Lcg::from(1), add;

    Lcg operator()(Lcg x) const {
        x.mul_add(mul, add);
        return x;
    }
    Affine then(const Affine& f) const {
        Affine r{mul, add};
        r.mul.mul_add(f.mul, Lcg{});
        r.add.mul_add(f.mul, f.add);
        return r;
    }
};

// The generator step raised to the powers 2**k, k < 64, built on first use: `steps`
// steps are the maps of the set bits of `steps`, applied in any order.
inline const Affine& step_power(int k) {
    struct Table {
        Affine p[64];
        Table() {
            p[0] = Affine{Lcg::from(LCG_A), Lcg::from(LCG_C)};
            for (int i = 1; i < 64; ++i) p[i] = p[i - 1].then(p[i - 1]);
        }
    };
    static const Table table;
    return table.p[k];
}

// x advanced by `steps` generator steps.
inline Lcg jump(Lcg x, uint64_t steps) {
    for (int k = 0; steps; ++k, steps >>= 1)
        if (steps & 1) x = step_power(k)(x);
    return x;
}

}  // namespace numcore
