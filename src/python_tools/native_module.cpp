// korvane_tools._native: the constrained fit of the companion package, on the
// same core and driver as Circuit.fit (run_fit, one function for both), with
// the interpreter lock released while it fits.
//
// Both this module and korvane load the one core library, so korvane's
// Circuit objects hold core Circuits this module can read in place: the
// caller hands over the Circuit itself, checked to be korvane's type.
// Everything about names (which parameter is "R1.r", did-you-mean
// suggestions) stays in korvane_tools.constrained; this module takes
// per-parameter vectors.

#include <dlfcn.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "circuit/params.hpp"
#include "fit/constraints.hpp"
#include "fit/driver.hpp"
#include "fit/start_policy.hpp"
#include "nn/embedded_models.hpp"
#include "python/circuit_type.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/fit_arguments.hpp"
#include "python/measured_data.hpp"
#include "python/py_ref.hpp"
#include "python/py_values.hpp"
#include "python/signal_check.hpp"
#include "runtime/pool.hpp"

namespace korvane::py {
namespace {

// korvane.Circuit, looked up when the module is executed and kept for the
// life of the process (korvane's types are never released either).
PyTypeObject* g_circuit_type = nullptr;
// The outcome record fit() returns.
PyTypeObject* g_outcome_type = nullptr;

// korvane.Circuit, if it is the type whose instances are CircuitObjects: the
// name and the instance size guard against a korvane from another build.
bool find_circuit_type() {
    if (g_circuit_type != nullptr) return true;
    PyRef korvane = PyRef::steal(PyImport_ImportModule("korvane"));
    if (!korvane) return false;
    PyRef type = PyRef::steal(PyObject_GetAttrString(korvane.get(), "Circuit"));
    if (!type) return false;
    if (!PyType_Check(type.get()) ||
        std::string_view(reinterpret_cast<PyTypeObject*>(type.get())->tp_name) !=
            "korvane.Circuit" ||
        reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize !=
            static_cast<Py_ssize_t>(sizeof(CircuitObject))) {
        PyErr_SetString(PyExc_ImportError,
                        "korvane_tools._native: korvane.Circuit is not the Circuit of this build");
        return false;
    }
    g_circuit_type = reinterpret_cast<PyTypeObject*>(type.release());
    return true;
}

const Circuit* circuit_argument(PyObject* object) {
    if (!Py_IS_TYPE(object, g_circuit_type)) {
        PyErr_Format(PyExc_TypeError, "circuit must be a korvane.Circuit, got %s",
                     Py_TYPE(object)->tp_name);
        return nullptr;
    }
    return &reinterpret_cast<CircuitObject*>(object)->circuit;
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

PyStructSequence_Field kOutcomeFields[] = {
    {"params", "fitted value per parameter, in param_names() order"},
    {"stderr", "standard error per parameter, or None"},
    {"success", "whether the fit converged"},
    {"iterations", "solver iterations"},
    {"impedance_evals", "circuit evaluations over the spectrum"},
    {"cost", "half the sum of squared residuals"},
    {"chi_square", "sum of squared residuals"},
    {nullptr, nullptr},
};

PyStructSequence_Desc kOutcomeDesc = {
    "korvane_tools._native.FitOutcome",
    "What fit() returns: the fitted values and the fit's figures.",
    kOutcomeFields,
    7,
};

PyObject* make_outcome(const FitOutcome& outcome) {
    PyRef record = PyRef::steal(PyStructSequence_New(g_outcome_type));
    if (!record) return nullptr;
    PyObject* items[] = {
        make_float_list(outcome.params),
        optional_float_list(outcome.standard_errors),
        Py_NewRef(outcome.success ? Py_True : Py_False),
        PyLong_FromUnsignedLongLong(outcome.iterations),
        PyLong_FromUnsignedLongLong(outcome.impedance_evals),
        PyFloat_FromDouble(outcome.cost),
        PyFloat_FromDouble(outcome.chi_square),
    };
    bool complete = true;
    for (Py_ssize_t i = 0; i < 7; ++i) {
        complete = complete && items[i] != nullptr;
        // Steals the item; an empty slot is released with the record.
        PyStructSequence_SetItem(record.get(), i, items[i]);
    }
    return complete ? record.release() : nullptr;
}

const char kFitDoc[] =
    "fit(circuit, data, fit_kwargs, fixed, lower_bounds, upper_bounds, sigma_re, "
    "sigma_im, warn)\n--\n\n"
    "Constrained fit on the driver of Circuit.fit. `circuit` is a\n"
    "korvane.Circuit, `data` the tuple (frequencies, impedances) and\n"
    "`fit_kwargs` the remaining Circuit.fit arguments, converted exactly as\n"
    "Circuit.fit converts them. `fixed` holds a value or None per parameter,\n"
    "the bounds the effective (lo, hi) per parameter, `sigma_re`/`sigma_im`\n"
    "the measurement standard deviations per point (all four may be None).\n"
    "`warn(text)` is called when no network can guess the start. Returns a\n"
    "FitOutcome.";

PyObject* native_fit(PyObject* /*module*/, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* circuit_object = nullptr;
        PyObject* data = nullptr;
        PyObject* fit_kwargs = nullptr;
        PyObject* fixed_object = nullptr;
        PyObject* lo_object = nullptr;
        PyObject* hi_object = nullptr;
        PyObject* sigma_re_object = nullptr;
        PyObject* sigma_im_object = nullptr;
        PyObject* warn_callable = nullptr;
        if (!PyArg_ParseTuple(args, "OO!O!OOOOOO:fit", &circuit_object, &PyTuple_Type, &data,
                              &PyDict_Type, &fit_kwargs, &fixed_object, &lo_object, &hi_object,
                              &sigma_re_object, &sigma_im_object, &warn_callable)) {
            return nullptr;
        }
        // The Circuit.fit arguments first, in Circuit.fit's order and words.
        FitArguments arguments;
        if (!parse_fit_arguments(data, fit_kwargs, arguments)) return nullptr;
        // Immutable and kept alive by the caller's reference for the call,
        // so it is read in place, with the lock released too.
        const Circuit* circuit = circuit_argument(circuit_object);
        if (circuit == nullptr) return nullptr;
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
        return make_outcome(outcome.value());
    });
}

// Where the core the calling module uses lives, and what it has done: a
// process that holds one core reports one library, and the pool's count
// grows with work korvane does as well.
PyObject* native_core_diagnostics(PyObject* /*module*/, PyObject* /*args*/) {
    return guarded([&]() -> PyObject* {
        Dl_info code{};
        Dl_info weights{};
        const std::vector<EmbeddedModel>& models = embedded_models();
        if (dladdr(reinterpret_cast<void*>(&pool_calls), &code) == 0 || models.empty() ||
            dladdr(models.front().bytes.data(), &weights) == 0) {
            return raise_text(PyExc_RuntimeError, "the core library cannot be located");
        }
        return Py_BuildValue("{s:s,s:s,s:K,s:n}", "library", code.dli_fname, "weights",
                             weights.dli_fname, "pool_calls",
                             static_cast<unsigned long long>(pool_calls()), "pool_size",
                             static_cast<Py_ssize_t>(pool_size()));
    });
}

// Circuit.fit's arguments as (name, default text or None when required), in
// positional order: the one table the stub and the guide are checked against.
PyObject* native_fit_keywords(PyObject* /*module*/, PyObject* /*args*/) {
    return guarded([&]() -> PyObject* {
        PyRef rows = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(kFitKeywords.size())));
        if (!rows) return nullptr;
        for (std::size_t i = 0; i < kFitKeywords.size(); ++i) {
            const FitKeyword& keyword = kFitKeywords[i];
            PyObject* row =
                keyword.default_text.empty()
                    ? Py_BuildValue("(sO)", keyword.name, Py_None)
                    : Py_BuildValue("(ss#)", keyword.name, keyword.default_text.data(),
                                    static_cast<Py_ssize_t>(keyword.default_text.size()));
            if (row == nullptr) return nullptr;
            PyTuple_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i), row);
        }
        return rows.release();
    });
}

