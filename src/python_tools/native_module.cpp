// korvane_tools._native: the constrained fit of the companion package, on the
// same core and driver as Circuit.fit (run_fit, one function for both), with
// the interpreter lock released while it fits.
//
// Both this module and korvane load the one core library, so korvane's
// Circuit objects hold core Circuits this module can read in place (and
// make: the fitted circuit): the caller hands over the Circuit itself,
// checked to be korvane's type.
//
// A small fit from an explicit start takes some 30 µs, so the common case
// runs here from end to end: the parameters named in `fixed` and `bounds`
// are looked up here and the result's fields come back ready-made. What is
// not in that plain form — unknown names, values that are not numbers, data
// with points no fit can use — sends the call back to
// korvane_tools.constrained, which owns the messages (did-you-mean
// suggestions, rows at fault) and calls again with the plain form.

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <new>
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
#include "python_tools/nnls_gram_binding.hpp"
#include "runtime/pool.hpp"

namespace korvane::py {
namespace {

// korvane.Circuit, looked up when the module is executed and kept for the
// life of the process (korvane's types are never released either).
PyTypeObject* g_circuit_type = nullptr;

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

// Whether the constraints were in the plain form read here. Anything else is
// left to the Python layer: it names what is wrong (unknown names with a
// suggestion) or rewrites the constraints in the plain form and calls again,
// so the messages live in one place.
enum class Reading { Read, NotPlain };

// A float (NumPy's float64 is one) or an int, as float() reads it; anything
// else is not plain.
bool plain_number(PyObject* object, double& out) {
    if (PyFloat_Check(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    if (!PyLong_CheckExact(object)) return false;
    out = PyLong_AsDouble(object);
    if (out == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();  // too large for a double: the Python layer raises float()'s error
        return false;
    }
    return true;
}

// The circuit's parameter names as str objects, made once per fit: they
// look up the caller's keys and key every dictionary of the result.
struct ParameterNames {
    std::vector<std::string> text;
    std::vector<PyRef> objects;

    // The index of `key`, an exact str, or nullopt.
    std::optional<std::size_t> find(PyObject* key) const {
        if (!PyUnicode_CheckExact(key)) return std::nullopt;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
        if (utf8 == nullptr) {
            PyErr_Clear();  // lone surrogates: no parameter is named so
            return std::nullopt;
        }
        const std::string_view wanted(utf8, static_cast<std::size_t>(size));
        for (std::size_t j = 0; j < text.size(); ++j) {
            if (text[j] == wanted) return j;
        }
        return std::nullopt;
    }
};

bool make_names(const Circuit& circuit, ParameterNames& names) {
    names.text = param_names(circuit);
    names.objects.reserve(names.text.size());
    for (const std::string& name : names.text) {
        names.objects.push_back(PyRef::steal(make_str(name)));
        if (!names.objects.back()) return false;
    }
    return true;
}

// `fixed`: None, a dict {name: number}, or a list or tuple of names held at
// the circuit's values.
Reading read_fixed(PyObject* fixed, const Circuit& circuit, const ParameterNames& names,
                   std::vector<std::optional<double>>& out) {
    if (!given(fixed)) return Reading::Read;
    out.assign(names.text.size(), std::nullopt);
    if (PyDict_CheckExact(fixed)) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(fixed, &position, &key, &value)) {
            const std::optional<std::size_t> j = names.find(key);
            double number = 0.0;
            if (!j || !plain_number(value, number)) return Reading::NotPlain;
            out[*j] = number;
        }
    } else if (PyList_CheckExact(fixed) || PyTuple_CheckExact(fixed)) {
        const std::vector<double> values = param_values(circuit);
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fixed); ++i) {
            const std::optional<std::size_t> j = names.find(PySequence_Fast_GET_ITEM(fixed, i));
            if (!j) return Reading::NotPlain;
            out[*j] = values[*j];
        }
    } else {
        return Reading::NotPlain;
    }
    if (std::none_of(out.begin(), out.end(), [](const auto& v) { return v.has_value(); })) {
        out.clear();  // nothing held: the plain fit
    }
    return Reading::Read;
}

