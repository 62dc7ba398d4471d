#include "python/fit_result_type.hpp"

#include <algorithm>
#include <new>
#include <string_view>

#include "circuit/params.hpp"
#include "python/circuit_type.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/module_state.hpp"
#include "python/pickle_state.hpp"
#include "python/py_values.hpp"
#include "runtime/number_format.hpp"
#include "runtime/same_bits.hpp"
#include "runtime/text.hpp"

namespace korvane::py {
namespace {

using NamedValues = std::vector<std::pair<std::string, double>>;

struct FitResultObject {
    PyObject_HEAD FitResultData data;  // constructed in place right after allocation
};

const FitResultData& data_of(PyObject* self) {
    return reinterpret_cast<FitResultObject*>(self)->data;
}

// Keeps the first position of each name and its last value.
NamedValues unique_names(NamedValues values) {
    NamedValues out;
    out.reserve(values.size());
    for (auto& entry : values) {
        auto same = std::find_if(out.begin(), out.end(),
                                 [&](const auto& kept) { return kept.first == entry.first; });
        if (same != out.end()) {
            same->second = entry.second;
        } else {
            out.push_back(std::move(entry));
        }
    }
    return out;
}

PyObject* make_dict(const NamedValues& values) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [name, value] : values) {
        PyRef key = PyRef::steal(make_str(name));
        PyRef number = PyRef::steal(PyFloat_FromDouble(value));
        if (!key || !number) return nullptr;
        if (PyDict_SetItem(dict.get(), key.get(), number.get()) != 0) return nullptr;
    }
    return dict.release();
}

void fit_result_dealloc(PyObject* self) {
    reinterpret_cast<FitResultObject*>(self)->data.~FitResultData();
    dealloc_releasing_type(self);
}

// FitResult(success=true, iterations=12, impedance_evals=340,
//           chi_square=1.234568e-3, params={"R0.r": 10.0})
PyObject* fit_result_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const FitResultData& data = data_of(self);
        std::string text = "FitResult(success=";
        text += data.success ? "true" : "false";
        text += ", iterations=" + std::to_string(data.iterations);
        text += ", impedance_evals=" + std::to_string(data.impedance_evals);
        text += ", chi_square=" + format_exponent6(data.chi_square);
        text += ", params={";
        for (std::size_t i = 0; i < data.params.size(); ++i) {
            if (i > 0) text += ", ";
            text += quoted(data.params[i].first);
            text += ": ";
            text += format_debug(data.params[i].second);
        }
        text += "})";
        return make_str(text);
    });
}

// Every read builds a fresh object, so mutating what a caller got back never
// reaches the record.
PyObject* get_circuit(PyObject* self, void*) {
    return guarded([&] { return wrap_circuit(data_of(self).circuit); });
}
PyObject* get_params(PyObject* self, void*) {
    return guarded([&] { return make_dict(data_of(self).params); });
}
PyObject* get_stderr(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const FitResultData& data = data_of(self);
        if (!data.standard_errors) Py_RETURN_NONE;
        return make_dict(*data.standard_errors);
    });
}
PyObject* get_success(PyObject* self, void*) { return PyBool_FromLong(data_of(self).success); }
PyObject* get_iterations(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(data_of(self).iterations);
}
PyObject* get_impedance_evals(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(data_of(self).impedance_evals);
}
PyObject* get_cost(PyObject* self, void*) { return PyFloat_FromDouble(data_of(self).cost); }
PyObject* get_chi_square(PyObject* self, void*) {
    return PyFloat_FromDouble(data_of(self).chi_square);
}

// ---- pickling and copying (see pickle_state.hpp) -----------------------------

// (names, values) of a name -> value list, values as little-endian bytes.
bool split_named(const NamedValues& named, PyRef& names, PyRef& values) {
    names = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(named.size())));
    if (!names) return false;
    std::vector<double> numbers;
    numbers.reserve(named.size());
    for (std::size_t i = 0; i < named.size(); ++i) {
        PyObject* name = make_str(named[i].first);
        if (name == nullptr) return false;
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
        numbers.push_back(named[i].second);
    }
    values = PyRef::steal(pack_doubles(numbers));
    return static_cast<bool>(values);
}

