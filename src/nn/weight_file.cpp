#include "nn/weight_file.hpp"

#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

#include "nn/half.hpp"
#include "runtime/text.hpp"

namespace korvane {

// ---------------------------------------------------------------------------
// Errors

std::string WeightFileError::message() const {
    switch (kind) {
        case WeightFileErrorKind::Io:
            return "reading weights: " + text;
        case WeightFileErrorKind::BadMagic:
            return "not an eisnn weight file (bad magic bytes)";
        case WeightFileErrorKind::Truncated:
            return "weight file is truncated";
        case WeightFileErrorKind::Missing:
            return "weight file is missing " + text;
        case WeightFileErrorKind::Unparsable:
            return "weight file has an unparsable value for " + text;
        case WeightFileErrorKind::UnsupportedEstimator:
            return "weight file was normalised with the " + text +
                   " scale estimator, which this build does not implement (supported: "
                   "reactive_centroid)";
        case WeightFileErrorKind::UnknownEncoding:
            return "weight file uses tensor encoding " + std::to_string(code) +
                   ", which this build does not know";
        case WeightFileErrorKind::ShapeMismatch:
            if (!found_shape.empty() || !expected_shape.empty()) {
                return "tensor " + text + " has shape " + found_shape + ", expected " +
                       expected_shape;
            }
            return "tensor " + text + " has " + std::to_string(found) + " elements, expected " +
                   std::to_string(expected);
        case WeightFileErrorKind::TooFewPoints:
            return "need at least 2 frequency points to guess, got " + std::to_string(found);
    }
    return "weight file error";
}

// Kinds and their payloads; message() turns them into text only when needed.
WeightFileError WeightFileError::io(std::string description) {
    return {.kind = WeightFileErrorKind::Io, .text = std::move(description)};
}
WeightFileError WeightFileError::bad_magic() { return {.kind = WeightFileErrorKind::BadMagic}; }
WeightFileError WeightFileError::truncated() { return {.kind = WeightFileErrorKind::Truncated}; }
WeightFileError WeightFileError::missing(std::string name) {
    return {.kind = WeightFileErrorKind::Missing, .text = std::move(name)};
}
WeightFileError WeightFileError::unparsable(std::string subject) {
    return {.kind = WeightFileErrorKind::Unparsable, .text = std::move(subject)};
}
WeightFileError WeightFileError::unsupported_estimator(std::string estimator) {
    return {.kind = WeightFileErrorKind::UnsupportedEstimator, .text = std::move(estimator)};
}
WeightFileError WeightFileError::unknown_encoding(std::uint8_t encoding) {
    return {.kind = WeightFileErrorKind::UnknownEncoding, .code = encoding};
}
WeightFileError WeightFileError::shape_mismatch(std::string name, std::uint64_t found_count,
                                                std::uint64_t expected_count) {
    return {.kind = WeightFileErrorKind::ShapeMismatch,
            .text = std::move(name),
            .found = found_count,
            .expected = expected_count};
}
WeightFileError WeightFileError::shape_mismatch_text(std::string name, std::string found_text,
                                                     std::string expected_text) {
    return {.kind = WeightFileErrorKind::ShapeMismatch,
            .text = std::move(name),
            .found_shape = std::move(found_text),
            .expected_shape = std::move(expected_text)};
}
WeightFileError WeightFileError::too_few_points(std::uint64_t count) {
    return {.kind = WeightFileErrorKind::TooFewPoints, .found = count};
}

WeightFileResult<const Tensor*> WeightFile::tensor(std::string_view name) const {
    const auto it = tensors.find(name);
    if (it == tensors.end()) return WeightFileError::missing(std::string(name));
    return &it->second;
}

// ---------------------------------------------------------------------------
// Text grammars

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::vector<std::string_view> split_commas(std::string_view s) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = s.find(',', start);
        if (comma == std::string_view::npos) {
            pieces.push_back(s.substr(start));
            return pieces;
        }
        pieces.push_back(s.substr(start, comma - start));
        start = comma + 1;
    }
}

}  // namespace

