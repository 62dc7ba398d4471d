#include "python_tools/nnls_gram.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace korvane::tools {
namespace {

// A pivot whose square is below this fraction of its diagonal entry of H
// marks a column that the free ones already span to rounding.
constexpr double kPivotFloor = 64.0 * std::numeric_limits<double>::epsilon();

// Primal–dual steps before Lawson and Hanson's method takes over.
constexpr int kPrimalDualSteps = 30;

// The lower Cholesky factor L of H_FF for an ordered free set F, kept in
// column-major storage of stride m: L(i, j) at a[i + j·m], i ≥ j. Columns
// are contiguous, so every inner loop (forward substitution, the rank-one
// update) runs down a column.
class FreeFactor {
  public:
    FreeFactor(std::span<const double> h, std::size_t m)
        : h_(h), m_(m), a_(m * m), work_(m), update_(m) {
        vars_.reserve(m);
    }

    std::size_t size() const { return vars_.size(); }
    std::size_t var(std::size_t position) const { return vars_[position]; }
    const std::vector<std::size_t>& vars() const { return vars_; }

    void clear() { vars_.clear(); }

    // Appends v as the last free variable: the new row l solves L·l = H_Fv
    // and the new pivot is √(H_vv − lᵀl). False (and nothing changed) when
    // that pivot vanishes.
    bool add(std::size_t v) {
        const std::size_t k = vars_.size();
        const double* hv = h_.data() + v * m_;
        for (std::size_t j = 0; j < k; ++j) work_[j] = hv[vars_[j]];
        forward(work_.data(), k);
        double sum = 0.0;
        for (std::size_t j = 0; j < k; ++j) sum += work_[j] * work_[j];
        const double pivot = hv[v] - sum;
        if (!(pivot > kPivotFloor * hv[v])) return false;
        for (std::size_t j = 0; j < k; ++j) a_[k + j * m_] = work_[j];
        a_[k + k * m_] = std::sqrt(pivot);
        vars_.push_back(v);
        return true;
    }

    // Removes the free variable at `position`. Deleting row and column p of
    // L leaves the rows below short of L33·L33ᵀ + l·lᵀ (l the deleted column
    // below the diagonal): a rank-one update of L33 by rotations restores a
    // factor of H_FF without the variable.
    void remove(std::size_t position) {
        const std::size_t k = vars_.size();
        const std::size_t p = position;
        double* w = update_.data();
        for (std::size_t i = p + 1; i < k; ++i) w[i] = a_[i + p * m_];
        for (std::size_t j = p + 1; j < k; ++j) {
            double* column = a_.data() + j * m_;
            const double ljj = column[j];
            const double r = std::hypot(ljj, w[j]);
            const double c = r / ljj;
            const double s = w[j] / ljj;
            column[j] = r;
            for (std::size_t i = j + 1; i < k; ++i) {
                const double updated = (column[i] + s * w[i]) / c;
                w[i] = c * w[i] - s * updated;
                column[i] = updated;
            }
        }
        // Close the gap: rows below p move up one in the columns left of p,
        // and columns right of p move left one (and up one).
        for (std::size_t j = 0; j < p; ++j) {
            double* column = a_.data() + j * m_;
            std::memmove(column + p, column + p + 1, (k - p - 1) * sizeof(double));
        }
        for (std::size_t j = p + 1; j < k; ++j) {
            std::memmove(a_.data() + (j - 1) * (m_ + 1), a_.data() + j * (m_ + 1),
                         (k - j) * sizeof(double));
        }
        vars_.erase(vars_.begin() + static_cast<std::ptrdiff_t>(p));
    }

    // z = H_FF⁻¹·g_F, by forward and back substitution.
    void solve(std::span<const double> g, std::vector<double>& z) const {
        const std::size_t k = vars_.size();
        z.resize(k);
        for (std::size_t j = 0; j < k; ++j) z[j] = g[vars_[j]];
        forward(z.data(), k);
        for (std::size_t j = k; j-- > 0;) {
            const double* column = a_.data() + j * m_;
            double sum = z[j];
            for (std::size_t i = j + 1; i < k; ++i) sum -= column[i] * z[i];
            z[j] = sum / column[j];
        }
    }

    // L row-major, k×k, zeros above the diagonal.
    void copy_to(std::span<double> out) const {
        const std::size_t k = vars_.size();
        for (std::size_t i = 0; i < k; ++i) {
            for (std::size_t j = 0; j < k; ++j) out[i * k + j] = j <= i ? a_[i + j * m_] : 0.0;
        }
    }

