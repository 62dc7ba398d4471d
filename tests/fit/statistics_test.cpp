#include "fit/statistics.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/params.hpp"
#include "support/parse_ok.hpp"

namespace korvane {
namespace {

using korvane::testing::parse_ok;

std::vector<double> frequencies(std::size_t n) {
    std::vector<double> f(n);
    for (std::size_t i = 0; i < n; ++i)
        f[i] = std::pow(10.0, -1.0 + 6.0 * i / std::max<std::size_t>(n - 1, 1));
    return f;
}

std::vector<Cplx> noisy_rc(const std::vector<double>& f) {
    std::vector<Cplx> z;
    for (std::size_t i = 0; i < f.size(); ++i) {
        const double w = kTwoPi * f[i], t = w * 50.0 * 1e-5;
        z.push_back({(10.0 + 50.0 / (1.0 + t * t)) * (1.0 + 0.03 * std::sin(1.7 * i)),
                     (-50.0 * t / (1.0 + t * t)) * (1.0 + 0.05 * std::cos(2.3 * i))});
    }
    return z;
}

TEST(InverseDiagonal, PivotsAndRefusesExactSingularity) {
    // A zero leading entry needs a row exchange; inverse of [[0,2],[4,1]] is
    // [[-1/8, 1/4], [1/2, 0]].
    const auto swapped = inverse_diagonal({0.0, 2.0, 4.0, 1.0}, 2);
    ASSERT_TRUE(swapped.has_value());
    EXPECT_DOUBLE_EQ((*swapped)[0], -0.125);
    EXPECT_EQ((*swapped)[1], 0.0);

    // [[4,-2,1],[-2,4,-2],[1,-2,4]]: det 36; cofactors give diag 12/36, 15/36, 12/36.
    const auto spd = inverse_diagonal({4, -2, 1, -2, 4, -2, 1, -2, 4}, 3);
    ASSERT_TRUE(spd.has_value());
    EXPECT_NEAR((*spd)[0], 12.0 / 36.0, 1e-15);
    EXPECT_NEAR((*spd)[1], 15.0 / 36.0, 1e-15);
    EXPECT_NEAR((*spd)[2], 12.0 / 36.0, 1e-15);

    EXPECT_FALSE(inverse_diagonal({1.0, 2.0, 2.0, 4.0}, 2).has_value());
    EXPECT_FALSE(inverse_diagonal({0.0, 0.0, 0.0, 1.0}, 2).has_value());
    EXPECT_FALSE(inverse_diagonal({1, 2, 3, 2, 4, 6, 1, 1, 1}, 3).has_value());
    EXPECT_TRUE(inverse_diagonal({}, 0).has_value());
}

TEST(FitStatistics, ChiSquareIsExactlyTwiceTheCost) {
    const Circuit c = parse_ok("R0-(R1,C1)");
    const std::vector<double> f = frequencies(12);
    const std::vector<double> p = {9.0, 55.0, 1.1e-5};
    const Objective o = *Objective::build(c, f, noisy_rc(f), WeightScheme::Modulus);
    const auto stats = fit_statistics(o, p);
    ASSERT_TRUE(stats.ok());
    EXPECT_EQ(stats->chi_square, 2.0 * stats->cost);
    EXPECT_EQ(stats->cost, *o.cost(p));

    // A residual whose square is a subnormal with an odd last bit: halving it
    // rounds, so Σr² and 2·(½·Σr²) differ, and chi_square must follow the cost.
    const Circuit r = parse_ok("R0");
    const std::vector<double> one_f = {1.0};
    const std::vector<Cplx> zero = {{0.0, 0.0}};
    const Objective tiny = *Objective::build(r, one_f, zero, WeightScheme::Unit);
    double residual = 1e-160;
    for (int k = 0; k < 100 && 2.0 * (0.5 * (residual * residual)) == residual * residual; ++k) {
        residual = 1e-160 + k * 1e-164;
    }
    const double square = residual * residual;
    ASSERT_NE(2.0 * (0.5 * square), square);  // the case is what it claims to be
    const std::vector<double> p_tiny = {residual};
    const auto tiny_stats = fit_statistics(tiny, p_tiny);
    ASSERT_TRUE(tiny_stats.ok());
    EXPECT_EQ(tiny_stats->chi_square, 2.0 * tiny_stats->cost);
}

TEST(FitStatistics, StandardErrorsMatchAnIndependentCovariance) {
    const Circuit c = parse_ok("R0-(R1,C1)");
    const std::vector<double> f = frequencies(8);
    const std::vector<double> p = {9.0, 55.0, 1.1e-5};
    auto counter = make_counter();
    const Objective o = *Objective::build(c, f, noisy_rc(f), WeightScheme::Modulus, counter);
    const auto stats = fit_statistics(o, p);
    ASSERT_TRUE(stats.ok());
    EXPECT_EQ(counter->load(), 1u + 2u * 3u);
    ASSERT_TRUE(stats->standard_errors.has_value());
    ASSERT_EQ(stats->standard_errors->size(), 3u);

    // (JᵀJ)⁻¹ of a 3×3 by cofactors: diag_j = minor_jj / det.
    const Jacobian J = *o.jacobian(p);
    double a[3][3] = {};
    for (int r = 0; r < 3; ++r)
        for (int s = 0; s < 3; ++s)
            for (std::size_t k = 0; k < J.rows; ++k) a[r][s] += J.at(k, r) * J.at(k, s);
    const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                       a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                       a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    const double minors[3] = {a[1][1] * a[2][2] - a[1][2] * a[2][1],
                              a[0][0] * a[2][2] - a[0][2] * a[2][0],
                              a[0][0] * a[1][1] - a[0][1] * a[1][0]};
    const double dof = 16.0 - 3.0;
    for (int j = 0; j < 3; ++j) {
        const double expected = std::sqrt(minors[j] / det * stats->chi_square / dof);
        EXPECT_NEAR((*stats->standard_errors)[j], expected, 1e-7 * expected) << j;
    }
}

TEST(FitStatistics, NoStandardErrorsWithoutDegreesOfFreedomOrForSingularNormalMatrix) {
    // One point gives two residuals: with two or three parameters dof ≤ 0.
    const std::vector<double> one_f = {100.0};
    const std::vector<Cplx> one_z = {{5.0, -1.0}};
    const Circuit two = parse_ok("R0-C1");
    const Circuit three = parse_ok("R0-(R1,C1)");
    for (const Circuit* c : {&two, &three}) {
        const Objective o = *Objective::build(*c, one_f, one_z, WeightScheme::Modulus);
        const std::vector<double> p = param_values(*c);
        const auto stats = fit_statistics(o, p);
        ASSERT_TRUE(stats.ok());
        EXPECT_FALSE(stats->standard_errors.has_value());
        EXPECT_EQ(stats->chi_square, 2.0 * stats->cost);
    }

    // Two equal series resistors have identical columns: JᵀJ is exactly singular.
    const Circuit twin = parse_ok("R0-R1");
    const std::vector<double> f = frequencies(5);
    const Objective o = *Objective::build(twin, f, noisy_rc(f), WeightScheme::Modulus);
    const auto stats = fit_statistics(o, std::vector<double>{3.0, 3.0});
    ASSERT_TRUE(stats.ok());
    EXPECT_FALSE(stats->standard_errors.has_value());

    // A short vector is the circuit's error, not a crash.
    const auto failed = fit_statistics(o, std::vector<double>{3.0});
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message, not_enough_values(2, 1).message);
}

}  // namespace
}  // namespace korvane
