// A run holds two rows of 100 individuals: trials and the best found per
// slot. Trials are evaluated from slot 99 down to slot 0; when all are
// evaluated and the budget asks for more, a generation is made:
//   selection:  best[i] ← trial[i] when best[i] has no cost or trial[i] is lower;
//   new trial i: distinct id1, id2, id3; CR and F kept from best[i] or, with
//   probability 0.1 each, redrawn; a forced coordinate k; then per coordinate
//     trial_d = best[id3]_d + F·(best[id1]_d − best[id2]_d)   if d = k or U < CR,
//     trial_d = best[i]_d                                      otherwise.
// Trials are not clipped to the box. All arithmetic on positions is float.

#include "fit/search/differential_evolution.hpp"

#include <bit>
#include <cmath>
#include <optional>
#include <vector>

#include "fit/search/search_box.hpp"
#include "fit/search_space.hpp"
#include "runtime/os_random.hpp"

namespace korvane {
namespace {

constexpr std::size_t kPopulation = 100;
constexpr int kRestarts = 10;
constexpr float kMinF = 0.1f;  // F in [0.1, 1.0)
constexpr float kMaxF = 1.0f;
constexpr float kRedrawCr = 0.1f;  // probability of a fresh CR for a trial
constexpr float kRedrawF = 0.1f;   // probability of a fresh F for a trial

struct Individual {
    std::vector<float> position;
    std::optional<float> cost;
    float cr = 0.0f;
    float f = 0.0f;
};

struct FloatBox {
    std::vector<float> lo;
    std::vector<float> hi;
};

// The search box with each end rounded to a float.
Result<FloatBox> float_box(const Objective& objective, std::span<const double> p0) {
    const std::vector<SearchInterval> box = search_box(p0, objective.bounds());
    if (Status finite =
            check_search_box(box, objective, "differential evolution", 1.0, BoxPrecision::Single);
        !finite.ok()) {
        return finite.take_error();
    }
    FloatBox out;
    for (const SearchInterval& interval : box) {
        out.lo.push_back(static_cast<float>(interval.lo));
        out.hi.push_back(static_cast<float>(interval.hi));
    }
    return out;
}

class Run {
  public:
    Run(const FloatBox& box, Xorshift128 rng, SearchCost& cost)
        : box_(box),
          dimension_(box.lo.size()),
          rng_(rng),
          cost_(cost),
          trials_(kPopulation),
          best_(kPopulation),
          x_(dimension_) {
        for (Individual& trial : trials_) {
            trial.cr = rng_.uniform(0.0f, 1.0f);
            trial.f = rng_.uniform(kMinF, kMaxF);
            trial.position.resize(dimension_);
            for (std::size_t d = 0; d < dimension_; ++d) {
                trial.position[d] = rng_.uniform(box_.lo[d], box_.hi[d]);
            }
        }
        for (Individual& best : best_) best.position.resize(dimension_);
    }

    // One evaluation step, making a generation first when every slot is done.
    Status step() {
        if (pending_ == 0) {
            next_generation();
            pending_ = kPopulation;
        }
        const std::size_t slot = --pending_;
        Individual& trial = trials_[slot];
        for (std::size_t d = 0; d < dimension_; ++d) x_[d] = trial.position[d];
        Result<double> c = cost_(x_);
        if (!c) return c.take_error();
        const auto rounded = static_cast<float>(*c);
        trial.cost = rounded;
        if (!best_slot_ || rounded < best_cost_) {
            best_slot_ = slot;
            best_cost_ = rounded;
        }
        return ok_status();
    }

    // At the best-so-far slot: the trial unless the best-row entry has a cost
    // and the trial's is not strictly lower; null when neither exists.
    const Individual* result() const {
        if (!best_slot_) return nullptr;
        const Individual& trial = trials_[*best_slot_];
        const Individual& best = best_[*best_slot_];
        if (!best.cost) return trial.cost ? &trial : nullptr;
        if (!trial.cost) return &best;
        return *trial.cost < *best.cost ? &trial : &best;
    }

