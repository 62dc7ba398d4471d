#pragma once
// Machine constants and the IEEE 754 total order, in one place so that every
// tolerance, phase and sort in the code base reads the same bits.

#include <bit>
#include <cstdint>
#include <limits>
#include <numbers>

namespace korvane {

// 2⁻⁵², the spacing of doubles at 1.0 (MINPACK's epsmch).
inline constexpr double kEpsilon = 2.220446049250313e-16;
static_assert(kEpsilon == std::numeric_limits<double>::epsilon());

// 2⁻¹⁰²², the smallest normal double (MINPACK's dwarf).
inline constexpr double kDwarf = 2.2250738585072014e-308;
static_assert(kDwarf == std::numeric_limits<double>::min());

// π and its multiples as the nearest doubles. ω = 2π·f uses exactly this 2π;
// π/2 is the value atan2(ω, +0) returns, which the CPE-style formulas hoist.
inline constexpr double kPi = 3.141592653589793;
inline constexpr double kTwoPi = 6.283185307179586;
inline constexpr double kHalfPi = 1.5707963267948966;
static_assert(kPi == std::numbers::pi);
static_assert(kTwoPi == 2.0 * std::numbers::pi);   // doubling is exact
static_assert(kHalfPi == std::numbers::pi / 2.0);  // so is halving

// Key whose unsigned integer order is the IEEE 754 totalOrder:
// −NaN < −inf < … < −0 < +0 < … < +inf < +NaN.
// Negative values have every bit flipped (a larger magnitude sorts lower),
// non-negative ones only the sign bit (they sort above every negative).
constexpr std::uint64_t total_order_key(double x) {
    const auto bits = std::bit_cast<std::uint64_t>(x);
    return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

constexpr bool total_order_less(double a, double b) {
    return total_order_key(a) < total_order_key(b);
}

}  // namespace korvane
