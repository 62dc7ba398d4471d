#pragma once
// The Levenberg–Marquardt parameter: given the pivoted QR of J, the scaling D
// and the radius Δ, find λ ≥ 0 and z with (JᵀJ + λD²)·z = Jᵀr such that
// either λ = 0 and ‖D·z‖ ≤ 1.1·Δ, or λ > 0 and |‖D·z‖ − Δ| ≤ 0.1·Δ.
//
// Reference: J. J. Moré, "The Levenberg–Marquardt algorithm: implementation
// and theory", Lecture Notes in Mathematics 630 (1978) 105–116, §5–§6
// (safeguarded Newton iteration on φ(λ) = ‖D·z(λ)‖ − Δ).

#include <cstddef>
#include <span>

#include "fit/lm/qr.hpp"

namespace korvane {

// Length-n workspaces of the λ search.
struct LmParameterWork {
    std::span<double> solve_vector;  // back-substitution vector (bounds, Newton correction)
    std::span<double> scaled_z;      // D·z, indexed by original column
    std::span<double> s_diag;        // diagonal of the reduced triangle S
    RegularisedSolveWork solve;
};

struct TrustRegionInput {
    MatrixView r;                       // n×n R on and above the diagonal (lower part is scratch)
    std::span<const std::size_t> perm;  // pivot order of the factorisation
    std::span<const double> d;          // scaling D, by original column
    std::span<const double> qtf;        // first n entries of Qᵀr
    double radius;                      // Δ > 0
};

// Returns the new λ (starting from `lambda`, the previous one) and writes z,
// by original column, into `z`. The step toward lower ‖r‖ is −z. At most 10
// regularised solves.
double solve_trust_region_subproblem(const TrustRegionInput& input, double lambda,
                                     std::span<double> z, const LmParameterWork& work);

}  // namespace korvane
