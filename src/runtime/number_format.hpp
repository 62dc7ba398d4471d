#pragma once
// Number texts, all built on the shortest decimal digit string that reads
// back as the same 64-bit value (std::to_chars).

#include <string>

namespace korvane {

// Circuit listings and bounds: plain decimal for 0, infinities and magnitudes
// in [1e-4, 1e6) ("0", "0.001", "10", "inf"); otherwise exponent form with the
// shortest mantissa ("1e-12", "2.5e6"); "NaN".
std::string format_value(double x);

// Plain form: no exponent, integral values without a fractional part
// ("100", "0.5", "0.0001", "-0"); "inf", "-inf", "NaN".
std::string format_plain(double x);

// Debug form: plain form, but finite integral values keep ".0" ("100.0"),
// and exponent form when |x| >= 1e16 or 0 < |x| < 1e-4 ("1e-5", "1e16").
std::string format_debug(double x);

// Exponent form: shortest mantissa, point only with more than one digit,
// exponent without '+' or leading zeros ("1e-6", "2.5e7", "0e0").
std::string format_exponent(double x);

// Exponent form with the mantissa rounded to exactly six fractional digits
// ("1.234568e-3", "0.000000e0").
std::string format_exponent6(double x);

}  // namespace korvane
