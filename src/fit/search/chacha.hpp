#pragma once
// The random generator of the stochastic fit methods: the ChaCha stream
// cipher's keystream read as 32-bit words.
//
// Reference: D. J. Bernstein, "ChaCha, a variant of Salsa20" (2008). The
// state is four constant words, eight key words, a 64-bit block counter
// (words 12–13) and a 64-bit stream number (words 14–15, always 0 here),
// the layout of the original design rather than RFC 8439's 32-bit counter
// with a 96-bit nonce. Twelve rounds keep every statistical property a
// search needs at 60 % of ChaCha20's cost.
//
// The 32-byte key comes from a 64-bit seed through the PCG32 expansion, so
// the same seed reproduces a fit exactly, or from the operating system.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "runtime/result.hpp"

namespace korvane {

using ChaChaKey = std::array<std::uint32_t, 8>;
using ChaChaBlock = std::array<std::uint32_t, 16>;

// The block function: `rounds` (even) rounds over the state built from key,
// counter and stream, plus the input state (the feed-forward).
ChaChaBlock chacha_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                         int rounds);

// Eight words w_k from the seed s: state = state·6364136223846793005 +
// 11634580027462260723 (mod 2⁶⁴) starting at s, then
// w = rotr32(lo32(((state >> 18) ^ state) >> 27), state >> 59).
// Word k is key bytes 4k…4k+3 little-endian, i.e. key word k itself.
ChaChaKey pcg32_key(std::uint64_t seed);

class ChaChaRng {
  public:
    static constexpr int kRounds = 12;

    explicit ChaChaRng(const ChaChaKey& key) : key_(key) {}

    // From the seed when given, otherwise from 32 bytes of the operating
    // system's random source (which may fail).
    static Result<ChaChaRng> make(std::optional<std::uint64_t> seed);

    std::uint32_t next_u32();
    // Low word first, then the high word.
    std::uint64_t next_u64();

    // (r >> 12)·2⁻⁵²: 52 random bits in [0, 1).
    double unit52();
    // u·(hi − lo) + lo with u = unit52(); needs a finite hi − lo.
    double uniform(double lo, double hi);
    // Equal ends give lo without a draw; otherwise uniform in
    // [min(lo, hi), max(lo, hi)).
    double between(double lo, double hi);
    // u·(2t) − t, in [−t, t] for a finite t ≥ 0.
    double symmetric(double t);
    // (r >> 11)·2⁻⁵³: 53 random bits in [0, 1).
    double probability();

  private:
    ChaChaKey key_;
    std::uint64_t counter_ = 0;  // the next block to generate
    ChaChaBlock block_{};
    std::size_t used_ = block_.size();  // words of block_ already handed out
};

}  // namespace korvane
