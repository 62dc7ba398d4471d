#include "python/measured_data.hpp"

#include <array>
#include <cmath>
#include <string>
#include <string_view>

#include "python/convert.hpp"
#include "python/errors.hpp"
#include "runtime/text.hpp"

namespace korvane::py {

constinit const std::array<ColumnSpellings, 5> kColumnSpellings = {{
    {"frequency", "Frequency / Hz", "frequency_hertz"},
    {"real", "Real Impedance / ohm", "real_impedance_ohm"},
    {"imag", "Imaginary Impedance / ohm", "imaginary_impedance_ohm"},
    {"modulus", "Absolute Impedance / ohm", "absolute_impedance_ohm"},
    {"phase", "Phase / deg", "phase_degree"},
}};

namespace {

const ColumnSpellings& spellings(ColumnRole role) {
    return kColumnSpellings[static_cast<std::size_t>(role)];
}

// "\"Frequency / Hz\" or \"frequency_hertz\""
std::string pair_text(ColumnRole role) {
    const ColumnSpellings& s = spellings(role);
    return quoted(s.human) + " or " + quoted(s.snake);
}

// obj[spelling]; any exception means "not this spelling".
PyRef get_item(PyObject* frame, std::string_view spelling) {
    PyRef key = PyRef::steal(
        PyUnicode_FromStringAndSize(spelling.data(), static_cast<Py_ssize_t>(spelling.size())));
    if (!key) {
        PyErr_Clear();
        return {};
    }
    PyRef column = PyRef::steal(PyObject_GetItem(frame, key.get()));
    if (!column) PyErr_Clear();
    return column;
}

std::optional<MeasuredSpectrum> read_two_sequences(PyObject* frequencies, PyObject* impedances) {
    MeasuredSpectrum spectrum;
    std::optional<std::vector<double>> f = to_double_vector(frequencies, {});
    if (!f) return std::nullopt;
    std::optional<std::vector<Cplx>> z = to_complex_vector(impedances, {});
    if (!z) return std::nullopt;
    if (f->size() != z->size()) {
        PyErr_SetString(PyExc_ValueError, "frequencies and impedances must have the same length");
        return std::nullopt;
    }
    spectrum.frequencies = std::move(*f);
    spectrum.impedances = std::move(*z);
    return spectrum;
}

std::optional<MeasuredSpectrum> read_dataframe(PyObject* frame) {
    ColumnLookup frequency = lookup_column(frame, ColumnRole::Frequency);
    if (frequency.lookup_failed) return std::nullopt;
    if (!frequency.values) {
        raise_text(PyExc_ValueError, "expected a dataframe with a " +
                                         pair_text(ColumnRole::Frequency) +
                                         " column, or frequencies and impedances as two arguments");
        return std::nullopt;
    }
    // All four are looked up before choosing, so a broken modulus or phase
    // column fails even when real and imaginary parts are present.
    std::array<ColumnLookup, 4> parts;
    constexpr std::array<ColumnRole, 4> kRoles = {ColumnRole::Real, ColumnRole::Imaginary,
                                                  ColumnRole::Modulus, ColumnRole::Phase};
    for (std::size_t k = 0; k < parts.size(); ++k) {
        parts[k] = lookup_column(frame, kRoles[k]);
        if (parts[k].lookup_failed) return std::nullopt;
    }
    const auto& real = parts[0].values;
    const auto& imag = parts[1].values;
    const auto& modulus = parts[2].values;
    const auto& phase = parts[3].values;

    std::vector<Cplx> impedances;
    ColumnRole first = ColumnRole::Real;
    ColumnRole second = ColumnRole::Imaginary;
    if (real && imag) {
        if (real->size() != imag->size()) {
            PyErr_SetString(PyExc_ValueError,
                            "real and imaginary impedance columns must have the same length");
            return std::nullopt;
        }
        impedances.resize(real->size());
        for (std::size_t i = 0; i < real->size(); ++i) impedances[i] = {(*real)[i], (*imag)[i]};
    } else if (modulus && phase) {
        if (modulus->size() != phase->size()) {
            PyErr_SetString(PyExc_ValueError,
                            "absolute impedance and phase columns must have the same length");
            return std::nullopt;
        }
        first = ColumnRole::Modulus;
        second = ColumnRole::Phase;
        impedances.resize(modulus->size());
        for (std::size_t i = 0; i < modulus->size(); ++i) {
            const double phi = (*phase)[i] * 0.017453292519943295;  // degrees -> radians
            impedances[i] = {(*modulus)[i] * std::cos(phi), (*modulus)[i] * std::sin(phi)};
        }
    } else {
        raise_text(PyExc_ValueError, "no impedance columns: expected " +
                                         pair_text(ColumnRole::Real) + " together with " +
                                         pair_text(ColumnRole::Imaginary) + ", or " +
                                         pair_text(ColumnRole::Modulus) + " together with " +
                                         pair_text(ColumnRole::Phase));
        return std::nullopt;
    }

    const std::vector<double>& f = *frequency.values;
    if (f.size() != impedances.size()) {
        raise_text(PyExc_ValueError, "frequency column has " + std::to_string(f.size()) +
                                         " rows but " + pair_text(first) + " and " +
                                         pair_text(second) + " have " +
                                         std::to_string(impedances.size()));
        return std::nullopt;
    }

    MeasuredSpectrum spectrum;
    for (std::size_t i = 0; i < f.size(); ++i) {
        if (f[i] > 0.0) {  // false for NaN
            spectrum.frequencies.push_back(f[i]);
            spectrum.impedances.push_back(impedances[i]);
        }
    }
    if (spectrum.frequencies.empty()) {
        raise_text(PyExc_ValueError, "no measured points: every row of the " +
                                         pair_text(ColumnRole::Frequency) +
                                         " column is zero or negative");
        return std::nullopt;
    }
    return spectrum;
}

}  // namespace

ColumnLookup lookup_column(PyObject* frame, ColumnRole role) {
    const ColumnSpellings& s = spellings(role);
    std::string_view found = s.human;
    PyRef column = get_item(frame, s.human);
    if (!column) {
        found = s.snake;
        column = get_item(frame, s.snake);
    }
    ColumnLookup result;
    if (!column) return result;
    result.values = to_double_vector(column.get(), {});
    if (!result.values) {
        PyErr_Clear();
        result.lookup_failed = true;
        raise_text(PyExc_ValueError, "column " + quoted(found) + " is not numeric");
    }
    return result;
}

std::optional<MeasuredSpectrum> read_measured_data(PyObject* frequencies, PyObject* impedances) {
    if (impedances != nullptr && impedances != Py_None) {
        return read_two_sequences(frequencies, impedances);
    }
    return read_dataframe(frequencies);
}

std::optional<std::vector<double>> read_frequencies_only(PyObject* frequencies) {
    std::optional<std::vector<double>> values = to_double_vector(frequencies, {});
    if (values) return values;
    PyErr_Clear();
    ColumnLookup column = lookup_column(frequencies, ColumnRole::Frequency);
    if (column.lookup_failed) return std::nullopt;
    if (column.values) return std::move(column.values);
    raise_text(PyExc_ValueError, "expected a sequence of frequencies, or a dataframe with a " +
                                     pair_text(ColumnRole::Frequency) + " column");
    return std::nullopt;
}

}  // namespace korvane::py
