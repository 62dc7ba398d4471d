// Quoting for messages, the UTF-8 stepping behind character positions, and
// the trimming and folding under which names compare.

#include "runtime/text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace korvane {
namespace {

TEST(Quoted, EscapesQuotesBackslashesAndControls) {
    EXPECT_EQ(quoted("R2.r"), "\"R2.r\"");
    EXPECT_EQ(quoted(""), "\"\"");
    EXPECT_EQ(quoted("a\"b"), "\"a\\\"b\"");
    EXPECT_EQ(quoted("C:\\dir"), "\"C:\\\\dir\"");
    EXPECT_EQ(quoted("a\nb\tc\rd"), "\"a\\nb\\tc\\rd\"");
    EXPECT_EQ(quoted(std::string_view("x\0y", 3)), "\"x\\0y\"");
    EXPECT_EQ(quoted("\x01\x1b\x7f"), "\"\\u{1}\\u{1b}\\u{7f}\"");
    // Printable non-ASCII text stays as it is; invisible characters do not.
    EXPECT_EQ(quoted("r\xC3\xA9sistance \xCE\xA9"), "\"r\xC3\xA9sistance \xCE\xA9\"");
    EXPECT_EQ(quoted("\xC2\x85|\xC2\xA0|\xE2\x80\x8B|\xE2\x80\xA8|\xEF\xBB\xBF"),
              "\"\\u{85}|\\u{a0}|\\u{200b}|\\u{2028}|\\u{feff}\"");
    // Bytes that are not UTF-8 are shown as bytes.
    EXPECT_EQ(quoted("a\xFF\xC3"), "\"a\\xff\\xc3\"");
}

TEST(Utf8, DecodesWellFormedSequencesOnly) {
    const auto one = [](std::string_view s) { return decode_utf8(s, 0); };
    EXPECT_EQ(one("A").code, U'A');
    EXPECT_EQ(one("\xC3\xA9").code, U'\u00e9');
    EXPECT_EQ(one("\xE2\x82\xAC").code, U'\u20ac');
    EXPECT_EQ(one("\xF0\x9F\x94\x8B").code, U'\U0001F50B');
    EXPECT_EQ(one("\xF0\x9F\x94\x8B").length, 4u);
    // Overlong forms, surrogates, values past U+10FFFF, stray continuation
    // bytes and truncated sequences are single invalid bytes.
    for (const std::string_view bad :
         {"\xC0\x80", "\xE0\x80\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80", "\xE2\x82",
          "\xF5\x80\x80\x80", "\xC3\x41"}) {
        const Utf8Char ch = decode_utf8(bad, 0);
        EXPECT_FALSE(ch.valid) << quoted(bad);
        EXPECT_EQ(ch.length, 1u) << quoted(bad);
    }
    EXPECT_EQ(utf8_length(""), 0u);
    EXPECT_EQ(utf8_length("R0-\xC3\xA9\xE2\x82\xAC\xF0\x9F\x94\x8B"), 6u);
    EXPECT_EQ(utf8_length("\xE2\x82"), 2u);
}

TEST(TrimWhiteSpace, RemovesUnicodeWhiteSpaceAtBothEndsOnly) {
    EXPECT_EQ(trim_white_space("  rc \t"), "rc");
    EXPECT_EQ(trim_white_space(" r c "), "r c");
    EXPECT_EQ(trim_white_space(" \n "), "");
    EXPECT_EQ(trim_white_space(""), "");
    // Every White_Space character, on both sides, in UTF-8.
    EXPECT_EQ(trim_white_space("\t\n\v\f\r \xC2\x85\xC2\xA0\xE1\x9A\x80\xE2\x80\x80\xE2\x80\x8A"
                               "x"
                               "\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80"),
              "x");
    // Zero-width space and BOM are not White_Space, so they stay.
    EXPECT_EQ(trim_white_space("x\xE2\x80\x8B"), "x\xE2\x80\x8B");
    EXPECT_EQ(trim_white_space("\xEF\xBB\xBFx"), "\xEF\xBB\xBFx");
    // Trimming stops at broken UTF-8, which is kept with whatever lies
    // inside it; a lone continuation byte 0xA0 is not NBSP (C2 A0).
    EXPECT_EQ(trim_white_space("x \xC2 "), "x \xC2");
    EXPECT_EQ(trim_white_space(" \xA0x"), "\xA0x");
    EXPECT_EQ(trim_white_space("x\xC2\xA0"), "x");
}

TEST(AsciiFold, FoldsAsciiLettersOnly) {
    EXPECT_TRUE(equal_ignoring_ascii_case("Sei_Randles_WO", "sei_randles_wo"));
    EXPECT_TRUE(equal_ignoring_ascii_case("INF", "inf"));
    EXPECT_FALSE(equal_ignoring_ascii_case("rc", "rc_"));
    EXPECT_FALSE(equal_ignoring_ascii_case("[", "{"));  // '[' + 32 is '{', not a letter
    // The Kelvin sign is not "k", the long s not "s".
    EXPECT_FALSE(equal_ignoring_ascii_case("\xE2\x84\xAA", "k"));
    EXPECT_FALSE(equal_ignoring_ascii_case("\xC5\xBF", "s"));
}

}  // namespace
}  // namespace korvane
