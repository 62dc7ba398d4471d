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
#include "fit/constraints.hpp"
#include "fit/evaluation_context.hpp"
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

// What one request to the objective asks for at a point p; an empty span or
// a null pointer is not computed. The residuals come first, then the
// Jacobian, as the solver and the statistics ask for them.
struct Evaluation {
    // r, residual_count() entries; counter += 1.
    std::span<double> residuals = {};
    // ∂r/∂p by central differences, P = p.size() columns of residual_count()
    // entries (column-major), one pool task each; counter += 2P.
    std::span<double> jacobian = {};
    // ½·Σ r_k², from `residuals` when they are asked for too (no second
    // count), else from residuals into the context's own buffer.
    double* cost = nullptr;
};

// 2N × P, stored column by column because it is produced that way.
struct Jacobian {
    std::size_t rows = 0;        // 2N
    std::size_t cols = 0;        // P
    std::vector<double> values;  // (cols, rows): column j at values[j * rows]

    std::span<const double> column(std::size_t j) const { return {values.data() + j * rows, rows}; }
    double at(std::size_t row, std::size_t col) const { return values[col * rows + row]; }
};

class Objective {
  public:
    // ω_i = 2π·f_i and the weights are computed here, once. The circuit is
    // borrowed and must outlive the objective; only its structure is used.
    // A null counter means a fresh one.
    static Result<Objective> build(const Circuit& circuit, std::span<const double> frequencies,
                                   std::span<const Cplx> measured, WeightScheme scheme,
                                   std::shared_ptr<EvalCounter> counter = nullptr);
    // The same under constraints (validated by the caller, see
    // validate_constraints): the objective then takes the free parameters
    // only, searches within the constraints' bounds, and divides by σ
    // instead of the scheme's weights. Empty constraints build exactly the
    // objective above.
    static Result<Objective> build(const Circuit& circuit, std::span<const double> frequencies,
                                   std::span<const Cplx> measured, WeightScheme scheme,
                                   const FitConstraints& constraints,
                                   std::shared_ptr<EvalCounter> counter = nullptr);

    // Same data, its own counter starting at 0 (the counter of a polish run,
    // folded into the main one afterwards with add_evaluations).
    Objective with_fresh_counter() const;

    const Circuit& circuit() const { return *circuit_; }
    std::size_t point_count() const { return omega_.size(); }         // N
    std::size_t residual_count() const { return 2 * omega_.size(); }  // 2N
    // The unknowns: the circuit's parameters less the fixed ones, in
    // param_names() order. Every vector the objective takes has this layout.
    std::size_t parameter_count() const { return parameter_count_; }
    std::span<const double> omega() const { return omega_; }
    std::span<const Cplx> measured() const { return measured_; }
    // Divisors of the real parts; those of the imaginary parts are the same
    // unless σ was given per part.
    std::span<const double> weights() const { return weights_; }
    std::span<const double> weights_im() const {
        return weights_im_.empty() ? std::span<const double>(weights_) : weights_im_;
    }
    std::span<const Bounds> bounds() const { return bounds_; }  // (parameter_count,)
    // The unknowns' physical bounds (Circuit.param_bounds), which differ from
    // bounds() where the constraints narrowed them. The multi-start's test of
    // a degenerate run asks about these: a run that ends near an own bound
    // is for the bound repair, not a sign of collapse.
    std::span<const Bounds> physical_bounds() const {
        return physical_bounds_.empty() ? std::span<const Bounds>(bounds_) : physical_bounds_;
    }

    // Between the circuit's parameter vector and the unknowns. Without fixed
    // parameters both are plain copies.
    bool has_fixed() const { return !full_template_.empty(); }
    std::vector<double> free_values(std::span<const double> all) const;
    // The fixed values inserted among the free ones.
    std::vector<double> full_values(std::span<const double> free) const;
    // Per-parameter copy of a per-unknown vector with `fill` at the fixed
    // parameters (their standard errors, say).
    std::vector<double> spread(std::span<const double> free, double fill) const;

    const std::shared_ptr<EvalCounter>& counter() const { return counter_; }
    std::uint64_t evaluations() const { return counter_->load(); }
    void add_evaluations(std::uint64_t count) const { counter_->fetch_add(count); }

    // The one entry of a fit's requests, through its EvaluationContext, made
    // for this objective; any other context is refused as an internal error.
    // Once each kind of request has run through a context, none allocates.
    // Values of p beyond the circuit's parameters are ignored; fewer fail
    // with "impedance_from_iter: not enough values supplied".
    Status evaluate(EvaluationContext& context, std::span<const double> p,
                    const Evaluation& request) const;

    // Single requests, each with a context of its own (tests, one-off costs).
    Result<std::vector<double>> residuals(std::span<const double> p) const;
    Status residuals_into(std::span<const double> p, std::span<double> out) const;
    Result<Jacobian> jacobian(std::span<const double> p) const;
    Result<double> cost(std::span<const double> p) const;

    // What a context needs to know about the objective.
    const SpectrumEvaluator& evaluator() const { return evaluator_; }
    // Length of the circuit's full parameter vector when some are fixed,
    // else 0 (the unknowns are then the full vector).
    std::size_t full_parameter_count() const { return full_template_.size(); }

  private:
    Objective() = default;

    Status check_context(const EvaluationContext& context) const;
    Status residuals_into(EvaluationContext& context, std::span<const double> p,
                          std::span<double> out) const;
    Status jacobian_into(EvaluationContext& context, std::span<const double> p,
                         std::span<double> columns) const;
    // residuals_into without counting, checking or entering the point, on
    // behalf of worker `worker` (the calling thread's or a column task's).
    void residuals_at(EvaluationContext& context, std::size_t worker, std::span<const double> p,
                      std::span<double> out) const;

    const Circuit* circuit_ = nullptr;
    std::size_t parameter_count_ = 0;
    std::vector<double> omega_;    // (N,)
    std::vector<Cplx> measured_;   // (N,)
    std::vector<double> weights_;  // (N,)
    std::vector<Bounds> bounds_;   // (parameter_count,)

    // Only under constraints, else empty: the divisors of the imaginary
    // parts when σ differs per part; the unconstrained bounds; the
    // circuit's full vector carrying the fixed values (free entries unused)
    // and where each unknown goes in it.
    std::vector<double> weights_im_;       // (N,)
    std::vector<Bounds> physical_bounds_;  // (parameter_count,)
    std::vector<double> full_template_;    // (P,)
    std::vector<std::size_t> free_index_;  // (parameter_count,)

    // The circuit over ω with everything that depends on ω alone formed once.
    SpectrumEvaluator evaluator_;
    std::shared_ptr<EvalCounter> counter_;
};

// Σ r_k², summed left to right from −0.0 (an empty vector gives −0.0). The
// order is fixed so that every caller gets the same bits.
double sum_of_squares(std::span<const double> r);

// ½·Σ r_k² at p through `context`: evaluate() asked for the cost alone.
Result<double> evaluate_cost(const Objective& objective, EvaluationContext& context,
                             std::span<const double> p);

// ½·Σ r_k² from a residual vector already at hand (no evaluation counted).
inline double cost_of(std::span<const double> r) { return 0.5 * sum_of_squares(r); }

}  // namespace korvane
