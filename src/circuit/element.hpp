#pragma once
// The fourteen element kinds: codes, parameters, units, bounds, placeholder
// values, and the impedance of one element at one angular frequency.

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "circuit/complex.hpp"

namespace korvane {

// Fixed order: the order of the help listing and of every per-kind table.
enum class Kind : std::uint8_t { R, C, L, La, Cpe, W, Wo, Ws, G, Gs, K, Zarc, Tlmq, T };
inline constexpr int kKindCount = 14;
inline constexpr int kMaxParams = 4;

struct KindInfo {
    std::string_view code;       // canonical: "Cpe", "Tlmq"; generated labels and Python names
    std::string_view help_code;  // as listed in help and topology strings: "CPE", "TLMQ"
    int param_count;
    std::array<std::string_view, kMaxParams> param_names;
    std::array<std::string_view, kMaxParams> units;
    std::array<double, kMaxParams> placeholders;
};

const KindInfo& kind_info(Kind kind);
inline int param_count(Kind kind) { return kind_info(kind).param_count; }

// The fourteen codes plus "CPE" and "TLMQ", case-sensitive.
std::optional<Kind> kind_from_code(std::string_view letters);

// Default physical-validity bounds, decided by the parameter name alone:
// "alpha" and "gamma" give (0, 1), everything else (1e-12, +inf).
struct Bounds {
    double lo;
    double hi;
};
Bounds default_bounds(std::string_view param_name);

struct Element {
    Kind kind = Kind::R;
    std::array<double, kMaxParams> values{};  // only param_count(kind) are meaningful
    std::string label;                        // empty: none (built from Python objects)
};

// Quantities of one angular frequency that every element of a series list
// shares, computed once per point: ω, √ω and √(jω). Build it with make_omega.
struct Omega {
    double w;
    double sqrt_w;
    Cplx sqrt_jw;
    // Polar form of jω as cpow takes it, hypot(0, ω) and atan2(ω, 0), and
    // ln |ω|, so that (jω)^a for a general exponent costs exp, cos and sin
    // only (formulas::jw_modulus_power).
    double jw_modulus = 0.0;
    double jw_argument = 0.0;
    // NaN unless make_omega formed it, so that a hand-built Omega falls back
    // to pow instead of reading ln |ω| = 0.
    LogPair jw_log{std::numeric_limits<double>::quiet_NaN(), 0.0};
};
Omega make_omega(double w);

// Impedance of one element with parameter values v (param_count(kind) of them).
Cplx element_impedance(Kind kind, const double* v, const Omega& omega);

}  // namespace korvane