// One side of a bound: None keeps the physical one.
bool plain_side(PyObject* side, double physical, double& out) {
    if (side == Py_None) {
        out = physical;
        return true;
    }
    return plain_number(side, out);
}

// `bounds`: None, or a dict {name: (lo, hi)} of parameters not held fixed.
// Read into the bounds of every parameter, physical where none was given.
Reading read_bounds(PyObject* bounds, const ParameterNames& names,
                    const std::vector<Bounds>& physical,
                    const std::vector<std::optional<double>>& fixed, std::vector<Bounds>& out) {
    if (!given(bounds)) return Reading::Read;
    if (!PyDict_CheckExact(bounds)) return Reading::NotPlain;
    if (PyDict_GET_SIZE(bounds) == 0) return Reading::Read;
    out = physical;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* pair = nullptr;
    while (PyDict_Next(bounds, &position, &key, &pair)) {
        const std::optional<std::size_t> j = names.find(key);
        if (!j || (!fixed.empty() && fixed[*j]) ||
            !(PyTuple_CheckExact(pair) || PyList_CheckExact(pair)) ||
            PySequence_Fast_GET_SIZE(pair) != 2 ||
            !plain_side(PySequence_Fast_GET_ITEM(pair, 0), physical[*j].lo, out[*j].lo) ||
            !plain_side(PySequence_Fast_GET_ITEM(pair, 1), physical[*j].hi, out[*j].hi)) {
            return Reading::NotPlain;
        }
    }
    return Reading::Read;
}

// Data a fit can only turn into NaN: no points, a frequency not positive
// and finite, an impedance not finite. The Python layer names the rows.
bool fittable(const MeasuredSpectrum& spectrum) {
    if (spectrum.frequencies.empty()) return false;
    for (const double f : spectrum.frequencies) {
        if (!(f > 0.0 && std::isfinite(f))) return false;
    }
    for (const Cplx& z : spectrum.impedances) {
        if (!(std::isfinite(z.re) && std::isfinite(z.im))) return false;
    }
    return true;
}

// The keys of the result's fields, in the order ConstrainedFitResult
// declares them: made once, as every fit uses all of them.
enum Field {
    kCircuit,
    kParams,
    kStderr,
    kSuccess,
    kIterations,
    kImpedanceEvals,
    kCost,
    kChiSquare,
    kFixed,
    kAtBound,
    kBounds,
    kFieldCount
};
constexpr std::array<const char*, kFieldCount> kFieldNames = {
    "circuit", "params",     "stderr", "success",  "iterations", "impedance_evals",
    "cost",    "chi_square", "fixed",  "at_bound", "bounds",
};
std::array<PyObject*, kFieldCount> g_field_keys{};

bool make_field_keys() {
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        if (g_field_keys[i] != nullptr) continue;
        g_field_keys[i] = PyUnicode_InternFromString(kFieldNames[i]);
        if (g_field_keys[i] == nullptr) return false;
    }
    return true;
}

// A new korvane.Circuit owning `circuit`, as korvane itself makes one: both
// modules share the core, and find_circuit_type checked the layout.
PyObject* wrap_korvane_circuit(Circuit circuit) {
    PyObject* self = g_circuit_type->tp_alloc(g_circuit_type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<CircuitObject*>(self)->circuit) Circuit(std::move(circuit));
    return self;
}

// {name: value} over the parameters.
PyObject* by_name(const ParameterNames& names, const std::vector<double>& values) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t j = 0; j < names.objects.size() && j < values.size(); ++j) {
        PyRef value = PyRef::steal(PyFloat_FromDouble(values[j]));
        if (!value || PyDict_SetItem(dict.get(), names.objects[j].get(), value.get()) < 0) {
            return nullptr;
        }
    }
    return dict.release();
}

