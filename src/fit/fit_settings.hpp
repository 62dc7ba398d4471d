#pragma once
// Every setting of a fit as Circuit.fit's arguments give it. Each method
// reads only its own fields.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace korvane {

struct FitSettings {
    std::string method = "levenberg_marquardt";
    // Python's max_iterations: LM evaluation budget per unknown (0 → 1).
    std::size_t lm_eval_budget = 200;
    double ftol = 1e-8;  // LM: relative reduction of ½‖r‖²
    double xtol = 1e-8;  // LM: relative step ‖D·p‖ / ‖D·x‖
    // Derivative-free methods.
    std::size_t num_particles = 200;
    std::uint64_t generations = 1000;
    std::uint64_t nelder_mead_iterations = 2000;
    std::size_t de_evaluations = 20000;
    std::uint64_t sa_iterations = 5000;
    double sa_initial_temperature = 2.0;
    std::size_t basin_hopping_hops = 20;
    double basin_hopping_step_size = 1.0;
    double basin_hopping_temperature = 1.0;
    std::optional<std::uint64_t> seed;
};

}  // namespace korvane
