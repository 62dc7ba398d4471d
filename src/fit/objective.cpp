// Weighted residuals and their central-difference Jacobian.
//
// Step rule: J. Nocedal and S. J. Wright, Numerical Optimization, 2nd ed.
// (Springer, 2006), §8.1: for central differences the error
// O(h²) + O(ε/h) is smallest near h ∝ ε^{1/3}, scaled by the parameter's
// magnitude so that the step is relative.

#include "fit/objective.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "circuit/params.hpp"
#include "runtime/interrupt.hpp"
#include "runtime/numeric.hpp"
#include "runtime/pool.hpp"
#include "runtime/text.hpp"
#include "runtime/wide_loop.hpp"

namespace korvane {
namespace {

// Weights never fall below this, so an exactly zero (or NaN) measured
// impedance scales its residuals up instead of dividing by zero.
constexpr double kMinWeight = 1e-30;

// r_{2i} = (Re Zm_i − Re Z_i)/w^re_i, r_{2i+1} = (Im Zm_i − Im Z_i)/w^im_i
// over a block. The two weight arrays are one and the same except under σ
// given per part; both are only read, so they may alias.
KORVANE_WIDE_LOOP
void weighted_differences(const double* __restrict model_re, const double* __restrict model_im,
                          const Cplx* __restrict measured, const double* __restrict weight_re,
                          const double* __restrict weight_im, std::size_t n, double* __restrict r) {
    for (std::size_t i = 0; i < n; ++i) {
        // Model minus measurement; non-finite values pass through.
        r[2 * i] = (model_re[i] - measured[i].re) / weight_re[i];
        r[2 * i + 1] = (model_im[i] - measured[i].im) / weight_im[i];
    }
}

// column ← (column − minus)/(2h), the central difference of one Jacobian
// column: divided by 2h, not by the stored difference (p_j + h) − (p_j − h),
// so the step is the nominal one even where p_j ± h rounds.
KORVANE_WIDE_LOOP
void central_difference(double* __restrict column, const double* __restrict minus, double two_h,
                        std::size_t rows) {
    for (std::size_t k = 0; k < rows; ++k) column[k] = (column[k] - minus[k]) / two_h;
}

double weight_of(const Cplx z, const WeightScheme scheme) {
    if (scheme == WeightScheme::Unit) return 1.0;
    const double modulus = std::hypot(z.re, z.im);        // no intermediate overflow
    return modulus >= kMinWeight ? modulus : kMinWeight;  // NaN fails the test too
}

}  // namespace

const double kJacobianStepFactor = std::cbrt(kEpsilon);

Result<WeightScheme> parse_weight_scheme(std::string_view text) {
    if (text == "modulus") return WeightScheme::Modulus;
    if (text == "unit") return WeightScheme::Unit;
    return Error::value("unknown weight scheme " + quoted(text) +
                        ", expected \"modulus\" or \"unit\"");
}

std::shared_ptr<EvalCounter> make_counter() { return std::make_shared<EvalCounter>(0); }

Result<Objective> Objective::build(const Circuit& circuit, std::span<const double> frequencies,
                                   std::span<const Cplx> measured, WeightScheme scheme,
                                   std::shared_ptr<EvalCounter> counter) {
    return build(circuit, frequencies, measured, scheme, FitConstraints{}, std::move(counter));
}

Result<Objective> Objective::build(const Circuit& circuit, std::span<const double> frequencies,
                                   std::span<const Cplx> measured, WeightScheme scheme,
                                   const FitConstraints& constraints,
                                   std::shared_ptr<EvalCounter> counter) {
    // Callers check this first with their own context; it is repeated here
    // because every per-point loop below pairs the two arrays.
    if (frequencies.size() != measured.size()) {
        return Error::value("frequencies and impedances must have the same length");
    }
    Objective objective;
    objective.circuit_ = &circuit;
    objective.parameter_count_ = korvane::parameter_count(circuit);
    objective.omega_.reserve(frequencies.size());
    objective.weights_.reserve(measured.size());
    for (const double f : frequencies) objective.omega_.push_back(kTwoPi * f);
    for (const Cplx z : measured) objective.weights_.push_back(weight_of(z, scheme));
    objective.measured_.assign(measured.begin(), measured.end());
    objective.bounds_ = constraints.bounds.empty() ? param_bounds(circuit) : constraints.bounds;
    if (!constraints.bounds.empty()) objective.physical_bounds_ = param_bounds(circuit);
    if (constraints.has_sigma()) {
        if (constraints.sigma_re.size() != measured.size() ||
            constraints.sigma_im.size() != measured.size()) {
            return Error::internal("sigma does not match the measured points");
        }
        objective.weights_ = constraints.sigma_re;
        objective.weights_im_ = constraints.sigma_im;
    }
    if (constraints.has_fixed()) {
        if (constraints.fixed.size() != objective.parameter_count_ ||
            objective.bounds_.size() != objective.parameter_count_) {
            return Error::internal("constraints do not match the circuit's parameters");
        }
        objective.full_template_ = param_values(circuit);
        std::vector<Bounds> free_bounds;
        std::vector<Bounds> free_physical;
        for (std::size_t j = 0; j < constraints.fixed.size(); ++j) {
            if (constraints.fixed[j]) {
                objective.full_template_[j] = *constraints.fixed[j];
            } else {
                objective.free_index_.push_back(j);
                free_bounds.push_back(objective.bounds_[j]);
                if (!objective.physical_bounds_.empty()) {
                    free_physical.push_back(objective.physical_bounds_[j]);
                }
            }
        }
        objective.bounds_ = std::move(free_bounds);
        objective.physical_bounds_ = std::move(free_physical);
        objective.parameter_count_ = objective.free_index_.size();
    }
    objective.evaluator_ = SpectrumEvaluator(circuit, objective.omega_);
    objective.counter_ = counter ? std::move(counter) : make_counter();
    return objective;
}

Objective Objective::with_fresh_counter() const {
    Objective copy = *this;
    copy.counter_ = make_counter();
    return copy;
}

Status Objective::check_context(const EvaluationContext& context) const {
    if (context.evaluator_ != &evaluator_) {
        return Error::internal("evaluation context of another objective");
    }
    return ok_status();
}

void Objective::residuals_at(EvaluationContext& context, std::size_t worker,
                             std::span<const double> p, std::span<double> out) const {
    // Fixed parameters: evaluate at the full vector, built in the worker's
    // own slice because Jacobian tasks run this concurrently.
    if (has_fixed()) {
        const std::size_t n_full = full_template_.size();
        double* full = context.full_.data() + worker * n_full;
        std::copy(full_template_.begin(), full_template_.end(), full);
        for (std::size_t k = 0; k < free_index_.size(); ++k) full[free_index_[k]] = p[k];
        p = std::span<const double>(full, n_full);
    }
    const double* weights_im_data = weights_im_.empty() ? weights_.data() : weights_im_.data();
    // Block by block: the model impedance of a block, then its residuals.
    double model_re[SpectrumEvaluator::kBlock];
    double model_im[SpectrumEvaluator::kBlock];
    const std::size_t n_points = omega_.size();
    for (std::size_t begin = 0; begin < n_points; begin += SpectrumEvaluator::kBlock) {
        const std::size_t n = std::min(SpectrumEvaluator::kBlock, n_points - begin);
        evaluator_.evaluate_block(p, begin, n, model_re, model_im, context.cache_, worker);
        weighted_differences(model_re, model_im, measured_.data() + begin, weights_.data() + begin,
                             weights_im_data + begin, n, out.data() + 2 * begin);
    }
}

Status Objective::residuals_into(EvaluationContext& context, std::span<const double> p,
                                 std::span<double> out) const {
    counter_->fetch_add(1);
    // Every fit method evaluates its residuals through here, so this one poll
    // makes each of them interruptible (a no-op on threads without a check).
    if (Status polled = poll_interrupt(); !polled.ok()) return polled;
    if (Status s = check_context(context); !s.ok()) return s;
    if (p.size() < parameter_count_) return not_enough_values(parameter_count_, p.size());
    if (out.size() != residual_count()) {
        return Error::internal("residual buffer has " + std::to_string(out.size()) +
                               " entries, expected " + std::to_string(residual_count()));
    }
    context.enter_point(p);
    residuals_at(context, this_worker(), p, out);
    return ok_status();
}

std::vector<double> Objective::free_values(std::span<const double> all) const {
    if (!has_fixed()) return {all.begin(), all.end()};
    std::vector<double> free;
    free.reserve(free_index_.size());
    for (const std::size_t j : free_index_) {
        free.push_back(j < all.size() ? all[j] : std::numeric_limits<double>::quiet_NaN());
    }
    return free;
}

std::vector<double> Objective::full_values(std::span<const double> free) const {
    if (!has_fixed()) return {free.begin(), free.end()};
    std::vector<double> all = full_template_;
    for (std::size_t k = 0; k < free_index_.size() && k < free.size(); ++k) {
        all[free_index_[k]] = free[k];
    }
    return all;
}

std::vector<double> Objective::spread(std::span<const double> free, double fill) const {
    if (!has_fixed()) return {free.begin(), free.end()};
    std::vector<double> all(full_template_.size(), fill);
    for (std::size_t k = 0; k < free_index_.size() && k < free.size(); ++k) {
        all[free_index_[k]] = free[k];
    }
    return all;
}

Status Objective::jacobian_into(EvaluationContext& context, std::span<const double> p,
                                std::span<double> columns) const {
    const std::size_t cols = p.size();
    const std::size_t rows = residual_count();
    if (cols == 0) return ok_status();
    // Every column would fail the same way; say so once, before any task.
    if (cols < parameter_count_) {
        counter_->fetch_add(2 * cols);
        return not_enough_values(parameter_count_, cols);
    }
    if (Status s = check_context(context); !s.ok()) return s;
    if (columns.size() != rows * cols) {
        return Error::internal("jacobian buffer has " + std::to_string(columns.size()) +
                               " entries, expected " + std::to_string(rows * cols));
    }
    counter_->fetch_add(2 * cols);
    if (context.trial_.size() < cols * cols) context.trial_.resize(cols * cols);
    if (context.minus_.size() < cols * rows) context.minus_.resize(cols * rows);
    // Whichever workers run the columns, their parts of the cache exist now.
    if (!context.workers_prepared_) {
        context.cache_.prepare_workers();
        context.workers_prepared_ = true;
    }
    // Within this Jacobian a worker recomputes only the elements whose values
    // its column perturbs; the others repeat bit for bit, as do those of the
    // residuals at p when they were the context's last request.
    context.enter_point(p);

    // Each task touches only its own slice of the three buffers and its own
    // worker's part of the cache, so the result is the same whichever thread
    // runs which column.
    double* const trials = context.trial_.data();
    double* const minuses = context.minus_.data();
    return parallel_for(cols, 1, [&](std::size_t worker, std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) {
            const std::span<double> trial(trials + j * cols, cols);
            const std::span<double> plus(columns.data() + j * rows, rows);
            const std::span<double> minus(minuses + j * rows, rows);
            std::copy(p.begin(), p.end(), trial.begin());

            // h_j = η·max(|p_j|, 1e-8); a NaN |p_j| also takes the floor.
            const double magnitude = std::fabs(p[j]);
            const double h =
                kJacobianStepFactor * (magnitude > kMinStepScale ? magnitude : kMinStepScale);

            trial[j] = p[j] + h;
            residuals_at(context, worker, trial, plus);
            trial[j] = p[j] - h;
            residuals_at(context, worker, trial, minus);

            central_difference(plus.data(), minus.data(), 2.0 * h, rows);
        }
        return ok_status();
    });
}

