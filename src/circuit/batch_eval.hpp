#pragma once
// Circuit evaluation over a whole spectrum at once: the tree is walked once
// per block of points instead of once per point, and every series sum, group
// reciprocal and simple element formula runs as a loop over the block's
// points (circuit/element_kernels.hpp).
//
// Every point gets exactly the operations, in exactly the order, of the
// one-point walk of circuit.cpp (series sums from 0 + 0j in node order,
// group admittances from 0 + 0j in branch order, then the reciprocal), so
// the results are bit-identical to circuit_impedance / impedance_unchecked.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/element.hpp"
#include "circuit/element_kernels.hpp"
#include "circuit/evaluation_cache.hpp"

namespace korvane {

class SpectrumEvaluator {
  public:
    static constexpr std::size_t kBlock = kernels::kBlock;

    SpectrumEvaluator() = default;
    // The per-point quantities of ω (√ω, √(jω), polar form of jω) are formed
    // here once; the circuit is borrowed and must outlive the evaluator.
    SpectrumEvaluator(const Circuit& circuit, std::span<const double> omega);

    std::size_t size() const { return omega_.size(); }
    // What a cache for this evaluator's evaluations must hold.
    const EvaluationShape& shape() const { return shape_; }

    // Model impedance at points [begin, begin + n), n <= kBlock, into
    // re[0, n) and im[0, n), with values consumed from `trial` in element
    // order (the caller guarantees parameter_count(circuit) of them).
    // `cache` was made for this evaluator's shape() and `worker` is the
    // index the pool handed the calling task (0 outside the pool); allocates
    // nothing once that worker's part of the cache exists.
    //
    // With a reusing cache, evaluations of one generation reuse the
    // impedance of any element whose values are bit for bit those of an
    // earlier evaluation: the columns of one Jacobian change one parameter
    // each, so all other elements repeat. The same holds one level up: a
    // parallel group's impedance and each of its branches' admittance are
    // reused when all the values beneath them repeat (the columns of the
    // other parameters). A block other than a whole one (begin a multiple of
    // kBlock, n up to the next multiple or the end) is always computed.
    void evaluate_block(std::span<const double> trial, std::size_t begin, std::size_t n, double* re,
                        double* im, EvaluationCache& cache, std::size_t worker) const;

    // Points [begin, end) from the circuit's stored values, into
    // out[begin, end), in the worker's scratch (no memo is used).
    void evaluate_stored(std::size_t begin, std::size_t end, Cplx* out, EvaluationCache& cache,
                         std::size_t worker) const;

    // A parallel group or one of its branches, in walk order: a group comes
    // before its branches, a branch before the groups inside it. Its values
    // are a contiguous run of the trial vector, so a run that repeats bit
    // for bit repeats the subtree's result.
    struct Subtree {
        std::size_t params = 0;       // values beneath it
        std::size_t elements = 0;     // elements beneath it
        std::size_t descendants = 0;  // subtrees beneath it
        std::size_t key_offset = 0;   // sum of params of the subtrees before it
    };

  private:
    kernels::Block block_at(std::size_t begin, std::size_t n) const;

    const Circuit* circuit_ = nullptr;
    EvaluationShape shape_;
    std::vector<Subtree> subtrees_;
    std::vector<double> omega_;   // (N,) ω
    std::vector<double> sqrt_w_;  // (N,) √ω
    std::vector<double> log_hi_;  // (N,) ln|ω| as hi + lo (log_pair)
    std::vector<double> log_lo_;
    std::vector<Omega> points_;  // (N,) everything make_omega forms, for the general kinds
};

}  // namespace korvane
