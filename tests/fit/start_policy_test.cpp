#include "fit/start_policy.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/params.hpp"
#include "support/spectra.hpp"

namespace korvane {
namespace {

using testing::parse;
using testing::Spectrum;

TEST(StartPolicy, ChoiceFollowsExplicitnessGuessInitAndWeights) {
    const Circuit trained = parse("(C2,R9)-R3");  // the "rc" topology, reordered
    const Circuit untrained = parse("R0-C1");
    const Circuit explicit_trained = with_values(trained, std::vector{1.0, 2.0, 3.0}).value();

    EXPECT_EQ(choose_start(trained, GuessInit::Unset, false), StartChoice::GuessWithModel);
    EXPECT_EQ(choose_start(untrained, GuessInit::Unset, false), StartChoice::WarnAndKeep);
    EXPECT_EQ(choose_start(explicit_trained, GuessInit::Unset, false), StartChoice::Keep);
    EXPECT_EQ(choose_start(explicit_trained, GuessInit::Unset, true), StartChoice::GuessWithFile);
    EXPECT_EQ(choose_start(untrained, GuessInit::Always, false), StartChoice::GuessWithModel);
    EXPECT_EQ(choose_start(explicit_trained, GuessInit::Always, false),
              StartChoice::GuessWithModel);
    EXPECT_EQ(choose_start(untrained, GuessInit::Always, true), StartChoice::GuessWithFile);
    EXPECT_EQ(choose_start(trained, GuessInit::Never, true), StartChoice::Keep);
    EXPECT_EQ(choose_start(untrained, GuessInit::Never, false), StartChoice::Keep);
}

TEST(StartPolicy, WarningIsIssuedOnlyWhenItMustAndCanAbort) {
    const Circuit untrained = parse("R0-C1");
    const Spectrum s = testing::rising_rc_spectrum(30);
    int warnings = 0;
    std::string text;
    auto warn = [&](const std::string& message) {
        ++warnings;
        text = message;
        return ok_status();
    };

    const Circuit kept =
        prepare_start(untrained, GuessInit::Unset, std::nullopt, s.f, s.z, warn).value();
    EXPECT_EQ(warnings, 1);
    EXPECT_EQ(text.rfind("There is no ML model", 0), 0u);  // the full text is asserted in Python
    EXPECT_EQ(param_values(kept), param_values(untrained));
    EXPECT_FALSE(kept.values_explicit);

    // Warnings turned into errors: the preparation fails with that error.
    auto escalate = [](const std::string&) { return Status(Error::value("escalated")); };
    const Result<Circuit> refused =
        prepare_start(untrained, GuessInit::Unset, std::nullopt, s.f, s.z, escalate);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message, "escalated");

    // guess_init=True raises the guesser's message instead of warning.
    const Result<Circuit> forced =
        prepare_start(untrained, GuessInit::Always, std::nullopt, s.f, s.z, warn);
    ASSERT_FALSE(forced);
    EXPECT_EQ(forced.error().message.rfind("No training data on this circuit.", 0), 0u);
    EXPECT_EQ(warnings, 1);
}

TEST(StartPolicy, WeightFileIsReadOnlyWhenAGuessIsWanted) {
    const Circuit rc = parse("R0-(R1,C1)");
    const Spectrum s = testing::rising_rc_spectrum(30);
    const std::string missing = "/nonexistent/korvane-driver-test.eisnn";
    auto never_warn = [](const std::string&) { return Status(Error::value("unexpected warning")); };

    const Result<Circuit> ignored =
        prepare_start(rc, GuessInit::Never, missing, s.f, s.z, never_warn);
    ASSERT_TRUE(ignored);
    EXPECT_EQ(param_values(*ignored), param_values(rc));

    const Circuit explicit_rc = with_values(rc, std::vector{1.0, 2.0, 3.0}).value();
    const Result<Circuit> read =
        prepare_start(explicit_rc, GuessInit::Unset, missing, s.f, s.z, never_warn);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().message.rfind("reading weights: ", 0), 0u) << read.error().message;
}

}  // namespace
}  // namespace korvane
