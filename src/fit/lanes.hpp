#pragma once
// Side-by-side lanes for the dense kernels: L independent columns of a
// matrix processed in one GCC generic vector, one column per lane. Each lane
// sees exactly the scalar operations in the scalar order (sums stay
// sequential per column, nothing is fused under -ffp-contract=off), so the
// results are bit for bit those of one column at a time; the lanes only let
// the additions of different columns overlap.

#include <cstddef>
#include <cstdint>

namespace korvane {

template <std::size_t L>
struct Lanes;
template <>
struct Lanes<2> {
    typedef double Values __attribute__((vector_size(16)));
    typedef std::int64_t Bits __attribute__((vector_size(16)));
};
template <>
struct Lanes<4> {
    typedef double Values __attribute__((vector_size(32)));
    typedef std::int64_t Bits __attribute__((vector_size(32)));
};

// Lanes per pass (wider generic vectors are split into scalars by the
// compiler where the target lacks them), and the lane count for `count`
// columns of a pass: 2 or 4. Unused lanes repeat the last column and their
// results are dropped.
inline constexpr std::size_t kMaxLanes = 4;
inline std::size_t lanes_for(std::size_t count) { return count <= 2 ? 2 : 4; }

}  // namespace korvane
