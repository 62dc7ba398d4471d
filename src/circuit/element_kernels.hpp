#pragma once
// Loops over the points of one block: the element formulas, the series sums
// and the reciprocals that the block-wise tree walk (batch_eval.hpp) strings
// together. Structure of arrays, so the compiler can vectorise them.
//
// Every point gets exactly the operations, in exactly the order, of the
// one-point formulas (element_formulas.hpp, complex.hpp): vectorising changes
// no bit. A `fresh` sum starts from 0 rather than from what the block holds,
// which is the one-point walk's first addition 0 + z.

#include <cstddef>

#include "circuit/complex.hpp"
#include "circuit/element.hpp"

namespace korvane::kernels {

// Points per block: the scratch of one tree level is 4·kBlock doubles, so a
// block of a shallow circuit stays in the first-level cache.
inline constexpr std::size_t kBlock = 256;

// The points of one block, offset to its first point.
struct Block {
    const double* w;
    const double* sqrt_w;
    const double* log_hi;  // ln|ω| as hi + lo
    const double* log_lo;
    const Omega* points;
    std::size_t n;
};

// An empty sum: an empty series list, or a group without branches.
void clear(double* re, double* im, std::size_t n);

// (re, im) += (z_re, z_im)
void add_values(double* re, double* im, const double* z_re, const double* z_im, std::size_t n,
                bool fresh);

// (re, im) += 1/(z_re, z_im), the reciprocal as conj(z)/|z|².
void add_reciprocals(double* re, double* im, const double* z_re, const double* z_im, std::size_t n,
                     bool fresh);

// (out_re, out_im) = 1/(z_re, z_im), and (re, im) += the same: add_reciprocals
// with the reciprocal kept for reuse. Same operations, same bits.
void add_kept_reciprocals(double* re, double* im, double* out_re, double* out_im,
                          const double* z_re, const double* z_im, std::size_t n, bool fresh);

// Adds the element's impedance at every point of the block to (re, im).
void add_element(Kind kind, const double* v, const Block& b, double* re, double* im, bool fresh);

// The element's impedance at every point of the block into (z_re, z_im).
void element_values(Kind kind, const double* v, const Block& b, double* z_re, double* z_im);

// (jω)^a for every point of the block. The exponent tests run once per
// element; points with ω > 0 share cos(aπ/2), sin(aπ/2).
void jw_powers(const Block& b, double a, double* p_re, double* p_im);

// The Cpe and Tlmq impedances from the powers p = (jω)^a of their exponent
// (their last value) into (z_re, z_im); the Cpe's also added to (re, im).
void add_kept_cpe(double* re, double* im, double* z_re, double* z_im, const double* p_re,
                  const double* p_im, double q, std::size_t n, bool fresh);
void tlmq_values(const double* v, const double* p_re, const double* p_im, std::size_t n,
                 double* z_re, double* z_im);

// Kinds whose formulas call pow, sqrt or hyperbolic functions per point;
// the others cost less than looking up a memo.
bool worth_reusing(Kind kind);

}  // namespace korvane::kernels
