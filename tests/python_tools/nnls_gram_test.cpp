#include "python_tools/nnls_gram.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace korvane::tools {
namespace {

// H = AᵀA + μI for a random A (rows × m), g = Aᵀb: a least-squares problem
// whose unconstrained solution has negative parts, so that the bounds bite.
struct Problem {
    std::size_t m;
    std::vector<double> h, g;
};

Problem random_problem(std::size_t m, std::size_t rows, double mu, std::mt19937& rng) {
    std::normal_distribution<double> normal;
    std::vector<double> a(rows * m), b(rows);
    for (double& v : a) v = normal(rng);
    for (double& v : b) v = normal(rng);
    Problem p{m, std::vector<double>(m * m), std::vector<double>(m)};
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < m; ++j) {
            double s = i == j ? mu : 0.0;
            for (std::size_t r = 0; r < rows; ++r) s += a[r * m + i] * a[r * m + j];
            p.h[i * m + j] = s;
        }
        for (std::size_t r = 0; r < rows; ++r) p.g[i] += a[r * m + i] * b[r];
    }
    return p;
}

struct Solved {
    NnlsGramOutcome outcome;
    std::vector<std::uint8_t> free;
    std::vector<double> x, factor;
    std::vector<std::int64_t> order;
};

Solved solve(const Problem& p, std::vector<std::uint8_t> start) {
    Solved s{{},
             std::move(start),
             std::vector<double>(p.m, -1.0),
             std::vector<double>(p.m * p.m),
             std::vector<std::int64_t>(p.m)};
    s.outcome = nnls_gram(p.h, p.g, s.free, s.x, s.factor, s.order);
    return s;
}

// The optimality conditions, and L·Lᵀ = H on the free set in the reported order.
void expect_solution(const Problem& p, const Solved& s) {
    const std::size_t m = p.m, k = s.outcome.free_count;
    ASSERT_TRUE(s.outcome.converged);
    double scale = 0.0;
    for (std::size_t i = 0; i < m; ++i) scale = std::max(scale, std::fabs(p.h[i * m + i]));
    std::size_t counted = 0;
    for (std::size_t i = 0; i < m; ++i) {
        double gradient = -p.g[i];
        for (std::size_t j = 0; j < m; ++j) gradient += p.h[i * m + j] * s.x[j];
        if (s.free[i]) {
            ++counted;
            EXPECT_GT(s.x[i], 0.0);
            EXPECT_NEAR(gradient, 0.0, 1e-9 * scale);
        } else {
            EXPECT_EQ(s.x[i], 0.0);
            EXPECT_GE(gradient, -1e-9 * scale);
        }
    }
    ASSERT_EQ(counted, k);
    for (std::size_t i = 0; i < k; ++i) {
        EXPECT_TRUE(s.free[static_cast<std::size_t>(s.order[i])]);
        for (std::size_t j = 0; j <= i; ++j) {
            double product = 0.0;
            for (std::size_t q = 0; q <= j; ++q)
                product += s.factor[i * k + q] * s.factor[j * k + q];
            const auto oi = static_cast<std::size_t>(s.order[i]);
            const auto oj = static_cast<std::size_t>(s.order[j]);
            EXPECT_NEAR(product, p.h[oi * m + oj], 1e-10 * scale);
        }
    }
}

TEST(NnlsGram, SolvesFromAnyWarmStart) {
    // Cold starts, random warm starts (many changes: refactoring) and the
    // solution's own free set with a few variables flipped (the row and
    // rank-one updates of the factor) all reach the same optimum.
    std::mt19937 rng(7);
    for (const std::size_t m : {1u, 6u, 40u, 120u}) {
        for (const std::size_t rows : {m / 2 + 1, 2 * m}) {
            const Problem p = random_problem(m, rows, 1e-3, rng);
            const Solved cold = solve(p, std::vector<std::uint8_t>(m, 1));
            expect_solution(p, cold);
            std::bernoulli_distribution coin(0.5);
            std::uniform_int_distribution<std::size_t> pick(0, m - 1);
            std::vector<std::uint8_t> random(m), flipped = cold.free;
            for (auto& f : random) f = coin(rng);
            for (int n = 0; n < 3; ++n) flipped[pick(rng)] ^= 1;
            for (const auto& start : {random, flipped, std::vector<std::uint8_t>(m, 0)}) {
                const Solved warm = solve(p, start);
                expect_solution(p, warm);
                EXPECT_EQ(warm.free, cold.free);
                for (std::size_t i = 0; i < m; ++i) {
                    EXPECT_NEAR(warm.x[i], cold.x[i], 1e-9 * (1.0 + std::fabs(cold.x[i])));
                }
            }
        }
    }
}

TEST(NnlsGram, HoldsAColumnTheOthersSpan) {
    // Columns 0 and 1 of A are equal, so H is singular: the solver must
    // still finish, with one of the pair held at zero and the other taking
    // the pair's share. Unconstrained, x₂ would be −0.4; held at zero,
    // x₀ + x₁ = 1 with gradient 0.3 on x₂.
    Problem p{3, std::vector<double>(9), std::vector<double>(3)};
    const double h[3][3] = {{1.0, 1.0, 0.5}, {1.0, 1.0, 0.5}, {0.5, 0.5, 1.0}};
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = 0; j < 3; ++j) p.h[i * 3 + j] = h[i][j];
    }
    p.g = {1.0, 1.0, 0.2};
    const Solved s = solve(p, std::vector<std::uint8_t>(3, 1));
    EXPECT_TRUE(s.outcome.converged);
    EXPECT_EQ(s.outcome.free_count, 1u);
    EXPECT_NEAR(s.x[0] + s.x[1], 1.0, 1e-12);
    EXPECT_EQ(s.x[0] * s.x[1], 0.0);
    EXPECT_EQ(s.x[2], 0.0);
}

}  // namespace
}  // namespace korvane::tools
