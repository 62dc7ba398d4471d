#pragma once
// Measured spectra for the fit tests: a circuit string parsed (the tests'
// strings are valid), a spectrum as two parallel vectors, and the noiseless
// R0-(R1,C1) spectrum (R0 = 10, R1 = 100, C1 = 1e-5) from 0.1 Hz up to 100 kHz
// that the driver and constraint tests fit.

#include <cmath>
#include <cstddef>
#include <string>
#include <variant>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/params.hpp"

namespace korvane::testing {

inline Circuit parse(const std::string& text) { return std::get<Circuit>(parse_circuit(text)); }

struct Spectrum {
    std::vector<double> f;
    std::vector<Cplx> z;
};

inline Spectrum rising_rc_spectrum(std::size_t n = 30) {
    const Circuit truth = with_values(parse("R0-(R1,C1)"), std::vector{10.0, 100.0, 1e-5}).value();
    Spectrum s;
    for (std::size_t i = 0; i < n; ++i) s.f.push_back(std::pow(10.0, -1.0 + 6.0 * i / (n - 1)));
    s.z = impedance_over_frequencies(truth, s.f).value();
    return s;
}

}  // namespace korvane::testing
