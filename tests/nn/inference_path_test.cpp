// Every inference path this processor offers (plain loops, AVX2, AVX-512)
// against the plain loops, bit for bit: each layer kernel on shapes that hit
// the vector kernels' edges (partial registers, channel tails, taps on the
// padding, huge dilations, exact-zero taps, −0, infinities, NaN), and whole
// inferences of the eleven bundled networks on random spectra. A path this
// processor lacks is skipped and named in the output, so a run on an
// AVX-512 machine covers all three.

#include "nn/inference_path.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "eisnn_builder.hpp"
#include "nn/embedded_models.hpp"
#include "nn/layer_kernels.hpp"
#include "nn/network.hpp"
#include "nn/spectrum_features.hpp"
#include "nn/weight_file.hpp"

namespace korvane {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The vector paths available here; plain is the reference they must match.
std::vector<InferencePath> vector_paths() {
    std::vector<InferencePath> out;
    for (const InferencePath p : {InferencePath::Avx2, InferencePath::Avx512}) {
        if (inference_path_available(p)) {
            out.push_back(p);
        } else {
            std::printf("[ skipped  ] inference path %s: not available on this processor\n",
                        std::string(inference_path_name(p)).c_str());
        }
    }
    return out;
}

// Same bits, except that any NaN matches any NaN: which NaN payload an
// operation propagates is not part of the results.
::testing::AssertionResult same_bits(const std::vector<double>& want,
                                     const std::vector<double>& got) {
    if (want.size() != got.size()) return ::testing::AssertionFailure() << "sizes differ";
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (std::isnan(want[i]) && std::isnan(got[i])) continue;
        if (std::bit_cast<std::uint64_t>(want[i]) != std::bit_cast<std::uint64_t>(got[i])) {
            return ::testing::AssertionFailure()
                   << "value " << i << ": plain " << want[i] << " vs " << got[i];
        }
    }
    return ::testing::AssertionSuccess();
}

// Restores the dispatched path when a test ends, also on failure.
struct PathGuard {
    InferencePath saved = inference_path();
    ~PathGuard() { set_inference_path(saved); }
};

// Normal values with a sprinkling of specials: exact zeros of both signs
// (zero taps, −0 sums), and, when `specials`, infinities and NaN.
std::vector<double> random_values(std::size_t n, std::mt19937_64& rng, bool specials) {
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_int_distribution<int> pick(0, 39);
    std::vector<double> v(n);
    for (double& x : v) {
        switch (pick(rng)) {
            case 0:
                x = 0.0;
                break;
            case 1:
                x = -0.0;
                break;
            case 2:
                x = specials ? kInf : 1.0;
                break;
            case 3:
                x = specials ? -kInf : -1.0;
                break;
            case 4:
                x = specials ? kNaN : 0.5;
                break;
            default:
                x = normal(rng);
        }
    }
    return v;
}

TEST(InferencePaths, DispatchChoosesTheWidestAvailablePath) {
    EXPECT_TRUE(inference_path_available(InferencePath::Plain));
    const InferencePath widest = widest_inference_path();
    EXPECT_TRUE(inference_path_available(widest));
    for (const InferencePath p : kInferencePaths) {
        if (inference_path_available(p)) {
            EXPECT_GE(static_cast<int>(widest), static_cast<int>(p));
        }
    }
    PathGuard guard;
    for (const InferencePath p : kInferencePaths) {
        EXPECT_EQ(set_inference_path(p), inference_path_available(p)) << inference_path_name(p);
        if (inference_path_available(p)) {
            EXPECT_EQ(inference_path(), p);
        }
    }
}

