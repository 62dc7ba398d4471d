#pragma once
// Circuits and spectra shared by the tests of the derivative-free methods.

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/params.hpp"
#include "fit/fit_settings.hpp"
#include "fit/objective.hpp"
#include "support/spectra.hpp"

namespace korvane::testing {

// n points from 1e5 Hz down to 1e-2 Hz, measured from `truth`; with `noise`
// a fixed, deterministic ripple of that relative size is added:
// z·(1 + ε·sin 7k) + i·ε·|z|·cos 11k.
inline Spectrum measure(const std::string& text, const std::vector<double>& truth,
                        std::size_t n = 50, double noise = 0.0) {
    const Circuit circuit = with_values(parse(text), truth).value();
    Spectrum s;
    for (std::size_t k = 0; k < n; ++k) {
        s.f.push_back(std::pow(10.0, 5.0 - 7.0 * double(k) / double(n - 1)));
    }
    s.z = impedance_over_frequencies(circuit, s.f).value();
    for (std::size_t k = 0; k < n; ++k) {
        const Cplx z = s.z[k];
        const double modulus = std::hypot(z.re, z.im);
        const double ripple = 1.0 + noise * std::sin(7.0 * double(k));
        s.z[k] = {z.re * ripple, z.im * ripple + noise * modulus * std::cos(11.0 * double(k))};
    }
    return s;
}

// Two RC arcs that a least-squares fit from the placeholder values cannot
// separate: it ends some 80 000 times above the optimum.
inline const char* kTwoArcs = "R0-(R1,C1)-(R2,C2)";
inline std::vector<double> two_arc_truth() { return {0.1224, 1.365, 2.27e-06, 421.3, 0.05559}; }
inline Spectrum two_arc_spectrum() { return measure(kTwoArcs, two_arc_truth(), 50, 0.002); }

// A circuit with its spectrum and objective, kept together because the
// objective borrows the circuit.
struct Problem {
    Circuit circuit;
    Spectrum spectrum;
    std::unique_ptr<Objective> objective;

    Problem(const std::string& text, Spectrum s) : circuit(parse(text)), spectrum(std::move(s)) {
        objective = std::make_unique<Objective>(
            Objective::build(circuit, spectrum.f, spectrum.z, WeightScheme::Modulus).value());
    }
    std::vector<double> start() const { return param_values(circuit); }
};

// The settings one method reads, the rest left at their defaults.
inline FitSettings swarm(std::size_t particles, std::uint64_t generations,
                         std::optional<std::uint64_t> seed) {
    FitSettings s;
    s.num_particles = particles;
    s.generations = generations;
    s.seed = seed;
    return s;
}
inline FitSettings annealing(std::uint64_t iterations, double initial_temperature,
                             std::optional<std::uint64_t> seed) {
    FitSettings s;
    s.sa_iterations = iterations;
    s.sa_initial_temperature = initial_temperature;
    s.seed = seed;
    return s;
}
inline FitSettings hopping(std::size_t hops, double step_size, double temperature,
                           std::optional<std::uint64_t> seed) {
    FitSettings s;
    s.basin_hopping_hops = hops;
    s.basin_hopping_step_size = step_size;
    s.basin_hopping_temperature = temperature;
    s.seed = seed;
    return s;
}
inline FitSettings simplex_budget(std::uint64_t iterations) {
    FitSettings s;
    s.nelder_mead_iterations = iterations;
    return s;
}
inline FitSettings evolution_budget(std::size_t evaluations) {
    FitSettings s;
    s.de_evaluations = evaluations;
    return s;
}

inline Spectrum rc_spectrum() { return measure("R0-(R1,C1)", {10.0, 100.0, 1e-5}, 30); }

}  // namespace korvane::testing
