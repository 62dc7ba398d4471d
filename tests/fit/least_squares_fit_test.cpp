#include "fit/least_squares_fit.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/params.hpp"
#include "fit/lm/lm.hpp"
#include "fit/objective.hpp"
#include "fit/polish.hpp"
#include "fit/search_space.hpp"

namespace korvane {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Circuit parse(const std::string& text) { return std::get<Circuit>(parse_circuit(text)); }

Circuit with(const Circuit& circuit, const std::vector<double>& values) {
    return with_values(circuit, values).value();
}

std::vector<double> log_frequencies(std::size_t n, double lo_decade, double hi_decade) {
    std::vector<double> f(n);
    for (std::size_t i = 0; i < n; ++i) {
        f[i] = std::pow(10.0, lo_decade + (hi_decade - lo_decade) * double(i) / double(n - 1));
    }
    return f;
}

// A spectrum measured from `truth` exactly (no noise).
struct Spectrum {
    std::vector<double> f;
    std::vector<Cplx> z;
};
Spectrum synthesize(const Circuit& truth, std::size_t n = 40) {
    Spectrum s{log_frequencies(n, -2.0, 5.0), {}};
    s.z = impedance_over_frequencies(truth, s.f).value();
    return s;
}

Objective objective_for(const Circuit& circuit, const Spectrum& s,
                        WeightScheme scheme = WeightScheme::Modulus) {
    return Objective::build(circuit, s.f, s.z, scheme).value();
}

// ftol = xtol = gtol = 1e-8, budget 200: the settings of the polish.
LmConfig default_config() { return fixed_lm_config(); }

TEST(CandidateOrder, TotalOrderPutsSignedNaNsAndZerosInPlace) {
    const double neg_nan = -kNaN;
    ASSERT_TRUE(std::signbit(neg_nan));
    // Tag each candidate with its construction index to observe stability.
    const std::vector<double> costs = {kNaN, 1.0, -0.0, neg_nan, 0.0, -kInf, 1.0, kInf, -0.0};
    std::vector<Candidate> candidates;
    for (std::size_t i = 0; i < costs.size(); ++i) {
        candidates.push_back({{double(i)}, costs[i]});
    }
    sort_by_cost(candidates);
    std::vector<double> order;
    for (const Candidate& c : candidates) order.push_back(c.params[0]);
    EXPECT_EQ(order, (std::vector<double>{3, 5, 2, 8, 4, 1, 6, 7, 0}));
    EXPECT_TRUE(total_order_less(-0.0, 0.0));
    EXPECT_FALSE(total_order_less(0.0, -0.0));
    EXPECT_FALSE(total_order_less(kNaN, kNaN));
}

TEST(CandidateStartingPoints, BuildsNineCostedCandidatesSortedByCost) {
    const Circuit circuit = parse("R0-(R1,CPE1)");
    const Spectrum s = synthesize(with(circuit, {10.0, 100.0, 1e-5, 0.9}));
    const Objective objective = objective_for(circuit, s);
    const std::vector<double> p0 = {12.0, 80.0, 2e-5, 0.7};

    const auto candidates = candidate_starting_points(p0, objective.bounds(), objective).value();
    EXPECT_EQ(objective.evaluations(), 9u);

    const std::vector<std::vector<double>> expected = {
        {12.0, 80.0, 2e-5, 0.7},
        {12.0 * 3.0, 80.0 * 3.0, 2e-5 * 3.0, 0.7},
        {12.0 * 0.3333333333333333, 80.0 * 0.3333333333333333, 2e-5 * 0.3333333333333333, 0.7},
        {12.0 * 8.0, 80.0 * 8.0, 2e-5 * 8.0, 0.7},
        {12.0 * 0.125, 80.0 * 0.125, 2e-5 * 0.125, 0.7},
        {12.0, 80.0, 2e-5, 0.2},
        {12.0, 80.0, 2e-5, 0.4},
        {12.0, 80.0, 2e-5, 0.6},
        {12.0, 80.0, 2e-5, 0.8},
    };
    ASSERT_EQ(candidates.size(), 9u);
    std::vector<bool> seen(expected.size(), false);
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (i > 0) {
            EXPECT_LE(candidates[i - 1].cost, candidates[i].cost);
        }
        EXPECT_EQ(candidates[i].cost, objective.cost(candidates[i].params).value());
        for (std::size_t e = 0; e < expected.size(); ++e) {
            if (!seen[e] && candidates[i].params == expected[e]) {
                seen[e] = true;
                break;
            }
        }
    }
    for (std::size_t e = 0; e < expected.size(); ++e) EXPECT_TRUE(seen[e]) << "candidate " << e;
}

