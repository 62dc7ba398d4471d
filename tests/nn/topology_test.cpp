#include "nn/topology.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "circuit/circuit.hpp"
#include "support/parse_ok.hpp"

namespace korvane {
namespace {

using korvane::testing::parse_ok;

std::string key_of(const std::string& text) { return topology_of(parse_ok(text)).key; }

std::optional<TopologyMatch> match(const std::string& caller, const std::string& model) {
    return match_topology(parse_ok(caller), topology_of(parse_ok(model)));
}

using Indices = std::vector<std::size_t>;

TEST(TopologyKey, IgnoresLabelsValuesAndWrittenOrder) {
    EXPECT_EQ(key_of("R0-(R1,C1)"), "[([C],[R]),R]");
    EXPECT_EQ(key_of("(C2,R9)-R3"), "[([C],[R]),R]");
    EXPECT_EQ(key_of("R0-p(R1,C1)"), key_of("R0-(R1,C1)"));
    EXPECT_EQ(key_of("R0-(R1-W1,CPE1)"), "[([Cpe],[R,W]),R]");
    EXPECT_EQ(key_of("R0-(R1,CPE1)-(R2-W2,CPE2)"), "[([Cpe],[R,W]),([Cpe],[R]),R]");
    // The spelling of the constant-phase code does not matter.
    EXPECT_EQ(key_of("Cpe0"), key_of("CPE7"));
    EXPECT_EQ(key_of("TLMQ0-T1"), "[T,Tlmq]");
}

TEST(TopologyKey, SortsBytewiseWithPrefixFirst) {
    // "L" before "La", "W" before "Wo" before "Ws": a proper prefix sorts first.
    EXPECT_EQ(key_of("La0-L1"), "[L,La]");
    EXPECT_EQ(key_of("Ws0-Wo1-W2"), "[W,Wo,Ws]");
    EXPECT_EQ(key_of("Zarc0-K1-G2-Gs3"), "[G,Gs,K,Zarc]");
    // Upper-case bytes sort before lower-case ones, and '(' before letters:
    // groups come first in a series.
    EXPECT_EQ(key_of("R0-(R1,C1)-C2"), "[([C],[R]),C,R]");
    // "[C]" against "[Cpe]": ']' (0x5D) is below 'p' (0x70).
    EXPECT_EQ(key_of("(CPE1,C2)"), "[([C],[Cpe])]");
    // Nested groups and series inside branches are keyed recursively.
    EXPECT_EQ(key_of("R0-(R1-(C2,R3),L4)"), "[([([C],[R]),R],[L]),R]");
}

TEST(TopologyKey, SegmentsFollowCanonicalOrderWithWrittenIndices) {
    // R1.r, C1.c, R2.r, CPE2.q, CPE2.alpha, R0.r in param_names() order.
    const Topology t = topology_of(parse_ok("(R1,C1)-(R2,CPE2)-R0"));
    EXPECT_EQ(t.key, "[([C],[R]),([Cpe],[R]),R]");
    ASSERT_EQ(t.segments.size(), 5u);
    const std::vector<std::pair<std::size_t, std::size_t>> expected = {
        {1, 1}, {0, 1}, {3, 2}, {2, 1}, {5, 1}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(t.segments[i].first, expected[i].first) << i;
        EXPECT_EQ(t.segments[i].count, expected[i].second) << i;
    }
}

TEST(TopologyMatch, ReordersAndRelabelsOntoTheModel) {
    // The model "R0-(R1,C1)" has parameters R0.r, R1.r, C1.c.
    struct Case {
        const char* caller;
        Indices mapping;
    };
    const Case cases[] = {
        {"R0-(R1,C1)", {0, 1, 2}}, {"(R1,C2)-R3", {1, 2, 0}},  // R1.r, C2.c, R3.r
        {"R0-(C1,R1)", {0, 2, 1}},                             // R0.r, C1.c, R1.r
        {"(R1,C1)-R0", {1, 2, 0}}, {"R5-p(R6,C7)", {0, 1, 2}},
    };
    for (const auto& c : cases) {
        const auto m = match(c.caller, "R0-(R1,C1)");
        ASSERT_TRUE(m) << c.caller;
        EXPECT_FALSE(m->pair_conversion) << c.caller;
        EXPECT_EQ(m->mapping.model_index, c.mapping) << c.caller;
    }
}

TEST(TopologyMatch, RejectsOtherTopologies) {
    EXPECT_FALSE(match("R0-C1", "R0-(R1,C1)"));
    EXPECT_FALSE(match("R0-(R1,C1,L2)", "R0-(R1,C1)"));
    EXPECT_FALSE(match("R0-(R1,CPE1)", "R0-(R1,C1)"));
    EXPECT_FALSE(match("R0-R1-C1", "R0-(R1,C1)"));
    EXPECT_FALSE(match("(R0-R1,C1)", "R0-(R1,C1)"));
    // A pair expansion that does not land on the model is no match either.
    EXPECT_FALSE(match("R0-K1", "R0-(R1,CPE1)"));
    EXPECT_FALSE(match("R0-Zarc1", "R0-(R1,C1)"));
    EXPECT_FALSE(match("K1", "R0-(R1,C1)"));
}

TEST(TopologyMatch, EqualKeysKeepWrittenOrder) {
    // Model R0.r, R1.r, C1.c, R2.r, C2.c: the group written first takes (R1, C1).
    const auto same = match("R0-(R1,C1)-(R2,C2)", "R0-(R1,C1)-(R2,C2)");
    ASSERT_TRUE(same);
    EXPECT_EQ(same->mapping.model_index, (Indices{0, 1, 2, 3, 4}));

    // Caller R2.r, C2.c, R0.r, R1.r, C1.c: its first group is (R2,C2).
    const auto swapped = match("(R2,C2)-R0-(R1,C1)", "R0-(R1,C1)-(R2,C2)");
    ASSERT_TRUE(swapped);
    EXPECT_EQ(swapped->mapping.model_index, (Indices{1, 2, 0, 3, 4}));

    // Many interchangeable parts, placed differently in caller and model so
    // that an unstable sort would permute the two differently.
    std::string groups;
    Indices expected;
    for (std::size_t i = 0; i < 40; ++i) {
        groups += "-(R" + std::to_string(i) + ",C" + std::to_string(i) + ")";
        expected.push_back(1 + 2 * i);
        expected.push_back(2 + 2 * i);
    }
    expected.push_back(0);
    const auto long_series = match(groups.substr(1) + "-R99", "R99" + groups);
    ASSERT_TRUE(long_series);
    EXPECT_EQ(long_series->mapping.model_index, expected);

    // Same inside the branches of one group.
    const auto branches = match("(C5,R5,C6)", "(C1,C2,R1)");
    ASSERT_TRUE(branches);
    EXPECT_EQ(branches->mapping.model_index, (Indices{0, 2, 1}));
}

TEST(TopologyMatch, AbbreviationsMatchThroughTheirPairs) {
    const auto zarc = match("R0-Zarc1", "R0-(R1,CPE1)");
    ASSERT_TRUE(zarc);
    EXPECT_TRUE(zarc->pair_conversion);
    EXPECT_EQ(zarc->mapping.model_index, (Indices{0, 1, 2, 3}));

    // Zarc written first: its R, Q, alpha are caller positions 0..2.
    const auto zarc_first = match("Zarc1-R0", "R0-(R1,CPE1)");
    ASSERT_TRUE(zarc_first);
    EXPECT_EQ(zarc_first->mapping.model_index, (Indices{1, 2, 3, 0}));

    const auto k = match("R0-K1", "R0-(R1,C1)");
    ASSERT_TRUE(k);
    EXPECT_TRUE(k->pair_conversion);
    EXPECT_EQ(k->mapping.model_index, (Indices{0, 1, 2}));

    const auto two = match("L0-R0-K1-K2", "L0-R0-(R1,C1)-(R2,C2)");
    ASSERT_TRUE(two);
    EXPECT_TRUE(two->pair_conversion);
    EXPECT_EQ(two->mapping.model_index, (Indices{0, 1, 2, 3, 4, 5}));

    // A K next to an explicitly written pair: the whole circuit is expanded.
    const auto mixed = match("R0-K1-(R2,C2)", "R0-(R1,C1)-(R2,C2)");
    ASSERT_TRUE(mixed);
    EXPECT_TRUE(mixed->pair_conversion);
    EXPECT_EQ(mixed->mapping.model_index, (Indices{0, 1, 2, 3, 4}));

    // A model written with K is matched directly, without conversion.
    const auto direct = match("K3-R2", "R0-K1");
    ASSERT_TRUE(direct);
    EXPECT_FALSE(direct->pair_conversion);
    EXPECT_EQ(direct->mapping.model_index, (Indices{1, 2, 0}));
}

TEST(TopologyMatch, UnlabeledCircuitsMatchLikeParsedOnes) {
    Element r;
    r.kind = Kind::R;
    Element c;
    c.kind = Kind::C;
    const Operand pair[] = {{r}, {c}};
    auto group = parallel(pair);
    ASSERT_TRUE(group.ok());
    const Operand whole[] = {{&group.value()}, {r}};
    auto circuit = series(whole);
    ASSERT_TRUE(circuit.ok());
    const auto m = match_topology(circuit.value(), topology_of(parse_ok("R0-(R1,C1)")));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->mapping.model_index, (Indices{1, 2, 0}));
}

TEST(TopologyMatch, DeepNestingNeitherCrashesNorMatchesAFlatModel) {
    std::string text;
    const int depth = 900;
    for (int i = 0; i < depth; ++i) text += '(';
    text += "R0";
    for (int i = 0; i < depth; ++i) text += ')';
    const Circuit deep = parse_ok(text);
    const Topology t = topology_of(deep);
    EXPECT_EQ(t.key.size(), 3 + 4 * static_cast<std::size_t>(depth));
    EXPECT_FALSE(match_topology(deep, topology_of(parse_ok("R0"))));
}

TEST(ParameterMapping, RefusesSegmentListsThatDoNotLineUp) {
    Topology caller{"k", {{0, 1}, {1, 2}}};
    Topology model{"k", {{0, 2}, {2, 1}}};
    EXPECT_FALSE(mapping_between(caller, model));
    model.segments.pop_back();
    EXPECT_FALSE(mapping_between(caller, model));
    // Two segments claiming the same caller parameter.
    const Topology overlapping{"k", {{0, 1}, {0, 1}}};
    EXPECT_FALSE(mapping_between(overlapping, Topology{"k", {{0, 1}, {1, 1}}}));

    auto picked = apply_mapping(ParameterMapping{{2, 0}}, std::vector<double>{7, 8, 9});
    ASSERT_TRUE(picked.ok());
    EXPECT_EQ(picked.value(), (std::vector<double>{9, 7}));
    auto past_end = apply_mapping(ParameterMapping{{3}}, std::vector<double>{7, 8, 9});
    ASSERT_FALSE(past_end.ok());
    EXPECT_EQ(past_end.error().kind, ErrorKind::Internal);
}

TEST(PairConversion, RecoversTimeConstantsFromPairValues) {
    const double r = 100.0, q = 2e-3, alpha = 0.8;
    auto zarc = convert_pairs_back(parse_ok("R0-Zarc1"), std::vector<double>{10.0, r, q, alpha});
    ASSERT_TRUE(zarc.ok());
    ASSERT_EQ(zarc->size(), 4u);
    EXPECT_EQ((*zarc)[0], 10.0);
    EXPECT_EQ((*zarc)[1], r);
    EXPECT_DOUBLE_EQ((*zarc)[2], std::pow(r * q, 1.0 / alpha));
    EXPECT_EQ((*zarc)[3], alpha);

    // Round trip through the forward equivalence Q = τ^γ / R.
    const double tau = 3e-4;
    auto back = convert_pairs_back(parse_ok("Zarc0"),
                                   std::vector<double>{r, std::pow(tau, alpha) / r, alpha});
    ASSERT_TRUE(back.ok());
    EXPECT_NEAR((*back)[1], tau, 1e-15);

    // L, R copied; each K turns (R, C) into (R, R·C).
    auto ks = convert_pairs_back(parse_ok("L0-R0-K1-K2"),
                                 std::vector<double>{1e-6, 5.0, 20.0, 1e-4, 30.0, 2e-2});
    ASSERT_TRUE(ks.ok());
    EXPECT_EQ(*ks, (std::vector<double>{1e-6, 5.0, 20.0, 20.0 * 1e-4, 30.0, 30.0 * 2e-2}));

    // Elements of every other arity pass through untouched.
    const std::vector<double> plain = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    auto copied = convert_pairs_back(parse_ok("T0-Gs1-La2-W3-G4"), plain);
    ASSERT_TRUE(copied.ok());
    EXPECT_EQ(*copied, plain);
}

TEST(PairConversion, FloorsAlphaAndRejectsShortInput) {
    // α = 0 is floored at 1e-6: (1 + 1e-7)^(1e6) ≈ e^0.1 instead of overflowing.
    auto floored = convert_pairs_back(parse_ok("Zarc0"), std::vector<double>{1.0, 1.0 + 1e-7, 0.0});
    ASSERT_TRUE(floored.ok());
    EXPECT_NEAR((*floored)[1], std::exp(0.1), 1e-6);
    EXPECT_EQ((*floored)[2], 0.0);

    auto short_input = convert_pairs_back(parse_ok("R0-Zarc1"), std::vector<double>{1.0, 2.0, 3.0});
    ASSERT_FALSE(short_input.ok());
    EXPECT_EQ(short_input.error().kind, ErrorKind::Internal);
}

}  // namespace
}  // namespace korvane
