#include "fit/search/basin_hopping.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "fit/least_squares_fit.hpp"
#include "fit/search/search_fixtures.hpp"

namespace korvane {
namespace {

using testing::Problem;

TEST(BasinHopping, WithoutHopsIsTheLocalFitFromTheStart) {
    const Problem two_arcs(testing::kTwoArcs, testing::two_arc_spectrum());
    const FitOutcome local =
        fit_least_squares(*two_arcs.objective, two_arcs.circuit, fixed_lm_config()).value();
    const std::uint64_t before = two_arcs.objective->evaluations();
    const FitOutcome hopped =
        basin_hopping(*two_arcs.objective, two_arcs.start(), testing::hopping(0, 1.0, 1.0, 1))
            .value()
            .fitted.value();
    EXPECT_EQ(hopped.params, local.params);
    EXPECT_EQ(hopped.cost, local.cost);
    EXPECT_EQ(hopped.iterations, local.iterations);
    EXPECT_TRUE(hopped.success);
    // The local fit's evaluations, then the final statistics (1 + 2·P).
    EXPECT_EQ(hopped.impedance_evals - before, local.impedance_evals + 1 + 2 * 5);
}

TEST(BasinHopping, SeedReproducesAndHopsLeaveTheLocalMinimum) {
    const Problem two_arcs(testing::kTwoArcs, testing::two_arc_spectrum());
    const FitOutcome local =
        fit_least_squares(*two_arcs.objective, two_arcs.circuit, fixed_lm_config()).value();
    const FitOutcome a =
        basin_hopping(*two_arcs.objective, two_arcs.start(), testing::hopping(6, 1.0, 1.0, 4))
            .value()
            .fitted.value();
    const FitOutcome b =
        basin_hopping(*two_arcs.objective, two_arcs.start(), testing::hopping(6, 1.0, 1.0, 4))
            .value()
            .fitted.value();
    EXPECT_EQ(a.params, b.params);
    EXPECT_EQ(a.iterations, b.iterations);
    EXPECT_LE(a.cost, local.cost);
    EXPECT_GT(a.iterations, local.iterations);
}

TEST(BasinHopping, UnusableStepSizesFailAtTheFirstHopOnly) {
    const Problem rc("R0-(R1,C1)", testing::rc_spectrum());
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(
        basin_hopping(*rc.objective, rc.start(), testing::hopping(3, -1.0, 1.0, 1)).error().message,
        "solver error: basin hopping cannot draw its hops: basin_hopping_step_size must be "
        ">= 0 with twice it finite, got -1");
    EXPECT_EQ(
        basin_hopping(*rc.objective, rc.start(), testing::hopping(3, nan, 1.0, 1)).error().message,
        "solver error: basin hopping cannot draw its hops: basin_hopping_step_size must be "
        ">= 0 with twice it finite, got NaN");
    EXPECT_FALSE(basin_hopping(*rc.objective, rc.start(), testing::hopping(3, 1e308, 1.0, 1)));
    EXPECT_TRUE(basin_hopping(*rc.objective, rc.start(), testing::hopping(0, -1.0, 1.0, 1)));
    EXPECT_TRUE(basin_hopping(*rc.objective, rc.start(), testing::hopping(2, 0.0, 1.0, 1)));
}

}  // namespace
}  // namespace korvane