TEST(CandidateStartingPoints, EqualCostsKeepConstructionOrder) {
    // A NaN start gives every candidate the same NaN cost, so the sorted list
    // is the construction order itself.
    const Circuit circuit = parse("R0-(R1,CPE1)");
    const Spectrum s = synthesize(with(circuit, {10.0, 100.0, 1e-5, 0.9}));
    const Objective objective = objective_for(circuit, s);
    const std::vector<double> p0 = {kNaN, 80.0, 2e-5, 0.5};
    const auto candidates = candidate_starting_points(p0, objective.bounds(), objective).value();
    const std::vector<double> r1 = {80.0, 240.0, 80.0 * 0.3333333333333333, 640.0, 10.0, 80.0, 80.0,
                                    80.0, 80.0};
    const std::vector<double> alpha = {0.5, 0.5, 0.5, 0.5, 0.5, 0.2, 0.4, 0.6, 0.8};
    ASSERT_EQ(candidates.size(), 9u);
    for (std::size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(candidates[i].params[1], r1[i]) << i;
        EXPECT_EQ(candidates[i].params[3], alpha[i]) << i;
    }
}

TEST(CandidateStartingPoints, ScalingLeavesClosedParametersAlone) {
    // With every bound finite, candidates 2–5 are p0 itself (still costed).
    const Circuit circuit = parse("R0-(R1,C1)");
    const Spectrum s = synthesize(with(circuit, {10.0, 100.0, 1e-5}));
    const Objective objective = objective_for(circuit, s);
    const std::vector<double> p0 = {12.0, 80.0, 2e-5};
    const std::vector<Bounds> closed = {{0.0, 50.0}, {10.0, 110.0}, {0.0, 1e-4}};
    const auto candidates = candidate_starting_points(p0, closed, objective).value();
    EXPECT_EQ(objective.evaluations(), 9u);
    ASSERT_EQ(candidates.size(), 9u);
    EXPECT_EQ(std::count_if(candidates.begin(), candidates.end(),
                            [&](const Candidate& c) { return c.params == p0; }),
              5);
    const std::vector<double> at_04 = {20.0, 50.0, 4e-5};
    EXPECT_EQ(std::count_if(candidates.begin(), candidates.end(),
                            [&](const Candidate& c) { return c.params == at_04; }),
              1);
}

TEST(Plausibility, ClosedParametersNearEitherBound) {
    const std::vector<Bounds> bounds = {{0.0, 1.0}};
    const std::vector<double> p0 = {0.5};
    EXPECT_TRUE(parameters_plausible(p0, std::vector{0.5}, bounds));
    EXPECT_FALSE(parameters_plausible(p0, std::vector{1.0}, bounds));
    EXPECT_FALSE(parameters_plausible(p0, std::vector{1e-6}, bounds));
    EXPECT_FALSE(parameters_plausible(p0, std::vector{1.0 - 1e-7}, bounds));
    EXPECT_TRUE(parameters_plausible(p0, std::vector{2e-6}, bounds));
    // Distance, not side: far outside the box is "plausible" here; the bound
    // repair deals with it.
    EXPECT_TRUE(parameters_plausible(p0, std::vector{1.1}, bounds));
    EXPECT_FALSE(parameters_plausible(p0, std::vector{1.0 + 1e-7}, bounds));
}

