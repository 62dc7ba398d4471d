// Lookups in the table of trained topologies.

#include "nn/trained_topologies.hpp"

#include "runtime/text.hpp"

namespace korvane {

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
        if (equal_ignoring_ascii_case(trimmed, t.name)) return t.circuit;
    }
    return std::nullopt;
}

}  // namespace korvane
