// Trust-region Levenberg–Marquardt driver.
//
// Reference: J. J. Moré, "The Levenberg–Marquardt algorithm: implementation
// and theory", Lecture Notes in Mathematics 630 (1978) 105–116; MINPACK-1
// routine lmder (ANL-80-74, 1980).
//
// Each outer iteration factorises J·P = Q·R at the current x; each inner
// iteration solves the trust-region subproblem
//     min ‖J·p + r‖  subject to  ‖D·p‖ ≤ Δ
// for the Levenberg–Marquardt step p, evaluates r(x + p), and compares the
// actual reduction of ‖r‖² with the reduction predicted by the linear model:
//     actred = 1 − (‖r(x+p)‖/‖r‖)²,
//     prered = (‖J·p‖/‖r‖)² + 2·(√λ·‖D·p‖/‖r‖)²,
// (both relative to ‖r‖², using J·p = Q·R·Pᵀ·p and the optimality of p), to
// grow or shrink Δ and to accept the step when ratio = actred/prered ≥ 10⁻⁴.

#include "fit/lm/lm.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "fit/lm/euclidean_norm.hpp"
#include "fit/lm/lm_parameter.hpp"
#include "runtime/numeric.hpp"

namespace korvane {
namespace {

constexpr double kAcceptRatio = 1e-4;

LmStop make_stop(LmStop::Kind kind, std::string_view label = {}) {
    LmStop stop;
    stop.kind = kind;
    stop.label = label;
    return stop;
}

// Every buffer of one run, carved from one allocation made before the first
// evaluation. The lists below are the layout: the storage holds each buffer
// of kLengthN once per unknown, each of kLengthM once per residual, and the
// Jacobian; its size is derived from them.
struct Workspace {
    using Buffer = std::span<double> Workspace::*;

    Workspace(std::size_t n, std::size_t m)
        : stride(std::max(m, n)),
          storage(std::size(kLengthM) * m + stride * n + std::size(kLengthN) * n, 0.0),
          perm(n) {
        double* next = storage.data();
        auto take = [&next](std::size_t count) {
            const std::span<double> part(next, count);
            next += count;
            return part;
        };
        for (const Buffer buffer : kLengthN) this->*buffer = take(n);
        for (const Buffer buffer : kLengthM) this->*buffer = take(m);
        jacobian = take(stride * n);
        std::fill(scaling.begin(), scaling.end(), 1.0);
    }

    std::size_t stride;                   // rows of the Jacobian storage, max(m, n)
    std::vector<double> storage;          // everything below but perm
    std::span<double> x;                  // (n) last accepted point
    std::span<double> trial_x;            // (n) x + p
    std::span<double> residuals;          // (m) r(x)
    std::span<double> trial_residuals;    // (m) r(x + p)
    std::span<double> rotated_residuals;  // (m) Qᵀ·r
    std::span<double> jacobian;           // (stride, n) column-major: J, then its QR factors
    std::vector<std::size_t> perm;        // (n) pivot order
    std::span<double> r_diag;             // (n) diagonal of R
    std::span<double> column_norms;       // (n) ‖J column j‖, original order
    std::span<double> partial_norms;      // (n) QR workspace
    std::span<double> norm_reference;     // (n) QR workspace
    std::span<double> tail_norms;         // (n) QR workspace
    std::span<double> scaling;            // (n) D
    std::span<double> qtf;                // (n) first n entries of Qᵀ·r
    std::span<double> step;               // (n) subproblem solution z, then p = −z
    std::span<double> scaled_vector;      // (n) D·p or D·x
    std::span<double> r_times_step;       // (n) R·Pᵀ·p
    std::span<double> solve_vector;       // (n) λ-search workspaces
    std::span<double> scaled_z;
    std::span<double> s_diag;
    std::span<double> rotated_rhs;
    std::span<double> saved_diagonal;

