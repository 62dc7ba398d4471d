#include "nn/topology.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "circuit/tree_walk.hpp"

namespace korvane {
namespace {

// A subtree's key with the segments of its elements in canonical order.
struct Keyed {
    std::string key;
    std::vector<ParamSegment> segments;
};

Keyed keyed_series(const SeriesList& list, std::size_t& next_param);

// open + keys joined by "," + close, segments concatenated in the same order.
Keyed joined(char open, const std::vector<Keyed>& children, char close) {
    std::size_t length = 2 + children.size();
    for (const auto& child : children) length += child.key.size();
    Keyed out;
    out.key.reserve(length);
    out.key.push_back(open);
    for (std::size_t i = 0; i < children.size(); ++i) {
        if (i > 0) out.key.push_back(',');
        out.key.append(children[i].key);
        out.segments.insert(out.segments.end(), children[i].segments.begin(),
                            children[i].segments.end());
    }
    out.key.push_back(close);
    return out;
}

// Parameter indices are handed out in the written depth-first order (the
// param_names() order) while the walk descends; only afterwards are siblings
// reordered by key, carrying their segments with them.
Keyed keyed_node(const Node& node, std::size_t& next_param) {
    if (const auto* element = std::get_if<Element>(&node.item)) {
        const auto count = static_cast<std::size_t>(param_count(element->kind));
        Keyed out{std::string(kind_info(element->kind).code), {{next_param, count}}};
        next_param += count;
        return out;
    }
    const auto& group = std::get<ParallelGroup>(node.item);
    std::vector<Keyed> branches;
    branches.reserve(group.branches.size());
    for (const auto& branch : group.branches) branches.push_back(keyed_series(branch, next_param));
    // Stable, so among equal keys the branch written first stays first.
    std::stable_sort(branches.begin(), branches.end(),
                     [](const Keyed& a, const Keyed& b) { return a.key < b.key; });
    return joined('(', branches, ')');
}

Keyed keyed_series(const SeriesList& list, std::size_t& next_param) {
    std::vector<Keyed> parts;
    parts.reserve(list.nodes.size());
    for (const auto& node : list.nodes) parts.push_back(keyed_node(node, next_param));
    // std::string's ordering is char_traits<char>::compare: bytes as unsigned
    // char, a proper prefix first.
    std::stable_sort(parts.begin(), parts.end(),
                     [](const Keyed& a, const Keyed& b) { return a.key < b.key; });
    return joined('[', parts, ']');
}

// Element count, and how many of them are K or Zarc. Expansion turns each of
// those into two elements, so a model with neither count cannot match and the
// (possibly large) keys need not be built at all.
struct ElementCounts {
    std::size_t elements = 0;
    std::size_t abbreviations = 0;
};

ElementCounts count_elements(const SeriesList& list) {
    ElementCounts counts;
    auto count = [&](const Element& element) {
        ++counts.elements;
        if (element.kind == Kind::K || element.kind == Kind::Zarc) ++counts.abbreviations;
    };
    for_each_element(list, count);
    return counts;
}

}  // namespace

Topology topology_of(const SeriesList& top) {
    std::size_t next_param = 0;
    Keyed keyed = keyed_series(top, next_param);
    return {std::move(keyed.key), std::move(keyed.segments)};
}

std::optional<ParameterMapping> mapping_between(const Topology& caller, const Topology& model) {
    if (caller.segments.size() != model.segments.size()) return std::nullopt;
    std::size_t caller_params = 0;
    for (const auto& segment : caller.segments) caller_params += segment.count;

    // Every caller parameter must receive exactly one model index; anything
    // else means the two segment lists do not describe the same elements.
    constexpr std::size_t kUnset = static_cast<std::size_t>(-1);
    ParameterMapping mapping{std::vector<std::size_t>(caller_params, kUnset)};
    for (std::size_t n = 0; n < caller.segments.size(); ++n) {
        const ParamSegment& c = caller.segments[n];
        const ParamSegment& m = model.segments[n];
        if (c.count != m.count) return std::nullopt;
        for (std::size_t j = 0; j < m.count; ++j) {
            if (c.first + j >= caller_params || mapping.model_index[c.first + j] != kUnset)
                return std::nullopt;
            mapping.model_index[c.first + j] = m.first + j;
        }
    }
    return mapping;
}

std::optional<TopologyMatch> match_topology(const Circuit& caller, const Topology& model) {
    const ElementCounts counts = count_elements(caller.top);
    const std::size_t model_elements = model.segments.size();

    if (counts.elements == model_elements) {
        const Topology own = topology_of(caller.top);
        if (own.key == model.key) {
            auto mapping = mapping_between(own, model);
            if (!mapping) return std::nullopt;
            return TopologyMatch{std::move(*mapping), false};
        }
    }

    if (counts.abbreviations == 0 || counts.elements + counts.abbreviations != model_elements)
        return std::nullopt;
    SeriesList expanded = caller.top;
    if (!expand_abbreviations(expanded)) return std::nullopt;
    const Topology pairs = topology_of(expanded);
    if (pairs.key != model.key) return std::nullopt;
    auto mapping = mapping_between(pairs, model);
    if (!mapping) return std::nullopt;
    return TopologyMatch{std::move(*mapping), true};
}

Result<std::vector<double>> apply_mapping(const ParameterMapping& mapping,
                                          std::span<const double> model_values) {
    std::vector<double> out;
    out.reserve(mapping.model_index.size());
    for (const std::size_t index : mapping.model_index) {
        if (index >= model_values.size())
            return Error::internal("guess: the network gave " +
                                   std::to_string(model_values.size()) +
                                   " values, fewer than the model circuit has parameters");
        out.push_back(model_values[index]);
    }
    return out;
}

Result<std::vector<double>> convert_pairs_back(const Circuit& caller,
                                               std::span<const double> pair_values) {
    std::vector<double> out;
    out.reserve(pair_values.size());
    std::size_t cursor = 0;
    bool short_input = false;
    auto visit = [&](const Element& element) {
        const auto count = static_cast<std::size_t>(param_count(element.kind));
        if (short_input || cursor + count > pair_values.size()) {
            short_input = true;
            return;
        }
        const double* v = pair_values.data() + cursor;
        cursor += count;
        if (element.kind == Kind::K) {
            // K(r, τ) ≡ R(r) ∥ C(τ/r), so τ = R·C.
            out.push_back(v[0]);
            out.push_back(v[0] * v[1]);
        } else if (element.kind == Kind::Zarc) {
            // Zarc(r, τ, γ) ≡ R(r) ∥ Cpe(τ^γ / r, γ), so τ = (R·Q)^(1/γ). The
            // floor on γ keeps the exponent finite for a degenerate α of 0;
            // fmax returns the other operand for a NaN α, as maxNum does.
            const double alpha = v[2];
            out.push_back(v[0]);
            out.push_back(std::pow(v[0] * v[1], 1.0 / std::fmax(alpha, 1e-6)));
            out.push_back(alpha);
        } else {
            out.insert(out.end(), v, v + count);
        }
    };
    for_each_element(caller.top, visit);
    if (short_input)
        return Error::internal("guess: fewer mapped values than the circuit has parameters");
    return out;
}

}  // namespace korvane
