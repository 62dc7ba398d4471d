// The layer kernels on AVX-512 registers: eight doubles per register, lane
// masks for the convolution's padding edges, 32 registers, of which a
// convolution tile keeps 4 channels × 4 registers (32 positions) of sums.
// Compiled with -mavx512f (CMakeLists.txt); selected only on processors that
// report AVX-512F (inference_path.cpp).

#include "nn/layer_kernels.hpp"

#if defined(__AVX512F__)

#include <immintrin.h>

#include <cstddef>

namespace korvane {
namespace {

struct Avx512 {
    static constexpr std::size_t kLanes = 8;
    static constexpr std::size_t kTileChannels = 16;
    using Vec = __m512d;
    using Mask = __mmask8;
    using Index = __m512i;

    static Vec splat(double v) { return _mm512_set1_pd(v); }
    static Vec load(const double* p) { return _mm512_loadu_pd(p); }
    static void store(double* p, Vec v) { _mm512_storeu_pd(p, v); }
    static Vec add(Vec a, Vec b) { return _mm512_add_pd(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm512_sub_pd(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm512_mul_pd(a, b); }
    static Vec div(Vec a, Vec b) { return _mm512_div_pd(a, b); }
    // Lanes lo ≤ l < hi, 0 ≤ lo ≤ hi ≤ 8.
    static Mask lanes(std::size_t lo, std::size_t hi) {
        return static_cast<Mask>((0xFFu >> (8 - hi)) & (0xFFu << lo));
    }
    static Vec load_masked(const double* p, Mask m) { return _mm512_maskz_loadu_pd(m, p); }
    static void store_masked(double* p, Mask m, Vec v) { _mm512_mask_storeu_pd(p, m, v); }
    // acc + term in the lanes of m, acc untouched elsewhere.
    static Vec add_where(Mask m, Vec acc, Vec term) {
        return _mm512_mask_add_pd(acc, m, acc, term);
    }
    // v where v > peak (ordered: NaN never wins), else peak.
    static Vec keep_greater(Vec peak, Vec v) {
        return _mm512_mask_mov_pd(peak, _mm512_cmp_pd_mask(v, peak, _CMP_GT_OQ), v);
    }
    static bool any_equal(Vec a, Vec b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ) != 0; }
    static Index strides(std::size_t s) {
        const auto i = static_cast<long long>(s);
        return _mm512_set_epi64(7 * i, 6 * i, 5 * i, 4 * i, 3 * i, 2 * i, i, 0);
    }
    // base[index_l] in lane l. (The masked form with a zeroed source: the
    // unmasked one starts from an undefined register, which GCC 12 reports
    // as possibly uninitialised.)
    static Vec gather(const double* base, Index index) {
        return _mm512_mask_i64gather_pd(_mm512_setzero_pd(), 0xFF, index, base, sizeof(double));
    }
};

}  // namespace
}  // namespace korvane

#include "nn/vector_kernels_impl.hpp"

namespace korvane {

const LayerKernels* avx512_layer_kernels() {
    static constexpr LayerKernels kernels = vector_layer_kernels<Avx512>();
    return &kernels;
}

}  // namespace korvane

#else

namespace korvane {

const LayerKernels* avx512_layer_kernels() { return nullptr; }

}  // namespace korvane

#endif
