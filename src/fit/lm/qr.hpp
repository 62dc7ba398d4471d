#pragma once
// Householder QR with column pivoting, Qᵀ applied to a vector, and the
// least-squares solve of [R; diag(d)·Pᵀ]·z ≈ [Qᵀr; 0] by Givens rotations: the
// three dense kernels under the Levenberg–Marquardt solver.
//
// References: G. H. Golub, C. F. Van Loan, "Matrix Computations", 4th ed.
// (2013), §5.4.2 (QR with column pivoting); J. J. Moré, "The Levenberg–
// Marquardt algorithm: implementation and theory", Numerical Analysis,
// Lecture Notes in Mathematics 630 (1978) 105–116, §3 (the regularised solve).

#include <cstddef>
#include <span>

namespace korvane {

// Column-major view into storage owned elsewhere: (i, j) at data[i + j·stride].
struct MatrixView {
    double* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::size_t stride = 0;

    double& operator()(std::size_t i, std::size_t j) const { return data[i + j * stride]; }
    // Entries from row `first` to the last row of column j.
    std::span<double> column_tail(std::size_t j, std::size_t first) const {
        return {data + j * stride + first, rows - first};
    }
};

// Factorises A·P = Q·R in place for the m×n matrix A held in `a` (m = a.rows,
// n = a.cols; the storage must have stride ≥ max(m, n) so that R fits even
// when m < n). With k = min(m, n):
//   column_norms[j]  ‖A column j‖, indexed by original column (length n);
//   perm[j]          original index of the column moved to position j;
//   r_diag[j]        R_jj (0 for j ≥ k);
//   a(i, j), i < j   R_ij for i < k;
//   a(i, j), i ≥ j   the Householder vector of step j (j < k), scaled so that
//                    Q_j = I − u·uᵀ / u_j.
// partial_norms, norm_reference and tail_norms are length-n workspaces.
// A non-empty `rhs` (length m) is overwritten with Qᵀ·rhs as the reflections
// are formed: each reflection reaches it after the columns it acts on, in
// the same row order, so it gets exactly what applying the stored
// reflections afterwards would give.
void factorize_pivoted_qr(MatrixView a, std::span<std::size_t> perm, std::span<double> r_diag,
                          std::span<double> column_norms, std::span<double> partial_norms,
                          std::span<double> norm_reference, std::span<double> tail_norms,
                          std::span<double> rhs = {});

// For a right-hand side rotated during the factorisation: qtf ← the first n
// entries of qt_rhs (0 beyond m), then r_diag onto the diagonal of `a`, so
// that a's upper n×n triangle is R. Rows m..n−1 of `a` must be zero when
// m < n.
void install_r(MatrixView a, std::span<const double> r_diag, std::span<const double> qt_rhs,
               std::span<double> qtf);

// Workspaces of solve_regularised, each of length n.
struct RegularisedSolveWork {
    std::span<double> rotated_rhs;     // Qᵀ-rotated right-hand side, then the permuted solution
    std::span<double> saved_diagonal;  // R's diagonal, restored after the rotations
};

// Least-squares solution z of
//     [     R     ]       [ qtf ]
//     [ diag(d)Pᵀ ] · z ≈ [  0  ]
// by eliminating the diagonal rows with Givens rotations into an upper
// triangle S (diagonal returned in s_diag; strict upper part stored transposed
// in the strict lower triangle of r). R's upper triangle and diagonal are left
// as they were. d and z are indexed by original column; qtf, s_diag by pivoted
// position. Back substitution stops at the first zero of S's diagonal; later
// components are 0.
void solve_regularised(MatrixView r, std::span<const std::size_t> perm, std::span<const double> d,
                       std::span<const double> qtf, std::span<double> z, std::span<double> s_diag,
                       const RegularisedSolveWork& work);

}  // namespace korvane
