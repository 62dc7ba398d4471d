#include "fit/search/nelder_mead.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "fit/search/search_fixtures.hpp"
#include "fit/search_space.hpp"

namespace korvane {
namespace {

using testing::Problem;

TEST(NelderMead, WithoutIterationsReturnsTheBestVertexOfTheStartingSimplex) {
    // R0.r = 1 and R1.r = 1 sit at search coordinate log10(1 − 1e-12) ≈ 0, so
    // their vertices move by the absolute 0.1; C1.c moves by 0.1·|x|.
    const Problem rc("R0-(R1,C1)", testing::rc_spectrum());
    const std::span<const Bounds> bounds = rc.objective->bounds();
    const std::vector<double> p0 = {1.0 + 1e-12, 1.0 + 1e-12, 1e-6};
    const std::vector<double> x0 = to_search_space(p0, bounds);
    ASSERT_LE(std::fabs(x0[0]), 1e-8);
    std::vector<std::vector<double>> simplex(4, x0);
    simplex[1][0] += 0.1;
    simplex[2][1] += 0.1;
    simplex[3][2] += 0.1 * std::fabs(x0[2]);
    std::size_t best = 0;
    double best_cost = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < simplex.size(); ++i) {
        const double c = search_cost(*rc.objective, simplex[i]).value();
        if (c < best_cost) {
            best = i;
            best_cost = c;
        }
    }
    const std::uint64_t before = rc.objective->evaluations();
    const SearchOutcome outcome =
        nelder_mead(*rc.objective, p0, testing::simplex_budget(0)).value();
    EXPECT_EQ(rc.objective->evaluations() - before, 4u);
    EXPECT_EQ(outcome.iterations, 0u);
    EXPECT_EQ(outcome.best, from_search_space(simplex[best], bounds));
}

TEST(NelderMead, ConvergesDeterministicallyNearAMinimum) {
    const Problem rc("R0-(R1,C1)", testing::rc_spectrum());
    const std::vector<double> start = {8.0, 150.0, 2e-5};
    const SearchOutcome a =
        nelder_mead(*rc.objective, start, testing::simplex_budget(5000)).value();
    const SearchOutcome b =
        nelder_mead(*rc.objective, start, testing::simplex_budget(5000)).value();
    EXPECT_EQ(a.best, b.best);
    EXPECT_EQ(a.iterations, b.iterations);
    EXPECT_LT(a.iterations, 5000u);  // stopped by the spread of the costs
    EXPECT_NEAR(a.best[0], 10.0, 1e-3);
    EXPECT_NEAR(a.best[1], 100.0, 1e-2);
    EXPECT_NEAR(a.best[2], 1e-5, 1e-9);
    const SearchOutcome capped =
        nelder_mead(*rc.objective, start, testing::simplex_budget(7)).value();
    EXPECT_EQ(capped.iterations, 7u);
}

TEST(NelderMead, ANaNReflectionCannotBeClassified) {
    testing::Spectrum nan_data = testing::rc_spectrum();
    nan_data.z[2].re = std::numeric_limits<double>::quiet_NaN();
    const Problem broken("R0-(R1,C1)", nan_data);
    EXPECT_EQ(
        nelder_mead(*broken.objective, broken.start(), testing::simplex_budget(10)).error().message,
        "solver error: `NelderMead`: Reached unreachable point.");
}

}  // namespace
}  // namespace korvane
