#pragma once
// The network's layers on vector registers, written once over an
// instruction-set description `Isa` and instantiated by
// vector_kernels_avx2.cpp and vector_kernels_avx512.cpp, each compiled for
// its instruction set. Include only there, after defining the Isa struct:
//
//   kLanes           doubles per register
//   kTileChannels    output channels per convolution tile
//   Vec, Mask, Index register, lane mask and 64-bit index types
//   splat, load, store, add, sub, mul, div, lanes(lo, hi), load_masked,
//   store_masked, add_where, keep_greater, any_equal, strides(s), gather
//
// Every kernel gives each output value exactly the operations of the plain
// loops in network.cpp, in the same order, so the bits agree:
//   * registers run across independent outputs — positions and output
//     channels of a convolution, groups of a normalisation, channels of the
//     pooling, rows of a dense layer — and never across the terms of one sum;
//   * multiply and add stay two roundings (no fused multiply-add: the build
//     has -ffp-contract=off and no FMA intrinsic is used);
//   * a convolution lane whose input position falls on the zero padding is
//     masked out of the addition rather than fed a zero, because x + 0 is not
//     x when x is −0, and a tap times 0 is not 0 when the tap is infinite;
//     a tap whose weight is exactly 0 is skipped, as in the plain loop;
//   * tanh stays the platform's scalar function, called once per value from
//     one tight loop over a block of arguments prepared in registers. (The
//     C library's vector tanh, which a compiler would call for a vectorised
//     loop, is a different approximation: glibc 2.36's 8-lane tanh differs
//     from its scalar tanh in about a third of normally distributed inputs.)
//
// Everything here has internal linkage: nothing compiled for a wider
// instruction set may be shared with the rest of the program.

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "nn/layer_kernels.hpp"

