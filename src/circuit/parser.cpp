// Circuit strings: parser and the error text shown to the user.
//
//   circuit := series END
//   series  := part ("-" part)*
//   part    := group | element
//   group   := ("(" | "p(") series ("," series)* ")"
//   element := [A-Za-z]+ [0-9]+
//
// The same parser reads the canonical text of canonical_text.hpp, which adds
// "0" for an empty series list, "()" for a group without branches, and
// repeated labels.
//
// The parser is iterative with an explicit stack of open groups, so neither
// a 10^6-character input nor deep nesting touches the call stack; nesting is
// still refused past kMaxDepth because every later walk over the tree
// (evaluation, naming, copying, destruction) recurses once per level.

#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "circuit/canonical_text.hpp"
#include "circuit/circuit.hpp"
#include "runtime/text.hpp"

namespace korvane {

namespace {

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Positions in messages count characters, the parser counts bytes.
std::size_t char_position(std::string_view text, std::size_t byte) {
    return utf8_length(text.substr(0, byte));
}

ParseError error_of(ParseErrorKind kind) {
    ParseError e;
    e.kind = kind;
    return e;
}

struct OpenGroup {
    ParallelGroup group;  // finished branches
    SeriesList branch;    // the branch being read
};

class Parser {
  public:
    Parser(std::string_view text, bool canonical) : text_(text), canonical_(canonical) {}

    std::variant<Circuit, ParseError> run() {
        for (;;) {
            // A part starts at pos_.
            bool empty_series = false;
            if (at_group_opening()) {
                if (open_.size() == kMaxDepth) return fail(ParseErrorKind::TooDeep, pos_);
                pos_ += text_[pos_] == '(' ? 1 : 2;
                if (!(canonical_ && peek(')'))) {
                    open_.emplace_back();
                    continue;
                }
                ++pos_;  // "()": a group without branches
                current().nodes.push_back(Node{ParallelGroup{}});
            } else if (canonical_ && peek('0') && current().nodes.empty()) {
                ++pos_;  // "0": a series list without nodes, which nothing may extend
                empty_series = true;
            } else if (auto error = read_element()) {
                return std::move(*error);
            }

            // After a part: continue the series, or close branches and groups.
            bool next_part = false;
            while (!next_part) {
                if (peek('-')) {
                    if (empty_series) return fail(ParseErrorKind::UnexpectedCharacter, pos_);
                    ++pos_;
                    next_part = true;
                } else if (open_.empty()) {
                    if (pos_ < text_.size()) return fail(ParseErrorKind::TrailingInput, pos_);
                    return finish();
                } else if (peek(',')) {
                    ++pos_;
                    close_branch();
                    next_part = true;
                } else if (peek(')')) {
                    ++pos_;
                    close_branch();
                    ParallelGroup group = std::move(open_.back().group);
                    open_.pop_back();
                    current().nodes.push_back(Node{std::move(group)});
                    empty_series = false;  // the part just finished is the group
                } else {
                    return error_of(ParseErrorKind::UnexpectedEnd);
                }
            }
        }
    }

  private:
    bool peek(char c) const { return pos_ < text_.size() && text_[pos_] == c; }

    bool at_group_opening() const {
        if (peek('(')) return true;
        return peek('p') && pos_ + 1 < text_.size() && text_[pos_ + 1] == '(';
    }

    SeriesList& current() { return open_.empty() ? top_ : open_.back().branch; }

    void close_branch() {
        OpenGroup& g = open_.back();
        g.group.branches.push_back(std::move(g.branch));
        g.branch = SeriesList{};
    }

    ParseError fail(ParseErrorKind kind, std::size_t byte) const {
        ParseError e = error_of(kind);
        e.position = char_position(text_, byte);
        return e;
    }

