#include "fit/objective.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/params.hpp"
#include "support/parse_ok.hpp"

namespace korvane {
namespace {

using cd = std::complex<double>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using korvane::testing::parse_ok;

Objective make_objective(const Circuit& circuit, const std::vector<double>& f,
                         const std::vector<Cplx>& z, WeightScheme scheme,
                         std::shared_ptr<EvalCounter> counter = nullptr) {
    auto built = Objective::build(circuit, f, z, scheme, std::move(counter));
    EXPECT_TRUE(built.ok());
    return std::move(built).value();
}

std::vector<double> log_frequencies(std::size_t n, double lo_exp, double hi_exp) {
    std::vector<double> f(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = n == 1 ? 0.0 : static_cast<double>(i) / static_cast<double>(n - 1);
        f[i] = std::pow(10.0, lo_exp + (hi_exp - lo_exp) * t);
    }
    return f;
}

// A measured spectrum that is not the model: a perturbed Randles-like curve.
std::vector<Cplx> synthetic_measurement(const std::vector<double>& f) {
    std::vector<Cplx> z(f.size());
    for (std::size_t i = 0; i < f.size(); ++i) {
        const cd v = 12.0 + 80.0 / (1.0 + cd(0.0, 2e-3 * kTwoPi * f[i]));
        z[i] = {v.real() * (1.0 + 0.01 * std::sin(3.0 * i)), v.imag() * (1.0 - 0.02 * std::cos(i))};
    }
    return z;
}

TEST(WeightScheme, ParsesExactlyTheTwoNames) {
    ASSERT_TRUE(parse_weight_scheme("modulus").ok());
    EXPECT_EQ(*parse_weight_scheme("modulus"), WeightScheme::Modulus);
    ASSERT_TRUE(parse_weight_scheme("unit").ok());
    EXPECT_EQ(*parse_weight_scheme("unit"), WeightScheme::Unit);

    const std::pair<std::string, std::string> refused[] = {
        {"Modulus", R"(unknown weight scheme "Modulus", expected "modulus" or "unit")"},
        {" unit", R"(unknown weight scheme " unit", expected "modulus" or "unit")"},
        {"", R"(unknown weight scheme "", expected "modulus" or "unit")"},
        {"a\"b\\c\n", R"(unknown weight scheme "a\"b\\c\n", expected "modulus" or "unit")"},
    };
    for (const auto& [text, message] : refused) {
        const auto parsed = parse_weight_scheme(text);
        ASSERT_FALSE(parsed.ok()) << text;
        EXPECT_EQ(parsed.error().kind, ErrorKind::Value);
        EXPECT_EQ(parsed.error().message, message);
    }
}

TEST(Objective, BuildsAngularFrequenciesWeightsAndBounds) {
    const Circuit c = parse_ok("R0-(R1,CPE1)");
    const std::vector<double> f = {0.5, 1e3, 7.25e5, 0.0, 1.0, 1.0};
    const std::vector<Cplx> z = {{3, -4},        {0, 0},      {kNaN, 1},
                                 {1e300, 1e300}, {-0.0, 2.5}, {kInf, kNaN}};
    const Objective modulus = make_objective(c, f, z, WeightScheme::Modulus);
    ASSERT_EQ(modulus.point_count(), 6u);
    EXPECT_EQ(modulus.residual_count(), 12u);
    EXPECT_EQ(modulus.parameter_count(), 4u);
    for (std::size_t i = 0; i < f.size(); ++i)
        EXPECT_EQ(modulus.omega()[i], 6.283185307179586 * f[i]);

    const std::vector<double> expected_w = {5.0, 1e-30, 1e-30, std::hypot(1e300, 1e300), 2.5, kInf};
    for (std::size_t i = 0; i < z.size(); ++i) EXPECT_EQ(modulus.weights()[i], expected_w[i]) << i;
    EXPECT_TRUE(std::isfinite(modulus.weights()[3]));  // no overflow in |Z|

    const Objective unit = make_objective(c, f, z, WeightScheme::Unit);
    for (const double w : unit.weights()) EXPECT_EQ(w, 1.0);

    const std::vector<Bounds> expected_bounds = param_bounds(c);
    ASSERT_EQ(modulus.bounds().size(), 4u);
    for (std::size_t j = 0; j < 4; ++j) {
        EXPECT_EQ(modulus.bounds()[j].lo, expected_bounds[j].lo);
        EXPECT_EQ(modulus.bounds()[j].hi, expected_bounds[j].hi);
    }

    const std::vector<Cplx> short_z = {{1, 1}};
    const auto mismatched = Objective::build(c, f, short_z, WeightScheme::Unit);
    ASSERT_FALSE(mismatched.ok());
    EXPECT_EQ(mismatched.error().message, "frequencies and impedances must have the same length");
}

TEST(Objective, ResidualsAreWeightedModelMinusMeasurement) {
    const Circuit c = parse_ok("R0-(R1,C1)");
    const std::vector<double> p = {10.0, 250.0, 3e-5};
    const Circuit valued = *with_values(c, p);
    const std::vector<double> f = log_frequencies(9, -1, 5);
    std::vector<Cplx> z = synthetic_measurement(f);
    z[4] = {0.0, 0.0};  // an exactly zero measured point

    const Objective unit = make_objective(c, f, z, WeightScheme::Unit);
    const Objective modulus = make_objective(c, f, z, WeightScheme::Modulus);
    const auto ru = unit.residuals(p);
    const auto rm = modulus.residuals(p);
    ASSERT_TRUE(ru.ok());
    ASSERT_TRUE(rm.ok());
    ASSERT_EQ(ru->size(), 18u);
    for (std::size_t i = 0; i < f.size(); ++i) {
        const Cplx model = circuit_impedance(valued, kTwoPi * f[i]);
        EXPECT_EQ((*ru)[2 * i], model.re - z[i].re) << i;
        EXPECT_EQ((*ru)[2 * i + 1], model.im - z[i].im) << i;
        const double w = i == 4 ? 1e-30 : std::hypot(z[i].re, z[i].im);
        EXPECT_EQ((*rm)[2 * i], (model.re - z[i].re) / w) << i;
        EXPECT_EQ((*rm)[2 * i + 1], (model.im - z[i].im) / w) << i;
    }
    // The zero point is blown up by 1e30, not divided by zero.
    EXPECT_TRUE(std::isfinite((*rm)[8]));
    EXPECT_GT(std::fabs((*rm)[8]), 1e30);

    // Surplus values are ignored; a short vector is an error, not a crash.
    const std::vector<double> longer = {10.0, 250.0, 3e-5, 99.0, kNaN};
    const auto rl = unit.residuals(longer);
    ASSERT_TRUE(rl.ok());
    EXPECT_EQ(std::memcmp(rl->data(), ru->data(), ru->size() * sizeof(double)), 0);
    for (const std::vector<double>& short_p :
         {std::vector<double>{}, std::vector<double>{1.0, 2.0}}) {
        const auto failed = unit.residuals(short_p);
        ASSERT_FALSE(failed.ok());
        EXPECT_EQ(failed.error().message, not_enough_values(3, short_p.size()).message);
    }

    // Non-finite parameters flow through as values.
    const auto rn = unit.residuals(std::vector<double>{kNaN, 250.0, 3e-5});
    ASSERT_TRUE(rn.ok());
    EXPECT_TRUE(std::isnan((*rn)[0]));

    // A caller buffer of the wrong size is refused instead of overrun.
    std::vector<double> small(17);
    EXPECT_FALSE(unit.residuals_into(p, small).ok());
}

TEST(Objective, CostSumsFromNegativeZero) {
    const Circuit c = parse_ok("R0-(R1,C1)");
    const std::vector<double> p = {10.0, 250.0, 3e-5};
    const std::vector<double> f = log_frequencies(7, 0, 4);
    const std::vector<Cplx> z = synthetic_measurement(f);
    const Objective o = make_objective(c, f, z, WeightScheme::Modulus);
    const auto r = o.residuals(p);
    double sum = 0.0;
    for (const double v : *r) sum += v * v;
    const auto cost = o.cost(p);
    ASSERT_TRUE(cost.ok());
    EXPECT_EQ(*cost, 0.5 * sum);

    // No points: the empty sum is −0.0, and so is its half.
    const Objective empty = make_objective(c, {}, {}, WeightScheme::Modulus);
    const auto empty_cost = empty.cost(p);
    ASSERT_TRUE(empty_cost.ok());
    EXPECT_EQ(*empty_cost, 0.0);
    EXPECT_TRUE(std::signbit(*empty_cost));

    EXPECT_FALSE(o.cost(std::vector<double>{1.0}).ok());
}

// Through a single resistor, which is linear in its parameter, the column is
// exactly the rounded difference quotient ((p+h) − 1 − ((p−h) − 1)) / 2h for a
// measured 1 Ω, and its rounding error depends on h, so the step shows.
TEST(Jacobian, StepIsEtaTimesMagnitudeWithAFloorAndDividesByTwoH) {
    EXPECT_EQ(kJacobianStepFactor, 6.0554544523933395e-06);
    const Circuit c = parse_ok("R0");
    const std::vector<double> f = {1.0};
    const std::vector<Cplx> z = {{1.0, 0.0}};
    const Objective o = make_objective(c, f, z, WeightScheme::Unit);

    for (const double p : {0.0, 1e6, -3.0}) {
        SCOPED_TRACE(p);
        const double h = 6.0554544523933395e-06 * std::max(std::fabs(p), 1e-8);
        const auto J = o.jacobian(std::vector<double>{p});
        ASSERT_TRUE(J.ok());
        ASSERT_EQ(J->rows, 2u);
        ASSERT_EQ(J->cols, 1u);
        // The model is the series sum 0 + R0, minus the measured 1 Ω.
        const double plus = (0.0 + (p + h)) - 1.0, minus = (0.0 + (p - h)) - 1.0;
        EXPECT_EQ(J->at(0, 0), (plus - minus) / (2.0 * h));
        EXPECT_EQ(J->at(1, 0), 0.0);
    }
    // At p = 0 the floor step η·1e-8 is so small that rounding of (±h − 1)
    // shows in the quotient; a divisor taken from the stored difference, or a
    // larger step, would have given a quotient much closer to 1.
    const double at_zero = o.jacobian(std::vector<double>{0.0})->at(0, 0);
    EXPECT_NE(at_zero, 1.0);
    EXPECT_NEAR(at_zero, 1.0, 1e-2);

    // A NaN parameter takes the floor step too; its column is NaN (from the
    // NaN residuals) and nothing fails.
    const auto Jn = o.jacobian(std::vector<double>{kNaN});
    ASSERT_TRUE(Jn.ok());
    EXPECT_TRUE(std::isnan(Jn->at(0, 0)));
}

// dZ/dp for Z = R0 + R1/(1 + jωR1C1), and for a series R–C.
TEST(Jacobian, MatchesAnalyticDerivativesOfRcCircuits) {
    const std::vector<double> f = log_frequencies(25, -2, 6);
    const std::vector<Cplx> z = synthetic_measurement(f);

    struct Case {
        const char* circuit;
        std::vector<double> p;
        std::vector<cd> (*derivative)(const std::vector<double>&, double w);
    };
    const Case cases[] = {
        {"R0-(R1,C1)",
         {12.0, 85.0, 2.2e-5},
         [](const std::vector<double>& p, double w) {
             const cd d = 1.0 + cd(0.0, w * p[1] * p[2]);
             return std::vector<cd>{1.0, 1.0 / (d * d), cd(0.0, -w * p[1] * p[1]) / (d * d)};
         }},
        {"R0-C1",
         {3.5, 4.7e-4},
         [](const std::vector<double>& p, double w) {
             // Z = R0 − j/(ωC1)
             return std::vector<cd>{1.0, cd(0.0, 1.0 / (w * p[1] * p[1]))};
         }},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.circuit);
        const Circuit c = parse_ok(k.circuit);
        const Objective o = make_objective(c, f, z, WeightScheme::Modulus);
        const auto J = o.jacobian(k.p);
        ASSERT_TRUE(J.ok());
        ASSERT_EQ(J->cols, k.p.size());
        // Analytic columns first, to measure each column's scale: a relative
        // error per entry would be meaningless where an entry nearly vanishes.
        std::vector<std::vector<double>> analytic(k.p.size(), std::vector<double>(J->rows));
        std::vector<double> scale(k.p.size(), 0.0);
        for (std::size_t i = 0; i < f.size(); ++i) {
            const double weight = std::hypot(z[i].re, z[i].im);
            const std::vector<cd> d = k.derivative(k.p, kTwoPi * f[i]);
            for (std::size_t j = 0; j < k.p.size(); ++j) {
                analytic[j][2 * i] = d[j].real() / weight;
                analytic[j][2 * i + 1] = d[j].imag() / weight;
                scale[j] = std::max(
                    {scale[j], std::fabs(d[j].real() / weight), std::fabs(d[j].imag() / weight)});
            }
        }
        for (std::size_t j = 0; j < k.p.size(); ++j) {
            for (std::size_t row = 0; row < J->rows; ++row) {
                EXPECT_NEAR(J->at(row, j), analytic[j][row], 1e-8 * scale[j])
                    << "row=" << row << " j=" << j;
            }
        }
    }
}

// Five columns over more points than the circuit's pool threshold, so the
// residual evaluations themselves would be split if the objective used that
// path; compared bit for bit with a plain loop over the same rule.
TEST(Jacobian, ParallelColumnsEqualASequentialComputationBitForBit) {
    const Circuit c = parse_ok("R0-(R1,C1)-(R2,C2)");
    const std::vector<double> f = log_frequencies(1500, -3, 6);
    const std::vector<Cplx> z = synthetic_measurement(f);
    const Objective o = make_objective(c, f, z, WeightScheme::Modulus);
    const std::vector<double> p = {5.0, 120.0, 1e-6, 0.0, 0.33};

    const auto J = o.jacobian(p);
    ASSERT_TRUE(J.ok());
    ASSERT_EQ(J->cols, 5u);
    for (std::size_t j = 0; j < p.size(); ++j) {
        const double h = 6.0554544523933395e-06 * std::max(std::fabs(p[j]), 1e-8);
        std::vector<double> plus = p, minus = p;
        plus[j] += h;
        minus[j] -= h;
        const std::vector<double> rp = *o.residuals(plus), rm = *o.residuals(minus);
        std::vector<double> column(rp.size());
        for (std::size_t k = 0; k < rp.size(); ++k) column[k] = (rp[k] - rm[k]) / (2.0 * h);
        EXPECT_EQ(std::memcmp(column.data(), J->column(j).data(), column.size() * sizeof(double)),
                  0)
            << "column " << j;
    }

    // A reused context gives the same bits again, also after a call with a
    // different vector has left other values in it.
    EvaluationContext context(o);
    std::vector<double> again(J->values.size());
    ASSERT_TRUE(o.evaluate(context, std::vector<double>{1, 2, 3, 4, 5}, {.jacobian = again}).ok());
    ASSERT_TRUE(o.evaluate(context, p, {.jacobian = again}).ok());
    EXPECT_EQ(std::memcmp(again.data(), J->values.data(), again.size() * sizeof(double)), 0);

    // After a residual evaluation through the context, at that point (same
    // generation) or another, what the evaluation left behind changes no bit
    // either; nor does one generation shared over several points.
    std::vector<double> r(o.residual_count());
    for (const std::vector<double>& seen : {p, std::vector<double>{1, 2, 3, 4, 5}}) {
        ASSERT_TRUE(o.evaluate(context, seen, {.residuals = r}).ok());
        ASSERT_TRUE(o.evaluate(context, p, {.jacobian = again}).ok());
        EXPECT_EQ(std::memcmp(again.data(), J->values.data(), again.size() * sizeof(double)), 0);
        const EvaluationContext::SharedGeneration shared(context);
        ASSERT_TRUE(o.evaluate(context, seen, {.residuals = r}).ok());
        ASSERT_TRUE(o.evaluate(context, p, {.jacobian = again}).ok());
        EXPECT_EQ(std::memcmp(again.data(), J->values.data(), again.size() * sizeof(double)), 0);
    }

    // A context serves the objective it was made for only.
    const Objective other = o.with_fresh_counter();
    const Status refused = other.evaluate(context, p, {.jacobian = again});
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind, ErrorKind::Internal);
}

