#include "fit/fit_outcome.hpp"

#include <algorithm>
#include <limits>

#include "circuit/params.hpp"
#include "fit/statistics.hpp"

namespace korvane {

std::vector<double> clamp_to_bounds(std::span<const double> p, std::span<const Bounds> bounds) {
    std::vector<double> clamped(p.begin(), p.end());
    const std::size_t k = std::min(p.size(), bounds.size());
    for (std::size_t j = 0; j < k; ++j) {
        // Written out rather than std::clamp: defined for any lo, hi, and a
        // NaN value falls through both comparisons unchanged.
        if (clamped[j] < bounds[j].lo) {
            clamped[j] = bounds[j].lo;
        } else if (clamped[j] > bounds[j].hi) {
            clamped[j] = bounds[j].hi;
        }
    }
    return clamped;
}

Result<FitOutcome> assemble_outcome(const Objective& objective, const Circuit& circuit,
                                    std::span<const double> p, bool success,
                                    std::uint64_t iterations) {
    EvaluationContext context(objective);
    return assemble_outcome(objective, context, circuit, p, success, iterations);
}

Result<FitOutcome> assemble_outcome(const Objective& objective, EvaluationContext& context,
                                    const Circuit& circuit, std::span<const double> p, bool success,
                                    std::uint64_t iterations) {
    std::vector<double> clamped = clamp_to_bounds(p, objective.bounds());
    Result<FitStatistics> stats = fit_statistics(objective, context, clamped);
    if (!stats) return stats.take_error();
    // Fixed parameters rejoin here: their values as given, no standard error.
    std::vector<double> params = objective.full_values(clamped);
    Result<Circuit> fitted = with_values(circuit, params);
    if (!fitted) return Error::internal(fitted.error().message);

    FitOutcome outcome;
    outcome.circuit = std::move(fitted.value());
    outcome.params = std::move(params);
    if (stats->standard_errors) {
        outcome.standard_errors =
            objective.spread(*stats->standard_errors, std::numeric_limits<double>::quiet_NaN());
    }
    outcome.success = success;
    outcome.iterations = iterations;
    outcome.cost = stats->cost;
    outcome.chi_square = stats->chi_square;
    outcome.impedance_evals = objective.evaluations();
    return outcome;
}

}  // namespace korvane