// The names of the parameters where `pick(j)` holds, in parameter order.
template <typename Pick>
PyObject* names_where(const ParameterNames& names, Pick pick) {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (std::size_t j = 0; j < names.objects.size(); ++j) {
        if (pick(j) && PyList_Append(list.get(), names.objects[j].get()) < 0) return nullptr;
    }
    return PyList_AsTuple(list.get());
}

// {name: (lo, hi)} of the bounds the fit searched in.
PyObject* bounds_by_name(const ParameterNames& names, const std::vector<Bounds>& bounds) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t j = 0; j < names.objects.size() && j < bounds.size(); ++j) {
        PyRef pair = PyRef::steal(Py_BuildValue("(dd)", bounds[j].lo, bounds[j].hi));
        if (!pair || PyDict_SetItem(dict.get(), names.objects[j].get(), pair.get()) < 0) {
            return nullptr;
        }
    }
    return dict.release();
}

// The fields of ConstrainedFitResult a fit determines, as a dict the Python
// layer adopts as the result's own: at_bound lists the free parameters whose
// value equals a side of the bounds searched in.
PyObject* make_result_fields(FitOutcome outcome, const ParameterNames& names,
                             const FitConstraints& constraints,
                             const std::vector<Bounds>& searched) {
    const std::vector<double>& p = outcome.params;
    const auto is_fixed = [&](std::size_t j) {
        return j < constraints.fixed.size() && constraints.fixed[j].has_value();
    };
    PyRef fields = PyRef::steal(PyDict_New());
    if (!fields) return nullptr;
    // Stops at the first failure, with its exception set.
    const auto put = [&](Field field, PyObject* value) {
        PyRef owned = PyRef::steal(value);
        return owned && PyDict_SetItem(fields.get(), g_field_keys[field], owned.get()) == 0;
    };
    const bool complete =
        put(kCircuit, wrap_korvane_circuit(std::move(outcome.circuit))) &&
        put(kParams, by_name(names, p)) &&
        put(kStderr, outcome.standard_errors ? by_name(names, *outcome.standard_errors)
                                             : Py_NewRef(Py_None)) &&
        put(kSuccess, Py_NewRef(outcome.success ? Py_True : Py_False)) &&
        put(kIterations, PyLong_FromUnsignedLongLong(outcome.iterations)) &&
        put(kImpedanceEvals, PyLong_FromUnsignedLongLong(outcome.impedance_evals)) &&
        put(kCost, PyFloat_FromDouble(outcome.cost)) &&
        put(kChiSquare, PyFloat_FromDouble(outcome.chi_square)) &&
        put(kFixed, names_where(names, is_fixed)) &&
        put(kAtBound, names_where(names,
                                  [&](std::size_t j) {
                                      return !is_fixed(j) && j < searched.size() &&
                                             (p[j] == searched[j].lo || p[j] == searched[j].hi);
                                  })) &&
        put(kBounds, bounds_by_name(names, searched));
    return complete ? fields.release() : nullptr;
}

bool convert_sigma(PyObject* object, const char* name, std::vector<double>& out) {
    if (!given(object)) return true;
    std::optional<std::vector<double>> values = to_double_vector(object, name);
    if (!values) return false;
    out = std::move(*values);
    return true;
}

const char kFitDoc[] =
    "fit(circuit, data, fit_kwargs, fixed, bounds, sigma_re, sigma_im, stacklevel)\n--\n\n"
    "Constrained fit on the driver of Circuit.fit. `circuit` is a\n"
    "korvane.Circuit, `data` the tuple (frequencies, impedances) and\n"
    "`fit_kwargs` the remaining Circuit.fit arguments, converted exactly as\n"
    "Circuit.fit converts them. `fixed` is None, {name: number} or a list of\n"
    "names held at the circuit's values; `bounds` None or {name: (lo, hi)}\n"
    "with None for a physical side; `sigma_re`/`sigma_im` the measurement\n"
    "standard deviations per point, or None. The warning that no network\n"
    "can guess the start is issued at `stacklevel`. Returns the result's\n"
    "fields as a dict, or None, before anything is fitted, when the data\n"
    "has points a fit cannot use or the constraints are in another form:\n"
    "the caller checks those itself.";

