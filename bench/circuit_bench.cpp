// Circuit evaluation speed: nanoseconds per frequency point on one thread,
// heap allocations inside the per-point loop (counted by replacing the global
// operator new), the same for the block-wise spectrum evaluation that the
// objective uses, and the worker pool's speed-up over a sequential loop.
//
//   circuit_bench [seconds-per-measurement]   (default 0.3)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "circuit/batch_eval.hpp"
#include "circuit/circuit.hpp"
#include "circuit/params.hpp"
#include "runtime/pool.hpp"

namespace {
std::atomic<std::size_t> g_allocations{0};
}

void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using korvane::Circuit;
using korvane::Cplx;
using Clock = std::chrono::steady_clock;

Circuit parse(const char* text) {
    auto r = korvane::parse_circuit(text);
    if (auto* e = std::get_if<korvane::ParseError>(&r)) {
        std::fprintf(stderr, "%s\n", e->message().c_str());
        std::exit(1);
    }
    return std::get<Circuit>(std::move(r));
}

std::vector<double> log_frequencies(std::size_t n) {
    std::vector<double> f(n);
    for (std::size_t i = 0; i < n; ++i) {
        f[i] = std::pow(10.0, -2.0 + 7.0 * static_cast<double>(i) / static_cast<double>(n));
    }
    return f;
}

void sequential(const Circuit& c, const std::vector<double>& f, Cplx* out) {
    for (std::size_t i = 0; i < f.size(); ++i) {
        out[i] = korvane::circuit_impedance(c, korvane::kTwoPi * f[i]);
    }
}

// Best of repeated runs of fn within the time budget, in seconds.
template <class F>
double best_time(double budget, F&& fn) {
    double best = 1e300;
    const auto start = Clock::now();
    int runs = 0;
    do {
        const auto t0 = Clock::now();
        fn();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
        ++runs;
    } while (runs < 3 || std::chrono::duration<double>(Clock::now() - start).count() < budget);
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const double budget = argc > 1 ? std::atof(argv[1]) : 0.3;

    std::printf("single thread, one evaluation per frequency point (1000 log-spaced points)\n");
    const std::vector<double> f = log_frequencies(1000);
    std::vector<Cplx> out(f.size());
    for (const char* text : {"R0-(R1,C1)", "R0-(R1-W1,CPE1)", "R0-(R1,CPE1)-(R2-Wo2,CPE2)"}) {
        const Circuit c = parse(text);
        const std::size_t before = g_allocations.load();
        sequential(c, f, out.data());
        const std::size_t allocations = g_allocations.load() - before;
        const double t = best_time(budget, [&] { sequential(c, f, out.data()); });
        std::printf("  %-28s %8.1f ns/point   heap allocations in the %zu-point loop: %zu\n", text,
                    t / static_cast<double>(f.size()) * 1e9, f.size(), allocations);
    }

    std::printf("\nsingle thread, block-wise over the spectrum from a trial vector, as the objective"
                " evaluates (1000 points)\n");
    std::vector<double> omega(f.size());
    for (std::size_t i = 0; i < f.size(); ++i) omega[i] = korvane::kTwoPi * f[i];
    std::vector<double> re(korvane::SpectrumEvaluator::kBlock);
    std::vector<double> im(korvane::SpectrumEvaluator::kBlock);
    for (const char* text : {"R0-(R1,C1)", "R0-(R1-W1,CPE1)", "R0-(R1,CPE1)-(R2-Wo2,CPE2)"}) {
        const Circuit c = parse(text);
        const std::vector<double> trial = korvane::param_values(c);
        const korvane::SpectrumEvaluator evaluator(c, omega);
        // The same evaluation each time, so no memo: every block is computed.
        korvane::EvaluationCache cache(evaluator.shape(), korvane::EvaluationCache::Reuse::Off);
        const auto per_point = [&] {
            for (std::size_t i = 0; i < omega.size(); ++i) {
                out[i] = korvane::impedance_unchecked(c, trial.data(), omega[i]);
            }
        };
        const auto blocks = [&] {
            for (std::size_t b = 0; b < omega.size(); b += korvane::SpectrumEvaluator::kBlock) {
                const std::size_t n = std::min(korvane::SpectrumEvaluator::kBlock, omega.size() - b);
                evaluator.evaluate_block(trial, b, n, re.data(), im.data(), cache, 0);
            }
        };
        blocks();  // the cache's scratch is made on its first evaluation
        const std::size_t before = g_allocations.load();
        blocks();
        const std::size_t allocations = g_allocations.load() - before;
        const double t_point = best_time(budget, per_point);
        const double t_block = best_time(budget, blocks);
        const double scale = 1e9 / static_cast<double>(omega.size());
        std::printf("  %-28s per point %6.1f ns/point, block-wise %6.1f ns/point, ratio %5.2f"
                    "   heap allocations: %zu\n",
                    text, t_point * scale, t_block * scale, t_point / t_block, allocations);
    }

    std::printf("\nimpedance_over_frequencies (block-wise, worker pool of %zu workers) vs a sequential"
                " per-point loop, \"R0-(R1,CPE1)-(R2-Wo2,CPE2)\"\n",
                korvane::pool_size());
    const Circuit c = parse("R0-(R1,CPE1)-(R2-Wo2,CPE2)");
    for (const std::size_t n : {std::size_t{100000}, std::size_t{1000000}}) {
        const std::vector<double> fn = log_frequencies(n);
        std::vector<Cplx> seq(n);
        std::vector<Cplx> par(n);
        const double t_seq = best_time(budget, [&] { sequential(c, fn, seq.data()); });
        std::size_t before = g_allocations.load();
        const double t_par = best_time(budget, [&] {
            if (!korvane::impedance_over_frequencies(c, fn, par.data()).ok()) std::exit(1);
        });
        before = g_allocations.load();
        (void)korvane::impedance_over_frequencies(c, fn, par.data());
        const std::size_t pool_allocations = g_allocations.load() - before;
        const bool identical = std::memcmp(seq.data(), par.data(), n * sizeof(Cplx)) == 0;
        std::printf("  %7zu points: sequential %8.2f ms, pool %8.2f ms, speed-up %.2f"
                    "  (bit-identical: %s, heap allocations per call: %zu)\n",
                    n, t_seq * 1e3, t_par * 1e3, t_seq / t_par, identical ? "yes" : "NO",
                    pool_allocations);
    }
    return 0;
}
