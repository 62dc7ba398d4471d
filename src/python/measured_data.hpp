#pragma once
// Reading a measured spectrum from Python: two parallel sequences, or one
// dataframe-like object whose columns follow the Battery Data Format names
// ("Frequency / Hz" or "frequency_hertz", ...). A dataframe is anything that
// answers obj[name] with a sequence of numbers, so pandas, polars and a plain
// dict of lists all work and no dataframe library is imported.
//
// Every function returns nullopt with a Python exception set on failure; the
// exceptions are the final ones (no argument prefix is added by callers).

#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include "circuit/complex.hpp"
#include "python/py_ref.hpp"

namespace korvane::py {

struct MeasuredSpectrum {
    std::vector<double> frequencies;  // Hz, input order
    std::vector<Cplx> impedances;     // ohm, paired by index
};

// `impedances` null or None selects the dataframe form of `frequencies`.
// The two-sequence form keeps every row; the dataframe form keeps the rows
// with frequency > 0 and never returns an empty spectrum.
std::optional<MeasuredSpectrum> read_measured_data(PyObject* frequencies, PyObject* impedances);

// The frequencies of `Circuit.impedance`: a sequence of numbers, else the
// frequency column of a dataframe taken as it is (no rows dropped).
std::optional<std::vector<double>> read_frequencies_only(PyObject* frequencies);

enum class ColumnRole { Frequency, Real, Imaginary, Modulus, Phase };

// The column spellings of each role, in ColumnRole order: the one table of
// them. korvane_tools reads it (through its native module) and puts its own
// shorter spellings after these.
struct ColumnSpellings {
    std::string_view role;   // "frequency", "real", "imag", "modulus", "phase"
    std::string_view human;  // tried first
    std::string_view snake;
};
extern const std::array<ColumnSpellings, 5> kColumnSpellings;

// Three outcomes: the column's values; absent (no values, nothing pending);
// or failed (a column exists but is not numeric: ValueError pending).
struct ColumnLookup {
    bool lookup_failed = false;
    std::optional<std::vector<double>> values;
};
ColumnLookup lookup_column(PyObject* frame, ColumnRole role);

}  // namespace korvane::py
