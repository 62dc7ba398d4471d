#include "nn/network.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "eisnn_builder.hpp"
#include "nn/spectrum_features.hpp"

namespace korvane {
namespace {

using testing::FileBuilder;
using testing::network_file;
using testing::NetworkShape;

constexpr double kInf = std::numeric_limits<double>::infinity();

WeightFile load(const FileBuilder& b) {
    auto r = parse_weight_file(b.bytes());
    EXPECT_TRUE(r.ok()) << r.error().message();
    return r ? std::move(r).value() : WeightFile{};
}

std::vector<double> log_frequencies(int count, double first_decade, double decades) {
    std::vector<double> f(count);
    for (int k = 0; k < count; ++k) {
        f[k] = std::pow(10.0, first_decade + decades * k / (count - 1));
    }
    return f;
}

// R0 + 1/(1/R1 + jωC1)
std::vector<Cplx> rc_spectrum(const std::vector<double>& f, double r0, double r1, double c1) {
    std::vector<Cplx> z;
    for (const double fi : f) {
        const Cplx admittance{1.0 / r1, kTwoPi * fi * c1};
        z.push_back(Cplx{r0, 0.0} + reciprocal(admittance));
    }
    return z;
}

std::string infer_message(const WeightFile& f, std::span<const double> freqs,
                          std::span<const Cplx> z) {
    auto r = infer(f, freqs, z);
    return r ? std::string("ok") : r.error().message();
}

// --- spectrum scales -------------------------------------------------------

TEST(SpectrumScales, ReactiveCentroidOfAnRcArc) {
    const auto f = log_frequencies(50, -1.0, 6.0);
    const auto z = rc_spectrum(f, 10.0, 100.0, 1e-5);
    const SpectrumScales s = reactive_centroid_scales(f, z);
    EXPECT_NEAR(s.omega_c, 3237.12, 0.01);
    EXPECT_NEAR(s.z_c, 33.3205, 1e-4);

    // Points with f ≤ 0 or Z = 0 are left out of the estimate.
    auto f2 = f;
    auto z2 = z;
    f2.push_back(-5.0), z2.push_back({1.0, -50.0});
    f2.push_back(0.0), z2.push_back({1.0, -50.0});
    f2.push_back(10.0), z2.push_back({0.0, 0.0});
    const SpectrumScales s2 = reactive_centroid_scales(f2, z2);
    EXPECT_EQ(s2.omega_c, s.omega_c);
    EXPECT_EQ(s2.z_c, s.z_c);
}

TEST(SpectrumScales, ResistiveSpectrumFallsBack) {
    const auto f = log_frequencies(50, -1.0, 6.0);
    const std::vector<Cplx> z(50, Cplx{10.0, 0.0});
    const SpectrumScales s = reactive_centroid_scales(f, z);
    EXPECT_NEAR(s.omega_c, 628.3185307179586, 1e-9);
    EXPECT_EQ(s.z_c, 10.0);

    // Upper median of the magnitudes; inductive points weigh nothing.
    const std::vector<double> f4 = {1, 2, 3, 4};
    const std::vector<Cplx> z4 = {{4, 0}, {0, 1}, {3, 0}, {0, 2}};
    EXPECT_EQ(reactive_centroid_scales(f4, z4).z_c, 3.0);
    EXPECT_NEAR(reactive_centroid_scales(f4, z4).omega_c, kTwoPi * std::pow(24.0, 0.25), 1e-12);
}

// --- sorting, phase, interpolation -----------------------------------------

TEST(SpectrumFeatures, FrequencyOrderIsStableUnderTheTotalOrder) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> f = {3.0, 1.0, nan, 3.0, 0.0, -0.0, -nan, 1.0};
    const auto order = frequency_order(f);
    EXPECT_EQ(order, (std::vector<std::size_t>{6, 5, 4, 1, 7, 0, 3, 2}));
}

TEST(SpectrumFeatures, ContinuousPhaseRemovesJumps) {
    // Wrapping from just below +π to just above −π continues upwards.
    const auto phase = continuous_phase(std::vector<double>{3.0, 3.1, -3.1, -3.0});
    ASSERT_EQ(phase.size(), 4u);
    EXPECT_DOUBLE_EQ(phase[2], 3.1 + (2 * kPi - 6.2));
    EXPECT_DOUBLE_EQ(phase[3], phase[2] + 0.1);
    for (std::size_t k = 1; k < phase.size(); ++k)
        EXPECT_LT(std::abs(phase[k] - phase[k - 1]), kPi);
    // A step of exactly π goes up when the raw phase rose, down when it fell.
    EXPECT_EQ(continuous_phase(std::vector<double>{0.0, kPi})[1], kPi);
    EXPECT_EQ(continuous_phase(std::vector<double>{0.0, -kPi})[1], -kPi);
    // Several turns accumulate.
    const auto turns = continuous_phase(std::vector<double>{0.0, 2.0, -2.3, -0.3, 1.7, -2.6});
    EXPECT_NEAR(turns.back(), -2.6 + 2 * kTwoPi, 1e-12);
}

TEST(SpectrumFeatures, InterpolationAtEndsAndRepeatedAbscissae) {
    const std::vector<double> xs = {0.0, 1.0, 1.0, 2.0};
    const std::vector<double> ys = {0.0, 10.0, 20.0, 30.0};
    EXPECT_EQ(interpolate(xs, ys, -1.0), 0.0);
    EXPECT_EQ(interpolate(xs, ys, 5.0), 30.0);
    EXPECT_EQ(interpolate(xs, ys, 0.5), 5.0);   // towards the first of the repeated pair
    EXPECT_EQ(interpolate(xs, ys, 1.0), 20.0);  // from the last of it
    EXPECT_EQ(interpolate(xs, ys, 1.5), 25.0);
    // NaN abscissae or a NaN query must stay inside the arrays.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> with_nan = {0.0, 1.0, nan};
    const std::vector<double> y3 = {1.0, 2.0, 3.0};
    (void)interpolate(with_nan, y3, 0.5);
    (void)interpolate(with_nan, y3, 7.0);
    (void)interpolate(y3, y3, nan);
    (void)interpolate(std::vector<double>{nan, nan}, y3, 1.0);
}

TEST(SpectrumFeatures, InputChannelsAndDescriptors) {
    // Two points at 1 Hz and 100 Hz on a grid of 3: the middle grid point is
    // 10 Hz, halfway in log frequency.
    const std::vector<double> f = {100.0, 1.0};
    const std::vector<Cplx> z = {{0.0, -10.0}, {1000.0, 0.0}};
    const SpectrumScales s{kTwoPi * 10.0, 100.0};
    const NetworkInput in = build_network_input(f, z, 3, s);
    ASSERT_EQ(in.channels.size(), 9u);
    EXPECT_DOUBLE_EQ(in.channels[0], 1.0);  // log10 1000 − log10 100
    EXPECT_DOUBLE_EQ(in.channels[1], 0.0);  // halfway to log10 10 − 2 = −1
    EXPECT_DOUBLE_EQ(in.channels[2], -1.0);
    EXPECT_DOUBLE_EQ(in.channels[3], 0.0);  // phase 0 → −π/2, over π/2
    EXPECT_DOUBLE_EQ(in.channels[4], -0.5);
    EXPECT_DOUBLE_EQ(in.channels[5], -1.0);
    EXPECT_DOUBLE_EQ(in.channels[6], -0.25);  // (0 − 1)·0.25
    EXPECT_DOUBLE_EQ(in.channels[7], 0.0);
    EXPECT_DOUBLE_EQ(in.channels[8], 0.25);
    EXPECT_DOUBLE_EQ(in.span_descriptor, 0.25);
    EXPECT_DOUBLE_EQ(in.count_descriptor, 0.5 * std::log10(2.0));
}

// --- kernels ---------------------------------------------------------------

TEST(NetworkKernels, ConvolutionPaddingDilationAndZeroTaps) {
    const std::vector<double> x = {1, 2, 3, 4, 5};
    std::vector<double> y(5);
    // K = 3, d = 2, pad 2: y[t] = b + x[t−2] + 10·x[t] + 100·x[t+2]
    const std::vector<double> w3 = {1, 10, 100}, bias = {0.5};
    conv1d(x, ConvWeights{w3.data(), bias.data(), 1, 1}, 3, 2, 5, y);
    EXPECT_EQ(y, (std::vector<double>{310.5, 420.5, 531.5, 42.5, 53.5}));
    // K = 2, d = 3, pad 1: y[t] = b + x[t−1] + 10·x[t+2]
    const std::vector<double> w2 = {1, 10};
    conv1d(x, ConvWeights{w2.data(), bias.data(), 1, 1}, 2, 3, 5, y);
    EXPECT_EQ(y, (std::vector<double>{30.5, 41.5, 52.5, 3.5, 4.5}));
    // A dilation far beyond the row leaves only the centre tap.
    conv1d(x, ConvWeights{w3.data(), bias.data(), 1, 1}, 3, 4'000'000'000u, 5, y);
    EXPECT_EQ(y, (std::vector<double>{10.5, 20.5, 30.5, 40.5, 50.5}));
    // A zero tap adds nothing even facing infinity; two channels, two outputs.
    const std::vector<double> x2 = {1, kInf, 1, 1, 2, 2};      // (2, 3)
    const std::vector<double> w = {1, 0,    1, /**/ 0, 1, 0,   // o = 0
                                   0, -0.0, 0, /**/ 1, 1, 1};  // o = 1
    const std::vector<double> b2 = {0, 0};
    std::vector<double> y2(6);
    conv1d(x2, ConvWeights{w.data(), b2.data(), 2, 2}, 3, 1, 3, y2);
    EXPECT_EQ(y2, (std::vector<double>{kInf + 1, 4, kInf + 2, 3, 5, 4}));
}

TEST(NetworkKernels, GroupNormAndGelu) {
    // Two groups of one channel, two positions each.
    std::vector<double> x = {1, 3, 10, 10};
    const std::vector<double> gamma = {2, 1}, beta = {0, 7};
    group_norm(x, NormWeights{gamma.data(), beta.data()}, 2, 2, 2);
    const double inv = 1.0 / std::sqrt(1.0 + 1e-5);
    EXPECT_DOUBLE_EQ(x[0], -2 * inv);
    EXPECT_DOUBLE_EQ(x[1], 2 * inv);
    EXPECT_EQ(x[2], 7.0);
    EXPECT_EQ(x[3], 7.0);

    std::vector<double> v = {0.0, 1.0, -2.0};
    gelu(v);
    EXPECT_EQ(v[0], 0.0);
    EXPECT_DOUBLE_EQ(v[1], 0.8411919906082768);
    EXPECT_DOUBLE_EQ(v[2], -0.04540230591222494);
}

// --- failures ------------------------------------------------------------

TEST(NetworkInference, PointCheckComesFirst) {
    FileBuilder b = network_file({});
    b.remove_tensor("w.stem.weight");
    const WeightFile f = load(b);
    const std::vector<double> one = {1.0};
    const std::vector<Cplx> z1 = {{1.0, -1.0}};
    EXPECT_EQ(infer_message(f, one, z1), "need at least 2 frequency points to guess, got 1");
    const std::vector<double> three = {1, 2, 3};
    EXPECT_EQ(infer_message(f, three, {}), "need at least 2 frequency points to guess, got 0");
    const std::vector<Cplx> z3 = {{1, -1}, {1, -1}, {1, -1}};
    EXPECT_EQ(infer_message(f, three, z3), "weight file is missing w.stem.weight");
}

struct Mutation {
    const char* what;
    void (*apply)(FileBuilder&);
    const char* message;
};

// Every way a file can ask the forward pass to read outside its tensors is
// refused with a message naming the culprit; the documented cases keep their
// documented wording.
TEST(NetworkInference, ShapeProblemsAreReportedNotRead) {
    const Mutation cases[] = {
        {"missing norm bias", [](FileBuilder& b) { b.remove_tensor("w.blocks.2.norm1.bias"); },
         "weight file is missing w.blocks.2.norm1.bias"},
        {"head.0 columns",
         [](FileBuilder& b) {
             b.f32("w.head.0.weight", {64, 66}, std::vector<double>(64 * 66));
         },
         "tensor head.0 has 34 elements, expected 66"},
        {"head.2 columns",
         [](FileBuilder& b) {
             b.f32("w.head.2.weight", {64, 63}, std::vector<double>(64 * 63));
         },
         "tensor head.2 has 64 elements, expected 63"},
        {"groups 0", [](FileBuilder& b) { b.set("groups", "0"); },
         "weight file has an unparsable value for groups"},
        {"groups not dividing", [](FileBuilder& b) { b.set("groups", "3"); },
         "weight file has an unparsable value for groups"},
        {"kernel 0", [](FileBuilder& b) { b.set("kernel", "0"); },
         "weight file has an unparsable value for kernel"},
        {"n_grid 0", [](FileBuilder& b) { b.set("n_grid", "0"); },
         "weight file has an unparsable value for n_grid"},
        {"n_grid huge", [](FileBuilder& b) { b.set("n_grid", "4294967295"); },
         "weight file has an unparsable value for n_grid"},
        {"kernel larger than stored", [](FileBuilder& b) { b.set("kernel", "7"); },
         "tensor w.stem.weight has 240 elements, expected 336"},
        {"channels larger than stored", [](FileBuilder& b) { b.set("channels", "24"); },
         "tensor w.stem.weight has shape (16, 3, 5), expected (24, 3, 5)"},
        {"conv weight short",
         [](FileBuilder& b) {
             b.f32("w.blocks.1.conv2.weight", {16, 16, 4}, std::vector<double>(16 * 16 * 4));
         },
         "tensor w.blocks.1.conv2.weight has 1024 elements, expected 1280"},
        {"conv weight scalar", [](FileBuilder& b) { b.f32("w.blocks.0.conv1.weight", {}, {1.0}); },
         "tensor w.blocks.0.conv1.weight has shape (), expected (16, 16, 5)"},
        {"conv bias short",
         [](FileBuilder& b) { b.f32("w.stem.bias", {15}, std::vector<double>(15)); },
         "tensor w.stem.bias has 15 elements, expected 16"},
        {"norm scale short",
         [](FileBuilder& b) { b.f32("w.blocks.3.norm2.weight", {8}, std::vector<double>(8)); },
         "tensor w.blocks.3.norm2.weight has 8 elements, expected 16"},
        {"dense weight flat",
         [](FileBuilder& b) { b.f32("w.head.2.weight", {4096}, std::vector<double>(4096)); },
         "tensor w.head.2.weight has shape (4096), expected (rows, 64)"},
        {"dense weight short",
         [](FileBuilder& b) {
             // 65536·64·1024 = 2^32 wraps to a one-value record
             b.f32("w.head.2.weight", {65536, 64, 1024}, {0.0});
         },
         "tensor w.head.2.weight has 1 elements, expected 4194304"},
        {"dense bias short",
         [](FileBuilder& b) { b.f32("w.head.4.bias", {5}, std::vector<double>(5)); },
         "tensor w.head.4.bias has 5 elements, expected 6"},
        {"head output below P",
         [](FileBuilder& b) {
             b.f32("w.head.4.weight", {2, 64}, std::vector<double>(128));
             b.f32("w.head.4.bias", {2}, {0, 0});
         },
         "tensor w.head.4.weight has shape (2, 64), expected at least 3 rows"},
        {"target_std short",
         [](FileBuilder& b) {
             b.f32("target_std", {2}, {1, 1});
         },
         "tensor target_std has 2 elements, expected 3"},
        {"tables short",
         [](FileBuilder& b) {
             b.f32("target_mean", {2}, {0, 0});
             b.f32("scaling", {2, 4}, {1, 0, 0, -1, 1, 0, 0, -1});
         },
         "tensor target_mean has 2 elements, expected 3"},
        {"log_params short", [](FileBuilder& b) { b.f32("log_params", {}, {1}); },
         "tensor log_params has 1 elements, expected 3"},
        {"alpha index out of range",
         [](FileBuilder& b) {
             b.f32("scaling", {3, 4}, {1, 0, 0, -1, 1, 0, 0, -1, -1, 0, -1, 3});
         },
         "weight file has an unparsable value for scaling"},
        {"alpha bounds reversed", [](FileBuilder& b) { b.set("alpha_min", "2"); },
         "weight file has an unparsable value for alpha_min"},
    };
    const auto freqs = log_frequencies(20, 0.0, 4.0);
    const auto z = rc_spectrum(freqs, 1.0, 10.0, 1e-4);
    for (const Mutation& m : cases) {
        FileBuilder b = network_file({});
        m.apply(b);
        const WeightFile f = load(b);
        const auto status = check_network_shapes(f);
        ASSERT_FALSE(status.ok()) << m.what;
        EXPECT_EQ(status.error().message(), m.message) << m.what;
        EXPECT_EQ(infer_message(f, freqs, z), m.message) << m.what;
    }
    EXPECT_TRUE(check_network_shapes(load(network_file({}))).ok());
}

// Files that read nothing out of bounds but would hold the interpreter lock
// for minutes: no channels with 2^32 − 1 groups (every group empty, so any
// count divides 0; 125 s per guess) and a million-point grid (10 s). Refused
// from the metadata, before a tensor is looked at.
TEST(NetworkInference, WorkBeyondTheLimitIsRefusedBeforeRunning) {
    FileBuilder empty = network_file({});
    empty.set("channels", "0").set("groups", "4294967295");
    auto zero_width = [&](const std::string& layer, std::uint32_t c_in) {
        empty.f32(layer + ".weight", {0, c_in, 5}, {0.0}).f32(layer + ".bias", {0}, {0.0});
    };
    zero_width("w.stem", 3);
    for (int b = 0; b < 4; ++b) {
        const std::string block = "w.blocks." + std::to_string(b) + ".";
        zero_width(block + "conv1", 0);
        zero_width(block + "conv2", 0);
        empty.f32(block + "norm1.weight", {0}, {0.0}).f32(block + "norm1.bias", {0}, {0.0});
        empty.f32(block + "norm2.weight", {0}, {0.0}).f32(block + "norm2.bias", {0}, {0.0});
    }
    empty.f32("w.head.0.weight", {64, 2}, std::vector<double>(128));
    EXPECT_EQ(check_network_shapes(load(empty)).error().message(),
              "weight file has an unparsable value for channels");
    FileBuilder wide_groups = network_file({});
    wide_groups.set("groups", "32");
    EXPECT_EQ(check_network_shapes(load(wide_groups)).error().message(),
              "weight file has an unparsable value for groups");

    // Ch 16, K 5, four blocks: 512 + 16·(5·(3 + 2·4·16) + 64·4) = 15088 per
    // grid point, so the 2^29 limit falls between 35582 and 35583 points.
    const auto freqs = log_frequencies(20, 0.0, 4.0);
    const auto z = rc_spectrum(freqs, 1.0, 10.0, 1e-4);
    FileBuilder long_grid = network_file({});
    long_grid.set("n_grid", "1000000");
    EXPECT_EQ(infer_message(load(long_grid), freqs, z),
              "weight file has an unparsable value for network size: one guess would take "
              "1.5088e10 operations, more than the limit of 5.36870912e8");
    long_grid.set("n_grid", "35583");
    EXPECT_FALSE(check_network_shapes(load(long_grid)).ok());
    long_grid.set("n_grid", "35582");
    EXPECT_TRUE(check_network_shapes(load(long_grid)).ok());
}

TEST(NetworkInference, UnusualButSafeShapesAreAccepted) {
    const auto freqs = log_frequencies(20, 0.0, 4.0);
    const auto z = rc_spectrum(freqs, 1.0, 10.0, 1e-4);
    // Extra head rows, a longer bias, one grid point, even kernels, one group.
    NetworkShape s;
    s.n_grid = 1;
    s.kernel = 4;
    s.groups = 1;
    s.dilations = {3};
    FileBuilder b = network_file(s);
    b.f32("w.stem.bias", {20}, std::vector<double>(20, 0.25));
    b.f32("target_mean", {4}, {0, 0, 0, 0});
    b.f32("scaling", {4, 4}, std::vector<double>(16, 0.0));
    auto r = infer(load(b), freqs, z);
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_EQ(r->size(), 3u);
    for (const double v : *r) EXPECT_TRUE(std::isfinite(v));
}

// --- de-normalisation and re-scaling ------------------------------------

// With every head.4 weight zero the outputs are the head.4 biases whatever
// the spectrum, which pins the de-normalisation down exactly.
TEST(NetworkInference, DenormalisationClampAndRescaling) {
    NetworkShape s;
    s.names = {"R0.r", "C1.c", "CPE1.q", "CPE1.alpha", "W1.aw", "CPE2.alpha", "CPE3.alpha"};
    FileBuilder b = network_file(s);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    b.f32("w.head.4.weight", {14, 64}, std::vector<double>(14 * 64, 0.0));
    std::vector<double> bias = {0.5, -1.0, 1.0, 0.125, 2.0, 3.0, nan};
    bias.resize(14, 123.0);
    b.f32("w.head.4.bias", {14}, bias);
    b.f32("target_mean", {7}, {1.0, 0.0, -4.0, 0.5, 0.0, 0.0, 0.0});
    b.f32("target_std", {7}, {2.0, 1.0, 1.0, 2.0, 1.0, -1.0, 1.0});
    b.f32("log_params", {7}, {1, 1, 1, 0, 1, 0, 0});
    b.f32("scaling", {7, 4}, {1,  0,   0,  -1,   // r
                              -1, -1,  0,  -1,   // c
                              -1, 0,   -1, 3,    // q with CPE1.alpha
                              0,  0,   0,  -1,   // alpha
                              1,  0.5, 0,  -1,   // aw
                              0,  0,   0,  -1,   //
                              -1, 0,   -1, 6});  // q-like row whose alpha is NaN
    const WeightFile f = load(b);

    const auto freqs = log_frequencies(50, -1.0, 6.0);
    const auto z = rc_spectrum(freqs, 10.0, 100.0, 1e-5);
    const SpectrumScales sc = reactive_centroid_scales(freqs, z);
    auto r = infer(f, freqs, z);
    ASSERT_TRUE(r.ok()) << r.error().message();
    const std::vector<double>& v = *r;
    ASSERT_EQ(v.size(), 7u);
    EXPECT_DOUBLE_EQ(v[0], 100.0 * sc.z_c);               // 10^(0.5·2 + 1)
    EXPECT_DOUBLE_EQ(v[1], 0.1 / (sc.z_c * sc.omega_c));  // 10^-1
    EXPECT_DOUBLE_EQ(v[2], 1e-3 / (sc.z_c * std::pow(sc.omega_c, 0.75)));
    EXPECT_EQ(v[3], 0.75);  // 0.125·2 + 0.5, inside bounds
    EXPECT_DOUBLE_EQ(v[4], 100.0 * sc.z_c * std::sqrt(sc.omega_c));
    EXPECT_EQ(v[5], 0.05);          // −3 clamped up to alpha_min
    EXPECT_TRUE(std::isnan(v[6]));  // NaN is not clamped

    b.set("alpha_max", "0.5");
    auto clamped = infer(load(b), freqs, z);
    ASSERT_TRUE(clamped.ok());
    EXPECT_EQ((*clamped)[3], 0.5);
    EXPECT_DOUBLE_EQ((*clamped)[2], 1e-3 / (sc.z_c * std::pow(sc.omega_c, 0.5)));
}

TEST(NetworkInference, ResultDoesNotDependOnInputOrder) {
    const auto freqs = log_frequencies(40, -1.0, 5.0);
    const auto z = rc_spectrum(freqs, 5.0, 60.0, 2e-5);
    std::vector<double> rf(freqs.rbegin(), freqs.rend());
    std::vector<Cplx> rz(z.rbegin(), z.rend());
    const WeightFile f = load(network_file({}));
    auto a = infer(f, freqs, z);
    auto b = infer(f, rf, rz);
    ASSERT_TRUE(a.ok() && b.ok());
    // The scale sums run in input order, so allow for their rounding.
    for (std::size_t i = 0; i < a->size(); ++i)
        EXPECT_NEAR((*a)[i], (*b)[i], 1e-9 * std::abs((*a)[i]));
}

// --- cross-check against the NumPy reference ---------------------------

struct ReferenceCase {
    std::string file, label;
    std::vector<double> freqs;
    std::vector<Cplx> z;
    std::vector<double> expected;
};

std::vector<ReferenceCase> read_reference_cases(const std::filesystem::path& path) {
    std::vector<ReferenceCase> cases;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream head(line);
        std::string tag;
        head >> tag;
        if (tag != "case") continue;
        ReferenceCase c;
        std::size_t n = 0;
        head >> c.file >> c.label >> n;
        for (std::size_t i = 0; i < n && std::getline(in, line); ++i) {
            std::istringstream row(line);
            std::string f, re, im;
            row >> f >> re >> im;
            c.freqs.push_back(std::strtod(f.c_str(), nullptr));
            c.z.push_back({std::strtod(re.c_str(), nullptr), std::strtod(im.c_str(), nullptr)});
        }
        std::getline(in, line);
        std::istringstream expect(line);
        expect >> tag;
        std::string v;
        while (expect >> v) c.expected.push_back(std::strtod(v.c_str(), nullptr));
        cases.push_back(std::move(c));
    }
    return cases;
}

TEST(NetworkInference, AgreesWithTheNumpyReference) {
    const auto data = std::filesystem::path(__FILE__).parent_path() / "data";
    const auto cases = read_reference_cases(data / "reference_cases.txt");
    ASSERT_EQ(cases.size(), 12u);
    for (const ReferenceCase& c : cases) {
        auto file = read_weight_file((data / c.file).string());
        ASSERT_TRUE(file.ok()) << file.error().message();
        auto got = infer(*file, c.freqs, c.z);
        ASSERT_TRUE(got.ok()) << c.label << ": " << got.error().message();
        ASSERT_EQ(got->size(), c.expected.size()) << c.label;
        for (std::size_t i = 0; i < got->size(); ++i) {
            const double want = c.expected[i];
            EXPECT_LE(std::abs((*got)[i] - want), 1e-12 * std::abs(want))
                << c.file << " " << c.label << " output " << i << ": " << (*got)[i] << " vs "
                << want;
        }
    }
}

}  // namespace
}  // namespace korvane