bool parse_unsigned_decimal(std::string_view text, std::uint32_t& out) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (!is_digit(c)) return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > std::numeric_limits<std::uint32_t>::max()) return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool parse_float_text(std::string_view text, double& out) {
    bool negative = false;
    std::string_view body = text;
    if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
        negative = body.front() == '-';
        body.remove_prefix(1);
    }
    if (equal_ignoring_ascii_case(body, "inf") || equal_ignoring_ascii_case(body, "infinity")) {
        out = negative ? -std::numeric_limits<double>::infinity()
                       : std::numeric_limits<double>::infinity();
        return true;
    }
    if (equal_ignoring_ascii_case(body, "nan")) {
        out = negative ? -std::numeric_limits<double>::quiet_NaN()
                       : std::numeric_limits<double>::quiet_NaN();
        return true;
    }

    // digits [ "." digits ] [ (e|E) [sign] digits ], at least one mantissa digit.
    std::size_t i = 0;
    std::size_t int_digits = 0, frac_digits = 0;
    while (i < body.size() && is_digit(body[i])) ++i, ++int_digits;
    const std::size_t int_end = i;
    if (i < body.size() && body[i] == '.') {
        ++i;
        while (i < body.size() && is_digit(body[i])) ++i, ++frac_digits;
    }
    if (int_digits + frac_digits == 0) return false;
    const std::size_t mantissa_end = i;
    bool exponent_negative = false;
    std::int64_t exponent = 0;  // saturated; only its sign and size matter below
    if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
        ++i;
        if (i < body.size() && (body[i] == '+' || body[i] == '-')) {
            exponent_negative = body[i] == '-';
            ++i;
        }
        const std::size_t exp_start = i;
        while (i < body.size() && is_digit(body[i])) {
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (body[i] - '0');
            ++i;
        }
        if (i == exp_start) return false;
    }
    if (i != body.size()) return false;

    double value = 0.0;
    const auto [ptr, ec] =
        std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        // from_chars leaves the value unset beyond the double range; the
        // decimal exponent of the leading significant digit tells overflow
        // (→ infinity) from underflow (→ zero).
        std::int64_t lead_exponent;
        std::size_t first_nonzero = 0;
        while (first_nonzero < int_end && body[first_nonzero] == '0') ++first_nonzero;
        if (first_nonzero < int_end) {
            lead_exponent = static_cast<std::int64_t>(int_end - first_nonzero);
        } else {
            std::size_t k = int_end + 1;
            std::int64_t zeros = 0;
            while (k < mantissa_end && body[k] == '0') ++k, ++zeros;
            lead_exponent = -zeros;
        }
        lead_exponent += exponent_negative ? -exponent : exponent;
        value = lead_exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (ec != std::errc() || ptr != body.data() + body.size()) {
        return false;
    }
    out = negative ? -value : value;
    return true;
}

std::int32_t round_to_int32(double value) {
    if (std::isnan(value)) return 0;
    const double rounded = std::round(value);  // halves away from zero
    if (rounded <= static_cast<double>(std::numeric_limits<std::int32_t>::min())) {
        return std::numeric_limits<std::int32_t>::min();
    }
    if (rounded >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
        return std::numeric_limits<std::int32_t>::max();
    }
    return static_cast<std::int32_t>(rounded);
}

// ---------------------------------------------------------------------------
// Parsing

namespace {

// A read position over the buffer. Every read checks the remaining length
// first; a read past the end is Truncated.
class ByteReader {
  public:
    explicit ByteReader(std::span<const unsigned char> bytes) : bytes_(bytes) {}

    std::size_t remaining() const { return bytes_.size() - pos_; }

    bool read_u8(std::uint8_t& out) {
        if (remaining() < 1) return false;
        out = bytes_[pos_++];
        return true;
    }

    bool read_u32(std::uint32_t& out) {
        if (remaining() < 4) return false;
        out = static_cast<std::uint32_t>(bytes_[pos_]) |
              (static_cast<std::uint32_t>(bytes_[pos_ + 1]) << 8) |
              (static_cast<std::uint32_t>(bytes_[pos_ + 2]) << 16) |
              (static_cast<std::uint32_t>(bytes_[pos_ + 3]) << 24);
        pos_ += 4;
        return true;
    }

    // The next `count` bytes, or nothing when fewer remain.
    std::optional<std::span<const unsigned char>> take(std::uint64_t count) {
        if (remaining() < count) return std::nullopt;
        const auto out = bytes_.subspan(pos_, static_cast<std::size_t>(count));
        pos_ += static_cast<std::size_t>(count);
        return out;
    }

    // A length-prefixed UTF-8 string; invalid UTF-8 also counts as truncated.
    bool read_string(std::string& out) {
        std::uint32_t length;
        if (!read_u32(length)) return false;
        const auto raw = take(length);
        if (!raw) return false;
        const std::string_view text(reinterpret_cast<const char*>(raw->data()), raw->size());
        if (!is_valid_utf8(text)) return false;
        out.assign(text);
        return true;
    }

