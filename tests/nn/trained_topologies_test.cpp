// The trained-topology table: name lookup with Unicode trimming and ASCII
// folding, the list text, and that every entry is a valid circuit with the
// parameters its weight file expects.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/params.hpp"
#include "nn/trained_topologies.hpp"

namespace korvane {
namespace {

TEST(TrainedTopologies, ListText) {
    EXPECT_EQ(model_list_text(),
              "'rc', 'rc_l', 'rq', 'rq_l', 'two_rc', 'two_rc_l', 'two_rq', 'two_rq_l', "
              "'randles', 'sei_randles', 'sei_randles_wo'");
}

TEST(TrainedTopologies, LookupTrimsAndFoldsAscii) {
    const auto found = [](std::string_view text) {
        const auto c = lookup_trained_name(text);
        return c ? std::string(*c) : std::string("<none>");
    };
    EXPECT_EQ(found("rc"), "R0-(R1,C1)");
    EXPECT_EQ(found("RC"), "R0-(R1,C1)");
    EXPECT_EQ(found(" rc "), "R0-(R1,C1)");
    EXPECT_EQ(found("Rc"), "R0-(R1,C1)");
    EXPECT_EQ(found("  RANDLES  "), "R0-(R1-W1,CPE1)");
    EXPECT_EQ(found("Sei_Randles_WO"), "R0-(R1,CPE1)-(R2-Wo2,CPE2)");
    // White space is Unicode's (here NBSP and the ideographic space); the
    // cases of runtime/text's trimming and folding are tested there.
    EXPECT_EQ(found("\xC2\xA0two_rq\xE3\x80\x80"), "R0-(R1,CPE1)-(R2,CPE2)");

    EXPECT_EQ(found("randl\xC3\xA9s"), "<none>");
    EXPECT_EQ(found("r c"), "<none>");
    EXPECT_EQ(found("R0-(R1,C1)"), "<none>");
    EXPECT_EQ(found(""), "<none>");
    EXPECT_EQ(found("   "), "<none>");
    EXPECT_EQ(found("rc_"), "<none>");
}

TEST(TrainedTopologies, EntriesParseWithTheirParameterNames) {
    const std::vector<std::vector<std::string>> names = {
        {"R0.r", "R1.r", "C1.c"},
        {"L0.l", "R0.r", "R1.r", "C1.c"},
        {"R0.r", "R1.r", "CPE1.q", "CPE1.alpha"},
        {"L0.l", "R0.r", "R1.r", "CPE1.q", "CPE1.alpha"},
        {"R0.r", "R1.r", "C1.c", "R2.r", "C2.c"},
        {"L0.l", "R0.r", "R1.r", "C1.c", "R2.r", "C2.c"},
        {"R0.r", "R1.r", "CPE1.q", "CPE1.alpha", "R2.r", "CPE2.q", "CPE2.alpha"},
        {"L0.l", "R0.r", "R1.r", "CPE1.q", "CPE1.alpha", "R2.r", "CPE2.q", "CPE2.alpha"},
        {"R0.r", "R1.r", "W1.aw", "CPE1.q", "CPE1.alpha"},
        {"R0.r", "R1.r", "CPE1.q", "CPE1.alpha", "R2.r", "W2.aw", "CPE2.q", "CPE2.alpha"},
        {"R0.r", "R1.r", "CPE1.q", "CPE1.alpha", "R2.r", "Wo2.z0", "Wo2.tau", "CPE2.q",
         "CPE2.alpha"},
    };
    ASSERT_EQ(kTrainedTopologies.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        auto parsed = parse_circuit(kTrainedTopologies[i].circuit);
        ASSERT_TRUE(std::holds_alternative<Circuit>(parsed)) << kTrainedTopologies[i].name;
        EXPECT_EQ(param_names(std::get<Circuit>(parsed)), names[i]) << kTrainedTopologies[i].name;
        EXPECT_EQ(lookup_trained_name(kTrainedTopologies[i].name), kTrainedTopologies[i].circuit);
    }
}

}  // namespace
}  // namespace korvane
