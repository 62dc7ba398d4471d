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
#include "fit/basin_hopping.hpp"
#include "fit/differential_evolution.hpp"
#include "fit/global_search.hpp"
#include "fit/least_squares_fit.hpp"
#include "fit/lm.hpp"
#include "fit/nelder_mead.hpp"
#include "fit/particle_swarm.hpp"
#include "fit/polish.hpp"
#include "fit/simulated_annealing.hpp"
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

// The four searches return their best point in parameter coordinates and
// their own iteration count; the polish takes it from there.
Result<SearchOutcome> global_search(FitMethod method, const Objective& objective,
                                    std::span<const double> p0, const FitSettings& settings) {
    switch (method) {
        case FitMethod::ParticleSwarm:
            return particle_swarm(objective, p0,
                                  {settings.num_particles, settings.generations, settings.seed});
        case FitMethod::SimulatedAnnealing:
            return simulated_annealing(
                objective, p0,
                {settings.sa_iterations, settings.sa_initial_temperature, settings.seed});
        case FitMethod::NelderMead:
            return nelder_mead(objective, p0, settings.nelder_mead_iterations);
        case FitMethod::DifferentialEvolution:
            return differential_evolution(objective, p0, settings.de_evaluations);
        case FitMethod::LevenbergMarquardt:
        case FitMethod::BasinHopping:
            break;
    }
    return Error::internal("no derivative-free search for fit method " +
                           quoted(fit_method_name(method)));
}

HoppingSettings hopping_settings(const FitSettings& settings) {
    return {settings.basin_hopping_hops, settings.basin_hopping_step_size,
            settings.basin_hopping_temperature, settings.seed};
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

    if (*method == FitMethod::LevenbergMarquardt) {
        return fit_least_squares(objective, start, requested_lm_config(settings));
    }
    if (*method == FitMethod::BasinHopping) {
        return basin_hopping(objective, start, hopping_settings(settings));
    }
    // The searches move the unknowns only: fixed parameters are not theirs.
    const std::vector<double> p0 = objective.free_values(param_values(start));
    Result<SearchOutcome> search = global_search(*method, objective, p0, settings);
    if (!search) return search.error();
    return polish(objective, start, search->best, search->iterations);
}

}  // namespace korvane
