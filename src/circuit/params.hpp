#pragma once
// The flat parameter vector of a circuit: names, values, bounds, units, and
// rebuilding a circuit from a positional or named vector.

#include <span>
#include <string>
#include <utility>
#include <vector>

#include "circuit/circuit.hpp"

namespace korvane {

// "R0.r", "CPE1.alpha"; unlabeled elements get code + per-code counter.
std::vector<std::string> param_names(const Circuit& circuit);
std::vector<double> param_values(const Circuit& circuit);
std::vector<Bounds> param_bounds(const Circuit& circuit);
std::vector<std::string> param_units(const Circuit& circuit);

// Fails with "expected {n} values, got {m}".
Result<Circuit> with_values(const Circuit& circuit, std::span<const double> values);

// Named assignment: `values` as (key, value) pairs in the order the caller's
// mapping yields them. Fails with the multi-line unknown/missing message.
Result<Circuit> with_named_values(const Circuit& circuit,
                                  std::span<const std::pair<std::string, double>> values);

// "[ohm]  bounds (1e-12, inf)": the tail of a parameter line in circuit
// listings and in the named-values message.
std::string unit_and_bounds_text(std::string_view unit, Bounds bounds);

// Levenshtein distance over Unicode characters (code points), full table.
std::size_t edit_distance(std::string_view a, std::string_view b);

}  // namespace korvane
