#include "python/fit_binding.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "circuit/params.hpp"
#include "fit/driver.hpp"
#include "fit/objective.hpp"
#include "nn/registry.hpp"
#include "python/circuit_type.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/fit_result_type.hpp"
#include "python/measured_data.hpp"
#include "python/py_values.hpp"

namespace korvane::py {

const char kGuessDoc[] =
    "guess($self, frequencies, impedances=None, weights=None)\n--\n\n"
    "Machine-learning guess of starting parameters for this circuit's\n"
    "topology, in `param_names()` order.\n"
    "\n"
    "Series and parallel elements may be written with any order and labels:\n"
    "`(R1,C2)-R3` uses the same model as `R0-(R1,C1)`. `K` and `Zarc` reach\n"
    "the models trained on the pairs they abbreviate, so `R0-Zarc1` uses the\n"
    "`R0-(R1,CPE1)` model and gets its guess back as `r`, `tau_k`, `gamma`.\n"
    "\n"
    "`weights` loads a `.eisnn` file from disk instead of looking for a\n"
    "bundled model.\n"
    "\n"
    "Raises if no model has been trained for this topology, or if `weights`\n"
    "was trained for a different one.";

const char kFitDoc[] =
    "fit($self, frequencies, impedances=None, guess_init=None, weights=None, "
    "weight=\"modulus\", method=\"levenberg_marquardt\", max_iterations=200, ftol=1e-8, "
    "xtol=1e-8, num_particles=200, generations=1000, nelder_mead_iterations=2000, "
    "de_evaluations=20000, sa_iterations=5000, sa_initial_temperature=2.0, "
    "basin_hopping_hops=20, basin_hopping_step_size=1.0, basin_hopping_temperature=1.0, "
    "seed=None)\n--\n\n"
    "Fit this circuit's parameters to a measured spectrum.\n"
    "\n"
    "Accepts two sequences of frequencies and impedances, or a single battery\n"
    "data format dataframe (`impedances` left as None).\n"
    "\n"
    "`guess_init` unset means start from a machine-learning guess whenever the\n"
    "circuit is not explicitly given starting parameters. If no model has been\n"
    "trained for the topology it warns and starts from placeholder values.\n"
    "\n"
    "`True` always guesses, and raises rather than warns when it cannot.\n"
    "`False` never guesses.";

namespace {

const Circuit& circuit_of(PyObject* self) { return *as_circuit(self); }

bool given(PyObject* object) { return object != nullptr && object != Py_None; }

// Optional text argument: absent or None is "not given".
bool convert_optional_text(PyObject* object, const char* name, std::optional<std::string>& out) {
    if (!given(object)) return true;
    out = to_text(object, name);
    return out.has_value();
}

template <class T, class Convert>
bool convert_into(PyObject* object, const char* name, T& out, Convert convert) {
    if (object == nullptr) return true;  // keep the default
    std::optional<T> value = convert(object, name);
    if (!value) return false;
    out = *value;
    return true;
}

// The fit arguments after conversion, in their positional order.
struct FitArguments {
    PyObject* frequencies = nullptr;
    PyObject* impedances = nullptr;
    GuessInit guess_init = GuessInit::Unset;
    std::optional<std::string> weights;
    std::string weight = "modulus";
    FitSettings settings;
};

bool parse_fit_arguments(PyObject* args, PyObject* kwargs, FitArguments& out) {
    static const char* keywords[] = {"frequencies",
                                     "impedances",
                                     "guess_init",
                                     "weights",
                                     "weight",
                                     "method",
                                     "max_iterations",
                                     "ftol",
                                     "xtol",
                                     "num_particles",
                                     "generations",
                                     "nelder_mead_iterations",
                                     "de_evaluations",
                                     "sa_iterations",
                                     "sa_initial_temperature",
                                     "basin_hopping_hops",
                                     "basin_hopping_step_size",
                                     "basin_hopping_temperature",
                                     "seed",
                                     nullptr};
    PyObject* o[19] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOOOOOOOOOOOOOO:fit",
                                     const_cast<char**>(keywords), &o[0], &o[1], &o[2], &o[3],
                                     &o[4], &o[5], &o[6], &o[7], &o[8], &o[9], &o[10], &o[11],
                                     &o[12], &o[13], &o[14], &o[15], &o[16], &o[17], &o[18])) {
        return false;
    }
    out.frequencies = o[0];
    out.impedances = o[1];
    if (given(o[2])) {
        const std::optional<bool> guess = to_bool(o[2], "guess_init");
        if (!guess) return false;
        out.guess_init = *guess ? GuessInit::Always : GuessInit::Never;
    }
    FitSettings& s = out.settings;
    if (!convert_optional_text(o[3], "weights", out.weights)) return false;
    if (!convert_into(o[4], "weight", out.weight, to_text)) return false;
    if (!convert_into(o[5], "method", s.method, to_text)) return false;
    if (!convert_into(o[6], "max_iterations", s.max_iterations, to_size)) return false;
    if (!convert_into(o[7], "ftol", s.ftol, to_double)) return false;
    if (!convert_into(o[8], "xtol", s.xtol, to_double)) return false;
    if (!convert_into(o[9], "num_particles", s.num_particles, to_size)) return false;
    if (!convert_into(o[10], "generations", s.generations, to_u64)) return false;
    if (!convert_into(o[11], "nelder_mead_iterations", s.nelder_mead_iterations, to_u64)) {
        return false;
    }
    if (!convert_into(o[12], "de_evaluations", s.de_evaluations, to_size)) return false;
    if (!convert_into(o[13], "sa_iterations", s.sa_iterations, to_u64)) return false;
    if (!convert_into(o[14], "sa_initial_temperature", s.sa_initial_temperature, to_double)) {
        return false;
    }
    if (!convert_into(o[15], "basin_hopping_hops", s.basin_hopping_hops, to_size)) return false;
    if (!convert_into(o[16], "basin_hopping_step_size", s.basin_hopping_step_size, to_double)) {
        return false;
    }
    if (!convert_into(o[17], "basin_hopping_temperature", s.basin_hopping_temperature, to_double)) {
        return false;
    }
    if (given(o[18])) {
        const std::optional<std::uint64_t> seed = to_u64(o[18], "seed");
        if (!seed) return false;
        s.seed = *seed;
    }
    return true;
}

