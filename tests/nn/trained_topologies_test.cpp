// The trained-topology table: name lookup with Unicode trimming and ASCII
// folding. (The table's circuits are checked against the shipped weight
// files by the registry's self-check and the parity test.)

#include "nn/trained_topologies.hpp"

#include <gtest/gtest.h>

#include <string>

namespace korvane {
namespace {

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

}  // namespace
}  // namespace korvane
