#pragma once
// Bit-for-bit equality of double vectors: signed zeros and NaN payloads
// count, as they must wherever a stored result is reused for "the same"
// inputs. Inline, since the vectors compared are a few values long and a
// library memcmp costs more than the comparison.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

namespace korvane {

inline bool same_bits(const double* a, const double* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (std::bit_cast<std::uint64_t>(a[i]) != std::bit_cast<std::uint64_t>(b[i])) return false;
    }
    return true;
}

inline bool same_bits(std::span<const double> a, std::span<const double> b) {
    return a.size() == b.size() && same_bits(a.data(), b.data(), a.size());
}

}  // namespace korvane
