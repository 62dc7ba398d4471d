#pragma once
// Parses a circuit string that a test expects to be valid; a parse error is
// reported as a test failure (with the parser's message) and yields an empty
// circuit, so the test goes on and reports its own checks too.

#include <gtest/gtest.h>

#include <string_view>
#include <variant>

#include "circuit/circuit.hpp"

namespace korvane::testing {

inline Circuit parse_ok(std::string_view text) {
    auto result = parse_circuit(text);
    if (auto* error = std::get_if<ParseError>(&result)) {
        ADD_FAILURE() << "\"" << text << "\" does not parse: " << error->message();
        return {};
    }
    return std::get<Circuit>(std::move(result));
}

}  // namespace korvane::testing
