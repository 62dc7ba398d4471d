// Parameter names, values, bounds and units; rebuilding by position and by
// name, with the error texts and the "did you mean" rule.

#include "circuit/params.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "circuit/circuit.hpp"
#include "support/parse_ok.hpp"

namespace korvane {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
using Names = std::vector<std::string>;
using Pairs = std::vector<std::pair<std::string, double>>;

using korvane::testing::parse_ok;

Element make(Kind kind) {
    Element e;
    e.kind = kind;
    e.values = kind_info(kind).placeholders;
    return e;
}

std::string named_error(const Circuit& c, const Pairs& pairs) {
    const Result<Circuit> r = with_named_values(c, pairs);
    if (r.ok()) {
        ADD_FAILURE() << "with_named_values succeeded";
        return {};
    }
    EXPECT_EQ(r.error().kind, ErrorKind::Value);
    return r.error().message;
}

// The lines before the "valid parameters" listing.
std::string named_error_head(const Circuit& c, const Pairs& pairs) {
    const std::string m = named_error(c, pairs);
    return m.substr(0, m.find("\n\nvalid parameters for this circuit:"));
}

TEST(ParamVector, ListsForParsedCircuits) {
    const Circuit rc = parse_ok("R0-(R1,C1)");
    EXPECT_EQ(param_names(rc), (Names{"R0.r", "R1.r", "C1.c"}));
    EXPECT_EQ(param_values(rc), (std::vector<double>{1.0, 1.0, 0.001}));
    EXPECT_EQ(param_units(rc), (Names{"ohm", "ohm", "F"}));
    for (const Bounds b : param_bounds(rc)) {
        EXPECT_EQ(b.lo, 1e-12);
        EXPECT_EQ(b.hi, kInf);
    }

    const Circuit zarc = parse_ok("R0-Zarc1");
    EXPECT_EQ(param_names(zarc), (Names{"R0.r", "Zarc1.r", "Zarc1.tau_k", "Zarc1.gamma"}));
    EXPECT_EQ(param_units(zarc), (Names{"ohm", "ohm", "s", "-"}));
    const std::vector<Bounds> zb = param_bounds(zarc);
    EXPECT_EQ(zb[2].hi, kInf);
    EXPECT_EQ(zb[3].lo, 0.0);
    EXPECT_EQ(zb[3].hi, 1.0);

    const Circuit all = parse_ok("La0-CPE1-Gs2-TLMQ3-T4");
    EXPECT_EQ(param_names(all), (Names{"La0.l", "La0.alpha", "CPE1.q", "CPE1.alpha", "Gs2.rg",
                                       "Gs2.tg", "Gs2.phi", "TLMQ3.r_ion", "TLMQ3.qs",
                                       "TLMQ3.gamma", "T4.a", "T4.b", "T4.k_tau", "T4.tau"}));
    EXPECT_EQ(param_units(all)[7], "ohm");
    EXPECT_EQ(param_units(all)[8], "F*s^(gamma-1)");
    EXPECT_EQ(parameter_count(all), 14u);
}

TEST(ParamVector, CountersForMixedLabelledAndUnlabelled) {
    const Element r = make(Kind::R);
    const Element cpe = make(Kind::Cpe);
    const Element c = make(Kind::C);
    const Circuit labelled = parse_ok("R5-(C1,R2)");
    const Result<Circuit> inner = parallel(std::vector<Operand>{{r}, {c}});
    ASSERT_TRUE(inner.ok());
    const Result<Circuit> mixed =
        series(std::vector<Operand>{{r}, {&labelled}, {cpe}, {&inner.value()}, {cpe}});
    ASSERT_TRUE(mixed.ok());
    // Labelled elements neither read nor advance the counters.
    const Names expected{"R0.r",       "R5.r", "C1.c", "R2.r",   "Cpe0.q",
                         "Cpe0.alpha", "R1.r", "C0.c", "Cpe1.q", "Cpe1.alpha"};
    EXPECT_EQ(param_names(*mixed), expected);
    // Counters start afresh on every call.
    EXPECT_EQ(param_names(*mixed), expected);

    const Result<Circuit> three = series(std::vector<Operand>{{r}, {r}, {r}});
    ASSERT_TRUE(three.ok());
    EXPECT_EQ(param_names(*three), (Names{"R0.r", "R1.r", "R2.r"}));
}

TEST(WithValues, AssignsInParameterOrder) {
    const Circuit c = parse_ok("R0-(R1-W1,CPE1)");
    const std::vector<double> v{5.0, -1.0, std::nan(""), kInf, 0.3};
    const Result<Circuit> r = with_values(c, v);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r->values_explicit);
    const std::vector<double> got = param_values(*r);
    EXPECT_EQ(got[0], 5.0);
    EXPECT_EQ(got[1], -1.0);
    EXPECT_TRUE(std::isnan(got[2]));  // stored as passed, bounds are not checked
    EXPECT_EQ(got[3], kInf);
    EXPECT_EQ(got[4], 0.3);
    EXPECT_EQ(param_names(*r), param_names(c));
    // The source circuit is untouched.
    EXPECT_EQ(param_values(c), (std::vector<double>{1.0, 1.0, 1.0, 0.001, 0.8}));
    EXPECT_FALSE(c.values_explicit);

