// Householder QR with column pivoting and the Givens-rotation regularised solve.
//
// References: G. H. Golub, C. F. Van Loan, "Matrix Computations", 4th ed.
// (2013), §5.4.2; J. J. Moré, "The Levenberg–Marquardt algorithm:
// implementation and theory", Lecture Notes in Mathematics 630 (1978) 105–116;
// MINPACK-1 routines qrfac, qrsolv (ANL-80-74, 1980).
//
// Summation orders follow the MINPACK routines so that runs reproduce its
// published iteration counts.

#include "fit/lm/qr.hpp"

#include <algorithm>
#include <cmath>

#include "fit/lm/euclidean_norm.hpp"
#include "fit/lm/lanes.hpp"
#include "runtime/numeric.hpp"
#include "runtime/wide_loop.hpp"

namespace korvane {
namespace {

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

// t ← t − u·(uᵀt)/u_j over rows j..m−1 for each target column t, with u the
// Householder vector stored in column j. The products uᵀt of up to
// kColumnsPerPass targets are summed side by side in the interleaved order of
// fit/lanes.hpp.
void update(const double* u, std::size_t j, std::size_t m, double* __restrict t, double dot) {
    const double scale = dot / u[j];
    for (std::size_t i = j; i < m; ++i) t[i] -= scale * u[i];
}

template <std::size_t C>  // 1 to kColumnsPerPass
KORVANE_WIDE_LOOP void reflect(const double* u, std::size_t j, std::size_t m,
                               double* const* targets) {
    Quad dot[C];
    for (std::size_t c = 0; c < C; ++c) dot[c] = Quad{} + 0.0;
    const std::size_t n = m - j;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        Quad u_rows, t_rows;
        load_quad(u_rows, u + j + i);
        for (std::size_t c = 0; c < C; ++c) {
            load_quad(t_rows, targets[c] + j + i);
            dot[c] += u_rows * t_rows;
        }
    }
    if (i < n) {
        // The last rows, lane (i − j) mod 4 each; zeros elsewhere add nothing.
        Quad u_rows = Quad{} + 0.0;
        for (std::size_t k = 0; i + k < n; ++k) u_rows[k] = u[j + i + k];
        for (std::size_t c = 0; c < C; ++c) {
            Quad t_rows = Quad{} + 0.0;
            for (std::size_t k = 0; i + k < n; ++k) t_rows[k] = targets[c][j + i + k];
            dot[c] += u_rows * t_rows;
        }
    }
    for (std::size_t c = 0; c < C; ++c) update(u, j, m, targets[c], combine_quad(dot[c]));
}

void reflect(const double* u, std::size_t j, std::size_t m, double* const* targets,
             std::size_t count) {
    switch (count) {
        case 1:
            return reflect<1>(u, j, m, targets);
        case 2:
            return reflect<2>(u, j, m, targets);
        case 3:
            return reflect<3>(u, j, m, targets);
        default:
            return reflect<4>(u, j, m, targets);
    }
}

}  // namespace

KORVANE_WIDE_LOOP
void factorize_pivoted_qr(MatrixView a, std::span<std::size_t> perm, std::span<double> r_diag,
                          std::span<double> column_norms, std::span<double> partial_norms,
                          std::span<double> norm_reference, std::span<double> tail_norms,
                          std::span<double> rhs) {
    const std::size_t m = a.rows;
    const std::size_t n = a.cols;
    euclidean_norms(a.data, m, a.stride, n, column_norms.data());
    for (std::size_t j = 0; j < n; ++j) {
        partial_norms[j] = column_norms[j];
        norm_reference[j] = column_norms[j];
        tail_norms[j] = column_norms[j];
        perm[j] = j;
    }

    double* targets[kColumnsPerPass];
    const std::size_t k = std::min(m, n);
    for (std::size_t j = 0; j < k; ++j) {
        const std::size_t pivot = pivot_column(partial_norms, j);
        if (pivot != j) {
            for (std::size_t i = 0; i < m; ++i) std::swap(a(i, j), a(i, pivot));
            partial_norms[pivot] = partial_norms[j];
            norm_reference[pivot] = norm_reference[j];
            std::swap(tail_norms[j], tail_norms[pivot]);
            std::swap(perm[j], perm[pivot]);
        }

        // Reflection mapping a(j:m, j) to −σ·‖a(j:m, j)‖·e_j with σ = sign(a_jj),
        // so the pivot never cancels. Stored as u = a(j:m, j)/(σ‖·‖) + e_j.
        // tail_norms[j] is ‖a(j:m, j)‖, formed when step j−1 finished.
        double column_norm = tail_norms[j];
        if (column_norm != 0.0) {
            if (a(j, j) < 0.0) column_norm = -column_norm;
            for (std::size_t i = j; i < m; ++i) a(i, j) /= column_norm;
            a(j, j) += 1.0;

            // The remaining columns, then the right-hand side, a few at a time.
            const std::size_t count = (n - j - 1) + (rhs.empty() ? 0 : 1);
            for (std::size_t first = 0; first < count; first += kColumnsPerPass) {
                const std::size_t here = std::min(kColumnsPerPass, count - first);
                for (std::size_t l = 0; l < here; ++l) {
                    const std::size_t c = j + 1 + first + l;
                    targets[l] = c < n ? &a(0, c) : rhs.data();
                }
                reflect(&a(0, j), j, m, targets, here);
            }

            // ‖a(j+1:m, c)‖ for every remaining column: the next pivot's
            // norm, and the value of any partial norm recomputed below.
            if (j + 1 < n) {
                euclidean_norms(&a(j + 1, j + 1), m - j - 1, a.stride, n - j - 1,
                                tail_norms.data() + j + 1);
            }
            for (std::size_t c = j + 1; c < n; ++c) {
                if (partial_norms[c] == 0.0) continue;
                // Removing row j from the remaining norm: ν' = ν·sqrt(1 − (a_jc/ν)²).
                // The downdate loses relative accuracy as ν' → 0; once
                // 0.05·(ν'/ν_ref)² ≤ ε the norm is taken from the column.
                const double ratio = a(j, c) / partial_norms[c];
                partial_norms[c] *= std::sqrt(std::max(0.0, 1.0 - ratio * ratio));
                const double relative = partial_norms[c] / norm_reference[c];
                if (0.05 * (relative * relative) <= kEpsilon) {
                    partial_norms[c] = tail_norms[c];
                    norm_reference[c] = partial_norms[c];
                }
            }
        } else if (j + 1 < n) {
            // Nothing was reflected: the remaining tails only lose row j.
            euclidean_norms(&a(j + 1, j + 1), m - j - 1, a.stride, n - j - 1,
                            tail_norms.data() + j + 1);
        }
        r_diag[j] = -column_norm;
    }
    // With m < n, rows k..n−1 of R are zero: the zero-diagonal rules of the
    // subproblem then treat those directions as unconstrained by J.
    for (std::size_t j = k; j < n; ++j) r_diag[j] = 0.0;
}

void install_r(MatrixView a, std::span<const double> r_diag, std::span<const double> qt_rhs,
               std::span<double> qtf) {
    const std::size_t m = a.rows;
    for (std::size_t j = 0; j < a.cols; ++j) {
        a(j, j) = r_diag[j];
        qtf[j] = j < m ? qt_rhs[j] : 0.0;
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
