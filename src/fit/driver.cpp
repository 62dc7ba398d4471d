// The fit driver: starting-value policy, method dispatch, checks, and the
// hand-over to the least-squares multi-start (or, for the derivative-free
// methods, to their search followed by the least-squares polish).

#include "fit/driver.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <utility>

#include "circuit/params.hpp"
#include "fit/least_squares_fit.hpp"
#include "fit/lm.hpp"
#include "fit/polish.hpp"
#include "nn/registry.hpp"
#include "nn/trained_topologies.hpp"
#include "runtime/text.hpp"

namespace korvane {

namespace {

constexpr std::array<std::pair<std::string_view, FitMethod>, 6> kMethods = {{
    {"levenberg_marquardt", FitMethod::LevenbergMarquardt},
    {"particle_swarm", FitMethod::ParticleSwarm},
    {"nelder_mead", FitMethod::NelderMead},
    {"differential_evolution", FitMethod::DifferentialEvolution},
    {"simulated_annealing", FitMethod::SimulatedAnnealing},
    {"basin_hopping", FitMethod::BasinHopping},
}};

// Checks every method makes before evaluating anything, in this order.
Status check_data(const Circuit& circuit, std::span<const double> frequencies,
                  std::span<const Cplx> impedances) {
    if (frequencies.size() != impedances.size()) {
        return Error::value("frequencies and impedances must have the same length");
    }
    if (frequencies.empty()) return Error::value("frequencies and impedances must not be empty");
    if (parameter_count(circuit) == 0) {
        return Error::value("circuit topology has no parameters to fit");
    }
    return ok_status();
}

// The LM settings of a "levenberg_marquardt" fit. max_iterations is
// pointer-sized while the budget is 32-bit: saturate rather than wrap, so a
// huge request means "effectively unlimited", never a budget of 0 → 1.
LmConfig requested_lm_config(const FitSettings& settings) {
    LmConfig config;
    config.ftol = settings.ftol;
    config.xtol = settings.xtol;
    config.gtol = 1e-8;
    const std::size_t budget =
        std::min<std::size_t>(settings.max_iterations, std::numeric_limits<std::uint32_t>::max());
    config.eval_budget = static_cast<std::uint32_t>(std::max<std::size_t>(budget, 1));
    return config;
}

// The derivative-free searches return their best point in parameter
// coordinates and their own iteration count; the polish takes it from there.
struct GlobalSearchResult {
    std::vector<double> best;
    std::uint64_t iterations = 0;
};

Result<GlobalSearchResult> global_search(FitMethod method, const Objective& /*objective*/,
                                         std::span<const double> /*p0*/,
                                         const FitSettings& /*settings*/) {
    return Error::value("solver error: fit method " + quoted(fit_method_name(method)) +
                        " is not implemented in this build");
}

Result<FitOutcome> basin_hopping(const Objective& /*objective*/, const Circuit& /*start*/,
                                 const FitSettings& /*settings*/) {
    return Error::value("solver error: fit method " +
                        quoted(fit_method_name(FitMethod::BasinHopping)) +
                        " is not implemented in this build");
}

}  // namespace

std::string_view fit_method_name(FitMethod method) {
    for (const auto& [name, value] : kMethods) {
        if (value == method) return name;
    }
    return {};
}

Result<FitMethod> parse_fit_method(std::string_view name) {
    for (const auto& [text, method] : kMethods) {
        if (text == name) return method;
    }
    std::string message = "unknown fit method " + quoted(name) + ", expected one of ";
    for (std::size_t i = 0; i < kMethods.size(); ++i) {
        if (i > 0) message += ", ";
        message += '"';
        message += kMethods[i].first;
        message += '"';
    }
    return Error::value(std::move(message));
}

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

Result<FitOutcome> run_fit(const Circuit& start, std::span<const double> frequencies,
                           std::span<const Cplx> impedances, WeightScheme weight,
                           const FitSettings& settings) {
    const Result<FitMethod> method = parse_fit_method(settings.method);
    if (!method) return method.error();
    if (Status data = check_data(start, frequencies, impedances); !data) return data.error();

    if (*method == FitMethod::LevenbergMarquardt) {
        const Result<LmConfig> valid = validate_lm_config(requested_lm_config(settings));
        if (!valid) return valid.error();
    }
    Result<Objective> built = Objective::build(start, frequencies, impedances, weight);
    if (!built) return built.take_error();
    const Objective& objective = *built;

    if (*method == FitMethod::LevenbergMarquardt) {
        return fit_least_squares(objective, start, requested_lm_config(settings));
    }
    if (*method == FitMethod::BasinHopping) return basin_hopping(objective, start, settings);
    const std::vector<double> p0 = param_values(start);
    Result<GlobalSearchResult> search = global_search(*method, objective, p0, settings);
    if (!search) return search.error();
    return polish(objective, start, search->best, search->iterations);
}

}  // namespace korvane
