#pragma once
// Recognising a circuit's topology up to the order of series parts, the order
// of parallel branches and element labels, and carrying values between two
// circuits of the same topology parameter by parameter.
//
// A topology key is a canonical text of the tree: an element is its kind code
// ("R", "Cpe", ...), a series list "[" + sorted part keys joined by "," + "]",
// a parallel group "(" + sorted branch keys + ")". Two circuits have equal
// keys exactly when one is a reordering/relabelling of the other. Walking the
// tree in key order gives every circuit of a topology the same canonical
// parameter order, which is what lets a network trained on "R0-(R1,C1)" answer
// for "(C2,R9)-R3".

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "circuit/circuit.hpp"

namespace korvane {

// One element's parameters in the canonical walk: indices first .. first+count-1
// of the circuit's param_names() order.
struct ParamSegment {
    std::size_t first = 0;
    std::size_t count = 0;
};

struct Topology {
    std::string key;
    std::vector<ParamSegment> segments;  // in canonical (key) order
};

// Key and canonical segments of a whole circuit (its top-level series list).
// Equal keys are sorted stably, so among interchangeable parts the one
// written first comes first.
Topology topology_of(const SeriesList& top);
inline Topology topology_of(const Circuit& circuit) { return topology_of(circuit.top); }

// For each caller parameter (param_names() order), the index of the model
// parameter that supplies its value.
struct ParameterMapping {
    std::vector<std::size_t> model_index;
};

struct TopologyMatch {
    ParameterMapping mapping;
    // True when the caller matched only after its K / Zarc elements were
    // rewritten as R ∥ C / R ∥ Cpe pairs; the mapped values are then pair
    // values and must go through convert_pairs_back.
    bool pair_conversion = false;
};

// Mapping from two topologies whose keys are equal. Refuses (nullopt) segment
// lists that do not line up one to one, so a mapping never indexes past
// either circuit.
std::optional<ParameterMapping> mapping_between(const Topology& caller, const Topology& model);

// Matches `caller` against a model circuit whose topology is `model`: directly,
// or after expanding the caller's K / Zarc abbreviations on a copy.
std::optional<TopologyMatch> match_topology(const Circuit& caller, const Topology& model);

// Picks model values for the caller: out[j] = model_values[mapping[j]].
// Fails (Internal) if the mapping points past the model's values.
Result<std::vector<double>> apply_mapping(const ParameterMapping& mapping,
                                          std::span<const double> model_values);

// Turns values of the expanded circuit back into the caller's own parameters,
// walking the caller's elements as written:
//   K:    (R, C)    -> r = R, tau_k = R·C
//   Zarc: (R, Q, α) -> r = R, tau_k = (R·Q)^(1/max(α, 1e-6)), gamma = α
// every other element copies its values. The expansion keeps the parameter
// count (K: 2 -> 1+1, Zarc: 3 -> 1+2), so positions line up one to one.
// Fails (Internal) when `pair_values` is shorter than the caller's parameters.
Result<std::vector<double>> convert_pairs_back(const Circuit& caller,
                                               std::span<const double> pair_values);

}  // namespace korvane
