// Logarithmic search coordinates for parameters bounded only from below.
//
// The chain rule gives the search-space Jacobian from the parameter-space
// one: ∂r/∂x_j = ∂r/∂p_j · dp_j/dx_j with dp_j/dx_j = 10^x_j·ln 10, written
// as (p_j − lo_j)·ln 10. Background: J. Nocedal and S. J. Wright, Numerical
// Optimization, 2nd ed. (Springer, 2006), ch. 10, nonlinear least squares.

#include "fit/search_space.hpp"

#include <algorithm>
#include <cmath>

namespace korvane {

bool is_open(const Bounds& bounds) { return !std::isfinite(bounds.hi); }

std::vector<double> to_search_space(std::span<const double> p, std::span<const Bounds> bounds) {
    const std::size_t n = std::min(p.size(), bounds.size());
    std::vector<double> x(n);
    for (std::size_t j = 0; j < n; ++j) {
        if (!is_open(bounds[j])) {
            x[j] = p[j];
            continue;
        }
        double offset = p[j] - bounds[j].lo;
        if (offset <= kMinSearchOffset) offset = kMinSearchOffset;  // NaN stays NaN
        x[j] = std::log10(offset);
    }
    return x;
}

void from_search_space_into(std::span<const double> x, std::span<const Bounds> bounds,
                            std::span<double> p) {
    const std::size_t n = std::min({x.size(), bounds.size(), p.size()});
    for (std::size_t j = 0; j < n; ++j) {
        p[j] = is_open(bounds[j]) ? std::pow(10.0, x[j]) + bounds[j].lo : x[j];
    }
}

std::vector<double> from_search_space(std::span<const double> x, std::span<const Bounds> bounds) {
    std::vector<double> p(std::min(x.size(), bounds.size()));
    from_search_space_into(x, bounds, p);
    return p;
}

Result<double> search_cost(const Objective& objective, EvaluationContext& context,
                           std::span<const double> x) {
    return evaluate_cost(objective, context, from_search_space(x, objective.bounds()));
}

Result<double> search_cost(const Objective& objective, std::span<const double> x) {
    return objective.cost(from_search_space(x, objective.bounds()));
}

Status search_residuals_into(const Objective& objective, EvaluationContext& context,
                             std::span<const double> x, std::span<double> out,
                             SearchWorkspace& workspace) {
    workspace.params.resize(std::min(x.size(), objective.bounds().size()));
    from_search_space_into(x, objective.bounds(), workspace.params);
    return objective.evaluate(context, workspace.params, {.residuals = out});
}

Status search_jacobian_into(const Objective& objective, EvaluationContext& context,
                            std::span<const double> x, const std::vector<bool>& frozen,
                            std::span<double> columns, SearchWorkspace& workspace) {
    const std::span<const Bounds> bounds = objective.bounds();
    std::vector<double>& p = workspace.params;
    p.resize(std::min(x.size(), bounds.size()));
    from_search_space_into(x, bounds, p);

    Status status = objective.evaluate(context, p, {.jacobian = columns});
    if (!status.ok()) return status;

    const std::size_t rows = objective.residual_count();
    for (std::size_t j = 0; j < p.size(); ++j) {
        const std::span<double> column = columns.subspan(j * rows, rows);
        if (j < frozen.size() && frozen[j]) {
            // Assigned, not multiplied: 0·inf would leave NaN in the column.
            std::fill(column.begin(), column.end(), 0.0);
        } else if (is_open(bounds[j])) {
            const double factor = (p[j] - bounds[j].lo) * kLn10;
            for (double& v : column) v *= factor;
        }
    }
    return ok_status();
}

Result<Jacobian> search_jacobian(const Objective& objective, std::span<const double> x,
                                 const std::vector<bool>& frozen) {
    Jacobian jacobian;
    jacobian.rows = objective.residual_count();
    jacobian.cols = std::min(x.size(), objective.bounds().size());
    jacobian.values.resize(jacobian.rows * jacobian.cols);
    SearchWorkspace workspace;
    EvaluationContext context(objective);
    Status status = search_jacobian_into(objective, context, x, frozen, jacobian.values, workspace);
    if (!status.ok()) return status.take_error();
    return jacobian;
}

}  // namespace korvane
