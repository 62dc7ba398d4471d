// Exact Levenberg–Marquardt parameter search.
//
// Reference: J. J. Moré, "The Levenberg–Marquardt algorithm: implementation
// and theory", Lecture Notes in Mathematics 630 (1978) 105–116; MINPACK-1
// routine lmpar (ANL-80-74, 1980).
//
// φ(λ) = ‖D·z(λ)‖ − Δ is convex and decreasing in λ. Newton's method on the
// equivalent 1/‖D·z‖ − 1/Δ = 0 gives the correction
//     λ⁺ = λ + (φ/Δ) / ‖w‖²,   w = S⁻ᵀ·(Pᵀ·D·(D·z)/‖D·z‖),
// safeguarded inside [parl, paru]:
//     parl = φ(0) / (Δ·‖R⁻ᵀPᵀD(Dz)/‖Dz‖‖²)   (when R is nonsingular, else 0),
//     paru = ‖D⁻¹Jᵀr‖ / Δ.

#include "fit/lm/lm_parameter.hpp"

#include <algorithm>
#include <cmath>

#include "fit/lm/euclidean_norm.hpp"
#include "runtime/numeric.hpp"

namespace korvane {
namespace {

constexpr int kMaxRefinements = 10;

// ‖D·z‖ with D·z kept in `scaled_z` for the Newton and lower-bound vectors.
double scaled_norm(std::span<const double> d, std::span<const double> z,
                   std::span<double> scaled_z) {
    for (std::size_t j = 0; j < z.size(); ++j) scaled_z[j] = d[j] * z[j];
    return euclidean_norm(scaled_z);
}

// v_j = D_{perm(j)}·((D·z)_{perm(j)} / ‖D·z‖): the gradient of ‖D·z‖ with
// respect to z, scaled by D and taken to pivoted order.
void unit_scaled_direction(const TrustRegionInput& in, std::span<const double> scaled_z,
                           double dz_norm, std::span<double> v) {
    for (std::size_t j = 0; j < v.size(); ++j) {
        const std::size_t l = in.perm[j];
        v[j] = in.d[l] * (scaled_z[l] / dz_norm);
    }
}

// Gauss–Newton direction: R·y = qtf on the leading block up to the first zero
// diagonal (later components 0), un-permuted into z. Returns that block size.
std::size_t gauss_newton(const TrustRegionInput& in, std::span<double> z, std::span<double> y) {
    const std::size_t n = y.size();
    std::size_t rank = n;
    for (std::size_t j = 0; j < n; ++j) {
        y[j] = in.qtf[j];
        if (in.r(j, j) == 0.0 && rank == n) rank = j;
        if (rank < n) y[j] = 0.0;
    }
    // Column-oriented back substitution.
    for (std::size_t step = 0; step < rank; ++step) {
        const std::size_t j = rank - 1 - step;
        y[j] /= in.r(j, j);
        const double yj = y[j];
        for (std::size_t i = 0; i < j; ++i) y[i] -= in.r(i, j) * yj;
    }
    for (std::size_t j = 0; j < n; ++j) z[in.perm[j]] = y[j];
    return rank;
}

}  // namespace

double solve_trust_region_subproblem(const TrustRegionInput& in, double lambda, std::span<double> z,
                                     const LmParameterWork& work) {
    const std::size_t n = z.size();
    const double radius = in.radius;
    std::span<double> v = work.solve_vector;

    const std::size_t rank = gauss_newton(in, z, v);
    double dz_norm = scaled_norm(in.d, z, work.scaled_z);
    double phi = dz_norm - radius;
    if (phi <= 0.1 * radius) return 0.0;

    // Lower bound from one Newton step at λ = 0 (valid only for full rank,
    // where φ'(0) exists): parl = −φ(0)/φ'(0).
    double lower = 0.0;
    if (rank == n) {
        unit_scaled_direction(in, work.scaled_z, dz_norm, v);
        for (std::size_t j = 0; j < n; ++j) {
            double sum = 0.0;
            for (std::size_t i = 0; i < j; ++i) sum += in.r(i, j) * v[i];
            v[j] = (v[j] - sum) / in.r(j, j);
        }
        const double v_norm = euclidean_norm(v);
        lower = ((phi / radius) / v_norm) / v_norm;
    }

    // Upper bound: ‖z(λ)‖_D ≤ ‖D⁻¹Jᵀr‖/λ, so λ = ‖D⁻¹Jᵀr‖/Δ is large enough.
    for (std::size_t j = 0; j < n; ++j) {
        double sum = 0.0;
        for (std::size_t i = 0; i <= j; ++i) sum += in.r(i, j) * in.qtf[i];
        v[j] = sum / in.d[in.perm[j]];
    }
    const double gradient_norm = euclidean_norm(v);
    double upper = gradient_norm / radius;
    if (upper == 0.0) upper = kDwarf / std::min(radius, 0.1);

    lambda = std::max(lambda, lower);
    lambda = std::min(lambda, upper);
    if (lambda == 0.0) lambda = gradient_norm / dz_norm;

    std::span<double> scaled_diag = v;  // √λ·D, by original column
    for (int refinement = 1;; ++refinement) {
        if (lambda == 0.0) lambda = std::max(kDwarf, 0.001 * upper);
        const double root_lambda = std::sqrt(lambda);
        for (std::size_t j = 0; j < n; ++j) scaled_diag[j] = root_lambda * in.d[j];
        solve_regularised(in.r, in.perm, scaled_diag, in.qtf, z, work.s_diag, work.solve);

        dz_norm = scaled_norm(in.d, z, work.scaled_z);
        const double previous_phi = phi;
        phi = dz_norm - radius;
        // Converged; or, without a lower bound, φ is already negative and no
        // longer increasing, so λ only needs to come down and 0 would do; or
        // the refinement budget is spent.
        if (std::fabs(phi) <= 0.1 * radius ||
            (lower == 0.0 && phi <= previous_phi && previous_phi < 0.0) ||
            refinement == kMaxRefinements) {
            break;
        }

        // Newton correction through Sᵀ·w = v (Sᵀ is stored in r's lower triangle).
        std::span<double> w = v;
        unit_scaled_direction(in, work.scaled_z, dz_norm, w);
        for (std::size_t j = 0; j < n; ++j) {
            w[j] /= work.s_diag[j];
            const double wj = w[j];
            for (std::size_t i = j + 1; i < n; ++i) w[i] -= in.r(i, j) * wj;
        }
        const double w_norm = euclidean_norm(w);
        const double correction = ((phi / radius) / w_norm) / w_norm;

        if (phi < 0.0) {
            upper = std::min(upper, lambda);
        } else {
            lower = std::max(lower, lambda);
        }
        lambda = std::max(lower, lambda + correction);
    }
    return lambda;
}

}  // namespace korvane
