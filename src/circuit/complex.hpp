#pragma once
// The complex arithmetic every impedance formula shares. std::complex is not
// used: its multiplication and division special-case infinities and NaN
// (Annex G), while these formulas must follow plain IEEE arithmetic, and the
// exponents 0, 0.5 and 1 must take exact shortcuts.

#include <cmath>

#include "circuit/exp_pair.hpp"

namespace korvane {

struct Cplx {
    double re = 0.0;
    double im = 0.0;
};

inline Cplx operator+(Cplx a, Cplx b) { return {a.re + b.re, a.im + b.im}; }
inline Cplx operator-(Cplx a, Cplx b) { return {a.re - b.re, a.im - b.im}; }
inline Cplx operator*(Cplx a, Cplx b) {
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
inline Cplx operator*(double s, Cplx a) { return {s * a.re, s * a.im}; }
inline Cplx operator*(Cplx a, double s) { return {a.re * s, a.im * s}; }

// a / b = a·conj(b) / |b|², unscaled: zero divisors and overflow give IEEE
// infinities and NaN.
inline Cplx operator/(Cplx a, Cplx b) {
    const double d = b.re * b.re + b.im * b.im;
    return {(a.re * b.re + a.im * b.im) / d, (a.im * b.re - a.re * b.im) / d};
}
inline Cplx operator/(double a, Cplx b) { return Cplx{a, 0.0} / b; }
inline Cplx reciprocal(Cplx b) {
    const double d = b.re * b.re + b.im * b.im;
    return {b.re / d, -b.im / d};
}

// Principal square root; see complex.cpp for the exact special cases.
Cplx csqrt(Cplx z);
// z^a for real a: a == 1 gives z, a == 0.5 csqrt(z), a == 0 exactly 1+0j,
// otherwise ρ^a·(cos aθ, sin aθ).
Cplx cpow(Cplx z, double a);
// ln x as an unevaluated sum hi + lo, good to about 2^-60 absolute for
// e^-704 < x < e^704 (complex.cpp); beyond, lo is 0. hi is ±inf or NaN for
// x = 0, inf or NaN (and negative x).
struct LogPair {
    double hi;
    double lo;
};
LogPair log_pair(double x);

// Veltkamp's split x = head + tail, head holding the upper 26 bits of the
// significand, so that products of heads and tails are exact (|x| < 2^995).
// Like the two-product below it relies on every operation being rounded on
// its own: the build compiles with -ffp-contract=off.
inline void split_half(double x, double& head, double& tail) {
    const double c = 134217729.0 * x;  // 2^27 + 1
    head = c - (c - x);
    tail = x - head;
}

// a·b − p exactly, for p = fl(a·b) (Dekker's two-product; plain arithmetic,
// since a library fma is a call on baseline x86-64), given |a|, |b| < 2^995
// and no underflow in the partial products.
inline double product_error(double a, double b, double p) {
    double a_head, a_tail, b_head, b_tail;
    split_half(a, a_head, a_tail);
    split_half(b, b_head, b_tail);
    return ((a_head * b_head - p) + a_head * b_tail + a_tail * b_head) + a_tail * b_tail;
}

// t = a·L as an unevaluated sum: t_hi = fl(a·L.hi) and t_lo = the exact
// rounding error of that product plus the tiny a·L.lo.
inline LogPair times_log(double a, double l_hi, double l_lo) {
    const double t_hi = a * l_hi;
    return {t_hi, product_error(a, l_hi, t_hi) + a * l_lo};
}

// x^a = e^(t_hi + t_lo) from L = log_pair(x), for L.hi finite and |a| <= 1e6.
// Where exp_pair covers t_hi its error is about 0.51 ulp, pow's own, in a
// fraction of pow's time: the logarithm pow forms at every call is formed
// once per point of a spectrum here. Beyond (|t_hi| >= 704, near overflow
// and underflow) e^(t_hi)·(1 + t_lo + O(t_lo²)) from the library exp, where
// |t_lo| <= 2^-52·|t_hi| makes the dropped term negligible.
inline double power_from_log(LogPair l, double a) {
    const LogPair t = times_log(a, l.hi, l.lo);
    if (exp_pair_covers(t.hi)) return exp_pair(t.hi, t.lo);
    const double e = std::exp(t.hi);
    return std::isinf(e) ? e : e + e * t.lo;  // inf·(1 + t_lo) must not become inf − inf
}

// tanh(x+iy) = (sinh 2x, sin 2y)/(cosh 2x + cos 2y), clamped to ±1 for |x| > 20.
Cplx tanh_clamped(Cplx z);
// coth and csch of β, clamped to (±1, 0) and 0 for |Re β| > 20.
Cplx coth_clamped(Cplx z);
Cplx csch_clamped(Cplx z);

}  // namespace korvane
