#include "fit/evaluation_context.hpp"

#include "fit/objective.hpp"
#include "runtime/pool.hpp"
#include "runtime/same_bits.hpp"

namespace korvane {

EvaluationContext::EvaluationContext(const Objective& objective, Reuse reuse)
    : evaluator_(&objective.evaluator()),
      cache_(objective.evaluator().shape(), reuse),
      full_length_(objective.full_parameter_count()) {
    full_.resize(full_length_ * worker_slots());
    residuals_.resize(objective.residual_count());
    point_.reserve(objective.parameter_count());
}

void EvaluationContext::enter_point(std::span<const double> p) {
    if (shared_ > 0) return;
    if (has_point_ && same_bits(point_, p)) return;
    cache_.new_generation();
    point_.assign(p.begin(), p.end());
    has_point_ = true;
}

EvaluationContext::SharedGeneration::SharedGeneration(EvaluationContext& context)
    : context_(context) {
    if (context_.shared_++ == 0) {
        context_.cache_.new_generation();
        context_.has_point_ = false;
    }
}

EvaluationContext::SharedGeneration::~SharedGeneration() { --context_.shared_; }

}  // namespace korvane
