#pragma once
// Least-squares fitting from several starting points: the nine candidates,
// the Levenberg–Marquardt multi-start with its best-run and plausibility
// rules, and the repair of a result that ends on a finite bound by one more
// run with the offending parameters frozen there.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "circuit/circuit.hpp"
#include "fit/fit_outcome.hpp"
#include "fit/lm/lm.hpp"
#include "fit/objective.hpp"
#include "runtime/numeric.hpp"
#include "runtime/result.hpp"

namespace korvane {

struct Candidate {
    std::vector<double> params;
    double cost = 0.0;
};

// Stable sort by cost in total order: equal costs keep construction order.
void sort_by_cost(std::vector<Candidate>& candidates);

// p0; open parameters ×3, ×1/3, ×8, ×0.125; closed parameters at
// lo + (hi − lo)·t for t = 0.2, 0.4, 0.6, 0.8. Each costed once, then sorted.
Result<std::vector<Candidate>> candidate_starting_points(std::span<const double> p0,
                                                         std::span<const Bounds> bounds,
                                                         const Objective& objective,
                                                         EvaluationContext& context);
Result<std::vector<Candidate>> candidate_starting_points(std::span<const double> p0,
                                                         std::span<const Bounds> bounds,
                                                         const Objective& objective);

// A converged run whose parameters sit on a closed bound, or whose open
// parameters moved by six decades or to within 100·lo, has probably run off
// into a degenerate corner; the multi-start then tries the next candidate.
bool parameters_plausible(std::span<const double> p0, std::span<const double> p,
                          std::span<const Bounds> bounds);

// One solver run mapped back to parameter coordinates.
struct LeastSquaresRun {
    std::vector<double> params;
    bool success = false;
    std::uint64_t evaluations = 0;  // the solver's nfev
    double cost = 0.0;
};

// One solver run from parameter vector `start` in search coordinates, with
// the `frozen` parameters held fixed; mapped back and costed (one more
// evaluation).
Result<LeastSquaresRun> least_squares_run(const Objective& objective, EvaluationContext& context,
                                          std::span<const double> start,
                                          const std::vector<bool>& frozen, const LmConfig& config);
Result<LeastSquaresRun> least_squares_run(const Objective& objective, std::span<const double> start,
                                          const std::vector<bool>& frozen, const LmConfig& config);

// Whether `run` takes the place of `best` (see least_squares_fit.cpp).
bool replaces_best(const std::optional<LeastSquaresRun>& best, const LeastSquaresRun& run);

// Which parameters the bound repair freezes: finite upper bound and the
// unclamped value not strictly inside (lo, hi), NaN included.
std::vector<bool> parameters_at_bound(std::span<const double> p, std::span<const Bounds> bounds);

// A run that ended outside the box, brought back into it before it is
// ranked. Closed parameters (the exponents) move in search coordinates
// without their bounds, so a run may end with alpha = 22 at a cost that no
// point the fit may return reaches; ranked by that cost it displaced the runs
// that ended inside, and its clamped vector cost up to 260 times the best on
// measured spectra. So the parameters beyond a bound are clamped and frozen
// there and the rest refitted (an active-set step), again while a refit
// pushes another parameter out, each pass freezing at least one more. A
// refit is kept when it converged below the cost of the clamped point it
// started from (success true); otherwise the run is that clamped point with
// its own success flag. `evaluations` grows by the refits' counts.
Result<LeastSquaresRun> into_box(const Objective& objective, EvaluationContext& context,
                                 LeastSquaresRun run, const LmConfig& config);

// The multi-start and bound repair before assembly.
struct LeastSquaresSolution {
    std::vector<double> params;  // not yet clamped
    bool success = false;
    std::uint64_t evaluations = 0;  // Σ nfev of every run, the repair included
    std::size_t candidate_runs = 0;
    std::size_t runs_into_box = 0;  // runs that ended outside the box (into_box)
    // What fit_least_squares falls back on when the result would cost more
    // than where it started: the cheapest candidate inside the box with a
    // finite cost.
    std::optional<Candidate> lowest_start;
};
// Every evaluation goes through `context`, which the assembly then uses too.
Result<LeastSquaresSolution> solve_least_squares(const Objective& objective,
                                                 EvaluationContext& context,
                                                 std::span<const double> p0,
                                                 const LmConfig& config);
Result<LeastSquaresSolution> solve_least_squares(const Objective& objective,
                                                 std::span<const double> p0,
                                                 const LmConfig& config);

// The settings of the driver's own least-squares runs (polish, basin-hopping
// local searches): ftol = xtol = gtol = 1e-8, eval_budget 200.
LmConfig fixed_lm_config();

// Assembly of a solution, except that a result costing more than the
// cheapest candidate inside the box is replaced (see the comment at the
// definition): the cheapest run that ended inside the box, or that candidate.
Result<FitOutcome> assemble_no_worse_than_start(const Objective& objective,
                                                EvaluationContext& context, const Circuit& start,
                                                const LeastSquaresSolution& solution);

// solve_least_squares from the circuit's current values, then
// assemble_no_worse_than_start, with one evaluation context for the whole fit.
Result<FitOutcome> fit_least_squares(const Objective& objective, const Circuit& start,
                                     const LmConfig& config);

}  // namespace korvane
