#pragma once
// The nineteen arguments of Circuit.fit converted to the driver's request.
// Shared by Circuit.fit and by the companion's constrained fit
// (korvane_tools._native), so both accept and refuse exactly the same values
// with the same messages. kFitKeywords is the one list of them: the parser,
// the signature in the docstring and the companion's copy for its checks of
// the stub and the guide are all read from it.

#include <array>
#include <optional>
#include <string>
#include <string_view>

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

// One argument: its name, its default as the signature shows it (empty when
// required) and the conversion of a given value (nullptr: absent) into its
// member of FitArguments, false with a Python exception set.
struct FitKeyword {
    const char* name;
    std::string_view default_text;
    bool (*convert)(PyObject* value, const char* name, FitArguments& out);
};

extern const std::array<FitKeyword, 19> kFitKeywords;

// "name=default, ..." in positional order, as the signature line shows it.
const std::string& fit_parameter_text();

// Parses (args, kwargs) as Circuit.fit's signature; false with a Python
// exception set when an argument is missing, unknown or unconvertible.
bool parse_fit_arguments(PyObject* args, PyObject* kwargs, FitArguments& out);

}  // namespace korvane::py
