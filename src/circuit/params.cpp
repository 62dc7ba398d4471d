// The flat parameter vector: names, values, bounds and units in element
// order, and rebuilding a circuit from a positional or named vector.
//
// Reference: V. I. Levenshtein, "Binary codes capable of correcting
// deletions, insertions, and reversals", Soviet Physics Doklady 10 (1966);
// R. A. Wagner and M. J. Fischer, "The string-to-string correction problem",
// JACM 21 (1974) for the full-table recurrence used by edit_distance.

#include "circuit/params.hpp"

#include <algorithm>
#include <array>
#include <unordered_map>
#include <unordered_set>

#include "circuit/tree_walk.hpp"
#include "runtime/number_format.hpp"
#include "runtime/text.hpp"

namespace korvane {

namespace {

// Calls f(element, i) for every parameter i of every element, in parameter
// order.
template <class F>
void for_each_param(const Circuit& circuit, F&& f) {
    auto visit = [&f](const Element& e) {
        for (int i = 0; i < param_count(e.kind); ++i) f(e, i);
    };
    for_each_element(circuit.top, visit);
}

std::u32string code_points(std::string_view s) {
    std::u32string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const Utf8Char ch = decode_utf8(s, i);
        // Stray bytes stay distinct from every real character.
        out.push_back(ch.valid ? ch.code : char32_t{0x110000} + ch.code);
        i += ch.length;
    }
    return out;
}

// "did you mean" target for an unknown key: the nearest name within the
// threshold, the earliest one on ties.
const std::string* suggestion(std::string_view key, const std::vector<std::string>& names) {
    const std::size_t key_length = utf8_length(key);
    const std::size_t threshold = key_length < 6 ? 2 : key_length / 2;
    const std::string* best = nullptr;
    std::size_t best_distance = 0;
    for (const std::string& name : names) {
        const std::size_t d = edit_distance(key, name);
        if (best == nullptr || d < best_distance) {
            best = &name;
            best_distance = d;
        }
    }
    if (best == nullptr || best_distance > threshold) return nullptr;
    return best;
}

std::string named_values_message(const Circuit& circuit, const std::vector<std::string>& names,
                                 const std::vector<std::string_view>& unknown,
                                 const std::vector<std::string>& missing) {
    std::string out;
    for (const std::string_view key : unknown) {
        if (!out.empty()) out += '\n';
        out += "unknown parameter " + quoted(key);
        if (const std::string* near = suggestion(key, names)) {
            out += " (did you mean " + quoted(*near) + "?)";
        }
    }
    if (!missing.empty()) {
        if (!out.empty()) out += '\n';
        out += "missing parameter(s): [";
        for (std::size_t i = 0; i < missing.size(); ++i) {
            if (i > 0) out += ", ";
            out += quoted(missing[i]);
        }
        out += ']';
    }
    out += "\n\nvalid parameters for this circuit:";
    const std::vector<Bounds> bounds = param_bounds(circuit);
    const std::vector<std::string> units = param_units(circuit);
    std::size_t width = 0;
    for (const std::string& n : names) width = std::max(width, n.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        out += "\n  ";
        out += names[i];
        out.append(width - names[i].size(), ' ');
        out += "  ";
        out += unit_and_bounds_text(units[i], bounds[i]);
    }
    return out;
}

}  // namespace

std::vector<std::string> param_names(const Circuit& circuit) {
    std::vector<std::string> names;
    // Counters start afresh on every call; labeled elements neither read nor
    // advance them, and generated labels are not checked against real ones.
    std::array<std::size_t, kKindCount> counters{};
    auto visit = [&](const Element& e) {
        const KindInfo& info = kind_info(e.kind);
        std::string label = e.label;
        if (label.empty()) {
            label = std::string(info.code) +
                    std::to_string(counters[static_cast<std::size_t>(e.kind)]++);
        }
        for (int i = 0; i < info.param_count; ++i) {
            names.push_back(label + "." + std::string(info.param_names[i]));
        }
    };
    for_each_element(circuit.top, visit);
    return names;
}

std::vector<double> param_values(const Circuit& circuit) {
    std::vector<double> out;
    for_each_param(circuit, [&](const Element& e, int i) { out.push_back(e.values[i]); });
    return out;
}

std::vector<Bounds> param_bounds(const Circuit& circuit) {
    std::vector<Bounds> out;
    for_each_param(circuit, [&](const Element& e, int i) {
        out.push_back(default_bounds(kind_info(e.kind).param_names[i]));
    });
    return out;
}

std::vector<std::string> param_units(const Circuit& circuit) {
    std::vector<std::string> out;
    for_each_param(circuit,
                   [&](const Element& e, int i) { out.emplace_back(kind_info(e.kind).units[i]); });
    return out;
}

Result<Circuit> with_values(const Circuit& circuit, std::span<const double> values) {
    const std::size_t n = parameter_count(circuit);
    if (values.size() != n) {
        return Error::value("expected " + std::to_string(n) + " values, got " +
                            std::to_string(values.size()));
    }
    Circuit out = circuit;
    std::size_t next = 0;
    auto assign = [&](Element& e) {
        for (int i = 0; i < param_count(e.kind); ++i) e.values[i] = values[next++];
    };
    for_each_element(out.top, assign);
    out.values_explicit = true;
    return out;
}

Result<Circuit> with_named_values(const Circuit& circuit,
                                  std::span<const std::pair<std::string, double>> values) {
    const std::vector<std::string> names = param_names(circuit);
    std::unordered_map<std::string_view, std::size_t> given;  // key -> index in values
    given.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) given[values[i].first] = i;

    const std::unordered_set<std::string_view> valid(names.begin(), names.end());
    std::vector<std::string_view> unknown;
    std::unordered_set<std::string_view> reported;
    for (const auto& [key, value] : values) {
        if (!valid.contains(key) && reported.insert(key).second) unknown.push_back(key);
    }
    std::vector<std::string> missing;
    std::vector<double> ordered;
    ordered.reserve(names.size());
    for (const std::string& name : names) {
        const auto it = given.find(name);
        if (it == given.end()) {
            missing.push_back(name);
        } else {
            ordered.push_back(values[it->second].second);
        }
    }
    if (!unknown.empty() || !missing.empty()) {
        return Error::value(named_values_message(circuit, names, unknown, missing));
    }
    return with_values(circuit, ordered);
}

std::size_t edit_distance(std::string_view a, std::string_view b) {
    const std::u32string s = code_points(a);
    const std::u32string t = code_points(b);
    const std::size_t cols = t.size() + 1;
    // table[i][j]: distance between the first i characters of s and the first
    // j of t.
    std::vector<std::size_t> table((s.size() + 1) * cols);
    for (std::size_t j = 0; j < cols; ++j) table[j] = j;
    for (std::size_t i = 1; i <= s.size(); ++i) {
        table[i * cols] = i;
        for (std::size_t j = 1; j < cols; ++j) {
            const std::size_t substitute = table[(i - 1) * cols + j - 1] + (s[i - 1] != t[j - 1]);
            const std::size_t erase = table[(i - 1) * cols + j] + 1;
            const std::size_t insert = table[i * cols + j - 1] + 1;
            table[i * cols + j] = std::min({substitute, erase, insert});
        }
    }
    return table.back();
}

std::string unit_and_bounds_text(std::string_view unit, Bounds bounds) {
    std::string out = "[";
    out += unit;
    out += "]  bounds (";
    out += format_value(bounds.lo);
    out += ", ";
    out += format_value(bounds.hi);
    out += ')';
    return out;
}

}  // namespace korvane
