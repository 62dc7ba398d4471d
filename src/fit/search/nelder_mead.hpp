#pragma once
// The Nelder–Mead simplex method in search coordinates (deterministic).
//
// Reference: J. A. Nelder and R. Mead, "A simplex method for function
// minimization", Comput. J. 7 (1965) 308–313; coefficients reflection 1,
// expansion 2, contraction ½, shrink ½ as in J. C. Lagarias et al.,
// SIAM J. Optim. 9 (1998) 112–147.

#include <cstdint>
#include <span>

#include "fit/objective.hpp"
#include "fit/search/global_search.hpp"
#include "runtime/result.hpp"

namespace korvane {

// Starts from the simplex around to_search_space(p0) (vertex i + 1 moves
// coordinate i by 0.1·|x0_i|, or 0.1 when |x0_i| ≤ 1e-8) and iterates until
// the sample standard deviation of the vertex costs falls below 2⁻⁵² or
// `max_iterations` iterations are done. Returns the best vertex in parameter
// coordinates with the number of iterations.
// Reads nelder_mead_iterations.
Result<SearchOutcome> nelder_mead(const Objective& objective, std::span<const double> p0,
                                  const FitSettings& settings);

}  // namespace korvane
