#include "python/impedance_buffer.hpp"

#include <algorithm>
#include <new>
#include <vector>

#include "python/module_state.hpp"

namespace korvane::py {
namespace {

struct ImpedanceBufferObject {
    PyObject_HEAD std::vector<Cplx> values;  // constructed in place right after allocation
};

void buffer_dealloc(PyObject* self) {
    using Vector = std::vector<Cplx>;
    reinterpret_cast<ImpedanceBufferObject*>(self)->values.~Vector();
    dealloc_releasing_type(self);
}

PyType_Slot g_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(buffer_dealloc)},
    {0, nullptr},
};

// No tp_new: only the module creates holders.
PyType_Spec g_spec = {
    "korvane._ImpedanceBuffer",
    sizeof(ImpedanceBufferObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    g_slots,
};

PyTypeObject* impedance_buffer_type() {
    ModuleState& state = module_state();
    if (state.impedance_buffer != nullptr) return state.impedance_buffer;
    PyObject* type = PyType_FromSpec(&g_spec);
    if (type == nullptr) return nullptr;
    state.impedance_buffer = reinterpret_cast<PyTypeObject*>(type);
    freeze_type(state.impedance_buffer);
    return state.impedance_buffer;
}

}  // namespace

PyRef new_impedance_buffer(std::size_t count, Cplx** data) {
    // Sized before the object exists, so a failed allocation leaves nothing
    // half-built.
    std::vector<Cplx> values;
    values.reserve(std::max<std::size_t>(count, 1));
    values.resize(count);
    PyTypeObject* type = impedance_buffer_type();
    if (type == nullptr) return {};
    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return {};
    auto* holder = reinterpret_cast<ImpedanceBufferObject*>(self.get());
    new (&holder->values) std::vector<Cplx>(std::move(values));
    *data = holder->values.data();
    return self;
}

}  // namespace korvane::py
