#pragma once
// Building circuits from element objects in tests, as Series/Parallel do
// from Python: an element with given values, operands, and a joined circuit
// whose failure is reported as a test failure.

#include <gtest/gtest.h>

#include <cstddef>
#include <utility>
#include <vector>

#include "circuit/circuit.hpp"

namespace korvane::testing {

inline Element make(Kind kind, std::vector<double> values) {
    Element e;
    e.kind = kind;
    for (std::size_t i = 0; i < values.size(); ++i) e.values[i] = values[i];
    return e;
}

inline Operand op(const Element& e) { return Operand{e}; }
inline Operand op(const Circuit& c) { return Operand{&c}; }

inline Circuit must(Result<Circuit> r) {
    if (!r.ok()) {
        ADD_FAILURE() << r.error().message;
        return {};
    }
    return std::move(r).value();
}

}  // namespace korvane::testing
