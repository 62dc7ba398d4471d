// Spectrum-wide circuit evaluation, block by block.
//
// Kirchhoff's laws for two-terminal networks, per point i of a block:
//   series list    Z_i = 0 + Σ Z_node,i          (node order)
//   parallel group Z_i = 1 / (0 + Σ 1/Z_branch,i) (branch order, 1/z = conj(z)/|z|²)
// Only the loop nesting differs from the one-point walk: the point loop sits
// inside the node loop. Each point still sees the same operations in the
// same order, and with -ffp-contract=off nothing is fused, so vectorising
// the point loops cannot change a bit.
//
// Scratch: tree level d owns four block-sized arrays: the running series sum
// of a branch at that level and the running admittance of a group at that
// level (re and im each). A thread keeps its scratch for later calls, and
// likewise its reuse memo: per element and block the values last used and
// the impedances they gave, valid within one reuse scope.

#include "circuit/batch_eval.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <type_traits>
#include <utility>
#include <variant>

#include "circuit/element_formulas.hpp"
#include "circuit/tree_walk.hpp"
#include "runtime/same_bits.hpp"
#include "runtime/wide_loop.hpp"

namespace korvane {
namespace {

// (re, im)[i] += z. The first term of a sum (fresh) goes onto 0 rather than
// onto what the block holds: 0 + z, exactly the one-point walk's first
// addition, without a pass that clears the block first.
inline void accumulate(double* __restrict re, double* __restrict im, std::size_t i, Cplx z,
                       bool fresh) {
    re[i] = (fresh ? 0.0 : re[i]) + z.re;
    im[i] = (fresh ? 0.0 : im[i]) + z.im;
}

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

// The points of one block, offset to its first point.
struct Block {
    const double* w;
    const double* sqrt_w;
    const double* log_hi;  // ln|ω| as hi + lo
    const double* log_lo;
    const Omega* points;
    std::size_t n;
};

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
            double p_re[SpectrumEvaluator::kBlock], p_im[SpectrumEvaluator::kBlock];
            jw_powers(b, v[1], p_re, p_im);
            for (std::size_t i = 0; i < n; ++i) add(i, formulas::cpe(v[0], Cplx{p_re[i], p_im[i]}));
            return;
        }
        case Kind::Tlmq: {
            double p_re[SpectrumEvaluator::kBlock], p_im[SpectrumEvaluator::kBlock];
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

// Points times slots (elements and subtrees) a thread's memo may cover, and
// the cap on blocks times subtree key length: with two entries per slot, the
// powers and the keys, at most 32 MB per thread.
constexpr std::size_t kMaxReusedValues = std::size_t{1} << 19;

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

// Per thread: the impedance of every element at every point, with the
// values that produced it, for the owner evaluator within one scope; the
// same for every subtree (a group's impedance, a branch's admittance).
struct ReuseMemo {
    // Two entries per slot (element or subtree, and block): a Jacobian
    // alternates between the base values and, in the columns of the values
    // beneath the slot, one perturbed set at a time. A new set replaces the
    // entry reused less often, so the base survives those columns.
    static constexpr std::size_t kEntries = 2;

    // Entries of one kind of slot: keys (slots, kEntries, key_length) and
    // impedances (slots, kEntries, kBlock).
    struct Table {
        std::vector<double> keys;
        std::vector<unsigned char> filled;
        std::vector<std::uint32_t> hits;
        std::vector<double> re;
        std::vector<double> im;

        void reset(std::size_t slots, std::size_t key_doubles) {
            const std::size_t entries = slots * kEntries;
            if (keys.size() < key_doubles) keys.resize(key_doubles);
            if (hits.size() < entries) hits.resize(entries);
            if (re.size() < entries * SpectrumEvaluator::kBlock) {
                re.resize(entries * SpectrumEvaluator::kBlock);
                im.resize(entries * SpectrumEvaluator::kBlock);
            }
            filled.assign(entries, 0);
        }

        // The entry of `slot` whose key is the `count` values at v, or the
        // one to overwrite: an empty entry first, else the one reused less
        // often. key_at(e) locates entry e's key.
        template <class KeyAt>
        std::pair<std::size_t, bool> find(std::size_t slot, const double* v, std::size_t count,
                                          KeyAt&& key_at) const {
            const std::size_t first = slot * kEntries;
            for (std::size_t e = first; e < first + kEntries; ++e) {
                if (filled[e] && same_bits(key_at(e), v, count)) {
                    return {e, true};
                }
            }
            std::size_t victim = first;
            for (std::size_t e = first; e < first + kEntries; ++e) {
                if (!filled[e]) return {e, false};
                if (hits[e] < hits[victim]) victim = e;
            }
            return {victim, false};
        }
        double* re_of(std::size_t e) { return re.data() + e * SpectrumEvaluator::kBlock; }
        double* im_of(std::size_t e) { return im.data() + e * SpectrumEvaluator::kBlock; }
    };

    const void* owner = nullptr;
    std::uint64_t scope = 0;
    std::size_t blocks = 0;
    std::size_t subtree_key_length = 0;
    Table elements;  // slot element·blocks + block, keys kMaxParams apart
    Table subtrees;  // slot subtree·blocks + block, keys at the subtree's key_offset
    // (jω)^a of the Cpe and Tlmq elements by exponent alone, since their
    // columns for q, qs or r_ion leave the power unchanged.
    std::vector<double> power_keys;           // (elements, blocks)
    std::vector<unsigned char> power_filled;  // (elements, blocks)
    std::vector<double> power_re;             // (elements, blocks, kBlock)
    std::vector<double> power_im;             // (elements, blocks, kBlock)

    void enter(const void* evaluator, std::uint64_t new_scope, std::size_t element_count,
               std::size_t subtree_count, std::size_t key_length, std::size_t block_count) {
        if (owner == evaluator && scope == new_scope) return;
        owner = evaluator;
        scope = new_scope;
        blocks = block_count;
        subtree_key_length = key_length;
        const std::size_t slots = element_count * block_count;
        elements.reset(slots, slots * kEntries * kMaxParams);
        subtrees.reset(subtree_count * block_count, block_count * kEntries * key_length);
        if (power_re.size() < slots * SpectrumEvaluator::kBlock) {
            power_re.resize(slots * SpectrumEvaluator::kBlock);
            power_im.resize(slots * SpectrumEvaluator::kBlock);
        }
        if (power_keys.size() < slots) power_keys.resize(slots);
        power_filled.assign(slots, 0);
    }
};

ReuseMemo& thread_memo() {
    thread_local ReuseMemo memo;
    return memo;
}

// add_element through the memo: recomputed only when the values differ in
// any bit from the ones stored for this element and block.
void add_element_reusing(Kind kind, const double* v, const Block& b, ReuseMemo& memo,
                         std::size_t element, std::size_t block_index, double* __restrict re,
                         double* __restrict im, bool fresh) {
    ReuseMemo::Table& table = memo.elements;
    const std::size_t slot = element * memo.blocks + block_index;
    const std::size_t count = static_cast<std::size_t>(param_count(kind));
    const auto key_at = [&table](std::size_t e) { return table.keys.data() + e * kMaxParams; };
    const auto [entry, found] = table.find(slot, v, count, key_at);
    double* __restrict z_re = table.re_of(entry);
    double* __restrict z_im = table.im_of(entry);
    if (found) {
        ++table.hits[entry];
        add_values(re, im, z_re, z_im, b.n, fresh);
        return;
    }
    std::memcpy(key_at(entry), v, count * sizeof(double));
    table.filled[entry] = 1;
    table.hits[entry] = 0;
    const auto store = [z_re, z_im](std::size_t i, Cplx z) {
        z_re[i] = z.re;
        z_im[i] = z.im;
    };
    if (kind == Kind::Cpe || kind == Kind::Tlmq) {
        // Z = f(values, (jω)^a) with a the last value: the power from the
        // memo when a is bit for bit the one it was formed with.
        const double a = v[count - 1];
        double* __restrict p_re = memo.power_re.data() + slot * SpectrumEvaluator::kBlock;
        double* __restrict p_im = memo.power_im.data() + slot * SpectrumEvaluator::kBlock;
        if (!memo.power_filled[slot] || !same_bits(&memo.power_keys[slot], &a, 1)) {
            jw_powers(b, a, p_re, p_im);
            std::memcpy(&memo.power_keys[slot], &a, sizeof a);
            memo.power_filled[slot] = 1;
        }
        if (kind == Kind::Cpe) {
            add_kept_cpe(re, im, z_re, z_im, p_re, p_im, v[0], b.n, fresh);
            return;
        }
        for (std::size_t i = 0; i < b.n; ++i) {
            store(i, formulas::tlmq(v[0], v[1], Cplx{p_re[i], p_im[i]}));
        }
    } else {
        element_block(kind, v, b, store);
    }
    add_values(re, im, z_re, z_im, b.n, fresh);
}

template <class Values>
struct Walk {
    const Block& block;
    double* scratch;  // (depth + 1, 4, kBlock)
    Values& values;
    ReuseMemo* memo = nullptr;  // null: compute everything (always so for stored values)
    const SpectrumEvaluator::Subtree* subtrees = nullptr;
    std::size_t block_index = 0;
    std::size_t element = 0;  // element order index of the next element
    std::size_t subtree = 0;  // walk order index of the next subtree

    double* level(std::size_t depth, std::size_t slot) const {
        return scratch + (depth * 4 + slot) * SpectrumEvaluator::kBlock;
    }

    // The sum of the list's impedances into (re, im), from 0 in node order.
    void series(const SeriesList& list, std::size_t depth, double* __restrict re,
                double* __restrict im) {
        if (list.nodes.empty()) return clear(re, im, block.n);
        bool fresh = true;
        for (const Node& node : list.nodes) {
            if (const Element* e = std::get_if<Element>(&node.item)) {
                if (memo != nullptr && worth_reusing(e->kind)) {
                    add_element_reusing(e->kind, values(*e), block, *memo, element, block_index, re,
                                        im, fresh);
                } else {
                    add_element(e->kind, values(*e), block, re, im, fresh);
                }
                ++element;
            } else {
                group(std::get<ParallelGroup>(node.item), depth, re, im, fresh);
            }
            fresh = false;
        }
    }

    // The memo entry of subtree `id` for the values it is about to consume.
    struct Slot {
        std::size_t entry = 0;
        bool found = false;
        const double* key = nullptr;  // the subtree's run of the trial vector
    };

    Slot look_up(std::size_t id) {
        Slot slot;
        if constexpr (std::is_same_v<Values, TrialCursor>) {
            const SpectrumEvaluator::Subtree& t = subtrees[id];
            ReuseMemo::Table& table = memo->subtrees;
            slot.key = values.next;
            const auto found = table.find(id * memo->blocks + block_index, slot.key, t.params,
                                          [&](std::size_t e) { return key_of(e, t); });
            slot.entry = found.first;
            slot.found = found.second;
            if (slot.found) {
                // Reused: consume the subtree without walking it.
                ++table.hits[slot.entry];
                values.next += t.params;
                element += t.elements;
                subtree += t.descendants;
            }
        }
        return slot;
    }

    double* key_of(std::size_t entry, const SpectrumEvaluator::Subtree& t) const {
        const std::size_t e = entry % ReuseMemo::kEntries;
        return memo->subtrees.keys.data() +
               (block_index * ReuseMemo::kEntries + e) * memo->subtree_key_length + t.key_offset;
    }

    // Stores the reciprocal of (z_re, z_im) as the slot's value and adds it
    // to (re, im): add_reciprocals with the reciprocal kept.
    void keep_reciprocals(std::size_t id, const Slot& slot, const double* z_re, const double* z_im,
                          double* re, double* im, bool fresh) {
        ReuseMemo::Table& table = memo->subtrees;
        double* kept_re = table.re_of(slot.entry);
        double* kept_im = table.im_of(slot.entry);
        add_kept_reciprocals(re, im, kept_re, kept_im, z_re, z_im, block.n, fresh);
        const SpectrumEvaluator::Subtree& t = subtrees[id];
        std::memcpy(key_of(slot.entry, t), slot.key, t.params * sizeof(double));
        table.filled[slot.entry] = 1;
        table.hits[slot.entry] = 0;
    }

    // The group's impedance added to (re, im) (onto 0 when fresh): the
    // reciprocal of its branches' admittances summed from 0 in branch order.
    void group(const ParallelGroup& g, std::size_t depth, double* __restrict re,
               double* __restrict im, bool fresh) {
        const std::size_t id = subtree++;
        Slot slot;
        if (memo != nullptr) {
            slot = look_up(id);
            if (slot.found) {
                add_values(re, im, memo->subtrees.re_of(slot.entry),
                           memo->subtrees.im_of(slot.entry), block.n, fresh);
                return;
            }
        }
        double* __restrict y_re = level(depth, 2);
        double* __restrict y_im = level(depth, 3);
        double* __restrict z_re = level(depth + 1, 0);
        double* __restrict z_im = level(depth + 1, 1);
        const std::size_t n = block.n;
        if (g.branches.empty()) clear(y_re, y_im, n);
        bool first_branch = true;
        for (const SeriesList& branch : g.branches) {
            const std::size_t branch_id = subtree++;
            const bool onto_zero = first_branch;
            first_branch = false;
            if (memo == nullptr) {
                series(branch, depth + 1, z_re, z_im);
                add_reciprocals(y_re, y_im, z_re, z_im, n, onto_zero);
                continue;
            }
            const Slot branch_slot = look_up(branch_id);
            if (branch_slot.found) {
                add_values(y_re, y_im, memo->subtrees.re_of(branch_slot.entry),
                           memo->subtrees.im_of(branch_slot.entry), n, onto_zero);
                continue;
            }
            series(branch, depth + 1, z_re, z_im);
            keep_reciprocals(branch_id, branch_slot, z_re, z_im, y_re, y_im, onto_zero);
        }
        if (memo == nullptr) {
            add_reciprocals(re, im, y_re, y_im, n, fresh);
        } else {
            keep_reciprocals(id, slot, y_re, y_im, re, im, fresh);
        }
    }
};

// Appends the subtrees of `list` in walk order; returns its (params, elements).
std::pair<std::size_t, std::size_t> collect_subtrees(const SeriesList& list,
                                                     std::vector<SpectrumEvaluator::Subtree>& out) {
    std::size_t params = 0, elements = 0;
    for (const Node& node : list.nodes) {
        if (const Element* e = std::get_if<Element>(&node.item)) {
            params += static_cast<std::size_t>(param_count(e->kind));
            ++elements;
            continue;
        }
        const std::size_t group = out.size();
        out.emplace_back();
        for (const SeriesList& branch : std::get<ParallelGroup>(node.item).branches) {
            const std::size_t index = out.size();
            out.emplace_back();
            const auto [p, e] = collect_subtrees(branch, out);
            out[index].params = p;
            out[index].elements = e;
            out[index].descendants = out.size() - index - 1;
            out[group].params += p;
            out[group].elements += e;
        }
        out[group].descendants = out.size() - group - 1;
        params += out[group].params;
        elements += out[group].elements;
    }
    return {params, elements};
}

double* thread_scratch(std::size_t doubles) {
    thread_local std::vector<double> scratch;
    if (scratch.size() < doubles) scratch.resize(doubles);
    return scratch.data();
}

}  // namespace

SpectrumEvaluator::SpectrumEvaluator(const Circuit& circuit, std::span<const double> omega)
    : circuit_(&circuit), depth_(nesting_depth(circuit.top)), omega_(omega.begin(), omega.end()) {
    element_count_ = collect_subtrees(circuit.top, subtrees_).second;
    for (Subtree& t : subtrees_) {
        t.key_offset = subtree_key_length_;
        subtree_key_length_ += t.params;
    }
    sqrt_w_.reserve(omega_.size());
    log_hi_.reserve(omega_.size());
    log_lo_.reserve(omega_.size());
    points_.reserve(omega_.size());
    for (const double w : omega_) {
        points_.push_back(make_omega(w));
        sqrt_w_.push_back(points_.back().sqrt_w);
        log_hi_.push_back(points_.back().jw_log.hi);
        log_lo_.push_back(points_.back().jw_log.lo);
    }
}

void SpectrumEvaluator::evaluate_block(std::span<const double> trial, std::size_t begin,
                                       std::size_t n, double* re, double* im,
                                       std::uint64_t reuse_scope) const {
    const Block block{omega_.data() + begin,  sqrt_w_.data() + begin, log_hi_.data() + begin,
                      log_lo_.data() + begin, points_.data() + begin, n};
    TrialCursor cursor{trial.data()};
    Walk<TrialCursor> walk{block, thread_scratch((depth_ + 1) * 4 * kBlock), cursor};
    // The memo is laid out in whole blocks; anything else is computed afresh.
    // Its size is capped (kMaxReusedValues); spectra beyond that are long
    // enough to hide the recomputation anyway.
    const std::size_t blocks = (size() + kBlock - 1) / kBlock;
    const bool memo_fits =
        (element_count_ + subtrees_.size()) * blocks * kBlock <= kMaxReusedValues &&
        subtree_key_length_ * blocks <= kMaxReusedValues;
    if (reuse_scope != 0 && memo_fits && begin % kBlock == 0 &&
        n == std::min(kBlock, size() - begin)) {
        ReuseMemo& memo = thread_memo();
        memo.enter(this, reuse_scope, element_count_, subtrees_.size(), subtree_key_length_,
                   blocks);
        walk.memo = &memo;
        walk.subtrees = subtrees_.data();
        walk.block_index = begin / kBlock;
    }
    walk.series(circuit_->top, 0, re, im);
}

std::uint64_t SpectrumEvaluator::new_reuse_scope() {
    static std::atomic<std::uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

void SpectrumEvaluator::evaluate_stored(std::size_t begin, std::size_t end, Cplx* out) const {
    double re[kBlock];
    double im[kBlock];
    StoredValues values;
    double* scratch = thread_scratch((depth_ + 1) * 4 * kBlock);
    for (std::size_t first = begin; first < end; first += kBlock) {
        const std::size_t n = std::min(kBlock, end - first);
        const Block block{omega_.data() + first,  sqrt_w_.data() + first, log_hi_.data() + first,
                          log_lo_.data() + first, points_.data() + first, n};
        Walk<StoredValues>{block, scratch, values}.series(circuit_->top, 0, re, im);
        for (std::size_t i = 0; i < n; ++i) out[first + i] = {re[i], im[i]};
    }
}

}  // namespace korvane
