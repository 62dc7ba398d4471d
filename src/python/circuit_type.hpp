#pragma once
// The `Circuit` class and the functions `Series` and `Parallel`. A Circuit
// object owns one immutable core Circuit; every method that changes values
// returns a new object.

#include "circuit/circuit.hpp"
#include "python/py_ref.hpp"

namespace korvane::py {

struct CircuitObject {
    PyObject_HEAD Circuit circuit;  // constructed in place right after allocation
};

// Borrowed; created on first use. nullptr with an exception set on failure.
PyTypeObject* circuit_type();

// A new Python Circuit owning `circuit`; nullptr with an exception set.
PyObject* wrap_circuit(Circuit circuit);

// The core circuit of a Python Circuit, or nullptr when `object` is not one.
const Circuit* as_circuit(PyObject* object);

// Method tables of the module functions Series and Parallel.
extern PyMethodDef g_series_def;
extern PyMethodDef g_parallel_def;

}  // namespace korvane::py