namespace korvane {
namespace {

// Values per GELU block: arguments, tanh and result of one block stay in L1.
constexpr std::size_t kGeluBlock = 256;
// Sums advanced side by side when normalising groups: enough independent
// additions to cover the adder's latency.
constexpr std::size_t kNormChains = 8;

template <class T>
constexpr T smaller(T a, T b) {
    return b < a ? b : a;
}

template <class T>
constexpr T larger(T a, T b) {
    return a < b ? b : a;
}

// row + offset for an offset that may point before the row: the lanes that
// would read there are masked off, and masked lanes never touch memory.
inline const double* shifted(const double* row, std::ptrdiff_t offset) {
    return reinterpret_cast<const double*>(reinterpret_cast<std::uintptr_t>(row) +
                                           static_cast<std::uintptr_t>(offset) * sizeof(double));
}

// ---- GELU ---------------------------------------------------------------------
//   y = (tanh((v + v·(v·(0.044715·v)))·0.7978845608028654) + 1)·(v·0.5)

template <class Isa>
typename Isa::Vec gelu_argument(typename Isa::Vec v) {
    const auto cubic = Isa::splat(0.044715);
    const auto sqrt_2_over_pi = Isa::splat(0.7978845608028654);
    return Isa::mul(Isa::add(v, Isa::mul(v, Isa::mul(v, Isa::mul(cubic, v)))), sqrt_2_over_pi);
}

inline double gelu_argument_scalar(double v) {
    return (v + v * (v * (0.044715 * v))) * 0.7978845608028654;
}

// v ← gelu(v) for one block of n ≤ kGeluBlock values whose tanh arguments are
// already in `t`.
template <class Isa>
void gelu_finish(double* v, double* t, std::size_t n) {
    constexpr std::size_t W = Isa::kLanes;
    for (std::size_t j = 0; j < n; ++j) t[j] = std::tanh(t[j]);
    const auto one = Isa::splat(1.0), half = Isa::splat(0.5);
    std::size_t j = 0;
    for (; j + W <= n; j += W) {
        const auto x = Isa::load(v + j);
        Isa::store(v + j, Isa::mul(Isa::add(Isa::load(t + j), one), Isa::mul(x, half)));
    }
    for (; j < n; ++j) v[j] = (t[j] + 1.0) * (v[j] * 0.5);
}

// x ← gelu(x + y) over `count` values (y may be null: plain GELU).
template <class Isa>
void add_gelu_vec(double* x, const double* y, std::size_t count) {
    constexpr std::size_t W = Isa::kLanes;
    alignas(64) double t[kGeluBlock];
    for (std::size_t b = 0; b < count; b += kGeluBlock) {
        const std::size_t n = smaller(kGeluBlock, count - b);
        double* v = x + b;
        std::size_t j = 0;
        if (y != nullptr) {
            const double* u = y + b;
            for (; j + W <= n; j += W) {
                const auto s = Isa::add(Isa::load(v + j), Isa::load(u + j));
                Isa::store(v + j, s);
                Isa::store(t + j, gelu_argument<Isa>(s));
            }
            for (; j < n; ++j) {
                v[j] = v[j] + u[j];
                t[j] = gelu_argument_scalar(v[j]);
            }
        } else {
            for (; j + W <= n; j += W) Isa::store(t + j, gelu_argument<Isa>(Isa::load(v + j)));
            for (; j < n; ++j) t[j] = gelu_argument_scalar(v[j]);
        }
        gelu_finish<Isa>(v, t, n);
    }
}

// ---- convolution --------------------------------------------------------------
//   y[o][t] = b[o] + Σ_i Σ_k W[o][i][k] · x[i][t + k·d − pad]   (i, then k, in order)
//
// One tile is kTileChannels output channels × one register of positions,
// held in registers from the bias to the last tap: every loaded input
// register serves all channels of the tile. The i, k loops run in the plain
// loop's order, so each output's sum gains its terms in the same sequence.
// Per tile, each tap is classified once: its inputs lie wholly inside the
// row (plain load and add), partly (masked load and masked add), or not at
// all (skipped, as the plain loop skips the padding).

enum class TapReach : unsigned char { None, Part, Full };

// Input offset of tap k (t + k·d − pad), and whether it can reach the row:
// taps that lie a whole row or more away read only padding. Computed in
// unsigned 64-bit as in the plain loop, so huge dilations cannot overflow.
struct TapOffsets {
    std::ptrdiff_t shift[kMaxVectorTaps];
    bool live[kMaxVectorTaps];
};

inline TapOffsets tap_offsets(std::size_t kernel, std::size_t dilation, std::size_t length) {
    TapOffsets taps{};
    const std::uint64_t d = dilation;
    const std::uint64_t pad = d * (std::uint64_t{kernel} - 1) / 2;
    const std::uint64_t len = length;
    for (std::size_t k = 0; k < kernel; ++k) {
        const std::uint64_t reach = std::uint64_t{k} * d;
        const std::uint64_t distance = reach >= pad ? reach - pad : pad - reach;
        taps.live[k] = distance < len;
        const auto magnitude = static_cast<std::ptrdiff_t>(taps.live[k] ? distance : 0);
        taps.shift[k] = reach >= pad ? magnitude : -magnitude;
    }
    return taps;
}

// Where each tap reads for the register of positions t0 … t0 + kLanes − 1.
template <class Isa>
struct TileTaps {
    typename Isa::Mask lanes[kMaxVectorTaps];  // lanes whose input lies in the row
    TapReach reach[kMaxVectorTaps];
    typename Isa::Mask store;  // lanes inside the row (t < L)
    bool store_full;
};

template <class Isa>
void tile_taps(const TapOffsets& taps, std::size_t kernel, std::size_t length, std::size_t t0,
               TileTaps<Isa>& tile) {
    constexpr auto W = static_cast<std::ptrdiff_t>(Isa::kLanes);
    const auto len = static_cast<std::ptrdiff_t>(length);
    const auto start = static_cast<std::ptrdiff_t>(t0);
    const std::ptrdiff_t inside = smaller(len - start, W);
    tile.store = Isa::lanes(0, static_cast<std::size_t>(inside));
    tile.store_full = inside == W;
    for (std::size_t k = 0; k < kernel; ++k) {
        // Positions t with 0 ≤ t + shift < L, as lanes of this register.
        const std::ptrdiff_t s = taps.shift[k];
        std::ptrdiff_t lo = larger<std::ptrdiff_t>(-s - start, 0);
        std::ptrdiff_t hi = smaller(len - s - start, inside);
        if (!taps.live[k] || hi <= lo) lo = hi = 0;
        tile.lanes[k] = Isa::lanes(static_cast<std::size_t>(lo), static_cast<std::size_t>(hi));
        tile.reach[k] = hi == lo               ? TapReach::None
                        : (lo == 0 && hi == W) ? TapReach::Full
                                               : TapReach::Part;
    }
}

template <class Isa, std::size_t R, bool kZeroTaps>
inline __attribute__((always_inline)) void conv_tile(const double* x, const ConvWeights& w,
                                                     std::size_t o0, std::size_t kernel,
                                                     const TapOffsets& taps,
                                                     const TileTaps<Isa>& tile, std::size_t length,
                                                     std::size_t t0, double* y) {
    using Vec = typename Isa::Vec;
    Vec acc[R];
    for (std::size_t r = 0; r < R; ++r) acc[r] = Isa::splat(w.bias[o0 + r]);
    const std::size_t per_output = w.c_in * kernel;  // taps of one output channel
    const double* tap_block = w.weight + o0 * per_output;
    for (std::size_t i = 0; i < w.c_in; ++i) {
        const double* row = x + i * length + t0;
        const double* tap_row = tap_block + i * kernel;
        for (std::size_t k = 0; k < kernel; ++k) {
            const double* src = shifted(row, taps.shift[k]);
            if (tile.reach[k] == TapReach::Full) {
                const Vec in = Isa::load(src);
                for (std::size_t r = 0; r < R; ++r) {
                    const double tap = tap_row[r * per_output + k];
                    if (kZeroTaps && tap == 0.0) continue;
                    acc[r] = Isa::add(acc[r], Isa::mul(Isa::splat(tap), in));
                }
            } else if (tile.reach[k] == TapReach::Part) {
                const auto lanes = tile.lanes[k];
                const Vec in = Isa::load_masked(src, lanes);
                for (std::size_t r = 0; r < R; ++r) {
                    const double tap = tap_row[r * per_output + k];
                    if (kZeroTaps && tap == 0.0) continue;
                    acc[r] = Isa::add_where(lanes, acc[r], Isa::mul(Isa::splat(tap), in));
                }
            }
        }
    }
    for (std::size_t r = 0; r < R; ++r) {
        double* out = y + (o0 + r) * length + t0;
        if (tile.store_full) {
            Isa::store(out, acc[r]);
        } else {
            Isa::store_masked(out, tile.store, acc[r]);
        }
    }
}

// Whether any of v[0 … n−1] equals ±0.
template <class Isa>
bool any_zero(const double* v, std::size_t n) {
    constexpr std::size_t W = Isa::kLanes;
    const auto zero = Isa::splat(0.0);
    std::size_t j = 0;
    for (; j + 4 * W <= n; j += 4 * W) {
        if (Isa::any_equal(Isa::load(v + j), zero) || Isa::any_equal(Isa::load(v + j + W), zero) ||
            Isa::any_equal(Isa::load(v + j + 2 * W), zero) ||
            Isa::any_equal(Isa::load(v + j + 3 * W), zero)) {
            return true;
        }
    }
    for (; j < n; ++j) {
        if (v[j] == 0.0) return true;
    }
    return false;
}

template <class Isa, bool kZeroTaps>
void conv1d_tiles(const double* x, const ConvWeights& w, std::size_t kernel, const TapOffsets& taps,
                  std::size_t length, double* y) {
    constexpr std::size_t R = Isa::kTileChannels;
    TileTaps<Isa> tile;
    std::size_t o = 0;
    for (; o + R <= w.c_out; o += R) {
        for (std::size_t t0 = 0; t0 < length; t0 += Isa::kLanes) {
            tile_taps<Isa>(taps, kernel, length, t0, tile);
            conv_tile<Isa, R, kZeroTaps>(x, w, o, kernel, taps, tile, length, t0, y);
        }
    }
    for (; o < w.c_out; ++o) {
        for (std::size_t t0 = 0; t0 < length; t0 += Isa::kLanes) {
            tile_taps<Isa>(taps, kernel, length, t0, tile);
            conv_tile<Isa, 1, kZeroTaps>(x, w, o, kernel, taps, tile, length, t0, y);
        }
    }
}

template <class Isa>
void conv1d_kernel(const double* x, const ConvWeights& w, std::size_t kernel, std::size_t dilation,
                   std::size_t length, double* y) {
    const TapOffsets taps = tap_offsets(kernel, dilation, length);
    // A tap of weight exactly 0 is skipped, not multiplied in (0·∞ is NaN,
    // and −0 + 0 is +0). Trained weights seldom hold an exact zero, so one
    // pass over the weights spares the inner loop that test.
    if (any_zero<Isa>(w.weight, w.c_out * w.c_in * kernel)) {
        conv1d_tiles<Isa, true>(x, w, kernel, taps, length, y);
    } else {
        conv1d_tiles<Isa, false>(x, w, kernel, taps, length, y);
    }
}

// ---- group normalisation ------------------------------------------------------
//   μ = (Σ v)/M, σ² = (Σ (v − μ)²)/M over each group's M values in storage
//   order; v ← ((v − μ)·(σ² + 1e-5)^(−1/2))·γ_c + β_c.
// A group's sums are sequential by definition; what runs side by side is
// several groups' sums, one chain each, so the additions overlap.

template <std::size_t N>
void group_moments(const double* x, std::size_t count, double* mean, double* inv) {
    const double m = static_cast<double>(count);
    double sum[N];
    for (std::size_t g = 0; g < N; ++g) sum[g] = -0.0;
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t g = 0; g < N; ++g) sum[g] += x[g * count + i];
    }
    for (std::size_t g = 0; g < N; ++g) mean[g] = sum[g] / m;
    double squares[N];
    for (std::size_t g = 0; g < N; ++g) squares[g] = -0.0;
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t g = 0; g < N; ++g) {
            const double dv = x[g * count + i] - mean[g];
            squares[g] += dv * dv;
        }
    }
    for (std::size_t g = 0; g < N; ++g) inv[g] = 1.0 / std::sqrt(squares[g] / m + 1e-5);
}

