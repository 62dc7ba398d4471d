// Building circuits from parts, evaluation (single point, trial vectors,
// over frequencies on and off the pool), printable form and the expansion of
// the abbreviating elements.

#include "circuit/circuit.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <vector>

#include "circuit/params.hpp"
#include "support/build_circuit.hpp"
#include "support/parse_ok.hpp"

namespace korvane {
namespace {

using Std = std::complex<double>;
constexpr double kInf = std::numeric_limits<double>::infinity();

using korvane::testing::parse_ok;

using korvane::testing::make;
using korvane::testing::must;
using korvane::testing::op;

bool same_bits(Cplx a, Cplx b) {
    return std::memcmp(&a.re, &b.re, sizeof(double)) == 0 &&
           std::memcmp(&a.im, &b.im, sizeof(double)) == 0;
}

// A circuit touching every evaluation path: elements, nested groups, and the
// general, 0.5 and 1 exponents.
const char* kMixed = "R0-(R1-W1,CPE1)-(R2-Wo2,p(C2,Zarc2-(La3,G3)))-Tlmq4-T5";

TEST(BuildCircuit, SeriesAndParallelShapes) {
    const Element r = make(Kind::R, {10.0});
    const Element c = make(Kind::C, {1e-6});
    const Circuit rc = must(parallel(std::vector<Operand>{op(r), op(c)}));
    const Circuit crc = must(series(std::vector<Operand>{op(c), op(rc)}));
    // Element order C, R, C; names from per-code counters.
    EXPECT_EQ(param_names(crc), (std::vector<std::string>{"C0.c", "R0.r", "C1.c"}));
    EXPECT_EQ(param_values(crc), (std::vector<double>{1e-6, 10.0, 1e-6}));
    EXPECT_TRUE(crc.values_explicit);

    // Series splices a circuit's top-level nodes; parallel makes it a branch.
    const Circuit parsed = parse_ok("R0-(R1,C1)");
    const Circuit spliced = must(series(std::vector<Operand>{op(r), op(parsed), op(c)}));
    EXPECT_EQ(spliced.top.nodes.size(), 4u);
    EXPECT_EQ(param_names(spliced),
              (std::vector<std::string>{"R0.r", "R0.r", "R1.r", "C1.c", "C0.c"}));
    const Circuit branched = must(parallel(std::vector<Operand>{op(parsed), op(r)}));
    ASSERT_EQ(branched.top.nodes.size(), 1u);
    const auto& group = std::get<ParallelGroup>(branched.top.nodes[0].item);
    ASSERT_EQ(group.branches.size(), 2u);
    EXPECT_EQ(group.branches[0].nodes.size(), 2u);
    EXPECT_EQ(nesting_depth(branched.top), 2u);

    // Element operands lose any label; circuits keep theirs.
    Element labelled = r;
    labelled.label = "R9";
    const Circuit relabel = must(series(std::vector<Operand>{op(labelled)}));
    EXPECT_EQ(param_names(relabel), std::vector<std::string>{"R0.r"});

    // Placeholder values of a parsed operand make the result non-explicit.
    EXPECT_FALSE(spliced.values_explicit);
    EXPECT_FALSE(branched.values_explicit);
    const Circuit given = must(with_values(parsed, std::vector<double>{1, 2, 3}));
    EXPECT_TRUE(must(series(std::vector<Operand>{op(given), op(r)})).values_explicit);
}

TEST(BuildCircuit, EmptyOperandLists) {
    const Circuit empty_series = must(series({}));
    EXPECT_TRUE(empty_series.top.nodes.empty());
    EXPECT_EQ(parameter_count(empty_series), 0u);
    const Cplx z0 = circuit_impedance(empty_series, 10.0);
    EXPECT_EQ(z0.re, 0.0);
    EXPECT_EQ(z0.im, 0.0);

    const Circuit empty_group = must(parallel({}));
    const Cplx z = circuit_impedance(empty_group, 10.0);
    EXPECT_FALSE(std::isfinite(z.re) && std::isfinite(z.im));
}

TEST(BuildCircuit, RefusesNestingPastTheLimit) {
    std::string text(kMaxDepth, '(');
    text += "R0";
    text.append(kMaxDepth, ')');
    const Circuit deepest = parse_ok(text);
    const Element r = make(Kind::R, {1.0});

    const Result<Circuit> deeper = parallel(std::vector<Operand>{op(deepest), op(r)});
    ASSERT_FALSE(deeper.ok());
    EXPECT_EQ(deeper.error().message, "circuit nesting is deeper than 1000 levels");
    EXPECT_EQ(deeper.error().kind, ErrorKind::Value);
    // The deepest circuit also evaluates on the pool's threads.
    const std::vector<double> f(2000, 50.0);
    const Result<std::vector<Cplx>> z = impedance_over_frequencies(deepest, f);
    ASSERT_TRUE(z.ok());
    EXPECT_EQ(z->back().re, 1.0);
    // Series does not add a level.
    EXPECT_TRUE(series(std::vector<Operand>{op(deepest), op(r)}).ok());
    // One level less leaves room for exactly one more group.
    const Circuit shallower = parse_ok(text.substr(1, text.size() - 2));
    const Circuit rebuilt = must(parallel(std::vector<Operand>{op(shallower)}));
    EXPECT_EQ(nesting_depth(rebuilt.top), kMaxDepth);
}

TEST(Evaluate, MatchesClosedFormOfRandlesCell) {
    const Circuit c = must(
        with_values(parse_ok("R0-(R1-W1,CPE1)"), std::vector<double>{5.0, 20.0, 30.0, 2e-5, 0.85}));
    for (const double f : {0.01, 1.0, 1e3, 1e5}) {
        const double w = kTwoPi * f;
        const Std jw(0.0, w);
        const Std zw = 30.0 / std::sqrt(w) * Std(1, -1);
        const Std zq = 1.0 / (2e-5 * std::pow(jw, 0.85));
        const Std expected = 5.0 + 1.0 / (1.0 / (20.0 + zw) + 1.0 / zq);
        const Cplx z = circuit_impedance(c, w);
        EXPECT_LT(std::abs(Std(z.re, z.im) - expected), 1e-12 * std::abs(expected)) << f;
    }
}

TEST(Evaluate, TrialVectorFormsAgreeWithStoredValues) {
    const Circuit c = parse_ok(kMixed);
    const std::size_t n = parameter_count(c);
    ASSERT_EQ(n, param_values(c).size());
    std::vector<double> trial(n);
    for (std::size_t i = 0; i < n; ++i) trial[i] = 0.3 + 0.05 * static_cast<double>(i);
    const Circuit stored = must(with_values(c, trial));
    trial.push_back(12345.0);  // surplus is left unread
    for (const double w : {0.0, 1e-3, 2.0, 777.0, 1e6, -5.0}) {
        const Result<Cplx> z = impedance_from_iter(c, trial, w);
        ASSERT_TRUE(z.ok());
        EXPECT_TRUE(same_bits(*z, circuit_impedance(stored, w))) << w;
        EXPECT_TRUE(same_bits(impedance_unchecked(c, trial.data(), w), *z)) << w;
    }
}

TEST(Evaluate, ShortTrialVectorIsAnErrorValue) {
    const Circuit c = parse_ok("R0-(R1,CPE1)");
    const std::vector<double> trial{1.0, 2.0, 3e-3};
    const Result<Cplx> z = impedance_from_iter(c, trial, 10.0);
    ASSERT_FALSE(z.ok());
    // The caller's error, with both counts (its text is asserted in Python).
    EXPECT_EQ(z.error().kind, ErrorKind::Value);
    EXPECT_EQ(z.error().message, not_enough_values(4, 3).message);
    EXPECT_EQ(impedance_from_iter(c, {}, 10.0).error().message, not_enough_values(4, 0).message);
    EXPECT_TRUE(impedance_from_iter(must(series({})), {}, 10.0).ok());
}

TEST(Evaluate, PoolAndCallingThreadGiveIdenticalBits) {
    const Circuit c = must(with_values(
        parse_ok(kMixed),
        std::vector<double>{2.0,  30.0, 5.0, 3e-4, 0.7,  10.0, 4.0, 0.5, 1e-3, 6.0, 2e-3, 0.6,
                            2e-6, 0.5,  2.0, 0.3,  20.0, 1e-3, 0.5, 1.0, 2.0,  0.5, 1e-2}));
    ASSERT_EQ(parameter_count(c), 23u);
    for (const std::size_t n : {999u, 1000u, 4099u}) {
        std::vector<double> f(n);
        for (std::size_t i = 0; i < n; ++i) {
            f[i] = std::pow(10.0, -2.0 + 8.0 * static_cast<double>((i * 7919) % n) / n);
        }
        const Result<std::vector<Cplx>> z = impedance_over_frequencies(c, f);
        ASSERT_TRUE(z.ok());
        ASSERT_EQ(z->size(), n);
        std::size_t mismatches = 0;
        for (std::size_t i = 0; i < n; ++i) {
            mismatches += !same_bits((*z)[i], circuit_impedance(c, kTwoPi * f[i]));
        }
        EXPECT_EQ(mismatches, 0u) << n << " points";
    }
    // The first 999 points of a 1000-point call equal the 999-point call.
    std::vector<double> f(1000);
    for (std::size_t i = 0; i < f.size(); ++i) f[i] = 0.5 + static_cast<double>(i);
    const auto pooled = impedance_over_frequencies(c, f);
    const auto local = impedance_over_frequencies(c, std::span<const double>(f).first(999));
    ASSERT_TRUE(pooled.ok() && local.ok());
    for (std::size_t i = 0; i < 999; ++i) ASSERT_TRUE(same_bits((*pooled)[i], (*local)[i])) << i;

    EXPECT_TRUE(impedance_over_frequencies(c, {}).value().empty());
}

TEST(Evaluate, NonFiniteAndNegativeFrequenciesAreNotErrors) {
    const Circuit c = parse_ok("R0-(R1,C1)");
    const std::vector<double> f{0.0, -1.0, kInf, std::nan(""), 1e-100};
    const Result<std::vector<Cplx>> z = impedance_over_frequencies(c, f);
    ASSERT_TRUE(z.ok());
    for (std::size_t i = 0; i < f.size(); ++i) {
        EXPECT_TRUE(same_bits((*z)[i], circuit_impedance(c, kTwoPi * f[i]))) << i;
    }
    // C at ω = 0 is not finite; R0 + R1 ∥ open circuit is still 2 in the limit.
    EXPECT_FALSE(std::isfinite(circuit_impedance(parse_ok("C1"), 0.0).im));
    EXPECT_DOUBLE_EQ((*z)[4].re, 2.0);
}

TEST(ExpandAbbreviations, ReplacesEveryKAndZarcByItsPair) {
    Circuit c = must(with_values(parse_ok("R0-K1-(R2,p(C3,Zarc4))"),
                                 std::vector<double>{3.0, 8.0, 2e-3, 5.0, 1e-4, 6.0, 4e-3, 0.7}));
    const Circuit before = c;
    EXPECT_TRUE(expand_abbreviations(c.top));

    // K1 -> R ∥ C(τ/r) in place; the nested Zarc4 -> R ∥ Cpe(τ^γ/r, γ).
    ASSERT_EQ(c.top.nodes.size(), 3u);
    EXPECT_EQ(std::get<Element>(c.top.nodes[0].item).label, "R0");
    const auto& k_pair = std::get<ParallelGroup>(c.top.nodes[1].item);
    ASSERT_EQ(k_pair.branches.size(), 2u);
    const Element& kr = std::get<Element>(k_pair.branches[0].nodes.at(0).item);
    const Element& kc = std::get<Element>(k_pair.branches[1].nodes.at(0).item);
    EXPECT_EQ(kr.kind, Kind::R);
    EXPECT_EQ(kc.kind, Kind::C);
    EXPECT_TRUE(kr.label.empty() && kc.label.empty());
    EXPECT_EQ(kr.values[0], 8.0);
    EXPECT_EQ(kc.values[0], 2e-3 / 8.0);

    EXPECT_EQ(param_names(c), (std::vector<std::string>{"R0.r", "R0.r", "C0.c", "R2.r", "C3.c",
                                                        "R1.r", "Cpe0.q", "Cpe0.alpha"}));
    const std::vector<double> v = param_values(c);
    EXPECT_EQ(v[6], std::pow(4e-3, 0.7) / 6.0);
    EXPECT_EQ(v[7], 0.7);

    for (const double w : {1.0, 250.0, 1e5}) {
        const Cplx a = circuit_impedance(before, w);
        const Cplx b = circuit_impedance(c, w);
        EXPECT_NEAR(a.re, b.re, 1e-12 * std::hypot(a.re, a.im));
        EXPECT_NEAR(a.im, b.im, 1e-12 * std::hypot(a.re, a.im));
    }
    // Nothing left to replace.
    EXPECT_FALSE(expand_abbreviations(c.top));
    Circuit plain = parse_ok("R0-(R1,CPE1)");
    EXPECT_FALSE(expand_abbreviations(plain.top));
    EXPECT_EQ(param_names(plain), param_names(parse_ok("R0-(R1,CPE1)")));
}

}  // namespace
}  // namespace korvane
