#pragma once
// e^(hi + lo) for an argument carried as an unevaluated sum, in plain
// arithmetic that the compiler can vectorise (no library call, no branch).
//
// Reduction (table-driven, N = 128):
//   hi + lo = k·ln2/N + r,   |r| <= ln2/(2N) ≈ 0.0027,
//   e^(hi+lo) = 2^(k div N) · 2^((k mod N)/N) · e^r,
// with 2^(j/N) = S_j·(1 + τ_j) from the table (S_j the nearest double, τ_j
// its relative remainder). ln2/N is split into a 35-bit head, so k·head and
// hi − k·head are exact for |k| < 2^17, and a tail; lo joins r there, which
// keeps its full weight at no cost. On |r| <= 0.0027 the Taylor polynomial
// of degree 5 leaves r⁶/720 < 2^-70, and
//   e^(hi+lo) ≈ s + s·(τ_j + r + r²(1/2 + r/6) + r⁴(1/24 + r/120)),
// s = S_j·2^(k div N): every rounding but the last add is scaled down by
// |r| or τ, so the error is 0.5 ulp plus about 0.01. Each step is rounded
// on its own (the build has -ffp-contract=off), so a lane of a vector loop
// gets the bits of the scalar call.

#include <bit>
#include <cmath>
#include <cstdint>

namespace korvane {

struct Exp2Entry {
    double value;  // S_j, the double nearest 2^(j/128)
    double tau;    // (2^(j/128) − S_j)/S_j
};
extern const Exp2Entry kExp2Table[128];

// exp_pair is valid for |hi| below this: 2^(k div N) stays a normal number
// and the product with S_j finite. (NaN fails the test too.)
inline bool exp_pair_covers(double hi) { return std::fabs(hi) < 704.0; }

// e^(hi + lo) = scale·(1 + excess) before the last rounding, for
// exp_pair_covers(hi) and |lo| <= 2^-50·|hi|; other inputs give unspecified
// values (never a trap). scale is exact and excess good to about 2^-61, so
// the pair carries e^(hi + lo) well beyond a double's precision.
struct ExpParts {
    double scale;   // S_j·2^(k div N)
    double excess;  // τ_j + e^r − 1
};
inline ExpParts exp_pair_parts(double hi, double lo) {
    constexpr double kInvLn2N = 0x1.71547652b82fep+7;  // 128/ln 2
    constexpr double kLn2HiN = 0x1.62e42fef80000p-8;   // ln 2/128, head
    constexpr double kLn2LoN = 0x1.1cf79abc9e3b4p-43;  // ln 2/128, tail
    constexpr double kShift = 0x1.8p52;                // k + kShift holds k in its low bits
    const double shifted = kInvLn2N * hi + kShift;
    const std::uint64_t k_bits = std::bit_cast<std::uint64_t>(shifted);
    const double k = shifted - kShift;
    const double r = ((hi - k * kLn2HiN) - k * kLn2LoN) + lo;
    const Exp2Entry& entry = kExp2Table[k_bits & 127];
    // S_j·2^(k div N): add k div N to the exponent field (mod 2^64, which
    // the bits above k's shed).
    const double s =
        std::bit_cast<double>(std::bit_cast<std::uint64_t>(entry.value) + ((k_bits >> 7) << 52));
    const double r2 = r * r;
    const double poly =
        r + r2 * (0.5 + r * (1.0 / 6.0)) + (r2 * r2) * (1.0 / 24.0 + r * (1.0 / 120.0));
    return {s, entry.tau + poly};
}

// e^(hi + lo), within 0.51 ulp, under the conditions of exp_pair_parts.
inline double exp_pair(double hi, double lo) {
    const ExpParts e = exp_pair_parts(hi, lo);
    return e.scale + e.scale * e.excess;
}

}  // namespace korvane
