#include "fit/search_space.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "circuit/circuit.hpp"
#include "support/parse_ok.hpp"

namespace korvane {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using korvane::testing::parse_ok;

TEST(SearchSpace, OpenParametersGoToLog10AboveTheLowerBound) {
    const std::vector<Bounds> bounds = {{0.0, kInf}, {1e-12, kInf}, {2.0, kNaN}, {1e-12, kInf}};
    EXPECT_TRUE(is_open(bounds[0]));
    EXPECT_TRUE(is_open(bounds[2]));  // a NaN upper bound counts as open
    EXPECT_FALSE(is_open({0.0, 1.0}));

    const std::vector<double> p = {1e3, 1e-12, 2.5, 0.0};
    const std::vector<double> x = to_search_space(p, bounds);
    ASSERT_EQ(x.size(), 4u);
    EXPECT_DOUBLE_EQ(x[0], 3.0);
    EXPECT_EQ(x[1], -300.0);  // at the lower bound: offset floored at 1e-300
    EXPECT_DOUBLE_EQ(x[2], std::log10(0.5));
    EXPECT_EQ(x[3], -300.0);  // below the lower bound: floored too, not clamped
    EXPECT_TRUE(std::isnan(to_search_space(std::vector<double>{kNaN}, bounds)[0]));

    const std::vector<double> back = from_search_space(x, bounds);
    EXPECT_NEAR(back[0], 1e3, 1e-12);
    EXPECT_EQ(back[1], 1e-12 + std::pow(10.0, -300.0));  // lo + 1e-300, which rounds to lo
    EXPECT_EQ(back[1], 1e-12);
    EXPECT_DOUBLE_EQ(back[2], 2.5);

    // With a zero lower bound the 1e-300 survives the way back.
    EXPECT_DOUBLE_EQ(from_search_space(std::vector<double>{-300.0}, bounds)[0], 1e-300);
}

TEST(SearchSpace, ClosedParametersAreNeverTransformed) {
    const std::vector<Bounds> bounds = {{0.0, 1.0}, {0.0, 1.0}, {0.0, 1.0}, {-5.0, 5.0}};
    const std::vector<double> p = {0.3, 1.7, -3.0, kNaN};  // inside, above, below, NaN
    const std::vector<double> x = to_search_space(p, bounds);
    const std::vector<double> back = from_search_space(p, bounds);
    for (std::size_t j = 0; j < 3; ++j) {
        EXPECT_EQ(x[j], p[j]);
        EXPECT_EQ(back[j], p[j]);
    }
    EXPECT_TRUE(std::isnan(x[3]));
}

TEST(SearchSpace, OutputHasTheShorterLength) {
    const std::vector<Bounds> two = {{0.0, kInf}, {0.0, 1.0}};
    EXPECT_EQ(to_search_space(std::vector<double>{1, 2, 3}, two).size(), 2u);
    EXPECT_EQ(from_search_space(std::vector<double>{1}, two).size(), 1u);
    EXPECT_TRUE(to_search_space(std::vector<double>{}, two).empty());
}

struct RandlesFixture : ::testing::Test {
    // R0, R1, CPE1.q open; CPE1.alpha closed in (0, 1).
    Circuit circuit = parse_ok("R0-(R1,CPE1)");
    std::vector<double> f;
    std::vector<Cplx> z;
    std::shared_ptr<EvalCounter> counter = make_counter();
    std::optional<Objective> objective;