    static constexpr Buffer kLengthN[] = {
        &Workspace::x,
        &Workspace::trial_x,
        &Workspace::r_diag,
        &Workspace::column_norms,
        &Workspace::partial_norms,
        &Workspace::norm_reference,
        &Workspace::tail_norms,
        &Workspace::scaling,
        &Workspace::qtf,
        &Workspace::step,
        &Workspace::scaled_vector,
        &Workspace::r_times_step,
        &Workspace::solve_vector,
        &Workspace::scaled_z,
        &Workspace::s_diag,
        &Workspace::rotated_rhs,
        &Workspace::saved_diagonal,
    };
    static constexpr Buffer kLengthM[] = {&Workspace::residuals, &Workspace::trial_residuals,
                                          &Workspace::rotated_residuals};
};

class LmRun {
  public:
    LmRun(LmProblem& problem, const LmConfig& config)
        : problem_(problem),
          config_(config),
          n_(problem.point().size()),
          m_(problem.residual_count()),
          max_evaluations_(
              static_cast<std::uint64_t>(std::max<std::uint32_t>(config.eval_budget, 1)) *
              (static_cast<std::uint64_t>(n_) + 1)),
          ws_(n_, m_) {}

    LmOutcome minimise() {
        std::optional<LmStop> stop = start();
        while (!stop) {
            stop = begin_outer_iteration();
            bool accepted = false;
            while (!stop && !accepted) stop = try_step(accepted);
        }
        LmOutcome outcome;
        outcome.report.stop = *stop;
        outcome.report.nfev = nfev_;
        outcome.report.cost = 0.5 * fnorm_ * fnorm_;
        outcome.x.assign(ws_.x.begin(), ws_.x.end());
        return outcome;
    }

  private:
    MatrixView jacobian_view() { return MatrixView{ws_.jacobian.data(), m_, n_, ws_.stride}; }
    // R occupies the leading n×n block of the Jacobian storage.
    MatrixView r_view() { return MatrixView{ws_.jacobian.data(), n_, n_, ws_.stride}; }

    double scaled_norm(std::span<const double> v) {
        for (std::size_t j = 0; j < n_; ++j) ws_.scaled_vector[j] = ws_.scaling[j] * v[j];
        return euclidean_norm(ws_.scaled_vector);
    }

    std::optional<LmStop> start() {
        const std::span<const double> x0 = problem_.point();
        std::copy(x0.begin(), x0.end(), ws_.x.begin());
        nfev_ = 1;
        if (!problem_.residuals(ws_.residuals)) {
            return make_stop(LmStop::AbortedByProblem, "residuals");
        }
        fnorm_ = euclidean_norm(ws_.residuals);
        if (n_ == 0) return make_stop(LmStop::NothingToSolve);
        if (m_ == 0) return make_stop(LmStop::EmptyResiduals);
        if (!std::isfinite(fnorm_)) return make_stop(LmStop::NonFiniteValue, "residuals norm");
        if (fnorm_ <= kDwarf) return make_stop(LmStop::ZeroResidual);
        first_outer_ = true;
        first_step_ = true;
        lambda_ = 0.0;
        return std::nullopt;
    }

    // New Jacobian at x: factorise, project r, test the gradient, rescale.
    std::optional<LmStop> begin_outer_iteration() {
        // Rows m..n−1 pad R when m < n; the previous λ search used them as
        // scratch, so they are cleared before every factorisation.
        for (std::size_t j = 0; j < n_; ++j) {
            double* column = ws_.jacobian.data() + j * ws_.stride;
            std::fill(column + m_, column + ws_.stride, 0.0);
        }
        const MatrixView jac = jacobian_view();
        const std::optional<JacobianShape> shape = problem_.jacobian(jac);
        if (!shape) return make_stop(LmStop::AbortedByProblem, "jacobian");
        if (shape->rows != m_ || shape->cols != n_) {
            return make_stop(LmStop::ShapeMismatch, "jacobian");
        }

        std::copy(ws_.residuals.begin(), ws_.residuals.end(), ws_.rotated_residuals.begin());
        factorize_pivoted_qr(jac, ws_.perm, ws_.r_diag, ws_.column_norms, ws_.partial_norms,
                             ws_.norm_reference, ws_.tail_norms, ws_.rotated_residuals);
        install_r(jac, ws_.r_diag, ws_.rotated_residuals, ws_.qtf);

        if (std::optional<LmStop> stop = test_gradient()) return stop;

        if (first_outer_) {
            first_outer_ = false;
            if (config_.adaptive_scaling) {
                for (std::size_t j = 0; j < n_; ++j) {
                    ws_.scaling[j] = ws_.column_norms[j] == 0.0 ? 1.0 : ws_.column_norms[j];
                }
            }
            xnorm_ = scaled_norm(ws_.x);
            if (!std::isfinite(xnorm_)) return make_stop(LmStop::NonFiniteValue, "subproblem x");
            radius_ = xnorm_ == 0.0 ? config_.radius_factor : config_.radius_factor * xnorm_;
        } else if (config_.adaptive_scaling) {
            // D only grows, so the trust region never widens through rescaling.
            for (std::size_t j = 0; j < n_; ++j) {
                ws_.scaling[j] = std::fmax(ws_.scaling[j], ws_.column_norms[j]);
            }
        }
        return std::nullopt;
    }

