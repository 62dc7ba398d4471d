#include "fit/lm/euclidean_norm.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <span>
#include <vector>

namespace korvane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(EuclideanNorm, NoOverflowOrUnderflowAndNonFinite) {
    EXPECT_EQ(euclidean_norm(std::vector<double>{}), 0.0);
    EXPECT_EQ(euclidean_norm(std::vector<double>{3.0, -4.0}), 5.0);
    EXPECT_DOUBLE_EQ(euclidean_norm(std::vector<double>{3e200, 4e200}), 5e200);
    EXPECT_DOUBLE_EQ(euclidean_norm(std::vector<double>{3e-200, -4e-200}), 5e-200);
    EXPECT_DOUBLE_EQ(euclidean_norm(std::vector<double>{1e300, 1.0, 1e-300}), 1e300);
    // All three sums at once, and small next to intermediate.
    EXPECT_DOUBLE_EQ(euclidean_norm(std::vector<double>{1e-160, 1.0}), 1.0);
    EXPECT_DOUBLE_EQ(euclidean_norm(std::vector<double>{1e-155, 1e-154}),
                     std::hypot(1e-155, 1e-154));
    // The small component still counts: (1e-160)² is 4e-14 of the rest.
    EXPECT_NEAR(euclidean_norm(std::vector<double>{1e-160, 4e-154, 3e-154}),
                std::hypot(std::hypot(1e-160, 4e-154), 3e-154), 1e-15 * 5e-154);
    EXPECT_DOUBLE_EQ(euclidean_norm(std::vector<double>{1e154, 1e154}), std::sqrt(2.0) * 1e154);
    EXPECT_TRUE(std::isnan(euclidean_norm(std::vector<double>{1.0, kNaN, kInf})));
    EXPECT_EQ(euclidean_norm(std::vector<double>{kInf, -kInf, 1.0}), kInf);
}

// The fast path (every component intermediate) and the three-sum path must
// add the intermediate squares in the same order: a negligible small
// component sends a vector down the other path without changing its norm.
TEST(EuclideanNorm, BothPathsSumInTheSameOrder) {
    for (std::size_t length = 2; length < 40; ++length) {
        std::vector<double> v(length);
        for (std::size_t i = 0; i < length; ++i) {
            v[i] = std::exp(7.0 * std::sin(1.9 * double(i))) * (i % 3 == 0 ? -1.0 : 1.0);
        }
        v[length / 2] = 0.0;
        const double fast = euclidean_norm(v);
        const long double exact =
            std::sqrt(std::inner_product(v.begin(), v.end(), v.begin(), 0.0L));
        EXPECT_NEAR(fast, static_cast<double>(exact), 4e-16 * fast) << "length " << length;
        v[length / 2] = 1e-170;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(euclidean_norm(v)),
                  std::bit_cast<std::uint64_t>(fast))
            << "length " << length;
    }
}

// The side-by-side column norms must be the single-vector norms bit for bit,
// whichever sums a column needs, for more columns than one pass holds.
TEST(EuclideanNorm, ColumnsSideBySideMatchOneAtATime) {
    const std::size_t length = 7, stride = 9, count = 11;
    std::vector<double> storage(stride * count);
    for (std::size_t c = 0; c < count; ++c) {
        for (std::size_t i = 0; i < length; ++i) {
            storage[c * stride + i] =
                std::sin(1.3 * double(c) + 0.7 * double(i)) * (1.0 + double(i));
        }
    }
    storage[1 * stride + 3] = 1e-170;  // small sum
    storage[2 * stride + 0] = 3e160;   // large sum
    storage[4 * stride + 6] = kNaN;
    storage[5 * stride + 2] = -kInf;
    for (std::size_t i = 0; i < length; ++i) storage[6 * stride + i] = 0.0;
    storage[7 * stride + 1] = storage[7 * stride + 4] = 0.0;  // zeros among intermediates
    storage[8 * stride + 0] = -0.0;
    std::vector<double> together(count);
    euclidean_norms(storage.data(), length, stride, count, together.data());
    for (std::size_t c = 0; c < count; ++c) {
        const double alone = euclidean_norm({storage.data() + c * stride, length});
        EXPECT_EQ(std::bit_cast<std::uint64_t>(together[c]), std::bit_cast<std::uint64_t>(alone))
            << "column " << c;
    }
    euclidean_norms(storage.data(), 0, stride, 2, together.data());
    EXPECT_EQ(together[0], 0.0);
}

}  // namespace
}  // namespace korvane
