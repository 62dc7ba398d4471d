#pragma once
// `FitResult`: the immutable record returned by `Circuit.fit`. The fit
// binding fills a FitResultData and calls make_fit_result; nothing else
// creates instances (the class has no constructor reachable from Python).

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "circuit/circuit.hpp"
#include "python/py_ref.hpp"

namespace korvane::py {

struct FitResultData {
    Circuit circuit;                                     // the input circuit with the fitted values
    std::vector<std::pair<std::string, double>> params;  // fitted value per parameter name
    // Standard error per name; absent when the statistics could not be formed.
    std::optional<std::vector<std::pair<std::string, double>>> standard_errors;
    bool success = false;
    std::uint64_t iterations = 0;
    std::uint64_t impedance_evals = 0;
    double cost = 0.0;        // ½·Σ r²
    double chi_square = 0.0;  // Σ r²
};

// Borrowed; created on first use. nullptr with an exception set on failure.
PyTypeObject* fit_result_type();

// A new FitResult owning `data`. A name given twice keeps its last value, as
// a map would. nullptr with an exception set on failure.
PyObject* make_fit_result(FitResultData data);

}  // namespace korvane::py