    // Absent labels stay absent.
    const Result<Circuit> built = series(std::vector<Operand>{{make(Kind::K)}});
    ASSERT_TRUE(built.ok());
    const Result<Circuit> rebuilt = with_values(*built, std::vector<double>{2.0, 3.0});
    ASSERT_TRUE(rebuilt.ok());
    EXPECT_TRUE(std::get<Element>(rebuilt->top.nodes.at(0).item).label.empty());

    const Result<Circuit> wrong = with_values(parse_ok("R0-(R1,C1)"), std::vector<double>{1, 2});
    // A count mismatch is the caller's error (its text is asserted in Python).
    ASSERT_FALSE(wrong.ok());
    EXPECT_EQ(wrong.error().kind, ErrorKind::Value);
    EXPECT_FALSE(with_values(parse_ok("R0"), std::vector<double>{1, 2}).ok());
}

TEST(WithNamedValues, TakesValuesByNameInAnyOrder) {
    const Circuit c = parse_ok("R0-(R1,CPE1)");
    const Result<Circuit> r = with_named_values(
        c, Pairs{{"CPE1.alpha", 0.9}, {"R1.r", 20.0}, {"R0.r", 3.0}, {"CPE1.q", 1e-5}});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(param_values(*r), (std::vector<double>{3.0, 20.0, 1e-5, 0.9}));
    EXPECT_TRUE(r->values_explicit);

    const Result<Circuit> empty = series({});
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(with_named_values(*empty, Pairs{}).ok());
}

TEST(WithNamedValues, SuggestionThresholdAndTies) {
    const Circuit rc = parse_ok("R0-(R1,C1)");
    const Pairs complete{{"R0.r", 1}, {"R1.r", 2}, {"C1.c", 3}};
    const auto head_with = [&](const Circuit& c, Pairs pairs, const std::string& key) {
        pairs.emplace_back(key, 0.0);
        return named_error_head(c, pairs);
    };
    // Short keys: threshold 2.
    EXPECT_EQ(head_with(rc, complete, "Rx"), "unknown parameter \"Rx\"");
    EXPECT_EQ(head_with(rc, complete, "R0"), "unknown parameter \"R0\" (did you mean \"R0.r\"?)");
    EXPECT_EQ(head_with(rc, complete, "RQ.XY"), "unknown parameter \"RQ.XY\"");
    // Six characters: threshold 3.
    EXPECT_EQ(head_with(rc, complete, "R1.XYZ"),
              "unknown parameter \"R1.XYZ\" (did you mean \"R1.r\"?)");
    // Ties go to the earliest name in parameter order.
    EXPECT_EQ(head_with(rc, complete, "R2.r"),
              "unknown parameter \"R2.r\" (did you mean \"R0.r\"?)");

    const Circuit zarc = parse_ok("Zarc1");
    const Pairs zarc_complete{{"Zarc1.r", 1}, {"Zarc1.tau_k", 2}, {"Zarc1.gamma", 3}};
    // Eleven characters: threshold 5; all three names at distance 5.
    EXPECT_EQ(head_with(zarc, zarc_complete, "Zarc1.XXXXX"),
              "unknown parameter \"Zarc1.XXXXX\" (did you mean \"Zarc1.r\"?)");
    EXPECT_EQ(head_with(zarc, zarc_complete, "Zarc1.gaXXX"),
              "unknown parameter \"Zarc1.gaXXX\" (did you mean \"Zarc1.gamma\"?)");
    // Eight characters: threshold 4, nearest at 7.
    EXPECT_EQ(head_with(zarc, zarc_complete, "ZZZZZZZZ"), "unknown parameter \"ZZZZZZZZ\"");
    // Lengths and distances count characters, not bytes: "ΩΩΩΩ.r" has 6
    // characters (threshold 3, 5 by bytes) and lies 4 from "R0.r";
    // "RΩΩΩ.r" lies 3 characters (6 bytes) from it.
    EXPECT_EQ(head_with(rc, complete, "\xCE\xA9\xCE\xA9\xCE\xA9\xCE\xA9.r"),
              "unknown parameter \"\xCE\xA9\xCE\xA9\xCE\xA9\xCE\xA9.r\"");
    EXPECT_EQ(head_with(rc, complete, "R\xCE\xA9\xCE\xA9\xCE\xA9.r"),
              "unknown parameter \"R\xCE\xA9\xCE\xA9\xCE\xA9.r\" (did you mean \"R0.r\"?)");
}

TEST(EditDistance, CountsCodePoints) {
    EXPECT_EQ(edit_distance("", ""), 0u);
    EXPECT_EQ(edit_distance("kitten", "sitting"), 3u);
    EXPECT_EQ(edit_distance("ab", "ba"), 2u);  // no transposition
    EXPECT_EQ(edit_distance("R0.r", "r0.r"), 1u);
    EXPECT_EQ(edit_distance("\xC3\xA9", "e"), 1u);
    EXPECT_EQ(edit_distance("\xCE\xA9\xCE\xA9", ""), 2u);
    EXPECT_EQ(edit_distance("a\xF0\x9F\x94\x8B"
                            "b",
                            "ab"),
              1u);
}

}  // namespace
}  // namespace korvane
