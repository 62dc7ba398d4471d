#include "fit/search/chacha.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace korvane {
namespace {

// Keystream bytes to the little-endian words the generator hands out.
ChaChaBlock words_of(const std::array<std::uint8_t, 64>& bytes) {
    ChaChaBlock words{};
    for (std::size_t k = 0; k < 16; ++k) {
        words[k] = std::uint32_t{bytes[4 * k]} | std::uint32_t{bytes[4 * k + 1]} << 8 |
                   std::uint32_t{bytes[4 * k + 2]} << 16 | std::uint32_t{bytes[4 * k + 3]} << 24;
    }
    return words;
}

// clang-format off
// A second ChaCha, written straight from Bernstein's reference code
// (chacha-ref.c: the x[] array, ROTATE/QUARTERROUND macros, 64-bit counter in
// input[12..13], IV in input[14..15]), sharing nothing with the code under test.
#define REF_ROTATE(v, c) (((v) << (c)) | ((v) >> (32 - (c))))
#define REF_QUARTERROUND(a, b, c, d)              \
    x[a] += x[b]; x[d] = REF_ROTATE(x[d] ^ x[a], 16); \
    x[c] += x[d]; x[b] = REF_ROTATE(x[b] ^ x[c], 12); \
    x[a] += x[b]; x[d] = REF_ROTATE(x[d] ^ x[a], 8);  \
    x[c] += x[d]; x[b] = REF_ROTATE(x[b] ^ x[c], 7);

std::array<std::uint32_t, 16> reference_block(const std::array<std::uint32_t, 8>& key,
                                              std::uint64_t counter, std::uint64_t iv,
                                              int rounds) {
    const std::uint32_t input[16] = {
        0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u, key[0], key[1], key[2], key[3],
        key[4], key[5], key[6], key[7], static_cast<std::uint32_t>(counter & 0xffffffffu),
        static_cast<std::uint32_t>(counter >> 32), static_cast<std::uint32_t>(iv & 0xffffffffu),
        static_cast<std::uint32_t>(iv >> 32)};
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = input[i];
    for (int i = rounds; i > 0; i -= 2) {
        REF_QUARTERROUND(0, 4, 8, 12)
        REF_QUARTERROUND(1, 5, 9, 13)
        REF_QUARTERROUND(2, 6, 10, 14)
        REF_QUARTERROUND(3, 7, 11, 15)
        REF_QUARTERROUND(0, 5, 10, 15)
        REF_QUARTERROUND(1, 6, 11, 12)
        REF_QUARTERROUND(2, 7, 8, 13)
        REF_QUARTERROUND(3, 4, 9, 14)
    }
    std::array<std::uint32_t, 16> out{};
    for (int i = 0; i < 16; ++i) out[i] = x[i] + input[i];
    return out;
}
#undef REF_QUARTERROUND
#undef REF_ROTATE
// clang-format on

TEST(ChaChaBlock, MatchesPublishedChaCha20Vectors) {
    // RFC 8439 appendix A.1, test vectors 1 and 2: all-zero key and nonce,
    // block counters 0 and 1. With a zero nonce the RFC's 32-bit counter and
    // the 64-bit counter of the original layout coincide.
    const ChaChaKey zero{};
    EXPECT_EQ(
        chacha_block(zero, 0, 0, 20),
        words_of({0x76, 0xb8, 0xe0, 0xad, 0xa0, 0xf1, 0x3d, 0x90, 0x40, 0x5d, 0x6a, 0xe5, 0x53,
                  0x86, 0xbd, 0x28, 0xbd, 0xd2, 0x19, 0xb8, 0xa0, 0x8d, 0xed, 0x1a, 0xa8, 0x36,
                  0xef, 0xcc, 0x8b, 0x77, 0x0d, 0xc7, 0xda, 0x41, 0x59, 0x7c, 0x51, 0x57, 0x48,
                  0x8d, 0x77, 0x24, 0xe0, 0x3f, 0xb8, 0xd8, 0x4a, 0x37, 0x6a, 0x43, 0xb8, 0xf4,
                  0x15, 0x18, 0xa1, 0x1c, 0xc3, 0x87, 0xb6, 0x69, 0xb2, 0xee, 0x65, 0x86}));
    EXPECT_EQ(
        chacha_block(zero, 1, 0, 20),
        words_of({0x9f, 0x07, 0xe7, 0xbe, 0x55, 0x51, 0x38, 0x7a, 0x98, 0xba, 0x97, 0x7c, 0x73,
                  0x2d, 0x08, 0x0d, 0xcb, 0x0f, 0x29, 0xa0, 0x48, 0xe3, 0x65, 0x69, 0x12, 0xc6,
                  0x53, 0x3e, 0x32, 0xee, 0x7a, 0xed, 0x29, 0xb7, 0x21, 0x76, 0x9c, 0xe6, 0x4e,
                  0x43, 0xd5, 0x71, 0x33, 0xb0, 0x74, 0xd8, 0x39, 0xd5, 0x31, 0xed, 0x1f, 0x28,
                  0x51, 0x0a, 0xfb, 0x45, 0xac, 0xe1, 0x0a, 0x1f, 0x4b, 0x79, 0x4d, 0x6f}));

    // RFC 8439 §2.3.2: key 00 01 … 1f, block count 1, nonce 00:00:00:09
    // 00:00:00:4a 00:00:00:00. Words 13–15 hold the nonce, so in the 64-bit
    // layout the counter's high word is 0x09000000 and the stream 0x4a000000.
    ChaChaKey key{};
    for (std::uint32_t k = 0; k < 8; ++k) {
        key[k] = (4 * k) | (4 * k + 1) << 8 | (4 * k + 2) << 16 | (4 * k + 3) << 24;
    }
    const ChaChaBlock expected = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3,
                                  0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
                                  0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                  0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
    EXPECT_EQ(chacha_block(key, 1 | std::uint64_t{0x09000000} << 32, 0x4a000000, 20), expected);
}

TEST(ChaChaBlock, TwelveRoundsAgreeWithAnIndependentImplementation) {
    // Keys, counters and streams that exercise every input word, including a
    // counter whose low word carries into the high one.
    const ChaChaKey keys[] = {
        pcg32_key(1), pcg32_key(0xdeadbeef), {0xffffffffu, 0, 0xffffffffu, 0, 1, 2, 3, 4}};
    for (const ChaChaKey& key : keys) {
        for (const std::uint64_t counter :
             {std::uint64_t{0}, std::uint64_t{7}, std::uint64_t{0xffffffff},
              std::uint64_t{0x100000000}, ~std::uint64_t{0}}) {
            for (const std::uint64_t stream :
                 {std::uint64_t{0}, std::uint64_t{0x0123456789abcdef}}) {
                for (const int rounds : {8, 12, 20}) {
                    EXPECT_EQ(chacha_block(key, counter, stream, rounds),
                              reference_block(key, counter, stream, rounds))
                        << counter << " " << stream << " " << rounds;
                }
            }
        }
    }
}

// The expansion written out independently: 128-bit products reduced modulo
// 2⁶⁴ and the rotation by shifts.
ChaChaKey reference_pcg32(std::uint64_t seed) {
    ChaChaKey key{};
    unsigned __int128 state = seed;
    for (std::uint32_t& word : key) {
        state = (state * 6364136223846793005ULL + 11634580027462260723ULL) & ~std::uint64_t{0};
        const auto s = static_cast<std::uint64_t>(state);
        const auto x = static_cast<std::uint32_t>((s ^ (s >> 18)) >> 27);
        const unsigned r = static_cast<unsigned>(s >> 59);
        word = r == 0 ? x : (x >> r) | (x << (32 - r));
    }
    return key;
}

TEST(Pcg32Key, ExpandsSeedsIncludingTheExtremes) {
    // Worked out by hand from the recurrence (and by the formula above).
    EXPECT_EQ(pcg32_key(0), (ChaChaKey{0xf973f2ec, 0x45cdb581, 0x7346f087, 0xad6cad06, 0xe3a3d0d0,
                                       0x67e71733, 0x72ea9bf2, 0xfe7d8ad7}));
    EXPECT_EQ(pcg32_key(~std::uint64_t{0}),
              (ChaChaKey{0xe392472f, 0x102810d6, 0x952d5435, 0x435ef92c, 0x7b34e99a, 0x37c5dd03,
                         0xb0c77a63, 0x3e612043}));
    for (const std::uint64_t seed : {std::uint64_t{0}, std::uint64_t{42}, ~std::uint64_t{0},
                                     std::uint64_t{0x8000000000000000}}) {
        EXPECT_EQ(pcg32_key(seed), reference_pcg32(seed)) << seed;
    }
}

TEST(ChaChaRng, ReadsTheKeystreamAsWordsAcrossBlocks) {
    const ChaChaKey key = pcg32_key(5);
    ChaChaRng rng(key);
    std::vector<std::uint32_t> stream;
    for (std::uint64_t block = 0; block < 3; ++block) {
        const ChaChaBlock words = chacha_block(key, block, 0, 12);
        stream.insert(stream.end(), words.begin(), words.end());
    }
    // One odd word first, so that a 64-bit draw straddles the block boundary.
    std::size_t at = 0;
    EXPECT_EQ(rng.next_u32(), stream[at++]);
    while (at + 2 <= stream.size()) {
        const std::uint64_t expected = std::uint64_t{stream[at + 1]} << 32 | stream[at];
        ASSERT_EQ(rng.next_u64(), expected) << at;
        at += 2;
    }
}

TEST(ChaChaRng, DrawFormsUseTheirBitsAndSkipDegenerateDraws) {
    const ChaChaKey key = pcg32_key(9);
    ChaChaRng raw(key);
    ChaChaRng rng(key);
    auto next = [&raw] { return raw.next_u64(); };

    const std::uint64_t r1 = next();
    EXPECT_EQ(rng.uniform(-2.0, 6.0), static_cast<double>(r1 >> 12) * 0x1p-52 * 8.0 - 2.0);
    EXPECT_EQ(rng.between(3.0, 3.0), 3.0);  // equal ends: no draw
    EXPECT_EQ(rng.between(0.0, -0.0), 0.0);
    const std::uint64_t r2 = next();
    EXPECT_EQ(rng.between(0.0, -4.0), static_cast<double>(r2 >> 12) * 0x1p-52 * 4.0 - 4.0);
    const std::uint64_t r3 = next();
    EXPECT_EQ(rng.symmetric(1.5), static_cast<double>(r3 >> 12) * 0x1p-52 * 3.0 - 1.5);
    const std::uint64_t r4 = next();
    EXPECT_EQ(rng.probability(), static_cast<double>(r4 >> 11) * 0x1p-53);

    // Ranges: many draws stay inside their intervals.
    for (int i = 0; i < 2000; ++i) {
        const double u = rng.uniform(1.0, 2.0);
        ASSERT_TRUE(u >= 1.0 && u < 2.0);
        const double b = rng.between(0.0, -1e-3);
        ASSERT_TRUE(b >= -1e-3 && b < 0.0);
        const double s = rng.symmetric(0.25);
        ASSERT_TRUE(s >= -0.25 && s <= 0.25);
        const double q = rng.probability();
        ASSERT_TRUE(q >= 0.0 && q < 1.0);
    }
}

TEST(ChaChaRng, SeededGeneratorsRepeatAndUnseededOnesDiffer) {
    ChaChaRng a = ChaChaRng::make(77).value();
    ChaChaRng b = ChaChaRng::make(77).value();
    ChaChaRng c = ChaChaRng::make(78).value();
    ChaChaRng os1 = ChaChaRng::make(std::nullopt).value();
    ChaChaRng os2 = ChaChaRng::make(std::nullopt).value();
    const std::uint64_t first = a.next_u64();
    EXPECT_EQ(first, b.next_u64());
    EXPECT_NE(first, c.next_u64());
    EXPECT_NE(os1.next_u64(), os2.next_u64());
}

}  // namespace
}  // namespace korvane
