#pragma once
// Sums over the rows of a column in four interleaved partial sums: row i
// goes into sum i mod 4 and the result is (s0 + s1) + (s2 + s3). A single
// running sum waits on every addition in turn; four independent ones run
// as one vector addition, and several columns' sums side by side overlap
// further. The order is fixed, so a result does not depend on the
// instruction set or on which columns share a pass, and the dense kernels
// (norms, Householder products) all sum this way.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace korvane {

// Four doubles in one GCC generic vector (split into scalars by the
// compiler where the target lacks such registers).
typedef double Quad __attribute__((vector_size(32)));
typedef std::int64_t QuadBits __attribute__((vector_size(32)));

// Quads live in registers inside the kernels; these helpers take and give
// them by reference so that no vector crosses a call boundary (whose ABI
// would depend on the instruction set).
inline void load_quad(Quad& v, const double* p) { std::memcpy(&v, p, sizeof v); }

// The partial sums combined, in the fixed order.
inline double combine_quad(const Quad& s) { return (s[0] + s[1]) + (s[2] + s[3]); }

// Columns handled side by side in one pass of a kernel.
inline constexpr std::size_t kColumnsPerPass = 4;

}  // namespace korvane
