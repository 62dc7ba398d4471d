// Particle swarm: every particle is pulled towards its own best position and
// the swarm's, with random strengths per coordinate,
//
//   v ← w_i·v + w_c·r1 + w_s·r2,   r1_j ~ U(0, x̂_j − x_j),  r2_j ~ U(0, g_j − x_j),
//   x ← min(max(x + v, a), b),
//
// and the box [a, b] of search_box keeps every position finite. The draw
// order (all positions, then all velocities; per particle all of r1, then all
// of r2) is part of the result under a seed.

#include "fit/search/particle_swarm.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>
#include <vector>

#include "fit/search/chacha.hpp"
#include "fit/search/search_box.hpp"
#include "fit/search_space.hpp"
#include "runtime/interrupt.hpp"

namespace korvane {
namespace {

constexpr double kInertia = 0.7213475204444817;    // 1/(2·ln 2)
constexpr double kCognitive = 1.1931471805599454;  // 0.5 + ln 2
constexpr double kSocial = 1.1931471805599454;     // 0.5 + ln 2

// Strictly lower first. NaN costs go last, so the initial global best is a
// particle with a cost whenever one has one; among numbers (and among NaNs)
// the order is that of the construction.

Status check_swarm_size(std::size_t particles, std::size_t dimension) {
    if (particles == 0) {
        return solver_error("particle swarm needs at least one particle (num_particles=0)");
    }
    // Positions, velocities and personal bests, two costs and a sort index.
    const std::size_t per_particle = 3 * dimension * sizeof(double) + 3 * sizeof(double);
    const std::size_t limit = kMaxSwarmBytes / per_particle;
    if (particles <= limit) return ok_status();
    return solver_error("a swarm of num_particles=" + std::to_string(particles) +
                        " would need more than 1 GiB of memory (at most " + std::to_string(limit) +
                        " particles for " + std::to_string(dimension) + " parameters)");
}

struct Swarm {
    std::size_t size = 0;
    std::size_t dimension = 0;
    std::vector<double> positions;       // (size, dimension)
    std::vector<double> velocities;      // (size, dimension)
    std::vector<double> costs;           // (size,)
    std::vector<double> best_positions;  // (size, dimension) personal bests
    std::vector<double> best_costs;      // (size,)

    std::span<double> row(std::vector<double>& rows, std::size_t i) {
        return {rows.data() + i * dimension, dimension};
    }
};

// Reorders the rows of `rows` to `order` (order[k] = old index of row k).
void permute_rows(std::vector<double>& rows, std::span<const std::size_t> order,
                  std::size_t width) {
    std::vector<double> sorted(rows.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
        std::copy_n(rows.begin() + order[k] * width, width, sorted.begin() + k * width);
    }
    rows.swap(sorted);
}

}  // namespace

Result<SearchOutcome> particle_swarm(const Objective& objective, std::span<const double> p0,
                                     const FitSettings& settings) {
    const std::span<const Bounds> bounds = objective.bounds();
    const std::vector<SearchInterval> box = search_box(p0, bounds);
    const std::size_t n = box.size();
    if (Status size = check_swarm_size(settings.num_particles, n); !size.ok()) return size.error();
    // Velocities are drawn from [−(b − a), b − a]: twice the width must be finite.
    if (Status finite = check_search_box(box, objective, "particle swarm", 2.0); !finite.ok()) {
        return finite.error();
    }
    Result<ChaChaRng> made = ChaChaRng::make(settings.seed);
    if (!made) return made.take_error();
    ChaChaRng& rng = *made;

    Swarm swarm;
    swarm.size = settings.num_particles;
    swarm.dimension = n;
    swarm.positions.resize(swarm.size * n);
    swarm.velocities.resize(swarm.size * n);
    swarm.costs.resize(swarm.size);
    for (std::size_t i = 0; i < swarm.size; ++i) {
        const std::span<double> x = swarm.row(swarm.positions, i);
        for (std::size_t j = 0; j < n; ++j) x[j] = rng.between(box[j].lo, box[j].hi);
        if (Status polled = poll_interrupt(); !polled.ok()) return polled.error();
    }
    for (std::size_t i = 0; i < swarm.size; ++i) {
        const std::span<double> v = swarm.row(swarm.velocities, i);
        for (std::size_t j = 0; j < n; ++j) {
            const double width = box[j].hi - box[j].lo;
            v[j] = rng.between(-width, width);
        }
        if (Status polled = poll_interrupt(); !polled.ok()) return polled.error();
    }

    SearchCost cost(objective);
    for (std::size_t i = 0; i < swarm.size; ++i) {
        Result<double> c = cost(swarm.row(swarm.positions, i));
        if (!c) return c.take_error();
        swarm.costs[i] = *c;
    }

    // The particles keep the sorted order for the whole run: it decides the
    // order of every later draw.
    {
        std::vector<std::size_t> order(swarm.size);
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return lower_cost(swarm.costs[a], swarm.costs[b]);
        });
        permute_rows(swarm.positions, order, n);
        permute_rows(swarm.velocities, order, n);
        permute_rows(swarm.costs, order, 1);
    }
    swarm.best_positions = swarm.positions;
    swarm.best_costs = swarm.costs;

    std::vector<double> global(swarm.row(swarm.positions, 0).begin(),
                               swarm.row(swarm.positions, 0).end());
    double global_cost = swarm.costs[0];
    BestRecord record;
    record.offer(global, global_cost);

    std::vector<double> pull_own(n);    // r1
    std::vector<double> pull_swarm(n);  // r2
    std::uint64_t generation = 0;
    while (generation < settings.generations) {
        for (std::size_t i = 0; i < swarm.size; ++i) {
            const std::span<double> x = swarm.row(swarm.positions, i);
            const std::span<double> v = swarm.row(swarm.velocities, i);
            const std::span<double> own = swarm.row(swarm.best_positions, i);
            for (std::size_t j = 0; j < n; ++j) pull_own[j] = rng.between(0.0, own[j] - x[j]);
            for (std::size_t j = 0; j < n; ++j) {
                pull_swarm[j] = rng.between(0.0, global[j] - x[j]);
            }
            for (std::size_t j = 0; j < n; ++j) {
                v[j] = kInertia * v[j] + kCognitive * pull_own[j] + kSocial * pull_swarm[j];
                // fmax maps a NaN coordinate to a_j.
                x[j] = std::fmin(std::fmax(x[j] + v[j], box[j].lo), box[j].hi);
            }
        }
        for (std::size_t i = 0; i < swarm.size; ++i) {
            Result<double> c = cost(swarm.row(swarm.positions, i));
            if (!c) return c.take_error();
            swarm.costs[i] = *c;
        }
        for (std::size_t i = 0; i < swarm.size; ++i) {
            const double c = swarm.costs[i];
            if (!(c < swarm.best_costs[i])) continue;
            const std::span<double> x = swarm.row(swarm.positions, i);
            std::copy(x.begin(), x.end(), swarm.row(swarm.best_positions, i).begin());
            swarm.best_costs[i] = c;
            if (c < global_cost) {
                std::copy(x.begin(), x.end(), global.begin());
                global_cost = c;
            }
        }
        ++generation;
        record.offer(global, global_cost);
    }

    if (record.empty()) return solver_error("particle swarm found no best position");
    return SearchOutcome{from_search_space(record.position(), bounds), generation, std::nullopt};
}

}  // namespace korvane
