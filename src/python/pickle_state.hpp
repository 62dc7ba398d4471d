#pragma once
// Pickling and copying of Element, Circuit and FitResult. Each class's
// __reduce__ returns (reconstructor, state); the state of a Circuit is its
// serialised form (circuit/canonical_text.hpp), and the companion package
// reads the same tuple to write circuit strings and JSON files.
//
// The reconstructor. Element and FitResult may not be called ("No
// constructor defined for ..."), and Circuit(s) takes a str only, so pickle
// needs another callable it can find by name. Each class has a private
// class method `_from_state`: pickle stores the bound method as
// getattr(korvane.<Class>, "_from_state"), the module namespace and __all__
// stay as they are, and no documented call reaches it. A module-level
// function would have added a name to the module itself.
//
// States (all numbers as IEEE 754 binary64, little-endian bytes, so NaN
// payloads and -0.0 survive every protocol; protocol 0 would write a float
// through repr and lose them):
//   Element:   (1, code, values)
//   Circuit:   (1, text, unlabeled, values, values_explicit)
//              text: canonical text; unlabeled: tuple of element indices
//              whose label is absent; values: parameter values in order
//   FitResult: (1, circuit, names, values, stderr_names, stderr_values,
//               success, iterations, impedance_evals, cost_and_chi_square)
//              stderr_names and stderr_values are both None when the fit
//              has no standard errors
// The leading 1 is the state version; a reconstructor refuses any other.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "circuit/canonical_text.hpp"
#include "python/py_ref.hpp"

namespace korvane::py {

inline constexpr long kStateVersion = 1;

// bytes holding `values` as little-endian binary64.
PyObject* pack_doubles(std::span<const double> values);

// The doubles of a bytes object whose length is a multiple of 8; a TypeError
// or ValueError naming `name` otherwise.
std::optional<std::vector<double>> unpack_doubles(PyObject* object, std::string_view name);

// True for the int kStateVersion; otherwise sets ValueError (TypeError for a
// non-int) naming the class and returns false.
bool check_state_version(PyObject* version, std::string_view class_name);

// (getattr(type, "_from_state"), state): the value of __reduce__. Steals
// nothing; nullptr with an exception set on failure.
PyObject* make_reduce_value(PyTypeObject* type, PyObject* state);

// A true bool object required (True/False, not 1/0).
std::optional<bool> state_bool(PyObject* object, std::string_view name);

// A count or index of a state: what to_u64 converts, but a number out of
// range is a damaged state (ValueError naming the field), not an
// OverflowError, as for every other malformed field.
std::optional<std::uint64_t> state_count(PyObject* object, std::string_view name);

// The serialised form held by a Circuit state tuple (version, text,
// unlabeled, values, values_explicit); nullptr-style failure: nullopt with a
// TypeError or ValueError set. Read by Circuit._from_state and by the
// companion's native module, which receives circuits in this form.
std::optional<CircuitForm> circuit_form_from_state(PyObject* state);

}  // namespace korvane::py
