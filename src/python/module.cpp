// Module initialisation: one module object per process, in the first
// interpreter that imports it.

#include "python/circuit_type.hpp"
#include "python/element_type.hpp"
#include "python/errors.hpp"
#include "python/fit_result_type.hpp"
#include "python/module_state.hpp"

namespace korvane::py {
namespace {

// m_size 0 rather than -1: CPython then calls PyInit_korvane again on a
// re-import instead of copying a saved namespace into a new module object,
// and the kept object is what it gets back.
PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "korvane", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Adds `value` (borrowed) under `name` and appends the name to __all__.
bool add_name(PyObject* module, PyObject* all, const char* name, PyObject* value) {
    if (PyModule_AddObjectRef(module, name, value) != 0) return false;
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    return text && PyList_Append(all, text.get()) == 0;
}

bool add_function(PyObject* module, PyObject* all, PyMethodDef* def) {
    PyRef module_name = PyRef::steal(PyUnicode_FromString("korvane"));
    if (!module_name) return false;
    PyRef function = PyRef::steal(PyCFunction_NewEx(def, module, module_name.get()));
    return function && add_name(module, all, def->ml_name, function.get());
}

// Only one interpreter may ever use the module: its objects and types are
// process-wide and not isolated per interpreter.
bool claim_interpreter() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return false;
    std::int64_t expected = -1;
    if (module_state().interpreter_id.compare_exchange_strong(expected, id) || expected == id) {
        return true;
    }
    PyErr_SetString(PyExc_ImportError,
                    "korvane does not support sub-interpreters: it is already loaded in "
                    "another interpreter of this process");
    return false;
}

PyObject* create_module() {
    PyRef module = PyRef::steal(PyModule_Create(&g_module_def));
    if (!module) return nullptr;
    PyRef all = PyRef::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) != 0) return nullptr;

    PyTypeObject* element = element_type();
    if (element == nullptr) return nullptr;
    PyTypeObject* circuit = circuit_type();
    if (circuit == nullptr) return nullptr;
    PyTypeObject* fit_result = fit_result_type();
    if (fit_result == nullptr) return nullptr;

    if (!add_name(module.get(), all.get(), "Element", reinterpret_cast<PyObject*>(element)) ||
        !add_name(module.get(), all.get(), "Circuit", reinterpret_cast<PyObject*>(circuit)) ||
        !add_name(module.get(), all.get(), "FitResult", reinterpret_cast<PyObject*>(fit_result)) ||
        !add_function(module.get(), all.get(), &g_series_def) ||
        !add_function(module.get(), all.get(), &g_parallel_def)) {
        return nullptr;
    }
    for (int k = 0; k < kKindCount; ++k) {
        const std::string code(kind_info(static_cast<Kind>(k)).code);
        PyRef element_class = PyRef::steal(
            PyObject_GetAttrString(reinterpret_cast<PyObject*>(element), code.c_str()));
        if (!element_class ||
            !add_name(module.get(), all.get(), code.c_str(), element_class.get())) {
            return nullptr;
        }
    }
    return module.release();
}

PyObject* initialise() {
    if (!claim_interpreter()) return nullptr;
    ModuleState& state = module_state();
    if (state.module == nullptr) {
        // Kept only once complete: a failed initialisation leaves nothing.
        state.module = create_module();
        if (state.module == nullptr) return nullptr;
    }
    return Py_NewRef(state.module);
}

}  // namespace
}  // namespace korvane::py

PyMODINIT_FUNC PyInit_korvane(void) {
    return korvane::py::guarded([] { return korvane::py::initialise(); });
}
