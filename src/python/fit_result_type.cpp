#include "python/fit_result_type.hpp"

#include <algorithm>
#include <new>
#include <string_view>

#include "python/circuit_type.hpp"
#include "python/errors.hpp"
#include "python/module_state.hpp"
#include "python/py_values.hpp"
#include "runtime/number_format.hpp"
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
