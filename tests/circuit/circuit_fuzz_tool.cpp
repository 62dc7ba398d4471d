// Seeded generation and mutation of circuit strings. Valid strings come from
// the grammar (every element code, both group openings, random labels, nesting
// up to past the depth limit); mutations insert, delete, repeat and swap
// bytes, including NUL, stray UTF-8 and grammar characters. Each string goes
// through parse → (error text | names, values, bounds, units, printable form,
// evaluation at a few frequencies, value round trips, pair expansion and
// model lookup), so a fault shows as a violated check here or as a finding of
// AddressSanitizer/UBSan.
//
//   circuit_fuzz_tool [strings=200000] [seed=1]
//
// Prints the count of strings and of each outcome; exits non-zero when a
// generated string fails to parse or a check below fails.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/params.hpp"
#include "nn/registry.hpp"
#include "runtime/text.hpp"

using namespace korvane;

namespace {

constexpr const char* kCodes[] = {"R",  "C", "L",  "La", "CPE",  "Cpe",  "W",    "Wo",
                                  "Ws", "G", "Gs", "K",  "Zarc", "TLMQ", "Tlmq", "T"};
// Bytes a mutation inserts: the grammar's own characters weighted up, then
// anything, including NUL and the lead and continuation bytes of UTF-8.
constexpr const char kGrammarBytes[] = "()-,p0123456789RCLWGKZTaepslrcQX ";

class Fuzzer {
  public:
    explicit Fuzzer(std::uint64_t seed) : rng_(seed) {}

    std::size_t pick(std::size_t lo, std::size_t hi) {
        return std::uniform_int_distribution<std::size_t>(lo, hi)(rng_);
    }

    // A string the grammar accepts (labels are unique through a counter),
    // refused only when it nests deeper than kMaxDepth (too_deep()).
    std::string generate() {
        label_ = 0;
        too_deep_ = false;
        std::string out;
        const std::size_t roll = pick(0, 99);
        if (roll == 0) {
            // Around the depth limit: nested single-branch groups.
            const std::size_t depth = kMaxDepth - 2 + pick(0, 4);
            too_deep_ = depth > kMaxDepth;
            for (std::size_t i = 0; i < depth; ++i) out += pick(0, 1) ? "(" : "p(";
            out += element();
            out.append(depth, ')');
            return out;
        }
        series(out, roll < 40 ? 1 : roll < 80 ? 3 : 5);
        return out;
    }

    bool too_deep() const { return too_deep_; }

    std::string mutate(std::string s) {
        const std::size_t edits = pick(1, 4);
        for (std::size_t e = 0; e < edits; ++e) {
            const std::size_t at = s.empty() ? 0 : pick(0, s.size());
            switch (pick(0, 6)) {
                case 0:  // insert a grammar character
                    s.insert(at, 1, kGrammarBytes[pick(0, sizeof kGrammarBytes - 2)]);
                    break;
                case 1:  // insert any byte
                    s.insert(at, 1, static_cast<char>(pick(0, 255)));
                    break;
                case 2:  // insert a UTF-8 sequence, well-formed or not
                    s.insert(at, utf8_piece());
                    break;
                case 3:  // delete a span
                    if (!s.empty()) s.erase(std::min(at, s.size() - 1), pick(1, 4));
                    break;
                case 4:  // repeat a span
                    if (!s.empty()) {
                        const std::size_t from = pick(0, s.size() - 1);
                        s.insert(at, s.substr(from, pick(1, 12)));
                    }
                    break;
                case 5:  // swap two bytes
                    if (s.size() > 1) std::swap(s[pick(0, s.size() - 1)], s[pick(0, s.size() - 1)]);
                    break;
                default:  // truncate
                    s.resize(at);
                    break;
            }
        }
        return s;
    }

  private:
    std::string element() {
        std::string out = kCodes[pick(0, std::size(kCodes) - 1)];
        // Mostly a fresh label; sometimes zero-padded or a 30-digit tail
        // (a fixed length, so two such labels never coincide).
        const std::size_t style = pick(0, 9);
        if (style == 0) out += "00";
        out += std::to_string(label_++);
        if (style == 1) out += std::string(30, '9');
        return out;
    }

    void series(std::string& out, std::size_t depth) {
        const std::size_t parts = pick(1, 4);
        for (std::size_t i = 0; i < parts; ++i) {
            if (i > 0) out += '-';
            if (depth > 0 && pick(0, 2) == 0) {
                out += pick(0, 1) ? "(" : "p(";
                const std::size_t branches = pick(1, 3);
                for (std::size_t b = 0; b < branches; ++b) {
                    if (b > 0) out += ',';
                    series(out, depth - 1);
                }
                out += ')';
            } else {
                out += element();
            }
        }
    }

    std::string utf8_piece() {
        static const char* pieces[] = {
            "\xC3\xA9", "\xE2\x80\xAF", "\xF0\x9F\x98\x80", "\xED\xB2\x80", "\xC0\x80",
            "\x80",     "\xFF",         "\xF4\x90\x80\x80", "\xE2\x80",     "\xEF\xBC\x88"};
        return pieces[pick(0, std::size(pieces) - 1)];
    }

