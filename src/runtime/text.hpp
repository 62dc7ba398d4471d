#pragma once
// Text primitives: quoting of names, labels, keys and paths inside messages,
// UTF-8 stepping, Unicode white-space trimming and ASCII case folding.

#include <string>
#include <string_view>

namespace korvane {

// Writes s in double quotes with a backslash before '"' and '\\', and escape
// sequences for control characters (\n, \t, \r, \0, \u{..} style for others),
// e.g. unknown parameter "R2.r". Printable characters above 0x7F are kept as
// UTF-8; invisible ones (C1 controls, separators other than the space, common
// format characters, private use) become \u{..}, bytes that are not UTF-8
// \xNN.
std::string quoted(std::string_view s);

// One UTF-8 sequence starting at byte i of s. A byte that does not start a
// well-formed sequence (overlong forms, surrogates, values above U+10FFFF,
// truncation) decodes alone with valid = false and code = that byte.
struct Utf8Char {
    char32_t code;
    std::size_t length;  // bytes consumed, at least 1
    bool valid;
};
Utf8Char decode_utf8(std::string_view s, std::size_t i);

// Number of characters in s as decode_utf8 steps through it.
std::size_t utf8_length(std::string_view s);

// True when decode_utf8 finds every character of s well-formed.
bool is_valid_utf8(std::string_view s);

// Unicode White_Space property (25 characters).
bool is_white_space(char32_t c);

// s without the White_Space characters at either end. Trimming stops at the
// first byte that is not part of a well-formed sequence, so broken UTF-8 at
// an end is kept rather than guessed at.
std::string_view trim_white_space(std::string_view s);

// 'A'..'Z' to 'a'..'z'; every other byte unchanged (no Unicode folding: the
// Kelvin sign is not "k").
char ascii_lower(char c);

// a and b equal byte for byte after ascii_lower.
bool equal_ignoring_ascii_case(std::string_view a, std::string_view b);

}  // namespace korvane
