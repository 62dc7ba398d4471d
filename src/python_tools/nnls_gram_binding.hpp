#pragma once
// korvane_tools._native.nnls_gram: the non-negative least squares of
// nnls_gram.hpp on NumPy arrays (any object with the buffer interface), the
// interpreter lock released while it solves.

#include "python/py_ref.hpp"

namespace korvane::py {

extern const char* const kNnlsGramDoc;

PyObject* native_nnls_gram(PyObject* module, PyObject* const* args, Py_ssize_t count);

}  // namespace korvane::py
