#include "fit/search/particle_swarm.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "fit/search/chacha.hpp"
#include "fit/search/search_box.hpp"
#include "fit/search/search_fixtures.hpp"
#include "fit/search_space.hpp"

namespace korvane {
namespace {

using testing::Problem;

// The initial swarm redrawn by hand: every position first, then every
// velocity, each coordinate between the ends of its box interval.
struct InitialSwarm {
    std::vector<std::vector<double>> positions;
    std::vector<std::vector<double>> velocities;
};
InitialSwarm draw_swarm(const Problem& problem, std::size_t particles, std::uint64_t seed) {
    const std::vector<SearchInterval> box =
        search_box(problem.start(), problem.objective->bounds());
    ChaChaRng rng(pcg32_key(seed));
    InitialSwarm swarm;
    for (std::size_t i = 0; i < particles; ++i) {
        std::vector<double> x;
        for (const SearchInterval& interval : box)
            x.push_back(rng.between(interval.lo, interval.hi));
        swarm.positions.push_back(x);
    }
    for (std::size_t i = 0; i < particles; ++i) {
        std::vector<double> v;
        for (const SearchInterval& interval : box) {
            v.push_back(rng.between(-(interval.hi - interval.lo), interval.hi - interval.lo));
        }
        swarm.velocities.push_back(v);
    }
    return swarm;
}

TEST(ParticleSwarm, WithoutGenerationsReturnsTheBestInitialParticle) {
    const Problem rc("R0-(R1,C1)", testing::rc_spectrum());
    const InitialSwarm swarm = draw_swarm(rc, 30, 11);
    std::size_t best = 0;
    double best_cost = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < swarm.positions.size(); ++i) {
        const double c = search_cost(*rc.objective, swarm.positions[i]).value();
        if (c < best_cost) {
            best = i;
            best_cost = c;
        }
    }
    const std::uint64_t before = rc.objective->evaluations();
    const SearchOutcome outcome =
        particle_swarm(*rc.objective, rc.start(), testing::swarm(30, 0, 11)).value();
    EXPECT_EQ(outcome.iterations, 0u);
    EXPECT_EQ(rc.objective->evaluations() - before, 30u);
    EXPECT_EQ(outcome.best, from_search_space(swarm.positions[best], rc.objective->bounds()));
}

TEST(ParticleSwarm, ALoneParticleMakesNoPullDrawsInItsFirstMove) {
    // One particle is its own best and the swarm's: r1 and r2 are drawn between
    // 0 and 0, which draws nothing, so the move is x + w_i·v clamped to the box.
    const Problem rc("R0-(R1,C1)", testing::rc_spectrum());
    const std::vector<SearchInterval> box = search_box(rc.start(), rc.objective->bounds());
    const InitialSwarm swarm = draw_swarm(rc, 1, 3);
    std::vector<double> moved = swarm.positions[0];
    for (std::size_t j = 0; j < moved.size(); ++j) {
        moved[j] =
            std::fmin(std::fmax(moved[j] + 0.7213475204444817 * swarm.velocities[0][j], box[j].lo),
                      box[j].hi);
    }
    const double c0 = search_cost(*rc.objective, swarm.positions[0]).value();
    const double c1 = search_cost(*rc.objective, moved).value();
    const std::vector<double>& expected = c1 < c0 ? moved : swarm.positions[0];
    const SearchOutcome outcome =
        particle_swarm(*rc.objective, rc.start(), testing::swarm(1, 1, 3)).value();
    EXPECT_EQ(outcome.iterations, 1u);
    EXPECT_EQ(outcome.best, from_search_space(expected, rc.objective->bounds()));
}

TEST(ParticleSwarm, SeedReproducesCountsAreParticlesTimesGenerationsPlusOne) {
    const Problem rc("R0-(R1,C1)", testing::rc_spectrum());
    const std::uint64_t before = rc.objective->evaluations();
    const SearchOutcome a =
        particle_swarm(*rc.objective, rc.start(), testing::swarm(20, 15, 5)).value();
    EXPECT_EQ(rc.objective->evaluations() - before, 20u * 16u);
    EXPECT_EQ(a.iterations, 15u);
    const SearchOutcome b =
        particle_swarm(*rc.objective, rc.start(), testing::swarm(20, 15, 5)).value();
    EXPECT_EQ(a.best, b.best);
    const SearchOutcome c =
        particle_swarm(*rc.objective, rc.start(), testing::swarm(20, 15, 6)).value();
    EXPECT_NE(a.best, c.best);
    const SearchOutcome d =
        particle_swarm(*rc.objective, rc.start(), testing::swarm(20, 15, {})).value();
    const SearchOutcome e =
        particle_swarm(*rc.objective, rc.start(), testing::swarm(20, 15, {})).value();
    EXPECT_NE(d.best, e.best);
}

TEST(ParticleSwarm, RefusesEmptyAndOversizedSwarmsAndReportsAllNaNCosts) {
    const Problem rc("R0-(R1,C1)", testing::rc_spectrum());
    const std::uint64_t before = rc.objective->evaluations();
    EXPECT_EQ(particle_swarm(*rc.objective, rc.start(), testing::swarm(0, 10, 1)).error().message,
              "solver error: particle swarm needs at least one particle (num_particles=0)");
    const std::size_t per_particle = 3 * 3 * sizeof(double) + 3 * sizeof(double);
    const std::size_t limit = kMaxSwarmBytes / per_particle;
    EXPECT_EQ(particle_swarm(*rc.objective, rc.start(), testing::swarm(std::size_t{1} << 62, 10, 1))
                  .error()
                  .message,
              "solver error: a swarm of num_particles=4611686018427387904 would need more "
              "than 1 GiB of memory (at most " +
                  std::to_string(limit) + " particles for 3 parameters)");
    EXPECT_FALSE(particle_swarm(*rc.objective, rc.start(), testing::swarm(limit + 1, 0, 1)));
    EXPECT_EQ(rc.objective->evaluations(), before);  // refused before any evaluation

    testing::Spectrum nan_data = testing::rc_spectrum();
    nan_data.z[4].re = std::numeric_limits<double>::quiet_NaN();
    const Problem broken("R0-(R1,C1)", nan_data);
    EXPECT_EQ(
        particle_swarm(*broken.objective, broken.start(), testing::swarm(5, 3, 1)).error().message,
        "solver error: particle swarm found no best position");
}

}  // namespace
}  // namespace korvane
