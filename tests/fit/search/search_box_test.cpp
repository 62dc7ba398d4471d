#include "fit/search/search_box.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "fit/search/search_fixtures.hpp"

namespace korvane {
namespace {

using testing::Problem;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(SearchBox, ClosedBoundsAsTheyAreOpenOnesEightDecadesAroundTheStart) {
    const std::vector<Bounds> bounds = {{0.0, 1.0},  {0.0, kInf},   {0.0, kInf},
                                        {0.0, kNaN}, {1e-12, kInf}, {5.0, kInf}};
    const std::vector<double> p0 = {0.3, 100.0, 0.0, kNaN, 1e-3, 1.0};
    const std::vector<SearchInterval> box = search_box(p0, bounds);
    ASSERT_EQ(box.size(), 6u);
    EXPECT_EQ(box[0].lo, 0.0);
    EXPECT_EQ(box[0].hi, 1.0);
    EXPECT_DOUBLE_EQ(box[1].lo, -2.0);
    EXPECT_DOUBLE_EQ(box[1].hi, 6.0);
    // |p0| = 0 and NaN both take the magnitude 1e-6, and a NaN upper bound is open.
    EXPECT_DOUBLE_EQ(box[2].lo, -10.0);
    EXPECT_DOUBLE_EQ(box[2].hi, -2.0);
    EXPECT_DOUBLE_EQ(box[3].lo, -10.0);
    EXPECT_DOUBLE_EQ(box[3].hi, -2.0);
    EXPECT_EQ(box[4].lo, std::log10(1e-7 - 1e-12));
    EXPECT_EQ(box[4].hi, std::log10(10.0 - 1e-12));
    // A lower bound above 1e-4·m: the low end is the floor 1e-300 above it.
    EXPECT_DOUBLE_EQ(box[5].lo, -300.0);
    EXPECT_DOUBLE_EQ(box[5].hi, std::log10(1e4 - 5.0));
}

TEST(SearchBox, RefusesIntervalsWithoutFiniteEndsOrWidth) {
    const Problem rc("R0-(R1,C1)", testing::rc_spectrum());
    const std::vector<SearchInterval> fine = {{0.0, 1.0}, {-2.0, 6.0}, {-10.0, -2.0}};
    EXPECT_TRUE(check_search_box(fine, *rc.objective, "particle swarm", 2.0).ok());

    const std::vector<SearchInterval> infinite = {{0.0, 1.0}, {-kInf, 6.0}, {-10.0, -2.0}};
    EXPECT_EQ(check_search_box(infinite, *rc.objective, "particle swarm", 2.0).error().message,
              "solver error: particle swarm cannot search \"R1.r\": its search interval "
              "[-inf, 6] is not finite");
    const std::vector<SearchInterval> not_a_number = {{kNaN, 1.0}};
    EXPECT_EQ(check_search_box(not_a_number, *rc.objective, "m", 1.0).error().message,
              "solver error: m cannot search \"R0.r\": its search interval [NaN, 1] is not "
              "finite");
    // Finite ends whose doubled distance overflows.
    const std::vector<SearchInterval> wide = {{0.0, 1.0}, {0.0, 1.0}, {-1e308, 1e308}};
    EXPECT_TRUE(check_search_box({wide.data(), 2}, *rc.objective, "m", 2.0).ok());
    EXPECT_EQ(check_search_box(wide, *rc.objective, "particle swarm", 2.0).error().message,
              "solver error: particle swarm cannot search \"C1.c\": its search interval "
              "[-1e308, 1e308] is too wide");
    // Single precision: ends beyond the float range, or a width that overflows it.
    const std::vector<SearchInterval> beyond_float = {{0.0, 1e39}};
    EXPECT_TRUE(check_search_box(beyond_float, *rc.objective, "m", 1.0).ok());
    EXPECT_EQ(check_search_box(beyond_float, *rc.objective, "differential evolution", 1.0,
                               BoxPrecision::Single)
                  .error()
                  .message,
              "solver error: differential evolution cannot search \"R0.r\": its search "
              "interval [0, 1e39] is not finite");
    const std::vector<SearchInterval> float_wide = {{-3e38, 3e38}};
    EXPECT_EQ(
        check_search_box(float_wide, *rc.objective, "m", 1.0, BoxPrecision::Single).error().message,
        "solver error: m cannot search \"R0.r\": its search interval [-3e38, 3e38] is "
        "too wide for single precision");
}

}  // namespace
}  // namespace korvane
