#pragma once
// The least-squares polish that follows a derivative-free search: the global
// methods locate the right valley but converge slowly inside it, so the best
// point they found is refined by the multi-start least-squares fit, whose
// result is kept only if it is at least as good.

#include <cstdint>
#include <span>

#include "circuit/circuit.hpp"
#include "fit/fit_outcome.hpp"
#include "fit/objective.hpp"
#include "runtime/result.hpp"

namespace korvane {

// `best` holds the objective's unknowns (the free parameters).
// G = assembly of `best` (success, the search's own iteration count);
// L = fit_least_squares from `best` on a copy of `objective` with a fresh
// counter (ftol = xtol = gtol = 1e-8, budget 200), whose evaluations are then
// added to `objective`'s counter. L is taken when its cost is finite and
// ≤ G's cost. impedance_evals is the main counter after the addition.
Result<FitOutcome> polish(const Objective& objective, const Circuit& circuit,
                          std::span<const double> best, std::uint64_t search_iterations);

}  // namespace korvane
