#pragma once
// Self-adaptive differential evolution (DE/rand/1/bin with per-individual
// CR and F, "jDE") in single precision.
//
// References: R. Storn and K. Price, "Differential evolution — a simple and
// efficient heuristic for global optimization over continuous spaces",
// J. Global Optim. 11 (1997) 341–359; J. Brest et al., "Self-adapting control
// parameters in differential evolution: a comparative study on numerical
// benchmark problems", IEEE Trans. Evol. Comput. 10 (2006) 646–657.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "fit/objective.hpp"
#include "fit/search/global_search.hpp"
#include "runtime/result.hpp"

namespace korvane {

// Marsaglia's xorshift128 ("Xorshift RNGs", J. Stat. Softw. 8 (2003)) on
// four 32-bit words, never all zero.
class Xorshift128 {
  public:
    explicit Xorshift128(const std::array<std::uint32_t, 4>& words);
    // Four words from the operating system, redrawn while all are zero.
    static Result<Xorshift128> from_os();

    std::uint32_t next_u32();
    // The low 23 bits as the mantissa of a float in [1, 2), minus 1.
    float unit();
    // a + (b − a)·unit()
    float uniform(float a, float b);
    // Uniform in [0, k) by rejection from the largest multiple of k below 2³² − 1.
    std::uint32_t below(std::uint32_t k);

  private:
    std::uint32_t x_, y_, z_, w_;
};

// Ten independent runs of max(evaluations, 1) cost evaluations each over
// the box of search_box(p0) rounded to floats; the best of the runs by
// their cost recomputed in double precision. The iteration count is the
// number of search evaluations (ten times the per-run budget). Takes no seed:
// each run seeds its generator from the operating system.
// Reads de_evaluations.
Result<SearchOutcome> differential_evolution(const Objective& objective, std::span<const double> p0,
                                             const FitSettings& settings);

}  // namespace korvane
