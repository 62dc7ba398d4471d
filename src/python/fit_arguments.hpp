#pragma once
// The nineteen arguments of Circuit.fit converted to the driver's request.
// Shared by Circuit.fit and by the companion's constrained fit
// (korvane_tools._native), so both accept and refuse exactly the same values
// with the same messages.

#include <optional>
#include <string>

#include "fit/driver.hpp"
#include "fit/start_policy.hpp"
#include "python/py_ref.hpp"

namespace korvane::py {

// Present and not None.
bool given(PyObject* object);

// Optional text argument: absent or None is "not given".
bool convert_optional_text(PyObject* object, const char* name, std::optional<std::string>& out);

// The fit arguments after conversion, in their positional order.
struct FitArguments {
    PyObject* frequencies = nullptr;
    PyObject* impedances = nullptr;
    GuessInit guess_init = GuessInit::Unset;
    std::optional<std::string> weights;
    std::string weight = "modulus";
    FitSettings settings;
};

// Parses (args, kwargs) as Circuit.fit's signature; false with a Python
// exception set when an argument is missing, unknown or unconvertible.
bool parse_fit_arguments(PyObject* args, PyObject* kwargs, FitArguments& out);

}  // namespace korvane::py
