// Block kernels of the spectrum-wide evaluation. The simple kinds have their
// own loops; the others go through element_block, which hands each point's
// impedance to a callback so that adding and storing share one formula.

#include "circuit/element_kernels.hpp"

#include <cstdint>

#include "circuit/element_formulas.hpp"
#include "runtime/wide_loop.hpp"

namespace korvane::kernels {
namespace {

// (re, im)[i] += z. The first term of a sum (fresh) goes onto 0 rather than
// onto what the block holds: 0 + z, exactly the one-point walk's first
// addition, without a pass that clears the block first.
inline void accumulate(double* __restrict re, double* __restrict im, std::size_t i, Cplx z,
                       bool fresh) {
    re[i] = (fresh ? 0.0 : re[i]) + z.re;
    im[i] = (fresh ? 0.0 : im[i]) + z.im;
}

KORVANE_WIDE_LOOP
void add_resistor(double* __restrict re, double* __restrict im, double r, std::size_t n,
                  bool fresh) {
    const Cplx z = formulas::resistor(r);
    for (std::size_t i = 0; i < n; ++i) {
        accumulate(re, im, i, z, fresh);
    }
}

KORVANE_WIDE_LOOP
void add_capacitor(double* __restrict re, double* __restrict im, const double* __restrict w,
                   double c, std::size_t n, bool fresh) {
    for (std::size_t i = 0; i < n; ++i) {
        const Cplx z = formulas::capacitor(w[i], c);
        accumulate(re, im, i, z, fresh);
    }
}

KORVANE_WIDE_LOOP
void add_inductor(double* __restrict re, double* __restrict im, const double* __restrict w,
                  double l, std::size_t n, bool fresh) {
    for (std::size_t i = 0; i < n; ++i) {
        const Cplx z = formulas::inductor(w[i], l);
        accumulate(re, im, i, z, fresh);
    }
}

KORVANE_WIDE_LOOP
void add_warburg(double* __restrict re, double* __restrict im, const double* __restrict w,
                 const double* __restrict sqrt_w, double aw, std::size_t n, bool fresh) {
    for (std::size_t i = 0; i < n; ++i) {
        const Cplx z = formulas::warburg(w[i], sqrt_w[i], aw);
        accumulate(re, im, i, z, fresh);
    }
}

KORVANE_WIDE_LOOP
void add_k_element(double* __restrict re, double* __restrict im, const double* __restrict w,
                   double r, double tau, std::size_t n, bool fresh) {
    for (std::size_t i = 0; i < n; ++i) {
        const Cplx z = formulas::k_element(w[i], r, tau);
        accumulate(re, im, i, z, fresh);
    }
}

// jw_power_on_axis at every point, its exponential vectorised (the same
// inline arithmetic, so the same bits). False when some point lies off the
// positive imaginary axis or beyond exp_pair's range: the powers are then
// not all valid and the caller forms them one by one.
KORVANE_WIDE_LOOP
bool axis_powers(const double* __restrict w, const double* __restrict log_hi,
                 const double* __restrict log_lo, double a, formulas::ImagAxisPower k,
                 double* __restrict p_re, double* __restrict p_im, std::size_t n) {
    std::uint64_t outside = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const LogPair t = times_log(a, log_hi[i], log_lo[i]);
        const double m = exp_pair(t.hi, t.lo);
        p_re[i] = m * k.cos_a;
        p_im[i] = m * k.sin_a;
        // & rather than &&: no branch in the loop body.
        outside |= static_cast<std::uint64_t>(!((w[i] > 0.0) & exp_pair_covers(t.hi)));
    }
    return outside == 0;
}

// cpow((0, ω)·s, a) for every point, with the same sharing wherever the base
// lies on the positive imaginary axis (s ≥ +0, ω > 0).
template <class Use>
inline void for_each_scaled_power(const Block& b, double s, double a, Use&& use) {
    if (a == 1.0 || a == 0.5 || a == 0.0) {
        for (std::size_t i = 0; i < b.n; ++i) use(i, cpow(Cplx{0.0, b.w[i]} * s, a));
        return;
    }
    const formulas::ImagAxisPower k = formulas::imag_axis_power(a);
    for (std::size_t i = 0; i < b.n; ++i) {
        const Cplx z = Cplx{0.0, b.w[i]} * s;
        use(i, formulas::on_positive_imag_axis(z) ? formulas::power_on_imag_axis(z.im, a, k)
                                                  : cpow(z, a));
    }
}

// Hands the element's impedance at every point of the block to add(i, z).
template <class Add>
void element_block(Kind kind, const double* v, const Block& b, Add&& add) {
    const std::size_t n = b.n;
    const double* __restrict w = b.w;
    switch (kind) {
        case Kind::R: {
            const Cplx z = formulas::resistor(v[0]);
            for (std::size_t i = 0; i < n; ++i) add(i, z);
            return;
        }
        case Kind::C: {
            const double c = v[0];
            for (std::size_t i = 0; i < n; ++i) add(i, formulas::capacitor(w[i], c));
            return;
        }
        case Kind::L: {
            const double l = v[0];
            for (std::size_t i = 0; i < n; ++i) add(i, formulas::inductor(w[i], l));
            return;
        }
        case Kind::W: {
            const double aw = v[0];
            const double* __restrict sqrt_w = b.sqrt_w;
            for (std::size_t i = 0; i < n; ++i) add(i, formulas::warburg(w[i], sqrt_w[i], aw));
            return;
        }
        case Kind::K: {
            const double r = v[0];
            const double tau = v[1];
            for (std::size_t i = 0; i < n; ++i) add(i, formulas::k_element(w[i], r, tau));
            return;
        }
        case Kind::Cpe: {
            double p_re[kBlock], p_im[kBlock];
            jw_powers(b, v[1], p_re, p_im);
            for (std::size_t i = 0; i < n; ++i) add(i, formulas::cpe(v[0], Cplx{p_re[i], p_im[i]}));
            return;
        }
        case Kind::Tlmq: {
            double p_re[kBlock], p_im[kBlock];
            jw_powers(b, v[2], p_re, p_im);
            for (std::size_t i = 0; i < n; ++i) {
                add(i, formulas::tlmq(v[0], v[1], Cplx{p_re[i], p_im[i]}));
            }
            return;
        }
        case Kind::La:
            for_each_scaled_power(b, v[0], v[1], add);
            return;
        case Kind::Zarc: {
            const double r = v[0];
            for_each_scaled_power(b, v[1], v[2],
                                  [&](std::size_t i, Cplx p) { add(i, formulas::zarc(r, p)); });
            return;
        }
        default:
            // The diffusion and transmission-line kinds are dominated by their
            // transcendental calls; they take the one-point formula as is.
            for (std::size_t i = 0; i < n; ++i) add(i, element_impedance(kind, v, b.points[i]));
            return;
    }
}

}  // namespace

