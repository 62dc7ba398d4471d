// The five number forms, including their boundaries and the shortest-digit
// guarantee.

#include "runtime/number_format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace korvane {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Row {
    double x;
    const char* value;  // listings and bounds
    const char* plain;
    const char* debug;
    const char* exponent;
};

TEST(NumberFormat, AllForms) {
    const Row rows[] = {
        {0.0, "0", "0", "0.0", "0e0"},
        {-0.0, "-0", "-0", "-0.0", "-0e0"},
        {1.0, "1", "1", "1.0", "1e0"},
        {100.0, "100", "100", "100.0", "1e2"},
        {-2.5, "-2.5", "-2.5", "-2.5", "-2.5e0"},
        {0.001, "0.001", "0.001", "0.001", "1e-3"},
        {1e-4, "0.0001", "0.0001", "0.0001", "1e-4"},
        {9.99e-5, "9.99e-5", "0.0000999", "9.99e-5", "9.99e-5"},
        {1e-5, "1e-5", "0.00001", "1e-5", "1e-5"},
        {-1e-12, "-1e-12", "-0.000000000001", "-1e-12", "-1e-12"},
        {999999.5, "999999.5", "999999.5", "999999.5", "9.999995e5"},
        {1e6, "1e6", "1000000", "1000000.0", "1e6"},
        {2.5e6, "2.5e6", "2500000", "2500000.0", "2.5e6"},
        {9999999999999998.0, "9.999999999999998e15", "9999999999999998", "9999999999999998.0",
         "9.999999999999998e15"},
        {1e16, "1e16", "10000000000000000", "1e16", "1e16"},
        {1.5e300, "1.5e300", nullptr, "1.5e300", "1.5e300"},
        {0.1 + 0.2, "0.30000000000000004", "0.30000000000000004", "0.30000000000000004",
         "3.0000000000000004e-1"},
        {1.0 / 3.0, "0.3333333333333333", "0.3333333333333333", "0.3333333333333333",
         "3.333333333333333e-1"},
        {5e-324, "5e-324", nullptr, "5e-324", "5e-324"},
        {1.7976931348623157e308, "1.7976931348623157e308", nullptr, "1.7976931348623157e308",
         "1.7976931348623157e308"},
        {kInf, "inf", "inf", "inf", "inf"},
        {-kInf, "-inf", "-inf", "-inf", "-inf"},
        {kNaN, "NaN", "NaN", "NaN", "NaN"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(format_value(r.x), r.value) << r.x;
        if (r.plain != nullptr) {
            EXPECT_EQ(format_plain(r.x), r.plain) << r.x;
        }
        EXPECT_EQ(format_debug(r.x), r.debug) << r.x;
        EXPECT_EQ(format_exponent(r.x), r.exponent) << r.x;
    }
    // Plain form never uses an exponent, even at the extremes.
    const std::string tiny = format_plain(5e-324);
    EXPECT_EQ(tiny.size(), 2u + 323u + 1u);
    EXPECT_EQ(tiny.substr(tiny.size() - 3), "005");
    // Built by append: g++ 12 warns falsely (-Wrestrict) on "1" + std::string(...).
    std::string one_then_zeros = "1";
    one_then_zeros.append(300, '0');
    EXPECT_EQ(format_plain(1e300), one_then_zeros);
}

TEST(NumberFormat, ExponentWithSixDigits) {
    EXPECT_EQ(format_exponent6(0.0012345678), "1.234568e-3");
    EXPECT_EQ(format_exponent6(0.001234567), "1.234567e-3");
    EXPECT_EQ(format_exponent6(0.0), "0.000000e0");
    EXPECT_EQ(format_exponent6(-0.0), "-0.000000e0");
    EXPECT_EQ(format_exponent6(1.0), "1.000000e0");
    EXPECT_EQ(format_exponent6(123456789.0), "1.234568e8");
    EXPECT_EQ(format_exponent6(9.9999999), "1.000000e1");  // rounding carries into the exponent
    EXPECT_EQ(format_exponent6(-2.5e-300), "-2.500000e-300");
    EXPECT_EQ(format_exponent6(kInf), "inf");
    EXPECT_EQ(format_exponent6(-kInf), "-inf");
    EXPECT_EQ(format_exponent6(kNaN), "NaN");
}

TEST(NumberFormat, TextsReadBackExactly) {
    // Every form but the six-digit one is a round trip.
    for (const double x : {0.1, 1e-7, 123.456, 6.283185307179586, 2.2250738585072014e-308, 1e23,
                           -7.000000000000001, 4.35e-5, 8.5e15}) {
        EXPECT_EQ(std::stod(format_value(x)), x);
        EXPECT_EQ(std::stod(format_plain(x)), x);
        EXPECT_EQ(std::stod(format_debug(x)), x);
        EXPECT_EQ(std::stod(format_exponent(x)), x);
    }
}

}  // namespace
}  // namespace korvane
