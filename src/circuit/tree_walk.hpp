#pragma once
// Element-order traversal shared by naming, value assignment and counting.

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

}  // namespace korvane
