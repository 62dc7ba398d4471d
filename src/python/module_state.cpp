#include "python/module_state.hpp"

namespace korvane::py {

ModuleState& module_state() {
    // Never destroyed: the types and the module outlive every static
    // destructor that could still run Python code at exit.
    static ModuleState* state = new ModuleState();
    return *state;
}

void freeze_type(PyTypeObject* type) {
    type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Modified(type);
}

void dealloc_releasing_type(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace korvane::py
