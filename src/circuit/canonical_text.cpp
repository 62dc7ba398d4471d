// Writing a circuit tree as canonical text, and rebuilding a circuit from its
// serialised form (text, absent labels, values, values_explicit).

#include "circuit/canonical_text.hpp"

#include <array>
#include <string>
#include <utility>

#include "circuit/params.hpp"
#include "circuit/tree_walk.hpp"

namespace korvane {

namespace {

class TextWriter {
  public:
    // Labels of unlabeled elements come from the same counters, advanced in
    // the same element order, as their parameter names (param_names), so the
    // text names every parameter as the circuit does.
    void series(const SeriesList& list) {
        if (list.nodes.empty()) {
            out_ += '0';
            return;
        }
        for (std::size_t i = 0; i < list.nodes.size(); ++i) {
            if (i > 0) out_ += '-';
            if (const auto* e = std::get_if<Element>(&list.nodes[i].item)) {
                element(*e);
            } else {
                group(std::get<ParallelGroup>(list.nodes[i].item));
            }
        }
    }

    std::string take() { return std::move(out_); }

  private:
    void element(const Element& e) {
        if (!e.label.empty()) {
            out_ += e.label;
            return;
        }
        out_ += kind_info(e.kind).code;
        out_ += std::to_string(counters_[static_cast<std::size_t>(e.kind)]++);
    }

    // Recurses once per level, as every walk over the tree does; building
    // keeps the nesting within kMaxDepth.
    void group(const ParallelGroup& g) {
        out_ += '(';
        for (std::size_t i = 0; i < g.branches.size(); ++i) {
            if (i > 0) out_ += ',';
            series(g.branches[i]);
        }
        out_ += ')';
    }

    std::string out_;
    std::array<std::size_t, kKindCount> counters_{};
};

}  // namespace

std::string canonical_text(const Circuit& circuit) {
    TextWriter writer;
    writer.series(circuit.top);
    return writer.take();
}

CircuitForm circuit_form(const Circuit& circuit) {
    CircuitForm form;
    form.text = canonical_text(circuit);
    std::size_t index = 0;
    auto visit = [&](const Element& e) {
        if (e.label.empty()) form.unlabeled.push_back(index);
        ++index;
    };
    for_each_element(circuit.top, visit);
    form.values = param_values(circuit);
    form.values_explicit = circuit.values_explicit;
    return form;
}

Result<Circuit> circuit_from_form(const CircuitForm& form) {
    std::variant<Circuit, ParseError> parsed = parse_canonical_text(form.text);
    if (const auto* error = std::get_if<ParseError>(&parsed)) {
        return Error::value("not a canonical circuit text: " + error->message());
    }
    Circuit circuit = std::get<Circuit>(std::move(parsed));

    // Drop the labels that the text only spelled out, checking that the
    // indices name elements, each once, in element order. An absent label
    // must be the one its parameter names will be generated from (the
    // writer's counters, advanced the same way): dropping any other would
    // silently rename parameters ("R5-C7" with R5 absent names R0.r).
    std::size_t index = 0;
    std::size_t next = 0;  // into form.unlabeled
    std::array<std::size_t, kKindCount> counters{};
    std::string mislabeled;
    auto drop = [&](Element& e) {
        if (next < form.unlabeled.size() && form.unlabeled[next] == index) {
            std::string generated(kind_info(e.kind).code);
            generated += std::to_string(counters[static_cast<std::size_t>(e.kind)]++);
            if (e.label != generated && mislabeled.empty()) {
                mislabeled = "element " + std::to_string(index) + " is marked unlabeled but " +
                             "written " + e.label + ", not its generated label " + generated;
            }
            e.label.clear();
            ++next;
        }
        ++index;
    };
    for_each_element(circuit.top, drop);
    if (!mislabeled.empty()) return Error::value(mislabeled);
    if (next != form.unlabeled.size()) {
        return Error::value(
            "unlabeled element indices must be ascending and below the element count " +
            std::to_string(index));
    }

    Result<Circuit> valued = with_values(circuit, form.values);
    if (!valued) return valued.take_error();
    valued->values_explicit = form.values_explicit;
    return valued;
}

}  // namespace korvane
