// Circuit strings: accepted forms, every error kind with its position and
// text, and inputs built to break a naive recursive parser.

#include <gtest/gtest.h>

#include <string>

#include "circuit/circuit.hpp"
#include "circuit/params.hpp"
#include "support/parse_ok.hpp"

namespace korvane {
namespace {

using korvane::testing::parse_ok;

ParseError parse_fail(std::string_view text) {
    auto result = parse_circuit(text);
    if (auto* e = std::get_if<ParseError>(&result)) return *e;
    ADD_FAILURE() << "\"" << text << "\" parsed";
    return {};
}

// First line and, where present, the echo and caret lines.
std::string head_of(std::string_view text) {
    const std::string full = parse_error_text(text, parse_fail(text));
    return full.substr(0, full.find("\n\nsyntax:"));
}

const Element& element_at(const SeriesList& list, std::size_t i) {
    return std::get<Element>(list.nodes.at(i).item);
}

TEST(ParseCircuit, AcceptedFormsAndLabels) {
    const Circuit c = parse_ok("R007-CPE0-Cpe0-TLMQ1-Tlmq2");
    ASSERT_EQ(c.top.nodes.size(), 5u);
    EXPECT_EQ(element_at(c.top, 0).label, "R007");
    EXPECT_EQ(element_at(c.top, 1).kind, Kind::Cpe);
    EXPECT_EQ(element_at(c.top, 1).label, "CPE0");
    EXPECT_EQ(element_at(c.top, 2).kind, Kind::Cpe);
    EXPECT_EQ(element_at(c.top, 2).label, "Cpe0");
    EXPECT_EQ(element_at(c.top, 3).kind, Kind::Tlmq);
    EXPECT_FALSE(c.values_explicit);
    // Placeholders of the kind, unused slots zero.
    EXPECT_EQ(element_at(c.top, 1).values[0], 0.001);
    EXPECT_EQ(element_at(c.top, 1).values[1], 0.8);
    EXPECT_EQ(element_at(c.top, 0).values[1], 0.0);

    EXPECT_EQ(param_names(parse_ok("R0-C0")), (std::vector<std::string>{"R0.r", "C0.c"}));

    // "p(" and "(" open the same group; one branch is allowed.
    const Circuit a = parse_ok("R0-p(R1,C1)-(R2-La3,p(W4,Wo5))");
    const Circuit b = parse_ok("R0-(R1,C1)-p(R2-La3,(W4,Wo5))");
    EXPECT_EQ(param_names(a), param_names(b));
    EXPECT_EQ(nesting_depth(a.top), 2u);
    for (const double w : {0.1, 10.0, 1e4}) {
        const Cplx za = circuit_impedance(a, w);
        const Cplx zb = circuit_impedance(b, w);
        EXPECT_EQ(za.re, zb.re);
        EXPECT_EQ(za.im, zb.im);
    }
    const Circuit single = parse_ok("(R1)");
    const auto& group = std::get<ParallelGroup>(single.top.nodes.at(0).item);
    EXPECT_EQ(group.branches.size(), 1u);
    EXPECT_EQ(circuit_impedance(single, 5.0).re, 1.0);
    EXPECT_EQ(circuit_impedance(single, 5.0).im, 0.0);
}

TEST(ParseCircuit, ErrorKindsAndPositions) {
    struct Case {
        const char* text;
        ParseErrorKind kind;
        std::string message;
    };
    const Case cases[] = {
        {"", ParseErrorKind::UnexpectedEnd, "unexpected end of input"},
        {"R0-", ParseErrorKind::UnexpectedEnd, "unexpected end of input"},
        {"(R1,C1", ParseErrorKind::UnexpectedEnd, "unexpected end of input"},
        {"(R1,C1x)", ParseErrorKind::UnexpectedEnd, "unexpected end of input"},
        {"(R1 ,C1)", ParseErrorKind::UnexpectedEnd, "unexpected end of input"},
        {"p(", ParseErrorKind::UnexpectedEnd, "unexpected end of input"},
        {"R", ParseErrorKind::UnexpectedCharacter, "unexpected character at position 1"},
        {"X", ParseErrorKind::UnexpectedCharacter, "unexpected character at position 1"},
        {" R0", ParseErrorKind::UnexpectedCharacter, "unexpected character at position 0"},
        {"R0-1", ParseErrorKind::UnexpectedCharacter, "unexpected character at position 3"},
        {"R0-(R1,)", ParseErrorKind::UnexpectedCharacter, "unexpected character at position 7"},
        {"R0--C1", ParseErrorKind::UnexpectedCharacter, "unexpected character at position 3"},
        {"()", ParseErrorKind::UnexpectedCharacter, "unexpected character at position 1"},
        {"p", ParseErrorKind::UnexpectedCharacter, "unexpected character at position 1"},
        {"X1", ParseErrorKind::UnknownCode, "unknown element code \"X\" at position 0"},
        {"R0-Q1", ParseErrorKind::UnknownCode, "unknown element code \"Q\" at position 3"},
        {"r0", ParseErrorKind::UnknownCode, "unknown element code \"r\" at position 0"},
        {"ZARC1", ParseErrorKind::UnknownCode, "unknown element code \"ZARC\" at position 0"},
        {"p1", ParseErrorKind::UnknownCode, "unknown element code \"p\" at position 0"},
        {"R0 -C1", ParseErrorKind::TrailingInput, "unexpected trailing input at position 2"},
        {"R0,C1", ParseErrorKind::TrailingInput, "unexpected trailing input at position 2"},
        {"R0)", ParseErrorKind::TrailingInput, "unexpected trailing input at position 2"},
        {"(R0)(R1)", ParseErrorKind::TrailingInput, "unexpected trailing input at position 4"},
        {"R1-(R1,C2)", ParseErrorKind::DuplicateLabel, "duplicate element label \"R1\""},
        {"R1-(C1,(R2,CPE3))-CPE3-R2", ParseErrorKind::DuplicateLabel,
         "duplicate element label \"CPE3\""},
    };
    for (const Case& c : cases) {
        const ParseError e = parse_fail(c.text);
        EXPECT_EQ(e.kind, c.kind) << "\"" << c.text << "\"";
        EXPECT_EQ(e.message(), c.message) << "\"" << c.text << "\"";
    }
    // The first error in reading order wins: the duplicate check only runs on
    // a complete parse.
    EXPECT_EQ(parse_fail("R1-R1-X").kind, ParseErrorKind::UnexpectedCharacter);
}

TEST(ParseCircuit, CaretLinesCountCharacters) {
    // No caret line for the end-of-input and duplicate kinds.
    EXPECT_EQ(head_of(""), "unexpected end of input");
    EXPECT_EQ(head_of("R1-R1"), "duplicate element label \"R1\"");
    // The caret can stand one past the end.
    EXPECT_EQ(head_of("R"), "unexpected character at position 1\n  R\n   ^");
    EXPECT_EQ(head_of("R0 -C1"), "unexpected trailing input at position 2\n  R0 -C1\n    ^");
    // Non-ASCII letters are unexpected characters; positions and the caret
    // count characters, and the input is echoed as passed.
    EXPECT_EQ(head_of("R0-\xC3\xA9"
                      "1"),
              "unexpected character at position 3\n  R0-\xC3\xA9"
              "1\n     ^");
    EXPECT_EQ(head_of("R0-C1\xE2\x84\xA6"),
              "unexpected trailing input at position 5\n  R0-C1\xE2\x84\xA6\n       ^");
    EXPECT_EQ(head_of("\xF0\x9F\x94\x8B"),
              "unexpected character at position 0\n  \xF0\x9F\x94\x8B\n  ^");
    // Control characters, including NUL, are plain unexpected input.
    EXPECT_EQ(parse_fail(std::string_view("R0\0", 3)).message(),
              "unexpected trailing input at position 2");
    EXPECT_EQ(parse_fail("\tR0").message(), "unexpected character at position 0");
    EXPECT_EQ(parse_fail("R0\n").message(), "unexpected trailing input at position 2");
    // A stray continuation byte is one character.
    EXPECT_EQ(parse_fail("R0-\x80").message(), "unexpected character at position 3");
}

TEST(ParseCircuit, NestingLimit) {
    const auto nested = [](std::size_t depth, std::string_view open) {
        std::string s;
        for (std::size_t i = 0; i < depth; ++i) s += open;
        s += "R0";
        s.append(depth, ')');
        return s;
    };
    // Exactly kMaxDepth levels parse, evaluate and are destroyed normally.
    const Circuit deep = parse_ok(nested(kMaxDepth, "("));
    EXPECT_EQ(nesting_depth(deep.top), kMaxDepth);
    EXPECT_EQ(circuit_impedance(deep, 3.0).re, 1.0);
    EXPECT_EQ(param_names(deep), std::vector<std::string>{"R0.r"});

    // One more level fails at the opening that exceeds the limit.
    const std::string too_deep = nested(kMaxDepth + 1, "(");
    const ParseError e = parse_fail(too_deep);
    EXPECT_EQ(e.kind, ParseErrorKind::TooDeep);
    EXPECT_EQ(e.message(), "circuit nesting is deeper than 1000 levels at position 1000");
    const std::string text = parse_error_text(too_deep, e);
    const std::string caret = "\n  " + std::string(1000, ' ') + "^\n\nsyntax:";
    EXPECT_NE(text.find("\n  " + too_deep + caret), std::string::npos);

    // "p(" openings count characters of both letters.
    EXPECT_EQ(parse_fail(nested(kMaxDepth + 1, "p(")).message(),
              "circuit nesting is deeper than 1000 levels at position 2000");

    // Nesting that would have blown a recursive parser's stack.
    EXPECT_EQ(parse_fail(std::string(100000, '(')).position, 1000u);
    EXPECT_EQ(parse_fail(nested(100000, "(")).kind, ParseErrorKind::TooDeep);
    // Earlier errors still win over the depth limit.
    EXPECT_EQ(parse_fail("R0-X" + std::string(5000, '(')).kind,
              ParseErrorKind::UnexpectedCharacter);
}

TEST(ParseCircuit, MillionCharacterInputs) {
    // A flat series of distinct resistors just over 10^6 characters.
    std::string flat = "R0";
    std::size_t count = 1;
    while (flat.size() < 1000000) flat += "-R" + std::to_string(count++);
    const Circuit c = parse_ok(flat);
    EXPECT_EQ(parameter_count(c), count);
    EXPECT_EQ(circuit_impedance(c, 1.0).re, static_cast<double>(count));

    // The same with the first label repeated at the end.
    const ParseError dup = parse_fail(flat + "-R0");
    EXPECT_EQ(dup.message(), "duplicate element label \"R0\"");

    // Wide groups, shallow nesting.
    std::string wide = "(R0";
    for (std::size_t i = 1; i < 150000; ++i) wide += ",C" + std::to_string(i);
    wide += ")";
    ASSERT_GT(wide.size(), 1000000u);
    const Circuit w = parse_ok(wide);
    EXPECT_EQ(std::get<ParallelGroup>(w.top.nodes.at(0).item).branches.size(), 150000u);

    // Garbage of the same size fails at once, with the whole input echoed.
    const std::string junk(1000000, '-');
    const ParseError e = parse_fail(junk);
    EXPECT_EQ(e.message(), "unexpected character at position 0");
    EXPECT_GT(parse_error_text(junk, e).size(), 1000000u);
}

}  // namespace
}  // namespace korvane
