// Spectrum-wide circuit evaluation, block by block: the tree walk.
//
// Kirchhoff's laws for two-terminal networks, per point i of a block:
//   series list    Z_i = 0 + Σ Z_node,i          (node order)
//   parallel group Z_i = 1 / (0 + Σ 1/Z_branch,i) (branch order, 1/z = conj(z)/|z|²)
// Only the loop nesting differs from the one-point walk: the point loop sits
// inside the node loop. Each point still sees the same operations in the
// same order, and with -ffp-contract=off nothing is fused, so vectorising
// the point loops cannot change a bit. The scratch and the reuse memo the
// walk works in belong to the caller (circuit/evaluation_cache.hpp).

#include "circuit/batch_eval.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>
#include <variant>

#include "circuit/tree_walk.hpp"

namespace korvane {
namespace {

using kernels::Block;

template <class Values>
struct Walk {
    const Block& block;
    const WorkerCache& cache;  // the scratch of every tree level
    Values& values;
    ReuseMemo* memo = nullptr;  // null: compute everything (always so for stored values)
    const SpectrumEvaluator::Subtree* subtrees = nullptr;
    std::size_t block_index = 0;
    std::size_t element = 0;  // element order index of the next element
    std::size_t subtree = 0;  // walk order index of the next subtree

    // The sum of the list's impedances into (re, im), from 0 in node order.
    void series(const SeriesList& list, std::size_t depth, double* __restrict re,
                double* __restrict im) {
        if (list.nodes.empty()) return kernels::clear(re, im, block.n);
        bool fresh = true;
        for (const Node& node : list.nodes) {
            if (const Element* e = std::get_if<Element>(&node.item)) {
                if (memo != nullptr && kernels::worth_reusing(e->kind)) {
                    memo->add_element(e->kind, values(*e), block, element, block_index, re, im,
                                      fresh);
                } else {
                    kernels::add_element(e->kind, values(*e), block, re, im, fresh);
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
            const ReuseMemo::Table& table = memo->subtrees();
            slot.key = values.next;
            const auto found = table.find(memo->subtree_slot(id, block_index), slot.key, t.params,
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
        return memo->subtree_key(entry, block_index, t.key_offset);
    }

    // Stores the reciprocal of (z_re, z_im) as the slot's value and adds it
    // to (re, im): add_reciprocals with the reciprocal kept.
    void keep_reciprocals(std::size_t id, const Slot& slot, const double* z_re, const double* z_im,
                          double* re, double* im, bool fresh) {
        const ReuseMemo::Table& table = memo->subtrees();
        kernels::add_kept_reciprocals(re, im, table.re_of(slot.entry), table.im_of(slot.entry),
                                      z_re, z_im, block.n, fresh);
        const SpectrumEvaluator::Subtree& t = subtrees[id];
        std::memcpy(key_of(slot.entry, t), slot.key, t.params * sizeof(double));
        table.fill(slot.entry);
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
                kernels::add_values(re, im, memo->subtrees().re_of(slot.entry),
                                    memo->subtrees().im_of(slot.entry), block.n, fresh);
                return;
            }
        }
        // The group's admittance sums at this level; each branch's series
        // sum one level down.
        const LevelScratch here = cache.level(depth);
        const LevelScratch below = cache.level(depth + 1);
        double* __restrict y_re = here.admittance_re;
        double* __restrict y_im = here.admittance_im;
        double* __restrict z_re = below.series_re;
        double* __restrict z_im = below.series_im;
        const std::size_t n = block.n;
        if (g.branches.empty()) kernels::clear(y_re, y_im, n);
        bool first_branch = true;
        for (const SeriesList& branch : g.branches) {
            const std::size_t branch_id = subtree++;
            const bool onto_zero = first_branch;
            first_branch = false;
            if (memo == nullptr) {
                series(branch, depth + 1, z_re, z_im);
                kernels::add_reciprocals(y_re, y_im, z_re, z_im, n, onto_zero);
                continue;
            }
            const Slot branch_slot = look_up(branch_id);
            if (branch_slot.found) {
                kernels::add_values(y_re, y_im, memo->subtrees().re_of(branch_slot.entry),
                                    memo->subtrees().im_of(branch_slot.entry), n, onto_zero);
                continue;
            }
            series(branch, depth + 1, z_re, z_im);
            keep_reciprocals(branch_id, branch_slot, z_re, z_im, y_re, y_im, onto_zero);
        }
        if (memo == nullptr) {
            kernels::add_reciprocals(re, im, y_re, y_im, n, fresh);
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

}  // namespace

SpectrumEvaluator::SpectrumEvaluator(const Circuit& circuit, std::span<const double> omega)
    : circuit_(&circuit), omega_(omega.begin(), omega.end()) {
    shape_.depth = nesting_depth(circuit.top);
    shape_.points = omega_.size();
    shape_.elements = collect_subtrees(circuit.top, subtrees_).second;
    shape_.subtrees = subtrees_.size();
    for (Subtree& t : subtrees_) {
        t.key_offset = shape_.subtree_key_length;
        shape_.subtree_key_length += t.params;
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

kernels::Block SpectrumEvaluator::block_at(std::size_t begin, std::size_t n) const {
    return Block{omega_.data() + begin,  sqrt_w_.data() + begin, log_hi_.data() + begin,
                 log_lo_.data() + begin, points_.data() + begin, n};
}

void SpectrumEvaluator::evaluate_block(std::span<const double> trial, std::size_t begin,
                                       std::size_t n, double* re, double* im,
                                       EvaluationCache& cache, std::size_t worker) const {
    const Block block = block_at(begin, n);
    TrialCursor cursor{trial.data()};
    WorkerCache& mine = cache.worker(worker);
    Walk<TrialCursor> walk{block, mine, cursor};
    // The memo is laid out in whole blocks; anything else is computed afresh.
    if (begin % kBlock == 0 && n == std::min(kBlock, size() - begin)) {
        walk.memo = mine.memo(cache.generation());
        walk.subtrees = subtrees_.data();
        walk.block_index = begin / kBlock;
    }
    walk.series(circuit_->top, 0, re, im);
}

void SpectrumEvaluator::evaluate_stored(std::size_t begin, std::size_t end, Cplx* out,
                                        EvaluationCache& cache, std::size_t worker) const {
    const WorkerCache& mine = cache.worker(worker);
    double re[kBlock];
    double im[kBlock];
    StoredValues values;
    for (std::size_t first = begin; first < end; first += kBlock) {
        const std::size_t n = std::min(kBlock, end - first);
        const Block block = block_at(first, n);
        Walk<StoredValues>{block, mine, values}.series(circuit_->top, 0, re, im);
        for (std::size_t i = 0; i < n; ++i) out[first + i] = {re[i], im[i]};
    }
}

}  // namespace korvane
