#include "python/circuit_type.hpp"

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "circuit/canonical_text.hpp"
#include "circuit/params.hpp"
#include "nn/trained_topologies.hpp"
#include "python/analysis_methods.hpp"
#include "python/convert.hpp"
#include "python/element_type.hpp"
#include "python/errors.hpp"
#include "python/fit_binding.hpp"
#include "python/impedance_buffer.hpp"
#include "python/measured_data.hpp"
#include "python/module_state.hpp"
#include "python/numpy_api.hpp"
#include "python/pickle_state.hpp"
#include "python/py_values.hpp"

namespace korvane::py {
namespace {

const Circuit& circuit_of(PyObject* self) {
    return reinterpret_cast<CircuitObject*>(self)->circuit;
}

// ---- constructor, destructor, repr -------------------------------------------

PyObject* circuit_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"s", nullptr};
        PyObject* s_object = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Circuit", const_cast<char**>(keywords),
                                         &s_object)) {
            return nullptr;
        }
        std::optional<std::string> s = to_text_escaping_surrogates(s_object, "s");
        if (!s) return nullptr;
        // A trained-topology name ("randles", " RC ") stands for its circuit
        // string; anything else is parsed exactly as given, untrimmed.
        const std::optional<std::string_view> alias = lookup_trained_name(*s);
        const std::string_view text = alias ? *alias : std::string_view(*s);
        std::variant<Circuit, ParseError> parsed = parse_circuit(text);
        if (auto* error = std::get_if<ParseError>(&parsed)) {
            return raise_text(PyExc_ValueError, parse_error_text(text, *error));
        }
        return wrap_circuit(std::get<Circuit>(std::move(parsed)));
    });
}

void circuit_dealloc(PyObject* self) {
    reinterpret_cast<CircuitObject*>(self)->circuit.~Circuit();
    dealloc_releasing_type(self);
}

PyObject* circuit_repr(PyObject* self) {
    return guarded([&]() -> PyObject* { return make_str(printable_form(circuit_of(self))); });
}

// ---- methods without measured data -------------------------------------------

PyObject* circuit_ml_circuits(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        std::vector<std::string> names;
        for (const TrainedTopology& topology : kTrainedTopologies) {
            names.emplace_back(topology.name);
        }
        return make_str_list(names);
    });
}

PyObject* circuit_param_names(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return make_str_list(param_names(circuit_of(self))); });
}

PyObject* circuit_param_units(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return make_str_list(param_units(circuit_of(self))); });
}

PyObject* circuit_param_values(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return make_float_list(param_values(circuit_of(self))); });
}

PyObject* circuit_param_bounds(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const std::vector<Bounds> bounds = param_bounds(circuit_of(self));
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(bounds.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < bounds.size(); ++i) {
            PyObject* pair = Py_BuildValue("(dd)", bounds[i].lo, bounds[i].hi);
            if (pair == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
        }
        return list.release();
    });
}

PyObject* circuit_with_values(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"values", nullptr};
        PyObject* values_object = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:with_values",
                                         const_cast<char**>(keywords), &values_object)) {
            return nullptr;
        }
        std::optional<std::vector<double>> values = to_double_vector(values_object, "values");
        if (!values) return nullptr;
        Result<Circuit> rebuilt = with_values(circuit_of(self), *values);
        if (!rebuilt) return raise_error(rebuilt.error());
        return wrap_circuit(std::move(rebuilt).value());
    });
}

PyObject* circuit_with_named_values(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"values", nullptr};
        PyObject* mapping = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:with_named_values",
                                         const_cast<char**>(keywords), &mapping)) {
            return nullptr;
        }
        if (!PyDict_Check(mapping)) {
            PyErr_Format(PyExc_TypeError,
                         "argument 'values': '%s' object cannot be converted to 'dict'",
                         type_name(mapping).c_str());
            return nullptr;
        }
        // A snapshot of the pairs: converting a value runs user code
        // (__float__), which may change the dict under iteration.
        PyRef items = PyRef::steal(PyDict_Items(mapping));
        if (!items) return nullptr;
        const Py_ssize_t count = PyList_GET_SIZE(items.get());
        std::vector<std::pair<std::string, double>> pairs;
        pairs.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            std::optional<std::string> key = to_text(PyTuple_GET_ITEM(pair, 0), "values");
            if (!key) return nullptr;
            std::optional<double> value = to_double(PyTuple_GET_ITEM(pair, 1), "values");
            if (!value) return nullptr;
            pairs.emplace_back(std::move(*key), *value);
        }
        Result<Circuit> rebuilt = with_named_values(circuit_of(self), pairs);
        if (!rebuilt) return raise_error(rebuilt.error());
        return wrap_circuit(std::move(rebuilt).value());
    });
}