// The columns of one Jacobian reuse the impedances of elements they do not
// perturb; each column must still equal two fresh residual evaluations.
TEST(Jacobian, ColumnsReusingUnchangedElementsEqualFreshEvaluations) {
    const Circuit c = parse_ok("R0-(R1-W1,CPE1)-(R2-Wo2,Zarc2)-Tlmq3");
    const std::vector<double> f = log_frequencies(600, -3, 6);
    const std::vector<Cplx> z = synthetic_measurement(f);
    const Objective o = make_objective(c, f, z, WeightScheme::Modulus);
    std::vector<double> p = param_values(c);
    for (std::size_t j = 0; j < p.size(); ++j) p[j] *= 1.0 + 0.1 * static_cast<double>(j % 4);
    p[1] = 0.0;  // a zero value gets the floor step

    for (int round = 0; round < 2; ++round) {
        const auto J = o.jacobian(p);
        ASSERT_TRUE(J.ok());
        for (std::size_t j = 0; j < p.size(); ++j) {
            const double h = kJacobianStepFactor * std::max(std::fabs(p[j]), kMinStepScale);
            std::vector<double> plus = p, minus = p;
            plus[j] += h;
            minus[j] -= h;
            const std::vector<double> rp = *o.residuals(plus), rm = *o.residuals(minus);
            std::size_t differing = 0;
            for (std::size_t k = 0; k < rp.size(); ++k) {
                const double expected = (rp[k] - rm[k]) / (2.0 * h);
                differing += std::memcmp(&expected, &J->column(j)[k], sizeof(double)) != 0;
            }
            EXPECT_EQ(differing, 0u) << "round " << round << ", column " << j;
        }
        // A second Jacobian at a new point must not reuse the first one's.
        for (double& v : p) v *= 0.9;
    }
}

