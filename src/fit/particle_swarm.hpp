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

#include "fit/global_search.hpp"
#include "fit/objective.hpp"
#include "runtime/result.hpp"

namespace korvane {

struct SwarmSettings {
    std::size_t num_particles = 200;
    std::uint64_t generations = 1000;
    std::optional<std::uint64_t> seed;  // none: a key from the operating system
};

// The memory a swarm may take (positions, velocities and personal bests of
// every particle, 24·P + 16 bytes each): larger requests are refused rather
// than attempted.
inline constexpr std::size_t kMaxSwarmBytes = std::size_t{1} << 30;

// The swarm is drawn inside search_box(p0); the result is the best position
// recorded after initialisation and after each generation, in parameter
// coordinates, with the number of generations. Fails (solver errors) on an
// empty or oversized swarm, a box without finite ends, or when every cost
// was NaN ("particle swarm found no best position").
Result<SearchOutcome> particle_swarm(const Objective& objective, std::span<const double> p0,
                                     const SwarmSettings& settings);

}  // namespace korvane
