#pragma once
// Simulated annealing in search coordinates with the fast (Cauchy-like)
// schedule T_k = T0/(k + 1) and the Barker acceptance rule.
//
// References: S. Kirkpatrick, C. D. Gelatt and M. P. Vecchi, "Optimization by
// simulated annealing", Science 220 (1983) 671–680; H. Szu and R. Hartley,
// "Fast simulated annealing", Phys. Lett. A 122 (1987) 157–162.

#include <cstdint>
#include <optional>
#include <span>

#include "fit/objective.hpp"
#include "fit/search/global_search.hpp"
#include "runtime/result.hpp"

namespace korvane {

// Starts at to_search_space(p0) and returns the best state recorded (in
// parameter coordinates) with the number of iterations. Fails before any
// evaluation when the temperature is ≤ 0 ("Invalid parameter: ...") or not
// usable for the symmetric draw (NaN, or 2·T0 not finite), and when no cost
// was ever recordable ("simulated annealing found no best position").
// Reads sa_iterations, sa_initial_temperature and seed: the seed seeds the
// neighbour generator, seed + 1 (mod 2⁶⁴) the acceptance one; none draws two
// keys from the operating system.
Result<SearchOutcome> simulated_annealing(const Objective& objective, std::span<const double> p0,
                                          const FitSettings& settings);

}  // namespace korvane
