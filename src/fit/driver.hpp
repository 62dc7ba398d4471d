#pragma once
// What Circuit.fit does once its arguments are converted: the starting-value
// policy (keep the values, ask a trained network, or warn), the dispatch on
// the method name, the data checks, and the fit itself up to the assembled
// FitOutcome.
//
// The Python layer calls choose_start / guess_start with the interpreter
// lock held (the warning must be issued there), then run_fit with it
// released. Nothing here touches Python.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "circuit/circuit.hpp"
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

// ---- starting values --------------------------------------------------------

enum class GuessInit { Unset, Always, Never };

enum class StartChoice {
    Keep,            // the circuit's current values (placeholders when none were given)
    GuessWithFile,   // the network of the user's weight file
    GuessWithModel,  // the matching compiled-in network
    WarnAndKeep,     // no network for this topology: warn, then keep
};

// Unset guesses when the values are placeholders or a weight file is named;
// Always guesses (and fails rather than warns); Never keeps, ignoring the file.
// Only the Unset case without a file looks at the registry.
StartChoice choose_start(const Circuit& circuit, GuessInit guess_init, bool has_weights_path);

// "There is no ML model to guess initial parameters for this circuit. ...
// Models available for 'rc', ..., 'sei_randles_wo'"
std::string missing_model_warning();

// The circuit the fit starts from under `choice`: a copy for Keep/WarnAndKeep,
// the circuit carrying the network's guess otherwise (the guesser's failure
// passes through unchanged). Runs the network on the calling thread.
Result<Circuit> start_circuit(const Circuit& circuit, StartChoice choice,
                              std::span<const double> frequencies, std::span<const Cplx> impedances,
                              const std::optional<std::string>& weights_path);

// choose_start + start_circuit, calling `warn` for WarnAndKeep; a failing
// `warn` (warnings escalated to errors) fails the preparation with its error.
Result<Circuit> prepare_start(const Circuit& circuit, GuessInit guess_init,
                              const std::optional<std::string>& weights_path,
                              std::span<const double> frequencies, std::span<const Cplx> impedances,
                              const std::function<Status(const std::string&)>& warn);

// ---- the fit ----------------------------------------------------------------

struct FitSettings {
    std::string method = "levenberg_marquardt";
    std::size_t max_iterations = 200;  // LM evaluation budget per unknown (0 → 1)
    double ftol = 1e-8;                // LM: relative reduction of ½‖r‖²
    double xtol = 1e-8;                // LM: relative step ‖D·p‖ / ‖D·x‖
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

// Dispatch onwards: method name, data checks, tolerance checks, the objective
// with a fresh counter, the method, assembly. `start` carries the starting
// values chosen by the policy. Safe to run without the interpreter lock.
Result<FitOutcome> run_fit(const Circuit& start, std::span<const double> frequencies,
                           std::span<const Cplx> impedances, WeightScheme weight,
                           const FitSettings& settings);

}  // namespace korvane