    // gnorm = max_j |(Rᵀ·qtf)_j| / (‖r‖·‖J column perm(j)‖): the largest cosine
    // between r and a column of J; 0 means r is orthogonal to J's range.
    std::optional<LmStop> test_gradient() {
        const MatrixView r = r_view();
        gnorm_ = 0.0;
        for (std::size_t j = 0; j < n_; ++j) {
            const double column_norm = ws_.column_norms[ws_.perm[j]];
            if (column_norm == 0.0) continue;
            double sum = 0.0;
            for (std::size_t i = 0; i <= j; ++i) sum += r(i, j) * ws_.qtf[i];
            const double cosine = sum / fnorm_ / column_norm;
            if (std::isnan(cosine)) return make_stop(LmStop::NonFiniteValue, "jacobian");
            gnorm_ = std::max(gnorm_, std::fabs(cosine));
        }
        if (gnorm_ <= config_.gtol) return make_stop(LmStop::GradientOrthogonal);
        return std::nullopt;
    }

    // One trial step with the current factorisation. Sets `accepted` when x moved.
    std::optional<LmStop> try_step(bool& accepted) {
        TrialStep step;
        if (std::optional<LmStop> stop = solve_for_step(step)) return stop;
        if (std::optional<LmStop> stop = predict_reduction(step)) return stop;

        // The initial Δ comes from ‖D·x₀‖ only; the first step may show it too large.
        if (first_step_ && step.pnorm < radius_) radius_ = step.pnorm;
        first_step_ = false;

        if (std::optional<LmStop> stop = evaluate_trial(step)) return stop;
        const Reduction reduction = compare_reductions(step);
        update_radius(reduction.ratio, reduction.actred, reduction.dirder, step.pnorm,
                      step.trial_fnorm);
        if (std::optional<LmStop> stop = accept_or_reject(reduction, step, accepted)) return stop;
        return test_convergence(reduction);
    }

    // What one inner iteration knows about its step p. The two model terms
    // are the parts of the predicted reduction, relative to ‖r‖².
    struct TrialStep {
        double pnorm = 0.0;         // ‖D·p‖
        double model_term = 0.0;    // (‖J·p‖/‖r‖)²
        double damping_term = 0.0;  // (√λ·‖D·p‖/‖r‖)²
        double trial_fnorm = 0.0;   // ‖r(x + p)‖
    };

    // Relative reductions of ‖r‖², actual and predicted, and their ratio.
    struct Reduction {
        double actred = 0.0;  // 1 − (‖r(x+p)‖/‖r‖)², or −1 for a much worse step
        double prered = 0.0;  // model_term + 2·damping_term
        double dirder = 0.0;  // −(model_term + damping_term), the directional derivative
        double ratio = 0.0;   // actred / prered, 0 when nothing was predicted
    };

