// With the vertices sorted by cost f_0 ≤ … ≤ f_n and z the centroid of all but
// the worst x_n, one iteration tries r = z + (z − x_n) and then
//   f_0 ≤ f_r < f_{n−1}:  x_n ← r                               (reflection)
//   f_r < f_0:           x_n ← e = z + 2(r − z) if f_e < f_r, else r (expansion)
//   f_r ≥ f_{n−1}:       x_n ← k = z + ½(x_n − z) if f_k < f_n, else shrink all
//                        towards x_0 by ½                           (contraction)
// A NaN f_r fits none of the cases and ends the method with an error.

#include "fit/search/nelder_mead.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "fit/search_space.hpp"

namespace korvane {
namespace {

constexpr double kReflection = 1.0;
constexpr double kExpansion = 2.0;
constexpr double kContraction = 0.5;
constexpr double kShrink = 0.5;
// Stop when the sample standard deviation of the vertex costs is below 2⁻⁵².
constexpr double kCostSpreadTolerance = 2.220446049250313e-16;
constexpr double kInitialStep = 0.1;      // relative step of the starting simplex
constexpr double kTinyCoordinate = 1e-8;  // at or below: an absolute step of 0.1

struct Vertex {
    std::vector<double> x;
    double cost = 0.0;
};

// Ascending cost, stable, NaN last.
void sort_vertices(std::vector<Vertex>& simplex) {
    std::stable_sort(simplex.begin(), simplex.end(),
                     [](const Vertex& a, const Vertex& b) { return lower_cost(a.cost, b.cost); });
}

// sqrt(Σ (f_i − mean)² / n) over the n + 1 vertices.
double cost_spread(const std::vector<Vertex>& simplex) {
    double sum = 0.0;
    for (const Vertex& v : simplex) sum += v.cost;
    const double mean = sum / static_cast<double>(simplex.size());
    double squares = 0.0;
    for (const Vertex& v : simplex) squares += (v.cost - mean) * (v.cost - mean);
    return std::sqrt(squares / static_cast<double>(simplex.size() - 1));
}

// out = from + factor·(to − from), coordinate by coordinate.
void move_towards(std::span<const double> from, std::span<const double> to, double factor,
                  std::vector<double>& out) {
    out.resize(from.size());
    for (std::size_t j = 0; j < from.size(); ++j) out[j] = from[j] + factor * (to[j] - from[j]);
}

}  // namespace

Result<SearchOutcome> nelder_mead(const Objective& objective, std::span<const double> p0,
                                  const FitSettings& settings) {
    const std::uint64_t max_iterations = settings.nelder_mead_iterations;
    const std::span<const Bounds> bounds = objective.bounds();
    const std::vector<double> x0 = to_search_space(p0, bounds);
    const std::size_t n = x0.size();
    if (n == 0) return solver_error("nelder-mead found no best position");

    SearchCost cost(objective);
    std::vector<Vertex> simplex(n + 1, Vertex{x0, 0.0});
    for (std::size_t i = 0; i < n; ++i) {
        const double magnitude = std::fabs(x0[i]);
        simplex[i + 1].x[i] +=
            magnitude > kTinyCoordinate ? kInitialStep * magnitude : kInitialStep;
    }
    for (Vertex& vertex : simplex) {
        Result<double> c = cost(vertex.x);
        if (!c) return c.take_error();
        vertex.cost = *c;
    }
    sort_vertices(simplex);

    std::vector<double> centroid(n);
    std::vector<double> reflected;
    std::vector<double> candidate;
    std::uint64_t iteration = 0;
    while (iteration < max_iterations && !(cost_spread(simplex) < kCostSpreadTolerance)) {
        // z = (x_0 + … + x_{n−1})·(1/n)
        centroid = simplex[0].x;
        for (std::size_t i = 1; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) centroid[j] += simplex[i].x[j];
        }
        const double inverse = 1.0 / static_cast<double>(n);
        for (double& z : centroid) z *= inverse;

        Vertex& worst = simplex[n];
        const double best_cost = simplex[0].cost;
        const double second_worst_cost = simplex[n - 1].cost;
        reflected.resize(n);
        for (std::size_t j = 0; j < n; ++j) {
            reflected[j] = centroid[j] + kReflection * (centroid[j] - worst.x[j]);
        }
        Result<double> reflected_cost = cost(reflected);
        if (!reflected_cost) return reflected_cost.take_error();
        const double f_r = *reflected_cost;

        if (best_cost <= f_r && f_r < second_worst_cost) {
            worst.x.swap(reflected);
            worst.cost = f_r;
        } else if (f_r < best_cost) {
            move_towards(centroid, reflected, kExpansion, candidate);
            Result<double> expanded_cost = cost(candidate);
            if (!expanded_cost) return expanded_cost.take_error();
            if (*expanded_cost < f_r) {
                worst.x.swap(candidate);
                worst.cost = *expanded_cost;
            } else {
                worst.x.swap(reflected);
                worst.cost = f_r;
            }
        } else if (f_r >= second_worst_cost) {
            move_towards(centroid, worst.x, kContraction, candidate);
            Result<double> contracted_cost = cost(candidate);
            if (!contracted_cost) return contracted_cost.take_error();
            if (*contracted_cost < worst.cost) {
                worst.x.swap(candidate);
                worst.cost = *contracted_cost;
            } else {
                for (std::size_t i = 1; i <= n; ++i) {
                    move_towards(simplex[0].x, simplex[i].x, kShrink, candidate);
                    Result<double> shrunk_cost = cost(candidate);
                    if (!shrunk_cost) return shrunk_cost.take_error();
                    simplex[i].x.swap(candidate);
                    simplex[i].cost = *shrunk_cost;
                }
            }
        } else {
            return solver_error("`NelderMead`: Reached unreachable point.");
        }
        sort_vertices(simplex);
        ++iteration;
    }
    return SearchOutcome{from_search_space(simplex[0].x, bounds), iteration, std::nullopt};
}

}  // namespace korvane
