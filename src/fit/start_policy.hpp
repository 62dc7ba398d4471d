#pragma once
// Where a fit starts: keep the circuit's values, ask a trained network for a
// guess, or warn that there is none and keep them. The only part of the fit
// that reaches into the networks (nn/).
//
// The bindings call choose_start, issue the warning through Python's
// machinery when the choice says so (the warning may become an exception,
// which then ends the call), then start_circuit, and hand the result to
// run_fit (fit/driver.hpp).

#include <functional>
#include <optional>
#include <span>
#include <string>

#include "circuit/circuit.hpp"
#include "circuit/complex.hpp"
#include "runtime/result.hpp"

namespace korvane {

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
// `warn` fails the preparation with its error. For callers in C++; the
// bindings take the steps one by one, so that a warning turned into an
// exception stays a Python exception.
Result<Circuit> prepare_start(const Circuit& circuit, GuessInit guess_init,
                              const std::optional<std::string>& weights_path,
                              std::span<const double> frequencies, std::span<const Cplx> impedances,
                              const std::function<Status(const std::string&)>& warn);

}  // namespace korvane