template <class Isa>
void normalise_row(double* row, std::size_t length, double mean, double inv, double gamma,
                   double beta) {
    constexpr std::size_t W = Isa::kLanes;
    const auto vm = Isa::splat(mean), vi = Isa::splat(inv), vg = Isa::splat(gamma),
               vb = Isa::splat(beta);
    std::size_t t = 0;
    for (; t + W <= length; t += W) {
        const auto v = Isa::load(row + t);
        Isa::store(row + t, Isa::add(Isa::mul(Isa::mul(Isa::sub(v, vm), vi), vg), vb));
    }
    for (; t < length; ++t) row[t] = ((row[t] - mean) * inv) * gamma + beta;
}

template <class Isa>
void group_norm_kernel(double* x, const NormWeights& w, std::size_t channels, std::size_t groups,
                       std::size_t length, bool gelu) {
    const std::size_t per_group = channels / groups;
    const std::size_t count = per_group * length;
    for (std::size_t g0 = 0; g0 < groups; g0 += kNormChains) {
        double mean[kNormChains], inv[kNormChains];
        const std::size_t n = smaller(kNormChains, groups - g0);
        double* values = x + g0 * count;
        if (n == kNormChains) {
            group_moments<kNormChains>(values, count, mean, inv);
        } else {
            for (std::size_t g = 0; g < n; ++g) {
                group_moments<1>(values + g * count, count, mean + g, inv + g);
            }
        }
        for (std::size_t g = 0; g < n; ++g) {
            for (std::size_t c = 0; c < per_group; ++c) {
                const std::size_t channel = (g0 + g) * per_group + c;
                normalise_row<Isa>(values + (g * per_group + c) * length, length, mean[g], inv[g],
                                   w.scale[channel], w.shift[channel]);
            }
        }
    }
    if (gelu) add_gelu_vec<Isa>(x, nullptr, channels * length);
}

