// Scaled three-sum Euclidean norm.
//
// Reference: J. J. Moré, B. S. Garbow, K. E. Hillstrom, "User guide for
// MINPACK-1", ANL-80-74 (1980), routine enorm.
//
// Intermediate components are squared and summed directly (no division in the
// common case), in the interleaved order of fit/lanes.hpp. Small components
// accumulate as s_small = Σ (|v_i| / small_max)² and large ones as
// s_large = Σ (|v_i| / large_max)², rescaling the sum when a new maximum
// arrives: s ← 1 + s·(old_max / new_max)².

#include "fit/lm/euclidean_norm.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fit/lm/lanes.hpp"
#include "runtime/wide_loop.hpp"

namespace korvane {
namespace {

// 2⁻⁵¹¹ = sqrt(2.2250738585072014e-308), the square root of the smallest normal.
constexpr double kSmallThreshold = 1.4916681462400413e-154;
// sqrt(1.7976931348623157e308), the square root of the largest finite double.
constexpr double kLargeBase = 1.3407807929942596e154;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

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

// The norm with all three sums, one component at a time.
double three_sum_norm(const double* v, std::size_t n) {
    if (n == 0) return 0.0;
    const double large_threshold = kLargeBase / static_cast<double>(n);

    double small_sum = 0.0, small_max = 0.0;
    Quad middle = Quad{} + 0.0;
    double large_sum = 0.0, large_max = 0.0;
    bool saw_nan = false, saw_infinity = false;

    for (std::size_t i = 0; i < n; ++i) {
        const double magnitude = std::fabs(v[i]);
        if (magnitude > kSmallThreshold && magnitude < large_threshold) {
            middle[i % 4] += magnitude * magnitude;
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
    if (saw_infinity) return kInfinity;

    const double middle_sum = combine_quad(middle);
    if (large_sum != 0.0) {
        // The middle sum is far below large_max², so divide it down twice.
        return large_max * std::sqrt(large_sum + (middle_sum / large_max) / large_max);
    }
    if (middle_sum != 0.0) {
        // small_max² · small_sum is the small part; combine on the larger scale.
        if (middle_sum >= small_max) {
            return std::sqrt(middle_sum *
                             (1.0 + (small_max / middle_sum) * (small_max * small_sum)));
        }
        return std::sqrt(small_max * ((middle_sum / small_max) + (small_max * small_sum)));
    }
    return small_max * std::sqrt(small_sum);
}

// The norms of C vectors of length n in one pass. A vector whose every
// component is an intermediate one or zero has small and large sums of zero,
// and three_sum_norm then returns sqrt of the same interleaved middle sum.
// That holds when its smallest nonzero and largest magnitudes are
// intermediate and the sum is finite (a NaN may slip past min/max but not
// past the sum); any other vector is handed to three_sum_norm whole.
template <std::size_t C>  // 1 to kColumnsPerPass
KORVANE_WIDE_LOOP void norms_in_one_pass(const double* const* v, std::size_t n, double* out) {
    const double large_threshold = kLargeBase / static_cast<double>(std::max<std::size_t>(n, 1));
    const QuadBits magnitude_bits = QuadBits{} + std::numeric_limits<std::int64_t>::max();
    Quad sum[C], lowest[C], highest[C];
    for (std::size_t c = 0; c < C; ++c) {
        sum[c] = Quad{} + 0.0;
        lowest[c] = Quad{} + kInfinity;
        highest[c] = Quad{} + 0.0;
    }
    const auto track = [&](std::size_t c, const Quad& magnitude) {
        sum[c] += magnitude * magnitude;
        // Zeros add nothing to any of the three sums.
        const Quad probe = magnitude == 0.0 ? kInfinity : magnitude;
        lowest[c] = probe < lowest[c] ? probe : lowest[c];
        highest[c] = magnitude > highest[c] ? magnitude : highest[c];
    };
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (std::size_t c = 0; c < C; ++c) {
            Quad x;
            load_quad(x, v[c] + i);
            track(c, (Quad)((QuadBits)x & magnitude_bits));
        }
    }
    if (i < n) {
        // The last n mod 4 components, lane i mod 4 each; the other lanes get
        // zeros, which change nothing.
        for (std::size_t c = 0; c < C; ++c) {
            Quad rest = Quad{} + 0.0;
            for (std::size_t k = 0; i + k < n; ++k) rest[k] = std::fabs(v[c][i + k]);
            track(c, rest);
        }
    }
    for (std::size_t c = 0; c < C; ++c) {
        const double total = combine_quad(sum[c]);
        const double smallest =
            std::min(std::min(lowest[c][0], lowest[c][1]), std::min(lowest[c][2], lowest[c][3]));
        const double largest = std::max(std::max(highest[c][0], highest[c][1]),
                                        std::max(highest[c][2], highest[c][3]));
        const bool intermediate =
            std::isfinite(total) && smallest > kSmallThreshold && largest < large_threshold;
        out[c] = intermediate ? std::sqrt(total) : three_sum_norm(v[c], n);
    }
}

}  // namespace

double euclidean_norm(std::span<const double> v) {
    const double* data = v.data();
    double out;
    norms_in_one_pass<1>(&data, v.size(), &out);
    return out;
}

void euclidean_norms(const double* first, std::size_t length, std::size_t stride, std::size_t count,
                     double* out) {
    for (std::size_t c = 0; c < count; c += kColumnsPerPass) {
        const std::size_t here = std::min(kColumnsPerPass, count - c);
        const double* columns[kColumnsPerPass];
        for (std::size_t l = 0; l < here; ++l) columns[l] = first + (c + l) * stride;
        switch (here) {
            case 1:
                norms_in_one_pass<1>(columns, length, out + c);
                break;
            case 2:
                norms_in_one_pass<2>(columns, length, out + c);
                break;
            case 3:
                norms_in_one_pass<3>(columns, length, out + c);
                break;
            default:
                norms_in_one_pass<4>(columns, length, out + c);
                break;
        }
    }
}

}  // namespace korvane
