#pragma once
// Conversion of Python arguments to C++ values. Each function returns the
// value, or nullopt with a Python exception set. With a non-empty `name` a
// TypeError or OverflowError carries the prefix "argument '<name>': "; the
// measured-data readers pass an empty name because their errors reach the
// caller unprefixed.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/complex.hpp"
#include "python/py_ref.hpp"

namespace korvane::py {

// Like float(x) on an object with __float__ or __index__ (a str is refused).
std::optional<double> to_double(PyObject* object, std::string_view name);

// Through __index__ only: a float is a TypeError, a negative or too large
// value an OverflowError.
std::optional<std::uint64_t> to_u64(PyObject* object, std::string_view name);
std::optional<std::size_t> to_size(PyObject* object, std::string_view name);

// True, False or a NumPy boolean scalar; anything else (1 included) is a
// TypeError.
std::optional<bool> to_bool(PyObject* object, std::string_view name);

// A str instance, as UTF-8. A str holding a lone surrogate has no UTF-8
// form: with a name that is a prefixed ValueError, like any unusable value.
std::optional<std::string> to_text(PyObject* object, std::string_view name);

// Same, but a lone surrogate is written as its escape ("\udc80", as repr()
// shows it). For text that is parsed: every character before the first
// surrogate keeps its position, and the backslash is an unexpected character
// exactly where the surrogate stood.
std::optional<std::string> to_text_escaping_surrogates(PyObject* object, std::string_view name);

// Any object passing the sequence check except a str ("Can't extract `str`
// to `Vec`"), iterated, each item converted like to_double. Objects exposing
// a one-dimensional float64 buffer (NumPy arrays, array('d')) are copied from
// the buffer, which yields the same values as iterating them.
std::optional<std::vector<double>> to_double_vector(PyObject* object, std::string_view name);

// Same, each item converted like complex(x) (complex, __complex__,
// __float__, __index__); complex128 buffers are copied directly.
std::optional<std::vector<Cplx>> to_complex_vector(PyObject* object, std::string_view name);

// "'int' object" style name of an object's type, for messages.
std::string type_name(PyObject* object);

}  // namespace korvane::py
