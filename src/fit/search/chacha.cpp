#include "fit/search/chacha.hpp"

#include <bit>
#include <cstring>

#include "runtime/os_random.hpp"

namespace korvane {
namespace {

// "expand 32-byte k" as four little-endian words.
constexpr std::uint32_t kSigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

constexpr double kTwoPowMinus52 = 0x1p-52;
constexpr double kTwoPowMinus53 = 0x1p-53;

// a += b; d ^= a; d <<<= 16; c += d; b ^= c; b <<<= 12;
// a += b; d ^= a; d <<<= 8;  c += d; b ^= c; b <<<= 7.
inline void quarter_round(ChaChaBlock& s, int a, int b, int c, int d) {
    s[a] += s[b];
    s[d] = std::rotl(s[d] ^ s[a], 16);
    s[c] += s[d];
    s[b] = std::rotl(s[b] ^ s[c], 12);
    s[a] += s[b];
    s[d] = std::rotl(s[d] ^ s[a], 8);
    s[c] += s[d];
    s[b] = std::rotl(s[b] ^ s[c], 7);
}

}  // namespace

ChaChaBlock chacha_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                         int rounds) {
    ChaChaBlock input{};
    for (int i = 0; i < 4; ++i) input[i] = kSigma[i];
    for (int i = 0; i < 8; ++i) input[4 + i] = key[i];
    input[12] = static_cast<std::uint32_t>(counter);
    input[13] = static_cast<std::uint32_t>(counter >> 32);
    input[14] = static_cast<std::uint32_t>(stream);
    input[15] = static_cast<std::uint32_t>(stream >> 32);

    ChaChaBlock s = input;
    for (int round = 0; round < rounds; round += 2) {
        // A column round, then a diagonal round.
        quarter_round(s, 0, 4, 8, 12);
        quarter_round(s, 1, 5, 9, 13);
        quarter_round(s, 2, 6, 10, 14);
        quarter_round(s, 3, 7, 11, 15);
        quarter_round(s, 0, 5, 10, 15);
        quarter_round(s, 1, 6, 11, 12);
        quarter_round(s, 2, 7, 8, 13);
        quarter_round(s, 3, 4, 9, 14);
    }
    for (std::size_t i = 0; i < s.size(); ++i) s[i] += input[i];
    return s;
}

ChaChaKey pcg32_key(std::uint64_t seed) {
    constexpr std::uint64_t kMultiplier = 6364136223846793005ULL;
    constexpr std::uint64_t kIncrement = 11634580027462260723ULL;
    ChaChaKey key{};
    std::uint64_t state = seed;
    for (std::uint32_t& word : key) {
        state = state * kMultiplier + kIncrement;  // wraps modulo 2⁶⁴
        const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
        const auto rot = static_cast<int>(state >> 59);
        word = std::rotr(xorshifted, rot);
    }
    return key;
}

Result<ChaChaRng> ChaChaRng::make(std::optional<std::uint64_t> seed) {
    if (seed) return ChaChaRng(pcg32_key(*seed));
    std::array<std::byte, 32> bytes{};
    if (Status read = os_random_bytes(bytes); !read.ok()) return read.take_error();
    ChaChaKey key{};
    for (std::size_t k = 0; k < key.size(); ++k) {
        std::uint32_t word = 0;
        for (std::size_t b = 0; b < 4; ++b) {
            word |= static_cast<std::uint32_t>(bytes[4 * k + b]) << (8 * b);
        }
        key[k] = word;
    }
    return ChaChaRng(key);
}

std::uint32_t ChaChaRng::next_u32() {
    if (used_ == block_.size()) {
        block_ = chacha_block(key_, counter_++, 0, kRounds);
        used_ = 0;
    }
    return block_[used_++];
}

std::uint64_t ChaChaRng::next_u64() {
    const std::uint64_t low = next_u32();
    const std::uint64_t high = next_u32();
    return (high << 32) | low;
}

double ChaChaRng::unit52() { return static_cast<double>(next_u64() >> 12) * kTwoPowMinus52; }

double ChaChaRng::uniform(double lo, double hi) { return unit52() * (hi - lo) + lo; }

double ChaChaRng::between(double lo, double hi) {
    if (lo == hi) return lo;
    return lo < hi ? uniform(lo, hi) : uniform(hi, lo);
}

double ChaChaRng::symmetric(double t) { return unit52() * (2.0 * t) - t; }

double ChaChaRng::probability() { return static_cast<double>(next_u64() >> 11) * kTwoPowMinus53; }

}  // namespace korvane
