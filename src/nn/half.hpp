#pragma once
// IEEE 754 binary16 → binary64. Every half value is exactly representable as
// a double, so the conversion is exact:
//   exponent field 0:      (-1)^s · m · 2^-24            (zero and subnormals)
//   exponent field 1..30:  (-1)^s · (1024 + m) · 2^(e-25)
//   exponent field 31:     ±infinity (m = 0) or NaN (m ≠ 0, payload kept)

#include <cstdint>

namespace korvane {

double half_to_double(std::uint16_t bits);

}  // namespace korvane
