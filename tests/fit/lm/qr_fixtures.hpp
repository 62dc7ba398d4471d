#pragma once
// A dense matrix and the plain form of the folded QR rotation, shared by the
// tests of the QR factorisation and of the trust-region parameter.

#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

#include "fit/lm/qr.hpp"

namespace korvane::testing {

// The stored reflections applied to `rhs` after the factorisation, one at a
// time in order, then install_r: the plain form the folded rotation must
// reproduce.
inline void apply_qt_and_install_r(MatrixView a, std::span<const double> r_diag,
                                   std::span<double> rhs, std::span<double> qtf) {
    const std::size_t m = a.rows;
    for (std::size_t j = 0; j < std::min(m, a.cols); ++j) {
        if (a(j, j) == 0.0) continue;
        double dot = 0.0;
        for (std::size_t i = j; i < m; ++i) dot += a(i, j) * rhs[i];
        const double scale = -dot / a(j, j);
        for (std::size_t i = j; i < m; ++i) rhs[i] += a(i, j) * scale;
    }
    install_r(a, r_diag, rhs, qtf);
}

// Column-major m×n storage with stride max(m, n).
struct Dense {
    Dense(std::size_t m, std::size_t n)
        : stride(std::max(m, n)), data(stride * n, 0.0), m(m), n(n) {}
    MatrixView view() { return {data.data(), m, n, stride}; }
    std::size_t stride;
    std::vector<double> data;
    std::size_t m, n;
};

}  // namespace korvane::testing
