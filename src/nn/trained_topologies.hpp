#pragma once
// The eleven topologies that ship with a trained guessing network.

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace korvane {

struct TrainedTopology {
    std::string_view name;     // "rc"
    std::string_view circuit;  // "R0-(R1,C1)"
};

inline constexpr std::array<TrainedTopology, 11> kTrainedTopologies = {{
    {"rc", "R0-(R1,C1)"},
    {"rc_l", "L0-R0-(R1,C1)"},
    {"rq", "R0-(R1,CPE1)"},
    {"rq_l", "L0-R0-(R1,CPE1)"},
    {"two_rc", "R0-(R1,C1)-(R2,C2)"},
    {"two_rc_l", "L0-R0-(R1,C1)-(R2,C2)"},
    {"two_rq", "R0-(R1,CPE1)-(R2,CPE2)"},
    {"two_rq_l", "L0-R0-(R1,CPE1)-(R2,CPE2)"},
    {"randles", "R0-(R1-W1,CPE1)"},
    {"sei_randles", "R0-(R1,CPE1)-(R2-W2,CPE2)"},
    {"sei_randles_wo", "R0-(R1,CPE1)-(R2-Wo2,CPE2)"},
}};

// "'rc', 'rc_l', ..., 'sei_randles_wo'"
std::string model_list_text();

// Trims Unicode White_Space from both ends of UTF-8 `text` and compares it with
// each name, ASCII letters folded to lower case, equal byte length required.
// Returns the circuit string of the first match.
std::optional<std::string_view> lookup_trained_name(std::string_view text);

}  // namespace korvane