std::optional<NamedValues> join_named(PyObject* names, PyObject* values, std::string_view field) {
    const std::string names_field = std::string(field) + "_names";
    if (!PyTuple_Check(names) && !PyList_Check(names)) {
        PyErr_Format(PyExc_TypeError, "state field '%s' must be a tuple, not '%s'",
                     names_field.c_str(), Py_TYPE(names)->tp_name);
        return std::nullopt;
    }
    PyRef items = PyRef::steal(PySequence_Tuple(names));
    if (!items) return std::nullopt;
    std::optional<std::vector<double>> numbers =
        unpack_doubles(values, std::string(field) + "_values");
    if (!numbers) return std::nullopt;
    const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(items.get()));
    if (numbers->size() != count) {
        raise_text(PyExc_ValueError, "FitResult state: " + std::to_string(count) + " names but " +
                                         std::to_string(numbers->size()) + " values in '" +
                                         std::string(field) + "'");
        return std::nullopt;
    }
    NamedValues out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::optional<std::string> name =
            to_text(PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)), names_field);
        if (!name) return std::nullopt;
        out.emplace_back(std::move(*name), (*numbers)[i]);
    }
    return out;
}

// A state's named numbers must describe its own circuit: the parameters it
// names, in its order, and (for params) the values the fitted circuit holds,
// bit for bit. Anything else would be a result whose attributes disagree.
bool matches_circuit(const NamedValues& named, const Circuit& circuit, std::string_view field,
                     bool compare_values) {
    const std::vector<std::string> names = param_names(circuit);
    const std::vector<double> values = param_values(circuit);
    std::string problem;
    if (named.size() != names.size()) {
        problem = std::to_string(named.size()) + " entries for the circuit's " +
                  std::to_string(names.size()) + " parameters";
    }
    for (std::size_t i = 0; problem.empty() && i < names.size(); ++i) {
        if (named[i].first != names[i]) {
            problem = "entry " + std::to_string(i) + " is " + quoted(named[i].first) +
                      ", the circuit's parameter is " + quoted(names[i]);
        } else if (compare_values && !same_bits(&named[i].second, &values[i], 1)) {
            problem = quoted(names[i]) + " is " + format_debug(named[i].second) +
                      ", the circuit holds " + format_debug(values[i]);
        }
    }
    if (problem.empty()) return true;
    raise_text(PyExc_ValueError, "FitResult state field '" + std::string(field) +
                                     "' does not match the circuit: " + problem);
    return false;
}

PyObject* fit_result_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const FitResultData& data = data_of(self);
        PyRef circuit = PyRef::steal(wrap_circuit(data.circuit));
        if (!circuit) return nullptr;
        PyRef names, values;
        if (!split_named(data.params, names, values)) return nullptr;
        PyRef stderr_names = PyRef::borrow(Py_None);
        PyRef stderr_values = PyRef::borrow(Py_None);
        if (data.standard_errors &&
            !split_named(*data.standard_errors, stderr_names, stderr_values)) {
            return nullptr;
        }
        const double statistics[2] = {data.cost, data.chi_square};
        PyRef packed_statistics = PyRef::steal(pack_doubles(statistics));
        if (!packed_statistics) return nullptr;
        PyRef state = PyRef::steal(Py_BuildValue(
            "(lOOOOOOKKO)", kStateVersion, circuit.get(), names.get(), values.get(),
            stderr_names.get(), stderr_values.get(), data.success ? Py_True : Py_False,
            static_cast<unsigned long long>(data.iterations),
            static_cast<unsigned long long>(data.impedance_evals), packed_statistics.get()));
        if (!state) return nullptr;
        return make_reduce_value(Py_TYPE(self), state.get());
    });
}