PyObject* circuit_impedance(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"frequencies", nullptr};
        PyObject* frequencies_object = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:impedance", const_cast<char**>(keywords),
                                         &frequencies_object)) {
            return nullptr;
        }
        std::optional<std::vector<double>> frequencies = read_frequencies_only(frequencies_object);
        if (!frequencies) return nullptr;
        if (!ensure_numpy()) return nullptr;
        Cplx* out = nullptr;
        PyRef owner = new_impedance_buffer(frequencies->size(), &out);
        if (!owner) return nullptr;
        const Status status = without_gil(
            [&] { return impedance_over_frequencies(circuit_of(self), *frequencies, out); });
        if (!status) return raise_error(status.error());
        return complex_array_adopting(out, frequencies->size(), std::move(owner));
    });
}

// ---- pickling and copying (see pickle_state.hpp) ---------------------------------

PyObject* circuit_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const CircuitForm form = circuit_form(circuit_of(self));
        PyRef text = PyRef::steal(make_str(form.text));
        PyRef unlabeled = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(form.unlabeled.size())));
        if (!text || !unlabeled) return nullptr;
        for (std::size_t i = 0; i < form.unlabeled.size(); ++i) {
            PyObject* index = PyLong_FromSize_t(form.unlabeled[i]);
            if (index == nullptr) return nullptr;
            PyTuple_SET_ITEM(unlabeled.get(), static_cast<Py_ssize_t>(i), index);
        }
        PyRef values = PyRef::steal(pack_doubles(form.values));
        if (!values) return nullptr;
        PyRef state =
            PyRef::steal(Py_BuildValue("(lOOOO)", kStateVersion, text.get(), unlabeled.get(),
                                       values.get(), form.values_explicit ? Py_True : Py_False));
        if (!state) return nullptr;
        return make_reduce_value(Py_TYPE(self), state.get());
    });
}

PyObject* circuit_from_state(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        std::optional<CircuitForm> form = circuit_form_from_state(args);
        if (!form) return nullptr;
        Result<Circuit> circuit = circuit_from_form(*form);
        if (!circuit) {
            return raise_text(PyExc_ValueError, "Circuit state: " + circuit.error().message);
        }
        return wrap_circuit(std::move(circuit).value());
    });
}

// ---- tables ---------------------------------------------------------------------

