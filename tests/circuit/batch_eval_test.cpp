// The spectrum-wide evaluation must reproduce the one-point walk bit for bit:
// every element kind, the exponent shortcuts and the shared power, nested and
// degenerate groups, and inputs outside the physical range (zero, negative,
// infinite and NaN frequencies and values), across block boundaries.

#include "circuit/batch_eval.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/params.hpp"

namespace korvane {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Bit for bit, signed zeros included. A NaN matches any NaN: IEEE 754 leaves
// the sign and payload of a NaN produced by arithmetic unspecified, and the
// compiler may commute the operands of + and × (which decides whose NaN an
// x86 instruction passes on) differently in a vectorised loop.
bool same_bits(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// ω values that take every branch of the per-point formulas, then enough
// ordinary ones that the spectrum spans several blocks and ends mid-block.
std::vector<double> awkward_omegas() {
    std::vector<double> w{0.0,    -0.0,  1.0,    -1.0,   -7.5, kInf,  -kInf,  kNaN,
                          1e-300, 1e300, 5e-324, 2.5e-3, 40.0, 1.7e5, -1e-12, 6.283185307179586};
    for (std::size_t i = 0; w.size() < 2 * SpectrumEvaluator::kBlock + 37; ++i) {
        w.push_back(kTwoPi *
                    std::pow(10.0, -3.0 + 9.0 * static_cast<double>((i * 37) % 500) / 500.0));
    }
    return w;
}

// Counts points where the block path and impedance_unchecked disagree.
std::size_t trial_mismatches(const SpectrumEvaluator& evaluator, const Circuit& circuit,
                             const std::vector<double>& trial, const std::vector<double>& omega,
                             std::string& first, EvaluationCache* cache = nullptr) {
    EvaluationCache fresh(evaluator.shape(), EvaluationCache::Reuse::Off);
    if (cache == nullptr) cache = &fresh;
    std::vector<double> re(SpectrumEvaluator::kBlock);
    std::vector<double> im(SpectrumEvaluator::kBlock);
    std::size_t mismatches = 0;
    for (std::size_t begin = 0; begin < omega.size(); begin += SpectrumEvaluator::kBlock) {
        const std::size_t n = std::min(SpectrumEvaluator::kBlock, omega.size() - begin);
        evaluator.evaluate_block(trial, begin, n, re.data(), im.data(), *cache, 0);
        for (std::size_t i = 0; i < n; ++i) {
            const Cplx expected = impedance_unchecked(circuit, trial.data(), omega[begin + i]);
            if (same_bits(re[i], expected.re) && same_bits(im[i], expected.im)) continue;
            if (mismatches++ == 0) {
                first = "ω = " + std::to_string(omega[begin + i]) + ": (" + std::to_string(re[i]) +
                        ", " + std::to_string(im[i]) + ") vs (" + std::to_string(expected.re) +
                        ", " + std::to_string(expected.im) + ")";
            }
        }
    }
    return mismatches;
}

std::size_t trial_mismatches(const Circuit& circuit, const std::vector<double>& trial,
                             const std::vector<double>& omega, std::string& first) {
    return trial_mismatches(SpectrumEvaluator(circuit, omega), circuit, trial, omega, first);
}

std::size_t stored_mismatches(const Circuit& circuit, const std::vector<double>& omega) {
    const SpectrumEvaluator evaluator(circuit, omega);
    std::vector<Cplx> out(omega.size());
    EvaluationCache cache(evaluator.shape(), EvaluationCache::Reuse::Off);
    evaluator.evaluate_stored(0, omega.size(), out.data(), cache, 0);
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < omega.size(); ++i) {
        const Cplx expected = circuit_impedance(circuit, omega[i]);
        mismatches += !(same_bits(out[i].re, expected.re) && same_bits(out[i].im, expected.im));
    }
    return mismatches;
}

Circuit single(Kind kind) {
    Element e;
    e.kind = kind;
    e.values = kind_info(kind).placeholders;
    Circuit c;
    c.top.nodes.push_back(Node{e});
    return c;
}

// Ordinary values, then each parameter in turn replaced by a special value.
// Exponent slots also get the shortcut exponents and values outside (0, 1).
std::vector<std::vector<double>> value_sets(Kind kind) {
    const KindInfo& info = kind_info(kind);
    const std::vector<double> base(info.placeholders.begin(),
                                   info.placeholders.begin() + info.param_count);
    std::vector<std::vector<double>> sets{base};
    for (int j = 0; j < info.param_count; ++j) {
        std::vector<double> specials{0.0, -0.0, -2.5, 1e-12, 3e8, kInf, -kInf, kNaN};
        if (info.param_names[j] == "alpha" || info.param_names[j] == "gamma") {
            specials.insert(specials.end(), {1.0, 0.5, 0.25, 0.999, 1.5, -0.3});
        }
        for (const double v : specials) {
            std::vector<double> set = base;
            set[j] = v;
            sets.push_back(set);
        }
    }
    return sets;
}

TEST(SpectrumEvaluator, EveryKindMatchesThePerPointWalkBitForBit) {
    const std::vector<double> omega = awkward_omegas();
    for (int k = 0; k < kKindCount; ++k) {
        const Kind kind = static_cast<Kind>(k);
        const Circuit circuit = single(kind);
        EXPECT_EQ(stored_mismatches(circuit, omega), 0u) << kind_info(kind).code;
        for (const std::vector<double>& values : value_sets(kind)) {
            std::string first;
            EXPECT_EQ(trial_mismatches(circuit, values, omega, first), 0u)
                << kind_info(kind).code << " with values[0..] = " << values[0] << ", "
                << values.back() << "; first: " << first;
        }
    }
}

TEST(SpectrumEvaluator, TreesMatchThePerPointWalkBitForBit) {
    const std::vector<double> omega = awkward_omegas();
    for (const char* text : {"R0-(R1,C1)", "R0-(R1-W1,CPE1)", "R0-(R1,CPE1)-(R2-Wo2,CPE2)",
                             "R0-(R1-W1,CPE1)-(R2-Wo2,p(C2,Zarc2-(La3,G3)))-Tlmq4-T5",
                             "(R1,(C2,(L3-Zarc4,(K5,(Tlmq6,Gs7-Ws8)))))-Cpe9", "(R1)"}) {
        auto parsed = parse_circuit(text);
        ASSERT_TRUE(std::holds_alternative<Circuit>(parsed)) << text;
        const Circuit& circuit = std::get<Circuit>(parsed);
        EXPECT_EQ(stored_mismatches(circuit, omega), 0u) << text;

        // Distinct values per slot, with the exponents spread over shortcuts
        // and general values, plus a zero resistor (a shorted branch).
        const std::vector<std::string> names = param_names(circuit);
        std::vector<double> trial(names.size() + 2, kNaN);  // surplus values are never read
        for (std::size_t j = 0; j < names.size(); ++j) {
            const bool exponent = names[j].ends_with(".alpha") || names[j].ends_with(".gamma");
            trial[j] = exponent ? std::vector<double>{0.5, 0.83, 1.0, 0.0, 0.61}[j % 5]
                                : 1e-3 * static_cast<double>(j * j + 1) + (j % 3 == 0 ? 50.0 : 0);
        }
        std::string first;
        EXPECT_EQ(trial_mismatches(circuit, trial, omega, first), 0u) << text << ": " << first;
        trial[0] = 0.0;
        EXPECT_EQ(trial_mismatches(circuit, trial, omega, first), 0u) << text << ": " << first;
        trial[1] = -kInf;
        EXPECT_EQ(trial_mismatches(circuit, trial, omega, first), 0u) << text << ": " << first;
    }
}

TEST(SpectrumEvaluator, DegenerateTreesAndSpectra) {
    const std::vector<double> omega = awkward_omegas();
    // An empty series list is 0; a group without branches is 1/0.
    Circuit empty;
    EXPECT_EQ(stored_mismatches(empty, omega), 0u);
    Circuit no_branches;
    no_branches.top.nodes.emplace_back().item.emplace<ParallelGroup>();
    EXPECT_EQ(stored_mismatches(no_branches, omega), 0u);
    std::string first;
    EXPECT_EQ(trial_mismatches(no_branches, {}, omega, first), 0u) << first;

    // No points at all, and a single point.
    const Circuit rc = single(Kind::K);
    const SpectrumEvaluator none(rc, {});
    EXPECT_EQ(none.size(), 0u);
    EvaluationCache none_cache(none.shape(), EvaluationCache::Reuse::Off);
    none.evaluate_stored(0, 0, nullptr, none_cache, 0);
    EXPECT_EQ(stored_mismatches(rc, {kNaN}), 0u);

    // A deep chain of nested groups needs scratch for every level.
    Circuit deep = single(Kind::Cpe);
    for (int level = 0; level < 40; ++level) {
        ParallelGroup g;
        g.branches.push_back(deep.top);
        g.branches.push_back(single(static_cast<Kind>(level % kKindCount)).top);
        deep.top.nodes.assign(1, Node{std::move(g)});
    }
    EXPECT_EQ(stored_mismatches(deep, omega), 0u);
}

TEST(SpectrumEvaluator, ReuseWithinAScopeRecomputesEveryChangedElement) {
    const std::vector<double> omega = awkward_omegas();
    // The third nests groups three deep beside siblings, so that a reused
    // subtree is skipped with everything beneath it.
    const char* texts[] = {"R0-(R1-W1,CPE1)-(R2-Wo2,p(C2,Zarc2-(La3,G3)))-Tlmq4-T5-Gs6-Ws7",
                           "(R1,CPE1)-La2",
                           "R0-p(R1,p(C2,R3-p(CPE4,W5-K6),L7),Zarc8)-(R9,C10)-CPE11"};
    for (const char* text : texts) {
        const Circuit circuit = std::get<Circuit>(parse_circuit(text));
        const SpectrumEvaluator evaluator(circuit, omega);
        std::vector<double> base = param_values(circuit);
        for (std::size_t j = 0; j < base.size(); ++j) {
            if (base[j] == 0.8) base[j] = 0.71;  // a general exponent
        }
        // The order of a Jacobian's column evaluations, all in one
        // generation, then a step that changes every value, and special
        // values that must not be mistaken for the ones stored (±0, NaN).
        EvaluationCache cache(evaluator.shape(), EvaluationCache::Reuse::On);
        std::vector<std::vector<double>> trials{base};
        for (std::size_t j = 0; j < base.size(); ++j) {
            for (const double step : {1e-6, -1e-6}) {
                std::vector<double> t = base;
                t[j] += step * std::max(1.0, std::fabs(t[j]));
                trials.push_back(t);
            }
        }
        std::vector<double> moved = base;
        for (double& v : moved) v *= 1.5;
        trials.push_back(moved);
        for (const double special : {0.0, -0.0, kNaN}) {
            std::vector<double> t = base;
            t.back() = special;
            trials.push_back(t);
        }
        trials.push_back(base);
        for (const std::vector<double>& t : trials) {
            std::string first;
            ASSERT_EQ(trial_mismatches(evaluator, circuit, t, omega, first, &cache), 0u)
                << text << ": " << first;
        }
    }

    // A new generation empties the memo of a worker only when that worker
    // next evaluates; what it serves afterwards is still exact.
    const Circuit a = std::get<Circuit>(parse_circuit(texts[0]));
    const SpectrumEvaluator ea(a, omega);
    EvaluationCache cache(ea.shape(), EvaluationCache::Reuse::On);
    std::string first;
    for (int round = 0; round < 3; ++round) {
        std::vector<double> pa = param_values(a);
        pa[round] *= 2.0;
        EXPECT_EQ(trial_mismatches(ea, a, pa, omega, first, &cache), 0u) << first;
        cache.new_generation();
        EXPECT_EQ(trial_mismatches(ea, a, param_values(a), omega, first, &cache), 0u) << first;
    }

    // A block that is not a whole one (here: the middle of one, shorter than
    // it) is computed afresh, not served from the memo of its whole block.
    const std::vector<double> pa = param_values(a);
    std::vector<double> re(SpectrumEvaluator::kBlock), im(SpectrumEvaluator::kBlock);
    ea.evaluate_block(pa, 0, SpectrumEvaluator::kBlock, re.data(), im.data(), cache, 0);
    ea.evaluate_block(pa, 5, 7, re.data(), im.data(), cache, 0);
    for (std::size_t i = 0; i < 7; ++i) {
        const Cplx expected = impedance_unchecked(a, pa.data(), omega[5 + i]);
        EXPECT_TRUE(same_bits(re[i], expected.re) && same_bits(im[i], expected.im)) << i;
    }
}

}  // namespace
}  // namespace korvane