TEST(Jacobian, EmptyShortAndSurplusVectors) {
    const Circuit c = parse_ok("R0-(R1,C1)");
    const std::vector<double> f = log_frequencies(4, 0, 3);
    const Objective o = make_objective(c, f, synthetic_measurement(f), WeightScheme::Unit);

    // No parameters given: no columns and nothing evaluated, even though the
    // circuit has parameters.
    const auto empty = o.jacobian(std::vector<double>{});
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(empty->cols, 0u);
    EXPECT_TRUE(empty->values.empty());

    const auto short_p = o.jacobian(std::vector<double>{1.0, 2.0});
    ASSERT_FALSE(short_p.ok());
    EXPECT_EQ(short_p.error().message, not_enough_values(3, 2).message);

    // A surplus entry does not reach the model: its column is exactly zero.
    const auto surplus = o.jacobian(std::vector<double>{10.0, 100.0, 1e-4, 7.0});
    ASSERT_TRUE(surplus.ok());
    ASSERT_EQ(surplus->cols, 4u);
    for (const double v : surplus->column(3)) EXPECT_EQ(v, 0.0);
}

TEST(EvaluationCounter, CountsEveryResidualEvaluationAcrossCopiesAndThreads) {
    const Circuit c = parse_ok("R0-(R1,C1)-(R2,C2)");
    const std::vector<double> f = log_frequencies(50, -1, 5);
    const std::vector<double> p = {5.0, 120.0, 1e-6, 40.0, 1e-3};
    auto counter = make_counter();
    const Objective o =
        make_objective(c, f, synthetic_measurement(f), WeightScheme::Modulus, counter);
    EXPECT_EQ(o.evaluations(), 0u);

    ASSERT_TRUE(o.residuals(p).ok());
    EXPECT_EQ(counter->load(), 1u);
    ASSERT_TRUE(o.jacobian(p).ok());  // five columns on the pool
    EXPECT_EQ(counter->load(), 11u);
    ASSERT_TRUE(o.cost(p).ok());
    EXPECT_EQ(counter->load(), 12u);

    // A copy shares the count; a fresh-counter copy starts its own.
    const Objective copy = o;
    ASSERT_TRUE(copy.residuals(p).ok());
    EXPECT_EQ(o.evaluations(), 13u);
    const Objective polish = o.with_fresh_counter();
    ASSERT_TRUE(polish.jacobian(p).ok());
    EXPECT_EQ(polish.evaluations(), 10u);
    EXPECT_EQ(o.evaluations(), 13u);
    o.add_evaluations(polish.evaluations());
    EXPECT_EQ(counter->load(), 23u);
    // The fresh copy still evaluates the same objective.
    EXPECT_EQ(*polish.cost(p), *o.cost(p));
}

}  // namespace
}  // namespace korvane
