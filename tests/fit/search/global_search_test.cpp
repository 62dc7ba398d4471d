#include "fit/search/global_search.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "fit/driver.hpp"
#include "fit/search/search_fixtures.hpp"
#include "fit/search_space.hpp"

namespace korvane {
namespace {

using testing::Problem;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(BestRecord, RankedOfferKeepsAFirstNaNOnlyUntilANumberComes) {
    BestRecord record;
    record.offer_ranked(std::vector{1.0}, kNaN);
    ASSERT_FALSE(record.empty());
    record.offer_ranked(std::vector{2.0}, kNaN);  // NaN after NaN: kept
    EXPECT_EQ(record.position()[0], 1.0);
    record.offer_ranked(std::vector{3.0}, kInf);
    record.offer_ranked(std::vector{4.0}, kInf);  // equal: kept
    EXPECT_EQ(record.position()[0], 3.0);
    record.offer_ranked(std::vector{5.0}, 2.0);
    record.offer_ranked(std::vector{6.0}, kNaN);
    EXPECT_EQ(record.position()[0], 5.0);
    EXPECT_EQ(record.cost(), 2.0);
}

TEST(BestRecord, StrictlyLowerOrTheSameInfinityReplacesNaNNever) {
    BestRecord record;
    record.offer(std::vector{1.0}, kNaN);
    EXPECT_TRUE(record.empty());
    record.offer(std::vector{2.0}, kInf);  // a first +∞ is kept
    ASSERT_FALSE(record.empty());
    EXPECT_EQ(record.position()[0], 2.0);
    record.offer(std::vector{3.0}, kInf);  // both +∞: replaced
    EXPECT_EQ(record.position()[0], 3.0);
    record.offer(std::vector{4.0}, 5.0);
    record.offer(std::vector{5.0}, 5.0);  // equal: kept
    record.offer(std::vector{6.0}, kNaN);
    EXPECT_EQ(record.position()[0], 4.0);
    record.offer(std::vector{7.0}, -kInf);
    record.offer(std::vector{8.0}, -kInf);
    EXPECT_EQ(record.position()[0], 8.0);
    EXPECT_EQ(record.cost(), -kInf);
}

TEST(SearchCost, SameBitsAndCountAsTheAllocatingForm) {
    const Problem rc("R0-(R1,C1)", testing::rc_spectrum());
    SearchCost cost(*rc.objective);
    for (const std::vector<double>& x :
         {std::vector{10.0, 2.0, -5.0}, std::vector{9.5, 2.1, -4.9}, std::vector{0.0, 0.0, 0.0}}) {
        const std::uint64_t before = rc.objective->evaluations();
        const double reused = cost(x).value();
        EXPECT_EQ(rc.objective->evaluations(), before + 1);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(reused),
                  std::bit_cast<std::uint64_t>(search_cost(*rc.objective, x).value()));
    }
    // A vector shorter than the circuit's parameters fails as the objective does.
    EXPECT_EQ(cost(std::vector{1.0}).error().message, not_enough_values(3, 1).message);
}

// Started from the placeholder values, the least-squares fit settles in the
// wrong valley of a two-arc spectrum; every derivative-free method finds the
// right one (a fit started at the true values defines the optimum).
TEST(GlobalMethods, EachReachesTheOptimumWhereLeastSquaresFromTheSameStartDoesNot) {
    const testing::Spectrum s = testing::two_arc_spectrum();
    const Circuit placeholders = testing::parse(testing::kTwoArcs);
    const Circuit truth = with_values(placeholders, testing::two_arc_truth()).value();
    auto fit = [&](const Circuit& start, const std::string& method) {
        FitSettings settings;
        settings.method = method;
        settings.seed = 2;
        return run_fit(start, s.f, s.z, WeightScheme::Modulus, settings).value();
    };
    const double optimum = fit(truth, "levenberg_marquardt").chi_square;
    ASSERT_GT(optimum, 0.0);
    const double least_squares = fit(placeholders, "levenberg_marquardt").chi_square;
    ASSERT_GT(least_squares, 1000.0 * optimum) << "the premise: least squares ends poorly";

    for (const char* method : {"particle_swarm", "nelder_mead", "differential_evolution",
                               "simulated_annealing", "basin_hopping"}) {
        const FitOutcome outcome = fit(placeholders, method);
        EXPECT_TRUE(outcome.success) << method;
        EXPECT_LT(outcome.chi_square, 1.5 * optimum) << method;
        // The two arcs may come out in either order.
        EXPECT_NEAR(std::max(outcome.params[1], outcome.params[3]), 421.3, 5.0) << method;
    }
}

}  // namespace
}  // namespace korvane