  private:
    std::span<const unsigned char> bytes_;
    std::size_t pos_ = 0;
};

float float32_at(const unsigned char* p) {
    const std::uint32_t bits =
        static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
        (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    return std::bit_cast<float>(bits);
}

// Reads one tensor record after its name.
WeightFileResult<Tensor> read_tensor_record(ByteReader& reader) {
    std::uint8_t encoding, rank;
    if (!reader.read_u8(encoding) || !reader.read_u8(rank)) return WeightFileError::truncated();
    Tensor tensor;
    tensor.shape.resize(rank);
    std::uint32_t count = 1;  // wraps modulo 2^32 like the writer's product
    for (std::uint32_t& dim : tensor.shape) {
        if (!reader.read_u32(dim)) return WeightFileError::truncated();
        count *= dim;
    }
    if (count == 0) count = 1;

    switch (encoding) {
        case 0: {
            const auto payload = reader.take(std::uint64_t{count} * 4);
            if (!payload) return WeightFileError::truncated();
            tensor.values.resize(count);
            for (std::uint32_t i = 0; i < count; ++i) {
                tensor.values[i] = static_cast<double>(float32_at(payload->data() + 4 * i));
            }
            break;
        }
        case 1: {
            const auto payload = reader.take(std::uint64_t{count} * 2);
            if (!payload) return WeightFileError::truncated();
            tensor.values.resize(count);
            for (std::uint32_t i = 0; i < count; ++i) {
                const auto bits =
                    static_cast<std::uint16_t>((*payload)[2 * i] | ((*payload)[2 * i + 1] << 8));
                tensor.values[i] = half_to_double(bits);
            }
            break;
        }
        case 2: {
            const auto scale_bytes = reader.take(4);
            if (!scale_bytes) return WeightFileError::truncated();
            const double scale = static_cast<double>(float32_at(scale_bytes->data()));
            const auto payload = reader.take(count);
            if (!payload) return WeightFileError::truncated();
            tensor.values.resize(count);
            for (std::uint32_t i = 0; i < count; ++i) {
                const auto b = static_cast<std::int8_t>((*payload)[i]);
                tensor.values[i] = static_cast<double>(b) * scale;
            }
            break;
        }
        default:
            return WeightFileError::unknown_encoding(encoding);
    }
    return tensor;
}

using Metadata = std::map<std::string, std::string, std::less<>>;
using TensorMap = std::map<std::string, Tensor, std::less<>>;

WeightFileResult<const std::vector<double>*> table(const TensorMap& tensors,
                                                   std::string_view name) {
    const auto it = tensors.find(name);
    if (it == tensors.end()) return WeightFileError::missing(std::string(name));
    return &it->second.values;
}

WeightFileResult<std::string_view> meta(const Metadata& metadata, std::string_view key) {
    const auto it = metadata.find(key);
    if (it == metadata.end()) return WeightFileError::missing(std::string(key));
    return std::string_view(it->second);
}

WeightFileResult<std::uint32_t> meta_unsigned(const Metadata& metadata, std::string_view key) {
    auto text = meta(metadata, key);
    if (!text) return text.error();
    std::uint32_t value;
    if (!parse_unsigned_decimal(*text, value)) return WeightFileError::unparsable(std::string(key));
    return value;
}

WeightFileResult<double> meta_float(const Metadata& metadata, std::string_view key) {
    auto text = meta(metadata, key);
    if (!text) return text.error();
    double value;
    if (!parse_float_text(*text, value)) return WeightFileError::unparsable(std::string(key));
    return value;
}

}  // namespace

WeightFileResult<WeightFile> parse_weight_file(std::span<const unsigned char> bytes) {
    ByteReader reader(bytes);
    const auto magic = reader.take(8);
    if (!magic) return WeightFileError::truncated();
    if (std::memcmp(magic->data(), "EISNN001", 8) != 0) return WeightFileError::bad_magic();

    Metadata metadata;
    std::uint32_t pair_count;
    if (!reader.read_u32(pair_count)) return WeightFileError::truncated();
    for (std::uint32_t i = 0; i < pair_count; ++i) {
        std::string key, value;
        if (!reader.read_string(key) || !reader.read_string(value)) {
            return WeightFileError::truncated();
        }
        metadata.insert_or_assign(std::move(key), std::move(value));
    }

    TensorMap tensors;
    std::uint32_t tensor_count;
    if (!reader.read_u32(tensor_count)) return WeightFileError::truncated();
    for (std::uint32_t i = 0; i < tensor_count; ++i) {
        std::string name;
        if (!reader.read_string(name)) return WeightFileError::truncated();
        auto record = read_tensor_record(reader);
        if (!record) return record.error();
        tensors.insert_or_assign(std::move(name), std::move(record).value());
    }

    // Tables first, then metadata: the order decides which failure a file
    // with several problems reports.
    WeightFile file;
    auto target_mean = table(tensors, "target_mean");
    if (!target_mean) return target_mean.error();
    auto target_std = table(tensors, "target_std");
    if (!target_std) return target_std.error();
    auto log_params = table(tensors, "log_params");
    if (!log_params) return log_params.error();
    auto scaling = table(tensors, "scaling");
    if (!scaling) return scaling.error();
    const std::uint64_t expected_scaling = 4 * std::uint64_t{(*target_mean)->size()};
    if ((*scaling)->size() != expected_scaling) {
        return WeightFileError::shape_mismatch("scaling", (*scaling)->size(), expected_scaling);
    }
    file.target_mean = **target_mean;
    file.target_std = **target_std;
    file.log_params.reserve((*log_params)->size());
    for (const double v : **log_params) file.log_params.push_back(v != 0.0);
    const std::vector<double>& rows = **scaling;
    file.scaling.reserve(rows.size() / 4);
    for (std::size_t r = 0; r + 4 <= rows.size(); r += 4) {
        file.scaling.push_back(
            ScalingRow{rows[r], rows[r + 1], rows[r + 2], round_to_int32(rows[r + 3])});
    }

    auto dilations = meta(metadata, "dilations");
    if (!dilations) return dilations.error();
    for (const std::string_view piece : split_commas(*dilations)) {
        std::uint32_t d;
        if (!parse_unsigned_decimal(trim_white_space(piece), d)) {
            return WeightFileError::unparsable("dilations");
        }
        file.dilations.push_back(d);
    }

    auto estimator = meta(metadata, "estimator");
    if (!estimator) return estimator.error();
    if (*estimator != "reactive_centroid") {
        return WeightFileError::unsupported_estimator(std::string(*estimator));
    }

    auto circuit = meta(metadata, "circuit");
    if (!circuit) return circuit.error();
    file.circuit = std::string(*circuit);

    auto param_names = meta(metadata, "param_names");
    if (!param_names) return param_names.error();
    for (const std::string_view piece : split_commas(*param_names)) {
        file.param_names.emplace_back(piece);
    }

    struct UnsignedField {
        std::string_view key;
        std::uint32_t WeightFile::*field;
    };
    for (const UnsignedField f : {UnsignedField{"n_grid", &WeightFile::n_grid},
                                  UnsignedField{"channels", &WeightFile::channels},
                                  UnsignedField{"kernel", &WeightFile::kernel},
                                  UnsignedField{"groups", &WeightFile::groups}}) {
        auto value = meta_unsigned(metadata, f.key);
        if (!value) return value.error();
        file.*(f.field) = *value;
    }

    auto alpha_min = meta_float(metadata, "alpha_min");
    if (!alpha_min) return alpha_min.error();
    file.alpha_min = *alpha_min;
    auto alpha_max = meta_float(metadata, "alpha_max");
    if (!alpha_max) return alpha_max.error();
    file.alpha_max = *alpha_max;

    file.tensors = std::move(tensors);
    return file;
}

WeightFileResult<WeightFile> read_weight_file(const std::string& path) {
    errno = 0;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return WeightFileError::io(std::strerror(errno != 0 ? errno : ENOENT));
    std::vector<unsigned char> bytes;
    try {
        unsigned char chunk[65536];
        while (true) {
            errno = 0;
            const std::size_t got = std::fread(chunk, 1, sizeof chunk, f);
            bytes.insert(bytes.end(), chunk, chunk + got);
            if (got < sizeof chunk) {
                if (std::ferror(f)) {
                    const int err = errno != 0 ? errno : EIO;
                    std::fclose(f);
                    return WeightFileError::io(std::strerror(err));
                }
                break;
            }
        }
    } catch (const std::bad_alloc&) {
        std::fclose(f);
        return WeightFileError::io(std::strerror(ENOMEM));
    }
    std::fclose(f);
    return parse_weight_file(bytes);
}

}  // namespace korvane