PyObject* native_fit(PyObject* /*module*/, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* circuit_object = nullptr;
        PyObject* data = nullptr;
        PyObject* fit_kwargs = nullptr;
        PyObject* fixed_object = nullptr;
        PyObject* bounds_object = nullptr;
        PyObject* sigma_re_object = nullptr;
        PyObject* sigma_im_object = nullptr;
        int stacklevel = 1;
        if (!PyArg_ParseTuple(args, "OO!O!OOOOi:fit", &circuit_object, &PyTuple_Type, &data,
                              &PyDict_Type, &fit_kwargs, &fixed_object, &bounds_object,
                              &sigma_re_object, &sigma_im_object, &stacklevel)) {
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
        if (!fittable(*spectrum)) return Py_NewRef(Py_None);

        ParameterNames names;
        if (!make_names(*circuit, names)) return nullptr;
        const std::vector<Bounds> physical = param_bounds(*circuit);
        FitConstraints constraints;
        if (read_fixed(fixed_object, *circuit, names, constraints.fixed) == Reading::NotPlain ||
            read_bounds(bounds_object, names, physical, constraints.fixed, constraints.bounds) ==
                Reading::NotPlain) {
            return Py_NewRef(Py_None);
        }
        if (!convert_sigma(sigma_re_object, "sigma_re", constraints.sigma_re)) return nullptr;
        if (!convert_sigma(sigma_im_object, "sigma_im", constraints.sigma_im)) return nullptr;
        // Before the guess, so a call that cannot fit neither guesses nor warns.
        if (Status valid =
                validate_constraints(*circuit, spectrum->frequencies.size(), constraints);
            !valid) {
            return raise_error(valid.error());
        }

        // The starting-value policy of Circuit.fit, warning on behalf of the
        // caller (warnings turned into errors raise here).
        const StartChoice choice =
            choose_start(*circuit, arguments.guess_init, arguments.weights.has_value());
        if (choice == StartChoice::WarnAndKeep &&
            PyErr_WarnEx(PyExc_UserWarning, missing_model_warning().c_str(), stacklevel) < 0) {
            return nullptr;
        }
        const bool guessed =
            choice == StartChoice::GuessWithFile || choice == StartChoice::GuessWithModel;
        // Unlike Circuit.fit, the guess runs with the lock released too: the
        // network is most of a default fit's time, and fit_many's threads
        // scale only if it runs in parallel. The core's model caches are
        // locked on their own; nothing here touches Python objects.
        Result<FitOutcome> outcome = without_gil_interruptible([&]() -> Result<FitOutcome> {
            Result<Circuit> start = start_circuit(*circuit, choice, spectrum->frequencies,
                                                  spectrum->impedances, arguments.weights);
            if (!start) return start.take_error();
            Result<Circuit> constrained = constrained_start(*start, guessed, constraints);
            if (!constrained) return constrained.take_error();
            return run_fit(*constrained, spectrum->frequencies, spectrum->impedances, *weight,
                           arguments.settings, constraints);
        });
        if (!outcome) return raise_error(outcome.error());
        return make_result_fields(std::move(outcome.value()), names, constraints,
                                  constraints.bounds.empty() ? physical : constraints.bounds);
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
    {"nnls_gram", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_nnls_gram)),
     METH_FASTCALL, kNnlsGramDoc},
    {"_core_diagnostics", native_core_diagnostics, METH_NOARGS,
     "The core library's path, the file holding the weights, the pool's call count and size."},
    {"_column_spellings", native_column_spellings, METH_NOARGS,
     "The dataframe column spellings Circuit.fit reads, {role: (spelling, ...)}."},
    {"_fit_keywords", native_fit_keywords, METH_NOARGS,
     "Circuit.fit's arguments: (name, default text or None) in positional order."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* /*module*/) {
    if (!find_circuit_type()) return -1;
    return make_field_keys() ? 0 : -1;
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
