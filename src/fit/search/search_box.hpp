#pragma once
// The box that particle swarm and differential evolution draw their points
// from, in search coordinates: a closed parameter keeps its bounds [lo, hi];
// an open one, searched as log10(p − lo), spans eight decades around the
// magnitude m = max(|p0|, 1e-6) of its starting value:
//
//   a = log10(max(max(1e-4·m, lo) − lo, 1e-300)),  b = log10(max(1e4·m − lo, 1e-300)).
//
// With lo = 0 that is [log10 m − 4, log10 m + 4]: the start only sets the
// scale, it is not a point of the search.

#include <span>
#include <string_view>
#include <vector>

#include "circuit/element.hpp"
#include "fit/objective.hpp"
#include "runtime/result.hpp"

namespace korvane {

struct SearchInterval {
    double lo = 0.0;  // a_j
    double hi = 0.0;  // b_j
};

// One interval per parameter, over min(|p0|, |bounds|) entries.
std::vector<SearchInterval> search_box(std::span<const double> p0, std::span<const Bounds> bounds);

// The arithmetic the method draws in: differential evolution rounds the box
// to floats.
enum class BoxPrecision { Double, Single };

// A uniform draw needs finite ends and a finite width; `widths` is how many
// box widths apart the widest draw of the method reaches (2 for particle
// swarm, whose velocities span [−(b − a), b − a]). Fails with
// "solver error: <method> cannot search "<name>": its search interval
// [a, b] is not finite" (or "... is too wide").
Status check_search_box(std::span<const SearchInterval> box, const Objective& objective,
                        std::string_view method, double widths,
                        BoxPrecision precision = BoxPrecision::Double);

}  // namespace korvane