// ---- pooling ------------------------------------------------------------------
// One lane per channel: lane c walks row c in position order, so each
// channel's sum and running maximum see the values in the plain order. The
// maximum keeps the earlier value unless a later one compares greater, which
// ignores NaN and keeps the first of +0/−0.

template <class Isa>
void pool_kernel(const double* h, std::size_t channels, std::size_t length, double* features) {
    constexpr std::size_t W = Isa::kLanes;
    const double positions = static_cast<double>(length);
    const auto rows = Isa::strides(length);
    std::size_t c = 0;
    for (; c + W <= channels; c += W) {
        const double* base = h + c * length;
        auto sum = Isa::splat(-0.0);
        auto peak = Isa::splat(-__builtin_inf());
        for (std::size_t t = 0; t < length; ++t) {
            const auto v = Isa::gather(base + t, rows);
            sum = Isa::add(sum, v);
            peak = Isa::keep_greater(peak, v);
        }
        Isa::store(features + c, Isa::div(sum, Isa::splat(positions)));
        Isa::store(features + channels + c, peak);
    }
    for (; c < channels; ++c) {
        const double* row = h + c * length;
        double sum = -0.0;
        double peak = -__builtin_inf();
        for (std::size_t t = 0; t < length; ++t) {
            sum += row[t];
            if (row[t] > peak) peak = row[t];
        }
        features[c] = sum / positions;
        features[channels + c] = peak;
    }
}

