#pragma once
// Search coordinates: the fit methods move open parameters (no finite upper
// bound) on a base-10 logarithmic scale above their lower bound,
//
//   x_j = log10(max(p_j − lo_j, 1e-300)),   p_j = 10^x_j + lo_j,
//
// so that a resistance of 1 mΩ and one of 1 MΩ take steps of the same
// relative size and never cross the lower bound. Closed parameters are
// searched as they are.

#include <span>
#include <vector>

#include "circuit/element.hpp"
#include "fit/objective.hpp"
#include "runtime/result.hpp"

namespace korvane {

// Floor of p − lo before the logarithm: an open parameter at (or below) its
// lower bound maps to −300 instead of −inf.
inline constexpr double kMinSearchOffset = 1e-300;

// ln 10, the derivative factor of p = 10^x + lo: dp/dx = (p − lo)·ln 10.
inline constexpr double kLn10 = 2.302585092994046;

// Open: the upper bound is not finite (infinite or NaN).
bool is_open(const Bounds& bounds);

// Both map element by element over the shorter of the vector and the bounds
// list; nothing is clamped.
std::vector<double> to_search_space(std::span<const double> p, std::span<const Bounds> bounds);
std::vector<double> from_search_space(std::span<const double> x, std::span<const Bounds> bounds);
// Into a caller buffer of min(x.size(), bounds.size()) entries.
void from_search_space_into(std::span<const double> x, std::span<const Bounds> bounds,
                            std::span<double> p);

// Cost(from_search_space(x)): the scalar the derivative-free methods minimise.
Result<double> search_cost(const Objective& objective, EvaluationContext& context,
                           std::span<const double> x);
Result<double> search_cost(const Objective& objective, std::span<const double> x);

// Scratch for the search-space evaluations of one solver run.
struct SearchWorkspace {
    std::vector<double> params;  // (P,): from_search_space(x)
};

// Residuals(from_search_space(x)) into `out` of residual_count() entries.
// A Jacobian at the same point next (the solver's step after an accepted
// trial) reuses what this evaluation formed (see EvaluationContext).
Status search_residuals_into(const Objective& objective, EvaluationContext& context,
                             std::span<const double> x, std::span<double> out,
                             SearchWorkspace& workspace);

// ∂r/∂x: column j of the parameter-space Jacobian at p = from_search_space(x)
// times dp_j/dx_j, which is 1 (closed) or (p_j − lo_j)·ln 10 (open). A column
// marked in `frozen` is all zeros whatever its bounds, so the solver cannot
// move that parameter; entries beyond the mask count as not frozen. Written
// column-major into `columns` of residual_count()·P entries,
// P = min(x.size(), bounds.size()). Counter += 2P (frozen columns included).
Status search_jacobian_into(const Objective& objective, EvaluationContext& context,
                            std::span<const double> x, const std::vector<bool>& frozen,
                            std::span<double> columns, SearchWorkspace& workspace);
Result<Jacobian> search_jacobian(const Objective& objective, std::span<const double> x,
                                 const std::vector<bool>& frozen);

}  // namespace korvane
