#include "fit/search/search_box.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "circuit/params.hpp"
#include "fit/search/global_search.hpp"
#include "fit/search_space.hpp"
#include "runtime/number_format.hpp"
#include "runtime/text.hpp"

namespace korvane {
namespace {

constexpr double kMinMagnitude = 1e-6;  // floor of m = max(|p0|, 1e-6)
constexpr double kDecadesBelow = 1e-4;
constexpr double kDecadesAbove = 1e4;

// fmax semantics: a NaN side yields the other value.
SearchInterval open_interval(double p0, double lo) {
    const double m = std::fmax(std::fabs(p0), kMinMagnitude);
    double low = std::fmax(kDecadesBelow * m, lo);
    if (std::isnan(low)) low = kDecadesBelow * m;
    return {std::log10(std::fmax(low - lo, kMinSearchOffset)),
            std::log10(std::fmax(kDecadesAbove * m - lo, kMinSearchOffset))};
}

bool finite_ends(SearchInterval interval, BoxPrecision precision) {
    if (precision == BoxPrecision::Double) {
        return std::isfinite(interval.lo) && std::isfinite(interval.hi);
    }
    return std::isfinite(static_cast<float>(interval.lo)) &&
           std::isfinite(static_cast<float>(interval.hi));
}

// `widths` times the distance between the ends, in the given precision.
bool finite_width(SearchInterval interval, BoxPrecision precision, double widths) {
    if (precision == BoxPrecision::Double) {
        return std::isfinite(widths * (interval.hi - interval.lo));
    }
    const float width = static_cast<float>(interval.hi) - static_cast<float>(interval.lo);
    return std::isfinite(static_cast<float>(widths) * width);
}

}  // namespace

std::vector<SearchInterval> search_box(std::span<const double> p0, std::span<const Bounds> bounds) {
    const std::size_t n = std::min(p0.size(), bounds.size());
    std::vector<SearchInterval> box(n);
    for (std::size_t j = 0; j < n; ++j) {
        box[j] = is_open(bounds[j]) ? open_interval(p0[j], bounds[j].lo)
                                    : SearchInterval{bounds[j].lo, bounds[j].hi};
    }
    return box;
}

Status check_search_box(std::span<const SearchInterval> box, const Objective& objective,
                        std::string_view method, double widths, BoxPrecision precision) {
    for (std::size_t j = 0; j < box.size(); ++j) {
        const SearchInterval interval = box[j];
        const bool ends = finite_ends(interval, precision);
        if (ends && finite_width(interval, precision, widths)) continue;
        // The message is built on this path only.
        const std::vector<std::string> names = param_names(objective.circuit());
        const std::string name = j < names.size() ? names[j] : std::to_string(j);
        const char* reason = !ends                               ? "not finite"
                             : precision == BoxPrecision::Single ? "too wide for single precision"
                                                                 : "too wide";
        return solver_error(std::string(method) + " cannot search " + quoted(name) +
                            ": its search interval [" + format_value(interval.lo) + ", " +
                            format_value(interval.hi) + "] is " + reason);
    }
    return ok_status();
}

}  // namespace korvane
