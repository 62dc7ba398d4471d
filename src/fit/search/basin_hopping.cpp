// One hop from the current minimum p_cur with cost f_cur:
//   x_j = to_search_space(p_cur)_j − s + 2s·U,   U ~ [0, 1) with 52 bits,
//   (p_new, f_new) = least-squares fit from from_search_space(x),
//   best ← (p_new, f_new) when f_new is finite and lower,
//   p_cur ← p_new when f_new is finite and f_new < f_cur or exp(−(f_new − f_cur)/T) > u.
// With T = 0 the exponent is −∞ (or NaN for an equal cost): only strict
// improvements are accepted.

#include "fit/search/basin_hopping.hpp"

#include <cmath>
#include <utility>
#include <vector>

#include "circuit/params.hpp"
#include "fit/least_squares_fit.hpp"
#include "fit/search/chacha.hpp"
#include "fit/search/global_search.hpp"
#include "fit/search_space.hpp"
#include "runtime/number_format.hpp"

namespace korvane {
namespace {

struct Minimum {
    std::vector<double> params;
    double cost = 0.0;
};

// The local minimisation from `p` (every parameter, fixed ones included),
// adding its iteration count to `iterations`.
Result<Minimum> local_fit(const Objective& objective, const Circuit& circuit,
                          std::span<const double> p, std::uint64_t& iterations) {
    Result<Circuit> start = with_values(circuit, p);
    if (!start) return Error::internal(start.error().message);
    Result<FitOutcome> fitted = fit_least_squares(objective, *start, fixed_lm_config());
    if (!fitted) return fitted.take_error();
    iterations += fitted->iterations;
    return Minimum{std::move(fitted->params), fitted->cost};
}

Status check_step_size(double s) {
    if (s >= 0.0 && std::isfinite(2.0 * s)) return ok_status();
    return solver_error(
        "basin hopping cannot draw its hops: basin_hopping_step_size must be "
        ">= 0 with twice it finite, got " +
        format_value(s));
}

}  // namespace

Result<SearchOutcome> basin_hopping(const Objective& objective, std::span<const double> p0,
                                    const FitSettings& settings) {
    // The objective's circuit is the start the caller chose; p0 its unknowns.
    const Circuit& start = objective.circuit();
    Result<ChaChaRng> made = ChaChaRng::make(settings.seed);
    if (!made) return made.take_error();
    ChaChaRng& rng = *made;
    const std::span<const Bounds> bounds = objective.bounds();
    const double s = settings.basin_hopping_step_size;
    const double t = settings.basin_hopping_temperature;

    std::uint64_t iterations = 0;
    Result<Minimum> first = local_fit(objective, start, objective.full_values(p0), iterations);
    if (!first) return first.take_error();
    Minimum current = std::move(*first);
    Minimum best = current;

    for (std::size_t hop = 0; hop < settings.basin_hopping_hops; ++hop) {
        if (hop == 0) {
            if (Status usable = check_step_size(s); !usable.ok()) return usable.error();
        }
        // The hop moves the unknowns only; fixed parameters keep their values.
        std::vector<double> x = to_search_space(objective.free_values(current.params), bounds);
        for (double& coordinate : x) coordinate += -s + 2.0 * s * rng.unit52();
        Result<Minimum> found = local_fit(
            objective, start, objective.full_values(from_search_space(x, bounds)), iterations);
        if (!found) return found.take_error();

        const bool finite = std::isfinite(found->cost);
        if (finite && found->cost < best.cost) best = *found;
        bool accept = false;
        if (finite) {
            accept = current.cost > found->cost ||
                     std::exp(-(found->cost - current.cost) / t) > rng.probability();
        }
        if (accept) current = std::move(*found);
    }
    std::vector<double> unknowns = objective.free_values(best.params);
    Result<FitOutcome> fitted = assemble_outcome(objective, start, unknowns, true, iterations);
    if (!fitted) return fitted.take_error();
    return SearchOutcome{std::move(unknowns), iterations, std::move(*fitted)};
}

}  // namespace korvane
