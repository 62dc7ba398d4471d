// korvane_tools._native: the constrained fit of the companion package, on the
// same core and driver as Circuit.fit (run_fit, one function for both), with
// the interpreter lock released while it fits.
//
// The module cannot reach korvane's Circuit objects; it receives the circuit
// as its text and its values and rebuilds the same tree. Everything about
// names (which parameter is "R1.r", did-you-mean suggestions) stays in
// korvane_tools.constrained; this module takes per-parameter vectors.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "circuit/params.hpp"
#include "fit/constraints.hpp"
#include "fit/driver.hpp"
#include "fit/start_policy.hpp"
#include "nn/trained_topologies.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/fit_arguments.hpp"
#include "python/measured_data.hpp"
#include "python/pickle_state.hpp"
#include "python/py_ref.hpp"
#include "python/py_values.hpp"
#include "python/signal_check.hpp"

namespace korvane::py {
namespace {

// The circuit the caller holds: its text (a trained-topology name resolves as
// in the Circuit constructor), its values and whether they were given.
// The circuit of a Circuit state tuple (korvane.Circuit.__reduce__()[1]): the
// one serialised form korvane's pickling writes, so every circuit korvane can
// hold reaches this module unchanged, labels and values bit for bit.
std::optional<Circuit> rebuild_circuit(PyObject* state) {
    std::optional<CircuitForm> form = circuit_form_from_state(state);
    if (!form) return std::nullopt;
    Result<Circuit> circuit = circuit_from_form(*form);
    if (!circuit) {
        raise_text(PyExc_ValueError, "circuit state: " + circuit.error().message);
        return std::nullopt;
    }
    return std::move(circuit).value();
}

// None, or a sequence of P items each None or a number.
bool convert_fixed(PyObject* object, std::vector<std::optional<double>>& out) {
    if (!given(object)) return true;
    PyRef items = PyRef::steal(PySequence_Fast(object, "argument 'fixed': expected a sequence"));
    if (!items) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (item == Py_None) {
            out.emplace_back();
            continue;
        }
        const std::optional<double> value = to_double(item, "fixed");
        if (!value) return false;
        out.emplace_back(*value);
    }
    return true;
}

// None, or a sequence of P numbers lo, then P numbers hi (two flat vectors
// read more simply than pairs, and the caller has them as arrays).
bool convert_bounds(PyObject* lo_object, PyObject* hi_object, std::vector<Bounds>& out) {
    if (!given(lo_object) && !given(hi_object)) return true;
    const std::optional<std::vector<double>> lo = to_double_vector(lo_object, "lower_bounds");
    if (!lo) return false;
    const std::optional<std::vector<double>> hi = to_double_vector(hi_object, "upper_bounds");
    if (!hi) return false;
    if (lo->size() != hi->size()) {
        raise_text(PyExc_ValueError, "lower and upper bounds differ in length");
        return false;
    }
    for (std::size_t j = 0; j < lo->size(); ++j) out.push_back({(*lo)[j], (*hi)[j]});
    return true;
}

bool convert_sigma(PyObject* object, const char* name, std::vector<double>& out) {
    if (!given(object)) return true;
    std::optional<std::vector<double>> values = to_double_vector(object, name);
    if (!values) return false;
    out = std::move(*values);
    return true;
}

PyObject* optional_float_list(const std::optional<std::vector<double>>& values) {
    if (!values) return Py_NewRef(Py_None);
    return make_float_list(*values);
}

// The outcome as plain values: (params, stderr or None, success, iterations,
// impedance_evals, cost, chi_square).
PyObject* outcome_tuple(const FitOutcome& outcome) {
    PyRef params = PyRef::steal(make_float_list(outcome.params));
    if (!params) return nullptr;
    PyRef errors = PyRef::steal(optional_float_list(outcome.standard_errors));
    if (!errors) return nullptr;
    return Py_BuildValue(
        "(OOOKKdd)", params.get(), errors.get(), outcome.success ? Py_True : Py_False,
        static_cast<unsigned long long>(outcome.iterations),
        static_cast<unsigned long long>(outcome.impedance_evals), outcome.cost, outcome.chi_square);
}

const char kFitDoc[] =
    "fit(circuit_state, data, fit_kwargs, fixed, lower_bounds, upper_bounds, sigma_re, "
    "sigma_im, warn)\n--\n\n"
    "Constrained fit on the driver of Circuit.fit. `circuit_state` is the\n"
    "state of `korvane.Circuit.__reduce__()`, `data` the tuple\n"
    "(frequencies, impedances) and `fit_kwargs` the remaining Circuit.fit\n"
    "arguments, converted exactly as Circuit.fit converts them. `fixed` holds a\n"
    "value or None per parameter, the bounds the effective (lo, hi) per\n"
    "parameter, `sigma_re`/`sigma_im` the measurement standard deviations per\n"
    "point (all four may be None). `warn(text)` is called when no network can\n"
    "guess the start. Returns (params, stderr or None, success, iterations,\n"
    "impedance_evals, cost, chi_square).";

PyObject* native_fit(PyObject* /*module*/, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* state = nullptr;
        PyObject* data = nullptr;
        PyObject* fit_kwargs = nullptr;
        PyObject* fixed_object = nullptr;
        PyObject* lo_object = nullptr;
        PyObject* hi_object = nullptr;
        PyObject* sigma_re_object = nullptr;
        PyObject* sigma_im_object = nullptr;
        PyObject* warn_callable = nullptr;
        if (!PyArg_ParseTuple(args, "O!O!O!OOOOOO:fit", &PyTuple_Type, &state, &PyTuple_Type, &data,
                              &PyDict_Type, &fit_kwargs, &fixed_object, &lo_object, &hi_object,
                              &sigma_re_object, &sigma_im_object, &warn_callable)) {
            return nullptr;
        }
        // The Circuit.fit arguments first, in Circuit.fit's order and words.
        FitArguments arguments;
        if (!parse_fit_arguments(data, fit_kwargs, arguments)) return nullptr;
        std::optional<Circuit> circuit = rebuild_circuit(state);
        if (!circuit) return nullptr;
        std::optional<MeasuredSpectrum> spectrum =
            read_measured_data(arguments.frequencies, arguments.impedances);
        if (!spectrum) return nullptr;
        const Result<WeightScheme> weight = parse_weight_scheme(arguments.weight);
        if (!weight) return raise_error(weight.error());

        FitConstraints constraints;
        if (!convert_fixed(fixed_object, constraints.fixed)) return nullptr;
        if (!convert_bounds(lo_object, hi_object, constraints.bounds)) return nullptr;
        if (!convert_sigma(sigma_re_object, "sigma_re", constraints.sigma_re)) return nullptr;
        if (!convert_sigma(sigma_im_object, "sigma_im", constraints.sigma_im)) return nullptr;
        // Before the guess, so a call that cannot fit neither guesses nor warns.
        if (Status valid =
                validate_constraints(*circuit, spectrum->frequencies.size(), constraints);
            !valid) {
            return raise_error(valid.error());
        }

        // The starting-value policy of Circuit.fit, warning through the
        // caller's function (which may raise: warnings turned into errors).
        const StartChoice choice =
            choose_start(*circuit, arguments.guess_init, arguments.weights.has_value());
        if (choice == StartChoice::WarnAndKeep) {
            PyRef text_object = PyRef::steal(make_str(missing_model_warning()));
            if (!text_object) return nullptr;
            PyRef warned = PyRef::steal(PyObject_CallOneArg(warn_callable, text_object.get()));
            if (!warned) return nullptr;
        }
        const bool guessed =
            choice == StartChoice::GuessWithFile || choice == StartChoice::GuessWithModel;
        // Unlike Circuit.fit, the guess runs with the lock released too: the
        // network is most of a default fit's time, and fit_many's threads
        // scale only if it runs in parallel. The core's model caches are
        // locked on their own; nothing here touches Python objects.
        const Result<FitOutcome> outcome = without_gil_interruptible([&]() -> Result<FitOutcome> {
            Result<Circuit> start = start_circuit(*circuit, choice, spectrum->frequencies,
                                                  spectrum->impedances, arguments.weights);
            if (!start) return start.take_error();
            Result<Circuit> constrained = constrained_start(*start, guessed, constraints);
            if (!constrained) return constrained.take_error();
            return run_fit(*constrained, spectrum->frequencies, spectrum->impedances, *weight,
                           arguments.settings, constraints);
        });
        if (!outcome) return raise_error(outcome.error());
        return outcome_tuple(outcome.value());
    });
}

// fit_many's Ctrl-C: its worker threads never run signal handlers, so the
// batch cancels their running fits through the core's polls instead.
constexpr const char* kCancelDoc =
    "_cancel_fits(on)\n--\n\n"
    "True stops every running fit at its next interrupt poll (KeyboardInterrupt);\n"
    "False ends that cancel. Calls nest: each True needs its False.";

PyObject* native_cancel_fits(PyObject* /*module*/, PyObject* on) {
    const int flag = PyObject_IsTrue(on);
    if (flag < 0) return nullptr;
    if (flag) {
        raise_cancel_all();
    } else {
        lower_cancel_all();
    }
    Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"fit", reinterpret_cast<PyCFunction>(native_fit), METH_VARARGS, kFitDoc},
    {"_cancel_fits", native_cancel_fits, METH_O, kCancelDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kSlots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    // No module state; the core's caches are process-wide and locked, but
    // assume one GIL among the interpreters, as for any non-isolated module.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "korvane_tools._native",
    "Native half of korvane_tools: the constrained fit.",
    0,
    kMethods,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace korvane::py

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&korvane::py::kModule); }