// (z_re, z_im) = Cpe impedance 1/(q·p) from the powers p = (jω)^a, and
// (re, im) += the same.
KORVANE_WIDE_LOOP
void add_kept_cpe(double* __restrict re, double* __restrict im, double* __restrict z_re,
                  double* __restrict z_im, const double* __restrict p_re,
                  const double* __restrict p_im, double q, std::size_t n, bool fresh) {
    for (std::size_t i = 0; i < n; ++i) {
        const Cplx z = formulas::cpe(q, Cplx{p_re[i], p_im[i]});
        z_re[i] = z.re;
        z_im[i] = z.im;
        accumulate(re, im, i, z, fresh);
    }
}

// An empty sum: an empty series list, or a group without branches.
void clear(double* __restrict re, double* __restrict im, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        re[i] = 0.0;
        im[i] = 0.0;
    }
}

// (re, im) += (z_re, z_im)
KORVANE_WIDE_LOOP
void add_values(double* __restrict re, double* __restrict im, const double* __restrict z_re,
                const double* __restrict z_im, std::size_t n, bool fresh) {
    for (std::size_t i = 0; i < n; ++i) {
        accumulate(re, im, i, Cplx{z_re[i], z_im[i]}, fresh);
    }
}

// (re, im) += 1/(z_re, z_im), the reciprocal as conj(z)/|z|².
KORVANE_WIDE_LOOP
void add_reciprocals(double* __restrict re, double* __restrict im, const double* __restrict z_re,
                     const double* __restrict z_im, std::size_t n, bool fresh) {
    for (std::size_t i = 0; i < n; ++i) {
        const Cplx y = reciprocal(Cplx{z_re[i], z_im[i]});
        accumulate(re, im, i, y, fresh);
    }
}

