#pragma once
// The forward pass's layer operations as a table of plain functions, one
// table per instruction-set path (inference_path.hpp). The plain table wraps
// the reference loops of network.cpp; the AVX2 and AVX-512 tables live in
// their own translation units, compiled with those instruction sets and
// selected only on a processor that has them.
//
// Every entry leaves exactly the bits the plain loops leave: per output
// value the same operations in the same order (summation orders included).
// Buffers are raw pointers so that the instruction-set units need no library
// templates (see layer_weights.hpp).

#include <cstddef>

#include "nn/layer_weights.hpp"

namespace korvane {

enum class InferencePath;  // inference_path.hpp

struct LayerKernels {
    // y (c_out, L) = conv(x (c_in, L)), zero "same" padding, taps of weight 0
    // skipped; kernels above kMaxVectorTaps fall back to the plain loop.
    void (*conv1d)(const double* x, const ConvWeights& w, std::size_t kernel, std::size_t dilation,
                   std::size_t length, double* y);
    // In place on x (Ch, L): group normalisation, then GELU when `gelu`.
    void (*group_norm)(double* x, const NormWeights& w, std::size_t channels, std::size_t groups,
                       std::size_t length, bool gelu);
    // h ← gelu(h + y), element-wise over `count` values.
    void (*add_gelu)(double* h, const double* y, std::size_t count);
    // features[c] = (Σ_t h[c][t] from −0, in t order) / L, features[Ch + c] =
    // max_t h[c][t] from −∞ ignoring NaN (first of equal values kept).
    void (*pool)(const double* h, std::size_t channels, std::size_t length, double* features);
    // out (rows) = b + W (rows, cols) · u, each row summed in order from −0;
    // then GELU on out when `gelu`.
    void (*dense)(const double* u, const DenseWeights& w, double* out, bool gelu);
};

// Convolutions with more taps than this run the plain loop on every path
// (the vector kernels keep one lane mask per tap on the stack). Trained
// networks use 5.
inline constexpr std::size_t kMaxVectorTaps = 32;

// The table of `path`, or nullptr when this build does not contain it. Does
// not check the processor: see inference_path_available.
const LayerKernels* layer_kernels(InferencePath path);

// Per-path tables, defined in network.cpp (plain) and the instruction-set units.
const LayerKernels* plain_layer_kernels();
const LayerKernels* avx2_layer_kernels();
const LayerKernels* avx512_layer_kernels();

}  // namespace korvane
