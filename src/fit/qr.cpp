// Householder QR with column pivoting and the Givens-rotation regularised solve.
//
// References: G. H. Golub, C. F. Van Loan, "Matrix Computations", 4th ed.
// (2013), §5.4.2; J. J. Moré, "The Levenberg–Marquardt algorithm:
// implementation and theory", Lecture Notes in Mathematics 630 (1978) 105–116;
// MINPACK-1 routines qrfac, qrsolv (ANL-80-74, 1980).
//
// Summation orders follow the MINPACK routines so that runs reproduce its
// published iteration counts.

#include "fit/qr.hpp"

#include <algorithm>
#include <cmath>

#include "fit/euclidean_norm.hpp"

namespace korvane {
namespace {

constexpr double kEpsilon = 2.220446049250313e-16;  // 2⁻⁵², spacing of doubles at 1

// Position of the remaining column with the largest partial norm; a strictly
// larger norm wins so ties keep the lowest index, and a NaN never wins.
std::size_t pivot_column(std::span<const double> partial_norms, std::size_t first) {
    std::size_t best = first;
    for (std::size_t k = first + 1; k < partial_norms.size(); ++k) {
        const double candidate = partial_norms[k];
        if (candidate > partial_norms[best] ||
            (std::isnan(partial_norms[best]) && !std::isnan(candidate))) {
            best = k;
        }
    }
    return best;
}

}  // namespace

void factorize_pivoted_qr(MatrixView a, std::span<std::size_t> perm, std::span<double> r_diag,
                          std::span<double> column_norms, std::span<double> partial_norms,
                          std::span<double> norm_reference) {
    const std::size_t m = a.rows;
    const std::size_t n = a.cols;
    for (std::size_t j = 0; j < n; ++j) {
        column_norms[j] = euclidean_norm(a.column_tail(j, 0));
        partial_norms[j] = column_norms[j];
        norm_reference[j] = column_norms[j];
        perm[j] = j;
    }

    const std::size_t k = std::min(m, n);
    for (std::size_t j = 0; j < k; ++j) {
        const std::size_t pivot = pivot_column(partial_norms, j);
        if (pivot != j) {
            for (std::size_t i = 0; i < m; ++i) std::swap(a(i, j), a(i, pivot));
            partial_norms[pivot] = partial_norms[j];
            norm_reference[pivot] = norm_reference[j];
            std::swap(perm[j], perm[pivot]);
        }

        // Reflection mapping a(j:m, j) to −σ·‖a(j:m, j)‖·e_j with σ = sign(a_jj),
        // so the pivot never cancels. Stored as u = a(j:m, j)/(σ‖·‖) + e_j.
        double column_norm = euclidean_norm(a.column_tail(j, j));
        if (column_norm != 0.0) {
            if (a(j, j) < 0.0) column_norm = -column_norm;
            for (std::size_t i = j; i < m; ++i) a(i, j) /= column_norm;
            a(j, j) += 1.0;

            for (std::size_t c = j + 1; c < n; ++c) {
                // a(:, c) ← a(:, c) − u·(uᵀa(:, c))/u_j
                double dot = 0.0;
                for (std::size_t i = j; i < m; ++i) dot += a(i, j) * a(i, c);
                const double scale = dot / a(j, j);
                for (std::size_t i = j; i < m; ++i) a(i, c) -= scale * a(i, j);

                if (partial_norms[c] == 0.0) continue;
                // Removing row j from the remaining norm: ν' = ν·sqrt(1 − (a_jc/ν)²).
                // The downdate loses relative accuracy as ν' → 0; once
                // 0.05·(ν'/ν_ref)² ≤ ε the norm is recomputed from the column.
                const double ratio = a(j, c) / partial_norms[c];
                partial_norms[c] *= std::sqrt(std::max(0.0, 1.0 - ratio * ratio));
                const double relative = partial_norms[c] / norm_reference[c];
                if (0.05 * (relative * relative) <= kEpsilon) {
                    partial_norms[c] = euclidean_norm(a.column_tail(c, j + 1));
                    norm_reference[c] = partial_norms[c];
                }
            }
        }
        r_diag[j] = -column_norm;
    }
    // With m < n, rows k..n−1 of R are zero: the zero-diagonal rules of the
    // subproblem then treat those directions as unconstrained by J.
    for (std::size_t j = k; j < n; ++j) r_diag[j] = 0.0;
}

void apply_qt_and_install_r(MatrixView a, std::span<const double> r_diag, std::span<double> rhs,
                            std::span<double> qtf) {
    const std::size_t m = a.rows;
    const std::size_t n = a.cols;
    for (std::size_t j = 0; j < n; ++j) {
        if (j < m && a(j, j) != 0.0) {
            // rhs ← Q_jᵀ·rhs = rhs − u·(uᵀrhs)/u_j
            double dot = 0.0;
            for (std::size_t i = j; i < m; ++i) dot += a(i, j) * rhs[i];
            const double scale = -dot / a(j, j);
            for (std::size_t i = j; i < m; ++i) rhs[i] += a(i, j) * scale;
        }
        a(j, j) = r_diag[j];
        qtf[j] = j < m ? rhs[j] : 0.0;
    }
}

void solve_regularised(MatrixView r, std::span<const std::size_t> perm, std::span<const double> d,
                       std::span<const double> qtf, std::span<double> z, std::span<double> s_diag,
                       const RegularisedSolveWork& work) {
    const std::size_t n = r.cols;
    std::span<double> rhs = work.rotated_rhs;
    std::span<double> saved_diagonal = work.saved_diagonal;

    // Work on Rᵀ in the lower triangle so R's upper triangle survives for the
    // next λ of the same subproblem.
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t i = j; i < n; ++i) r(i, j) = r(j, i);
        saved_diagonal[j] = r(j, j);
        rhs[j] = qtf[j];
    }

    for (std::size_t j = 0; j < n; ++j) {
        const double d_j = d[perm[j]];
        if (d_j != 0.0) {
            // The row d_j·e_jᵀ (in pivoted order) is rotated into the triangle
            // from position j on; its right-hand side entry starts at 0.
            for (std::size_t k = j; k < n; ++k) s_diag[k] = 0.0;
            s_diag[j] = d_j;
            double row_rhs = 0.0;
            for (std::size_t k = j; k < n; ++k) {
                if (s_diag[k] == 0.0) continue;
                // Givens rotation zeroing s_k against the diagonal r_kk; the
                // branch keeps |cotan| or |tan| ≤ 1 so nothing overflows.
                double cos_r, sin_r;
                if (std::fabs(r(k, k)) < std::fabs(s_diag[k])) {
                    const double cotan = r(k, k) / s_diag[k];
                    sin_r = 0.5 / std::sqrt(0.25 + 0.25 * (cotan * cotan));
                    cos_r = sin_r * cotan;
                } else {
                    const double tan = s_diag[k] / r(k, k);
                    cos_r = 0.5 / std::sqrt(0.25 + 0.25 * (tan * tan));
                    sin_r = cos_r * tan;
                }
                r(k, k) = cos_r * r(k, k) + sin_r * s_diag[k];
                const double rotated = cos_r * rhs[k] + sin_r * row_rhs;
                row_rhs = -sin_r * rhs[k] + cos_r * row_rhs;
                rhs[k] = rotated;
                for (std::size_t i = k + 1; i < n; ++i) {
                    const double lower = cos_r * r(i, k) + sin_r * s_diag[i];
                    s_diag[i] = -sin_r * r(i, k) + cos_r * s_diag[i];
                    r(i, k) = lower;
                }
            }
        }
        s_diag[j] = r(j, j);
        r(j, j) = saved_diagonal[j];
    }

    // Sᵀ sits in the lower triangle: S_ji = r(i, j) for i > j.
    std::size_t rank = n;
    for (std::size_t j = 0; j < n; ++j) {
        if (s_diag[j] == 0.0 && rank == n) rank = j;
        if (rank < n) rhs[j] = 0.0;
    }
    for (std::size_t step = 0; step < rank; ++step) {
        const std::size_t j = rank - 1 - step;
        double sum = 0.0;
        for (std::size_t i = j + 1; i < rank; ++i) sum += r(i, j) * rhs[i];
        rhs[j] = (rhs[j] - sum) / s_diag[j];
    }
    for (std::size_t j = 0; j < n; ++j) z[perm[j]] = rhs[j];
}

}  // namespace korvane