// (out_re, out_im) = 1/(z_re, z_im), and (re, im) += the same: add_reciprocals
// with the reciprocal kept for reuse. Same operations, same bits.
KORVANE_WIDE_LOOP
void add_kept_reciprocals(double* __restrict re, double* __restrict im, double* __restrict out_re,
                          double* __restrict out_im, const double* __restrict z_re,
                          const double* __restrict z_im, std::size_t n, bool fresh) {
    for (std::size_t i = 0; i < n; ++i) {
        const Cplx y = reciprocal(Cplx{z_re[i], z_im[i]});
        out_re[i] = y.re;
        out_im[i] = y.im;
        accumulate(re, im, i, y, fresh);
    }
}

// (jω)^a for every point of the block. The exponent tests run once per
// element; points with ω > 0 share cos(aπ/2), sin(aπ/2).
void jw_powers(const Block& b, double a, double* __restrict p_re, double* __restrict p_im) {
    const auto store = [p_re, p_im](std::size_t i, Cplx p) {
        p_re[i] = p.re;
        p_im[i] = p.im;
    };
    if (a == 1.0 || a == 0.5 || a == 0.0) {
        for (std::size_t i = 0; i < b.n; ++i) store(i, formulas::jw_power(b.points[i], a));
        return;
    }
    const formulas::ImagAxisPower k = formulas::imag_axis_power(a);
    if (std::fabs(a) <= formulas::kMaxLogPowerExponent &&
        axis_powers(b.w, b.log_hi, b.log_lo, a, k, p_re, p_im, b.n)) {
        return;
    }
    for (std::size_t i = 0; i < b.n; ++i) {
        store(i, b.w[i] > 0.0 ? formulas::jw_power_on_axis(b.points[i], a, k)
                              : formulas::jw_power(b.points[i], a));
    }
}

// Adds the element's impedance at every point of the block to (re, im).
void add_element(Kind kind, const double* v, const Block& b, double* __restrict re,
                 double* __restrict im, bool fresh) {
    switch (kind) {
        case Kind::R:
            return add_resistor(re, im, v[0], b.n, fresh);
        case Kind::C:
            return add_capacitor(re, im, b.w, v[0], b.n, fresh);
        case Kind::L:
            return add_inductor(re, im, b.w, v[0], b.n, fresh);
        case Kind::W:
            return add_warburg(re, im, b.w, b.sqrt_w, v[0], b.n, fresh);
        case Kind::K:
            return add_k_element(re, im, b.w, v[0], v[1], b.n, fresh);
        default:
            element_block(kind, v, b, [re, im, fresh](std::size_t i, Cplx z) {
                accumulate(re, im, i, z, fresh);
            });
    }
}

void element_values(Kind kind, const double* v, const Block& b, double* __restrict z_re,
                    double* __restrict z_im) {
    element_block(kind, v, b, [z_re, z_im](std::size_t i, Cplx z) {
        z_re[i] = z.re;
        z_im[i] = z.im;
    });
}

void tlmq_values(const double* v, const double* __restrict p_re, const double* __restrict p_im,
                 std::size_t n, double* __restrict z_re, double* __restrict z_im) {
    for (std::size_t i = 0; i < n; ++i) {
        const Cplx z = formulas::tlmq(v[0], v[1], Cplx{p_re[i], p_im[i]});
        z_re[i] = z.re;
        z_im[i] = z.im;
    }
}

// Kinds whose formulas call pow, sqrt or hyperbolic functions per point;
// the others cost less than looking up a memo.
bool worth_reusing(Kind kind) {
    switch (kind) {
        case Kind::R:
        case Kind::C:
        case Kind::L:
        case Kind::W:
        case Kind::K:
            return false;
        default:
            return true;
    }
}

}  // namespace korvane::kernels
