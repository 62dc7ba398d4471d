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
#include "fit/start_policy.hpp"
#include "nn/registry.hpp"
#include "python/circuit_type.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/fit_arguments.hpp"
#include "python/fit_result_type.hpp"
#include "python/measured_data.hpp"
#include "python/py_values.hpp"
#include "python/signal_check.hpp"

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

const char* fit_doc() {
    static const std::string doc =
        "fit($self, " + fit_parameter_text() + ")\n--\n\n" +
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
    return doc.c_str();
}

namespace {

const Circuit& circuit_of(PyObject* self) { return *as_circuit(self); }

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

        const Circuit& circuit = circuit_of(self);
        const StartChoice choice =
            choose_start(circuit, arguments.guess_init, arguments.weights.has_value());
        // The warning goes through Python's machinery, which may turn it into
        // an exception (warnings.simplefilter("error")): then that exception
        // is the result and nothing is fitted.
        if (choice == StartChoice::WarnAndKeep &&
            PyErr_WarnEx(PyExc_UserWarning, missing_model_warning().c_str(), 1) < 0) {
            return nullptr;
        }
        // The guess holds the lock, as in circuit_guess.
        const Result<Circuit> start =
            start_circuit(circuit, choice, data->frequencies, data->impedances, arguments.weights);
        if (!start) return raise_error(start.error());

        Result<FitOutcome> outcome = without_gil_interruptible([&] {
            return run_fit(*start, data->frequencies, data->impedances, *weight,
                           arguments.settings);
        });
        if (!outcome) return raise_error(outcome.error());
        return make_result(std::move(outcome.value()));
    });
}

}  // namespace korvane::py
