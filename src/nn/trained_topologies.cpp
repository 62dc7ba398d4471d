// Lookups in the table of trained topologies.
//
// Reference: Unicode Standard Annex #44, PropList.txt (White_Space), for the
// characters trimmed before a name is compared.

#include "nn/trained_topologies.hpp"

#include "runtime/text.hpp"

namespace korvane {

namespace {

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

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

bool equal_ascii_folded(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    }
    return true;
}

}  // namespace

std::string model_list_text() {
    std::string out;
    for (const TrainedTopology& t : kTrainedTopologies) {
        if (!out.empty()) out += ", ";
        out += '\'';
        out += t.name;
        out += '\'';
    }
    return out;
}

std::optional<std::string_view> lookup_trained_name(std::string_view text) {
    const std::string_view trimmed = trim_white_space(text);
    for (const TrainedTopology& t : kTrainedTopologies) {
        if (equal_ascii_folded(trimmed, t.name)) return t.circuit;
    }
    return std::nullopt;
}

}  // namespace korvane
