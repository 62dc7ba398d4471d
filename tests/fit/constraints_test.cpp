#include "fit/constraints.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/params.hpp"
#include "fit/driver.hpp"
#include "fit/least_squares_fit.hpp"
#include "fit/objective.hpp"
#include "fit/statistics.hpp"
#include "support/spectra.hpp"

namespace korvane {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

using testing::parse;
using testing::Spectrum;

Spectrum rc_spectrum(std::size_t n = 30) { return testing::rising_rc_spectrum(n); }

Circuit rc_start() {
    return with_values(parse("R0-(R1,C1)"), std::vector{8.0, 150.0, 2e-5}).value();
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (bits(a[i]) != bits(b[i])) return false;
    }
    return true;
}

std::string validation_error(const FitConstraints& c, std::size_t points = 30) {
    const Status s = validate_constraints(parse("R0-(R1,CPE1)"), points, c);
    return s ? std::string("<valid>") : s.error().message;
}

TEST(Constraints, ConstraintsThatChangeNothingReproduceThePlainFitBitForBit) {
    // Every field set, none constraining: all parameters free, bounds equal
    // to the defaults, σ equal to the modulus weights. This walks the
    // constrained code paths and must land on the plain fit's bits.
    const Spectrum s = rc_spectrum();
    const Circuit start = rc_start();
    FitConstraints neutral;
    neutral.fixed.assign(3, std::nullopt);
    neutral.bounds = param_bounds(start);
    for (const Cplx z : s.z) {
        neutral.sigma_re.push_back(std::hypot(z.re, z.im));
        neutral.sigma_im.push_back(std::hypot(z.re, z.im));
    }
    const FitOutcome plain = run_fit(start, s.f, s.z, WeightScheme::Modulus, FitSettings{}).value();
    const FitOutcome same =
        run_fit(start, s.f, s.z, WeightScheme::Unit, FitSettings{}, neutral).value();
    EXPECT_TRUE(same_bits(same.params, plain.params));
    ASSERT_TRUE(same.standard_errors && plain.standard_errors);
    EXPECT_TRUE(same_bits(*same.standard_errors, *plain.standard_errors));
    EXPECT_EQ(bits(same.cost), bits(plain.cost));
    EXPECT_EQ(same.iterations, plain.iterations);
    EXPECT_EQ(same.impedance_evals, plain.impedance_evals);
}

TEST(Constraints, FixedParametersLeaveTheProblemAndKeepTheirBits) {
    const Spectrum s = rc_spectrum();
    const Circuit circuit = rc_start();
    // A value with a full mantissa, which a log10/pow round trip would not keep.
    const double r0 = 10.0 + 1.0 / 3.0;
    FitConstraints c;
    c.fixed = {r0, std::nullopt, std::nullopt};
    const Objective plain = Objective::build(circuit, s.f, s.z, WeightScheme::Modulus).value();
    const Objective reduced = Objective::build(circuit, s.f, s.z, WeightScheme::Modulus, c).value();
    ASSERT_EQ(reduced.parameter_count(), 2u);
    ASSERT_EQ(reduced.bounds().size(), 2u);

    // The unknowns are R1.r and C1.c; R0.r is inserted before evaluating.
    const std::vector<double> free = {120.0, 3e-5};
    EXPECT_TRUE(same_bits(reduced.full_values(free), std::vector{r0, 120.0, 3e-5}));
    EXPECT_TRUE(same_bits(reduced.free_values(std::vector{1.0, 120.0, 3e-5}), free));
    EXPECT_TRUE(same_bits(reduced.residuals(free).value(),
                          plain.residuals(std::vector{r0, 120.0, 3e-5}).value()));

    // Its Jacobian has the free columns only, bit for bit those of the full
    // one, and spends no evaluation on the fixed column.
    const std::uint64_t before = reduced.evaluations();
    const Jacobian j_free = reduced.jacobian(free).value();
    EXPECT_EQ(reduced.evaluations() - before, 4u);
    const Jacobian j_full = plain.jacobian(std::vector{r0, 120.0, 3e-5}).value();
    ASSERT_EQ(j_free.cols, 2u);
    for (std::size_t k = 0; k < j_free.rows; ++k) {
        EXPECT_EQ(bits(j_free.at(k, 0)), bits(j_full.at(k, 1))) << k;
        EXPECT_EQ(bits(j_free.at(k, 1)), bits(j_full.at(k, 2))) << k;
    }
}

