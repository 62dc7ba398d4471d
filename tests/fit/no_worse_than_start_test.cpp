// A least-squares fit never returns a cost above the cheapest of its starting
// candidates that lies inside the box, and ranks its runs by what it may
// return. Over-parameterised circuits fitted to one-arc spectra are where both
// used to fail: a run ended with an exponent above 1 and a cost no feasible
// point reaches, outranked every other run, and clamping it back landed far
// above where the fit started.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/params.hpp"
#include "fit/evaluation_context.hpp"
#include "fit/least_squares_fit.hpp"
#include "fit/objective.hpp"
#include "nn/registry.hpp"

namespace korvane {
namespace {

Circuit parse(const std::string& text) { return std::get<Circuit>(parse_circuit(text)); }

// splitmix64: a fixed stream on every platform, unlike std:: distributions.
class Stream {
  public:
    explicit Stream(std::uint64_t seed) : state_(seed) {}
    double uniform(double lo, double hi) {
        state_ += 0x9E3779B97F4A7C15ull;
        std::uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return lo + (hi - lo) * static_cast<double>(z >> 11) * 0x1p-53;
    }
    double decade(double lo, double hi) { return std::pow(10.0, uniform(lo, hi)); }

  private:
    std::uint64_t state_;
};

// The nine starting points as documented, built here from p0 and the bounds
// alone: p0; open parameters ×3, ×1/3, ×8, ×1/8; closed ones at 20, 40, 60
// and 80 % of their interval.
std::vector<std::vector<double>> documented_candidates(const std::vector<double>& p0,
                                                       const std::vector<Bounds>& bounds) {
    std::vector<std::vector<double>> out{p0};
    for (const double scale : {3.0, 0.3333333333333333, 8.0, 0.125}) {
        std::vector<double> p = p0;
        for (std::size_t j = 0; j < p.size(); ++j) {
            if (std::isinf(bounds[j].hi)) p[j] *= scale;
        }
        out.push_back(p);
    }
    for (const double t : {0.2, 0.4, 0.6, 0.8}) {
        std::vector<double> p = p0;
        for (std::size_t j = 0; j < p.size(); ++j) {
            if (!std::isinf(bounds[j].hi)) p[j] = bounds[j].lo + (bounds[j].hi - bounds[j].lo) * t;
        }
        out.push_back(p);
    }
    return out;
}

bool inside(const std::vector<double>& p, const std::vector<Bounds>& bounds) {
    for (std::size_t j = 0; j < p.size(); ++j) {
        if (!(p[j] >= bounds[j].lo && p[j] <= bounds[j].hi)) return false;
    }
    return true;
}

struct Case {
    std::vector<double> f;
    std::vector<Cplx> z;
};

// R0-(R1,CPE1) with random values over six decades of frequency, with a
// deterministic ripple of relative size eps in both parts.
Case one_arc(Stream& s) {
    // Braced lists evaluate left to right, so the draws keep their order.
    const std::vector<double> values{s.decade(-1, 2), s.decade(-1, 3), s.decade(-7, -3),
                                     s.uniform(0.6, 1.0)};
    const Circuit truth = with_values(parse("R0-(R1,CPE1)"), values).value();
    Case c;
    const double hi = s.uniform(4, 6), lo = s.uniform(-2, 0);
    const std::size_t n = 30 + static_cast<std::size_t>(s.uniform(0, 20));
    for (std::size_t i = 0; i < n; ++i)
        c.f.push_back(std::pow(10.0, hi + (lo - hi) * double(i) / double(n - 1)));
    c.z = impedance_over_frequencies(truth, c.f).value();
    const double eps = s.uniform(0.001, 0.02), a = s.uniform(1, 13), b = s.uniform(1, 13);
    for (std::size_t k = 0; k < n; ++k) {
        const double modulus = std::hypot(c.z[k].re, c.z[k].im);
        const double ripple = 1 + eps * std::sin(a * double(k));
        c.z[k] =
            Cplx{c.z[k].re * ripple, c.z[k].im * ripple + eps * modulus * std::cos(b * double(k))};
    }
    return c;
}

TEST(NoWorseThanStart, OverParameterisedFitsOfOneArcFromTheNetworkGuess) {
    // Two-arc Randles circuits, which have bundled models, so p0 is the guess
    // a default fit starts from. Most of them have a run that leaves the box
    // (186 of the 200).
    const char* circuits[] = {"R0-(R1,CPE1)-(R2-Wo2,CPE2)", "R0-(R1,CPE1)-(R2-W2,CPE2)"};
    Stream stream(3);
    std::size_t fits = 0, left_box = 0;
    for (int i = 0; i < 200; ++i) {
        const Case data = one_arc(stream);
        const Circuit circuit = parse(circuits[i % 2]);
        Result<std::vector<double>> guess = guess_parameters(circuit, data.f, data.z, std::nullopt);
        ASSERT_TRUE(guess.ok()) << guess.error().message;
        const Circuit start = with_values(circuit, *guess).value();
        const Objective objective =
            Objective::build(start, data.f, data.z, WeightScheme::Modulus).value();
        const std::vector<Bounds> bounds = param_bounds(start);

        double cheapest = std::numeric_limits<double>::infinity();
        for (const std::vector<double>& p : documented_candidates(*guess, bounds)) {
            if (inside(p, bounds)) cheapest = std::min(cheapest, objective.cost(p).value());
        }
        const LmConfig config = fixed_lm_config();
        // Where the multi-start and bound repair alone would have ended.
        EvaluationContext context(objective);
        const LeastSquaresSolution plain =
            solve_least_squares(objective, context, *guess, config).value();
        const FitOutcome outcome =
            assemble_no_worse_than_start(objective, context, start, plain).value();
        ++fits;
        if (plain.runs_into_box > 0) ++left_box;
        EXPECT_LE(outcome.cost, cheapest) << "fit " << i << " of " << circuits[i % 2];
        EXPECT_EQ(std::bit_cast<std::uint64_t>(outcome.cost),
                  std::bit_cast<std::uint64_t>(objective.cost(outcome.params).value()));
    }
    EXPECT_EQ(fits, 200u);
    // The set contains fits whose runs left the box, so the assertion above
    // is exercised, not merely satisfied.
    EXPECT_GT(left_box, 100u);
}

// The reproducer in its simplest form: the first run from the cheapest
// candidate ends with CPE1.alpha ≈ 1.15, where clamped it would cost 0.0302
// against 0.0128 at the start, while another run ends inside the box at
// 0.0006. Brought into the box before it is ranked, it no longer hides that.
TEST(NoWorseThanStart, RunOutsideTheBoxIsRankedWhereItIsBroughtBack) {
    const std::vector<double> values{3.336, 2.958, 8.638e-06, 0.972};
    const Circuit truth = with_values(parse("R0-(R1,CPE1)"), values).value();
    Case data;
    for (int i = 0; i < 50; ++i) data.f.push_back(std::pow(10.0, 5.0 - 6.0 * i / 49.0));
    data.z = impedance_over_frequencies(truth, data.f).value();
    for (std::size_t k = 0; k < data.z.size(); ++k) {
        const double modulus = std::hypot(data.z[k].re, data.z[k].im);
        const double ripple = 1 + 0.005 * std::sin(7.0 * double(k));
        data.z[k] = Cplx{data.z[k].re * ripple,
                         data.z[k].im * ripple + 0.005 * modulus * std::cos(11.0 * double(k))};
    }
    const Circuit circuit = parse("R0-(R1,CPE1)-(R2-Wo2,CPE2)");
    const std::vector<double> p0 = guess_parameters(circuit, data.f, data.z, std::nullopt).value();
    const Objective objective =
        Objective::build(circuit, data.f, data.z, WeightScheme::Modulus).value();
    const double start_cost = objective.cost(p0).value();
    const LeastSquaresSolution plain =
        solve_least_squares(objective, p0, fixed_lm_config()).value();
    EXPECT_GE(plain.runs_into_box, 1u);
    const std::vector<Bounds> bounds = param_bounds(circuit);
    EXPECT_TRUE(inside(plain.params, bounds));
    EXPECT_LT(objective.cost(plain.params).value(), start_cost / 10);

    const Circuit start = with_values(circuit, p0).value();
    const FitOutcome outcome = fit_least_squares(objective, start, fixed_lm_config()).value();
    EXPECT_EQ(outcome.params, clamp_to_bounds(plain.params, bounds));
    EXPECT_TRUE(outcome.success);
    EXPECT_EQ(outcome.iterations, plain.evaluations);
}

}  // namespace
}  // namespace korvane
