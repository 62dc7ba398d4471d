#pragma once
// The objective's search-space problem as the Levenberg–Marquardt solver sees
// it:
//     r(x) = Residuals(from_search_space(x)),
//     ∂r/∂x_j = ∂r/∂p_j · dp_j/dx_j   (0 for a frozen parameter),
// with dp_j/dx_j = 1 for a closed parameter and (p_j − lo_j)·ln 10 for an open
// one (p_j = 10^x_j + lo_j).

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "fit/lm/lm.hpp"
#include "fit/objective.hpp"
#include "fit/search_space.hpp"
#include "runtime/result.hpp"

namespace korvane {

class SearchProblem final : public LmProblem {
  public:
    // x0 in search coordinates. frozen[j] pins parameter j (its Jacobian
    // column is zero); entries beyond the mask are not frozen. The objective
    // and the context (made for it) are borrowed and must outlive the
    // problem.
    SearchProblem(const Objective& objective, EvaluationContext& context,
                  std::span<const double> x0, std::vector<bool> frozen = {});
    // The same with a context of its own.
    SearchProblem(const Objective& objective, std::span<const double> x0,
                  std::vector<bool> frozen = {});

    std::span<const double> point() const override { return x_; }
    std::size_t residual_count() const override { return objective_.residual_count(); }
    void move_to(std::span<const double> x) override;
    bool residuals(std::span<double> out) override;
    std::optional<JacobianShape> jacobian(MatrixView out) override;

    // The first error the objective returned. The solver only learns that
    // there was no value and stops with AbortedByProblem; the caller reports
    // this (a violated invariant, such as a vector shorter than the circuit's
    // parameter count, never numerical trouble).
    const std::optional<Error>& failure() const { return failure_; }

  private:
    void prepare();
    void record(const Status& status);

    const Objective& objective_;
    std::unique_ptr<EvaluationContext> own_context_;
    EvaluationContext& context_;
    std::vector<bool> frozen_;
    std::vector<double> x_;
    std::vector<double> columns_;  // (n, m) staging when the solver's storage is padded (m < n)
    SearchWorkspace workspace_;
    std::optional<Error> failure_;
};

// Runs the solver from x0 (search coordinates) on the objective's search-space
// problem. Fails only when the objective itself failed; every numerical ending
// is an LmStop inside the outcome.
Result<LmOutcome> minimise_in_search_space(const Objective& objective, EvaluationContext& context,
                                           std::span<const double> x0,
                                           const std::vector<bool>& frozen, const LmConfig& config);
Result<LmOutcome> minimise_in_search_space(const Objective& objective, std::span<const double> x0,
                                           const std::vector<bool>& frozen, const LmConfig& config);

}  // namespace korvane
