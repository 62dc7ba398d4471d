// Fit statistics: cost, chi-square and the asymptotic standard errors of the
// parameters from the linearised covariance
//
//   V = s²·(JᵀJ)⁻¹,   s² = χ²/(M − P),   stderr_j = sqrt(V_jj),
//
// see W. H. Press et al., Numerical Recipes, 3rd ed. (Cambridge, 2007),
// §15.4–15.5 (covariance of a least-squares fit) and §2.3 (LU decomposition
// with partial pivoting).

#include "fit/statistics.hpp"

#include <cmath>
#include <numeric>
#include <utility>

namespace korvane {

std::optional<std::vector<double>> inverse_diagonal(std::vector<double> a, const std::size_t n) {
    // In place: PA = LU with unit-diagonal L below and U on and above the
    // diagonal; row_of[i] is the original row now at position i.
    std::vector<std::size_t> row_of(n);
    std::iota(row_of.begin(), row_of.end(), std::size_t{0});
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t pivot = k;
        double largest = std::fabs(a[k * n + k]);
        for (std::size_t i = k + 1; i < n; ++i) {
            if (std::fabs(a[i * n + k]) > largest) {
                largest = std::fabs(a[i * n + k]);
                pivot = i;
            }
        }
        // Only exact singularity is refused; a merely ill-conditioned A gives
        // large (honest) standard errors.
        if (a[pivot * n + k] == 0.0) return std::nullopt;
        if (pivot != k) {
            for (std::size_t j = 0; j < n; ++j) std::swap(a[k * n + j], a[pivot * n + j]);
            std::swap(row_of[k], row_of[pivot]);
        }
        for (std::size_t i = k + 1; i < n; ++i) {
            const double factor = a[i * n + k] / a[k * n + k];
            a[i * n + k] = factor;
            for (std::size_t j = k + 1; j < n; ++j) a[i * n + j] -= factor * a[k * n + j];
        }
    }

    // Column c of A⁻¹ solves A·v = e_c, i.e. L·U·v = P·e_c; only v_c is kept.
    std::vector<double> diagonal(n);
    std::vector<double> v(n);
    for (std::size_t c = 0; c < n; ++c) {
        for (std::size_t i = 0; i < n; ++i) {
            double sum = row_of[i] == c ? 1.0 : 0.0;
            for (std::size_t m = 0; m < i; ++m) sum -= a[i * n + m] * v[m];
            v[i] = sum;
        }
        for (std::size_t i = n; i-- > 0;) {
            double sum = v[i];
            for (std::size_t m = i + 1; m < n; ++m) sum -= a[i * n + m] * v[m];
            v[i] = sum / a[i * n + i];
        }
        diagonal[c] = v[c];
    }
    return diagonal;
}

Result<FitStatistics> fit_statistics(const Objective& objective, std::span<const double> p) {
    EvaluationContext context(objective);
    return fit_statistics(objective, context, p);
}

Result<FitStatistics> fit_statistics(const Objective& objective, EvaluationContext& context,
                                     std::span<const double> p) {
    // The Jacobian at the point of the residuals just evaluated through the
    // same context starts from what they formed.
    std::vector<double> residuals(objective.residual_count());
    Jacobian J{objective.residual_count(), p.size(), {}};
    J.values.resize(J.rows * J.cols);
    if (Status s = objective.evaluate(context, p, {.residuals = residuals, .jacobian = J.values});
        !s.ok()) {
        return s.take_error();
    }

    FitStatistics stats;
    stats.cost = cost_of(residuals);
    // Doubling is exact, so chi_square == 2·cost holds bit for bit (½·Σ could
    // lose the last bit of a subnormal Σ, and Σ itself would then differ).
    stats.chi_square = 2.0 * stats.cost;

    const double dof = static_cast<double>(J.rows) - static_cast<double>(J.cols);
    if (!(dof > 0.0)) return stats;

    // A = JᵀJ, row-major P×P, each entry summed over the rows in order.
    const std::size_t n = J.cols;
    std::vector<double> a(n * n);
    for (std::size_t r = 0; r < n; ++r) {
        const std::span<const double> col_r = J.column(r);
        for (std::size_t c = r; c < n; ++c) {
            const std::span<const double> col_c = J.column(c);
            double sum = 0.0;
            for (std::size_t k = 0; k < J.rows; ++k) sum += col_r[k] * col_c[k];
            a[r * n + c] = sum;
            a[c * n + r] = sum;
        }
    }
    std::optional<std::vector<double>> v_diagonal = inverse_diagonal(std::move(a), n);
    if (!v_diagonal) return stats;

    std::vector<double> errors(n);
    // A negative V_jj (possible only through rounding) gives NaN, as it is.
    for (std::size_t j = 0; j < n; ++j) {
        errors[j] = std::sqrt((*v_diagonal)[j] * stats.chi_square / dof);
    }
    stats.standard_errors = std::move(errors);
    return stats;
}

}  // namespace korvane
