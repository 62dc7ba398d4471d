#pragma once
// What the derivative-free searches share: the scalar cost they minimise,
// the rule that records the best point seen, the record they hand to the
// driver's polish, and the form of their failures.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fit/evaluation_context.hpp"
#include "fit/objective.hpp"
#include "runtime/result.hpp"

namespace korvane {

// The best point of a search in parameter coordinates and the method's own
// iteration count (generations, iterations, or evaluations for differential
// evolution).
struct SearchOutcome {
    std::vector<double> best;
    std::uint64_t iterations = 0;
};

// A failure of the method itself: "solver error: " + text, as ValueError.
// Errors of the objective (a violated invariant, an interruption) pass
// through unchanged instead.
Error solver_error(const std::string& text);

// Cost(from_search_space(x)) = ½·Σ r_k² at p = from_search_space(x), with its
// buffers in one evaluation context; the same bits as search_cost, one
// counter increment per call. The searches visit a new point at every call,
// so the context keeps no reuse memo.
class SearchCost {
  public:
    explicit SearchCost(const Objective& objective);
    Result<double> operator()(std::span<const double> x);
    const Objective& objective() const { return objective_; }

  private:
    const Objective& objective_;
    EvaluationContext context_;
    std::vector<double> params_;  // (P,) from_search_space(x)
};

// The best point recorded over a search. A candidate replaces the record when
// its cost is strictly lower (an empty record counts as +∞), or when both
// costs are infinite with the same sign, so a first candidate of cost +∞ is
// kept; a NaN cost is never recorded.
class BestRecord {
  public:
    void offer(std::span<const double> x, double cost);
    bool empty() const { return empty_; }
    std::span<const double> position() const { return position_; }
    double cost() const { return cost_; }

  private:
    bool empty_ = true;
    std::vector<double> position_;
    double cost_ = 0.0;
};

}  // namespace korvane
