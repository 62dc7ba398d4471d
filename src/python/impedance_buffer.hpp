#pragma once
// The owner of the memory behind an array returned by `Circuit.impedance`:
// NumPy adopts the buffer in place and keeps this object as the array's base,
// so the buffer is freed exactly when the last view of the array goes away.

#include <cstddef>

#include "circuit/complex.hpp"
#include "python/py_ref.hpp"

namespace korvane::py {

// A new holder of `count` values; *data points at them (never null, also for
// count = 0). Empty PyRef with an exception set on failure.
PyRef new_impedance_buffer(std::size_t count, Cplx** data);

}  // namespace korvane::py
