#include "fit/search/global_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fit/search_space.hpp"

namespace korvane {

Error solver_error(const std::string& text) { return Error::value("solver error: " + text); }

SearchCost::SearchCost(const Objective& objective)
    : objective_(objective),
      context_(objective, EvaluationContext::Reuse::Off),
      params_(objective.bounds().size()) {}

Result<double> SearchCost::operator()(std::span<const double> x) {
    params_.resize(std::min(x.size(), objective_.bounds().size()));
    from_search_space_into(x, objective_.bounds(), params_);
    return evaluate_cost(objective_, context_, params_);
}

bool lower_cost(double a, double b) { return a < b || (std::isnan(b) && !std::isnan(a)); }

void BestRecord::offer_ranked(std::span<const double> x, double cost) {
    if (!empty_ && !lower_cost(cost, cost_)) return;
    empty_ = false;
    position_.assign(x.begin(), x.end());
    cost_ = cost;
}

void BestRecord::offer(std::span<const double> x, double cost) {
    const double recorded = empty_ ? std::numeric_limits<double>::infinity() : cost_;
    const bool same_infinity =
        std::isinf(cost) && std::isinf(recorded) && std::signbit(cost) == std::signbit(recorded);
    if (!(cost < recorded) && !same_infinity) return;
    empty_ = false;
    position_.assign(x.begin(), x.end());
    cost_ = cost;
}

}  // namespace korvane
