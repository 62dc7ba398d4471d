// Time of one network inference (preprocessing, forward pass, de-normalisation)
// on the calling thread, for the three network widths the bundled models use:
// Ch = 16, 32, 64 with H = 4·Ch, P = 5, n_grid 64, kernel 5, groups 8,
// dilations 1,2,4,8 and random weights built in memory. Prints the
// multiply-add count of one pass and the rate as GFLOP/s (2 flops per
// multiply-add); the target is ≥ 4 GFLOP/s single-threaded.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "nn/network.hpp"
#include "nn/weight_file.hpp"

using namespace korvane;

namespace {

WeightFile random_file(std::uint32_t ch, std::mt19937_64& rng) {
    const std::uint32_t k = 5, head = 4 * ch, p = 5;
    std::normal_distribution<double> normal(0.0, 1.0);
    WeightFile f;
    f.circuit = "R0-(R1-W1,CPE1)";
    f.param_names = {"R0.r", "R1.r", "W1.aw", "CPE1.q", "CPE1.alpha"};
    f.n_grid = 64;
    f.channels = ch;
    f.kernel = k;
    f.groups = 8;
    f.dilations = {1, 2, 4, 8};
    f.alpha_min = 0.05;
    f.alpha_max = 1.0;
    f.target_mean = {0, 0, 0, -4, 0.8};
    f.target_std = {1, 1, 1, 1, 0.1};
    f.log_params = {true, true, true, true, false};
    f.scaling = {{1, 0, 0, -1}, {1, 0, 0, -1}, {1, 0.5, 0, -1}, {-1, 0, -1, 4}, {0, 0, 0, -1}};
    auto add = [&](const std::string& name, std::vector<std::uint32_t> shape, double scale,
                   double offset) {
        std::size_t n = 1;
        for (const auto d : shape) n *= d;
        Tensor t{std::move(shape), std::vector<double>(n)};
        // Weights as binary16 would store them: rounded to 11 significant bits.
        for (double& v : t.values) {
            int e;
            const double m = std::frexp(offset + scale * normal(rng), &e);
            v = std::ldexp(std::round(m * 2048.0) / 2048.0, e);
        }
        f.tensors[name] = std::move(t);
    };
    auto conv = [&](const std::string& name, std::uint32_t c_in) {
        add(name + ".weight", {ch, c_in, k}, 1.0 / std::sqrt(double(c_in * k)), 0.0);
        add(name + ".bias", {ch}, 0.1, 0.0);
    };
    auto norm = [&](const std::string& name) {
        add(name + ".weight", {ch}, 0.1, 1.0);
        add(name + ".bias", {ch}, 0.1, 0.0);
    };
    auto dense = [&](const std::string& name, std::uint32_t rows, std::uint32_t cols) {
        add(name + ".weight", {rows, cols}, 1.0 / std::sqrt(double(cols)), 0.0);
        add(name + ".bias", {rows}, 0.1, 0.0);
    };
    conv("w.stem", 3);
    for (int b = 0; b < 4; ++b) {
        const std::string pre = "w.blocks." + std::to_string(b) + ".";
        conv(pre + "conv1", ch);
        norm(pre + "norm1");
        conv(pre + "conv2", ch);
        norm(pre + "norm2");
    }
    dense("w.head.0", head, 2 * ch + 2);
    dense("w.head.2", head, head);
    dense("w.head.4", 2 * p, head);
    return f;
}

// Multiply-adds of one pass: nominal (every tap at every position) and
// executed (taps that fall on the zero padding are not computed).
struct MaddCount {
    double nominal = 0, executed = 0;
};

MaddCount count_madds(const WeightFile& f) {
    const double L = f.n_grid, ch = f.channels, k = f.kernel;
    MaddCount c;
    auto conv = [&](double c_in, std::uint64_t d) {
        const std::int64_t pad = static_cast<std::int64_t>(d * (f.kernel - 1) / 2);
        double valid = 0;
        for (std::uint32_t tap = 0; tap < f.kernel; ++tap) {
            const std::int64_t shift = static_cast<std::int64_t>(tap * d) - pad;
            valid += static_cast<double>(std::max<std::int64_t>(0, f.n_grid - std::llabs(shift)));
        }
        c.nominal += ch * c_in * k * L;
        c.executed += ch * c_in * valid;
    };
    conv(3, 1);
    for (const auto d : f.dilations) conv(ch, d), conv(ch, d);
    const double h = 4 * ch;
    const double head = h * (2 * ch + 2) + h * h + 10 * h;
    c.nominal += head;
    c.executed += head;
    return c;
}

}  // namespace

int main() {
    std::mt19937_64 rng(42);
    // A Randles-like spectrum, 60 points over seven decades.
    std::vector<double> freqs;
    std::vector<Cplx> z;
    for (int i = 0; i < 60; ++i) {
        const double fr = std::pow(10.0, -2.0 + 7.0 * i / 59);
        const double w = 6.283185307179586 * fr;
        const Cplx zw{20.0 / std::sqrt(w), -20.0 / std::sqrt(w)};
        const Cplx branch = reciprocal(reciprocal(Cplx{50.0, 0.0} + zw) + Cplx{0.0, w * 1e-5});
        freqs.push_back(fr);
        z.push_back(Cplx{5.0, 0.0} + branch);
    }

    std::printf("%-4s %10s %10s %12s %12s %14s %12s\n", "Ch", "madds", "executed", "median/call",
                "best/call", "GFLOP/s median", "GFLOP/s best");
    for (const std::uint32_t ch : {16u, 32u, 64u}) {
        const WeightFile file = random_file(ch, rng);
        auto check = infer(file, freqs, z);
        if (!check) {
            std::printf("Ch %u: %s\n", ch, check.error().message().c_str());
            return 1;
        }
        const MaddCount madds = count_madds(file);

        using clock = std::chrono::steady_clock;
        std::vector<double> times;
        double sink = 0;
        const auto start = clock::now();
        while (std::chrono::duration<double>(clock::now() - start).count() < 1.0 ||
               times.size() < 20) {
            const auto t0 = clock::now();
            auto r = infer(file, freqs, z);
            times.push_back(std::chrono::duration<double>(clock::now() - t0).count());
            sink += (*r)[0];
        }
        std::sort(times.begin(), times.end());
        const double median = times[times.size() / 2], best = times.front();
        std::printf("%-4u %10.0f %10.0f %9.1f us %9.1f us %14.2f %12.2f\n", ch, madds.nominal,
                    madds.executed, median * 1e6, best * 1e6, 2.0 * madds.executed / median * 1e-9,
                    2.0 * madds.executed / best * 1e-9);
        if (!std::isfinite(sink)) std::printf("  (non-finite guess)\n");
    }
    std::printf("GFLOP/s = 2 x executed multiply-adds / time per call (target >= 4); the machine\n"
                "is shared, so the best call is the closer estimate of the kernel's own speed\n");
    return 0;
}