    void SetUp() override {
        for (int i = 0; i < 30; ++i) f.push_back(std::pow(10.0, -1.0 + 0.2 * i));
        for (const double fi : f) {
            const double w = kTwoPi * fi;
            z.push_back(
                {20.0 + 100.0 / (1.0 + w * w * 1e-6), -100.0 * w * 1e-3 / (1.0 + w * w * 1e-6)});
        }
        objective = *Objective::build(circuit, f, z, WeightScheme::Modulus, counter);
    }
};

TEST_F(RandlesFixture, SearchCostIsTheCostAtTheMappedVector) {
    const std::vector<double> x = {1.2, 2.1, -4.0, 0.85};
    const auto cost = search_cost(*objective, x);
    ASSERT_TRUE(cost.ok());
    EXPECT_EQ(counter->load(), 1u);
    EXPECT_EQ(*cost, *objective->cost(from_search_space(x, objective->bounds())));
    // Too short a vector reaches the circuit's check.
    EXPECT_FALSE(search_cost(*objective, std::vector<double>{1.0, 2.0}).ok());
}

TEST_F(RandlesFixture, SearchJacobianScalesOpenColumnsAndZeroesFrozenOnes) {
    const std::vector<double> x = {1.2, 2.1, -4.0, 0.85};
    const std::vector<double> p = from_search_space(x, objective->bounds());
    const Jacobian Jp = *objective->jacobian(p);
    counter->store(0);

    const auto Jx = search_jacobian(*objective, x, {});
    ASSERT_TRUE(Jx.ok());
    EXPECT_EQ(counter->load(), 8u);  // 2P
    ASSERT_EQ(Jx->cols, 4u);
    for (std::size_t k = 0; k < Jp.rows; ++k) {
        for (std::size_t j = 0; j < 3; ++j) {
            EXPECT_EQ(Jx->at(k, j), Jp.at(k, j) * ((p[j] - 1e-12) * 2.302585092994046));
        }
        EXPECT_EQ(Jx->at(k, 3), Jp.at(k, 3));  // closed: factor 1
    }

    // Chain rule check against a difference quotient taken in x itself.
    SearchWorkspace ws;
    EvaluationContext context(*objective);
    std::vector<double> rp(objective->residual_count()), rm(objective->residual_count());
    for (std::size_t j = 0; j < 4; ++j) {
        std::vector<double> xp = x, xm = x;
        xp[j] += 1e-6;
        xm[j] -= 1e-6;
        ASSERT_TRUE(search_residuals_into(*objective, context, xp, rp, ws).ok());
        ASSERT_TRUE(search_residuals_into(*objective, context, xm, rm, ws).ok());
        for (std::size_t k = 0; k < rp.size(); ++k) {
            const double quotient = (rp[k] - rm[k]) / 2e-6;
            EXPECT_NEAR(Jx->at(k, j), quotient, 1e-5 * (std::fabs(quotient) + 1e-3))
                << k << "," << j;
        }
    }

    // Frozen columns are zeros, open or closed; a short mask freezes nothing beyond it.
    const auto Jf = search_jacobian(*objective, x, {false, true, false, true});
    ASSERT_TRUE(Jf.ok());
    for (std::size_t k = 0; k < Jp.rows; ++k) {
        EXPECT_EQ(Jf->at(k, 0), Jx->at(k, 0));
        EXPECT_EQ(Jf->at(k, 1), 0.0);
        EXPECT_EQ(Jf->at(k, 2), Jx->at(k, 2));
        EXPECT_EQ(Jf->at(k, 3), 0.0);
    }
    const auto Jshort = search_jacobian(*objective, x, {true});
    ASSERT_TRUE(Jshort.ok());
    for (std::size_t k = 0; k < Jp.rows; ++k) {
        EXPECT_EQ(Jshort->at(k, 0), 0.0);
        EXPECT_EQ(Jshort->at(k, 3), Jx->at(k, 3));
    }
}

// A measured 0 Ω point has weight 1e-30, so a huge R0 overflows its residuals
// and the raw column is NaN (inf − inf). Frozen, the column must still read 0,
// which multiplying by a zero factor would not give.
TEST_F(RandlesFixture, FrozenColumnIsZeroEvenWhenItsDerivativeIsNotFinite) {
    z[0] = {0.0, 0.0};
    const Objective with_zero = *Objective::build(circuit, f, z, WeightScheme::Modulus);
    const std::vector<double> x = {280.0, 2.1, -4.0, 0.85};
    const auto open = search_jacobian(with_zero, x, {});
    ASSERT_TRUE(open.ok());
    ASSERT_TRUE(std::isnan(open->at(0, 0)));

    const auto frozen = search_jacobian(with_zero, x, {true});
    ASSERT_TRUE(frozen.ok());
    for (const double v : frozen->column(0)) EXPECT_EQ(v, 0.0);
}

}  // namespace
}  // namespace korvane
