// The trained-topology table: name lookup with Unicode trimming and ASCII
// folding, the list text, and that every entry is a valid circuit with the
// parameters its weight file expects.

#include "nn/trained_topologies.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/params.hpp"

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
    // Every White_Space character, on both sides, in UTF-8.
    EXPECT_EQ(found("\t\n\v\f\r \xC2\x85\xC2\xA0\xE1\x9A\x80\xE2\x80\x80\xE2\x80\x8A"
                    "two_rq"
                    "\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80"),
              "R0-(R1,CPE1)-(R2,CPE2)");

    EXPECT_EQ(found("randl\xC3\xA9s"), "<none>");
    EXPECT_EQ(found("r c"), "<none>");
    EXPECT_EQ(found("R0-(R1,C1)"), "<none>");
    EXPECT_EQ(found(""), "<none>");
    EXPECT_EQ(found("   "), "<none>");
    EXPECT_EQ(found("rc_"), "<none>");
    // Zero-width space and BOM are not White_Space, so they stay.
    EXPECT_EQ(found("rc\xE2\x80\x8B"), "<none>");
    EXPECT_EQ(found("\xEF\xBB\xBFrc"), "<none>");
    // Folding is ASCII only: the Kelvin sign is not "k", the long s not "s".
    EXPECT_EQ(found("rq_\xE2\x84\xAA"), "<none>");
    EXPECT_EQ(found("randle\xC5\xBF"), "<none>");
    // Broken UTF-8 at the ends is not trimmed away.
    EXPECT_EQ(found("rc\xC2"), "<none>");
    EXPECT_EQ(found("\xA0rc"), "<none>");
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
