#include "fit/polish.hpp"

#include <cmath>

#include "circuit/params.hpp"
#include "fit/least_squares_fit.hpp"
#include "fit/lm/lm.hpp"

namespace korvane {

Result<FitOutcome> polish(const Objective& objective, const Circuit& circuit,
                          std::span<const double> best, std::uint64_t search_iterations) {
    Result<FitOutcome> global = assemble_outcome(objective, circuit, best, true, search_iterations);
    if (!global) return global;

    Result<Circuit> start = with_values(circuit, objective.full_values(best));
    if (!start) return Error::internal(start.error().message);
    // A separate counter keeps the polish's evaluations apart until it has
    // finished; they are folded into the fit's count in one addition.
    const Objective local_objective = objective.with_fresh_counter();
    Result<FitOutcome> local = fit_least_squares(local_objective, *start, fixed_lm_config());
    if (!local) return local;
    objective.add_evaluations(local->impedance_evals);

    // A NaN cost on G keeps G (the comparison is false), as does a non-finite L.
    FitOutcome chosen = std::isfinite(local->cost) && local->cost <= global->cost
                            ? std::move(local.value())
                            : std::move(global.value());
    chosen.impedance_evals = objective.evaluations();
    return chosen;
}

}  // namespace korvane