TEST(Plausibility, OpenParametersRatioAndLowerBound) {
    const std::vector<Bounds> bounds = {{1e-12, kInf}};
    const std::vector<double> p0 = {2.0};
    auto plausible = [&](double p) { return parameters_plausible(p0, std::vector{p}, bounds); };
    EXPECT_TRUE(plausible(2.0));
    EXPECT_TRUE(plausible(1.9e6));
    EXPECT_FALSE(plausible(2e6));  // ratio exactly 1e6
    EXPECT_TRUE(plausible(2e-6));  // ratio exactly 1e-6
    EXPECT_FALSE(plausible(1.9e-6));
    EXPECT_FALSE(plausible(kInf));
    EXPECT_FALSE(plausible(kNaN));
    EXPECT_FALSE(plausible(-2.0));
    // p ≤ 100·lo even when the ratio is fine.
    EXPECT_FALSE(parameters_plausible(std::vector{1e-10}, std::vector{1e-10}, bounds));
    // A zero start uses the floor 1e-300, so any ordinary value is a huge ratio.
    EXPECT_FALSE(parameters_plausible(std::vector{0.0}, std::vector{1.0}, bounds));
    // Only the common prefix of the three lists is examined.
    EXPECT_TRUE(parameters_plausible(std::vector{2.0}, std::vector{2.0, kNaN}, bounds));
    EXPECT_TRUE(parameters_plausible({}, {}, {}));
}

TEST(BestRun, LowerCostOutranksSuccessAndNonFiniteCostsLose) {
    auto run = [](bool success, double cost) { return LeastSquaresRun{{}, success, 1, cost}; };
    std::optional<LeastSquaresRun> best;
    EXPECT_TRUE(replaces_best(best, run(false, kNaN)));
    best = run(false, 5.0);
    EXPECT_FALSE(replaces_best(best, run(true, 9.0)));  // converged, but dearer
    EXPECT_FALSE(replaces_best(best, run(true, kInf)));
    EXPECT_TRUE(replaces_best(best, run(false, 4.0)));
    EXPECT_TRUE(replaces_best(best, run(true, 5.0)));  // equal costs: success decides
    EXPECT_FALSE(replaces_best(best, run(false, 5.0)));
    EXPECT_FALSE(replaces_best(best, run(false, kNaN)));
    best = run(true, 5.0);
    EXPECT_TRUE(replaces_best(best, run(false, 1.0)));    // cheaper, though stopped by its budget
    EXPECT_FALSE(replaces_best(best, run(true, -kInf)));  // lower, but not finite
    best = run(true, kNaN);
    EXPECT_TRUE(replaces_best(best, run(false, 1.0)));  // a finite cost beats NaN
    best = run(false, kNaN);
    EXPECT_TRUE(replaces_best(best, run(true, kInf)));  // between non-finite costs, success
}

TEST(BoundRepair, AtBoundMarksFiniteBoundsOnlyAndNaN) {
    const std::vector<Bounds> bounds = {{1e-12, kInf}, {0.0, 1.0}, {0.0, 1.0},
                                        {0.0, 1.0},    {0.0, 1.0}, {0.0, 1.0}};
    const std::vector<double> p = {-5.0, 0.5, 1.0, 0.0, kNaN, 1.5};
    EXPECT_EQ(parameters_at_bound(p, bounds),
              (std::vector<bool>{false, false, true, true, true, true}));
    EXPECT_EQ(clamp_to_bounds(std::vector{-5.0, 1.5, -0.5}, bounds),
              (std::vector<double>{1e-12, 1.0, 0.0}));
}