PyObject* str_of(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// The dataframe column spellings Circuit.fit reads: {role: (spelling, ...)},
// tried in that order.
PyObject* native_column_spellings(PyObject* /*module*/, PyObject* /*args*/) {
    return guarded([&]() -> PyObject* {
        PyRef table = PyRef::steal(PyDict_New());
        if (!table) return nullptr;
        for (const ColumnSpellings& column : kColumnSpellings) {
            PyRef human = PyRef::steal(str_of(column.human));
            PyRef snake = PyRef::steal(str_of(column.snake));
            PyRef role = PyRef::steal(str_of(column.role));
            if (!human || !snake || !role) return nullptr;
            PyRef pair = PyRef::steal(PyTuple_Pack(2, human.get(), snake.get()));
            if (!pair || PyDict_SetItem(table.get(), role.get(), pair.get()) < 0) return nullptr;
        }
        return table.release();
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
    {"_core_diagnostics", native_core_diagnostics, METH_NOARGS,
     "The core library's path, the file holding the weights, the pool's call count and size."},
    {"_column_spellings", native_column_spellings, METH_NOARGS,
     "The dataframe column spellings Circuit.fit reads, {role: (spelling, ...)}."},
    {"_fit_keywords", native_fit_keywords, METH_NOARGS,
     "Circuit.fit's arguments: (name, default text or None) in positional order."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    if (!find_circuit_type()) return -1;
    if (g_outcome_type == nullptr) {
        g_outcome_type = PyStructSequence_NewType(&kOutcomeDesc);
        if (g_outcome_type == nullptr) return -1;
    }
    return PyModule_AddObjectRef(module, "FitOutcome", reinterpret_cast<PyObject*>(g_outcome_type));
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // korvane serves one interpreter per process, and so does this module,
    // which holds korvane's Circuit type.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
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
