#pragma once
// Element-order traversal shared by naming, value assignment, counting,
// evaluation and topology matching.

#include <variant>

#include "circuit/circuit.hpp"

namespace korvane {

// Calls f(element) for every element in element order (depth-first, left to
// right). List may be const or mutable. The recursion is one level per
// parallel group, which building keeps within kMaxDepth.
template <class List, class F>
void for_each_element(List& list, F& f) {
    for (auto& node : list.nodes) {
        if (auto* element = std::get_if<Element>(&node.item)) {
            f(*element);
        } else {
            for (auto& branch : std::get<ParallelGroup>(node.item).branches) {
                for_each_element(branch, f);
            }
        }
    }
}

// The two sources of parameter values for an evaluation, read element by
// element in element order.
// Values from the elements themselves.
struct StoredValues {
    const double* operator()(const Element& e) const { return e.values.data(); }
};

// Values consumed from a trial vector in element order; the caller has
// checked that enough remain.
struct TrialCursor {
    const double* next;
    const double* operator()(const Element& e) {
        const double* v = next;
        next += param_count(e.kind);
        return v;
    }
};

}  // namespace korvane
