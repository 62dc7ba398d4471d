// Per-worker scratch and reuse memo of the block-wise evaluation.

#include "circuit/evaluation_cache.hpp"

#include <algorithm>
#include <cstring>

#include "runtime/pool.hpp"

namespace korvane {
namespace {

using kernels::kBlock;

// Points times slots (elements and subtrees) a worker's memo may cover, and
// the cap on blocks times subtree key length: with two entries per slot, the
// powers and the keys, at most 32 MB per worker. Spectra beyond that are long
// enough to hide the recomputation anyway.
constexpr std::size_t kMaxReusedValues = std::size_t{1} << 19;

std::size_t block_count(const EvaluationShape& shape) {
    return (shape.points + kBlock - 1) / kBlock;
}

bool memo_fits(const EvaluationShape& shape) {
    const std::size_t blocks = block_count(shape);
    return (shape.elements + shape.subtrees) * blocks * kBlock <= kMaxReusedValues &&
           shape.subtree_key_length * blocks <= kMaxReusedValues;
}

}  // namespace

ReuseMemo::ReuseMemo(const EvaluationShape& shape)
    : blocks_(block_count(shape)), subtree_key_length_(shape.subtree_key_length) {
    const std::size_t element_slots = shape.elements * blocks_;
    const std::size_t element_entries = element_slots * kEntries;
    const std::size_t subtree_entries = shape.subtrees * blocks_ * kEntries;
    const std::size_t element_keys = element_entries * kMaxParams;
    const std::size_t subtree_keys = blocks_ * kEntries * subtree_key_length_;
    const std::size_t doubles = element_keys + subtree_keys +
                                2 * (element_entries + subtree_entries) * kBlock +
                                element_slots * (1 + 2 * kBlock);
    doubles_.reset(new double[doubles]);
    counts_.reset(new std::uint32_t[element_entries + subtree_entries]);
    flag_count_ = element_entries + subtree_entries + element_slots;
    flags_.reset(new unsigned char[flag_count_]);

    double* next = doubles_.get();
    const auto take = [&next](std::size_t count) {
        double* part = next;
        next += count;
        return part;
    };
    elements_.entries = element_entries;
    elements_.keys = take(element_keys);
    elements_.re = take(element_entries * kBlock);
    elements_.im = take(element_entries * kBlock);
    elements_.hits = counts_.get();
    elements_.filled = flags_.get();
    subtrees_.entries = subtree_entries;
    subtrees_.keys = take(subtree_keys);
    subtrees_.re = take(subtree_entries * kBlock);
    subtrees_.im = take(subtree_entries * kBlock);
    subtrees_.hits = counts_.get() + element_entries;
    subtrees_.filled = flags_.get() + element_entries;
    power_keys_ = take(element_slots);
    power_re_ = take(element_slots * kBlock);
    power_im_ = take(element_slots * kBlock);
    power_filled_ = flags_.get() + element_entries + subtree_entries;
    forget();
}

void ReuseMemo::forget() { std::fill(flags_.get(), flags_.get() + flag_count_, 0); }

void ReuseMemo::add_element(Kind kind, const double* v, const kernels::Block& b,
                            std::size_t element, std::size_t block_index, double* __restrict re,
                            double* __restrict im, bool fresh) {
    const Table& table = elements_;
    const std::size_t slot = element * blocks_ + block_index;
    const std::size_t count = static_cast<std::size_t>(param_count(kind));
    const auto key_at = [&table](std::size_t e) { return table.keys + e * kMaxParams; };
    const auto [entry, found] = table.find(slot, v, count, key_at);
    double* __restrict z_re = table.re_of(entry);
    double* __restrict z_im = table.im_of(entry);
    if (found) {
        ++table.hits[entry];
        kernels::add_values(re, im, z_re, z_im, b.n, fresh);
        return;
    }
    std::memcpy(key_at(entry), v, count * sizeof(double));
    table.fill(entry);
    if (kind == Kind::Cpe || kind == Kind::Tlmq) {
        // Z = f(values, (jω)^a) with a the last value: the power from the
        // memo when a is bit for bit the one it was formed with.
        const double a = v[count - 1];
        double* __restrict p_re = power_re_ + slot * kBlock;
        double* __restrict p_im = power_im_ + slot * kBlock;
        if (!power_filled_[slot] || !same_bits(&power_keys_[slot], &a, 1)) {
            kernels::jw_powers(b, a, p_re, p_im);
            std::memcpy(&power_keys_[slot], &a, sizeof a);
            power_filled_[slot] = 1;
        }
        if (kind == Kind::Cpe) {
            kernels::add_kept_cpe(re, im, z_re, z_im, p_re, p_im, v[0], b.n, fresh);
            return;
        }
        kernels::tlmq_values(v, p_re, p_im, b.n, z_re, z_im);
    } else {
        kernels::element_values(kind, v, b, z_re, z_im);
    }
    kernels::add_values(re, im, z_re, z_im, b.n, fresh);
}

WorkerCache::WorkerCache(const EvaluationShape& shape, bool reuse)
    : scratch_(new double[(shape.depth + 1) * 4 * kBlock]) {
    if (reuse && memo_fits(shape)) memo_ = std::make_unique<ReuseMemo>(shape);
}

ReuseMemo* WorkerCache::memo(std::uint64_t generation) {
    if (memo_ && generation != generation_) {
        memo_->forget();
        generation_ = generation;
    }
    return memo_.get();
}

EvaluationCache::EvaluationCache(const EvaluationShape& shape, Reuse reuse)
    : shape_(shape), reuse_(reuse == Reuse::On), workers_(worker_slots()) {}

WorkerCache& EvaluationCache::worker(std::size_t index) {
    std::unique_ptr<WorkerCache>& cache = workers_[index];
    if (!cache) cache = std::make_unique<WorkerCache>(shape_, reuse_);
    return *cache;
}

void EvaluationCache::prepare_workers() {
    for (std::size_t index = 0; index < workers_.size(); ++index) worker(index);
}

}  // namespace korvane
