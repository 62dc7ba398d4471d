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

LogPair log_pair(double x) {
    if constexpr (sizeof(long double) > sizeof(double)) {
        const long double l = std::log(static_cast<long double>(x));
        const double hi = static_cast<double>(l);
        return {hi, std::isfinite(hi) ? static_cast<double>(l - hi) : 0.0};
    } else {
        return {std::log(x), 0.0};
    }
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
