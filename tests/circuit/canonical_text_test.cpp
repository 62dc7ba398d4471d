// The serialised form of a circuit: canonical text from the tree, the
// notations outside the circuit-string grammar, and rebuilding the exact tree
// (labels present and absent, values bit for bit, values_explicit).

#include "circuit/canonical_text.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "circuit/params.hpp"
#include "support/build_circuit.hpp"
#include "support/parse_ok.hpp"

namespace korvane {
namespace {

using korvane::testing::parse_ok;

using korvane::testing::make;
using korvane::testing::must;
using korvane::testing::op;

// Structural equality: shape, kinds, labels and the bits of every meaningful
// value.
bool same_tree(const SeriesList& a, const SeriesList& b) {
    if (a.nodes.size() != b.nodes.size()) return false;
    for (std::size_t i = 0; i < a.nodes.size(); ++i) {
        const Node& x = a.nodes[i];
        const Node& y = b.nodes[i];
        if (x.item.index() != y.item.index()) return false;
        if (const auto* ex = std::get_if<Element>(&x.item)) {
            const Element& ey = std::get<Element>(y.item);
            if (ex->kind != ey.kind || ex->label != ey.label) return false;
            for (int p = 0; p < param_count(ex->kind); ++p) {
                if (std::bit_cast<std::uint64_t>(ex->values[p]) !=
                    std::bit_cast<std::uint64_t>(ey.values[p])) {
                    return false;
                }
            }
        } else {
            const auto& gx = std::get<ParallelGroup>(x.item).branches;
            const auto& gy = std::get<ParallelGroup>(y.item).branches;
            if (gx.size() != gy.size()) return false;
            for (std::size_t k = 0; k < gx.size(); ++k) {
                if (!same_tree(gx[k], gy[k])) return false;
            }
        }
    }
    return true;
}

void expect_round_trip(const Circuit& c) {
    const CircuitForm form = circuit_form(c);
    const Circuit back = must(circuit_from_form(form));
    EXPECT_TRUE(same_tree(c.top, back.top)) << form.text;
    EXPECT_EQ(back.values_explicit, c.values_explicit) << form.text;
    EXPECT_EQ(canonical_text(back), form.text);
}

TEST(CanonicalText, ParsedCircuitsKeepTheirLabels) {
    // Labels verbatim (code as typed, leading zeros); "p(" becomes "(".
    for (const char* text : {"R0-(R1,C1)", "R007-CPE0-Cpe0-TLMQ1-Tlmq2", "(R1)", "R0-Zarc1",
                             "R0-(R1-W1,CPE1)-(R2-Wo2,(C2,Zarc2-(La3,G3)))-Tlmq4-T5-K6-Gs7-Ws8"}) {
        EXPECT_EQ(canonical_text(parse_ok(text)), text);
        expect_round_trip(parse_ok(text));
    }
    EXPECT_EQ(canonical_text(parse_ok("R0-p(R1,p(C1,C2))")), "R0-(R1,(C1,C2))");
}

TEST(CanonicalText, UnlabeledElementsAreNamedAsTheirParameters) {
    const Element r = make(Kind::R, {10.0});
    const Element c = make(Kind::C, {1e-6});
    const Element q = make(Kind::Cpe, {1e-4, 0.9});
    const Circuit rc = must(parallel(std::vector<Operand>{op(r), op(c)}));
    const Circuit crc = must(series(std::vector<Operand>{op(c), op(rc), op(q)}));
    const CircuitForm form = circuit_form(crc);
    EXPECT_EQ(form.text, "C0-(R0,C1)-Cpe0");
    EXPECT_EQ(form.unlabeled, (std::vector<std::size_t>{0, 1, 2, 3}));
    EXPECT_EQ(param_names(parse_ok(form.text)), param_names(crc));
    expect_round_trip(crc);

    // Mixed: labeled elements keep their label and do not advance counters.
    const Circuit parsed = parse_ok("R5-(R1,C1)");
    const Circuit mixed = must(series(std::vector<Operand>{op(r), op(parsed), op(r)}));
    const CircuitForm mixed_form = circuit_form(mixed);
    EXPECT_EQ(mixed_form.text, "R0-R5-(R1,C1)-R1");
    EXPECT_EQ(mixed_form.unlabeled, (std::vector<std::size_t>{0, 4}));
    expect_round_trip(mixed);
}

TEST(CanonicalText, ShapesOutsideTheGrammarRoundTrip) {
    const Element r = make(Kind::R, {2.0});
    const Circuit empty = must(series({}));
    const Circuit no_branches = must(parallel({}));
    const Circuit one_empty_branch = must(parallel(std::vector<Operand>{op(empty)}));
    const Circuit empty_beside_r = must(parallel(std::vector<Operand>{op(empty), op(r)}));
    const Circuit nested = must(series(std::vector<Operand>{op(no_branches), op(r)}));
    const Circuit doubled =
        must(series(std::vector<Operand>{op(parse_ok("R0")), op(parse_ok("R0"))}));
    const Circuit clash = must(series(std::vector<Operand>{op(parse_ok("R0")), op(r)}));

    EXPECT_EQ(canonical_text(empty), "0");
    EXPECT_EQ(canonical_text(no_branches), "()");
    EXPECT_EQ(canonical_text(one_empty_branch), "(0)");
    EXPECT_EQ(canonical_text(empty_beside_r), "(0,R0)");
    EXPECT_EQ(canonical_text(nested), "()-R0");
    EXPECT_EQ(canonical_text(doubled), "R0-R0");
    EXPECT_EQ(canonical_text(clash), "R0-R0");
    for (const Circuit* c :
         {&empty, &no_branches, &one_empty_branch, &empty_beside_r, &nested, &doubled, &clash}) {
        expect_round_trip(*c);
        // None of these is a circuit string.
        EXPECT_TRUE(std::holds_alternative<ParseError>(parse_circuit(canonical_text(*c))));
    }
}

TEST(CanonicalText, ValuesAndFlagKeepEveryBit) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const double payload_nan = std::bit_cast<double>(std::uint64_t{0x7ff8000000000abcULL});
    const double negative_nan = std::bit_cast<double>(std::uint64_t{0xfff8000000000000ULL});
    const Circuit c = must(with_values(
        parse_ok("R0-(R1,CPE1)-T2"),
        std::vector<double>{-0.0, payload_nan, 5e-324, negative_nan, kInf, -kInf, 1e308, 0.1}));
    expect_round_trip(c);
    // A parsed circuit has placeholders and values_explicit false; a form may
    // also carry values with the flag false (Series of a parsed operand).
    expect_round_trip(parse_ok("R0-(R1,CPE1)"));
    const Circuit placeholders_and_values =
        must(series(std::vector<Operand>{op(c), op(parse_ok("W9"))}));
    EXPECT_FALSE(placeholders_and_values.values_explicit);
    expect_round_trip(placeholders_and_values);
}

TEST(CanonicalText, DeepestNestingRoundTrips) {
    std::string text(kMaxDepth, '(');
    text += "R0";
    text.append(kMaxDepth, ')');
    const Circuit deepest = parse_ok(text);
    EXPECT_EQ(canonical_text(deepest), text);
    expect_round_trip(deepest);
    // An innermost group without branches sits at the same depth limit.
    std::string empty_innermost(kMaxDepth, '(');
    empty_innermost.append(kMaxDepth, ')');
    ASSERT_TRUE(std::holds_alternative<Circuit>(parse_canonical_text(empty_innermost)));
    EXPECT_EQ(nesting_depth(std::get<Circuit>(parse_canonical_text(empty_innermost)).top),
              kMaxDepth);
    EXPECT_TRUE(
        std::holds_alternative<ParseError>(parse_canonical_text("(" + empty_innermost + ")")));
}

TEST(CanonicalText, RandomTreesRoundTrip) {
    std::mt19937_64 rng(15);
    const auto uniform = [&](std::size_t n) {
        return static_cast<std::size_t>(std::uniform_int_distribution<std::size_t>(0, n - 1)(rng));
    };
    std::size_t label_number = 1000;  // apart from the generated labels
    // Random element, labeled (parsed) or not (an operand), random values.
    const auto random_operand_circuit = [&]() {
        const Kind kind = static_cast<Kind>(uniform(kKindCount));
        std::vector<double> values;
        for (int p = 0; p < param_count(kind); ++p) {
            values.push_back(std::ldexp(static_cast<double>(rng() >> 11), -40));
        }
        if (uniform(2) == 0) return must(series(std::vector<Operand>{op(make(kind, values))}));
        const std::string label =
            std::string(kind_info(kind).help_code) + std::to_string(label_number++);
        return must(with_values(parse_ok(label), values));
    };
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<Circuit> pool;
        for (std::size_t i = 0; i < 2 + uniform(6); ++i) pool.push_back(random_operand_circuit());
        while (pool.size() > 1) {
            const std::size_t take = 1 + uniform(std::min<std::size_t>(3, pool.size()));
            std::vector<Operand> operands;
            for (std::size_t i = pool.size() - take; i < pool.size(); ++i) {
                operands.push_back(op(pool[i]));
            }
            Circuit joined = uniform(2) == 0 ? must(series(operands)) : must(parallel(operands));
            pool.resize(pool.size() - take);
            pool.push_back(std::move(joined));
        }
        const Circuit& c = pool.front();
        expect_round_trip(c);
        // Every tree built this way is a circuit string naming the same
        // parameters (labels are distinct by construction).
        const CircuitForm form = circuit_form(c);
        const Circuit reparsed = parse_ok(form.text);
        EXPECT_EQ(param_names(reparsed), param_names(c)) << form.text;
    }
}

TEST(CanonicalText, DamagedFormsAreRefused) {
    const Circuit c = parse_ok("R0-(R1,C1)");
    CircuitForm form = circuit_form(c);

    CircuitForm bad_text = form;
    bad_text.text = "R0-(R1,C1";
    EXPECT_EQ(circuit_from_form(bad_text).error().message,
              "not a canonical circuit text: unexpected end of input");
    for (const char* text : {"0-R1", "R1-0", "(0-R1)", "00", "", "R0-()x"}) {
        EXPECT_TRUE(std::holds_alternative<ParseError>(parse_canonical_text(text))) << text;
    }

    CircuitForm bad_index = form;
    bad_index.unlabeled = {3};
    EXPECT_FALSE(circuit_from_form(bad_index).ok());
    bad_index.unlabeled = {1, 0};
    EXPECT_FALSE(circuit_from_form(bad_index).ok());
    bad_index.unlabeled = {1, 1};
    EXPECT_FALSE(circuit_from_form(bad_index).ok());

    CircuitForm bad_values = form;
    bad_values.values.pop_back();
    EXPECT_EQ(circuit_from_form(bad_values).error().message, "expected 3 values, got 2");
}

}  // namespace
}  // namespace korvane
