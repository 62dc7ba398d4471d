#pragma once
// The weighted complex least-squares objective every fit method minimises:
//
//   r_{2i}   = (Re Zm(ω_i; p) − Re Z_i) / w_i
//   r_{2i+1} = (Im Zm(ω_i; p) − Im Z_i) / w_i,      cost = ½·Σ_k r_k²
//
// with its central-difference Jacobian and a shared count of evaluations.
// Search coordinates live in fit/search_space.hpp, the fit statistics in
// fit/statistics.hpp.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "circuit/batch_eval.hpp"
#include "circuit/circuit.hpp"
#include "circuit/complex.hpp"
#include "circuit/element.hpp"
#include "runtime/result.hpp"

namespace korvane {

enum class WeightScheme {
    Modulus,  // w_i = max(|Z_i|, 1e-30): relative residuals
    Unit,     // w_i = 1: absolute residuals in ohm
};

// Exactly "modulus" or "unit" (case-sensitive, untrimmed).
Result<WeightScheme> parse_weight_scheme(std::string_view text);

// One increment = one evaluation of the whole residual vector. Shared by an
// objective, its copies and the worker tasks of its Jacobians.
using EvalCounter = std::atomic<std::uint64_t>;
std::shared_ptr<EvalCounter> make_counter();

// η = ∛ε with ε = 2⁻⁵²: the central-difference step that balances the O(h²)
// truncation error against the O(ε/h) rounding error.
extern const double kJacobianStepFactor;

// Smallest magnitude a Jacobian step is scaled by, so that p_j = 0 still
// gets a nonzero step: h_j = η·max(|p_j|, 1e-8).
inline constexpr double kMinStepScale = 1e-8;

// 2N × P, stored column by column because it is produced that way.
struct Jacobian {
    std::size_t rows = 0;        // 2N
    std::size_t cols = 0;        // P
    std::vector<double> values;  // (cols, rows): column j at values[j * rows]

    std::span<const double> column(std::size_t j) const { return {values.data() + j * rows, rows}; }
    double at(std::size_t row, std::size_t col) const { return values[col * rows + row]; }
};

// Scratch for Jacobian evaluation, sized on first use and reused afterwards,
// so a solver that asks for many Jacobians allocates once.
struct JacobianWorkspace {
    std::vector<double> trial;  // (cols, P): the perturbed copy of p of each column task
    std::vector<double> minus;  // (cols, rows): r(p − h_j·e_j) of each column task
};

class Objective {
  public:
    // ω_i = 2π·f_i and the weights are computed here, once. The circuit is
    // borrowed and must outlive the objective; only its structure is used.
    // A null counter means a fresh one.
    static Result<Objective> build(const Circuit& circuit, std::span<const double> frequencies,
                                   std::span<const Cplx> measured, WeightScheme scheme,
                                   std::shared_ptr<EvalCounter> counter = nullptr);

    // Same data, its own counter starting at 0 (the counter of a polish run,
    // folded into the main one afterwards with add_evaluations).
    Objective with_fresh_counter() const;

    const Circuit& circuit() const { return *circuit_; }
    std::size_t point_count() const { return omega_.size(); }         // N
    std::size_t residual_count() const { return 2 * omega_.size(); }  // 2N
    std::size_t parameter_count() const { return parameter_count_; }
    std::span<const double> omega() const { return omega_; }
    std::span<const Cplx> measured() const { return measured_; }
    std::span<const double> weights() const { return weights_; }
    std::span<const Bounds> bounds() const { return bounds_; }

    const std::shared_ptr<EvalCounter>& counter() const { return counter_; }
    std::uint64_t evaluations() const { return counter_->load(); }
    void add_evaluations(std::uint64_t count) const { counter_->fetch_add(count); }

    // Counter += 1. Values of p beyond the circuit's parameters are ignored;
    // fewer fail with "impedance_from_iter: not enough values supplied".
    Result<std::vector<double>> residuals(std::span<const double> p) const;
    // Same into `out` of residual_count() entries; allocates nothing.
    Status residuals_into(std::span<const double> p, std::span<double> out) const;

    // P = p.size() columns, one pool task each; counter += 2P. reuse_scope
    // as for jacobian_into.
    Result<Jacobian> jacobian(std::span<const double> p, std::uint64_t reuse_scope = 0) const;
    // Same into `columns` of residual_count()·P entries (column-major).
    // reuse_scope 0 opens a fresh reuse scope of the evaluator for this
    // Jacobian; a scope from residuals_in_scope at the same p also reuses
    // what that evaluation formed (on the threads that share it).
    Status jacobian_into(std::span<const double> p, std::span<double> columns,
                         JacobianWorkspace& workspace, std::uint64_t reuse_scope = 0) const;

    // residuals_into within a reuse scope of the evaluator
    // (SpectrumEvaluator::new_reuse_scope; 0 reuses nothing).
    Status residuals_in_scope(std::span<const double> p, std::span<double> out,
                              std::uint64_t reuse_scope) const;

    // ½·Σ r_k²; counter += 1. A nonzero reuse_scope as for residuals_in_scope.
    Result<double> cost(std::span<const double> p, std::uint64_t reuse_scope = 0) const;

  private:
    Objective() = default;

    const Circuit* circuit_ = nullptr;
    std::size_t parameter_count_ = 0;
    std::vector<double> omega_;    // (N,)
    std::vector<Cplx> measured_;   // (N,)
    std::vector<double> weights_;  // (N,)
    std::vector<Bounds> bounds_;   // (parameter_count,)
    // The circuit over ω with everything that depends on ω alone formed once.
    SpectrumEvaluator evaluator_;
    std::shared_ptr<EvalCounter> counter_;
};

// Σ r_k², summed left to right from −0.0 (an empty vector gives −0.0). The
// order is fixed so that every caller gets the same bits.
double sum_of_squares(std::span<const double> r);

// ½·Σ r_k² from a residual vector already at hand (no evaluation counted).
inline double cost_of(std::span<const double> r) { return 0.5 * sum_of_squares(r); }

}  // namespace korvane
