#pragma once
// Circuit evaluation over a whole spectrum at once: the tree is walked once
// per block of points instead of once per point, and every series sum, group
// reciprocal and simple element formula runs as a loop over the block's
// points (structure of arrays, so the compiler can vectorise it).
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

namespace korvane {

class SpectrumEvaluator {
  public:
    // Points per block: the scratch of one tree level is 4·kBlock doubles,
    // so a block of a shallow circuit stays in the first-level cache.
    static constexpr std::size_t kBlock = 256;

    SpectrumEvaluator() = default;
    // The per-point quantities of ω (√ω, √(jω), polar form of jω) are formed
    // here once; the circuit is borrowed and must outlive the evaluator.
    SpectrumEvaluator(const Circuit& circuit, std::span<const double> omega);

    std::size_t size() const { return omega_.size(); }

    // Model impedance at points [begin, begin + n), n <= kBlock, into
    // re[0, n) and im[0, n), with values consumed from `trial` in element
    // order (the caller guarantees parameter_count(circuit) of them).
    // Allocates nothing once the calling thread has evaluated a circuit at
    // least this deep.
    //
    // A nonzero `reuse_scope` (from new_reuse_scope) lets evaluations in the
    // same scope on the same thread reuse the impedance of any element whose
    // values are bit for bit those of an earlier evaluation in that scope:
    // the columns of one Jacobian change one parameter each, so all other
    // elements repeat. The element formulas are pure, so a reused impedance
    // is the one that would have been computed. The same holds one level up:
    // a parallel group's impedance and each of its branches' admittance are
    // reused when all the values beneath them repeat (the columns of the
    // other parameters). Scope 0 reuses nothing, nor
    // does a block other than a whole one (begin a multiple of kBlock, n up
    // to the next multiple or the end).
    void evaluate_block(std::span<const double> trial, std::size_t begin, std::size_t n, double* re,
                        double* im, std::uint64_t reuse_scope = 0) const;

    // A scope number never handed out before in this process.
    static std::uint64_t new_reuse_scope();

    // Points [begin, end) from the circuit's stored values, into
    // out[begin, end).
    void evaluate_stored(std::size_t begin, std::size_t end, Cplx* out) const;

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
    const Circuit* circuit_ = nullptr;
    std::size_t element_count_ = 0;
    std::vector<Subtree> subtrees_;
    std::size_t subtree_key_length_ = 0;  // sum of params over subtrees_
    std::size_t depth_ = 0;               // parallel-group nesting of the circuit
    std::vector<double> omega_;           // (N,) ω
    std::vector<double> sqrt_w_;          // (N,) √ω
    std::vector<double> log_hi_;          // (N,) ln|ω| as hi + lo (log_pair)
    std::vector<double> log_lo_;
    std::vector<Omega> points_;  // (N,) everything make_omega forms, for the general kinds
};

}  // namespace korvane
