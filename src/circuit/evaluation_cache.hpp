#pragma once
// What the block-wise evaluation of one circuit over one spectrum keeps
// between calls, owned by whoever runs the evaluations (a fit, one residual
// or Jacobian request, one impedance call) and freed with it:
//
// - per worker of the pool, the walk's scratch: tree level d owns four
//   block-sized arrays, the running series sum of a branch at that level and
//   the running admittance of a group at that level (re and im each);
// - per worker, a reuse memo: per element and block the values last used and
//   the impedances they gave, and the same for every parallel group and
//   branch. The element formulas are pure, so an impedance served from the
//   memo is the one that would have been computed; reuse changes no bit.
//
// Workers are told apart by the index the pool hands each task
// (runtime/pool.hpp), so no two threads ever touch the same worker's part.
// A generation groups evaluations that share values (the columns of one
// Jacobian and the residuals at its point): a worker's memo is emptied when
// it first serves a new generation, so impedances of a finished generation do
// not crowd out those of the current one. Generations only steer what is
// kept; what is served is always keyed by the exact values.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "circuit/element.hpp"
#include "circuit/element_kernels.hpp"
#include "runtime/same_bits.hpp"

namespace korvane {

// What the evaluation of one circuit over one spectrum needs room for.
struct EvaluationShape {
    std::size_t depth = 0;               // parallel-group nesting of the circuit
    std::size_t elements = 0;            // elements in element order
    std::size_t subtrees = 0;            // parallel groups and their branches
    std::size_t subtree_key_length = 0;  // values beneath all subtrees, summed
    std::size_t points = 0;              // N
};

// One tree level's scratch, each array kBlock long.
struct LevelScratch {
    double* series_re;  // running sum of a branch's nodes
    double* series_im;
    double* admittance_re;  // running sum of a group's branch admittances
    double* admittance_im;
};

// One worker's memo. Two entries per slot (element or subtree, and block):
// a Jacobian alternates between the base values and, in the columns of the
// values beneath the slot, one perturbed set at a time. A new set replaces
// the entry reused less often, so the base survives those columns.
class ReuseMemo {
  public:
    static constexpr std::size_t kEntries = 2;

    explicit ReuseMemo(const EvaluationShape& shape);

    // Empties every entry.
    void forget();

    // Entries of one kind of slot: keys (slots, kEntries, key_length) and
    // impedances (slots, kEntries, kBlock).
    struct Table {
        double* keys = nullptr;
        unsigned char* filled = nullptr;
        std::uint32_t* hits = nullptr;
        double* re = nullptr;
        double* im = nullptr;
        std::size_t entries = 0;

        // The entry of `slot` whose key is the `count` values at v, or the
        // one to overwrite: an empty entry first, else the one reused less
        // often. key_at(e) locates entry e's key.
        template <class KeyAt>
        std::pair<std::size_t, bool> find(std::size_t slot, const double* v, std::size_t count,
                                          KeyAt&& key_at) const;
        double* re_of(std::size_t e) const { return re + e * kernels::kBlock; }
        double* im_of(std::size_t e) const { return im + e * kernels::kBlock; }
        // Marks entry e as holding the values it was just given.
        void fill(std::size_t e) const {
            filled[e] = 1;
            hits[e] = 0;
        }
    };

    // add_element through the memo: recomputed only when the values differ
    // in any bit from the ones stored for this element and block.
    void add_element(Kind kind, const double* v, const kernels::Block& b, std::size_t element,
                     std::size_t block_index, double* re, double* im, bool fresh);

    // Subtree `id` of block `block_index`: its slot, and where entry e keeps
    // the run of values it was formed from (at the subtree's key offset).
    std::size_t subtree_slot(std::size_t id, std::size_t block_index) const {
        return id * blocks_ + block_index;
    }
    double* subtree_key(std::size_t entry, std::size_t block_index, std::size_t key_offset) const {
        return subtrees_.keys + (block_index * kEntries + entry % kEntries) * subtree_key_length_ +
               key_offset;
    }
    const Table& subtrees() const { return subtrees_; }

  private:
    std::size_t blocks_ = 0;
    std::size_t subtree_key_length_ = 0;
    Table elements_;  // slot element·blocks + block, keys kMaxParams apart
    Table subtrees_;  // slot subtree·blocks + block, keys at the subtree's key_offset
    // (jω)^a of the Cpe and Tlmq elements by exponent alone, since their
    // columns for q, qs or r_ion leave the power unchanged.
    double* power_keys_ = nullptr;           // (elements, blocks)
    unsigned char* power_filled_ = nullptr;  // (elements, blocks)
    double* power_re_ = nullptr;             // (elements, blocks, kBlock)
    double* power_im_ = nullptr;             // (elements, blocks, kBlock)

    // Everything above lives in these; left uninitialised but for the flags.
    std::unique_ptr<double[]> doubles_;
    std::unique_ptr<std::uint32_t[]> counts_;
    std::unique_ptr<unsigned char[]> flags_;
    std::size_t flag_count_ = 0;
};

// One worker's scratch and memo.
class WorkerCache {
  public:
    WorkerCache(const EvaluationShape& shape, bool reuse);

    LevelScratch level(std::size_t depth) const {
        double* base = scratch_.get() + depth * 4 * kernels::kBlock;
        return {base, base + kernels::kBlock, base + 2 * kernels::kBlock,
                base + 3 * kernels::kBlock};
    }
    // Null when reuse is off or the spectrum is too long to be worth a memo.
    // Emptied first when the worker's last evaluation was of another
    // generation.
    ReuseMemo* memo(std::uint64_t generation);

  private:
    std::unique_ptr<double[]> scratch_;  // (depth + 1, 4, kBlock)
    std::unique_ptr<ReuseMemo> memo_;
    std::uint64_t generation_ = 0;
};

// The worker caches of one owner, made on first use: each by its own worker,
// or all at once by prepare_workers.
class EvaluationCache {
  public:
    enum class Reuse { Off, On };

    EvaluationCache(const EvaluationShape& shape, Reuse reuse);

    // The part of worker `index` (< worker_slots()); only that worker may
    // call this between two calls of prepare_workers or new_generation.
    WorkerCache& worker(std::size_t index);
    // Makes every worker's part now, so that later evaluations allocate
    // nothing whichever workers run them. Not while evaluations run.
    void prepare_workers();

    std::uint64_t generation() const { return generation_; }
    // Not while evaluations run.
    void new_generation() { ++generation_; }

  private:
    EvaluationShape shape_;
    bool reuse_;
    std::uint64_t generation_ = 1;
    std::vector<std::unique_ptr<WorkerCache>> workers_;  // (worker_slots())
};

template <class KeyAt>
std::pair<std::size_t, bool> ReuseMemo::Table::find(std::size_t slot, const double* v,
                                                    std::size_t count, KeyAt&& key_at) const {
    const std::size_t first = slot * kEntries;
    for (std::size_t e = first; e < first + kEntries; ++e) {
        if (filled[e] && same_bits(key_at(e), v, count)) return {e, true};
    }
    std::size_t victim = first;
    for (std::size_t e = first; e < first + kEntries; ++e) {
        if (!filled[e]) return {e, false};
        if (hits[e] < hits[victim]) victim = e;
    }
    return {victim, false};
}

}  // namespace korvane