TEST(InferencePaths, ConvolutionMatchesPlainBitForBit) {
    const LayerKernels& plain = *layer_kernels(InferencePath::Plain);
    std::mt19937_64 rng(7);
    struct Shape {
        std::size_t c_in, c_out, kernel, dilation, length;
    };
    // Lengths around register widths, channel counts around tile heights,
    // dilations from 1 to far beyond the row, kernels up to the vector limit.
    const Shape shapes[] = {
        {3, 16, 5, 1, 64},
        {16, 16, 5, 2, 64},
        {32, 32, 5, 4, 64},
        {64, 64, 5, 8, 64},
        {5, 17, 5, 3, 65},
        {2, 33, 3, 1, 7},
        {1, 1, 1, 1, 1},
        {4, 9, 4, 2, 9},
        {3, 24, 2, 5, 13},
        {7, 40, 7, 16, 31},
        {2, 3, 3, 4'000'000'000u, 5},
        {3, 20, 6, 3, 3},
        {2, 18, kMaxVectorTaps, 1, 70},
        {1, 35, 9, 64, 64},
    };
    for (const InferencePath path : vector_paths()) {
        const LayerKernels& vec = *layer_kernels(path);
        for (const Shape& s : shapes) {
            for (const bool specials : {false, true}) {
                SCOPED_TRACE(std::string(inference_path_name(path)) + " c_in " +
                             std::to_string(s.c_in) + " c_out " + std::to_string(s.c_out) + " K " +
                             std::to_string(s.kernel) + " d " + std::to_string(s.dilation) + " L " +
                             std::to_string(s.length) + (specials ? " with inf/NaN" : ""));
                const auto x = random_values(s.c_in * s.length, rng, specials);
                const auto weight = random_values(s.c_out * s.c_in * s.kernel, rng, specials);
                const auto bias = random_values(s.c_out, rng, false);
                const ConvWeights w{weight.data(), bias.data(), s.c_out, s.c_in};
                std::vector<double> want(s.c_out * s.length), got(want.size(), 123.0);
                plain.conv1d(x.data(), w, s.kernel, s.dilation, s.length, want.data());
                vec.conv1d(x.data(), w, s.kernel, s.dilation, s.length, got.data());
                EXPECT_TRUE(same_bits(want, got));
            }
        }
    }
}

// Sums that stay at −0 and taps that would turn padding into NaN: a kernel
// that fed zeros for the padding instead of leaving those terms out would
// give +0 (−0 + 0) or NaN (∞·0) at the edges.
TEST(InferencePaths, ConvolutionLeavesPaddingOutRatherThanAddingZeros) {
    const LayerKernels& plain = *layer_kernels(InferencePath::Plain);
    for (const InferencePath path : vector_paths()) {
        SCOPED_TRACE(std::string(inference_path_name(path)));
        const LayerKernels& vec = *layer_kernels(path);
        for (const std::size_t length : {4u, 8u, 19u, 64u}) {
            const std::vector<double> x(length, 0.0);
            // At t = 0 tap 0 reads padding, at t = L − 1 tap 2 does. Channel
            // 0 there has a positive tap (0 would turn the −0 sum into +0),
            // channel 1 an infinite one (∞·0 would give NaN).
            const std::vector<double> weight = {1.0, -1.0, -1.0, /**/ -1.0, -1.0, kInf};
            const std::vector<double> bias = {-0.0, -0.0};
            const ConvWeights w{weight.data(), bias.data(), 2, 1};
            std::vector<double> want(2 * length), got(2 * length);
            plain.conv1d(x.data(), w, 3, 1, length, want.data());
            vec.conv1d(x.data(), w, 3, 1, length, got.data());
            EXPECT_EQ(std::bit_cast<std::uint64_t>(want[0]), std::bit_cast<std::uint64_t>(-0.0));
            EXPECT_EQ(std::bit_cast<std::uint64_t>(want[2 * length - 1]),
                      std::bit_cast<std::uint64_t>(-0.0));
            EXPECT_TRUE(same_bits(want, got)) << "L = " << length;
        }
    }
}

TEST(InferencePaths, NormalisationGeluPoolingAndDenseMatchPlain) {
    const LayerKernels& plain = *layer_kernels(InferencePath::Plain);
    std::mt19937_64 rng(11);
    for (const InferencePath path : vector_paths()) {
        const LayerKernels& vec = *layer_kernels(path);
        const std::string name(inference_path_name(path));
        // Group counts below, at and above the eight chains run side by side.
        struct Norm {
            std::size_t channels, groups, length;
        };
        for (const Norm n : {Norm{64, 8, 64}, Norm{16, 8, 64}, Norm{12, 3, 7}, Norm{18, 9, 5},
                             Norm{32, 16, 13}, Norm{5, 1, 3}, Norm{8, 8, 1}}) {
            for (const bool gelu : {false, true}) {
                SCOPED_TRACE(name + " group norm Ch " + std::to_string(n.channels) + " G " +
                             std::to_string(n.groups) + " L " + std::to_string(n.length));
                auto want = random_values(n.channels * n.length, rng, false);
                for (double& v : want) v *= 3.0;  // GELU arguments well into both tails
                auto got = want;
                const auto gamma = random_values(n.channels, rng, false);
                const auto beta = random_values(n.channels, rng, false);
                const NormWeights w{gamma.data(), beta.data()};
                plain.group_norm(want.data(), w, n.channels, n.groups, n.length, gelu);
                vec.group_norm(got.data(), w, n.channels, n.groups, n.length, gelu);
                EXPECT_TRUE(same_bits(want, got));
            }
        }
        for (const std::size_t count : {1u, 7u, 64u, 255u, 256u, 257u, 4096u, 5000u}) {
            SCOPED_TRACE(name + " add_gelu over " + std::to_string(count));
            auto want = random_values(count, rng, true);
            for (double& v : want) v *= 8.0;
            auto got = want;
            const auto y = random_values(count, rng, true);
            plain.add_gelu(want.data(), y.data(), count);
            vec.add_gelu(got.data(), y.data(), count);
            EXPECT_TRUE(same_bits(want, got));
        }
        // Rows with NaN (ignored by the maximum), ±0 ties (the first kept),
        // and channel counts off the register width.
        for (const std::size_t channels : {1u, 8u, 13u, 16u, 64u}) {
            for (const std::size_t length : {1u, 5u, 64u}) {
                SCOPED_TRACE(name + " pool Ch " + std::to_string(channels) + " L " +
                             std::to_string(length));
                auto h = random_values(channels * length, rng, true);
                if (channels > 2 && length > 1) {
                    for (std::size_t t = 0; t < length; ++t) h[length + t] = kNaN;
                    h[2 * length] = -0.0;
                    h[2 * length + 1] = 0.0;
                    for (std::size_t t = 2; t < length; ++t) h[2 * length + t] = -1.0;
                }
                std::vector<double> want(2 * channels), got(2 * channels);
                plain.pool(h.data(), channels, length, want.data());
                vec.pool(h.data(), channels, length, got.data());
                EXPECT_TRUE(same_bits(want, got));
            }
        }
        for (const std::size_t rows : {1u, 3u, 8u, 10u, 16u, 17u, 40u, 256u}) {
            for (const std::size_t cols : {1u, 34u, 130u, 256u}) {
                for (const bool gelu : {false, true}) {
                    SCOPED_TRACE(name + " dense " + std::to_string(rows) + "x" +
                                 std::to_string(cols));
                    const auto weight = random_values(rows * cols, rng, true);
                    const auto bias = random_values(rows, rng, false);
                    const auto u = random_values(cols, rng, false);
                    const DenseWeights w{weight.data(), bias.data(), rows, cols};
                    std::vector<double> want(rows), got(rows);
                    plain.dense(u.data(), w, want.data(), gelu);
                    vec.dense(u.data(), w, got.data(), gelu);
                    EXPECT_TRUE(same_bits(want, got));
                }
            }
        }
    }
}

// A random spectrum: 2 … 120 points in random order over a random span of
// frequencies, impedances of a series resistance and one or two RC/CPE-like
// arcs, with some points far off the curve.
struct Spectrum {
    std::vector<double> f;
    std::vector<Cplx> z;
};

Spectrum random_spectrum(std::mt19937_64& rng) {
    std::uniform_int_distribution<int> count(2, 120);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const int n = count(rng);
    const double lo = -3.0 + 3.0 * unit(rng), span = 0.5 + 7.0 * unit(rng);
    const double r0 = std::pow(10.0, 2.0 * unit(rng) - 1.0);
    const double r1 = std::pow(10.0, 3.0 * unit(rng)), tau = std::pow(10.0, -5.0 + 4.0 * unit(rng));
    const double alpha = 0.6 + 0.4 * unit(rng);
    Spectrum s;
    for (int i = 0; i < n; ++i) {
        const double f = std::pow(10.0, lo + span * unit(rng));
        const double w = kTwoPi * f;
        // R0 + R1 / (1 + (jωτ)^α)
        const double mag = std::pow(w * tau, alpha), phi = alpha * 1.5707963267948966;
        const Cplx denom{1.0 + mag * std::cos(phi), mag * std::sin(phi)};
        Cplx z = Cplx{r0, 0.0} + Cplx{r1, 0.0} * reciprocal(denom);
        if (unit(rng) < 0.05) z = Cplx{z.re * 3.0, -z.im};  // an outlier
        s.f.push_back(f);
        s.z.push_back(z);
    }
    return s;
}

std::vector<double> infer_on(InferencePath path, const WeightFile& file, const Spectrum& s) {
    set_inference_path(path);
    auto r = infer(file, s.f, s.z);
    EXPECT_TRUE(r.ok()) << r.error().message();
    return r ? *r : std::vector<double>{};
}

TEST(InferencePaths, BundledNetworksGiveTheSameBitsOnEveryPath) {
    PathGuard guard;
    const auto paths = vector_paths();
    std::mt19937_64 rng(2024);
    std::size_t compared = 0;
    ASSERT_EQ(embedded_models().size(), 11u);
    for (const EmbeddedModel& m : embedded_models()) {
        auto file = parse_weight_file(m.bytes);
        ASSERT_TRUE(file.ok()) << m.stem << ": " << file.error().message();
        for (int trial = 0; trial < 12; ++trial) {
            const Spectrum s = random_spectrum(rng);
            const auto want = infer_on(InferencePath::Plain, *file, s);
            ASSERT_EQ(want.size(), file->param_names.size());
            for (const InferencePath p : paths) {
                EXPECT_TRUE(same_bits(want, infer_on(p, *file, s)))
                    << m.stem << ", spectrum " << trial << " (" << s.f.size() << " points), "
                    << inference_path_name(p);
                ++compared;
            }
        }
    }
    std::printf("[ paths    ] %zu inferences compared bit for bit against plain\n", compared);
}

// Shapes no bundled network has, through the whole forward pass: an odd
// grid, channel and head sizes off the tile sizes, one group, a kernel
// longer than the vector kernels take (the plain loop then runs everywhere).
TEST(InferencePaths, UnusualNetworkShapesGiveTheSameBitsOnEveryPath) {
    PathGuard guard;
    const auto paths = vector_paths();
    std::mt19937_64 rng(5);
    testing::NetworkShape shapes[4];
    shapes[0].n_grid = 37, shapes[0].channels = 12, shapes[0].groups = 3, shapes[0].head = 20;
    shapes[1].n_grid = 3, shapes[1].kernel = 4, shapes[1].groups = 1, shapes[1].dilations = {1, 5};
    shapes[2].kernel = kMaxVectorTaps + 3, shapes[2].dilations = {2}, shapes[2].head = 9;
    shapes[3].channels = 24, shapes[3].groups = 24, shapes[3].dilations = {1, 3, 9, 27, 81};
    for (const auto& shape : shapes) {
        auto file = parse_weight_file(testing::network_file(shape).bytes());
        ASSERT_TRUE(file.ok()) << file.error().message();
        for (int trial = 0; trial < 4; ++trial) {
            const Spectrum s = random_spectrum(rng);
            const auto want = infer_on(InferencePath::Plain, *file, s);
            for (const InferencePath p : paths) {
                EXPECT_TRUE(same_bits(want, infer_on(p, *file, s)))
                    << "L " << shape.n_grid << " Ch " << shape.channels << " K " << shape.kernel
                    << ", " << inference_path_name(p);
            }
        }
    }
}

}  // namespace
}  // namespace korvane