TEST(LeastSquaresFit, PlausibleFirstRunStopsAndCountsEveryEvaluation) {
    const Circuit circuit = parse("R0-(R1,C1)");
    const Spectrum s = synthesize(with(circuit, {10.0, 100.0, 1e-5}));
    const Objective objective = objective_for(circuit, s);
    const std::vector<double> p0 = {8.0, 150.0, 2e-5};
    const Circuit start = with(circuit, p0);

    const FitOutcome outcome = fit_least_squares(objective, start, default_config()).value();
    EXPECT_TRUE(outcome.success);
    EXPECT_NEAR(outcome.params[0], 10.0, 1e-6);
    EXPECT_NEAR(outcome.params[1], 100.0, 1e-5);
    EXPECT_NEAR(outcome.params[2], 1e-5, 1e-12);
    EXPECT_EQ(outcome.chi_square, 2.0 * outcome.cost);
    ASSERT_TRUE(outcome.standard_errors.has_value());
    EXPECT_EQ(outcome.standard_errors->size(), 3u);
    EXPECT_EQ(param_values(outcome.circuit), outcome.params);
    EXPECT_TRUE(outcome.circuit.values_explicit);

    // Replay by hand: the lowest-cost candidate, one solver run on a separate
    // counter. The fit must report that run's nfev as its iterations and
    // 9 (candidates) + the run + 1 (its cost) + 1 + 2P (statistics) evaluations.
    const Objective probe = objective.with_fresh_counter();
    const auto candidates = candidate_starting_points(p0, probe.bounds(), probe).value();
    const Objective replay = objective.with_fresh_counter();
    const LeastSquaresRun run = least_squares_run(replay, candidates[0].params,
                                                  std::vector<bool>(3, false), default_config())
                                    .value();
    ASSERT_TRUE(run.success);
    EXPECT_EQ(outcome.iterations, run.evaluations);
    // replay's counter holds the run and its cost.
    EXPECT_EQ(outcome.impedance_evals, 9 + replay.evaluations() + 1 + 2 * 3);
}

TEST(LeastSquaresFit, ExactStartCountsOneRun) {
    // Residuals exactly 0 at p0: the run stops at once (nfev 1).
    const Circuit circuit = parse("R0");
    const Spectrum s{{1.0, 10.0, 100.0}, {{1.0, 0.0}, {1.0, 0.0}, {1.0, 0.0}}};
    const Objective objective = objective_for(circuit, s, WeightScheme::Unit);
    const FitOutcome outcome = fit_least_squares(objective, circuit, default_config()).value();
    EXPECT_TRUE(outcome.success);
    EXPECT_EQ(outcome.params, std::vector<double>{1.0});
    EXPECT_EQ(outcome.iterations, 1u);
    EXPECT_EQ(outcome.impedance_evals, 9u + 1u + 1u + 3u);
    EXPECT_EQ(outcome.cost, 0.0);
}

TEST(LeastSquaresFit, RunOutsideTheBoxIsRefittedWithTheParameterFrozenOnTheBound) {
    // Data from a CPE with alpha = 1.1: the unconstrained optimum lies outside
    // alpha's box, so a run ends there; it is brought back with alpha frozen
    // at 1 and the rest refitted before it is ranked, and a run on the bound
    // is implausible, so the other candidates are tried too.
    const Circuit circuit = parse("R0-(R1,CPE1)");
    const Spectrum s = synthesize(with(circuit, {10.0, 100.0, 1e-5, 1.1}));
    const Objective objective = objective_for(circuit, s);
    const std::vector<double> p0 = {12.0, 90.0, 2e-5, 0.8};

    const LeastSquaresSolution solution =
        solve_least_squares(objective, p0, default_config()).value();
    EXPECT_EQ(solution.candidate_runs, 9u);
    EXPECT_GE(solution.runs_into_box, 1u);
    EXPECT_TRUE(solution.success);
    EXPECT_EQ(solution.params[3], 1.0);

    const FitOutcome outcome =
        fit_least_squares(objective, with(circuit, p0), default_config()).value();
    const auto bounds = objective.bounds();
    for (std::size_t j = 0; j < outcome.params.size(); ++j) {
        EXPECT_GE(outcome.params[j], bounds[j].lo) << j;
        EXPECT_LE(outcome.params[j], bounds[j].hi) << j;
    }
    EXPECT_EQ(outcome.params[3], 1.0);
    // The refit improved on the merely clamped vector.
    EXPECT_LT(outcome.cost,
              objective.cost(clamp_to_bounds(std::vector<double>{10.0, 100.0, 1e-5, 1.1}, bounds))
                  .value());
}

