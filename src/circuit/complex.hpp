#pragma once
// The complex arithmetic every impedance formula shares. std::complex is not
// used: its multiplication and division special-case infinities and NaN
// (Annex G), while these formulas must follow plain IEEE arithmetic, and the
// exponents 0, 0.5 and 1 must take exact shortcuts.

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
// tanh(x+iy) = (sinh 2x, sin 2y)/(cosh 2x + cos 2y), clamped to ±1 for |x| > 20.
Cplx tanh_clamped(Cplx z);
// coth and csch of β, clamped to (±1, 0) and 0 for |Re β| > 20.
Cplx coth_clamped(Cplx z);
Cplx csch_clamped(Cplx z);

}  // namespace korvane
