// Number texts built from the shortest round-trip decimal digits.
//
// Reference: U. Adams, "Ryū: fast float-to-string conversion", PLDI 2018
// (the shortest-digits guarantee of std::to_chars without a precision).
//
// Every form starts from the same decomposition value = ±d1.d2…dn × 10^e,
// with d1…dn the shortest digit string that reads back to the same double;
// the forms differ only in where they place the point.

#include "runtime/number_format.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace korvane {

namespace {

struct Decimal {
    bool negative;
    std::string digits;  // no leading zeros except the single "0" of zero
    int exponent;        // of the first digit
};

// Splits to_chars' scientific text ("-2.5e+06") into sign, digits, exponent.
Decimal split_scientific(std::string_view text) {
    Decimal d{false, {}, 0};
    std::size_t i = 0;
    if (text[i] == '-') {
        d.negative = true;
        ++i;
    }
    for (; i < text.size() && text[i] != 'e'; ++i) {
        if (text[i] != '.') d.digits.push_back(text[i]);
    }
    ++i;  // 'e'
    bool exp_negative = false;
    if (text[i] == '+' || text[i] == '-') {
        exp_negative = text[i] == '-';
        ++i;
    }
    int e = 0;
    for (; i < text.size(); ++i) e = e * 10 + (text[i] - '0');
    d.exponent = exp_negative ? -e : e;
    return d;
}

Decimal shortest(double x) {
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    return split_scientific(std::string_view(buf, static_cast<std::size_t>(res.ptr - buf)));
}

// NaN and infinities are written the same way by every form.
bool special(double x, std::string& out) {
    if (std::isnan(x)) {
        out = "NaN";
        return true;
    }
    if (std::isinf(x)) {
        out = x < 0 ? "-inf" : "inf";
        return true;
    }
    return false;
}

std::string plain_text(const Decimal& d) {
    std::string out = d.negative ? "-" : "";
    const int n = static_cast<int>(d.digits.size());
    if (d.exponent >= n - 1) {
        out += d.digits;
        out.append(static_cast<std::size_t>(d.exponent - (n - 1)), '0');
    } else if (d.exponent >= 0) {
        const auto split = static_cast<std::size_t>(d.exponent + 1);
        out += d.digits.substr(0, split);
        out += '.';
        out += d.digits.substr(split);
    } else {
        out += "0.";
        out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
        out += d.digits;
    }
    return out;
}

void append_exponent(std::string& out, int exponent) {
    out += 'e';
    out += std::to_string(exponent);
}

std::string exponent_text(const Decimal& d) {
    std::string out = d.negative ? "-" : "";
    out += d.digits[0];
    if (d.digits.size() > 1) {
        out += '.';
        out += std::string_view(d.digits).substr(1);
    }
    append_exponent(out, d.exponent);
    return out;
}

}  // namespace

std::string format_value(double x) {
    std::string out;
    if (special(x, out)) return out;
    const double m = std::fabs(x);
    const Decimal d = shortest(x);
    if (m == 0.0 || (m >= 1e-4 && m < 1e6)) return plain_text(d);
    return exponent_text(d);
}

std::string format_plain(double x) {
    std::string out;
    if (special(x, out)) return out;
    return plain_text(shortest(x));
}

std::string format_debug(double x) {
    std::string out;
    if (special(x, out)) return out;
    const double m = std::fabs(x);
    const Decimal d = shortest(x);
    if (m != 0.0 && (m >= 1e16 || m < 1e-4)) return exponent_text(d);
    out = plain_text(d);
    if (out.find('.') == std::string::npos) out += ".0";
    return out;
}

std::string format_exponent(double x) {
    std::string out;
    if (special(x, out)) return out;
    return exponent_text(shortest(x));
}

std::string format_exponent6(double x) {
    std::string out;
    if (special(x, out)) return out;
    // Correctly rounded from the exact binary value (ties to even), not from
    // the shortest digits, which would round twice.
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific, 6);
    const std::string_view text(buf, static_cast<std::size_t>(res.ptr - buf));
    const std::size_t e = text.find('e');
    out.assign(text.substr(0, e));
    const Decimal parts = split_scientific(text);
    append_exponent(out, parts.exponent);
    return out;
}

}  // namespace korvane