TEST(Constraints, FittingWithATrueValueFixedRecoversTheOthers) {
    const Spectrum s = rc_spectrum();
    FitConstraints c;
    c.fixed = {10.0, std::nullopt, std::nullopt};
    const FitOutcome outcome =
        run_fit(rc_start(), s.f, s.z, WeightScheme::Modulus, FitSettings{}, c).value();
    EXPECT_TRUE(outcome.success);
    EXPECT_EQ(bits(outcome.params[0]), bits(10.0));
    EXPECT_NEAR(outcome.params[1], 100.0, 1e-6);
    EXPECT_NEAR(outcome.params[2], 1e-5, 1e-12);
    EXPECT_EQ(param_values(outcome.circuit), outcome.params);

    // Standard errors: NaN for the fixed parameter; the others those of the
    // two-parameter problem, dof = 2N − 2.
    ASSERT_TRUE(outcome.standard_errors);
    EXPECT_TRUE(std::isnan((*outcome.standard_errors)[0]));
    const Circuit circuit = rc_start();  // borrowed by the objective
    const Objective reduced = Objective::build(circuit, s.f, s.z, WeightScheme::Modulus, c).value();
    const FitStatistics direct =
        fit_statistics(reduced, std::vector{outcome.params[1], outcome.params[2]}).value();
    ASSERT_TRUE(direct.standard_errors);
    EXPECT_EQ(bits((*outcome.standard_errors)[1]), bits((*direct.standard_errors)[0]));
    EXPECT_EQ(bits((*outcome.standard_errors)[2]), bits((*direct.standard_errors)[1]));
}

TEST(Constraints, NarrowedBoundsHoldAndAreReachedExactly) {
    const Spectrum s = rc_spectrum();
    FitConstraints c;
    c.bounds = param_bounds(rc_start());
    c.bounds[1] = {1.0, 50.0};  // R1 is 100 in truth: it must stop at 50
    c.bounds[0] = {2.0, kInf};  // R0 = 10 lies inside: untouched
    const FitOutcome outcome =
        run_fit(with_values(parse("R0-(R1,C1)"), std::vector{8.0, 40.0, 2e-5}).value(), s.f, s.z,
                WeightScheme::Modulus, FitSettings{}, c)
            .value();
    EXPECT_EQ(outcome.params[1], 50.0);
    EXPECT_GE(outcome.params[0], 2.0);
    EXPECT_GT(outcome.params[2], 0.0);
    EXPECT_GT(outcome.cost, 1e-6);  // the bound costs fit quality
}

TEST(Constraints, AnOwnLowerBoundDoesNotMakeARunLookCollapsed) {
    // R1 = 100 ends within 100·lo of an own lower bound of 2 Ω. That is no
    // sign of a parameter collapsed to zero (the physical bound is 1e-12),
    // so the first converged run is kept instead of all nine being tried.
    const Spectrum s = rc_spectrum();
    const Circuit start = rc_start();
    FitConstraints c;
    c.bounds = param_bounds(start);
    c.bounds[1] = {2.0, kInf};
    const Objective objective = Objective::build(start, s.f, s.z, WeightScheme::Modulus, c).value();
    const LeastSquaresSolution solution =
        solve_least_squares(objective, param_values(start), fixed_lm_config()).value();
    EXPECT_TRUE(solution.success);
    EXPECT_EQ(solution.candidate_runs, 1u);
    EXPECT_NEAR(solution.params[1], 100.0, 1e-6);
}

TEST(Constraints, SigmaPerPartDividesEachResidual) {
    const Spectrum s = rc_spectrum(5);
    const Circuit circuit = rc_start();
    FitConstraints c;
    c.sigma_re = {0.5, 1.0, 2.0, 4.0, 8.0};
    c.sigma_im = {3.0, 0.25, 1.0, 7.0, 0.125};
    const Objective weighted = Objective::build(circuit, s.f, s.z, WeightScheme::Unit, c).value();
    const Objective unit = Objective::build(circuit, s.f, s.z, WeightScheme::Unit).value();
    const std::vector<double> p = param_values(circuit);
    const std::vector<double> r = weighted.residuals(p).value();
    const std::vector<double> d = unit.residuals(p).value();
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(bits(r[2 * i]), bits(d[2 * i] / c.sigma_re[i])) << i;
        EXPECT_EQ(bits(r[2 * i + 1]), bits(d[2 * i + 1] / c.sigma_im[i])) << i;
    }
}