std::vector<std::pair<std::string, double>> by_name(const std::vector<std::string>& names,
                                                    const std::vector<double>& values) {
    std::vector<std::pair<std::string, double>> pairs;
    pairs.reserve(values.size());
    for (std::size_t j = 0; j < values.size() && j < names.size(); ++j) {
        pairs.emplace_back(names[j], values[j]);
    }
    return pairs;
}

PyObject* make_result(FitOutcome outcome) {
    const std::vector<std::string> names = param_names(outcome.circuit);
    FitResultData data;
    data.params = by_name(names, outcome.params);
    if (outcome.standard_errors) data.standard_errors = by_name(names, *outcome.standard_errors);
    data.circuit = std::move(outcome.circuit);
    data.success = outcome.success;
    data.iterations = outcome.iterations;
    data.impedance_evals = outcome.impedance_evals;
    data.cost = outcome.cost;
    data.chi_square = outcome.chi_square;
    return make_fit_result(std::move(data));
}

}  // namespace

PyObject* circuit_guess(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"frequencies", "impedances", "weights", nullptr};
        PyObject* frequencies = nullptr;
        PyObject* impedances = nullptr;
        PyObject* weights_object = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:guess", const_cast<char**>(keywords),
                                         &frequencies, &impedances, &weights_object)) {
            return nullptr;
        }
        std::optional<std::string> weights;
        if (!convert_optional_text(weights_object, "weights", weights)) return nullptr;
        std::optional<MeasuredSpectrum> data = read_measured_data(frequencies, impedances);
        if (!data) return nullptr;
        // The network runs with the lock held: it is quick next to a fit, and
        // a user weight file is read under the registry's own lock.
        Result<std::vector<double>> guess =
            guess_parameters(circuit_of(self), data->frequencies, data->impedances, weights);
        if (!guess) return raise_error(guess.error());
        return make_float_list(*guess);
    });
}

PyObject* circuit_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        FitArguments arguments;
        if (!parse_fit_arguments(args, kwargs, arguments)) return nullptr;
        std::optional<MeasuredSpectrum> data =
            read_measured_data(arguments.frequencies, arguments.impedances);
        if (!data) return nullptr;
        const Result<WeightScheme> weight = parse_weight_scheme(arguments.weight);
        if (!weight) return raise_error(weight.error());

        // The warning goes through Python's machinery, which may turn it into
        // an exception (warnings.simplefilter("error")): then that exception
        // is the result and nothing is fitted.
        bool warning_raised = false;
        auto warn = [&](const std::string& text) -> Status {
            if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) < 0) {
                warning_raised = true;
                return Error::value("warning raised");
            }
            return ok_status();
        };
        Result<Circuit> start =
            prepare_start(circuit_of(self), arguments.guess_init, arguments.weights,
                          data->frequencies, data->impedances, warn);
        if (!start) return warning_raised ? nullptr : raise_error(start.error());

        std::optional<Result<FitOutcome>> outcome;
        {
            GilRelease unlocked;
            outcome.emplace(
                run_fit(*start, data->frequencies, data->impedances, *weight, arguments.settings));
        }
        if (!*outcome) return raise_error(outcome->error());
        return make_result(std::move(outcome->value()));
    });
}

}  // namespace korvane::py