    // λ and p from the trust-region subproblem, x + p and ‖D·p‖.
    std::optional<LmStop> solve_for_step(TrialStep& step) {
        LmParameterWork work{ws_.solve_vector, ws_.scaled_z, ws_.s_diag,
                             RegularisedSolveWork{ws_.rotated_rhs, ws_.saved_diagonal}};
        lambda_ = solve_trust_region_subproblem(
            TrustRegionInput{r_view(), ws_.perm, ws_.scaling, ws_.qtf, radius_}, lambda_, ws_.step,
            work);

        for (std::size_t j = 0; j < n_; ++j) {
            ws_.step[j] = -ws_.step[j];
            ws_.trial_x[j] = ws_.x[j] + ws_.step[j];
        }
        step.pnorm = scaled_norm(ws_.step);
        if (!std::isfinite(step.pnorm)) {
            return make_stop(LmStop::NonFiniteValue, "subproblem ||Dp||");
        }
        return std::nullopt;
    }

    // ‖J·p‖² = ‖R·Pᵀ·p‖² (Q is orthogonal) and λ‖D·p‖², both relative to ‖r‖².
    std::optional<LmStop> predict_reduction(TrialStep& step) {
        const MatrixView r = r_view();
        std::fill(ws_.r_times_step.begin(), ws_.r_times_step.end(), 0.0);
        for (std::size_t j = 0; j < n_; ++j) {
            const double p_j = ws_.step[ws_.perm[j]];
            for (std::size_t i = 0; i <= j; ++i) ws_.r_times_step[i] += r(i, j) * p_j;
        }
        const double model_ratio = euclidean_norm(ws_.r_times_step) / fnorm_;
        step.model_term = model_ratio * model_ratio;
        if (!std::isfinite(step.model_term)) {
            return make_stop(LmStop::NonFiniteValue, "trust-region reduction");
        }
        const double damping_ratio = (std::sqrt(lambda_) * step.pnorm) / fnorm_;
        step.damping_term = damping_ratio * damping_ratio;
        if (!std::isfinite(step.damping_term)) {
            return make_stop(LmStop::NonFiniteValue, "trust-region reduction");
        }
        return std::nullopt;
    }

    // r(x + p) and its norm; the problem is moved back to x when there is no value.
    std::optional<LmStop> evaluate_trial(TrialStep& step) {
        problem_.move_to(ws_.trial_x);
        ++nfev_;
        if (!problem_.residuals(ws_.trial_residuals)) {
            problem_.move_to(ws_.x);
            return make_stop(LmStop::AbortedByProblem, "residuals");
        }
        step.trial_fnorm = euclidean_norm(ws_.trial_residuals);
        return std::nullopt;
    }

    Reduction compare_reductions(const TrialStep& step) const {
        Reduction reduction;
        // A trial norm of 10‖r‖ or more (also inf, NaN) counts as actred = −1
        // so the ratio stays finite.
        reduction.actred = -1.0;
        if (0.1 * step.trial_fnorm < fnorm_) {
            const double q = step.trial_fnorm / fnorm_;
            reduction.actred = 1.0 - q * q;
        }
        reduction.prered = step.model_term + 2.0 * step.damping_term;
        reduction.dirder = -(step.model_term + step.damping_term);
        reduction.ratio = reduction.prered != 0.0 ? reduction.actred / reduction.prered : 0.0;
        return reduction;
    }

    // x ← x + p when the ratio is high enough, else the problem goes back to x.
    std::optional<LmStop> accept_or_reject(const Reduction& reduction, const TrialStep& step,
                                           bool& accepted) {
        if (reduction.ratio < kAcceptRatio) {
            problem_.move_to(ws_.x);
            return std::nullopt;
        }
        std::swap(ws_.x, ws_.trial_x);
        std::swap(ws_.residuals, ws_.trial_residuals);
        fnorm_ = step.trial_fnorm;
        accepted = true;
        xnorm_ = scaled_norm(ws_.x);
        if (!std::isfinite(xnorm_)) return make_stop(LmStop::NonFiniteValue, "new x");
        if (fnorm_ <= kDwarf) return make_stop(LmStop::ZeroResidual);
        return std::nullopt;
    }

