// The fourteen element kinds and their impedances.
//
// References: J. R. Macdonald and E. Barsoukov (eds.), "Impedance
// Spectroscopy: Theory, Experiment, and Applications", 2nd ed., Wiley 2005,
// ch. 2.2 (distributed elements: Warburg, Gerischer, constant-phase);
// J. Bisquert, "Influence of the boundaries in the impedance of porous film
// electrodes", PCCP 2 (2000) 4185 (transmission lines).
//
// Every formula is written exactly as the shared rules of complex.cpp expect:
// the order of operations is part of the result (a Cpe with alpha = 1 must be
// bit-identical to a C, a Zarc with gamma = 1 to a K).

#include "circuit/element.hpp"

#include <cmath>
#include <limits>

#include "circuit/element_formulas.hpp"

namespace korvane {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

constexpr std::array<KindInfo, kKindCount> kKinds = {{
    {"R", "R", 1, {"r"}, {"ohm"}, {1.0}},
    {"C", "C", 1, {"c"}, {"F"}, {0.001}},
    {"L", "L", 1, {"l"}, {"H"}, {1e-6}},
    {"La", "La", 2, {"l", "alpha"}, {"H*s", "-"}, {1e-6, 0.8}},
    {"Cpe", "CPE", 2, {"q", "alpha"}, {"ohm^-1*s^alpha", "-"}, {0.001, 0.8}},
    {"W", "W", 1, {"aw"}, {"ohm*s^-0.5"}, {1.0}},
    {"Wo", "Wo", 2, {"z0", "tau"}, {"ohm", "s"}, {1.0, 10.0}},
    {"Ws", "Ws", 2, {"z0", "tau"}, {"ohm", "s"}, {1.0, 10.0}},
    {"G", "G", 2, {"rg", "tg"}, {"ohm", "s"}, {1.0, 1.0}},
    {"Gs", "Gs", 3, {"rg", "tg", "phi"}, {"ohm", "s", "-"}, {1.0, 1.0, 1.0}},
    {"K", "K", 2, {"r", "tau_k"}, {"ohm", "s"}, {1.0, 0.001}},
    {"Zarc", "Zarc", 3, {"r", "tau_k", "gamma"}, {"ohm", "s", "-"}, {1.0, 0.001, 0.8}},
    {"Tlmq", "TLMQ", 3, {"r_ion", "qs", "gamma"}, {"ohm", "F*s^(gamma-1)", "-"}, {1.0, 0.001, 0.8}},
    {"T",
     "T",
     4,
     {"a", "b", "k_tau", "tau"},
     {"ohm*m^2", "ohm*m^2", "-", "s"},
     {1.0, 1.0, 1.0, 1.0}},
}};

}  // namespace

const KindInfo& kind_info(Kind kind) { return kKinds[static_cast<std::size_t>(kind)]; }

std::optional<Kind> kind_from_code(std::string_view letters) {
    for (int i = 0; i < kKindCount; ++i) {
        if (kKinds[i].code == letters) return static_cast<Kind>(i);
    }
    // The two upper-case spellings used by the help listing and the trained
    // topology strings.
    if (letters == "CPE") return Kind::Cpe;
    if (letters == "TLMQ") return Kind::Tlmq;
    return std::nullopt;
}

Bounds default_bounds(std::string_view param_name) {
    if (param_name == "alpha" || param_name == "gamma") return {0.0, 1.0};
    return {1e-12, kInf};
}

Omega make_omega(double w) {
    // C Annex F fixes both without a call: hypot(0, ω) = |ω|, and
    // atan2(ω, +0) = ±π/2 for ω ≠ 0, ±0 for ω = ±0, NaN for NaN.
    const double argument = w > 0.0 ? kHalfPi : w < 0.0 ? -kHalfPi : w;
    return {w, std::sqrt(w), csqrt(Cplx{0.0, w}), std::fabs(w), argument, log_pair(std::fabs(w))};
}

Cplx element_impedance(Kind kind, const double* v, const Omega& om) {
    const double w = om.w;
    const Cplx jw{0.0, w};
    switch (kind) {
        case Kind::R:
            return formulas::resistor(v[0]);
        case Kind::C:
            return formulas::capacitor(w, v[0]);
        case Kind::L:
            return formulas::inductor(w, v[0]);
        case Kind::La:
            // (jωl)^alpha: the inductance sits inside the power.
            return cpow(jw * v[0], v[1]);
        case Kind::Cpe:
            return formulas::cpe(v[0], formulas::jw_power(om, v[1]));
        case Kind::W:
            return formulas::warburg(w, om.sqrt_w, v[0]);
        case Kind::Wo: {
            // z0·coth(x)/x with x = √(jωτ)
            const Cplx x = csqrt(jw * v[1]);
            return v[0] / (x * tanh_clamped(x));
        }
        case Kind::Ws: {
            // z0·tanh(x)/x with x = √(jωτ)
            const Cplx x = csqrt(jw * v[1]);
            return (v[0] * tanh_clamped(x)) / x;
        }
        case Kind::G: {
            const Cplx x = csqrt(Cplx{1.0, 0.0} + jw * v[1]);
            return v[0] / x;
        }
        case Kind::Gs: {
            // rg / (x·tanh(φx)) with x = √(1 + jω·tg); the clamp sees φ·Re x.
            const Cplx x = csqrt(Cplx{1.0, 0.0} + jw * v[1]);
            return v[0] / (x * tanh_clamped(v[2] * x));
        }
        case Kind::K:
            return formulas::k_element(w, v[0], v[1]);
        case Kind::Zarc:
            return formulas::zarc(v[0], cpow(jw * v[1], v[2]));
        case Kind::Tlmq:
            return formulas::tlmq(v[0], v[1], formulas::jw_power(om, v[2]));
        case Kind::T: {
            // β = √(k_τ + jωτ);  Z = (a·coth β + b·csch β)/β
            const Cplx beta = csqrt(Cplx{v[2], 0.0} + jw * v[3]);
            return (v[0] * coth_clamped(beta) + v[1] * csch_clamped(beta)) / beta;
        }
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return {nan, nan};
}

}  // namespace korvane