PyObject* fit_result_from_state(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* version = nullptr;
        PyObject* circuit_object = nullptr;
        PyObject* names = nullptr;
        PyObject* values = nullptr;
        PyObject* stderr_names = nullptr;
        PyObject* stderr_values = nullptr;
        PyObject* success = nullptr;
        PyObject* iterations = nullptr;
        PyObject* impedance_evals = nullptr;
        PyObject* statistics = nullptr;
        if (!PyArg_ParseTuple(args, "OOOOOOOOOO:_from_state", &version, &circuit_object, &names,
                              &values, &stderr_names, &stderr_values, &success, &iterations,
                              &impedance_evals, &statistics)) {
            return nullptr;
        }
        if (!check_state_version(version, "FitResult")) return nullptr;
        FitResultData data;
        const Circuit* circuit = as_circuit(circuit_object);
        if (circuit == nullptr) {
            PyErr_Format(PyExc_TypeError, "state field 'circuit' must be a Circuit, not '%s'",
                         Py_TYPE(circuit_object)->tp_name);
            return nullptr;
        }
        data.circuit = *circuit;
        std::optional<NamedValues> params = join_named(names, values, "params");
        if (!params || !matches_circuit(*params, *circuit, "params", true)) return nullptr;
        data.params = std::move(*params);
        if ((stderr_names == Py_None) != (stderr_values == Py_None)) {
            PyErr_SetString(PyExc_ValueError,
                            "FitResult state: stderr names and values must both be None or both "
                            "be given");
            return nullptr;
        }
        if (stderr_names != Py_None) {
            std::optional<NamedValues> errors = join_named(stderr_names, stderr_values, "stderr");
            if (!errors || !matches_circuit(*errors, *circuit, "stderr", false)) return nullptr;
            data.standard_errors = std::move(*errors);
        }
        std::optional<bool> succeeded = state_bool(success, "success");
        if (!succeeded) return nullptr;
        data.success = *succeeded;
        std::optional<std::uint64_t> iteration_count = state_count(iterations, "iterations");
        std::optional<std::uint64_t> eval_count =
            iteration_count ? state_count(impedance_evals, "impedance_evals") : std::nullopt;
        if (!eval_count) return nullptr;
        data.iterations = *iteration_count;
        data.impedance_evals = *eval_count;
        std::optional<std::vector<double>> numbers =
            unpack_doubles(statistics, "cost_and_chi_square");
        if (!numbers) return nullptr;
        if (numbers->size() != 2) {
            PyErr_SetString(PyExc_ValueError,
                            "FitResult state: 'cost_and_chi_square' must hold two numbers");
            return nullptr;
        }
        data.cost = (*numbers)[0];
        data.chi_square = (*numbers)[1];
        return make_fit_result(std::move(data));
    });
}

PyMethodDef g_methods[] = {
    {"__reduce__", fit_result_reduce, METH_NOARGS, "__reduce__($self)\n--\n\nHelper for pickle."},
    {"_from_state", fit_result_from_state, METH_VARARGS | METH_CLASS,
     "_from_state($type, version, circuit, names, values, stderr_names, stderr_values, "
     "success, iterations, impedance_evals, cost_and_chi_square)\n--\n\n"
     "Private: rebuilds a fit result from the state its __reduce__ gives."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"circuit", get_circuit, nullptr, nullptr, nullptr},
    {"params", get_params, nullptr, nullptr, nullptr},
    {"stderr", get_stderr, nullptr, nullptr, nullptr},
    {"success", get_success, nullptr, nullptr, nullptr},
    {"iterations", get_iterations, nullptr, nullptr, nullptr},
    {"impedance_evals", get_impedance_evals, nullptr, nullptr, nullptr},
    {"cost", get_cost, nullptr, nullptr, nullptr},
    {"chi_square", get_chi_square, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* fit_result_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for FitResult");
    return nullptr;
}

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(fit_result_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(fit_result_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(fit_result_repr)},
    {Py_tp_getset, g_getset},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "korvane.FitResult", sizeof(FitResultObject), 0, Py_TPFLAGS_DEFAULT, g_slots,
};

}  // namespace

PyTypeObject* fit_result_type() {
    ModuleState& state = module_state();
    if (state.fit_result != nullptr) return state.fit_result;
    PyObject* type = PyType_FromSpec(&g_spec);
    if (type == nullptr) return nullptr;
    state.fit_result = reinterpret_cast<PyTypeObject*>(type);
    freeze_type(state.fit_result);
    return state.fit_result;
}

PyObject* make_fit_result(FitResultData data) {
    PyTypeObject* type = fit_result_type();
    if (type == nullptr) return nullptr;
    data.params = unique_names(std::move(data.params));
    if (data.standard_errors) data.standard_errors = unique_names(std::move(*data.standard_errors));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<FitResultObject*>(self)->data) FitResultData(std::move(data));
    return self;
}

}  // namespace korvane::py
