#pragma once
// Goodness of fit and parameter uncertainties at a parameter vector.

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "fit/objective.hpp"
#include "runtime/result.hpp"

namespace korvane {

struct FitStatistics {
    double cost = 0.0;        // ½·Σ r_k²
    double chi_square = 0.0;  // Σ r_k² (weighted, not divided by dof), exactly 2·cost
    // stderr_j = sqrt(V_jj·chi_square/dof), V = (JᵀJ)⁻¹, dof = 2N − P.
    // Absent when dof ≤ 0 or JᵀJ is exactly singular. (Not called `stderr`:
    // that name is a macro of <cstdio>.)
    std::optional<std::vector<double>> standard_errors;
};

// Residuals once and the parameter-space Jacobian once at p:
// counter += 1 + 2·p.size().
Result<FitStatistics> fit_statistics(const Objective& objective, EvaluationContext& context,
                                     std::span<const double> p);
Result<FitStatistics> fit_statistics(const Objective& objective, std::span<const double> p);

// Diagonal of A⁻¹ for a row-major n×n matrix, by LU decomposition with
// partial pivoting; absent when a pivot is exactly zero.
std::optional<std::vector<double>> inverse_diagonal(std::vector<double> a, std::size_t n);

}  // namespace korvane
