#include "fit/search/simulated_annealing.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "fit/search/chacha.hpp"
#include "fit/search/search_fixtures.hpp"
#include "fit/search_space.hpp"

namespace korvane {
namespace {

using testing::Problem;

TEST(SimulatedAnnealing, WithoutIterationsReturnsTheStart) {
    const Problem rc("R0-(R1,C1)", testing::rc_spectrum());
    const std::uint64_t before = rc.objective->evaluations();
    const SearchOutcome outcome =
        simulated_annealing(*rc.objective, rc.start(), testing::annealing(0, 2.0, 1)).value();
    EXPECT_EQ(outcome.iterations, 0u);
    EXPECT_EQ(rc.objective->evaluations() - before, 1u);
    const std::span<const Bounds> bounds = rc.objective->bounds();
    EXPECT_EQ(outcome.best, from_search_space(to_search_space(rc.start(), bounds), bounds));
}

TEST(SimulatedAnnealing, NeighboursAndAcceptanceDrawFromSeedAndSeedPlusOne) {
    // Two iterations redrawn by hand, with the seed at 2⁶⁴ − 1 so that the
    // acceptance generator's seed wraps to 0.
    const Problem rc("R0-(R1,C1)", testing::rc_spectrum());
    const std::span<const Bounds> bounds = rc.objective->bounds();
    const std::uint64_t seed = ~std::uint64_t{0};
    ChaChaRng neighbours(pcg32_key(seed));
    ChaChaRng acceptance(pcg32_key(0));
    const double t0 = 0.5;
    std::vector<double> x = to_search_space(rc.start(), bounds);
    double c = search_cost(*rc.objective, x).value();
    std::vector<double> best = x;
    double best_cost = c;
    for (int k = 0; k < 2; ++k) {
        const double t = t0 / (k + 1);
        std::vector<double> trial = x;
        for (double& coordinate : trial) coordinate += neighbours.symmetric(t);
        const double trial_cost = search_cost(*rc.objective, trial).value();
        const double q = acceptance.probability();
        if (trial_cost < c || 1.0 / (1.0 + std::exp((trial_cost - c) / t)) > q) {
            x = trial;
            c = trial_cost;
        }
        if (c < best_cost) {
            best = x;
            best_cost = c;
        }
    }
    const SearchOutcome outcome =
        simulated_annealing(*rc.objective, rc.start(), testing::annealing(2, t0, seed)).value();
    EXPECT_EQ(outcome.iterations, 2u);
    EXPECT_EQ(outcome.best, from_search_space(best, bounds));
}

TEST(SimulatedAnnealing, SeedReproducesUnseededRunsDiffer) {
    const Problem rc("R0-(R1,C1)", testing::rc_spectrum());
    const std::uint64_t before = rc.objective->evaluations();
    const SearchOutcome a =
        simulated_annealing(*rc.objective, rc.start(), testing::annealing(300, 2.0, 8)).value();
    EXPECT_EQ(rc.objective->evaluations() - before, 301u);
    EXPECT_EQ(a.best,
              simulated_annealing(*rc.objective, rc.start(), testing::annealing(300, 2.0, 8))
                  .value()
                  .best);
    EXPECT_NE(simulated_annealing(*rc.objective, rc.start(), testing::annealing(300, 2.0, {}))
                  .value()
                  .best,
              simulated_annealing(*rc.objective, rc.start(), testing::annealing(300, 2.0, {}))
                  .value()
                  .best);
}

TEST(SimulatedAnnealing, RefusesUnusableTemperaturesBeforeEvaluating) {
    const Problem rc("R0-(R1,C1)", testing::rc_spectrum());
    const std::uint64_t before = rc.objective->evaluations();
    for (const double t : {0.0, -1.0, -std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(simulated_annealing(*rc.objective, rc.start(), testing::annealing(10, t, 1))
                      .error()
                      .message,
                  "solver error: Invalid parameter: \"`SimulatedAnnealing`: Initial "
                  "temperature must be > 0.\"");
    }
    EXPECT_EQ(
        simulated_annealing(*rc.objective, rc.start(),
                            testing::annealing(10, std::numeric_limits<double>::quiet_NaN(), 1))
            .error()
            .message,
        "solver error: simulated annealing needs a finite initial temperature, got NaN");
    EXPECT_EQ(
        simulated_annealing(*rc.objective, rc.start(),
                            testing::annealing(10, std::numeric_limits<double>::infinity(), 1))
            .error()
            .message,
        "solver error: simulated annealing needs a finite initial temperature, got inf");
    // Finite, but the draw's width 2·T is not.
    EXPECT_FALSE(simulated_annealing(*rc.objective, rc.start(), testing::annealing(10, 1e308, 1)));
    EXPECT_EQ(rc.objective->evaluations(), before);
}

TEST(SimulatedAnnealing, ANaNStartIsNeverLeftAndNeverRecorded) {
    testing::Spectrum nan_data = testing::rc_spectrum();
    nan_data.z[0].im = std::numeric_limits<double>::quiet_NaN();
    const Problem broken("R0-(R1,C1)", nan_data);
    EXPECT_EQ(simulated_annealing(*broken.objective, broken.start(), testing::annealing(20, 2.0, 1))
                  .error()
                  .message,
              "solver error: simulated annealing found no best position");
}

}  // namespace
}  // namespace korvane