  private:
    // v ← L⁻¹·v on the first k entries, four columns per sweep down v: a
    // quarter of the loads and stores of one at a time (this sweep is most
    // of the factorisation's time).
    void forward(double* v, std::size_t k) const {
        std::size_t j = 0;
        for (; j + 3 < k; j += 4) {
            const double* c0 = a_.data() + j * m_;
            const double* c1 = c0 + m_;
            const double* c2 = c1 + m_;
            const double* c3 = c2 + m_;
            const double v0 = v[j] / c0[j];
            const double v1 = (v[j + 1] - v0 * c0[j + 1]) / c1[j + 1];
            const double v2 = (v[j + 2] - v0 * c0[j + 2] - v1 * c1[j + 2]) / c2[j + 2];
            const double v3 =
                (v[j + 3] - v0 * c0[j + 3] - v1 * c1[j + 3] - v2 * c2[j + 3]) / c3[j + 3];
            v[j] = v0;
            v[j + 1] = v1;
            v[j + 2] = v2;
            v[j + 3] = v3;
            for (std::size_t i = j + 4; i < k; ++i) {
                v[i] -= (v0 * c0[i] + v1 * c1[i]) + (v2 * c2[i] + v3 * c3[i]);
            }
        }
        for (; j < k; ++j) {
            const double* column = a_.data() + j * m_;
            const double vj = v[j] / column[j];
            v[j] = vj;
            for (std::size_t i = j + 1; i < k; ++i) v[i] -= vj * column[i];
        }
    }

    std::span<const double> h_;
    std::size_t m_;
    std::vector<double> a_;
    std::vector<double> work_;
    std::vector<double> update_;
    std::vector<std::size_t> vars_;
};

class Solver {
  public:
    Solver(std::span<const double> h, std::span<const double> g, std::span<double> x)
        : h_(h), g_(g), x_(x), m_(g.size()), factor_(h, g.size()), in_(m_, 0), blocked_(m_, 0) {
        double scale = 1e-300;
        for (std::size_t i = 0; i < m_; ++i) {
            scale = std::max({scale, std::fabs(g[i]), std::fabs(h[i * m_ + i])});
        }
        tol_ = 1e-12 * scale;
    }

    // Factor of H_FF for F = `vars` in that order, each variable the others
    // span to rounding held instead.
    void refactor(const std::vector<std::size_t>& vars) {
        for (const std::size_t v : factor_.vars()) in_[v] = 0;
        factor_.clear();
        for (const std::size_t v : vars) add(v);
    }

    bool primal_dual() {
        for (int step = 0; step < kPrimalDualSteps; ++step) {
            solve();
            bool optimal = std::all_of(z_.begin(), z_.end(), [](double v) { return v >= 0.0; });
            leaving_.clear();
            for (std::size_t j = 0; j < z_.size(); ++j) {
                if (!(z_[j] > 0.0)) leaving_.push_back(j);
            }
            entering_.clear();
            for (std::size_t i = 0; i < m_; ++i) {
                if (in_[i] || blocked_[i]) continue;
                if (gradient(i) < -tol_) entering_.push_back(i);
            }
            optimal = optimal && entering_.empty();
            if (optimal) {  // only variables exactly at zero leave: the same solution
                for (std::size_t j = leaving_.size(); j-- > 0;) drop(leaving_[j]);
                return true;
            }
            // Updating costs about k² per variable, refactoring k³/3 in all.
            if (6 * (leaving_.size() + entering_.size()) > factor_.size()) {
                next_.clear();
                std::size_t skip = 0;
                for (std::size_t j = 0; j < factor_.size(); ++j) {
                    if (skip < leaving_.size() && leaving_[skip] == j) {
                        ++skip;
                    } else {
                        next_.push_back(factor_.var(j));
                    }
                }
                next_.insert(next_.end(), entering_.begin(), entering_.end());
                refactor(next_);
            } else {
                for (std::size_t j = leaving_.size(); j-- > 0;) drop(leaving_[j]);
                for (const std::size_t v : entering_) add(v);
            }
        }
        return false;
    }

