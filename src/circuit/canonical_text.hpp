#pragma once
// One serialised form of a circuit, shared by pickling, copying and the
// companion's circuit strings and JSON files: the canonical text of the tree
// plus what text cannot carry (which labels are absent, the exact values,
// values_explicit).
//
// Canonical text. Every element is written with a label: its own, or, when it
// has none, the label its parameter names use (canonical code + per-code
// counter, "R0", "Cpe1"). Groups open with "(" and branches are joined by
// ","; series nodes are joined by "-". For every circuit whose tree the
// grammar of circuit strings can write, the text is such a string and parses
// back to the same tree with the same parameter names. Three shapes lie
// outside that grammar and get notations of their own, read only by
// circuit_from_form:
//   - an empty series list (Series of no parts, or such a circuit as a branch)
//     is written "0", the impedance it stands for: "0", "(0,R1)";
//   - a group without branches (Parallel of no parts) is written "()";
//   - labels may repeat (Series of two circuits that both have an "R0", or an
//     unlabeled resistor beside a parsed "R0").
// Only parse_canonical_text reads these; parse_circuit refuses them.

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "circuit/circuit.hpp"

namespace korvane {

struct CircuitForm {
    std::string text;  // canonical text, one label per element
    // Element indices (element order, ascending) whose label is absent: the
    // text carries their generated label, the circuit carries none.
    std::vector<std::size_t> unlabeled;
    std::vector<double> values;  // parameter values in parameter order, bit for bit
    bool values_explicit = false;
};

// The canonical text alone.
std::string canonical_text(const Circuit& circuit);

CircuitForm circuit_form(const Circuit& circuit);

// Rebuilds the circuit a form describes. Fails (ErrorKind::Value) on a text
// outside the canonical grammar, an index past the last element or out of
// order, or a value count that differs from the parameter count.
Result<Circuit> circuit_from_form(const CircuitForm& form);

// Reads canonical text: the circuit-string grammar plus the three shapes
// above. Labels and placeholders as parse_circuit gives them.
std::variant<Circuit, ParseError> parse_canonical_text(std::string_view text);

}  // namespace korvane
