#pragma once
// From a measured spectrum to the network's dimensionless input: the two
// spectrum scales (reactive centroid), the frequency-sorted log-magnitude and
// continuous phase, their resampling onto a logarithmic grid, and the two
// scalar descriptors.
//
// The reactive centroid weights each point by how capacitive it is,
// w_i = max(−Im Z_i / |Z_i|, 0), and takes weighted geometric means:
//   ω_c = exp(Σ w_i ln(2π f_i) / Σ w_i),   Z_c = exp(Σ w_i ln|Z_i| / Σ w_i).
// Dividing by these makes the input invariant to a rescaling of the circuit's
// impedance and time constants, which is what lets one network serve spectra
// of any magnitude.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "circuit/complex.hpp"
#include "runtime/numeric.hpp"

namespace korvane {

struct SpectrumScales {
    double omega_c = 0.0;  // rad/s
    double z_c = 0.0;      // ohm
};

// Over the first n = min(sizes) points in input order; points with f ≤ 0 or
// |Z| ≤ 0 are skipped. Below a total reactive weight of 1e-9 (no capacitive
// point) falls back to the geometric mean of 2πf over every frequency and the
// upper median of every |Z|.
SpectrumScales reactive_centroid_scales(std::span<const double> frequencies,
                                        std::span<const Cplx> impedances);

// Point indices ordered by frequency under the IEEE total order, stable.
std::vector<std::size_t> frequency_order(std::span<const double> frequencies);

// Removes the 2π jumps of a raw phase sequence (radians):
//   d = r_k − φ_{k−1},  w = d − 2π·floor((d + π)/2π),  w = π if w = −π and r_k > φ_{k−1},
//   φ_k = φ_{k−1} + w.
std::vector<double> continuous_phase(std::span<const double> raw_phase);

// Piecewise-linear interpolation on ascending xs, constant beyond the ends;
// among equal xs the left neighbour's value wins.
double interpolate(std::span<const double> xs, std::span<const double> ys, double t);

struct NetworkInput {
    std::vector<double> channels;   // (3, n_grid): log-magnitude, phase, log-frequency
    double span_descriptor = 0.0;   // 0.125 · (log10 f_max − log10 f_min)
    double count_descriptor = 0.0;  // 0.5 · log10(number of frequencies)
};

// Requires at least one point (the caller's point check guarantees two).
NetworkInput build_network_input(std::span<const double> frequencies,
                                 std::span<const Cplx> impedances, std::uint32_t n_grid,
                                 const SpectrumScales& scales);

}  // namespace korvane