TEST(Constraints, ValidationNamesTheParameterAndTheFault) {
    FitConstraints ok;
    EXPECT_EQ(validation_error(ok), "<valid>");

    const std::vector<Bounds> defaults = param_bounds(parse("R0-(R1,CPE1)"));
    FitConstraints c;
    c.bounds = defaults;
    c.bounds[1] = {5.0, 5.0};
    EXPECT_EQ(validation_error(c), "bounds of \"R1.r\" need lo < hi, got (5, 5)");
    c.bounds[1] = {1e-15, 5.0};
    EXPECT_EQ(validation_error(c),
              "bounds (1e-15, 5) of \"R1.r\" reach outside its physical bounds (1e-12, inf)");
    c.bounds[1] = defaults[1];
    c.bounds[3] = {0.5, 1.5};
    EXPECT_EQ(validation_error(c),
              "bounds (0.5, 1.5) of \"CPE1.alpha\" reach outside its physical bounds (0, 1)");
    c.bounds[3] = {0.5, std::nan("")};
    EXPECT_EQ(validation_error(c), "bounds of \"CPE1.alpha\" need lo < hi, got (0.5, NaN)");
    c.bounds.pop_back();
    EXPECT_EQ(validation_error(c), "bounds has 3 entries, expected one per parameter (4)");

    FitConstraints f;
    f.fixed = {std::nullopt, std::nullopt, std::nullopt, 1.2};
    EXPECT_EQ(validation_error(f),
              "fixed value 1.2 of \"CPE1.alpha\" is outside its bounds (0, 1)");
    f.fixed[3] = 1.0;  // on the bound is inside
    EXPECT_EQ(validation_error(f), "<valid>");
    f.bounds = defaults;
    f.bounds[3] = {0.5, 0.9};
    EXPECT_EQ(validation_error(f),
              "fixed value 1 of \"CPE1.alpha\" is outside its bounds (0.5, 0.9)");
    f.bounds.clear();
    f.fixed[0] = kInf;
    EXPECT_EQ(validation_error(f), "fixed value of \"R0.r\" must be finite, got inf");
    f.fixed = {1.0, 2.0, 3.0, 0.5};
    EXPECT_EQ(validation_error(f), "every parameter is fixed: nothing is left to fit");

    FitConstraints sigma;
    sigma.sigma_re.assign(30, 1.0);
    sigma.sigma_im.assign(29, 1.0);
    EXPECT_EQ(validation_error(sigma),
              "sigma of the imaginary parts has 29 entries, expected one per measured point (30)");
    sigma.sigma_im.assign(30, 1.0);
    sigma.sigma_re[7] = 0.0;
    EXPECT_EQ(validation_error(sigma),
              "sigma must be finite and positive; the real part of point 7 has 0");
    sigma.sigma_re[7] = std::nan("");
    EXPECT_EQ(validation_error(sigma),
              "sigma must be finite and positive; the real part of point 7 has NaN");

    // run_fit checks them too, after the data.
    const Spectrum s = rc_spectrum();
    EXPECT_EQ(run_fit(parse("R0-(R1,CPE1)"), s.f, s.z, WeightScheme::Modulus, FitSettings{}, f)
                  .error()
                  .message,
              "every parameter is fixed: nothing is left to fit");
}

TEST(Constraints, StartValuesMeetTheOwnBounds) {
    const Circuit start =
        with_values(parse("R0-(R1,CPE1)"), std::vector{5.0, 3.0, 1e-4, 0.95}).value();
    FitConstraints c;
    c.bounds = param_bounds(start);
    c.bounds[1] = {10.0, kInf};
    c.bounds[3] = {0.5, 0.9};
    c.fixed = {4.0, std::nullopt, std::nullopt, std::nullopt};

    // A value the user gave outside an own bound is refused ...
    const Result<Circuit> refused = constrained_start(start, false, c);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message,
              "start value 3 of \"R1.r\" is outside its bounds (10, inf); start inside them "
              "(Circuit.with_named_values)");

    // ... a guess is moved inside: twice the lower bound of an open parameter,
    // the nearest bound of a closed one; fixed values replace what was there.
    const Circuit moved = constrained_start(start, true, c).value();
    EXPECT_EQ(param_values(moved), (std::vector{4.0, 20.0, 1e-4, 0.9}));

    // Values are not held against bounds nobody narrowed, as in a plain fit.
    const Circuit odd =
        with_values(parse("R0-(R1,CPE1)"), std::vector{-1.0, 3.0, 1e-4, 0.5}).value();
    EXPECT_EQ(param_values(constrained_start(odd, false, FitConstraints{}).value()),
              param_values(odd));
}

}  // namespace
}  // namespace korvane
