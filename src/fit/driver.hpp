#pragma once
// What Circuit.fit does once its arguments are converted and its starting
// values chosen (fit/start_policy.hpp): the dispatch on the method name, the
// data checks, and the fit itself up to the assembled FitOutcome. Nothing
// here touches Python or the trained networks.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "circuit/circuit.hpp"
#include "fit/constraints.hpp"
#include "fit/fit_outcome.hpp"
#include "fit/fit_settings.hpp"
#include "fit/objective.hpp"
#include "runtime/result.hpp"

namespace korvane {

enum class FitMethod {
    LevenbergMarquardt,
    ParticleSwarm,
    NelderMead,
    DifferentialEvolution,
    SimulatedAnnealing,
    BasinHopping,
};

std::string_view fit_method_name(FitMethod method);

// Exact, case-sensitive. Fails with "unknown fit method "<name>", expected
// one of "levenberg_marquardt", ...".
Result<FitMethod> parse_fit_method(std::string_view name);

// ---- the fit ----------------------------------------------------------------

// Dispatch onwards: method name, data checks, constraint checks, tolerance
// checks, the objective with a fresh counter, the method, assembly. `start`
// carries the starting values chosen by the policy (for a constrained fit,
// passed through constrained_start). Every fit goes through here: Circuit.fit
// with no constraints, korvane_tools.fit with its own. Safe to run without
// the interpreter lock.
Result<FitOutcome> run_fit(const Circuit& start, std::span<const double> frequencies,
                           std::span<const Cplx> impedances, WeightScheme weight,
                           const FitSettings& settings, const FitConstraints& constraints = {});

}  // namespace korvane
