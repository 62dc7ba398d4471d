#pragma once
// Particle swarm optimisation in search coordinates.
//
// Reference: J. Kennedy and R. Eberhart, "Particle swarm optimization",
// Proc. IEEE ICNN (1995) 1942–1948; the weights are the constriction-
// equivalent values of M. Clerc, "Standard Particle Swarm Optimisation"
// (2012): inertia 1/(2·ln 2), cognitive and social 0.5 + ln 2.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "fit/objective.hpp"
#include "fit/search/global_search.hpp"
#include "runtime/result.hpp"

namespace korvane {

// The memory a swarm may take (positions, velocities and personal bests of
// every particle, 24·P + 16 bytes each): larger requests are refused rather
// than attempted.
inline constexpr std::size_t kMaxSwarmBytes = std::size_t{1} << 30;

// The swarm is drawn inside search_box(p0); the result is the best position
// recorded after initialisation and after each generation, in parameter
// coordinates, with the number of generations. Fails (solver errors) on an
// empty or oversized swarm, a box without finite ends, or when every cost
// was NaN ("particle swarm found no best position").
// Reads num_particles, generations and seed.
Result<SearchOutcome> particle_swarm(const Objective& objective, std::span<const double> p0,
                                     const FitSettings& settings);

}  // namespace korvane
