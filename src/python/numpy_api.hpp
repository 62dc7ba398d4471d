#pragma once
// NumPy's native array interface, located on first use so that importing the
// module needs neither NumPy nor its headers at build time. The function
// table comes from the `_ARRAY_API` capsule of numpy._core.multiarray
// (NumPy 2) or numpy.core.multiarray (NumPy 1); only slots that NumPy keeps
// stable across both major versions are used.

#include <cstddef>

#include "circuit/complex.hpp"
#include "python/py_ref.hpp"

namespace korvane::py {

// Locates the table once per process. Returns false with the import's
// exception set when NumPy cannot be imported.
bool ensure_numpy();

// A writeable one-dimensional complex128 array of `count` values that uses
// `data` in place. `owner` keeps the buffer alive and becomes the array's base
// object; it is consumed (also on failure). ensure_numpy() must have
// succeeded.
PyObject* complex_array_adopting(Cplx* data, std::size_t count, PyRef owner);

}  // namespace korvane::py
