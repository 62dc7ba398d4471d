#pragma once
// The 18 nonlinear least-squares test problems of
//   J. J. Moré, B. S. Garbow, K. E. Hillstrom, "Testing unconstrained
//   optimization software", ACM Trans. Math. Software 7 (1981) 17–41,
// numbered, scaled and started as in MINPACK's lmder test driver, with the
// driver's analytic Jacobians (expressions in the same evaluation order), and
// MINPACK's published lmder1 results for all 53 runs.

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "fit/lm/lm.hpp"

namespace korvane::mgh {

// One run of the reference table: problem, n, m, factor applied to x0, and
// MINPACK's nfev, info (1 ftol, 2 xtol, 3 both, 4 gradient, 5 maxfev) and
// final ‖r‖.
struct ReferenceRun {
    int problem;
    std::size_t n;
    std::size_t m;
    double factor;
    unsigned nfev;
    int info;
    double norm;
};

// Two runs per line, as MINPACK's table lists them.
// clang-format off
inline constexpr ReferenceRun kReferenceRuns[] = {
    {1, 5, 10, 1, 3, 3, 2.2360680e+00},     {1, 5, 50, 1, 3, 3, 6.7082039e+00},
    {2, 5, 10, 1, 3, 1, 1.4638501e+00},     {2, 5, 50, 1, 3, 1, 3.4826302e+00},
    {3, 5, 10, 1, 3, 1, 1.9097274e+00},     {3, 5, 50, 1, 3, 1, 3.6917294e+00},
    {4, 2, 2, 1, 21, 4, 0.0},               {4, 2, 2, 10, 8, 2, 0.0},
    {4, 2, 2, 100, 6, 2, 0.0},              {5, 3, 3, 1, 11, 2, 9.9365231e-17},
    {5, 3, 3, 10, 20, 2, 1.0446727e-19},    {5, 3, 3, 100, 19, 2, 3.4526556e-29},
    {6, 4, 4, 1, 500, 5, 3.3916607e-167},   {6, 4, 4, 10, 76, 4, 3.6588477e-37},
    {6, 4, 4, 100, 77, 4, 9.3192613e-35},   {7, 2, 2, 1, 14, 1, 6.9988752e+00},
    {7, 2, 2, 10, 19, 1, 6.9988752e+00},    {7, 2, 2, 100, 24, 1, 6.9988752e+00},
    {8, 3, 15, 1, 6, 1, 9.0635960e-02},     {8, 3, 15, 10, 37, 1, 4.1747687e+00},
    {8, 3, 15, 100, 14, 1, 4.1747687e+00},  {9, 4, 11, 1, 18, 1, 1.7535838e-02},
    {9, 4, 11, 10, 78, 1, 3.2052193e-02},   {9, 4, 11, 100, 500, 5, 1.7535838e-02},
    {10, 3, 16, 1, 126, 3, 9.3779451e+00},  {10, 3, 16, 10, 400, 5, 7.9509584e+02},
    {11, 6, 31, 1, 8, 1, 4.7829594e-02},    {11, 6, 31, 10, 14, 1, 4.7829594e-02},
    {11, 6, 31, 100, 15, 1, 4.7829594e-02}, {11, 9, 31, 1, 8, 3, 1.1831146e-03},
    {11, 9, 31, 10, 19, 1, 1.1831146e-03},  {11, 9, 31, 100, 19, 3, 1.1831146e-03},
    {11, 12, 31, 1, 10, 3, 2.1731040e-05},  {11, 12, 31, 10, 13, 2, 2.1731040e-05},
    {11, 12, 31, 100, 34, 2, 2.1731040e-05}, {12, 3, 10, 1, 7, 2, 2.8529818e-16},
    {13, 2, 10, 1, 21, 1, 1.1151779e+01},   {14, 4, 20, 1, 254, 1, 2.9295429e+02},
    {14, 4, 20, 10, 53, 1, 2.9295427e+02},  {14, 4, 20, 100, 237, 1, 2.9295431e+02},
    {15, 1, 8, 1, 1, 4, 1.8862380e+00},     {15, 1, 8, 10, 29, 1, 1.8842482e+00},
    {15, 1, 8, 100, 47, 1, 1.8842482e+00},  {15, 8, 8, 1, 39, 1, 5.9303236e-02},
    {15, 9, 9, 1, 12, 2, 1.2137434e-16},    {15, 10, 10, 1, 25, 1, 8.0647100e-02},
    {16, 10, 10, 1, 14, 2, 8.6625859e-15},  {16, 10, 10, 10, 13, 2, 5.0009355e-15},
    {16, 10, 10, 100, 22, 2, 5.3290705e-15}, {16, 30, 30, 1, 19, 2, 1.4827859e-13},
    {16, 40, 40, 1, 19, 2, 2.0245354e-13},  {17, 5, 33, 1, 18, 1, 7.3924926e-03},
    {18, 11, 65, 1, 16, 1, 2.0034404e-01},
};
// clang-format on

inline const char* problem_name(int problem) {
    static const char* const names[] = {
        "",
        "linear full rank",
        "linear rank 1",
        "linear rank 1 zero cols/rows",
        "Rosenbrock",
        "helical valley",
        "Powell singular",
        "Freudenstein-Roth",
        "Bard",
        "Kowalik-Osborne",
        "Meyer",
        "Watson",
        "Box 3-D",
        "Jennrich-Sampson",
        "Brown-Dennis",
        "Chebyquad",
        "Brown almost-linear",
        "Osborne 1",
        "Osborne 2",
    };
    return (problem >= 1 && problem <= 18) ? names[problem] : "?";
}

namespace data {
inline constexpr double kBardY[15] = {0.14, 0.18, 0.22, 0.25, 0.29, 0.32, 0.35, 0.39,
                                      0.37, 0.58, 0.73, 0.96, 1.34, 2.10, 4.39};
inline constexpr double kKowalikV[11] = {4.0,   2.0, 1.0,    0.5,    0.25,  0.167,
                                         0.125, 0.1, 0.0833, 0.0714, 0.0625};
inline constexpr double kKowalikY[11] = {0.1957, 0.1947, 0.1735, 0.16,   0.0844, 0.0627,
                                         0.0456, 0.0342, 0.0323, 0.0235, 0.0246};
inline constexpr double kMeyerY[16] = {34780.0, 28610.0, 23650.0, 19630.0, 16370.0, 13720.0,
                                       11540.0, 9744.0,  8261.0,  7030.0,  6005.0,  5147.0,
                                       4427.0,  3820.0,  3307.0,  2872.0};
inline constexpr double kOsborne1Y[33] = {
    0.844, 0.908, 0.932, 0.936, 0.925, 0.908, 0.881, 0.85,  0.818, 0.784, 0.751,
    0.718, 0.685, 0.658, 0.628, 0.603, 0.58,  0.558, 0.538, 0.522, 0.506, 0.49,
    0.478, 0.467, 0.457, 0.448, 0.438, 0.431, 0.424, 0.42,  0.414, 0.411, 0.406};
inline constexpr double kOsborne2Y[65] = {
    1.366, 1.191, 1.112, 1.013, 0.991, 0.885, 0.831, 0.847, 0.786, 0.725, 0.746, 0.679, 0.608,
    0.655, 0.616, 0.606, 0.602, 0.626, 0.651, 0.724, 0.649, 0.649, 0.694, 0.644, 0.624, 0.661,
    0.612, 0.558, 0.533, 0.495, 0.5,   0.423, 0.395, 0.375, 0.372, 0.391, 0.396, 0.405, 0.428,
    0.429, 0.523, 0.562, 0.607, 0.653, 0.672, 0.708, 0.633, 0.668, 0.645, 0.632, 0.591, 0.559,
    0.597, 0.625, 0.739, 0.71,  0.729, 0.72,  0.636, 0.581, 0.428, 0.292, 0.162, 0.098, 0.054};
}  // namespace data

// Standard starting point times `factor`; Watson's x0 = 0 is replaced by
// x_j = factor, as in the test driver.
inline void start_point(int problem, double factor, std::span<double> x) {
    const std::size_t n = x.size();
    auto set = [&](std::initializer_list<double> values) {
        std::size_t j = 0;
        for (double v : values) x[j++] = v;
    };
    switch (problem) {
        case 1:
        case 2:
        case 3:
            for (double& v : x) v = 1.0;
            break;
        case 4:
            set({-1.2, 1.0});
            break;
        case 5:
            set({-1.0, 0.0, 0.0});
            break;
        case 6:
            set({3.0, -1.0, 0.0, 1.0});
            break;
        case 7:
            set({0.5, -2.0});
            break;
        case 8:
            set({1.0, 1.0, 1.0});
            break;
        case 9:
            set({0.25, 0.39, 0.415, 0.39});
            break;
        case 10:
            set({0.02, 4000.0, 250.0});
            break;
        case 11:
            for (double& v : x) v = 0.0;
            break;
        case 12:
            set({0.0, 10.0, 20.0});
            break;
        case 13:
            set({0.3, 0.4});
            break;
        case 14:
            set({25.0, 5.0, -5.0, -1.0});
            break;
        case 15: {
            const double h = 1.0 / static_cast<double>(n + 1);
            for (std::size_t j = 0; j < n; ++j) x[j] = static_cast<double>(j + 1) * h;
            break;
        }
        case 16:
            for (double& v : x) v = 0.5;
            break;
        case 17:
            set({0.5, 1.5, -1.0, 0.01, 0.02});
            break;
        case 18:
            set({1.3, 0.65, 0.65, 0.7, 0.6, 3.0, 5.0, 7.0, 2.0, 4.5, 5.5});
            break;
        default:
            break;
    }
    if (factor == 1.0) return;
    if (problem == 11) {
        for (double& v : x) v = factor;
    } else {
        for (double& v : x) v *= factor;
    }
}

// f(x) into f (m values). x uses 1-based names in comments (x1 = x[0]).
inline void residuals(int problem, std::span<const double> x, std::span<double> f) {
    const std::size_t n = x.size();
    const std::size_t m = f.size();
    switch (problem) {
        case 1: {  // f_i = x_i − 2Σx/m − 1 (i ≤ n), −2Σx/m − 1 otherwise
            double sum = 0.0;
            for (double v : x) sum += v;
            const double t = 2.0 * sum / static_cast<double>(m) + 1.0;
            for (std::size_t i = 0; i < m; ++i) f[i] = i < n ? -t + x[i] : -t;
            break;
        }
        case 2: {  // f_i = i·Σ j·x_j − 1
            double sum = 0.0;
            for (std::size_t j = 0; j < n; ++j) sum += static_cast<double>(j + 1) * x[j];
            for (std::size_t i = 0; i < m; ++i) f[i] = static_cast<double>(i + 1) * sum - 1.0;
            break;
        }
        case 3: {  // f_i = (i−1)·Σ_{j=2}^{n−1} j·x_j − 1, f_m = −1
            double sum = 0.0;
            for (std::size_t j = 1; j + 1 < n; ++j) sum += static_cast<double>(j + 1) * x[j];
            for (std::size_t i = 0; i < m; ++i) f[i] = static_cast<double>(i) * sum - 1.0;
            f[m - 1] = -1.0;
            break;
        }
        case 4:
            f[0] = 10.0 * (x[1] - x[0] * x[0]);
            f[1] = 1.0 - x[0];
            break;
        case 5: {
            const double two_pi = 8.0 * std::atan(1.0);
            double theta = std::copysign(0.25, x[1]);
            if (x[0] > 0.0) theta = std::atan(x[1] / x[0]) / two_pi;
            if (x[0] < 0.0) theta = std::atan(x[1] / x[0]) / two_pi + 0.5;
            const double radius = std::sqrt(x[0] * x[0] + x[1] * x[1]);
            f[0] = 10.0 * (x[2] - 10.0 * theta);
            f[1] = 10.0 * (radius - 1.0);
            f[2] = x[2];
            break;
        }
        case 6: {
            const double a = x[1] - 2.0 * x[2];
            const double b = x[0] - x[3];
            f[0] = x[0] + 10.0 * x[1];
            f[1] = std::sqrt(5.0) * (x[2] - x[3]);
            f[2] = a * a;
            f[3] = std::sqrt(10.0) * (b * b);
            break;
        }
        case 7:
            f[0] = -13.0 + x[0] + ((5.0 - x[1]) * x[1] - 2.0) * x[1];
            f[1] = -29.0 + x[0] + ((1.0 + x[1]) * x[1] - 14.0) * x[1];
            break;
        case 8:
            for (std::size_t i = 0; i < 15; ++i) {
                const double u = static_cast<double>(i + 1);
                const double v = static_cast<double>(15 - i);
                const double w = i + 1 > 8 ? v : u;
                f[i] = data::kBardY[i] - (x[0] + u / (x[1] * v + x[2] * w));
            }
            break;
        case 9:
            for (std::size_t i = 0; i < 11; ++i) {
                const double v = data::kKowalikV[i];
                const double num = v * (v + x[1]);
                const double den = v * (v + x[2]) + x[3];
                f[i] = data::kKowalikY[i] - x[0] * num / den;
            }
            break;
        case 10:
            for (std::size_t i = 0; i < 16; ++i) {
                const double t = 5.0 * static_cast<double>(i + 1) + 45.0 + x[2];
                f[i] = x[0] * std::exp(x[1] / t) - data::kMeyerY[i];
            }
            break;
        case 11: {
            for (std::size_t i = 0; i < 29; ++i) {
                const double t = static_cast<double>(i + 1) / 29.0;
                double s1 = 0.0, dx = 1.0;
                for (std::size_t j = 1; j < n; ++j) {
                    s1 += static_cast<double>(j) * dx * x[j];
                    dx = t * dx;
                }
                double s2 = 0.0;
                dx = 1.0;
                for (std::size_t j = 0; j < n; ++j) {
                    s2 += dx * x[j];
                    dx = t * dx;
                }
                f[i] = s1 - s2 * s2 - 1.0;
            }
            f[29] = x[0];
            f[30] = x[1] - x[0] * x[0] - 1.0;
            break;
        }
        case 12:
            for (std::size_t i = 0; i < m; ++i) {
                const double t = static_cast<double>(i + 1);
                const double s = t / 10.0;
                f[i] = std::exp(-s * x[0]) - std::exp(-s * x[1]) +
                       (std::exp(-t) - std::exp(-s)) * x[2];
            }
            break;
        case 13:
            for (std::size_t i = 0; i < m; ++i) {
                const double t = static_cast<double>(i + 1);
                f[i] = 2.0 + 2.0 * t - std::exp(t * x[0]) - std::exp(t * x[1]);
            }
            break;
        case 14:
            for (std::size_t i = 0; i < m; ++i) {
                const double t = static_cast<double>(i + 1) / 5.0;
                const double a = x[0] + t * x[1] - std::exp(t);
                const double b = x[2] + std::sin(t) * x[3] - std::cos(t);
                f[i] = a * a + b * b;
            }
            break;
        case 15: {
            // f_i = (1/n)·Σ_j T_i(2x_j − 1) − ∫₀¹ T_i(2t − 1) dt
            for (std::size_t i = 0; i < m; ++i) f[i] = 0.0;
            for (std::size_t j = 0; j < n; ++j) {
                double t_prev = 1.0;
                double t_cur = 2.0 * x[j] - 1.0;
                const double twice = 2.0 * t_cur;
                for (std::size_t i = 0; i < m; ++i) {
                    f[i] += t_cur;
                    const double t_next = twice * t_cur - t_prev;
                    t_prev = t_cur;
                    t_cur = t_next;
                }
            }
            const double dx = 1.0 / static_cast<double>(n);
            bool even = false;
            for (std::size_t i = 0; i < m; ++i) {
                f[i] = dx * f[i];
                if (even) {
                    const double k = static_cast<double>(i + 1);
                    f[i] = f[i] + 1.0 / (k * k - 1.0);
                }
                even = !even;
            }
            break;
        }
        case 16: {
            double sum = -static_cast<double>(n + 1);
            double prod = 1.0;
            for (std::size_t j = 0; j < n; ++j) {
                sum += x[j];
                prod = x[j] * prod;
            }
            for (std::size_t i = 0; i + 1 < n; ++i) f[i] = x[i] + sum;
            f[n - 1] = prod - 1.0;
            break;
        }
        case 17:
            for (std::size_t i = 0; i < 33; ++i) {
                const double t = 10.0 * static_cast<double>(i);
                const double e4 = std::exp(-x[3] * t);
                const double e5 = std::exp(-x[4] * t);
                f[i] = data::kOsborne1Y[i] - (x[0] + x[1] * e4 + x[2] * e5);
            }
            break;
        case 18:
            for (std::size_t i = 0; i < 65; ++i) {
                const double t = static_cast<double>(i) / 10.0;
                const double d9 = t - x[8], d10 = t - x[9], d11 = t - x[10];
                const double e1 = std::exp(-x[4] * t);
                const double e2 = std::exp(-x[5] * (d9 * d9));
                const double e3 = std::exp(-x[6] * (d10 * d10));
                const double e4 = std::exp(-x[7] * (d11 * d11));
                f[i] = data::kOsborne2Y[i] - (x[0] * e1 + x[1] * e2 + x[2] * e3 + x[3] * e4);
            }
            break;
        default:
            break;
    }
}

// ∂f_i/∂x_j into jac(i, j).
inline void jacobian(int problem, std::span<const double> x, MatrixView jac) {
    const std::size_t n = x.size();
    const std::size_t m = jac.rows;
    auto fill_zero = [&] {
        for (std::size_t j = 0; j < n; ++j)
            for (std::size_t i = 0; i < m; ++i) jac(i, j) = 0.0;
    };
    switch (problem) {
        case 1: {
            const double t = 2.0 / static_cast<double>(m);
            for (std::size_t j = 0; j < n; ++j) {
                for (std::size_t i = 0; i < m; ++i) jac(i, j) = -t;
                jac(j, j) = jac(j, j) + 1.0;
            }
            break;
        }
        case 2:
            for (std::size_t j = 0; j < n; ++j)
                for (std::size_t i = 0; i < m; ++i)
                    jac(i, j) = static_cast<double>(i + 1) * static_cast<double>(j + 1);
            break;
        case 3:
            fill_zero();
            for (std::size_t j = 1; j + 1 < n; ++j)
                for (std::size_t i = 1; i + 1 < m; ++i)
                    jac(i, j) = static_cast<double>(i) * static_cast<double>(j + 1);
            break;
        case 4:
            jac(0, 0) = -20.0 * x[0];
            jac(0, 1) = 10.0;
            jac(1, 0) = -1.0;
            jac(1, 1) = 0.0;
            break;
        case 5: {
            const double two_pi = 8.0 * std::atan(1.0);
            const double r2 = x[0] * x[0] + x[1] * x[1];
            const double a = two_pi * r2;
            const double r = std::sqrt(r2);
            jac(0, 0) = 100.0 * x[1] / a;
            jac(0, 1) = -100.0 * x[0] / a;
            jac(0, 2) = 10.0;
            jac(1, 0) = 10.0 * x[0] / r;
            jac(1, 1) = 10.0 * x[1] / r;
            jac(1, 2) = 0.0;
            jac(2, 0) = 0.0;
            jac(2, 1) = 0.0;
            jac(2, 2) = 1.0;
            break;
        }
        case 6:
            fill_zero();
            jac(0, 0) = 1.0;
            jac(0, 1) = 10.0;
            jac(1, 2) = std::sqrt(5.0);
            jac(1, 3) = -jac(1, 2);
            jac(2, 1) = 2.0 * (x[1] - 2.0 * x[2]);
            jac(2, 2) = -2.0 * jac(2, 1);
            jac(3, 0) = 2.0 * std::sqrt(10.0) * (x[0] - x[3]);
            jac(3, 3) = -jac(3, 0);
            break;
        case 7:
            jac(0, 0) = 1.0;
            jac(0, 1) = x[1] * (10.0 - 3.0 * x[1]) - 2.0;
            jac(1, 0) = 1.0;
            jac(1, 1) = x[1] * (2.0 + 3.0 * x[1]) - 14.0;
            break;
        case 8:
            for (std::size_t i = 0; i < 15; ++i) {
                const double u = static_cast<double>(i + 1);
                const double v = static_cast<double>(15 - i);
                const double w = i + 1 > 8 ? v : u;
                const double den = x[1] * v + x[2] * w;
                const double den2 = den * den;
                jac(i, 0) = -1.0;
                jac(i, 1) = u * v / den2;
                jac(i, 2) = u * w / den2;
            }
            break;
        case 9:
            for (std::size_t i = 0; i < 11; ++i) {
                const double v = data::kKowalikV[i];
                const double num = v * (v + x[1]);
                const double den = v * (v + x[2]) + x[3];
                jac(i, 0) = -num / den;
                jac(i, 1) = -v * x[0] / den;
                jac(i, 2) = jac(i, 0) * jac(i, 1);
                jac(i, 3) = jac(i, 2) / v;
            }
            break;
        case 10:
            for (std::size_t i = 0; i < 16; ++i) {
                const double t = 5.0 * static_cast<double>(i + 1) + 45.0 + x[2];
                const double q = x[1] / t;
                const double e = std::exp(q);
                jac(i, 0) = e;
                jac(i, 1) = x[0] * e / t;
                jac(i, 2) = -q * jac(i, 1);
            }
            break;
        case 11: {
            for (std::size_t i = 0; i < 29; ++i) {
                const double t = static_cast<double>(i + 1) / 29.0;
                double s2 = 0.0, dx = 1.0;
                for (std::size_t j = 0; j < n; ++j) {
                    s2 += dx * x[j];
                    dx = t * dx;
                }
                const double temp = 2.0 * t * s2;
                dx = 1.0 / t;
                for (std::size_t j = 0; j < n; ++j) {
                    jac(i, j) = dx * (static_cast<double>(j) - temp);
                    dx = t * dx;
                }
            }
            for (std::size_t j = 0; j < n; ++j)
                for (std::size_t i = 29; i < m; ++i) jac(i, j) = 0.0;
            jac(29, 0) = 1.0;
            jac(30, 0) = -2.0 * x[0];
            jac(30, 1) = 1.0;
            break;
        }
        case 12:
            for (std::size_t i = 0; i < m; ++i) {
                const double t = static_cast<double>(i + 1);
                const double s = t / 10.0;
                jac(i, 0) = -s * std::exp(-s * x[0]);
                jac(i, 1) = s * std::exp(-s * x[1]);
                jac(i, 2) = std::exp(-t) - std::exp(-s);
            }
            break;
        case 13:
            for (std::size_t i = 0; i < m; ++i) {
                const double t = static_cast<double>(i + 1);
                jac(i, 0) = -t * std::exp(t * x[0]);
                jac(i, 1) = -t * std::exp(t * x[1]);
            }
            break;
        case 14:
            for (std::size_t i = 0; i < m; ++i) {
                const double t = static_cast<double>(i + 1) / 5.0;
                const double s = std::sin(t);
                const double a = x[0] + t * x[1] - std::exp(t);
                const double b = x[2] + s * x[3] - std::cos(t);
                jac(i, 0) = 2.0 * a;
                jac(i, 1) = t * jac(i, 0);
                jac(i, 2) = 2.0 * b;
                jac(i, 3) = s * jac(i, 2);
            }
            break;
        case 15: {
            // T_i'(y) by the recurrence T'_{i+1} = 2T_i + 2y·T'_i − T'_{i−1}
            // (times dy/dx = 2, folded into the start value 2).
            const double dx = 1.0 / static_cast<double>(n);
            for (std::size_t j = 0; j < n; ++j) {
                double t_prev = 1.0;
                double t_cur = 2.0 * x[j] - 1.0;
                const double twice = 2.0 * t_cur;
                double d_prev = 0.0;
                double d_cur = 2.0;
                for (std::size_t i = 0; i < m; ++i) {
                    jac(i, j) = dx * d_cur;
                    const double d_next = 4.0 * t_cur + twice * d_cur - d_prev;
                    d_prev = d_cur;
                    d_cur = d_next;
                    const double t_next = twice * t_cur - t_prev;
                    t_prev = t_cur;
                    t_cur = t_next;
                }
            }
            break;
        }
        case 16: {
            double prod = 1.0;
            for (std::size_t j = 0; j < n; ++j) {
                prod = x[j] * prod;
                for (std::size_t i = 0; i < n; ++i) jac(i, j) = 1.0;
                jac(j, j) = 2.0;
            }
            for (std::size_t j = 0; j < n; ++j) {
                double divisor = x[j];
                double partial = prod;
                if (divisor == 0.0) {
                    divisor = 1.0;
                    partial = 1.0;
                    for (std::size_t k = 0; k < n; ++k)
                        if (k != j) partial = x[k] * partial;
                }
                jac(n - 1, j) = partial / divisor;
            }
            break;
        }
        case 17:
            for (std::size_t i = 0; i < 33; ++i) {
                const double t = 10.0 * static_cast<double>(i);
                const double e4 = std::exp(-x[3] * t);
                const double e5 = std::exp(-x[4] * t);
                jac(i, 0) = -1.0;
                jac(i, 1) = -e4;
                jac(i, 2) = -e5;
                jac(i, 3) = t * x[1] * e4;
                jac(i, 4) = t * x[2] * e5;
            }
            break;
        case 18:
            for (std::size_t i = 0; i < 65; ++i) {
                const double t = static_cast<double>(i) / 10.0;
                const double d9 = t - x[8], d10 = t - x[9], d11 = t - x[10];
                const double e1 = std::exp(-x[4] * t);
                const double e2 = std::exp(-x[5] * (d9 * d9));
                const double e3 = std::exp(-x[6] * (d10 * d10));
                const double e4 = std::exp(-x[7] * (d11 * d11));
                jac(i, 0) = -e1;
                jac(i, 1) = -e2;
                jac(i, 2) = -e3;
                jac(i, 3) = -e4;
                jac(i, 4) = t * x[0] * e1;
                jac(i, 5) = x[1] * (d9 * d9) * e2;
                jac(i, 6) = x[2] * (d10 * d10) * e3;
                jac(i, 7) = x[3] * (d11 * d11) * e4;
                jac(i, 8) = -2.0 * x[1] * x[5] * d9 * e2;
                jac(i, 9) = -2.0 * x[2] * x[6] * d10 * e3;
                jac(i, 10) = -2.0 * x[3] * x[7] * d11 * e4;
            }
            break;
        default:
            break;
    }
}

// One problem presented to the solver; evaluations write straight into the
// solver's buffers, so a run allocates nothing after the solver's workspace.
class Problem final : public LmProblem {
  public:
    Problem(int problem, std::size_t n, std::size_t m, double factor)
        : problem_(problem), m_(m), x_(n) {
        start_point(problem, factor, x_);
    }

    std::span<const double> point() const override { return x_; }
    std::size_t residual_count() const override { return m_; }
    void move_to(std::span<const double> x) override {
        for (std::size_t j = 0; j < x_.size(); ++j) x_[j] = x[j];
    }
    bool residuals(std::span<double> out) override {
        mgh::residuals(problem_, x_, out);
        return true;
    }
    std::optional<JacobianShape> jacobian(MatrixView out) override {
        mgh::jacobian(problem_, x_, out);
        return JacobianShape{out.rows, out.cols};
    }

  private:
    int problem_;
    std::size_t m_;
    std::vector<double> x_;
};

}  // namespace korvane::mgh
