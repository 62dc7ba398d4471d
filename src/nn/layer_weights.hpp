#pragma once
// Views into a loaded weight file's tensors, one per layer kind. Plain
// structs of pointers and sizes, valid as long as the file lives.
//
// Kept apart from network.hpp on purpose: the vector kernels are compiled
// with instruction-set flags (AVX2, AVX-512) in their own translation units,
// and those units must not instantiate any inline library code (std::vector,
// std::span, std::string members) that the linker could then hand to the
// rest of the program. This header pulls in nothing but <cstddef>.

#include <cstddef>

namespace korvane {

struct ConvWeights {
    const double* weight = nullptr;  // (c_out, c_in, K)
    const double* bias = nullptr;    // (c_out)
    std::size_t c_out = 0;
    std::size_t c_in = 0;
};

struct NormWeights {
    const double* scale = nullptr;  // (Ch)  γ
    const double* shift = nullptr;  // (Ch)  β
};

struct DenseWeights {
    const double* weight = nullptr;  // (rows, cols)
    const double* bias = nullptr;    // (rows)
    std::size_t rows = 0;
    std::size_t cols = 0;
};

}  // namespace korvane
