#include "fit/constraints.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "circuit/params.hpp"
#include "fit/search_space.hpp"
#include "runtime/number_format.hpp"
#include "runtime/text.hpp"

namespace korvane {

namespace {

// "(1e-12, inf)". Appended piece by piece: `"(" + temporary` trips a false
// -Wrestrict in GCC 12's string insert.
std::string interval_text(const Bounds b) {
    std::string text = "(";
    text += format_value(b.lo);
    text += ", ";
    text += format_value(b.hi);
    text += ')';
    return text;
}

bool same_bits(const double a, const double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

bool same_bounds(const Bounds a, const Bounds b) {
    return same_bits(a.lo, b.lo) && same_bits(a.hi, b.hi);
}

Status check_sigma(std::span<const double> sigma, std::string_view part, std::size_t n) {
    if (sigma.size() != n) {
        return Error::value("sigma of the " + std::string(part) + " parts has " +
                            std::to_string(sigma.size()) +
                            " entries, expected one per measured "
                            "point (" +
                            std::to_string(n) + ")");
    }
    for (std::size_t i = 0; i < n; ++i) {
        // Written to refuse NaN too.
        if (!(sigma[i] > 0.0 && std::isfinite(sigma[i]))) {
            return Error::value("sigma must be finite and positive; the " + std::string(part) +
                                " part of point " + std::to_string(i) + " has " +
                                format_value(sigma[i]));
        }
    }
    return ok_status();
}

}  // namespace

bool FitConstraints::has_fixed() const {
    return std::any_of(fixed.begin(), fixed.end(),
                       [](const std::optional<double>& v) { return v.has_value(); });
}

Status validate_constraints(const Circuit& circuit, std::size_t point_count,
                            const FitConstraints& constraints) {
    const std::vector<std::string> names = param_names(circuit);
    const std::vector<Bounds> defaults = param_bounds(circuit);
    const std::size_t p = names.size();
    if (!constraints.fixed.empty() && constraints.fixed.size() != p) {
        return Error::value("fixed has " + std::to_string(constraints.fixed.size()) +
                            " entries, expected one per parameter (" + std::to_string(p) + ")");
    }
    if (!constraints.bounds.empty() && constraints.bounds.size() != p) {
        return Error::value("bounds has " + std::to_string(constraints.bounds.size()) +
                            " entries, expected one per parameter (" + std::to_string(p) + ")");
    }
    for (std::size_t j = 0; j < constraints.bounds.size(); ++j) {
        const Bounds own = constraints.bounds[j];
        if (!(own.lo < own.hi)) {
            return Error::value("bounds of " + quoted(names[j]) + " need lo < hi, got " +
                                interval_text(own));
        }
        if (!(own.lo >= defaults[j].lo && own.hi <= defaults[j].hi)) {
            return Error::value("bounds " + interval_text(own) + " of " + quoted(names[j]) +
                                " reach outside its physical bounds " + interval_text(defaults[j]));
        }
    }
    for (std::size_t j = 0; j < constraints.fixed.size(); ++j) {
        if (!constraints.fixed[j]) continue;
        const double v = *constraints.fixed[j];
        const Bounds b = constraints.bounds.empty() ? defaults[j] : constraints.bounds[j];
        if (!std::isfinite(v)) {
            return Error::value("fixed value of " + quoted(names[j]) + " must be finite, got " +
                                format_value(v));
        }
        if (v < b.lo || v > b.hi) {
            return Error::value("fixed value " + format_value(v) + " of " + quoted(names[j]) +
                                " is outside its bounds " + interval_text(b));
        }
    }
    if (p > 0 && !constraints.fixed.empty() &&
        std::all_of(constraints.fixed.begin(), constraints.fixed.end(),
                    [](const std::optional<double>& v) { return v.has_value(); })) {
        return Error::value("every parameter is fixed: nothing is left to fit");
    }
    if (constraints.has_sigma()) {
        if (Status s = check_sigma(constraints.sigma_re, "real", point_count); !s) return s;
        if (Status s = check_sigma(constraints.sigma_im, "imaginary", point_count); !s) return s;
    }
    return ok_status();
}

Result<Circuit> constrained_start(const Circuit& start, bool guessed,
                                  const FitConstraints& constraints) {
    std::vector<double> values = param_values(start);
    const std::vector<Bounds> defaults = param_bounds(start);
    const std::size_t p = values.size();
    bool changed = false;
    for (std::size_t j = 0; j < p && j < constraints.fixed.size(); ++j) {
        if (!constraints.fixed[j]) continue;
        changed = changed || !same_bits(values[j], *constraints.fixed[j]);
        values[j] = *constraints.fixed[j];
    }
    for (std::size_t j = 0; j < p && j < constraints.bounds.size(); ++j) {
        const Bounds b = constraints.bounds[j];
        const bool fixed = j < constraints.fixed.size() && constraints.fixed[j].has_value();
        if (fixed || same_bounds(b, defaults[j])) continue;
        const double v = values[j];
        if (v >= b.lo && v <= b.hi) continue;
        if (!guessed) {
            return Error::value("start value " + format_value(v) + " of " +
                                quoted(param_names(start)[j]) + " is outside its bounds " +
                                interval_text(b) +
                                "; start inside them (Circuit.with_named_values)");
        }
        if (is_open(b)) {
            values[j] = 2.0 * b.lo;  // only a lower bound can be crossed, or NaN
        } else {
            values[j] = v < b.lo ? b.lo : v > b.hi ? b.hi : 0.5 * (b.lo + b.hi);
        }
        changed = true;
    }
    if (!changed) return start;
    Result<Circuit> moved = with_values(start, values);
    if (!moved) return Error::internal(moved.error().message);
    // with_values marks the values explicit; keep the flag the start had.
    moved->values_explicit = start.values_explicit;
    return moved;
}

}  // namespace korvane
