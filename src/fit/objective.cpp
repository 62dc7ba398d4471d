// Weighted residuals and their central-difference Jacobian.
//
// Step rule: J. Nocedal and S. J. Wright, Numerical Optimization, 2nd ed.
// (Springer, 2006), §8.1: for central differences the error
// O(h²) + O(ε/h) is smallest near h ∝ ε^{1/3}, scaled by the parameter's
// magnitude so that the step is relative.

#include "fit/objective.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "circuit/params.hpp"
#include "runtime/pool.hpp"
#include "runtime/text.hpp"
#include "runtime/wide_loop.hpp"

namespace korvane {
namespace {

// 2⁻⁵², the spacing of doubles at 1.0.
constexpr double kEpsilon = 2.220446049250313e-16;

// Weights never fall below this, so an exactly zero (or NaN) measured
// impedance scales its residuals up instead of dividing by zero.
constexpr double kMinWeight = 1e-30;

Error not_enough_values() {
    return Error::internal("impedance_from_iter: not enough values supplied");
}

// r_{2i} = (Re Zm_i − Re Z_i)/w_i, r_{2i+1} = (Im Zm_i − Im Z_i)/w_i over a
// block.
KORVANE_WIDE_LOOP
void weighted_differences(const double* __restrict model_re, const double* __restrict model_im,
                          const Cplx* __restrict measured, const double* __restrict weight,
                          std::size_t n, double* __restrict r) {
    for (std::size_t i = 0; i < n; ++i) {
        // Model minus measurement; non-finite values pass through.
        r[2 * i] = (model_re[i] - measured[i].re) / weight[i];
        r[2 * i + 1] = (model_im[i] - measured[i].im) / weight[i];
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
    objective.bounds_ = param_bounds(circuit);
    objective.evaluator_ = SpectrumEvaluator(circuit, objective.omega_);
    objective.counter_ = counter ? std::move(counter) : make_counter();
    return objective;
}

Objective Objective::with_fresh_counter() const {
    Objective copy = *this;
    copy.counter_ = make_counter();
    return copy;
}

Status Objective::residuals_into(std::span<const double> p, std::span<double> out) const {
    return residuals_in_scope(p, out, 0);
}

Status Objective::residuals_in_scope(std::span<const double> p, std::span<double> out,
                                     std::uint64_t reuse_scope) const {
    counter_->fetch_add(1);
    if (p.size() < parameter_count_) return not_enough_values();
    if (out.size() != residual_count()) {
        return Error::internal("residual buffer has " + std::to_string(out.size()) +
                               " entries, expected " + std::to_string(residual_count()));
    }
    // Block by block: the model impedance of a block, then its residuals.
    double model_re[SpectrumEvaluator::kBlock];
    double model_im[SpectrumEvaluator::kBlock];
    const std::size_t n_points = omega_.size();
    for (std::size_t begin = 0; begin < n_points; begin += SpectrumEvaluator::kBlock) {
        const std::size_t n = std::min(SpectrumEvaluator::kBlock, n_points - begin);
        evaluator_.evaluate_block(p, begin, n, model_re, model_im, reuse_scope);
        weighted_differences(model_re, model_im, measured_.data() + begin, weights_.data() + begin,
                             n, out.data() + 2 * begin);
    }
    return ok_status();
}

Result<std::vector<double>> Objective::residuals(std::span<const double> p) const {
    std::vector<double> r(residual_count());
    Status status = residuals_into(p, r);
    if (!status.ok()) return status.take_error();
    return r;
}

Status Objective::jacobian_into(std::span<const double> p, std::span<double> columns,
                                JacobianWorkspace& workspace, std::uint64_t reuse_scope) const {
    const std::size_t cols = p.size();
    const std::size_t rows = residual_count();
    if (cols == 0) return ok_status();
    // Every column would fail the same way; say so once, before any task.
    if (cols < parameter_count_) {
        counter_->fetch_add(2 * cols);
        return not_enough_values();
    }
    if (columns.size() != rows * cols) {
        return Error::internal("jacobian buffer has " + std::to_string(columns.size()) +
                               " entries, expected " + std::to_string(rows * cols));
    }
    workspace.trial.resize(cols * cols);
    workspace.minus.resize(cols * rows);

    // Each task touches only its own slice of the three buffers, so the
    // result is the same whichever thread runs which column. Within this
    // Jacobian a thread recomputes only the elements whose values its column
    // perturbs; the others repeat bit for bit (SpectrumEvaluator).
    const std::uint64_t scope =
        reuse_scope != 0 ? reuse_scope : SpectrumEvaluator::new_reuse_scope();
    return parallel_for(cols, 1, [&](std::size_t begin, std::size_t end) -> Status {
        for (std::size_t j = begin; j < end; ++j) {
            const std::span<double> trial(workspace.trial.data() + j * cols, cols);
            const std::span<double> plus(columns.data() + j * rows, rows);
            const std::span<double> minus(workspace.minus.data() + j * rows, rows);
            std::copy(p.begin(), p.end(), trial.begin());

            // h_j = η·max(|p_j|, 1e-8); a NaN |p_j| also takes the floor.
            const double magnitude = std::fabs(p[j]);
            const double h =
                kJacobianStepFactor * (magnitude > kMinStepScale ? magnitude : kMinStepScale);

            trial[j] = p[j] + h;
            if (Status s = residuals_in_scope(trial, plus, scope); !s.ok()) return s;
            trial[j] = p[j] - h;
            if (Status s = residuals_in_scope(trial, minus, scope); !s.ok()) return s;

            central_difference(plus.data(), minus.data(), 2.0 * h, rows);
        }
        return ok_status();
    });
}

Result<Jacobian> Objective::jacobian(std::span<const double> p, std::uint64_t reuse_scope) const {
    Jacobian jacobian;
    jacobian.rows = residual_count();
    jacobian.cols = p.size();
    jacobian.values.resize(jacobian.rows * jacobian.cols);
    JacobianWorkspace workspace;
    Status status = jacobian_into(p, jacobian.values, workspace, reuse_scope);
    if (!status.ok()) return status.take_error();
    return jacobian;
}

Result<double> Objective::cost(std::span<const double> p, std::uint64_t reuse_scope) const {
    std::vector<double> r(residual_count());
    Status status = residuals_in_scope(p, r, reuse_scope);
    if (!status.ok()) return status.take_error();
    return cost_of(r);
}

double sum_of_squares(std::span<const double> r) {
    double sum = -0.0;
    for (const double v : r) sum += v * v;
    return sum;
}

}  // namespace korvane