// ---- dense --------------------------------------------------------------------
//   out_j = b_j + (Σ_i W[j][i]·u_i, in i order from −0)
// One lane per row; two registers of rows advance together so that the two
// dependent chains of additions overlap.

template <class Isa>
void dense_kernel(const double* u, const DenseWeights& w, double* out, bool gelu) {
    constexpr std::size_t W = Isa::kLanes;
    const auto rows = Isa::strides(w.cols);
    std::size_t j = 0;
    for (; j + 2 * W <= w.rows; j += 2 * W) {
        const double* a = w.weight + j * w.cols;
        const double* b = a + W * w.cols;
        auto sa = Isa::splat(-0.0), sb = Isa::splat(-0.0);
        for (std::size_t i = 0; i < w.cols; ++i) {
            const auto ui = Isa::splat(u[i]);
            sa = Isa::add(sa, Isa::mul(Isa::gather(a + i, rows), ui));
            sb = Isa::add(sb, Isa::mul(Isa::gather(b + i, rows), ui));
        }
        Isa::store(out + j, Isa::add(Isa::load(w.bias + j), sa));
        Isa::store(out + j + W, Isa::add(Isa::load(w.bias + j + W), sb));
    }
    for (; j + W <= w.rows; j += W) {
        const double* a = w.weight + j * w.cols;
        auto sa = Isa::splat(-0.0);
        for (std::size_t i = 0; i < w.cols; ++i) {
            sa = Isa::add(sa, Isa::mul(Isa::gather(a + i, rows), Isa::splat(u[i])));
        }
        Isa::store(out + j, Isa::add(Isa::load(w.bias + j), sa));
    }
    for (; j < w.rows; ++j) {
        const double* row = w.weight + j * w.cols;
        double sum = -0.0;
        for (std::size_t i = 0; i < w.cols; ++i) sum += row[i] * u[i];
        out[j] = w.bias[j] + sum;
    }
    if (gelu) add_gelu_vec<Isa>(out, nullptr, w.rows);
}

template <class Isa>
constexpr LayerKernels vector_layer_kernels() {
    return LayerKernels{&conv1d_kernel<Isa>, &group_norm_kernel<Isa>, &add_gelu_vec<Isa>,
                        &pool_kernel<Isa>, &dense_kernel<Isa>};
}

}  // namespace
}  // namespace korvane
