#pragma once
// The record a finished fit hands back, and the final assembly that every fit
// method ends with: clamp to the bounds, statistics at the clamped vector,
// the circuit rebuilt from it, and the evaluation counter read last so that
// the statistics' own evaluations are included.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "circuit/circuit.hpp"
#include "fit/objective.hpp"
#include "runtime/result.hpp"

namespace korvane {

struct FitOutcome {
    Circuit circuit;             // the input circuit carrying `params`, values_explicit set
    std::vector<double> params;  // clamped to the bounds, param_names() order
    // Per parameter; absent when 2·N ≤ P or JᵀJ is exactly singular. NaN for
    // a fixed parameter, the others from the free parameters' JᵀJ.
    std::optional<std::vector<double>> standard_errors;
    bool success = false;
    // FitResult.iterations. Least squares: Σ nfev over every solver run of
    // the fit (an evaluation count); a derivative-free method: its own
    // iteration count, unless the polish's result is kept.
    std::uint64_t iterations = 0;
    // Every residual-vector evaluation of the fit, statistics included.
    std::uint64_t impedance_evals = 0;
    double cost = 0.0;        // ½·Σ r²
    double chi_square = 0.0;  // Σ r² = 2·cost
};

// p_j limited to [lo_j, hi_j] over the first min(|p|, |bounds|) entries; the
// rest of p is copied. A NaN stays NaN: there is no value to pick for it.
std::vector<double> clamp_to_bounds(std::span<const double> p, std::span<const Bounds> bounds);

// Clamps p (the objective's unknowns), computes cost, chi-square and standard
// errors there (1 + 2·P evaluations), rebuilds `circuit` with the clamped
// values (fixed ones inserted) and reads the objective's counter.
Result<FitOutcome> assemble_outcome(const Objective& objective, EvaluationContext& context,
                                    const Circuit& circuit, std::span<const double> p, bool success,
                                    std::uint64_t iterations);
// The same with a context of its own.
Result<FitOutcome> assemble_outcome(const Objective& objective, const Circuit& circuit,
                                    std::span<const double> p, bool success,
                                    std::uint64_t iterations);

}  // namespace korvane
