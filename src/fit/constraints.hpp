#pragma once
// What a constrained fit adds to a plain one: parameters held at given values,
// own bounds narrowing the physical ones, and per-point measurement standard
// deviations in place of a weight scheme. A default-constructed value adds
// nothing, and a fit with it is the plain fit bit for bit.
//
// Fixed parameters are not frozen columns of the solver but removed from the
// problem: the objective takes the free parameters only and inserts the fixed
// values itself before every evaluation (Objective::full_values). So every
// method — candidates, the multi-start, bound repair, derivative-free
// searches, statistics — sees an ordinary problem of P_free unknowns, the
// fixed values are used as given (bit for bit, never via a search-coordinate
// round trip), no evaluation is spent on their Jacobian columns, and the
// standard errors come from the reduced JᵀJ with dof = 2N − P_free.
//
// With measurement errors σ the residuals are the usual normalised ones,
//
//   r_{2i} = (Re Zm_i − Re Z_i)/σ^re_i,   r_{2i+1} = (Im Zm_i − Im Z_i)/σ^im_i,
//
// so χ² = Σ r² is the statistic of that name (Press et al., Numerical
// Recipes, 3rd ed., 2007, §15.1).

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/element.hpp"
#include "runtime/result.hpp"

namespace korvane {

struct FitConstraints {
    // (P,) or empty: fixed[j] holds parameter j at that value; nullopt leaves it free.
    std::vector<std::optional<double>> fixed;
    // (P,) or empty: the bounds of every parameter, own or default. Empty
    // means param_bounds(circuit).
    std::vector<Bounds> bounds;
    // (N,) each or both empty: σ of the real and of the imaginary part of
    // every point, replacing the weight scheme.
    std::vector<double> sigma_re;
    std::vector<double> sigma_im;

    bool has_fixed() const;
    bool has_sigma() const { return !sigma_re.empty() || !sigma_im.empty(); }
};

// Checks `constraints` against the circuit and the number of measured points:
// mask and bounds lengths P; bounds inside the defaults with lo < hi; fixed
// values finite and inside their bounds; at least one parameter free; σ
// lengths N, finite and positive. Messages name the parameter ("R1.r").
Status validate_constraints(const Circuit& circuit, std::size_t point_count,
                            const FitConstraints& constraints);

// The circuit a constrained fit starts from, given the start chosen by the
// starting-value policy: fixed parameters take their values; a free value
// outside its own (narrowed) bounds is an error when the user gave it, and is
// moved inside when it is a network guess (`guessed`) — clamped into a closed
// interval, raised to 2·lo above an own lower bound of an open parameter
// (lo itself would sit at −300 in search coordinates, where the solver sees
// no slope). Values are not compared with bounds nobody narrowed, as in a
// plain fit.
Result<Circuit> constrained_start(const Circuit& start, bool guessed,
                                  const FitConstraints& constraints);

}  // namespace korvane
