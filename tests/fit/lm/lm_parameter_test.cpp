#include "fit/lm/lm_parameter.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "fit/lm/qr_fixtures.hpp"

namespace korvane {
namespace {

using testing::apply_qt_and_install_r;
using testing::Dense;

TEST(TrustRegionSubproblem, StepSolvesRegularisedNormalEquationsOnTheBoundary) {
    const std::size_t m = 5, n = 3;
    Dense jac(m, n);
    std::vector<double> r = {1.0, -2.0, 0.5, 3.0, -1.5};
    const double values[5][3] = {
        {2, -1, 0.5}, {0.3, 4, -2}, {1, 1, 1}, {-0.7, 0.2, 3}, {0.1, -0.4, 0.9}};
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < n; ++j) jac.view()(i, j) = values[i][j];
    const std::vector<double> d = {2.0, 0.5, 1.5};

    std::vector<std::size_t> perm(n);
    std::vector<double> r_diag(n), norms(n), partial(n), reference(n), tail(n), qtf(n), rhs = r;
    factorize_pivoted_qr(jac.view(), perm, r_diag, norms, partial, reference, tail);
    apply_qt_and_install_r(jac.view(), r_diag, rhs, qtf);

    std::vector<double> z(n), v(n), sz(n), sd(n), rot(n), saved(n);
    const LmParameterWork work{v, sz, sd, RegularisedSolveWork{rot, saved}};
    for (double radius : {1e-3, 0.1, 1.0, 1e3}) {
        const MatrixView rv{jac.data.data(), n, n, jac.stride};
        const double lambda =
            solve_trust_region_subproblem({rv, perm, d, qtf, radius}, 0.0, z, work);
        double dz = 0.0;
        for (std::size_t j = 0; j < n; ++j) dz += d[j] * z[j] * d[j] * z[j];
        dz = std::sqrt(dz);
        if (lambda == 0.0) {
            EXPECT_LE(dz, 1.1 * radius);
        } else {
            EXPECT_LE(std::fabs(dz - radius), 0.1 * radius) << radius;
        }
        // Residual of the normal equations, with J from the original values.
        for (std::size_t k = 0; k < n; ++k) {
            double lhs = lambda * d[k] * d[k] * z[k], jtr = 0.0;
            for (std::size_t i = 0; i < m; ++i) {
                double jz = 0.0;
                for (std::size_t j = 0; j < n; ++j) jz += values[i][j] * z[j];
                lhs += values[i][k] * jz;
                jtr += values[i][k] * r[i];
            }
            EXPECT_NEAR(lhs, jtr, 1e-10 * (1.0 + std::fabs(jtr))) << "radius " << radius;
        }
    }
}

}  // namespace
}  // namespace korvane
