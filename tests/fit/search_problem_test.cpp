// The objective's search-space problem driven by the Levenberg–Marquardt solver.

#include "fit/search_problem.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <variant>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/params.hpp"
#include "fit/objective.hpp"
#include "fit/search_space.hpp"
#include "support/allocation_counter.hpp"

namespace korvane {
namespace {

Circuit circuit_with(const std::string& text, const std::vector<double>& values) {
    const Circuit parsed = std::get<Circuit>(parse_circuit(text));
    return with_values(parsed, values).value();
}

struct Spectrum {
    std::vector<double> f;
    std::vector<Cplx> z;
};

Spectrum measure(const Circuit& truth, std::size_t points) {
    Spectrum s;
    for (std::size_t i = 0; i < points; ++i) {
        s.f.push_back(points == 1 ? 100.0
                                  : std::pow(10.0, -1.0 + 6.0 * double(i) / double(points - 1)));
    }
    s.z = impedance_over_frequencies(truth, s.f).value();
    return s;
}

LmConfig fit_config() {
    LmConfig config;
    config.ftol = config.xtol = config.gtol = 1e-8;
    config.eval_budget = 200;
    return config;
}

// R0-(R1,C1): all parameters open, so the solver moves log10(p − lo).
const std::vector<double> kTruth = {12.0, 150.0, 2e-5};

TEST(SearchProblem, RecoversCircuitFromPerturbedStart) {
    const Circuit truth = circuit_with("R0-(R1,C1)", kTruth);
    const Spectrum s = measure(truth, 40);
    const Objective objective = Objective::build(truth, s.f, s.z, WeightScheme::Modulus).value();
    const std::vector<double> start = {30.0, 40.0, 1e-6};
    const Result<LmOutcome> outcome = minimise_in_search_space(
        objective, to_search_space(start, objective.bounds()), {}, fit_config());
    ASSERT_TRUE(outcome.ok());
    EXPECT_TRUE(outcome->report.stop.succeeded()) << outcome->report.stop.describe();
    EXPECT_LT(outcome->report.cost, 1e-20);
    const std::vector<double> p = from_search_space(outcome->x, objective.bounds());
    for (std::size_t j = 0; j < p.size(); ++j) EXPECT_NEAR(p[j], kTruth[j], 1e-7 * kTruth[j]) << j;

    // Every residual evaluation is counted once; each Jacobian adds 2n more.
    const std::uint64_t jacobian_evals = objective.evaluations() - outcome->report.nfev;
    EXPECT_GT(jacobian_evals, 0u);
    EXPECT_EQ(jacobian_evals % (2 * p.size()), 0u);
}

TEST(SearchProblem, FrozenParameterStaysPut) {
    const Circuit truth = circuit_with("R0-(R1,C1)", kTruth);
    const Spectrum s = measure(truth, 30);
    const Objective objective = Objective::build(truth, s.f, s.z, WeightScheme::Unit).value();
    const std::vector<double> x0 =
        to_search_space(std::vector<double>{20.0, 100.0, 1e-5}, objective.bounds());
    const Result<LmOutcome> outcome =
        minimise_in_search_space(objective, x0, {true, false, false}, fit_config());
    ASSERT_TRUE(outcome.ok());
    EXPECT_EQ(outcome->x[0], x0[0]);
    EXPECT_NE(outcome->x[1], x0[1]);
    // The free parameters absorb what they can: the cost falls well below the start's.
    EXPECT_LT(outcome->report.cost, 0.1 * search_cost(objective, x0).value());
}

// The Jacobian reaches the solver's storage column for column, with or
// without padding rows (m < n pads to max(m, n)).
TEST(SearchProblem, JacobianLayoutMatchesObjective) {
    const Circuit truth = circuit_with("R0-(R1,C1)", kTruth);
    for (std::size_t points : {1u, 5u}) {
        const Spectrum s = measure(truth, points);
        const Objective objective =
            Objective::build(truth, s.f, s.z, WeightScheme::Modulus).value();
        const std::vector<double> x =
            to_search_space(std::vector<double>{10.0, 90.0, 3e-5}, objective.bounds());
        const std::vector<bool> frozen = {false, true, false};
        const Jacobian expected = search_jacobian(objective, x, frozen).value();

        SearchProblem problem(objective, x, frozen);
        const std::size_t m = objective.residual_count(), n = x.size(), stride = std::max(m, n);
        std::vector<double> storage(stride * n, -1.0);
        const std::optional<JacobianShape> shape = problem.jacobian({storage.data(), m, n, stride});
        ASSERT_TRUE(shape.has_value());
        EXPECT_EQ(shape->rows, m);
        EXPECT_EQ(shape->cols, n);
        for (std::size_t j = 0; j < n; ++j)
            for (std::size_t i = 0; i < m; ++i)
                EXPECT_EQ(storage[i + j * stride], expected.at(i, j))
                    << points << ' ' << i << ' ' << j;

        // One frequency, three unknowns: the run completes without failing.
        const Result<LmOutcome> outcome = minimise_in_search_space(objective, x, {}, fit_config());
        ASSERT_TRUE(outcome.ok());
        EXPECT_NE(outcome->report.stop.kind, LmStop::ShapeMismatch);
        EXPECT_NE(outcome->report.stop.kind, LmStop::NonFiniteValue);
    }
}

TEST(SearchProblem, VectorLengthFaults) {
    const Circuit truth = circuit_with("R0-(R1,C1)", kTruth);
    const Spectrum s = measure(truth, 10);
    const Objective objective = Objective::build(truth, s.f, s.z, WeightScheme::Modulus).value();

    // Too short for the circuit: the objective's error reaches the caller.
    const Result<LmOutcome> short_run =
        minimise_in_search_space(objective, std::vector<double>{1.0, 2.0}, {}, fit_config());
    ASSERT_FALSE(short_run.ok());
    EXPECT_EQ(short_run.error().message, not_enough_values(3, 2).message);

    // An unknown without a parameter has no Jacobian column.
    const Result<LmOutcome> long_run = minimise_in_search_space(
        objective, std::vector<double>{1.0, 2.0, -5.0, 0.0}, {}, fit_config());
    ASSERT_TRUE(long_run.ok());
    EXPECT_EQ(long_run->report.stop.describe(), "ShapeMismatch(jacobian)");
}

// A Randles circuit (R0-(R1-W1,CPE1), the CPE exponent closed) through one
// evaluation context: once residuals and a Jacobian have run, neither
// allocates again, whichever workers run the columns; and a whole solver run
// allocates the same for 5 evaluations as for its full budget (the solver's
// workspace and its result, nothing per step).
TEST(SearchProblem, CircuitEvaluationsDoNotAllocateAfterTheFirst) {
    const Circuit truth = circuit_with("R0-(R1-W1,CPE1)", {12.0, 85.0, 40.0, 2.5e-5, 0.82});
    const Spectrum s = measure(truth, 60);
    const Objective objective = Objective::build(truth, s.f, s.z, WeightScheme::Modulus).value();
    const std::vector<double> x0 =
        to_search_space(std::vector<double>{20.0, 40.0, 15.0, 1e-4, 0.7}, objective.bounds());
    EvaluationContext context(objective);
    SearchProblem problem(objective, context, x0);
    const std::size_t m = problem.residual_count();
    const std::size_t n = x0.size();
    std::vector<double> r(m), storage(m * n);
    const MatrixView jacobian{storage.data(), m, n, m};
    ASSERT_TRUE(problem.residuals(r));
    ASSERT_TRUE(problem.jacobian(jacobian));
    {
        std::vector<double> x = x0;
        korvane::testing::AllocationCounter counter;
        for (int step = 0; step < 20; ++step) {
            for (double& v : x) v *= 1.0 + 1e-3 * (step % 3 - 1);
            problem.move_to(x);
            ASSERT_TRUE(problem.residuals(r));
            if (step % 2 == 0) {
                ASSERT_TRUE(problem.jacobian(jacobian));
            }
        }
        EXPECT_EQ(counter.count(), 0);
    }

    auto count_allocations = [&](std::uint32_t budget, std::uint64_t& nfev) {
        LmConfig config = fit_config();
        config.eval_budget = budget;
        korvane::testing::AllocationCounter counter;
        const Result<LmOutcome> outcome =
            minimise_in_search_space(objective, context, x0, {}, config);
        nfev = outcome->report.nfev;
        return counter.count();
    };
    std::uint64_t short_nfev = 0, long_nfev = 0;
    const std::int64_t short_run = count_allocations(0, short_nfev);
    const std::int64_t long_run = count_allocations(200, long_nfev);
    EXPECT_LT(short_nfev, long_nfev);
    EXPECT_EQ(short_run, long_run);
}

}  // namespace
}  // namespace korvane