    bool lawson_hanson() {
        // A warm start need not be feasible: drop the variables whose value
        // on the free set is not positive until it is; the result minimises
        // over its free set and is feasible, where the method may start.
        for (;;) {
            solve();
            leaving_.clear();
            for (std::size_t j = 0; j < z_.size(); ++j) {
                if (!(z_[j] > 0.0)) leaving_.push_back(j);
            }
            if (leaving_.empty()) break;
            for (std::size_t j = leaving_.size(); j-- > 0;) drop(leaving_[j]);
        }
        std::fill(x_.begin(), x_.end(), 0.0);
        for (std::size_t j = 0; j < z_.size(); ++j) x_[factor_.var(j)] = z_[j];

        for (std::size_t outer = 0; outer < 3 * m_ + 10; ++outer) {
            // Minus the gradient: > 0 where raising x_i lowers the cost.
            std::size_t best = m_;
            double steepest = tol_;
            for (std::size_t i = 0; i < m_; ++i) {
                if (in_[i] || blocked_[i]) continue;
                const double w = -gradient(i);
                if (w > steepest) {
                    steepest = w;
                    best = i;
                }
            }
            if (best == m_) return true;
            if (!add(best)) continue;
            for (;;) {
                solve();
                const std::size_t k = z_.size();
                if (std::all_of(z_.begin(), z_.end(), [](double v) { return v > 0.0; })) {
                    for (std::size_t j = 0; j < k; ++j) x_[factor_.var(j)] = z_[j];
                    break;
                }
                // Step from x towards z until the first free variable hits zero.
                double alpha = std::numeric_limits<double>::infinity();
                for (std::size_t j = 0; j < k; ++j) {
                    if (z_[j] <= 0.0) {
                        const double xj = x_[factor_.var(j)];
                        alpha = std::min(alpha, xj / (xj - z_[j]));
                    }
                }
                leaving_.clear();
                for (std::size_t j = 0; j < k; ++j) {
                    double& xj = x_[factor_.var(j)];
                    xj += alpha * (z_[j] - xj);
                    if (xj <= tol_ * 1e-3 || (z_[j] <= 0.0 && xj <= 0.0)) leaving_.push_back(j);
                }
                for (std::size_t j = leaving_.size(); j-- > 0;) drop(leaving_[j]);
                if (factor_.size() == 0) break;
            }
        }
        return false;
    }

    void finish(std::span<std::uint8_t> free, std::span<double> factor,
                std::span<std::int64_t> order) {
        std::fill(x_.begin(), x_.end(), 0.0);
        const std::size_t k = factor_.size();
        for (std::size_t j = 0; j < k; ++j) x_[factor_.var(j)] = z_[j];
        for (std::size_t i = 0; i < m_; ++i) free[i] = in_[i];
        for (std::size_t j = 0; j < k; ++j) order[j] = static_cast<std::int64_t>(factor_.var(j));
        factor_.copy_to(factor);
    }

    std::size_t free_count() const { return factor_.size(); }

  private:
    // The solution on the free set, into z_ (which the steps keep in step
    // with the free set: whatever leaves it leaves z_ too).
    void solve() { factor_.solve(g_, z_); }

    bool add(std::size_t v) {
        if (!factor_.add(v)) {
            blocked_[v] = 1;
            x_[v] = 0.0;
            return false;
        }
        in_[v] = 1;
        return true;
    }

    void drop(std::size_t position) {
        const std::size_t v = factor_.var(position);
        factor_.remove(position);
        if (position < z_.size()) z_.erase(z_.begin() + static_cast<std::ptrdiff_t>(position));
        in_[v] = 0;
        x_[v] = 0.0;
    }

    // (H·x − g)_i with x = z_ on the free set.
    double gradient(std::size_t i) const {
        const double* row = h_.data() + i * m_;
        double sum = -g_[i];
        for (std::size_t j = 0; j < z_.size(); ++j) sum += row[factor_.var(j)] * z_[j];
        return sum;
    }

    std::span<const double> h_;
    std::span<const double> g_;
    std::span<double> x_;
    std::size_t m_;
    FreeFactor factor_;
    std::vector<std::uint8_t> in_;
    std::vector<std::uint8_t> blocked_;
    std::vector<double> z_;
    std::vector<std::size_t> leaving_;
    std::vector<std::size_t> entering_;
    std::vector<std::size_t> next_;
    double tol_ = 0.0;
};

}  // namespace

NnlsGramOutcome nnls_gram(std::span<const double> h, std::span<const double> g,
                          std::span<std::uint8_t> free, std::span<double> x,
                          std::span<double> factor, std::span<std::int64_t> order) {
    const std::size_t m = g.size();
    Solver solver(h, g, x);
    std::vector<std::size_t> start;
    start.reserve(m);
    for (std::size_t i = 0; i < m; ++i) {
        if (free[i]) start.push_back(i);
    }
    solver.refactor(start);
    bool converged = solver.primal_dual();
    if (!converged) converged = solver.lawson_hanson();
    solver.finish(free, factor, order);
    return {solver.free_count(), converged};
}

}  // namespace korvane::tools