    std::mt19937_64 rng_;
    std::size_t label_ = 0;
    bool too_deep_ = false;
};

const char* kind_name(ParseErrorKind kind) {
    switch (kind) {
        case ParseErrorKind::UnexpectedEnd:
            return "unexpected end";
        case ParseErrorKind::UnexpectedCharacter:
            return "unexpected character";
        case ParseErrorKind::UnknownCode:
            return "unknown code";
        case ParseErrorKind::TrailingInput:
            return "trailing input";
        case ParseErrorKind::DuplicateLabel:
            return "duplicate label";
        case ParseErrorKind::TooDeep:
            return "too deep";
    }
    return "?";
}

bool same_value(Cplx a, Cplx b) {
    auto same = [](double x, double y) { return x == y || (std::isnan(x) && std::isnan(y)); };
    return same(a.re, b.re) && same(a.im, b.im);
}

class Checker {
  public:
    // Returns the outcome label; records a failure text when a check fails.
    std::string run(const std::string& text) {
        auto parsed = parse_circuit(text);
        if (auto* error = std::get_if<ParseError>(&parsed)) {
            const std::string full = parse_error_text(text, *error);
            check(full.rfind(error->message(), 0) == 0, text, "error text starts with the message");
            const bool positioned = error->kind == ParseErrorKind::UnexpectedCharacter ||
                                    error->kind == ParseErrorKind::UnknownCode ||
                                    error->kind == ParseErrorKind::TrailingInput;
            if (positioned) check(error->position <= utf8_length(text), text, "position in range");
            return kind_name(error->kind);
        }
        const Circuit& circuit = std::get<Circuit>(parsed);
        const std::size_t count = parameter_count(circuit);
        const std::vector<std::string> names = param_names(circuit);
        const std::vector<double> values = param_values(circuit);
        check(names.size() == count && values.size() == count &&
                  param_bounds(circuit).size() == count && param_units(circuit).size() == count,
              text, "one name, value, bound and unit per parameter");
        check(std::set<std::string>(names.begin(), names.end()).size() == names.size(), text,
              "names are unique");
        check(!printable_form(circuit).empty(), text, "printable form");

        // Stored values and the same values as a trial vector agree bit for bit.
        for (const double f : {1e-3, 1.0, 1e5}) {
            const double w = kTwoPi * f;
            const Result<Cplx> from_trial = impedance_from_iter(circuit, values, w);
            check(from_trial.ok() && same_value(*from_trial, circuit_impedance(circuit, w)), text,
                  "trial vector and stored values agree");
        }
        if (count > 0) {
            const std::vector<double> short_trial(count - 1, 1.0);
            check(!impedance_from_iter(circuit, short_trial, 1.0).ok(), text,
                  "a short trial vector is refused");
        }
        const std::vector<double> f = {0.1, 10.0, 1e4};
        const Result<std::vector<Cplx>> z = impedance_over_frequencies(circuit, f);
        check(z.ok() && z->size() == f.size(), text, "evaluation over frequencies");

        // Value round trips, positional and by name.
        std::vector<double> scaled(values);
        for (double& v : scaled) v *= 0.5;
        const Result<Circuit> positional = with_values(circuit, scaled);
        check(positional.ok() && param_values(*positional) == scaled, text, "with_values");
        std::vector<std::pair<std::string, double>> pairs;
        for (std::size_t i = 0; i < count; ++i) pairs.emplace_back(names[i], scaled[i]);
        const Result<Circuit> named = with_named_values(circuit, pairs);
        check(named.ok() && param_values(*named) == scaled, text, "with_named_values");

        Circuit expanded = circuit;
        expand_abbreviations(expanded.top);
        (void)has_registered_model(circuit);
        return "parsed";
    }

    const std::vector<std::string>& failures() const { return failures_; }

  private:
    void check(bool ok, const std::string& text, const char* what) {
        if (!ok && failures_.size() < 20)
            failures_.push_back(std::string(what) + ": " + quoted(text));
    }
    std::vector<std::string> failures_;
};

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t strings = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200000;
    const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    Fuzzer fuzzer(seed);
    Checker checker;
    std::map<std::string, std::uint64_t> outcomes;
    std::uint64_t generated = 0, rejected_valid = 0;
    for (std::uint64_t n = 0; n < strings; ++n) {
        std::string text = fuzzer.generate();
        if (n % 4 == 0) {
            ++generated;
            const std::string outcome = checker.run(text);
            if (outcome != (fuzzer.too_deep() ? "too deep" : "parsed")) {
                if (++rejected_valid <= 5)
                    std::fprintf(stderr, "generated string rejected (%s): %s\n", outcome.c_str(),
                                 quoted(text).c_str());
            }
            ++outcomes[outcome];
        } else {
            ++outcomes[checker.run(fuzzer.mutate(std::move(text)))];
        }
    }
    std::printf("strings: %llu (%llu generated, %llu mutated); seed %llu\n",
                static_cast<unsigned long long>(strings),
                static_cast<unsigned long long>(generated),
                static_cast<unsigned long long>(strings - generated),
                static_cast<unsigned long long>(seed));
    for (const auto& [outcome, n] : outcomes) {
        std::printf("  %-22s %llu\n", outcome.c_str(), static_cast<unsigned long long>(n));
    }
    for (const std::string& failure : checker.failures())
        std::fprintf(stderr, "FAILED %s\n", failure.c_str());
    return checker.failures().empty() && rejected_valid == 0 ? 0 : 1;
}