Status Objective::evaluate(EvaluationContext& context, std::span<const double> p,
                           const Evaluation& request) const {
    if (!request.residuals.empty() || request.cost != nullptr) {
        const std::span<double> r =
            request.residuals.empty() ? std::span<double>(context.residuals_) : request.residuals;
        if (Status status = residuals_into(context, p, r); !status.ok()) return status;
        if (request.cost != nullptr) *request.cost = cost_of(r);
    }
    if (!request.jacobian.empty()) return jacobian_into(context, p, request.jacobian);
    return ok_status();
}

Status Objective::residuals_into(std::span<const double> p, std::span<double> out) const {
    EvaluationContext context(*this, EvaluationContext::Reuse::Off);
    return residuals_into(context, p, out);
}

Result<std::vector<double>> Objective::residuals(std::span<const double> p) const {
    std::vector<double> r(residual_count());
    Status status = residuals_into(p, r);
    if (!status.ok()) return status.take_error();
    return r;
}

Result<Jacobian> Objective::jacobian(std::span<const double> p) const {
    EvaluationContext context(*this);
    Jacobian jacobian;
    jacobian.rows = residual_count();
    jacobian.cols = p.size();
    jacobian.values.resize(jacobian.rows * jacobian.cols);
    Status status = jacobian_into(context, p, jacobian.values);
    if (!status.ok()) return status.take_error();
    return jacobian;
}

Result<double> Objective::cost(std::span<const double> p) const {
    EvaluationContext context(*this, EvaluationContext::Reuse::Off);
    return evaluate_cost(*this, context, p);
}

Result<double> evaluate_cost(const Objective& objective, EvaluationContext& context,
                             std::span<const double> p) {
    double cost = 0.0;
    if (Status status = objective.evaluate(context, p, {.cost = &cost}); !status.ok()) {
        return status.take_error();
    }
    return cost;
}

double sum_of_squares(std::span<const double> r) {
    double sum = -0.0;
    for (const double v : r) sum += v * v;
    return sum;
}

}  // namespace korvane
