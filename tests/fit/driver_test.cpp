#include "fit/driver.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/params.hpp"
#include "support/spectra.hpp"

namespace korvane {
namespace {

using testing::parse;
using testing::Spectrum;

const std::string kExpectedMethods =
    ", expected one of \"levenberg_marquardt\", \"particle_swarm\", \"nelder_mead\", "
    "\"differential_evolution\", \"simulated_annealing\", \"basin_hopping\"";

Spectrum rc_spectrum(std::size_t n = 30) { return testing::rising_rc_spectrum(n); }

std::string run_error(const Circuit& circuit, const Spectrum& s, const FitSettings& settings) {
    Result<FitOutcome> outcome = run_fit(circuit, s.f, s.z, WeightScheme::Modulus, settings);
    return outcome ? std::string("<fit succeeded>") : outcome.error().message;
}

TEST(FitMethodName, SixExactNamesAndAQuotedRefusal) {
    for (const char* name : {"levenberg_marquardt", "particle_swarm", "nelder_mead",
                             "differential_evolution", "simulated_annealing", "basin_hopping"}) {
        const Result<FitMethod> method = parse_fit_method(name);
        ASSERT_TRUE(method) << name;
        EXPECT_EQ(fit_method_name(*method), name);
    }
    const Result<FitMethod> lm = parse_fit_method("LM");
    ASSERT_FALSE(lm);
    EXPECT_EQ(lm.error().message, "unknown fit method \"LM\"" + kExpectedMethods);
    EXPECT_EQ(parse_fit_method("a\"b\\").error().message,
              "unknown fit method \"a\\\"b\\\\\"" + kExpectedMethods);
    EXPECT_FALSE(parse_fit_method("Levenberg_Marquardt"));
    EXPECT_FALSE(parse_fit_method(" nelder_mead"));
}

TEST(RunFit, ChecksComeInOrder) {
    const Circuit rc = parse("R0-(R1,C1)");
    const Spectrum good = rc_spectrum();
    const Spectrum empty;
    Spectrum uneven = good;
    uneven.z.pop_back();
    const Circuit nothing;  // an empty series list: no parameters

    FitSettings unknown;
    unknown.method = "LM";
    EXPECT_EQ(run_error(rc, empty, unknown), "unknown fit method \"LM\"" + kExpectedMethods);
    EXPECT_EQ(run_error(nothing, uneven, unknown), "unknown fit method \"LM\"" + kExpectedMethods);

    FitSettings bad_tolerances;
    bad_tolerances.ftol = -1.0;
    bad_tolerances.xtol = -1.0;
    EXPECT_EQ(run_error(nothing, uneven, bad_tolerances),
              "frequencies and impedances must have the same length");
    EXPECT_EQ(run_error(nothing, empty, bad_tolerances),
              "frequencies and impedances must not be empty");
    EXPECT_EQ(run_error(nothing, good, bad_tolerances),
              "circuit topology has no parameters to fit");
    EXPECT_EQ(run_error(rc, good, bad_tolerances), "ftol must be >= 0");
    FitSettings bad_xtol;
    bad_xtol.xtol = -0.0;  // the sign bit counts
    EXPECT_EQ(run_error(rc, good, bad_xtol), "xtol must be >= 0");
}

TEST(RunFit, DerivativeFreeMethodsRunAfterTheChecks) {
    const Circuit rc = parse("R0-(R1,C1)");
    for (const char* name : {"particle_swarm", "nelder_mead", "differential_evolution",
                             "simulated_annealing", "basin_hopping"}) {
        FitSettings settings;
        settings.method = name;
        settings.seed = 1;
        EXPECT_EQ(run_error(rc, Spectrum{}, settings),
                  "frequencies and impedances must not be empty");
        EXPECT_EQ(run_error(rc, rc_spectrum(), settings), "<fit succeeded>") << name;
    }
}

TEST(RunFit, LevenbergMarquardtFitLeavesTheInputUntouched) {
    const Circuit start = with_values(parse("R0-(R1,C1)"), std::vector{8.0, 150.0, 2e-5}).value();
    const Spectrum s = rc_spectrum();
    const FitOutcome outcome =
        run_fit(start, s.f, s.z, WeightScheme::Modulus, FitSettings{}).value();
    EXPECT_TRUE(outcome.success);
    EXPECT_NEAR(outcome.params[1], 100.0, 1e-4);
    EXPECT_EQ(param_values(start), (std::vector{8.0, 150.0, 2e-5}));
    EXPECT_EQ(param_values(outcome.circuit), outcome.params);
    EXPECT_EQ(param_names(outcome.circuit), param_names(start));
    EXPECT_EQ(outcome.chi_square, 2.0 * outcome.cost);
    EXPECT_GT(outcome.impedance_evals, outcome.iterations);
}

TEST(RunFit, EvaluationBudgetIsClampedNotWrapped) {
    const Circuit start = with_values(parse("R0-(R1,C1)"), std::vector{8.0, 150.0, 2e-5}).value();
    const Spectrum s = rc_spectrum();
    const FitOutcome reference =
        run_fit(start, s.f, s.z, WeightScheme::Modulus, FitSettings{}).value();

    // 2^32 must not wrap to a budget of 0 (→ 1): it behaves like any large budget.
    FitSettings huge;
    huge.lm_eval_budget = std::size_t{1} << 32;
    const FitOutcome unlimited = run_fit(start, s.f, s.z, WeightScheme::Modulus, huge).value();
    EXPECT_TRUE(unlimited.success);
    EXPECT_EQ(unlimited.params, reference.params);

    // 0 is raised to 1: every run stops after n + 1 = 4 evaluations.
    FitSettings zero;
    zero.lm_eval_budget = 0;
    const FitOutcome starved = run_fit(start, s.f, s.z, WeightScheme::Modulus, zero).value();
    EXPECT_FALSE(starved.success);
    EXPECT_EQ(starved.iterations % 4, 0u);
    EXPECT_GE(starved.iterations, 4u * 9u);
}

}  // namespace
}  // namespace korvane
