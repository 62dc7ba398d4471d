#include "nn/half.hpp"

#include <bit>
#include <cmath>

namespace korvane {

double half_to_double(std::uint16_t bits) {
    const bool negative = (bits & 0x8000u) != 0;
    const unsigned exponent = (bits >> 10) & 0x1Fu;
    const unsigned mantissa = bits & 0x3FFu;
    if (exponent == 0x1F) {
        // Rebuild the double bit pattern so a NaN keeps its sign and payload
        // (shifted into the top of the 52-bit field, as hardware widening does).
        const std::uint64_t sign = negative ? (std::uint64_t{1} << 63) : 0;
        const std::uint64_t payload = std::uint64_t{mantissa} << 42;
        return std::bit_cast<double>(sign | (std::uint64_t{0x7FF} << 52) | payload);
    }
    double magnitude;
    if (exponent == 0) {
        magnitude = std::ldexp(static_cast<double>(mantissa), -24);
    } else {
        magnitude =
            std::ldexp(static_cast<double>(1024u + mantissa), static_cast<int>(exponent) - 25);
    }
    return negative ? -magnitude : magnitude;
}

}  // namespace korvane
