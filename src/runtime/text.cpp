// Quoting of user-supplied names inside messages, the UTF-8 stepping the
// messages need (caret positions and edit distances count characters), and
// the trimming and folding under which names and metadata values compare.
//
// References: The Unicode Standard 15.0, Table 3-7 "Well-Formed UTF-8 Byte
// Sequences", which decode_utf8 follows exactly; Unicode Standard Annex #44,
// PropList.txt (White_Space), for the characters trimmed.

#include "runtime/text.hpp"

namespace korvane {

Utf8Char decode_utf8(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b0 = byte(i);
    const Utf8Char invalid{b0, 1, false};
    if (b0 < 0x80) return {b0, 1, true};

    std::size_t length;
    char32_t code;
    unsigned char lo = 0x80;  // allowed range of the second byte
    unsigned char hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        code = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        code = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;  // overlong
        if (b0 == 0xED) hi = 0x9F;  // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        code = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;  // overlong
        if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        return invalid;
    }
    if (s.size() - i < length) return invalid;
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char b = byte(i + k);
        const unsigned char min = k == 1 ? lo : 0x80;
        const unsigned char max = k == 1 ? hi : 0xBF;
        if (b < min || b > max) return invalid;
        code = (code << 6) | (b & 0x3F);
    }
    return {code, length, true};
}

std::size_t utf8_length(std::string_view s) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < s.size(); i += decode_utf8(s, i).length) ++count;
    return count;
}

bool is_valid_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const Utf8Char ch = decode_utf8(s, i);
        if (!ch.valid) return false;
        i += ch.length;
    }
    return true;
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

namespace {

// Start of the character that ends at byte `end` (exclusive): step back over
// continuation bytes, at most three, and accept the lead only if it decodes
// to exactly that span.
std::size_t last_char_start(std::string_view s, std::size_t end) {
    for (std::size_t back = 1; back <= 4 && back <= end; ++back) {
        const std::size_t start = end - back;
        const auto b = static_cast<unsigned char>(s[start]);
        if ((b & 0xC0) != 0x80) {
            const Utf8Char ch = decode_utf8(s, start);
            return ch.valid && ch.length == back ? start : end - 1;
        }
    }
    return end - 1;
}

}  // namespace

std::string_view trim_white_space(std::string_view s) {
    std::size_t begin = 0;
    while (begin < s.size()) {
        const Utf8Char ch = decode_utf8(s, begin);
        if (!ch.valid || !is_white_space(ch.code)) break;
        begin += ch.length;
    }
    std::size_t end = s.size();
    while (end > begin) {
        const std::size_t start = last_char_start(s, end);
        const Utf8Char ch = decode_utf8(s, start);
        if (!ch.valid || ch.length != end - start || !is_white_space(ch.code)) break;
        end = start;
    }
    return s.substr(begin, end - begin);
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    }
    return true;
}

namespace {

// Characters that would be invisible or would break the line of a message:
// controls, separators other than the plain space, common format characters,
// private use and the two non-characters at the end of the BMP.
bool is_unprintable(char32_t c) {
    if (c < 0x20 || (c >= 0x7F && c <= 0xA0)) return true;
    if (c == 0xAD || c == 0x061C || c == 0x06DD || c == 0x070F || c == 0x1680 || c == 0x180E)
        return true;
    if (c >= 0x0600 && c <= 0x0605) return true;
    if (c >= 0x2000 && c <= 0x200F) return true;
    if (c >= 0x2028 && c <= 0x202F) return true;
    if (c >= 0x205F && c <= 0x206F && c != 0x2065) return true;
    if (c == 0x3000 || c == 0xFEFF) return true;
    if (c >= 0xE000 && c <= 0xF8FF) return true;
    if (c >= 0xFFF9 && c <= 0xFFFB) return true;
    if (c == 0xFFFE || c == 0xFFFF) return true;
    if (c >= 0xF0000) return true;
    return false;
}

void append_hex(std::string& out, unsigned long value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    char buf[16];
    int n = 0;
    do {
        buf[n++] = kDigits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    while (n > 0) out.push_back(buf[--n]);
}

}  // namespace

std::string quoted(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out.push_back('"');
    for (std::size_t i = 0; i < s.size();) {
        const Utf8Char ch = decode_utf8(s, i);
        if (!ch.valid) {
            // Not text at all: show the byte rather than guess a character.
            out += "\\x";
            if (ch.code < 0x10) out.push_back('0');
            append_hex(out, ch.code);
        } else {
            switch (ch.code) {
                case '"':
                    out += "\\\"";
                    break;
                case '\\':
                    out += "\\\\";
                    break;
                case '\n':
                    out += "\\n";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                case '\0':
                    out += "\\0";
                    break;
                default:
                    if (is_unprintable(ch.code)) {
                        out += "\\u{";
                        append_hex(out, ch.code);
                        out.push_back('}');
                    } else {
                        out.append(s.substr(i, ch.length));
                    }
            }
        }
        i += ch.length;
    }
    out.push_back('"');
    return out;
}

}  // namespace korvane
