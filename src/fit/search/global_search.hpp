#pragma once
// What the derivative-free searches share: their one shape, the scalar cost
// they minimise, the order of costs and the rule that records the best point
// seen, the record they hand to the driver's polish, and the form of their
// failures.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fit/evaluation_context.hpp"
#include "fit/fit_outcome.hpp"
#include "fit/fit_settings.hpp"
#include "fit/objective.hpp"
#include "runtime/result.hpp"

namespace korvane {

// The best point of a search in parameter coordinates and the method's own
// iteration count (generations, iterations, or evaluations for differential
// evolution).
struct SearchOutcome {
    std::vector<double> best;
    std::uint64_t iterations = 0;
    // A method whose every step is a least-squares fit (basin hopping) hands
    // over its finished fit, which the driver's polish then leaves alone.
    std::optional<FitOutcome> fitted;
};

// Every derivative-free method: minimise `objective` from `start` (the
// unknowns, in parameter coordinates), reading its own fields of `settings`.
using SearchMethod = Result<SearchOutcome> (*)(const Objective& objective,
                                               std::span<const double> start,
                                               const FitSettings& settings);

// The order of costs the searches rank by: ascending, NaN after every
// number (a NaN's place is ours to choose, and a point with a cost is always
// preferred). A strict weak order, so it serves std::stable_sort.
bool lower_cost(double a, double b);

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
    // offer() ranked by lower_cost instead: the first candidate is always
    // recorded (NaN too) and replaced by any lower one, so a NaN gives way to
    // the first number.
    void offer_ranked(std::span<const double> x, double cost);
    bool empty() const { return empty_; }
    std::span<const double> position() const { return position_; }
    double cost() const { return cost_; }

  private:
    bool empty_ = true;
    std::vector<double> position_;
    double cost_ = 0.0;
};

}  // namespace korvane
