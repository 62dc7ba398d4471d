#pragma once
// Non-negative least squares on the normal-equation (Gram) form:
//
//     minimise ½·xᵀHx − gᵀx  subject to x ≥ 0,   H symmetric positive definite,
//
// the inner problem of korvane_tools' distribution of relaxation times (H =
// AᵀA + λR, g = Aᵀb for each λ of its search).
//
// An active-set method solves it exactly: at the solution the free variables
// F solve H_FF·x_F = g_F with x_F ≥ 0 and the gradient Hx − g is ≥ 0 on the
// held ones. The primal–dual active-set method (Hintermüller, Ito and
// Kunisch, SIAM J. Optim. 13 (2003) 865–888) moves many variables between
// the sets per step and mostly ends in a handful of steps; it need not
// terminate, so after a few steps without reaching those conditions Lawson
// and Hanson's method ("Solving Least Squares Problems", 1974, ch. 23),
// which does, finishes from where it stopped. Every step needs H_FF's
// Cholesky factor; between steps it is updated for each variable that
// enters (a new row, O(k²)) or leaves (a rank-one update of the rows below
// it, O(k²)) instead of being refactored (O(k³)), unless so many change that
// refactoring is cheaper.

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvane::tools {

struct NnlsGramOutcome {
    std::size_t free_count = 0;  // k: variables in the final free set
    bool converged = false;      // false: the step limit was reached first
};

// h: the m×m matrix H, row-major (symmetric, so either order); g: length m.
// free: length m, on entry a warm start (1 = free; e.g. the free set of a
// nearby problem, or all ones), on exit the free set of the solution.
// x: length m, the solution (exactly 0 on the held set). factor: m·m values,
// of which the first k·k hold the lower Cholesky factor L (row-major) of
// H_FF with F in the order of order[0..k), the first k of m entries: H_FF =
// L·Lᵀ with (H_FF)_ij = H[order[i], order[j]].
//
// A variable whose column of H is, to rounding, a combination of the free
// ones (its pivot of the factorisation vanishes) is held at zero.
NnlsGramOutcome nnls_gram(std::span<const double> h, std::span<const double> g,
                          std::span<std::uint8_t> free, std::span<double> x,
                          std::span<double> factor, std::span<std::int64_t> order);

}  // namespace korvane::tools
