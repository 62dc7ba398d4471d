#include "python/analysis_methods.hpp"

#include <optional>
#include <string>
#include <vector>

#include "fit/objective.hpp"
#include "python/circuit_type.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/measured_data.hpp"
#include "python/py_values.hpp"

namespace korvane::py {

namespace {

// Everything both methods need once the arguments are converted: the
// parameter vector and the objective over the measured spectrum (which owns
// ω = 2π·f, formed here with the lock held).
struct Evaluation {
    std::vector<double> params;
    MeasuredSpectrum spectrum;
    std::optional<Objective> objective;
};

// Converts in the order params, weight, measured data, weight scheme; the
// first failure raises. nullopt with an exception set on failure.
std::optional<Evaluation> prepare(PyObject* self, PyObject* args, PyObject* kwargs,
                                  const char* format) {
    static const char* keywords[] = {"params", "frequencies", "impedances", "weight", nullptr};
    PyObject* params_object = nullptr;
    PyObject* frequencies = nullptr;
    PyObject* impedances = nullptr;
    PyObject* weight_object = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords),
                                     &params_object, &frequencies, &impedances, &weight_object)) {
        return std::nullopt;
    }
    Evaluation evaluation;
    std::optional<std::vector<double>> params = to_double_vector(params_object, "params");
    if (!params) return std::nullopt;
    evaluation.params = std::move(*params);

    std::string weight = "modulus";
    if (weight_object != nullptr) {
        std::optional<std::string> text = to_text(weight_object, "weight");
        if (!text) return std::nullopt;
        weight = std::move(*text);
    }
    std::optional<MeasuredSpectrum> spectrum = read_measured_data(frequencies, impedances);
    if (!spectrum) return std::nullopt;
    evaluation.spectrum = std::move(*spectrum);

    Result<WeightScheme> scheme = parse_weight_scheme(weight);
    if (!scheme) {
        raise_error(scheme.error());
        return std::nullopt;
    }
    Result<Objective> objective =
        Objective::build(*as_circuit(self), evaluation.spectrum.frequencies,
                         evaluation.spectrum.impedances, *scheme);
    if (!objective) {
        raise_error(objective.error());
        return std::nullopt;
    }
    evaluation.objective.emplace(std::move(objective).value());
    return evaluation;
}

// The objective delivers P columns of 2N; Python wants 2N rows of P, so row
// k is [column_0[k], ..., column_{P-1}[k]].
PyObject* rows_of(const Jacobian& jacobian) {
    if (jacobian.cols == 0) return PyList_New(0);
    PyRef rows = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(jacobian.rows)));
    if (!rows) return nullptr;
    for (std::size_t k = 0; k < jacobian.rows; ++k) {
        PyRef row = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(jacobian.cols)));
        if (!row) return nullptr;
        for (std::size_t j = 0; j < jacobian.cols; ++j) {
            PyObject* value = PyFloat_FromDouble(jacobian.at(k, j));
            if (value == nullptr) return nullptr;
            PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(j), value);
        }
        PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(k), row.release());
    }
    return rows.release();
}

}  // namespace

PyObject* circuit_residuals(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::optional<Evaluation> evaluation = prepare(self, args, kwargs, "OO|OO:residuals");
        if (!evaluation) return nullptr;
        const Result<std::vector<double>> residuals =
            without_gil([&] { return evaluation->objective->residuals(evaluation->params); });
        if (!residuals) return raise_error(residuals.error());
        return make_float_list(*residuals);
    });
}

PyObject* circuit_jacobian(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::optional<Evaluation> evaluation = prepare(self, args, kwargs, "OO|OO:jacobian");
        if (!evaluation) return nullptr;
        const Result<Jacobian> jacobian =
            without_gil([&] { return evaluation->objective->jacobian(evaluation->params); });
        if (!jacobian) return raise_error(jacobian.error());
        return rows_of(*jacobian);
    });
}

}  // namespace korvane::py
