#pragma once
// Trust-region Levenberg–Marquardt minimisation of ½‖r(x)‖² with pivoted QR,
// adaptive diagonal scaling and an exact λ search.
//
// Reference: J. J. Moré, "The Levenberg–Marquardt algorithm: implementation
// and theory", Numerical Analysis (G. A. Watson, ed.), Lecture Notes in
// Mathematics 630, Springer (1978) 105–116.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fit/lm/qr.hpp"
#include "runtime/result.hpp"

namespace korvane {

struct LmConfig {
    // Relative reduction: stop when |actred| ≤ ftol, prered ≤ ftol and ratio ≤ 2,
    // with actred = 1 − (‖r(x+p)‖/‖r(x)‖)² and prered its model prediction.
    double ftol = 1e-8;
    // Relative step: stop when Δ ≤ xtol·‖D·x‖.
    double xtol = 1e-8;
    // Gradient orthogonality: stop when max_j |J_jᵀr| / (‖J_j‖·‖r‖) ≤ gtol.
    double gtol = 1e-8;
    // Initial radius Δ₀ = radius_factor·‖D·x₀‖ (radius_factor when x₀ = 0).
    double radius_factor = 100.0;
    // Stop once eval_budget·(n+1) residual vectors have been evaluated.
    std::uint32_t eval_budget = 200;
    // D_j = max over iterations of ‖J column j‖; otherwise D = 1.
    bool adaptive_scaling = true;
};

// Checks ftol, xtol, gtol in that order: a sign bit set (including −0.0) fails
// with "ftol must be >= 0" (resp. xtol, gtol). Returns the configuration with
// an eval_budget of 0 raised to 1.
Result<LmConfig> validate_lm_config(const LmConfig& config);

struct LmStop {
    enum Kind {
        AbortedByProblem,    // label "residuals" or "jacobian"
        NonFiniteValue,      // label names the quantity
        ZeroResidual,        // ‖r‖ ≤ smallest normal double
        GradientOrthogonal,  // gnorm ≤ gtol
        ToleranceReached,    // by_ftol and/or by_xtol
        TolerancesTooSmall,  // label "ftol", "xtol" or "gtol": machine precision reached
        EvaluationLimit,     // nfev ≥ eval_budget·(n+1)
        NothingToSolve,      // n = 0
        EmptyResiduals,      // m = 0
        ShapeMismatch,       // label "jacobian"
    };

    Kind kind = NothingToSolve;
    std::string_view label;  // static text; empty for kinds without a label
    bool by_ftol = false;
    bool by_xtol = false;

    bool succeeded() const {
        return kind == ZeroResidual || kind == GradientOrthogonal || kind == ToleranceReached;
    }
    // "ToleranceReached(ftol,xtol)", "NonFiniteValue(new x)", "ZeroResidual", ...
    std::string describe() const;
};

// Name of a stop kind, as spelled in the enum.
std::string_view lm_stop_name(LmStop::Kind kind);

struct LmReport {
    LmStop stop;
    std::uint64_t nfev = 0;  // residual evaluations, including the initial one
    double cost = 0.0;       // ½‖r‖² at the final point (NaN if never evaluated)
};

struct JacobianShape {
    std::size_t rows = 0;
    std::size_t cols = 0;
};

// The least-squares problem as the solver sees it. The problem holds a current
// point; the solver moves it and asks for values there. Evaluations write into
// solver-owned storage, so a problem that does not allocate keeps the whole
// iteration allocation-free.
class LmProblem {
  public:
    virtual ~LmProblem() = default;

    // The current point; its length is the number of unknowns n.
    virtual std::span<const double> point() const = 0;
    // m, fixed for the life of the problem.
    virtual std::size_t residual_count() const = 0;
    virtual void move_to(std::span<const double> x) = 0;
    // r at the current point into `out` (m values); false: no value here.
    virtual bool residuals(std::span<double> out) = 0;
    // ∂r_i/∂x_j at the current point into out(i, j) (out is m×n); returns the
    // shape produced, which the solver checks against m×n, or nullopt when
    // there is no Jacobian here.
    virtual std::optional<JacobianShape> jacobian(MatrixView out) = 0;
};

struct LmOutcome {
    std::vector<double> x;  // the last accepted point; the problem is left there too
    LmReport report;
};

// Minimises ½‖r(x)‖² from the problem's current point. `config` should have
// passed validate_lm_config (an eval_budget of 0 counts as 1 regardless).
// Never throws for numerical reasons; every ending is an LmStop.
LmOutcome minimise_lm(LmProblem& problem, const LmConfig& config);

}  // namespace korvane
