// Complex power, square root and clamped hyperbolic functions for the
// impedance formulas.
//
// Reference: W. Kahan, "Branch cuts for complex elementary functions, or much
// ado about nothing's sign bit" (1987), for the sign-bit conventions of the
// principal square root on the real axis.
//
// The special cases below are part of the results, not optimisations: the
// exponents 1, 0.5 and 0 must give exactly z, csqrt(z) and 1, so that a Cpe
// with alpha = 1 is bit-identical to a capacitor, and the clamps keep
// sinh/cosh from overflowing into inf/inf = NaN at large arguments.

#include "circuit/complex.hpp"

#include <cmath>

namespace korvane {

Cplx csqrt(Cplx z) {
    const double x = z.re;
    const double y = z.im;
    if (y == 0.0) {
        // On the real axis the branch is chosen by sign bits, so that
        // √(-4 - 0j) = -2j and √(-4 + 0j) = +2j.
        if (!std::signbit(x)) return {std::sqrt(x), y};
        return {0.0, std::copysign(std::sqrt(-x), y)};
    }
    if (x == 0.0) {
        // √(±j|y|) = √(|y|/2)·(1 ± j), exact up to one rounding.
        const double t = std::sqrt(std::fabs(y) / 2.0);
        return y > 0.0 ? Cplx{t, t} : Cplx{t, -t};
    }
    const double rho = std::hypot(x, y);
    const double theta = std::atan2(y, x);
    const double s = std::sqrt(rho);
    return {s * std::cos(theta / 2.0), s * std::sin(theta / 2.0)};
}

// ln x = hi + ln(x·e^-hi) with hi = log(x), within an ulp, so that
// x·e^-hi = 1 + ε with |ε| <= 2^-52 and ln(1 + ε) = ε − ε²/2 + … is ε to
// 2^-105. With e^-hi = s·(1 + m) from exp_pair_parts (s exact, m good to
// about 2^-61) and x·s = p + p_err exactly,
//   ε = ((p − 1) + p_err) + p·m,   p − 1 exact (Sterbenz: p is near 1).
// The two-product splits both factors, which must stay below 2^995: a
// factor 2^128 moves from the larger to the smaller first (exactly; both
// stay normal). No long double needed, so every platform gets the tail.
LogPair log_pair(double x) {
    const double hi = std::log(x);
    if (!exp_pair_covers(hi)) return {hi, 0.0};
    const ExpParts e = exp_pair_parts(-hi, 0.0);
    const double shift = hi > 0.0 ? 0x1p-128 : 0x1p128;
    const double x_shifted = x * shift;
    const double s_shifted = e.scale / shift;
    const double p = x_shifted * s_shifted;
    return {hi, ((p - 1.0) + product_error(x_shifted, s_shifted, p)) + p * e.excess};
}

Cplx cpow(Cplx z, double a) {
    // Exact comparisons in this order; a NaN exponent reaches the polar form.
    if (a == 1.0) return z;
    if (a == 0.5) return csqrt(z);
    if (a == 0.0) return {1.0, 0.0};
    const double rho = std::hypot(z.re, z.im);
    const double theta = std::atan2(z.im, z.re);
    const double m = std::pow(rho, a);
    return {m * std::cos(a * theta), m * std::sin(a * theta)};
}

// tanh(x + iy) = (sinh 2x + i sin 2y) / (cosh 2x + cos 2y). Beyond |x| = 20,
// tanh differs from ±1 by less than 2e-17 while cosh 2x heads for overflow.
Cplx tanh_clamped(Cplx z) {
    if (std::fabs(z.re) > 20.0) return {std::copysign(1.0, z.re), 0.0};
    const double d = std::cosh(2.0 * z.re) + std::cos(2.0 * z.im);
    return {std::sinh(2.0 * z.re) / d, std::sin(2.0 * z.im) / d};
}

namespace {

// cosh β = (cosh x cos y, sinh x sin y), sinh β = (sinh x cos y, cosh x sin y).
Cplx cosh_parts(Cplx z) {
    return {std::cosh(z.re) * std::cos(z.im), std::sinh(z.re) * std::sin(z.im)};
}
Cplx sinh_parts(Cplx z) {
    return {std::sinh(z.re) * std::cos(z.im), std::cosh(z.re) * std::sin(z.im)};
}

}  // namespace

Cplx coth_clamped(Cplx z) {
    if (std::fabs(z.re) > 20.0) return {std::copysign(1.0, z.re), 0.0};
    return cosh_parts(z) / sinh_parts(z);
}

Cplx csch_clamped(Cplx z) {
    if (std::fabs(z.re) > 20.0) return {0.0, 0.0};
    return reciprocal(sinh_parts(z));
}

}  // namespace korvane
