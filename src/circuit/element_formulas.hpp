#pragma once
// Per-kind impedance formulas shared by the one-point evaluation
// (element_impedance) and the spectrum-wide one (batch_eval.cpp). Both must
// produce the same bits, so each formula exists exactly once, here, and the
// two callers differ only in where the per-point and per-element inputs come
// from.

#include <cmath>

#include "circuit/complex.hpp"
#include "circuit/element.hpp"
#include "runtime/numeric.hpp"

namespace korvane::formulas {

// (jω)^a for a not in {1, 0.5, 0} at ω > 0: cpow takes hypot(0, ω) = ω and
// atan2(ω, +0) = π/2 exactly (C Annex F), so cos(aπ/2) and sin(aπ/2) are
// the same at every such point and may be computed once per element.
struct ImagAxisPower {
    double cos_a;  // cos(a·π/2)
    double sin_a;  // sin(a·π/2)
};
inline ImagAxisPower imag_axis_power(double a) {
    return {std::cos(a * kHalfPi), std::sin(a * kHalfPi)};
}
// ρ^a·(cos aθ, sin aθ) with ρ = y > 0 and θ = π/2 hoisted.
inline Cplx power_on_imag_axis(double y, double a, ImagAxisPower k) {
    const double m = std::pow(y, a);
    return {m * k.cos_a, m * k.sin_a};
}
// True when cpow(z, a) reduces to power_on_imag_axis(z.im, a): z = (+0, y)
// with y > 0 (y = +inf included: hypot gives inf, atan2 π/2).
inline bool on_positive_imag_axis(Cplx z) {
    return z.re == 0.0 && !std::signbit(z.re) && z.im > 0.0;
}

// |ω|^a from the logarithm kept per point; pow where that cannot serve
// (ω = 0, ±inf or NaN; |a| > 1e6, inf or NaN), so every IEEE special case
// stays pow's.
inline constexpr double kMaxLogPowerExponent = 1e6;
inline double jw_modulus_power(const Omega& om, double a) {
    return std::isfinite(om.jw_log.hi) && std::fabs(a) <= kMaxLogPowerExponent
               ? power_from_log(om.jw_log, a)
               : std::pow(om.jw_modulus, a);
}

// cpow((0, ω), a) with the per-point parts taken from Omega: √(jω) for
// a = 0.5 and the polar form for general a. make_omega holds exactly the
// values cpow would compute (csqrt((0, ω)), hypot(0, ω), atan2(ω, 0)); the
// modulus power comes from jw_modulus_power, within about an ulp of cpow's
// pow. Every path that forms (jω)^a goes through here or through
// jw_power_on_axis below, so one-point and spectrum-wide evaluation agree
// bit for bit.
inline Cplx jw_power(const Omega& om, double a) {
    if (a == 1.0) return {0.0, om.w};
    if (a == 0.5) return om.sqrt_jw;
    if (a == 0.0) return {1.0, 0.0};
    const double m = jw_modulus_power(om, a);
    return {m * std::cos(a * om.jw_argument), m * std::sin(a * om.jw_argument)};
}
// jw_power for a not in {1, 0.5, 0} at ω > 0, with the angle factors hoisted.
inline Cplx jw_power_on_axis(const Omega& om, double a, ImagAxisPower k) {
    const double m = jw_modulus_power(om, a);
    return {m * k.cos_a, m * k.sin_a};
}

inline Cplx resistor(double r) { return {r, 0.0}; }
// 1/(jωc), through the shared reciprocal so that Cpe(q, 1) matches.
inline Cplx capacitor(double w, double c) { return reciprocal(Cplx{0.0, w} * c); }
inline Cplx inductor(double w, double l) { return Cplx{0.0, w} * l; }
// aw/√ω·(1 - j) = (aw·√ω, -aw·√ω)/ω
inline Cplx warburg(double w, double sqrt_w, double aw) {
    const double s = aw * sqrt_w;
    return {s / w, -s / w};
}
// 1/(q·(jω)^α) from the power already formed.
inline Cplx cpe(double q, Cplx jw_power) { return reciprocal(q * jw_power); }
inline Cplx k_element(double w, double r, double tau) {
    return r / (Cplx{1.0, 0.0} + Cplx{0.0, w} * tau);
}
// r / (1 + (jωτ)^γ) from the power already formed.
inline Cplx zarc(double r, Cplx power) { return r / (Cplx{1.0, 0.0} + power); }
// Zq = 1/(qs·(jω)^γ);  Z = √(r_ion·Zq)·coth(√(r_ion/Zq)),
// with r_ion/Zq formed as r_ion·conj(Zq)/|Zq|².
inline Cplx tlmq(double r_ion, double qs, Cplx jw_power) {
    const Cplx zq = reciprocal(qs * jw_power);
    const double d = zq.re * zq.re + zq.im * zq.im;
    const Cplx u = csqrt(Cplx{(r_ion * zq.re) / d, (r_ion * -zq.im) / d});
    const Cplx s = csqrt(r_ion * zq);
    return s / tanh_clamped(u);
}

}  // namespace korvane::formulas
