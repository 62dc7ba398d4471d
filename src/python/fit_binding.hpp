#pragma once
// `Circuit.guess` and `Circuit.fit`: argument conversion, the starting-value
// policy with its warning, the fit with the interpreter lock released, and the
// FitResult built from the outcome. Registered in the Circuit method table.

#include "python/py_ref.hpp"

namespace korvane::py {

PyObject* circuit_guess(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* circuit_fit(PyObject* self, PyObject* args, PyObject* kwargs);

// Signature line and docstring of each method (ml_doc form); fit's signature
// is written from the table of its arguments.
extern const char kGuessDoc[];
const char* fit_doc();

}  // namespace korvane::py
