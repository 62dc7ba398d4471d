#include "python/numpy_api.hpp"

#include <atomic>

namespace korvane::py {
namespace {

// Slots of the _ARRAY_API table and constants of NumPy's C API, unchanged
// between NumPy 1.x and 2.x (numpy/__multiarray_api.h, ndarraytypes.h).
constexpr int kSlotArrayType = 2;         // PyTypeObject PyArray_Type
constexpr int kSlotDescrFromType = 45;    // PyArray_Descr* (*)(int)
constexpr int kSlotNewFromDescr = 94;     // PyObject* (*)(PyTypeObject*, PyArray_Descr*, ...)
constexpr int kSlotSetBaseObject = 282;   // int (*)(PyArrayObject*, PyObject*)
constexpr int kTypeComplexDouble = 15;    // NPY_CDOUBLE
constexpr int kFlagCContiguous = 0x0001;  // NPY_ARRAY_C_CONTIGUOUS
constexpr int kFlagAligned = 0x0100;      // NPY_ARRAY_ALIGNED
constexpr int kFlagWriteable = 0x0400;    // NPY_ARRAY_WRITEABLE

using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_ssize_t*,
                                   const Py_ssize_t*, void*, int, PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);

// Written once under the interpreter lock, read by every later call; the
// table itself lives as long as NumPy, which is never unloaded.
std::atomic<void**> g_table{nullptr};

PyRef import_multiarray() {
    PyRef module = PyRef::steal(PyImport_ImportModule("numpy._core.multiarray"));
    if (module) return module;
    PyErr_Clear();
    return PyRef::steal(PyImport_ImportModule("numpy.core.multiarray"));
}

}  // namespace

bool ensure_numpy() {
    if (g_table.load(std::memory_order_acquire) != nullptr) return true;
    PyRef module = import_multiarray();
    if (!module) return false;
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!capsule) return false;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_ImportError, "numpy's _ARRAY_API is not a capsule");
        return false;
    }
    void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) return false;
    if (table[kSlotArrayType] == nullptr ||
        !PyType_Check(static_cast<PyObject*>(table[kSlotArrayType]))) {
        PyErr_SetString(PyExc_ImportError, "numpy's _ARRAY_API table has an unexpected layout");
        return false;
    }
    g_table.store(table, std::memory_order_release);
    return true;
}

PyObject* complex_array_adopting(Cplx* data, std::size_t count, PyRef owner) {
    void** table = g_table.load(std::memory_order_acquire);
    auto descr_from_type = reinterpret_cast<DescrFromType>(table[kSlotDescrFromType]);
    auto new_from_descr = reinterpret_cast<NewFromDescr>(table[kSlotNewFromDescr]);
    auto set_base_object = reinterpret_cast<SetBaseObject>(table[kSlotSetBaseObject]);
    auto* array_type = static_cast<PyTypeObject*>(table[kSlotArrayType]);

    PyObject* descr = descr_from_type(kTypeComplexDouble);
    if (descr == nullptr) return nullptr;
    const Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(count)};
    // NewFromDescr steals descr, also when it fails.
    PyRef array =
        PyRef::steal(new_from_descr(array_type, descr, 1, dims, nullptr, data,
                                    kFlagWriteable | kFlagCContiguous | kFlagAligned, nullptr));
    if (!array) return nullptr;
    // SetBaseObject steals the owner, also when it fails.
    if (set_base_object(array.get(), owner.release()) != 0) return nullptr;
    return array.release();
}

}  // namespace korvane::py
