// The starting-value policy of a fit.

#include "fit/start_policy.hpp"

#include <utility>
#include <vector>

#include "circuit/params.hpp"
#include "nn/registry.hpp"
#include "nn/trained_topologies.hpp"

namespace korvane {

StartChoice choose_start(const Circuit& circuit, GuessInit guess_init, bool has_weights_path) {
    const bool want =
        guess_init == GuessInit::Always ||
        (guess_init == GuessInit::Unset && (!circuit.values_explicit || has_weights_path));
    if (!want) return StartChoice::Keep;
    if (has_weights_path) return StartChoice::GuessWithFile;
    if (guess_init == GuessInit::Always || has_registered_model(circuit)) {
        return StartChoice::GuessWithModel;
    }
    return StartChoice::WarnAndKeep;
}

std::string missing_model_warning() {
    return "There is no ML model to guess initial parameters for this circuit. Supply your own "
           "with Circuit.with_named_values({...}) or Circuit.with_values([...]), or pass "
           "guess_init=False to silence this. Models available for " +
           model_list_text();
}

Result<Circuit> start_circuit(const Circuit& circuit, StartChoice choice,
                              std::span<const double> frequencies, std::span<const Cplx> impedances,
                              const std::optional<std::string>& weights_path) {
    if (choice == StartChoice::Keep || choice == StartChoice::WarnAndKeep) return circuit;
    const std::optional<std::string> path =
        choice == StartChoice::GuessWithFile ? weights_path : std::nullopt;
    Result<std::vector<double>> guess = guess_parameters(circuit, frequencies, impedances, path);
    if (!guess) return guess.take_error();
    Result<Circuit> guessed = with_values(circuit, *guess);
    if (!guessed) return Error::internal(guessed.error().message);
    return guessed;
}

Result<Circuit> prepare_start(const Circuit& circuit, GuessInit guess_init,
                              const std::optional<std::string>& weights_path,
                              std::span<const double> frequencies, std::span<const Cplx> impedances,
                              const std::function<Status(const std::string&)>& warn) {
    const StartChoice choice = choose_start(circuit, guess_init, weights_path.has_value());
    if (choice == StartChoice::WarnAndKeep) {
        Status warned = warn(missing_model_warning());
        if (!warned) return warned.take_error();
    }
    return start_circuit(circuit, choice, frequencies, impedances, weights_path);
}

}  // namespace korvane
