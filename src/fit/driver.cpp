// The fit driver: method dispatch, checks, and the
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
#include "fit/lm/lm.hpp"
#include "fit/polish.hpp"
#include "fit/search/basin_hopping.hpp"
#include "fit/search/differential_evolution.hpp"
#include "fit/search/global_search.hpp"
#include "fit/search/nelder_mead.hpp"
#include "fit/search/particle_swarm.hpp"
#include "fit/search/simulated_annealing.hpp"
#include "runtime/text.hpp"

namespace korvane {

namespace {

// Every method by name; the derivative-free ones with their search, which
// the least-squares polish follows.
struct MethodEntry {
    std::string_view name;
    FitMethod method;
    SearchMethod search;  // null for the least-squares fit itself
};

constexpr std::array<MethodEntry, 6> kMethods = {{
    {"levenberg_marquardt", FitMethod::LevenbergMarquardt, nullptr},
    {"particle_swarm", FitMethod::ParticleSwarm, particle_swarm},
    {"nelder_mead", FitMethod::NelderMead, nelder_mead},
    {"differential_evolution", FitMethod::DifferentialEvolution, differential_evolution},
    {"simulated_annealing", FitMethod::SimulatedAnnealing, simulated_annealing},
    {"basin_hopping", FitMethod::BasinHopping, basin_hopping},
}};

const MethodEntry& entry_of(FitMethod method) {
    for (const MethodEntry& entry : kMethods) {
        if (entry.method == method) return entry;
    }
    return kMethods[0];
}

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

// The LM settings of a "levenberg_marquardt" fit. lm_eval_budget is
// pointer-sized while the budget is 32-bit: saturate rather than wrap, so a
// huge request means "effectively unlimited", never a budget of 0 → 1.
LmConfig requested_lm_config(const FitSettings& settings) {
    LmConfig config;
    config.ftol = settings.ftol;
    config.xtol = settings.xtol;
    config.gtol = 1e-8;
    const std::size_t budget =
        std::min<std::size_t>(settings.lm_eval_budget, std::numeric_limits<std::uint32_t>::max());
    config.eval_budget = static_cast<std::uint32_t>(std::max<std::size_t>(budget, 1));
    return config;
}

}  // namespace

std::string_view fit_method_name(FitMethod method) {
    for (const MethodEntry& entry : kMethods) {
        if (entry.method == method) return entry.name;
    }
    return {};
}

Result<FitMethod> parse_fit_method(std::string_view name) {
    for (const MethodEntry& entry : kMethods) {
        if (entry.name == name) return entry.method;
    }
    std::string message = "unknown fit method " + quoted(name) + ", expected one of ";
    for (std::size_t i = 0; i < kMethods.size(); ++i) {
        if (i > 0) message += ", ";
        message += '"';
        message += kMethods[i].name;
        message += '"';
    }
    return Error::value(std::move(message));
}

Result<FitOutcome> run_fit(const Circuit& start, std::span<const double> frequencies,
                           std::span<const Cplx> impedances, WeightScheme weight,
                           const FitSettings& settings, const FitConstraints& constraints) {
    const Result<FitMethod> method = parse_fit_method(settings.method);
    if (!method) return method.error();
    if (Status data = check_data(start, frequencies, impedances); !data) return data.error();
    if (Status valid = validate_constraints(start, frequencies.size(), constraints); !valid) {
        return valid.error();
    }

    if (*method == FitMethod::LevenbergMarquardt) {
        const Result<LmConfig> valid = validate_lm_config(requested_lm_config(settings));
        if (!valid) return valid.error();
    }
    Result<Objective> built = Objective::build(start, frequencies, impedances, weight, constraints);
    if (!built) return built.take_error();
    const Objective& objective = *built;

    const SearchMethod search_method = entry_of(*method).search;
    if (search_method == nullptr) {
        return fit_least_squares(objective, start, requested_lm_config(settings));
    }
    // The searches move the unknowns only: fixed parameters are not theirs.
    const std::vector<double> p0 = objective.free_values(param_values(start));
    Result<SearchOutcome> search = search_method(objective, p0, settings);
    if (!search) return search.error();
    if (search->fitted) return std::move(*search->fitted);
    return polish(objective, start, search->best, search->iterations);
}

}  // namespace korvane
