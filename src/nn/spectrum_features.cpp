#include "nn/spectrum_features.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace korvane {

namespace {

double magnitude(const Cplx& z) { return std::hypot(z.re, z.im); }

}  // namespace

SpectrumScales reactive_centroid_scales(std::span<const double> frequencies,
                                        std::span<const Cplx> impedances) {
    const std::size_t n = std::min(frequencies.size(), impedances.size());
    double weight_sum = -0.0, log_omega_sum = -0.0, log_z_sum = -0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double f = frequencies[i];
        const double mag = magnitude(impedances[i]);
        if (f <= 0.0 || mag <= 0.0) continue;
        const double ratio = -impedances[i].im / mag;
        const double w = ratio > 0.0 ? ratio : 0.0;  // NaN ratio → 0
        weight_sum += w;
        log_omega_sum += w * std::log(kTwoPi * f);
        log_z_sum += w * std::log(mag);
    }
    if (weight_sum >= 1e-9 || std::isnan(weight_sum)) {
        return {std::exp(log_omega_sum / weight_sum), std::exp(log_z_sum / weight_sum)};
    }

    // No capacitive point: geometric centre of the frequency range and the
    // median magnitude, over every point given.
    double all_log_omega = -0.0;
    for (const double f : frequencies) all_log_omega += std::log(kTwoPi * f);
    const double omega_c = std::exp(all_log_omega / static_cast<double>(frequencies.size()));
    std::vector<double> magnitudes(impedances.size());
    for (std::size_t i = 0; i < impedances.size(); ++i) magnitudes[i] = magnitude(impedances[i]);
    double z_c = std::numeric_limits<double>::quiet_NaN();
    if (!magnitudes.empty()) {
        std::sort(magnitudes.begin(), magnitudes.end(), total_order_less);
        z_c = magnitudes[magnitudes.size() / 2];
    }
    return {omega_c, z_c};
}

std::vector<std::size_t> frequency_order(std::span<const double> frequencies) {
    std::vector<std::size_t> order(frequencies.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return total_order_less(frequencies[a], frequencies[b]);
    });
    return order;
}

std::vector<double> continuous_phase(std::span<const double> raw_phase) {
    std::vector<double> phase(raw_phase.size());
    if (raw_phase.empty()) return phase;
    phase[0] = raw_phase[0];
    for (std::size_t k = 1; k < raw_phase.size(); ++k) {
        const double previous = phase[k - 1];
        const double d = raw_phase[k] - previous;
        double w = d - kTwoPi * std::floor((d + kPi) / kTwoPi);
        if (w == -kPi && raw_phase[k] > previous) w = kPi;
        phase[k] = previous + w;
    }
    return phase;
}

double interpolate(std::span<const double> xs, std::span<const double> ys, double t) {
    const std::size_t last = xs.size() - 1;
    if (t <= xs[0]) return ys[0];
    if (t >= xs[last]) return ys[last];
    // p = number of xs ≤ t. A NaN t or NaN xs can break the ordering the
    // search assumes; the clamp keeps the bracket inside the arrays anyway.
    const auto p = static_cast<std::size_t>(
        std::partition_point(xs.begin(), xs.end(), [t](double x) { return x <= t; }) - xs.begin());
    const std::size_t i = std::min(std::max<std::size_t>(p, 1), last);
    if (xs[i] == xs[i - 1]) return ys[i - 1];
    return ((t - xs[i - 1]) * (ys[i] - ys[i - 1])) / (xs[i] - xs[i - 1]) + ys[i - 1];
}

NetworkInput build_network_input(std::span<const double> frequencies,
                                 std::span<const Cplx> impedances, std::uint32_t n_grid,
                                 const SpectrumScales& scales) {
    const std::size_t n = std::min(frequencies.size(), impedances.size());
    const std::vector<std::size_t> order = frequency_order(frequencies.first(n));

    std::vector<double> log_f(n), log_mag(n), raw_phase(n);  // (n,) each, ascending f
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t i = order[k];
        log_f[k] = std::log10(frequencies[i]);
        log_mag[k] = std::log10(magnitude(impedances[i]));
        raw_phase[k] = std::atan2(impedances[i].im, impedances[i].re);
    }
    const std::vector<double> phase = continuous_phase(raw_phase);

    const std::size_t grid = n_grid;
    const double span = log_f[n - 1] - log_f[0];
    const double step = grid >= 2 ? span / static_cast<double>(grid - 1) : 0.0;
    const double log_z_c = std::log10(scales.z_c);
    const double log_f_c = std::log10(scales.omega_c / kTwoPi);

    NetworkInput input;
    input.channels.resize(3 * grid);
    double* magnitude_row = input.channels.data();
    double* phase_row = magnitude_row + grid;
    double* frequency_row = phase_row + grid;
    for (std::size_t j = 0; j < grid; ++j) {
        const double g = static_cast<double>(j) * step + log_f[0];
        magnitude_row[j] = interpolate(log_f, log_mag, g) - log_z_c;
        phase_row[j] = interpolate(log_f, phase, g) / kHalfPi;
        frequency_row[j] = (g - log_f_c) * 0.25;
    }
    input.span_descriptor = span * 0.125;
    input.count_descriptor = std::log10(static_cast<double>(frequencies.size())) * 0.5;
    return input;
}

}  // namespace korvane