PyMethodDef g_methods[] = {
    {"ml_circuits", circuit_ml_circuits, METH_NOARGS | METH_STATIC,
     "ml_circuits()\n--\n\n"
     "Names accepted by the constructor that have trained initial-parameter\n"
     "models, and so get a guessed starting point from `fit()` by default."},
    {"param_names", circuit_param_names, METH_NOARGS,
     "param_names($self)\n--\n\n"
     "Parameter names, in the same order `with_values()` consumes and\n"
     "`with_named_values()` expects as keys."},
    {"with_values",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(circuit_with_values)),
     METH_VARARGS | METH_KEYWORDS,
     "with_values($self, values)\n--\n\n"
     "Rebuild this circuit with a new flat parameter vector, assigned\n"
     "positionally in `param_names()` order."},
    {"with_named_values",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(circuit_with_named_values)),
     METH_VARARGS | METH_KEYWORDS,
     "with_named_values($self, values)\n--\n\n"
     "Rebuild this circuit with parameter values looked up by name (see\n"
     "`param_names()`). Every name must be present and no unknown names\n"
     "may be supplied."},
    {"impedance", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(circuit_impedance)),
     METH_VARARGS | METH_KEYWORDS, "impedance($self, frequencies)\n--\n\n"},
    {"residuals", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(circuit_residuals)),
     METH_VARARGS | METH_KEYWORDS, kResidualsDoc},
    {"jacobian", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(circuit_jacobian)),
     METH_VARARGS | METH_KEYWORDS, kJacobianDoc},
    {"param_values", circuit_param_values, METH_NOARGS,
     "param_values($self)\n--\n\n"
     "Current parameter values, in `param_names()` order."},
    {"param_bounds", circuit_param_bounds, METH_NOARGS,
     "param_bounds($self)\n--\n\n"
     "Default physical-validity `(lo, hi)` bounds per parameter, in\n"
     "`param_names()` order. `hi` is `inf` for open-bound parameters."},
    {"param_units", circuit_param_units, METH_NOARGS,
     "param_units($self)\n--\n\n"
     "Physical units per parameter"},
    {"guess", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(circuit_guess)),
     METH_VARARGS | METH_KEYWORDS, kGuessDoc},
    {"fit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(circuit_fit)),
     METH_VARARGS | METH_KEYWORDS, fit_doc()},
    {"__reduce__", circuit_reduce, METH_NOARGS, "__reduce__($self)\n--\n\nHelper for pickle."},
    {"_from_state", circuit_from_state, METH_VARARGS | METH_CLASS,
     "_from_state($type, version, text, unlabeled, values, values_explicit)\n--\n\n"
     "Private: rebuilds a circuit from the state its __reduce__ gives."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(circuit_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(circuit_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(circuit_repr)},
    {Py_tp_methods, g_methods},
    {Py_tp_doc, const_cast<char*>("Circuit(s)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "korvane.Circuit", sizeof(CircuitObject), 0, Py_TPFLAGS_DEFAULT, g_slots,
};

// ---- Series and Parallel ----------------------------------------------------------

using Combine = Result<Circuit> (*)(std::span<const Operand>);

PyObject* combine_parts(PyObject* args, PyObject* kwargs, const char* format, Combine combine) {
    static const char* keywords[] = {"parts", nullptr};
    PyObject* parts = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &parts)) {
        return nullptr;
    }
    if (PyUnicode_Check(parts)) {
        PyErr_SetString(PyExc_TypeError, "argument 'parts': Can't extract `str` to `Vec`");
        return nullptr;
    }
    if (!PySequence_Check(parts)) {
        PyErr_Format(PyExc_TypeError,
                     "argument 'parts': '%s' object cannot be converted to 'Sequence'",
                     type_name(parts).c_str());
        return nullptr;
    }
    // The items stay referenced while the operands point into their circuits.
    std::vector<PyRef> keep;
    std::vector<Operand> operands;
    PyRef iterator = PyRef::steal(PyObject_GetIter(parts));
    if (!iterator) {
        prefix_argument_error("parts");
        return nullptr;
    }
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        // Built in place: moving a variant that holds the pointer makes
        // GCC warn about the Element alternative's uninitialised values.
        if (std::optional<Element> element = as_element(item.get())) {
            operands.emplace_back().item.emplace<Element>(std::move(*element));
        } else if (const Circuit* circuit = as_circuit(item.get())) {
            operands.emplace_back().item.emplace<const Circuit*>(circuit);
        } else {
            PyErr_Format(PyExc_TypeError,
                         "argument 'parts': '%s' object is neither an Element nor a Circuit",
                         type_name(item.get()).c_str());
            return nullptr;
        }
        keep.push_back(std::move(item));
    }
    if (PyErr_Occurred()) {
        prefix_argument_error("parts");
        return nullptr;
    }
    Result<Circuit> combined = combine(operands);
    if (!combined) return raise_error(combined.error());
    return wrap_circuit(std::move(combined).value());
}

PyObject* series_function(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return combine_parts(args, kwargs, "O:Series", series); });
}

PyObject* parallel_function(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return combine_parts(args, kwargs, "O:Parallel", parallel); });
}

}  // namespace

PyMethodDef g_series_def = {
    "Series", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(series_function)),
    METH_VARARGS | METH_KEYWORDS, "Series(parts)\n--\n\nConnect elements and circuits end to end."};

PyMethodDef g_parallel_def = {
    "Parallel", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parallel_function)),
    METH_VARARGS | METH_KEYWORDS,
    "Parallel(parts)\n--\n\nConnect elements and circuits as parallel branches."};

PyTypeObject* circuit_type() {
    ModuleState& state = module_state();
    if (state.circuit != nullptr) return state.circuit;
    PyObject* type = PyType_FromSpec(&g_spec);
    if (type == nullptr) return nullptr;
    state.circuit = reinterpret_cast<PyTypeObject*>(type);
    freeze_type(state.circuit);
    return state.circuit;
}

PyObject* wrap_circuit(Circuit circuit) {
    PyTypeObject* type = circuit_type();
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<CircuitObject*>(self)->circuit) Circuit(std::move(circuit));
    return self;
}

const Circuit* as_circuit(PyObject* object) {
    PyTypeObject* type = circuit_type();
    if (type == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    if (Py_TYPE(object) != type) return nullptr;
    return &circuit_of(object);
}

}  // namespace korvane::py
