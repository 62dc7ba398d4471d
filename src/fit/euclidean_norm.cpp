// Scaled three-sum Euclidean norm.
//
// Reference: J. J. Moré, B. S. Garbow, K. E. Hillstrom, "User guide for
// MINPACK-1", ANL-80-74 (1980), routine enorm.
//
// Intermediate components are squared and summed directly (no division in the
// common case). Small components accumulate as s_small = Σ (|v_i| / small_max)²
// and large ones as s_large = Σ (|v_i| / large_max)², rescaling the sum when a
// new maximum arrives: s ← 1 + s·(old_max / new_max)².

#include "fit/euclidean_norm.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fit/lanes.hpp"
#include "runtime/wide_loop.hpp"

namespace korvane {
namespace {

// 2⁻⁵¹¹ = sqrt(2.2250738585072014e-308), the square root of the smallest normal.
constexpr double kSmallThreshold = 1.4916681462400413e-154;
// sqrt(1.7976931348623157e308), the square root of the largest finite double.
constexpr double kLargeBase = 1.3407807929942596e154;

// Adds |v_i| = magnitude to a sum kept relative to its running maximum.
void accumulate_scaled(double magnitude, double& sum, double& running_max) {
    if (magnitude > running_max) {
        const double ratio = running_max / magnitude;
        sum = 1.0 + sum * (ratio * ratio);
        running_max = magnitude;
    } else if (magnitude != 0.0) {
        const double ratio = magnitude / running_max;
        sum += ratio * ratio;
    }
}

}  // namespace

double euclidean_norm(std::span<const double> v) {
    if (v.empty()) return 0.0;
    const double large_threshold = kLargeBase / static_cast<double>(v.size());

    double small_sum = 0.0, small_max = 0.0;
    double middle_sum = 0.0;
    double large_sum = 0.0, large_max = 0.0;
    bool saw_nan = false, saw_infinity = false;

    for (const double component : v) {
        const double magnitude = std::fabs(component);
        if (magnitude > kSmallThreshold && magnitude < large_threshold) {
            middle_sum += magnitude * magnitude;
        } else if (magnitude <= kSmallThreshold) {
            accumulate_scaled(magnitude, small_sum, small_max);
        } else if (std::isnan(magnitude)) {
            saw_nan = true;
        } else if (std::isinf(magnitude)) {
            // inf/inf in the rescaling would turn a second infinity into NaN.
            saw_infinity = true;
        } else {
            accumulate_scaled(magnitude, large_sum, large_max);
        }
    }

    if (saw_nan) return std::numeric_limits<double>::quiet_NaN();
    if (saw_infinity) return std::numeric_limits<double>::infinity();

    if (large_sum != 0.0) {
        // The middle sum is far below large_max², so divide it down twice.
        return large_max * std::sqrt(large_sum + (middle_sum / large_max) / large_max);
    }
    if (middle_sum != 0.0) {
        // small_max² · small_sum is the small part; combine on the larger scale.
        if (middle_sum >= small_max) {
            return std::sqrt(middle_sum * (1.0 + (small_max / middle_sum) * (small_max * small_sum)));
        }
        return std::sqrt(small_max * ((middle_sum / small_max) + (small_max * small_sum)));
    }
    return small_max * std::sqrt(small_sum);
}

namespace {

// L columns in one pass, one per lane (fit/lanes.hpp). A column whose every component is
// an intermediate one or zero has small and large sums of zero, and the general
// routine then returns sqrt(middle_sum) from the same sequential sum. That
// holds when the column's smallest nonzero and largest magnitudes are intermediate
// and the sum is finite (a NaN may slip past min/max but not past the sum);
// any other column is handed to the general routine whole.
template <std::size_t L>  // 2 or 4
KORVANE_WIDE_LOOP void norms_side_by_side(const double* const* columns, std::size_t length,
                                          std::size_t count, double* out) {
    const double large_threshold = kLargeBase / static_cast<double>(length);
    constexpr double highest_possible = std::numeric_limits<double>::infinity();
    using Vec = typename Lanes<L>::Values;
    using VecBits = typename Lanes<L>::Bits;
    const VecBits magnitude_bits = VecBits{} + std::numeric_limits<std::int64_t>::max();
    Vec sum = Vec{} + 0.0;
    Vec lowest = Vec{} + highest_possible;
    Vec highest = Vec{} + 0.0;
    for (std::size_t i = 0; i < length; ++i) {
        Vec x;
        for (std::size_t l = 0; l < L; ++l) x[l] = columns[l][i];
        const Vec magnitude = (Vec)((VecBits)x & magnitude_bits);  // |x|
        sum += magnitude * magnitude;
        // Zeros add nothing to any of the three sums.
        const Vec probe = magnitude == 0.0 ? highest_possible : magnitude;
        lowest = probe < lowest ? probe : lowest;
        highest = magnitude > highest ? magnitude : highest;
    }
    for (std::size_t l = 0; l < count; ++l) {
        const bool intermediate = length != 0 && std::isfinite(sum[l]) &&
                                  lowest[l] > kSmallThreshold && highest[l] < large_threshold;
        out[l] = intermediate ? std::sqrt(sum[l]) : euclidean_norm({columns[l], length});
    }
}

}  // namespace

void euclidean_norms(const double* first, std::size_t length, std::size_t stride,
                     std::size_t count, double* out) {
    for (std::size_t c = 0; c < count; c += kMaxLanes) {
        const std::size_t here = std::min(kMaxLanes, count - c);
        const double* columns[kMaxLanes];
        for (std::size_t l = 0; l < kMaxLanes; ++l) {
            columns[l] = first + (c + std::min(l, here - 1)) * stride;
        }
        switch (lanes_for(here)) {
            case 2: norms_side_by_side<2>(columns, length, here, out + c); break;
            default: norms_side_by_side<4>(columns, length, here, out + c); break;
        }
    }
}

}  // namespace korvane
