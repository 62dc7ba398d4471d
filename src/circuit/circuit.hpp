#pragma once
// A circuit: a tree of series lists and parallel groups with elements at the
// leaves. Element order (depth-first, left to right) is the parameter order
// everywhere.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "circuit/element.hpp"
#include "runtime/numeric.hpp"
#include "runtime/result.hpp"

namespace korvane {

struct SeriesList;

// Branch admittances add: Z = 1 / Σ 1/Z_branch.
struct ParallelGroup {
    std::vector<SeriesList> branches;
};

struct Node {
    std::variant<Element, ParallelGroup> item;
};

// Node impedances add.
struct SeriesList {
    std::vector<Node> nodes;
};

struct Circuit {
    SeriesList top;
    // True when the values came from the caller rather than placeholders;
    // the fit driver guesses starting values only when this is false.
    bool values_explicit = false;
};

// ---- parsing --------------------------------------------------------------

enum class ParseErrorKind {
    UnexpectedEnd,
    UnexpectedCharacter,
    UnknownCode,
    TrailingInput,
    DuplicateLabel,
    TooDeep,  // nesting beyond kMaxDepth; keeps every recursive walk off the stack limit
};

// Deepest nesting of parallel groups a circuit may have. Every walk over the
// tree (evaluation, naming, copying, destruction) recurses once per level.
inline constexpr std::size_t kMaxDepth = 1000;

struct ParseError {
    ParseErrorKind kind;
    std::size_t position = 0;  // in Unicode characters of the input
    std::string code;          // UnknownCode: the letters
    std::string label;         // DuplicateLabel: the label
    std::string message() const;
};

// Parses a circuit string; the result carries placeholder values and labels,
// values_explicit = false. Never recurses deeper than kMaxDepth.
std::variant<Circuit, ParseError> parse_circuit(std::string_view text);

// The full text shown to the user: message, caret line (where it applies),
// syntax help and the element listing, joined with "\n".
std::string parse_error_text(std::string_view text, const ParseError& error);

// ---- building from objects ------------------------------------------------

struct Operand {
    std::variant<Element, const Circuit*> item;  // an Element operand carries no label
};

// Concatenates elements and the top-level nodes of circuits. Fails only when
// the result would nest deeper than kMaxDepth.
Result<Circuit> series(std::span<const Operand> operands);
// One parallel group with one branch per operand.
Result<Circuit> parallel(std::span<const Operand> operands);

// Depth of parallel-group nesting (0 for a flat series list).
std::size_t nesting_depth(const SeriesList& list);

// ---- evaluation -----------------------------------------------------------

// Sum of per-kind parameter counts.
std::size_t parameter_count(const Circuit& circuit);

// Impedance at angular frequency w from the stored values.
Cplx circuit_impedance(const Circuit& circuit, double w);

// The failure of a trial vector shorter than the circuit's parameters: the
// caller's value error, "impedance_from_iter: not enough values supplied"
// followed by both counts, e.g. " (the circuit has 4 parameters, 3 were
// given)".
Error not_enough_values(std::size_t parameter_count, std::size_t given);

// Impedance at w with values consumed in element order from `trial`; fails with
// not_enough_values when trial runs out. Surplus values are ignored.
Result<Cplx> impedance_from_iter(const Circuit& circuit, std::span<const double> trial, double w);

// Same, without the length check: the caller guarantees
// trial.size() >= parameter_count(circuit). The objective's hot loop.
Cplx impedance_unchecked(const Circuit& circuit, const double* trial, double w);

// Impedance at every frequency (Hz), ω = 2π·f per point. Below 1000 points on
// the calling thread, from 1000 on over the worker pool; bit-identical either way.
Result<std::vector<Cplx>> impedance_over_frequencies(const Circuit& circuit,
                                                     std::span<const double> frequencies);
// Same into a caller buffer of frequencies.size() entries.
Status impedance_over_frequencies(const Circuit& circuit, std::span<const double> frequencies,
                                  Cplx* out);

// "Circuit (3 parameters)\n  R0.r = 1          [ohm]  bounds (1e-12, inf)\n..."
std::string printable_form(const Circuit& circuit);

// Rewrites every K and Zarc, at any depth, as its R ∥ C or R ∥ Cpe pair.
// Returns whether anything was replaced.
bool expand_abbreviations(SeriesList& list);

}  // namespace korvane