  private:
    void next_generation() {
        for (std::size_t i = 0; i < kPopulation; ++i) {
            const Individual& trial = trials_[i];
            if (!best_[i].cost || (trial.cost && *trial.cost < *best_[i].cost)) {
                best_[i] = trial;
            }
        }
        const auto population = static_cast<std::uint32_t>(kPopulation);
        for (std::size_t i = 0; i < kPopulation; ++i) {
            const std::uint32_t id1 = rng_.below(population);
            std::uint32_t id2 = rng_.below(population);
            while (id2 == id1) id2 = rng_.below(population);
            std::uint32_t id3 = rng_.below(population);
            while (id3 == id1 || id3 == id2) id3 = rng_.below(population);

            Individual& trial = trials_[i];
            const Individual& own = best_[i];
            trial.cr = rng_.unit() < kRedrawCr ? rng_.uniform(0.0f, 1.0f) : own.cr;
            trial.f = rng_.unit() < kRedrawF ? rng_.uniform(kMinF, kMaxF) : own.f;
            const std::size_t forced = rng_.below(static_cast<std::uint32_t>(dimension_));
            const std::vector<float>& base = best_[id3].position;
            const std::vector<float>& plus = best_[id1].position;
            const std::vector<float>& minus = best_[id2].position;
            for (std::size_t d = 0; d < dimension_; ++d) {
                if (d == forced || rng_.unit() < trial.cr) {
                    trial.position[d] = base[d] + trial.f * (plus[d] - minus[d]);
                } else {
                    trial.position[d] = own.position[d];
                }
            }
            trial.cost.reset();
        }
    }

    const FloatBox& box_;
    std::size_t dimension_;
    Xorshift128 rng_;
    SearchCost& cost_;
    std::vector<Individual> trials_;     // (100,)
    std::vector<Individual> best_;       // (100,)
    std::size_t pending_ = kPopulation;  // trials of this generation not yet evaluated
    std::optional<std::size_t> best_slot_;
    float best_cost_ = 0.0f;
    std::vector<double> x_;  // (dimension,) the trial widened to double
};

}  // namespace

Xorshift128::Xorshift128(const std::array<std::uint32_t, 4>& words)
    : x_(words[0]), y_(words[1]), z_(words[2]), w_(words[3]) {}

Result<Xorshift128> Xorshift128::from_os() {
    std::array<std::uint32_t, 4> words{};
    do {
        std::array<std::byte, 16> bytes{};
        if (Status read = os_random_bytes(bytes); !read.ok()) return read.take_error();
        for (std::size_t k = 0; k < words.size(); ++k) {
            words[k] = 0;
            for (std::size_t b = 0; b < 4; ++b) {
                words[k] |= static_cast<std::uint32_t>(bytes[4 * k + b]) << (8 * b);
            }
        }
    } while (words[0] == 0 && words[1] == 0 && words[2] == 0 && words[3] == 0);
    return Xorshift128(words);
}

std::uint32_t Xorshift128::next_u32() {
    const std::uint32_t t = x_ ^ (x_ << 11);
    x_ = y_;
    y_ = z_;
    z_ = w_;
    w_ = w_ ^ (w_ >> 19) ^ t ^ (t >> 8);
    return w_;
}

float Xorshift128::unit() {
    const std::uint32_t bits = 0x3F800000u | (next_u32() & 0x007FFFFFu);
    return std::bit_cast<float>(bits) - 1.0f;
}

float Xorshift128::uniform(float a, float b) { return a + (b - a) * unit(); }

std::uint32_t Xorshift128::below(std::uint32_t k) {
    constexpr std::uint32_t kMax = 0xFFFFFFFFu;
    const std::uint32_t zone = kMax - kMax % k;
    std::uint32_t v = next_u32();
    while (v >= zone) v = next_u32();
    return v % k;
}

Result<SearchOutcome> differential_evolution(const Objective& objective, std::span<const double> p0,
                                             const FitSettings& settings) {
    const std::size_t evaluations = settings.de_evaluations;
    Result<FloatBox> box = float_box(objective, p0);
    if (!box) return box.take_error();
    const std::span<const Bounds> bounds = objective.bounds();
    const std::size_t budget = evaluations > 0 ? evaluations : 1;

    SearchCost cost(objective);
    BestRecord overall;
    std::uint64_t performed = 0;
    for (int restart = 0; restart < kRestarts; ++restart) {
        Result<Xorshift128> rng = Xorshift128::from_os();
        if (!rng) return rng.take_error();
        Run run(*box, *rng, cost);
        for (std::size_t e = 0; e < budget; ++e) {
            if (Status stepped = run.step(); !stepped.ok()) return stepped.error();
            ++performed;
        }
        const Individual* best = run.result();
        if (best == nullptr) return solver_error("differential evolution found no best position");

        // Judged again in double precision: float costs of nearby minima tie.
        const std::vector<double> widened(best->position.begin(), best->position.end());
        std::vector<double> params = from_search_space(widened, bounds);
        Result<double> exact = objective.cost(params);
        if (!exact) return exact.take_error();
        overall.offer_ranked(params, *exact);
    }
    const std::span<const double> best = overall.position();
    return SearchOutcome{{best.begin(), best.end()}, performed, std::nullopt};
}

}  // namespace korvane
