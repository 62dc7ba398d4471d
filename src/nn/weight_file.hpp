#pragma once
// The .eisnn weight file: one trained guessing network with its topology,
// output names, hyper-parameters, tensors and normalisation tables.
//
// Byte layout (all integers u32 little-endian, strings = u32 length + UTF-8,
// no padding, no trailer):
//   "EISNN001" | M | M × (key, value) | T | T × tensor record
//   tensor record = name | encoding u8 | D u8 | D × u32 dims | payload
//   encoding 0: N × binary32; 1: N × binary16; 2: binary32 scale s, N × int8 (b·s)
// N is the product of the dims in u32 arithmetic, with an empty or zero
// product taken as 1. Bytes after the last record are ignored; a repeated key
// or tensor name keeps its last occurrence.
//
// Parsing only checks the format, the four tables and the metadata. Whether
// the network tensors have shapes the forward pass can use is a separate
// question (check_network_shapes in nn/network.hpp), so that a file missing a
// network tensor still loads and reports the tensor when the network runs.

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "runtime/result.hpp"

namespace korvane {

enum class WeightFileErrorKind {
    Io,  // text: the operating system's description
    BadMagic,
    Truncated,
    Missing,               // text: key or tensor name
    Unparsable,            // text: key (or other subject)
    UnsupportedEstimator,  // text: the estimator named by the file
    UnknownEncoding,       // code
    ShapeMismatch,         // text: tensor name; found, expected (or the shape texts)
    TooFewPoints,          // found: number of points
};

struct WeightFileError {
    WeightFileErrorKind kind = WeightFileErrorKind::Truncated;
    std::string text{};
    std::uint64_t found = 0;
    std::uint64_t expected = 0;
    // ShapeMismatch only: when set, the message compares shapes instead of
    // element counts ("tensor w.stem.weight has shape (8, 3, 5), expected (16, 3, 5)").
    std::string found_shape{};
    std::string expected_shape{};
    std::uint8_t code = 0;

    // The user-facing text, e.g. "weight file is missing target_mean".
    std::string message() const;
    // The same text as a module error (raised as ValueError).
    Error to_error() const { return Error::value(message()); }

    static WeightFileError io(std::string description);
    static WeightFileError bad_magic();
    static WeightFileError truncated();
    static WeightFileError missing(std::string name);
    static WeightFileError unparsable(std::string subject);
    static WeightFileError unsupported_estimator(std::string estimator);
    static WeightFileError unknown_encoding(std::uint8_t code);
    static WeightFileError shape_mismatch(std::string name, std::uint64_t found,
                                          std::uint64_t expected);
    static WeightFileError shape_mismatch_text(std::string name, std::string found_shape,
                                               std::string expected_shape);
    static WeightFileError too_few_points(std::uint64_t count);
};

// A value of type T or a WeightFileError.
template <class T>
using WeightFileResult = Result<T, WeightFileError>;

using WeightFileStatus = WeightFileResult<Unit>;

enum class TensorEncoding : std::uint8_t { Float32 = 0, Float16 = 1, ScaledInt8 = 2 };

struct Tensor {
    std::vector<std::uint32_t> shape;  // as stored, outermost first
    std::vector<double> values;        // N values, row-major
};

// One row of the `scaling` table: how output p is re-scaled by the spectrum
// scales, result = Z_c^impedance_exponent · v_p · ω_c^(alpha_coefficient·v[alpha_index]
// + frequency_exponent).
struct ScalingRow {
    double impedance_exponent = 0.0;
    double frequency_exponent = 0.0;
    double alpha_coefficient = 0.0;
    std::int32_t alpha_index = -1;  // negative: no alpha term
};

struct WeightFile {
    std::string circuit;
    std::vector<std::string> param_names;  // P = param_names.size()
    std::uint32_t n_grid = 0;
    std::uint32_t channels = 0;
    std::uint32_t kernel = 0;
    std::uint32_t groups = 0;
    std::vector<std::uint32_t> dilations;
    double alpha_min = 0.0;
    double alpha_max = 0.0;
    std::vector<double> target_mean;
    std::vector<double> target_std;
    std::vector<bool> log_params;
    std::vector<ScalingRow> scaling;
    std::map<std::string, Tensor, std::less<>> tensors;  // every record, tables included

    // The tensor called `name`, or Missing with that name.
    WeightFileResult<const Tensor*> tensor(std::string_view name) const;
};

// Parses a whole weight file held in memory. Never reads outside `bytes`.
WeightFileResult<WeightFile> parse_weight_file(std::span<const unsigned char> bytes);

// Reads the file at `path` whole (any failure: Io "reading weights: " + the
// system's description), then parses it.
WeightFileResult<WeightFile> read_weight_file(const std::string& path);

// The grammars of metadata values, exposed for tests.
// Unsigned decimal: optional single '+', one or more ASCII digits, ≤ 4294967295.
bool parse_unsigned_decimal(std::string_view text, std::uint32_t& out);
// Optional sign, then digits with optional point and exponent (at least one
// digit in the mantissa), or inf / infinity / nan in any letter case.
bool parse_float_text(std::string_view text, double& out);
// Round half away from zero, saturate to int32, NaN → 0.
std::int32_t round_to_int32(double value);

}  // namespace korvane
