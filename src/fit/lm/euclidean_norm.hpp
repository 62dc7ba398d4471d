#pragma once
// Euclidean norm that neither overflows nor underflows for any finite input.
//
// Reference: J. J. Moré, B. S. Garbow, K. E. Hillstrom, "User guide for
// MINPACK-1", Argonne National Laboratory report ANL-80-74 (1980), routine
// enorm; thresholds chosen for IEEE double precision.

#include <cstddef>
#include <span>

namespace korvane {

// ‖v‖₂ = sqrt(Σ v_i²) accumulated in three sums: components of magnitude
// ≤ 2⁻⁵¹¹ (the square root of the smallest normal double), components
// ≥ 1.3407807929942596e154 / k (the square root of the largest double over
// the length k), and the rest. The outer two sums are kept relative to their
// running maxima so no square leaves the representable range. The middle
// sum runs in the interleaved order of fit/lanes.hpp.
// A NaN component gives NaN; otherwise an infinite component gives +inf.
double euclidean_norm(std::span<const double> v);

// out[c] = euclidean_norm of the `length` entries starting at first + c·stride,
// for c < count: the tails of `count` neighbouring columns of a column-major
// matrix. Bit for bit the single-vector results, but several columns' sums
// run side by side, so the additions' latency overlaps.
void euclidean_norms(const double* first, std::size_t length, std::size_t stride, std::size_t count,
                     double* out);

}  // namespace korvane
