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

struct FitSettings {
    std::string method = "levenberg_marquardt";
    // Python's max_iterations: LM evaluation budget per unknown (0 → 1).
    std::size_t lm_eval_budget = 200;
    double ftol = 1e-8;  // LM: relative reduction of ½‖r‖²
    double xtol = 1e-8;  // LM: relative step ‖D·p‖ / ‖D·x‖
    // Derivative-free methods.
    std::size_t num_particles = 200;
    std::uint64_t generations = 1000;
    std::uint64_t nelder_mead_iterations = 2000;
    std::size_t de_evaluations = 20000;
    std::uint64_t sa_iterations = 5000;
    double sa_initial_temperature = 2.0;
    std::size_t basin_hopping_hops = 20;
    double basin_hopping_step_size = 1.0;
    double basin_hopping_temperature = 1.0;
    std::optional<std::uint64_t> seed;
};

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