TEST(LeastSquaresFit, ImplausibleRunsMoveOnToTheNextCandidate) {
    // A plain resistor measured through R0-(R1,C1): every good fit sends R1
    // or C1 to a degenerate value, so no run is plausible and all nine run.
    const Circuit circuit = parse("R0-(R1,C1)");
    const Spectrum s{log_frequencies(30, -1.0, 4.0), std::vector<Cplx>(30, Cplx{50.0, 0.0})};
    const Objective objective = objective_for(circuit, s);
    const LeastSquaresSolution solution =
        solve_least_squares(objective, std::vector{40.0, 100.0, 1e-5}, default_config()).value();
    EXPECT_EQ(solution.candidate_runs, 9u);
}

TEST(LeastSquaresFit, StandardErrorsNeedMoreResidualsThanParameters) {
    const Circuit circuit = parse("R0-(R1,CPE1)");
    const Circuit truth = with(circuit, {10.0, 100.0, 1e-5, 0.9});
    for (const std::size_t n : {1u, 2u, 3u}) {
        Spectrum s{{10.0, 100.0, 1000.0}, {}};
        s.f.resize(n);
        s.z = impedance_over_frequencies(truth, s.f).value();
        const Objective objective = objective_for(circuit, s);
        const FitOutcome outcome =
            fit_least_squares(objective, with(circuit, {12.0, 90.0, 2e-5, 0.8}), default_config())
                .value();
        EXPECT_EQ(outcome.standard_errors.has_value(), 2 * n > 4) << n;
        EXPECT_EQ(outcome.chi_square, 2.0 * outcome.cost);
    }
}

TEST(Polish, TakesTheLocalFitWhenItIsNoWorseAndFoldsItsCount) {
    const Circuit circuit = parse("R0-(R1,C1)");
    const Spectrum s = synthesize(with(circuit, {10.0, 100.0, 1e-5}));
    const std::vector<double> rough = {9.0, 120.0, 1.5e-5};

    const Objective objective = objective_for(circuit, s);
    const FitOutcome polished = polish(objective, circuit, rough, 77).value();

    // The local fit on its own, as the polish runs it.
    const Objective alone = objective.with_fresh_counter();
    const FitOutcome local =
        fit_least_squares(alone, with(circuit, rough), fixed_lm_config()).value();
    EXPECT_EQ(polished.params, local.params);
    EXPECT_EQ(polished.iterations, local.iterations);
    EXPECT_EQ(polished.success, local.success);
    // G's statistics (1 + 2P) on the main counter, plus the local fit's count.
    EXPECT_EQ(polished.impedance_evals, 1 + 2 * 3 + local.impedance_evals);
    EXPECT_EQ(objective.evaluations(), polished.impedance_evals);
}

TEST(Polish, KeepsTheSearchResultWhenItsCostIsNaN) {
    const Circuit circuit = parse("R0-(R1,C1)");
    const Spectrum s = synthesize(with(circuit, {10.0, 100.0, 1e-5}));
    const Objective objective = objective_for(circuit, s);
    const FitOutcome kept = polish(objective, circuit, std::vector{kNaN, 100.0, 1e-5}, 42).value();
    EXPECT_TRUE(kept.success);
    EXPECT_EQ(kept.iterations, 42u);
    EXPECT_TRUE(std::isnan(kept.cost));
    EXPECT_EQ(kept.impedance_evals, objective.evaluations());
    EXPECT_GT(kept.impedance_evals, 1u + 2u * 3u);
}

}  // namespace
}  // namespace korvane
