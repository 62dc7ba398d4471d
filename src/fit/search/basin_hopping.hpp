#pragma once
// Basin hopping: random jumps in search coordinates, each followed by a
// complete least-squares fit, with a Metropolis test deciding where the
// next jump starts from.
//
// Reference: D. J. Wales and J. P. K. Doye, "Global optimization by
// basin-hopping and the lowest energy structures of Lennard-Jones clusters
// containing up to 110 atoms", J. Phys. Chem. A 101 (1997) 5111–5116.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "circuit/circuit.hpp"
#include "fit/fit_outcome.hpp"
#include "fit/objective.hpp"
#include "fit/search/global_search.hpp"
#include "runtime/result.hpp"

namespace korvane {

// The local fits are fit_least_squares with ftol = xtol = gtol = 1e-8 and
// budget 200 on `objective` itself; the best local result, assembled with
// success = true and the summed iteration counts, is the outcome (no polish).
// An unusable step size (negative, NaN, or 2·s not finite) fails at the first
// hop; a failing local fit fails the method with its error.
// Reads basin_hopping_hops, basin_hopping_step_size (s: each coordinate
// jumps by U(−s, s)), basin_hopping_temperature (T of the Metropolis test
// exp(−Δf/T) > u) and seed (none: a key from the operating system). Its
// outcome carries the finished fit.
Result<SearchOutcome> basin_hopping(const Objective& objective, std::span<const double> p0,
                                    const FitSettings& settings);

}  // namespace korvane
