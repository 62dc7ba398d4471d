#include "fit/lm/qr.hpp"

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

TEST(PivotedQr, FactorsReproduceTheMatrix) {
    // Columns with norms 1, 5, 5, 0 and a rank deficiency: column 3 = column 1 + column 2.
    const double columns[4][3] = {{1, 0, 0}, {0, 3, 4}, {0, 4, 3}, {0, 0, 0}};
    for (std::size_t m : {3u, 2u}) {  // also m < n: R padded with zero rows
        const std::size_t n = 4;
        Dense a(m, n);
        for (std::size_t j = 0; j < n; ++j)
            for (std::size_t i = 0; i < m; ++i) a.view()(i, j) = columns[j][i];
        Dense original = a;
        std::vector<std::size_t> perm(n);
        std::vector<double> r_diag(n), norms(n), partial(n), reference(n), tail(n), qtf(n);
        factorize_pivoted_qr(a.view(), perm, r_diag, norms, partial, reference, tail);
        if (m == 3) {
            EXPECT_EQ(norms, (std::vector<double>{1, 5, 5, 0}));
            EXPECT_EQ(perm[0], 1u);  // tie between 1 and 2 keeps the lower index
        }
        EXPECT_EQ(r_diag[3], 0.0);
        // Qᵀ·A_{perm(c)} must equal column c of R for every unit-vector probe.
        for (std::size_t c = 0; c < n; ++c) {
            Dense work = a;
            std::vector<double> rhs(m);
            for (std::size_t i = 0; i < m; ++i) rhs[i] = original.view()(i, perm[c]);
            apply_qt_and_install_r(work.view(), r_diag, rhs, qtf);
            for (std::size_t i = 0; i < n; ++i) {
                const double r_ic = i <= c ? work.view()(i, c) : 0.0;
                EXPECT_NEAR(qtf[i], r_ic, 1e-14) << "m=" << m << " row " << i << " col " << c;
            }
        }
        // A right-hand side rotated during the factorisation equals the one
        // rotated afterwards, bit for bit, and so does the factorisation.
        const std::vector<double> probe = {0.3, -1.7, 2.9};
        std::vector<double> after(probe.begin(), probe.begin() + m), during = after, qtf_after(n);
        Dense work = a;
        apply_qt_and_install_r(work.view(), r_diag, after, qtf_after);
        Dense folded = original;
        std::vector<std::size_t> perm2(n);
        std::vector<double> r_diag2(n), norms2(n);
        factorize_pivoted_qr(folded.view(), perm2, r_diag2, norms2, partial, reference, tail,
                             during);
        install_r(folded.view(), r_diag2, during, qtf);
        EXPECT_EQ(during, after);
        EXPECT_EQ(qtf, qtf_after);
        EXPECT_EQ(folded.data, work.data);
    }
}

// (JᵀJ + λD²)·z = Jᵀr for a random-ish 5×3 J, checking the λ search's output.

}  // namespace
}  // namespace korvane
