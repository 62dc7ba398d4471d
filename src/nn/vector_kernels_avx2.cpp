// The layer kernels on AVX2 registers: four doubles per register, 16
// registers, of which a convolution tile keeps 2 channels × 4 registers
// (16 positions) of sums. AVX2 has no mask registers: a lane mask is a
// register of all-ones lanes, and the convolution takes the masked load and
// blended addition only at the padding edges. Compiled with -mavx2
// (CMakeLists.txt); selected only on processors that report AVX2
// (inference_path.cpp).

#include "nn/layer_kernels.hpp"

#if defined(__AVX2__)

#include <immintrin.h>

#include <cstddef>

namespace korvane {
namespace {

struct Avx2 {
    static constexpr std::size_t kLanes = 4;
    static constexpr std::size_t kTileChannels = 8;
    using Vec = __m256d;
    using Mask = __m256i;
    using Index = __m256i;

    static Vec splat(double v) { return _mm256_set1_pd(v); }
    static Vec load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, Vec v) { _mm256_storeu_pd(p, v); }
    static Vec add(Vec a, Vec b) { return _mm256_add_pd(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm256_sub_pd(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm256_mul_pd(a, b); }
    static Vec div(Vec a, Vec b) { return _mm256_div_pd(a, b); }
    // Lanes lo ≤ l < hi, 0 ≤ lo ≤ hi ≤ 4.
    static Mask lanes(std::size_t lo, std::size_t hi) {
        auto in = [&](std::size_t l) { return l >= lo && l < hi ? -1LL : 0LL; };
        return _mm256_set_epi64x(in(3), in(2), in(1), in(0));
    }
    static Vec load_masked(const double* p, Mask m) { return _mm256_maskload_pd(p, m); }
    static void store_masked(double* p, Mask m, Vec v) { _mm256_maskstore_pd(p, m, v); }
    // acc + term in the lanes of m, acc untouched elsewhere.
    static Vec add_where(Mask m, Vec acc, Vec term) {
        return _mm256_blendv_pd(acc, _mm256_add_pd(acc, term), _mm256_castsi256_pd(m));
    }
    // v where v > peak (ordered: NaN never wins), else peak.
    static Vec keep_greater(Vec peak, Vec v) {
        return _mm256_blendv_pd(peak, v, _mm256_cmp_pd(v, peak, _CMP_GT_OQ));
    }
    static bool any_equal(Vec a, Vec b) {
        return _mm256_movemask_pd(_mm256_cmp_pd(a, b, _CMP_EQ_OQ)) != 0;
    }
    static Index strides(std::size_t s) {
        const auto i = static_cast<long long>(s);
        return _mm256_set_epi64x(3 * i, 2 * i, i, 0);
    }
    // base[index_l] in lane l.
    static Vec gather(const double* base, Index index) {
        return _mm256_i64gather_pd(base, index, sizeof(double));
    }
};

}  // namespace
}  // namespace korvane

#include "nn/vector_kernels_impl.hpp"

namespace korvane {

const LayerKernels* avx2_layer_kernels() {
    static constexpr LayerKernels kernels = vector_layer_kernels<Avx2>();
    return &kernels;
}

}  // namespace korvane

#else

namespace korvane {

const LayerKernels* avx2_layer_kernels() { return nullptr; }

}  // namespace korvane

#endif
