// One iteration at temperature T:
//   x′_j = x_j + U(−T, T) for every coordinate (no box: x′ may leave the bounds),
//   accept x′ when c′ < c or 1/(1 + exp((c′ − c)/T)) > q, q ~ U[0, 1),
// then T = T0/(k + 1) after k iterations. The Barker rule accepts an equal
// cost with probability ½ and a NaN cost never (every comparison is false).
// Neighbours and acceptance draw from separate generators, so the number of
// coordinates does not shift the acceptance stream.

#include "fit/search/simulated_annealing.hpp"

#include <cmath>
#include <vector>

#include "fit/search/chacha.hpp"
#include "fit/search_space.hpp"
#include "runtime/number_format.hpp"
#include "runtime/text.hpp"

namespace korvane {
namespace {

Status check_temperature(double t0) {
    if (t0 <= 0.0) {
        return solver_error("Invalid parameter: " +
                            quoted("`SimulatedAnnealing`: Initial temperature must be > 0."));
    }
    // NaN passes the test above; the symmetric draw u·(2T) − T needs 2T finite.
    if (!std::isfinite(2.0 * t0)) {
        return solver_error("simulated annealing needs a finite initial temperature, got " +
                            format_value(t0));
    }
    return ok_status();
}

}  // namespace

Result<SearchOutcome> simulated_annealing(const Objective& objective, std::span<const double> p0,
                                          const FitSettings& settings) {
    const double t0 = settings.sa_initial_temperature;
    if (Status usable = check_temperature(t0); !usable.ok()) return usable.error();
    const std::optional<std::uint64_t> acceptance_seed =
        settings.seed ? std::optional<std::uint64_t>(*settings.seed + 1) : std::nullopt;
    Result<ChaChaRng> neighbours = ChaChaRng::make(settings.seed);
    if (!neighbours) return neighbours.take_error();
    Result<ChaChaRng> acceptance = ChaChaRng::make(acceptance_seed);
    if (!acceptance) return acceptance.take_error();

    const std::span<const Bounds> bounds = objective.bounds();
    SearchCost cost(objective);
    std::vector<double> x = to_search_space(p0, bounds);
    Result<double> first = cost(x);
    if (!first) return first.take_error();
    double c = *first;
    BestRecord record;
    record.offer(x, c);

    std::vector<double> neighbour(x.size());
    double temperature = t0;
    std::uint64_t k = 0;
    std::uint64_t iteration = 0;
    while (iteration < settings.sa_iterations) {
        for (std::size_t j = 0; j < x.size(); ++j) {
            neighbour[j] = x[j] + neighbours->symmetric(temperature);
        }
        Result<double> trial = cost(neighbour);
        if (!trial) return trial.take_error();
        const double q = acceptance->probability();
        if (*trial < c || 1.0 / (1.0 + std::exp((*trial - c) / temperature)) > q) {
            x.swap(neighbour);
            c = *trial;
        }
        ++k;
        temperature = t0 / (static_cast<double>(k) + 1.0);
        record.offer(x, c);
        ++iteration;
    }

    if (record.empty()) return solver_error("simulated annealing found no best position");
    return SearchOutcome{from_search_space(record.position(), bounds), iteration, std::nullopt};
}

}  // namespace korvane
