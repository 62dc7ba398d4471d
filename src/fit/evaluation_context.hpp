#pragma once
// Everything the evaluations of one fit keep between calls: the circuit
// evaluator's per-worker scratch and reuse memo (circuit/evaluation_cache.hpp),
// the Jacobian's column buffers, the full parameter vector of each worker
// under fixed parameters and a residual buffer for costs. Owned by the fit
// (or by one residual, Jacobian or cost request) and freed with it; once each
// kind of call has run, further calls allocate nothing.
//
// Generations of the memo follow the point evaluated: a request at the point
// of the previous one (the Jacobian after the residuals at an accepted step,
// the statistics' Jacobian after their residuals) continues its generation,
// a request elsewhere starts a new one. SharedGeneration keeps one
// generation over requests at different points that share values (the
// candidate starts). What the memo serves is keyed by the exact values, so
// none of this can change a result, only how much is recomputed.
//
// One thread makes requests through a context at a time; the pool's workers
// join in through the worker index of their tasks.

#include <cstddef>
#include <vector>

#include "circuit/evaluation_cache.hpp"

namespace korvane {

class Objective;
class SpectrumEvaluator;

class EvaluationContext {
  public:
    using Reuse = EvaluationCache::Reuse;

    // For evaluations of `objective` only (the objective refuses any other).
    explicit EvaluationContext(const Objective& objective, Reuse reuse = Reuse::On);

    EvaluationContext(const EvaluationContext&) = delete;
    EvaluationContext& operator=(const EvaluationContext&) = delete;

    // While alive, requests through the context at different points share
    // one generation of the memo, which starts when it is made.
    class SharedGeneration {
      public:
        explicit SharedGeneration(EvaluationContext& context);
        ~SharedGeneration();
        SharedGeneration(const SharedGeneration&) = delete;
        SharedGeneration& operator=(const SharedGeneration&) = delete;

      private:
        EvaluationContext& context_;
    };

  private:
    friend class Objective;

    // Starts a new generation unless p is the point of the current one (or
    // a SharedGeneration is alive).
    void enter_point(std::span<const double> p);

    const SpectrumEvaluator* evaluator_;
    EvaluationCache cache_;
    bool workers_prepared_ = false;
    std::vector<double> trial_;      // (cols, P): the perturbed copy of p of each column task
    std::vector<double> minus_;      // (cols, rows): r(p − h_j·e_j) of each column task
    std::vector<double> full_;       // (worker_slots(), full P): p with the fixed values
    std::size_t full_length_ = 0;    // full P, or 0 without fixed parameters
    std::vector<double> residuals_;  // (rows): r of a cost request
    std::vector<double> point_;      // the point of the current generation
    bool has_point_ = false;
    int shared_ = 0;  // SharedGeneration objects alive
};

}  // namespace korvane
