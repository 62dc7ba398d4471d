// Element formulas and the shared complex rules. Generic values are checked
// against std::complex closed forms (an independent implementation); the
// special exponents and the clamps are checked bit for bit, because other
// parts of the system rely on those identities being exact.

#include "circuit/element.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "circuit/complex.hpp"

namespace korvane {
namespace {

using Std = std::complex<double>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

::testing::AssertionResult bit_equal(Cplx a, Cplx b) {
    if (same_bits(a.re, b.re) && same_bits(a.im, b.im)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "(" << a.re << ", " << a.im << ") vs (" << b.re << ", " << b.im << ")";
}

::testing::AssertionResult close_to(Cplx a, Std b, double rel = 1e-12) {
    const double err = std::abs(Std(a.re, a.im) - b);
    if (err <= rel * std::abs(b)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "(" << a.re << ", " << a.im << ") vs " << b
                                         << ", relative error " << err / std::abs(b);
}

Cplx z_of(Kind kind, std::vector<double> values, double w) {
    values.resize(kMaxParams, 0.0);
    return element_impedance(kind, values.data(), make_omega(w));
}

// ---- shared complex rules -----------------------------------------------

TEST(ComplexRules, SquareRootBranchFollowsSignBits) {
    EXPECT_TRUE(bit_equal(csqrt({4.0, 0.0}), {2.0, 0.0}));
    EXPECT_TRUE(bit_equal(csqrt({4.0, -0.0}), {2.0, -0.0}));
    EXPECT_TRUE(bit_equal(csqrt({-4.0, 0.0}), {0.0, 2.0}));
    EXPECT_TRUE(bit_equal(csqrt({-4.0, -0.0}), {0.0, -2.0}));
    EXPECT_TRUE(bit_equal(csqrt({-0.0, 0.0}), {0.0, 0.0}));
    // Purely imaginary input: √(|y|/2)·(1 ± j) with one rounding.
    EXPECT_TRUE(bit_equal(csqrt({0.0, 8.0}), {2.0, 2.0}));
    EXPECT_TRUE(bit_equal(csqrt({-0.0, -8.0}), {2.0, -2.0}));
    const double t = std::sqrt(3.0 / 2.0);
    EXPECT_TRUE(bit_equal(csqrt({0.0, 3.0}), {t, t}));
}

TEST(ComplexRules, SquareRootMatchesPrincipalBranch) {
    for (const Std z : {Std(3, 4), Std(-3, 4), Std(-3, -4), Std(1e-200, 1e-200), Std(1e200, -1e150),
                        Std(-1, 1e-9)}) {
        EXPECT_TRUE(close_to(csqrt({z.real(), z.imag()}), std::sqrt(z), 1e-15)) << z;
    }
}

TEST(ComplexRules, PowerShortcutsAreExact) {
    const Cplx z{-3.0, 0.25};
    EXPECT_TRUE(bit_equal(cpow(z, 1.0), z));
    EXPECT_TRUE(bit_equal(cpow(z, 0.5), csqrt(z)));
    EXPECT_TRUE(bit_equal(cpow(z, 0.0), {1.0, 0.0}));
    // The shortcut holds where the polar form would not give 1 exactly.
    EXPECT_TRUE(bit_equal(cpow({0.0, 0.0}, 0.0), {1.0, 0.0}));
    EXPECT_TRUE(bit_equal(cpow({kInf, kNaN}, 0.0), {1.0, 0.0}));
    const Cplx nan_power = cpow(z, kNaN);
    EXPECT_TRUE(std::isnan(nan_power.re) && std::isnan(nan_power.im));
}

TEST(ComplexRules, GeneralPowerMatchesPolarForm) {
    for (const double a : {0.8, 0.3, -0.7, 2.5}) {
        for (const Std z : {Std(0, 100), Std(2, -3), Std(-1, 1e-3)}) {
            EXPECT_TRUE(close_to(cpow({z.real(), z.imag()}, a), std::pow(z, a), 1e-14))
                << z << "^" << a;
        }
    }
}

TEST(ComplexRules, PowerFromLogarithmIsCorrectToHalfAnUlpAndABit) {
    // Against powl in long double, over twenty-four decades of x and
    // exponents beyond the element range: the bound is the last rounding
    // plus the table's and polynomial's few hundredths, and dropping ln x's
    // tail or a tail of 2^(j/128) would exceed it severalfold. Then across
    // the hand-over to the library exp at |a ln x| = 704, from both sides:
    // the library side adds one rounding, and a wrong exponent or table
    // entry there would be off by far more.
    if constexpr (sizeof(long double) == sizeof(double)) GTEST_SKIP() << "no wider long double";
    std::uint64_t state = 12345;
    auto uniform = [&state](double lo, double hi) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return lo + (hi - lo) * static_cast<double>(state >> 11) * 0x1p-53;
    };
    auto ulps_off = [](double x, double a) {
        const long double exact =
            std::pow(static_cast<long double>(x), static_cast<long double>(a));
        const double rounded = static_cast<double>(exact);
        const double ulp = std::nextafter(rounded, kInf) - rounded;
        return static_cast<double>(std::fabs(power_from_log(log_pair(x), a) - exact) / ulp);
    };
    double worst = 0.0;
    for (int i = 0; i < 200000; ++i) {
        worst = std::max(worst, ulps_off(std::pow(10.0, uniform(-12.0, 12.0)), uniform(-1.5, 1.5)));
    }
    EXPECT_LT(worst, 0.53);
    double worst_at_edge = 0.0;
    for (int i = 0; i < 2000; ++i) {
        const double x = std::pow(10.0, uniform(200.0, 300.0));
        const double t = (i % 2 == 0 ? 1.0 : -1.0) * uniform(703.0, 705.0);
        worst_at_edge = std::max(worst_at_edge, ulps_off(x, t / std::log(x)));
    }
    EXPECT_LT(worst_at_edge, 1.1);
    EXPECT_EQ(power_from_log(log_pair(1.0), 0.73), 1.0);
    // Past the overflow threshold from either side of the rounded product.
    for (const double x : {1e300, 3e300, 7e307}) {
        for (const double a : {2.0, 1.999999999999, 1.5}) {
            if (std::pow(x, a) == kInf) {
                EXPECT_EQ(power_from_log(log_pair(x), a), kInf) << x << " " << a;
            }
        }
    }
    EXPECT_EQ(power_from_log(log_pair(1e-300), 2.0), 0.0);
}

TEST(ComplexRules, LogarithmCarriesItsTail) {
    // hi + lo against logl: the tail brings ln x from hi's half ulp (up to
    // 2^-49 here) to about 2^-59, across the whole covered range.
    if constexpr (sizeof(long double) == sizeof(double)) GTEST_SKIP() << "no wider long double";
    long double worst = 0.0L;
    for (int i = 0; i <= 4000; ++i) {
        const double x = std::exp(-700.0 + 0.35 * i) * (1.0 + 1e-3 * std::sin(i));
        const LogPair l = log_pair(x);
        const long double exact = std::log(static_cast<long double>(x));
        // logl's own error is about |ln x|·2^-64.
        const long double allowed = 0x1p-57L + std::fabs(exact) * 0x1p-62L;
        const long double error = std::fabs((static_cast<long double>(l.hi) - exact) + l.lo);
        worst = std::max(worst, error / allowed);
    }
    EXPECT_LT(static_cast<double>(worst), 1.0);
    for (const double x : {0.0, kInf, 1e-310}) EXPECT_EQ(log_pair(x).lo, 0.0) << x;
    EXPECT_EQ(log_pair(1.0).hi, 0.0);
    EXPECT_EQ(log_pair(1.0).lo, 0.0);
}

TEST(ComplexRules, HyperbolicFunctionsAndClamps) {
    for (const Std z : {Std(0.3, 0.2), Std(-2, 1.4), Std(19.5, -0.3), Std(0.01, 3)}) {
        const Cplx c{z.real(), z.imag()};
        EXPECT_TRUE(close_to(tanh_clamped(c), std::tanh(z), 1e-13)) << z;
        EXPECT_TRUE(close_to(coth_clamped(c), 1.0 / std::tanh(z), 1e-13)) << z;
        EXPECT_TRUE(close_to(csch_clamped(c), 1.0 / std::sinh(z), 1e-13)) << z;
    }
    // Past |x| = 20 the limits are returned exactly, even where cosh overflows.
    for (const double x : {20.5, 400.0, 1e300, kInf}) {
        EXPECT_TRUE(bit_equal(tanh_clamped({x, 7.0}), {1.0, 0.0}));
        EXPECT_TRUE(bit_equal(tanh_clamped({-x, 7.0}), {-1.0, 0.0}));
        EXPECT_TRUE(bit_equal(coth_clamped({-x, 7.0}), {-1.0, 0.0}));
        EXPECT_TRUE(bit_equal(csch_clamped({x, 7.0}), {0.0, 0.0}));
    }
    // At exactly 20 the formula still applies.
    EXPECT_TRUE(close_to(tanh_clamped({20.0, 0.5}), std::tanh(Std(20.0, 0.5)), 1e-15));
}

TEST(ComplexRules, DivisionIsUnscaled) {
    // conj(b)/|b|² overflows |b|² rather than rescaling.
    const Cplx q = Cplx{1.0, 0.0} / Cplx{1e200, 1e200};
    EXPECT_EQ(q.re, 0.0);
    EXPECT_EQ(q.im, 0.0);
    const Cplx r = reciprocal({0.0, 0.0});
    EXPECT_TRUE(std::isnan(r.re));
}

// ---- kind table ---------------------------------------------------------

TEST(KindTable, CodesCountsAndBounds) {
    const int counts[kKindCount] = {1, 1, 1, 2, 2, 1, 2, 2, 2, 3, 2, 3, 3, 4};
    const char* codes[kKindCount] = {"R",  "C", "L",  "La", "Cpe",  "W",    "Wo",
                                     "Ws", "G", "Gs", "K",  "Zarc", "Tlmq", "T"};
    for (int k = 0; k < kKindCount; ++k) {
        const Kind kind = static_cast<Kind>(k);
        EXPECT_EQ(param_count(kind), counts[k]) << codes[k];
        EXPECT_EQ(kind_info(kind).code, codes[k]);
        EXPECT_EQ(kind_from_code(codes[k]), kind);
    }
    EXPECT_EQ(kind_from_code("CPE"), Kind::Cpe);
    EXPECT_EQ(kind_from_code("TLMQ"), Kind::Tlmq);
    for (const char* bad : {"cpe", "ZARC", "r", "Cp", "RR", "", "tlmq", "p"}) {
        EXPECT_FALSE(kind_from_code(bad).has_value()) << bad;
    }

    const auto check_bounds = [](Kind kind, std::vector<Bounds> expected) {
        const KindInfo& info = kind_info(kind);
        for (int i = 0; i < info.param_count; ++i) {
            const Bounds b = default_bounds(info.param_names[i]);
            EXPECT_EQ(b.lo, expected[i].lo) << info.code << "." << info.param_names[i];
            EXPECT_EQ(b.hi, expected[i].hi) << info.code << "." << info.param_names[i];
        }
    };
    check_bounds(Kind::Gs, {{1e-12, kInf}, {1e-12, kInf}, {1e-12, kInf}});
    check_bounds(Kind::Tlmq, {{1e-12, kInf}, {1e-12, kInf}, {0, 1}});
    check_bounds(Kind::La, {{1e-12, kInf}, {0, 1}});
    check_bounds(Kind::T, {{1e-12, kInf}, {1e-12, kInf}, {1e-12, kInf}, {1e-12, kInf}});
}

// ---- formulas -------------------------------------------------------------

// Textbook forms, written independently of element.cpp.
Std reference(Kind kind, const std::vector<double>& v, double w) {
    const Std jw(0.0, w);
    switch (kind) {
        case Kind::R:
            return v[0];
        case Kind::C:
            return 1.0 / (jw * v[0]);
        case Kind::L:
            return jw * v[0];
        case Kind::La:
            return std::pow(jw * v[0], v[1]);
        case Kind::Cpe:
            return 1.0 / (v[0] * std::pow(jw, v[1]));
        case Kind::W:
            return v[0] / std::sqrt(w) * Std(1.0, -1.0);
        case Kind::Wo: {
            const Std x = std::sqrt(jw * v[1]);
            return v[0] / (x * std::tanh(x));
        }
        case Kind::Ws: {
            const Std x = std::sqrt(jw * v[1]);
            return v[0] * std::tanh(x) / x;
        }
        case Kind::G:
            return v[0] / std::sqrt(1.0 + jw * v[1]);
        case Kind::Gs: {
            const Std x = std::sqrt(1.0 + jw * v[1]);
            return v[0] / (x * std::tanh(v[2] * x));
        }
        case Kind::K:
            return v[0] / (1.0 + jw * v[1]);
        case Kind::Zarc:
            return v[0] / (1.0 + std::pow(jw * v[1], v[2]));
        case Kind::Tlmq: {
            const Std zq = 1.0 / (v[1] * std::pow(jw, v[2]));
            return std::sqrt(v[0] * zq) / std::tanh(std::sqrt(v[0] / zq));
        }
        case Kind::T: {
            const Std beta = std::sqrt(v[2] + jw * v[3]);
            return (v[0] * std::cosh(beta) + v[1]) / (beta * std::sinh(beta));
        }
    }
    return {};
}

TEST(ElementImpedance, MatchesTextbookFormsAtGenericValues) {
    const std::vector<std::pair<Kind, std::vector<double>>> cases = {
        {Kind::R, {12.5}},
        {Kind::C, {2.2e-6}},
        {Kind::L, {3e-7}},
        {Kind::La, {4e-6, 0.7}},
        {Kind::Cpe, {1.5e-4, 0.83}},
        {Kind::W, {35.0}},
        {Kind::Wo, {20.0, 0.8}},
        {Kind::Ws, {20.0, 0.8}},
        {Kind::G, {5.0, 0.02}},
        {Kind::Gs, {5.0, 0.02, 1.7}},
        {Kind::K, {8.0, 1e-3}},
        {Kind::Zarc, {8.0, 1e-3, 0.75}},
        {Kind::Tlmq, {30.0, 2e-3, 0.9}},
        {Kind::T, {2.0, 3.0, 0.4, 0.05}},
    };
    for (const auto& [kind, values] : cases) {
        for (const double w : {0.01, 1.0, 37.0, 6283.0, 2e5}) {
            EXPECT_TRUE(close_to(z_of(kind, values, w), reference(kind, values, w), 1e-11))
                << kind_info(kind).code << " at w = " << w;
        }
    }
}

TEST(ElementImpedance, SpecialExponentsGiveExactIdentities) {
    for (const double w : {1e-3, 0.7, 314.159, 1e7}) {
        for (const double q : {1e-6, 0.0123, 3.0}) {
            // Cpe(q, 1) is a capacitor c = q, bit for bit.
            EXPECT_TRUE(bit_equal(z_of(Kind::Cpe, {q, 1.0}, w), z_of(Kind::C, {q}, w)));
            // Cpe(q, 0) is the resistance 1/q.
            const Cplx pure = z_of(Kind::Cpe, {q, 0.0}, w);
            EXPECT_DOUBLE_EQ(pure.re, 1.0 / q);
            EXPECT_EQ(pure.im, 0.0);
            // La(l, 1) is an inductor, La(l, 0.5) has equal parts √(ωl/2).
            EXPECT_TRUE(bit_equal(z_of(Kind::La, {q, 1.0}, w), z_of(Kind::L, {q}, w)));
            const double half = std::sqrt(w * q / 2.0);
            EXPECT_TRUE(bit_equal(z_of(Kind::La, {q, 0.5}, w), {half, half}));
            // Zarc(r, τ, 1) is K(r, τ).
            EXPECT_TRUE(bit_equal(z_of(Kind::Zarc, {7.0, q, 1.0}, w), z_of(Kind::K, {7.0, q}, w)));
        }
        // The per-point √(jω) serves alpha = 0.5 exactly like csqrt would.
        const Cplx via_csqrt = reciprocal(2e-3 * csqrt({0.0, w}));
        EXPECT_TRUE(bit_equal(z_of(Kind::Cpe, {2e-3, 0.5}, w), via_csqrt));
        EXPECT_TRUE(close_to(z_of(Kind::Tlmq, {30.0, 2e-3, 0.5}, w),
                             reference(Kind::Tlmq, {30.0, 2e-3, 0.5}, w), 1e-11));
    }
}

TEST(ElementImpedance, PerPointPowersAgreeWithCpow) {
    // Cpe and Tlmq take (jω)^a from the per-point Omega. Where pow decides
    // (special exponents, ω = 0, inf or NaN, a NaN) the result is cpow's bit
    // for bit; elsewhere the modulus comes from the kept logarithm, within
    // about an ulp of cpow's pow.
    for (const double w : {1e-9, 0.3, 1.0, 6283.185307179586, 4.5e8, -12.0, 0.0, kInf, kNaN}) {
        for (const double a : {0.0, 0.5, 1.0, 0.8, 0.123, 1.7, -0.4, kNaN}) {
            const Cplx expected = reciprocal(0.02 * cpow({0.0, w}, a));
            const Cplx got = z_of(Kind::Cpe, {0.02, a}, w);
            const bool pow_decides =
                a == 0.0 || a == 0.5 || a == 1.0 || std::isnan(a) || !std::isfinite(w) || w == 0.0;
            if (pow_decides) {
                EXPECT_TRUE(bit_equal(got, expected)) << w << " " << a;
            } else {
                EXPECT_NEAR(got.re, expected.re, 1e-15 * std::fabs(expected.re)) << w << " " << a;
                EXPECT_NEAR(got.im, expected.im, 1e-15 * std::fabs(expected.im)) << w << " " << a;
            }
        }
    }
}

TEST(ElementImpedance, LargeArgumentsReturnExactLimits) {
    // |Re √(jωτ)| far past 20: coth and tanh are exactly 1, nothing overflows.
    for (const double wt : {1e4, 1e9, 1e300}) {
        const double w = wt / 10.0;
        const Cplx x = csqrt(Cplx{0.0, w} * 10.0);
        ASSERT_GT(x.re, 20.0);
        const Cplx limit = 3.0 / x;
        EXPECT_TRUE(bit_equal(z_of(Kind::Wo, {3.0, 10.0}, w), limit)) << wt;
        EXPECT_TRUE(bit_equal(z_of(Kind::Ws, {3.0, 10.0}, w), limit)) << wt;
    }
    // T with Re β > 20 is a/β, the b term (even a huge one) drops out.
    const double w = 50.0;
    const Cplx beta = csqrt(Cplx{900.0, 0.0} + Cplx{0.0, w} * 0.01);
    ASSERT_GT(beta.re, 20.0);
    EXPECT_TRUE(bit_equal(z_of(Kind::T, {2.5, 1e300, 900.0, 0.01}, w), 2.5 / beta));
    // Gs clamps on φ·Re x, not on Re x.
    const Cplx gx = csqrt(Cplx{1.0, 0.0} + Cplx{0.0, w} * 0.02);
    ASSERT_LT(gx.re, 20.0);
    EXPECT_TRUE(bit_equal(z_of(Kind::Gs, {4.0, 0.02, 1e3}, w), 4.0 / gx));
}

TEST(ElementImpedance, InvalidInputsFollowIeeeArithmetic) {
    const Cplx c0 = z_of(Kind::C, {1e-3}, 0.0);
    EXPECT_FALSE(std::isfinite(c0.re) && std::isfinite(c0.im));
    const Cplx neg = z_of(Kind::C, {1e-3}, -10.0);
    EXPECT_DOUBLE_EQ(neg.im, 100.0);
    const Cplx nan_value = z_of(Kind::Cpe, {kNaN, 0.8}, 10.0);
    EXPECT_TRUE(std::isnan(nan_value.re));
    const Cplx w_inf = z_of(Kind::W, {1.0}, kInf);
    EXPECT_TRUE(std::isnan(w_inf.re));  // inf/inf
    EXPECT_EQ(z_of(Kind::R, {-5.0}, kNaN).re, -5.0);
}

}  // namespace
}  // namespace korvane