    // The tolerance tests, then the budget, then the machine-precision limits.
    std::optional<LmStop> test_convergence(const Reduction& reduction) const {
        const double actred = reduction.actred;
        const double prered = reduction.prered;
        const double ratio = reduction.ratio;
        LmStop converged = make_stop(LmStop::ToleranceReached);
        converged.by_ftol =
            std::fabs(actred) <= config_.ftol && prered <= config_.ftol && 0.5 * ratio <= 1.0;
        converged.by_xtol = radius_ <= config_.xtol * xnorm_;
        if (converged.by_ftol || converged.by_xtol) return converged;

        if (nfev_ >= max_evaluations_) return make_stop(LmStop::EvaluationLimit);

        if (std::fabs(actred) <= kEpsilon && prered <= kEpsilon && 0.5 * ratio <= 1.0) {
            return make_stop(LmStop::TolerancesTooSmall, "ftol");
        }
        if (radius_ <= kEpsilon * xnorm_) return make_stop(LmStop::TolerancesTooSmall, "xtol");
        if (gnorm_ <= kEpsilon) return make_stop(LmStop::TolerancesTooSmall, "gtol");
        return std::nullopt;
    }

    // Shrinks Δ after a poor step (raising λ in proportion), doubles ‖D·p‖ as
    // the new Δ after a very good one or a Gauss–Newton step (λ = 0).
    void update_radius(double ratio, double actred, double dirder, double pnorm,
                       double trial_fnorm) {
        if (ratio <= 0.25) {
            // t minimises the quadratic through actred along the step when the
            // step made things worse; clamped to [0.1, 0.5].
            double t = actred >= 0.0 ? 0.5 : 0.5 * dirder / (dirder + 0.5 * actred);
            if (0.1 * trial_fnorm >= fnorm_ || !(t >= 0.1)) t = 0.1;
            radius_ = t * std::min(radius_, 10.0 * pnorm);
            lambda_ = lambda_ / t;
        } else if (lambda_ == 0.0 || ratio >= 0.75) {
            radius_ = 2.0 * pnorm;
            lambda_ = 0.5 * lambda_;
        }
    }

    LmProblem& problem_;
    const LmConfig& config_;
    const std::size_t n_;
    const std::size_t m_;
    const std::uint64_t max_evaluations_;
    Workspace ws_;

    std::uint64_t nfev_ = 0;
    double fnorm_ = std::numeric_limits<double>::quiet_NaN();  // ‖r(x)‖
    double xnorm_ = 0.0;                                       // ‖D·x‖
    double gnorm_ = 0.0;
    double radius_ = 0.0;  // Δ
    double lambda_ = 0.0;  // λ
    bool first_outer_ = true;
    bool first_step_ = true;
};

}  // namespace

Result<LmConfig> validate_lm_config(const LmConfig& config) {
    if (std::signbit(config.ftol)) return Error::value("ftol must be >= 0");
    if (std::signbit(config.xtol)) return Error::value("xtol must be >= 0");
    if (std::signbit(config.gtol)) return Error::value("gtol must be >= 0");
    LmConfig checked = config;
    if (checked.eval_budget == 0) checked.eval_budget = 1;
    return checked;
}

std::string_view lm_stop_name(LmStop::Kind kind) {
    switch (kind) {
        case LmStop::AbortedByProblem:
            return "AbortedByProblem";
        case LmStop::NonFiniteValue:
            return "NonFiniteValue";
        case LmStop::ZeroResidual:
            return "ZeroResidual";
        case LmStop::GradientOrthogonal:
            return "GradientOrthogonal";
        case LmStop::ToleranceReached:
            return "ToleranceReached";
        case LmStop::TolerancesTooSmall:
            return "TolerancesTooSmall";
        case LmStop::EvaluationLimit:
            return "EvaluationLimit";
        case LmStop::NothingToSolve:
            return "NothingToSolve";
        case LmStop::EmptyResiduals:
            return "EmptyResiduals";
        case LmStop::ShapeMismatch:
            return "ShapeMismatch";
    }
    return "Unknown";
}

std::string LmStop::describe() const {
    std::string text(lm_stop_name(kind));
    if (kind == ToleranceReached) {
        text += by_ftol && by_xtol ? "(ftol,xtol)" : by_ftol ? "(ftol)" : "(xtol)";
    } else if (!label.empty()) {
        text += '(';
        text += label;
        text += ')';
    }
    return text;
}

LmOutcome minimise_lm(LmProblem& problem, const LmConfig& config) {
    LmRun run(problem, config);
    return run.minimise();
}

}  // namespace korvane
