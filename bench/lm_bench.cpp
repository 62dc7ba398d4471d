// Time of one Levenberg–Marquardt run through the C++ objective: the Randles
// circuit "R0-(R1-W1,CPE1)" fitted to a 60-point spectrum (100 kHz .. 10 mHz,
// ±0.5 % deterministic proportional noise) from a fixed start, in search
// coordinates, with ftol = xtol = gtol = 1e-8 and an evaluation budget of
// 200·(n+1). The Jacobian of every outer iteration runs on the worker pool.
//
//   lm_bench [--min-time SECONDS]   time the run, print seconds per run and cost
//   lm_bench --data                 print the spectrum, start and bounds (for
//                                   bench/lm_vs_scipy.py, which fits the same data)
//
// Output lines are "key value..." so that scripts can read them. Besides the
// wall time per run, the process CPU time per run (worker threads included)
// and the share spent inside the objective's evaluations are printed, so the
// solver's own cost can be told apart from the circuit evaluation's.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/params.hpp"
#include "fit/lm/lm.hpp"
#include "fit/objective.hpp"
#include "fit/search_problem.hpp"
#include "fit/search_space.hpp"

using namespace korvane;

namespace {

constexpr const char* kCircuit = "R0-(R1-W1,CPE1)";
constexpr std::size_t kPoints = 60;
// R0.r, R1.r, W1.aw, CPE1.q, CPE1.alpha
const std::vector<double> kTruth = {12.0, 85.0, 40.0, 2.5e-5, 0.82};
const std::vector<double> kStart = {20.0, 40.0, 15.0, 1e-4, 0.7};

struct Spectrum {
    std::vector<double> f;
    std::vector<Cplx> z;
};

Spectrum make_spectrum(const Circuit& truth) {
    Spectrum s;
    for (std::size_t i = 0; i < kPoints; ++i) {
        // 100 kHz down to 10 mHz, evenly in log f.
        s.f.push_back(std::pow(10.0, 5.0 - 7.0 * double(i) / double(kPoints - 1)));
    }
    const std::vector<Cplx> clean = impedance_over_frequencies(truth, s.f).value();
    for (std::size_t i = 0; i < kPoints; ++i) {
        // Fixed, reproducible noise in [−0.5 %, 0.5 %] on each part.
        const double u = 0.005 * std::sin(1.7 * double(i) + 0.3);
        const double v = 0.005 * std::cos(2.9 * double(i) + 1.1);
        s.z.push_back(Cplx{clean[i].re * (1.0 + u), clean[i].im * (1.0 + v)});
    }
    return s;
}

// Forwards to the search-space problem and adds up the wall time spent in it.
class TimedProblem final : public LmProblem {
  public:
    explicit TimedProblem(SearchProblem& inner) : inner_(inner) {}

    std::span<const double> point() const override { return inner_.point(); }
    std::size_t residual_count() const override { return inner_.residual_count(); }
    void move_to(std::span<const double> x) override { inner_.move_to(x); }
    bool residuals(std::span<double> out) override {
        const auto begin = std::chrono::steady_clock::now();
        const bool ok = inner_.residuals(out);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        return ok;
    }
    std::optional<JacobianShape> jacobian(MatrixView out) override {
        const auto begin = std::chrono::steady_clock::now();
        const std::optional<JacobianShape> shape = inner_.jacobian(out);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        return shape;
    }

    double seconds = 0.0;

  private:
    SearchProblem& inner_;
};

double process_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

LmConfig bench_config() {
    LmConfig config;
    config.ftol = config.xtol = config.gtol = 1e-8;
    config.eval_budget = 200;
    return config;
}

}  // namespace

int main(int argc, char** argv) {
    double min_time = 1.0;
    bool print_data = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--data") == 0) {
            print_data = true;
        } else if (std::strcmp(argv[i], "--min-time") == 0 && i + 1 < argc) {
            min_time = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: lm_bench [--min-time SECONDS] | --data\n");
            return 2;
        }
    }

    const Circuit parsed = std::get<Circuit>(parse_circuit(kCircuit));
    const Circuit truth = with_values(parsed, kTruth).value();
    const Spectrum s = make_spectrum(truth);
    const Objective objective = Objective::build(parsed, s.f, s.z, WeightScheme::Modulus).value();
    const std::vector<double> x0 = to_search_space(kStart, objective.bounds());

    if (print_data) {
        std::printf("circuit %s\n", kCircuit);
        std::printf("start");
        for (double p : kStart) std::printf(" %.17g", p);
        std::printf("\n");
        for (std::size_t i = 0; i < kPoints; ++i) {
            std::printf("point %.17g %.17g %.17g\n", s.f[i], s.z[i].re, s.z[i].im);
        }
        return 0;
    }

    // One untimed run warms the pool and the caches.
    Result<LmOutcome> outcome = minimise_in_search_space(objective, x0, {}, bench_config());
    if (!outcome.ok()) {
        std::fprintf(stderr, "fit failed: %s\n", outcome.error().message.c_str());
        return 1;
    }

    using Clock = std::chrono::steady_clock;
    std::size_t runs = 0;
    const std::uint64_t evaluations_before = objective.evaluations();
    const double cpu_begin = process_cpu_seconds();
    const Clock::time_point begin = Clock::now();
    double elapsed = 0.0;
    do {
        outcome = minimise_in_search_space(objective, x0, {}, bench_config());
        ++runs;
        elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    } while (elapsed < min_time);
    const double cpu = process_cpu_seconds() - cpu_begin;
    const std::uint64_t evaluations = objective.evaluations() - evaluations_before;

    // Separately: how much of a run is spent evaluating the objective.
    double evaluation_seconds = 0.0, timed_total = 0.0;
    for (std::size_t k = 0; k < runs; ++k) {
        SearchProblem inner(objective, x0);
        TimedProblem timed(inner);
        const Clock::time_point run_begin = Clock::now();
        (void)minimise_lm(timed, bench_config());
        timed_total += std::chrono::duration<double>(Clock::now() - run_begin).count();
        evaluation_seconds += timed.seconds;
    }

    const LmReport& report = outcome->report;
    const std::vector<double> p = from_search_space(outcome->x, objective.bounds());
    std::printf("runs %zu\n", runs);
    std::printf("seconds_per_fit %.6e\n", elapsed / double(runs));
    std::printf("cpu_seconds_per_fit %.6e\n", cpu / double(runs));
    std::printf("objective_evaluations_per_fit %.1f\n", double(evaluations) / double(runs));
    std::printf("evaluation_share %.4f\n", evaluation_seconds / timed_total);
    std::printf("final_cost %.17g\n", report.cost);
    std::printf("nfev %llu\n", static_cast<unsigned long long>(report.nfev));
    std::printf("stop %s\n", report.stop.describe().c_str());
    std::printf("params");
    for (double v : p) std::printf(" %.10g", v);
    std::printf("\n");
    return 0;
}