    std::optional<ParseError> read_element() {
        if (pos_ == text_.size()) return error_of(ParseErrorKind::UnexpectedEnd);
        const std::size_t start = pos_;
        while (pos_ < text_.size() && is_letter(text_[pos_])) ++pos_;
        if (pos_ == start) return fail(ParseErrorKind::UnexpectedCharacter, start);
        const std::size_t digits = pos_;
        while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
        if (pos_ == digits) return fail(ParseErrorKind::UnexpectedCharacter, digits);

        const std::string_view letters = text_.substr(start, digits - start);
        const std::optional<Kind> kind = kind_from_code(letters);
        if (!kind) {
            ParseError e = fail(ParseErrorKind::UnknownCode, start);
            e.code = std::string(letters);
            return e;
        }
        Element element;
        element.kind = *kind;
        element.values = kind_info(*kind).placeholders;
        element.label = std::string(text_.substr(start, pos_ - start));
        labels_.push_back(text_.substr(start, pos_ - start));
        current().nodes.push_back(Node{std::move(element)});
        return std::nullopt;
    }

    std::variant<Circuit, ParseError> finish() {
        if (canonical_) return Circuit{std::move(top_), false};
        // Text order of the elements is element order, so the labels were
        // collected in the order the duplicate rule names.
        std::unordered_set<std::string_view> seen;
        seen.reserve(labels_.size());
        for (const std::string_view label : labels_) {
            if (!seen.insert(label).second) {
                ParseError e = error_of(ParseErrorKind::DuplicateLabel);
                e.label = std::string(label);
                return e;
            }
        }
        return Circuit{std::move(top_), false};
    }

    std::string_view text_;
    bool canonical_;  // also read the shapes only canonical text has
    std::size_t pos_ = 0;
    SeriesList top_;
    std::vector<OpenGroup> open_;  // innermost last; size() is the nesting depth
    std::vector<std::string_view> labels_;
};

constexpr const char* kSyntaxHelp[] = {
    "  - every element needs a numeric label, e.g. \"R0\" and \"C1\", not \"R\" and \"C\"",
    "  - connect elements in series with '-', e.g. \"R0-C1\"",
    "  - connect elements in parallel with '(...)' or 'p(...)', e.g. \"R0-(R1,C1)\" or "
    "\"R0-p(R1,C1)\"",
};

bool has_caret_line(ParseErrorKind kind) {
    return kind == ParseErrorKind::UnexpectedCharacter || kind == ParseErrorKind::UnknownCode ||
           kind == ParseErrorKind::TrailingInput || kind == ParseErrorKind::TooDeep;
}

}  // namespace

std::variant<Circuit, ParseError> parse_circuit(std::string_view text) {
    return Parser(text, false).run();
}

std::variant<Circuit, ParseError> parse_canonical_text(std::string_view text) {
    return Parser(text, true).run();
}

std::string ParseError::message() const {
    const std::string at = " at position " + std::to_string(position);
    switch (kind) {
        case ParseErrorKind::UnexpectedEnd:
            return "unexpected end of input";
        case ParseErrorKind::UnexpectedCharacter:
            return "unexpected character" + at;
        case ParseErrorKind::UnknownCode:
            return "unknown element code " + quoted(code) + at;
        case ParseErrorKind::TrailingInput:
            return "unexpected trailing input" + at;
        case ParseErrorKind::DuplicateLabel:
            return "duplicate element label " + quoted(label);
        case ParseErrorKind::TooDeep:
            return "circuit nesting is deeper than " + std::to_string(kMaxDepth) + " levels" + at;
    }
    return "invalid circuit";
}

std::string parse_error_text(std::string_view text, const ParseError& error) {
    std::string out = error.message();
    if (has_caret_line(error.kind)) {
        out += "\n  ";
        out += text;
        out += "\n  ";
        out.append(error.position, ' ');
        out += '^';
    }
    out += "\n\nsyntax:";
    for (const char* line : kSyntaxHelp) {
        out += '\n';
        out += line;
    }
    out += "\n\navailable elements (code, parameters, [units]):";
    for (int k = 0; k < kKindCount; ++k) {
        const KindInfo& info = kind_info(static_cast<Kind>(k));
        out += "\n  ";
        out += info.help_code;
        out.append(4 - std::min<std::size_t>(4, info.help_code.size()), ' ');
        out += "  ";
        for (int p = 0; p < info.param_count; ++p) {
            if (p > 0) out += ", ";
            out += info.param_names[p];
            out += " [";
            out += info.units[p];
            out += ']';
        }
    }
    return out;
}

}  // namespace korvane
