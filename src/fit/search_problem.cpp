// Adapter from the fitting objective to the Levenberg–Marquardt solver.
//
// The solver (Moré, "The Levenberg–Marquardt algorithm: implementation and
// theory", LNM 630, 1978) works on a plain least-squares problem; the fit
// searches open parameters on a log10 scale, so here x is mapped to p before
// every evaluation and the parameter-space Jacobian is scaled by dp/dx.

#include "fit/search_problem.hpp"

#include <algorithm>
#include <utility>

namespace korvane {

SearchProblem::SearchProblem(const Objective& objective, EvaluationContext& context,
                             std::span<const double> x0, std::vector<bool> frozen)
    : objective_(objective),
      context_(context),
      frozen_(std::move(frozen)),
      x_(x0.begin(), x0.end()) {
    prepare();
}

SearchProblem::SearchProblem(const Objective& objective, std::span<const double> x0,
                             std::vector<bool> frozen)
    : objective_(objective),
      own_context_(std::make_unique<EvaluationContext>(objective)),
      context_(*own_context_),
      frozen_(std::move(frozen)),
      x_(x0.begin(), x0.end()) {
    prepare();
}

void SearchProblem::prepare() {
    workspace_.params.reserve(x_.size());
    if (objective_.residual_count() < x_.size()) {
        columns_.resize(objective_.residual_count() * x_.size());
    }
}

void SearchProblem::move_to(std::span<const double> x) {
    std::copy(x.begin(), x.end(), x_.begin());
}

void SearchProblem::record(const Status& status) {
    if (!status.ok() && !failure_) failure_ = status.error();
}

bool SearchProblem::residuals(std::span<double> out) {
    const Status status = search_residuals_into(objective_, context_, x_, out, workspace_);
    record(status);
    return status.ok();
}

std::optional<JacobianShape> SearchProblem::jacobian(MatrixView out) {
    const std::size_t m = objective_.residual_count();
    const std::size_t n = x_.size();
    // Unknowns beyond the circuit's parameters have no column.
    const std::size_t columns = std::min(n, objective_.bounds().size());
    if (columns != n) return JacobianShape{m, columns};

    // The solver stores J with stride max(m, n): write straight into it unless
    // it carries padding rows.
    const bool direct = out.stride == m;
    const std::span<double> target =
        direct ? std::span<double>(out.data, m * n) : std::span<double>(columns_);
    const Status status =
        search_jacobian_into(objective_, context_, x_, frozen_, target, workspace_);
    record(status);
    if (!status.ok()) return std::nullopt;
    if (!direct) {
        for (std::size_t j = 0; j < n; ++j) {
            for (std::size_t i = 0; i < m; ++i) out(i, j) = columns_[j * m + i];
        }
    }
    return JacobianShape{m, n};
}

Result<LmOutcome> minimise_in_search_space(const Objective& objective, EvaluationContext& context,
                                           std::span<const double> x0,
                                           const std::vector<bool>& frozen,
                                           const LmConfig& config) {
    SearchProblem problem(objective, context, x0, frozen);
    LmOutcome outcome = minimise_lm(problem, config);
    if (problem.failure()) return *problem.failure();
    return outcome;
}

Result<LmOutcome> minimise_in_search_space(const Objective& objective, std::span<const double> x0,
                                           const std::vector<bool>& frozen,
                                           const LmConfig& config) {
    EvaluationContext context(objective);
    return minimise_in_search_space(objective, context, x0, frozen, config);
}

}  // namespace korvane
