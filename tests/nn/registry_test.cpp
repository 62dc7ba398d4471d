#include "nn/registry.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "nn/eisnn_builder.hpp"
#include "nn/embedded_models.hpp"
#include "nn/trained_topologies.hpp"
#include "support/parse_ok.hpp"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using Values = std::vector<double>;

// ---- a weight file whose guess is known without training ------------------
// The output layer's weights are zero, so whatever the network body computes,
// the head's outputs are its biases o_p; target_std 1, target_mean 0 and
// all-zero scaling exponents then leave the guess at 10^o_p for log outputs
// and o_p (clamped to [0.05, 1]) for linear ones, whatever the spectrum.

struct TestModel {
    std::string circuit;
    std::vector<std::string> param_names;
    std::vector<double> outputs;
    std::vector<bool> log;
};

Bytes model_bytes(const TestModel& m) {
    testing::NetworkShape shape;
    shape.channels = 8;
    shape.groups = 2;
    shape.kernel = 3;
    shape.n_grid = 16;
    shape.dilations = {1};
    shape.head = 4;
    shape.circuit = m.circuit;
    shape.names = m.param_names;
    testing::FileBuilder file = testing::network_file(shape);

    const auto p = static_cast<std::uint32_t>(m.outputs.size());
    std::vector<double> bias(2 * p, 0.0), scaling, log;
    for (std::uint32_t i = 0; i < p; ++i) {
        bias[i] = m.outputs[i];
        scaling.insert(scaling.end(), {0.0, 0.0, 0.0, -1.0});
        log.push_back(m.log[i] ? 1.0 : 0.0);
    }
    file.f32("w.head.4.weight", {2 * p, shape.head}, std::vector<double>(2 * p * shape.head, 0.0))
        .f32("w.head.4.bias", {2 * p}, bias)
        .f32("target_mean", {p}, std::vector<double>(p, 0.0))
        .f32("target_std", {p}, std::vector<double>(p, 1.0))
        .f32("scaling", {p, 4}, scaling)
        .f32("log_params", {p}, log);
    return file.bytes();
}

const TestModel kRc{"R0-(R1,C1)", {"R0.r", "R1.r", "C1.c"}, {1, 2, -3}, {true, true, true}};
const TestModel kRq{"R0-(R1,CPE1)",
                    {"R0.r", "R1.r", "CPE1.q", "CPE1.alpha"},
                    {1, 2, -3, 0.5},
                    {true, true, true, false}};

using korvane::testing::parse_ok;

// An RC spectrum; the test models ignore its values but need >= 2 points.
struct Spectrum {
    std::vector<double> f;
    std::vector<Cplx> z;
};
Spectrum spectrum(std::size_t n) {
    Spectrum s;
    for (std::size_t i = 0; i < n; ++i) {
        const double f = std::pow(10.0, -1.0 + 6.0 * static_cast<double>(i) / 49.0);
        s.f.push_back(f);
        s.z.push_back(Cplx{10, 0} + Cplx{100, 0} / Cplx{1.0, kTwoPi * f * 100 * 1e-5});
    }
    return s;
}

Result<Values> guess(const std::string& circuit, std::optional<std::string> path,
                     std::size_t points = 50) {
    const Spectrum s = spectrum(points);
    return guess_parameters(parse_ok(circuit), s.f, s.z, path);
}

std::string message_of(const Result<Values>& r) { return r.ok() ? "<ok>" : r.error().message; }

// The network forms 10^o with the platform's power function; allow for its
// last bit while keeping the order of wildly different values decisive.
void expect_values(const Result<Values>& actual, const Values& expected) {
    ASSERT_TRUE(actual.ok()) << actual.error().message;
    ASSERT_EQ(actual->size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_NEAR((*actual)[i], expected[i], 1e-13 * std::fabs(expected[i])) << "index " << i;
}

class UserWeights : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("korvane_registry_" + std::to_string(::getpid()) + "_" + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string write(const std::string& name, const Bytes& bytes) {
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    fs::path dir_;
};

// ---- compiled-in registry ---------------------------------------------------

TEST(Registry, FindsTheFirstMatchingEntryInTableOrder) {
    const std::pair<const char*, const char*> cases[] = {
        {"(R1,C2)-R3", "rc"},
        {"R5-p(R6,C7)", "rc"},
        {"R0-Zarc1", "rq"},
        {"R0-K1", "rc"},
        {"L0-R0-K1-K2", "two_rc_l"},
        {"R0-K1-(R2,C2)", "two_rc"},
        {"(CPE1,W1-R1)-R0", "randles"},
    };
    for (const auto& [circuit, name] : cases) {
        const auto found = find_registered_model(parse_ok(circuit));
        ASSERT_TRUE(found) << circuit;
        EXPECT_EQ(kTrainedTopologies[found->entry].name, name) << circuit;
    }
    // Every table circuit finds its own entry, so no entry shadows another.
    for (std::size_t i = 0; i < kTrainedTopologies.size(); ++i) {
        const auto found =
            find_registered_model(parse_ok(std::string(kTrainedTopologies[i].circuit)));
        ASSERT_TRUE(found) << i;
        EXPECT_EQ(found->entry, i);
        EXPECT_FALSE(found->match.pair_conversion);
    }
    for (const char* circuit : {"R0-C1", "R0-(R1,C1,L2)", "R0", "R0-Zarc1-Zarc2-Zarc3"}) {
        EXPECT_FALSE(has_registered_model(parse_ok(circuit))) << circuit;
    }
}

TEST(Registry, UnmatchedCircuitReportsTheModelListBeforeThePointCount) {
    // The full text is asserted in Python; here only that a single point
    // does not change which failure is reported.
    const std::string expected = message_of(guess("R0-C1", std::nullopt));
    EXPECT_EQ(expected.rfind("No training data on this circuit.", 0), 0u);
    EXPECT_EQ(message_of(guess("R0-(R1,C1,L2)", std::nullopt, 1)), expected);
}

TEST(Registry, SelfCheckReportsEachInconsistency) {
    const Bytes rc = model_bytes(kRc);
    const std::span<const unsigned char> good(rc);
    auto loaded = load_registered_weights("rc", "R0-(R1,C1)", &good);
    ASSERT_TRUE(loaded.ok()) << loaded.error().message;
    EXPECT_EQ(loaded.value()->param_names, (std::vector<std::string>{"R0.r", "R1.r", "C1.c"}));

    auto reason = [](const Result<std::shared_ptr<const WeightFile>>& r) {
        return r.ok() ? std::string("<ok>") : r.error().message;
    };
    EXPECT_EQ(reason(load_registered_weights("rc", "R0-(R1,C1)", nullptr)),
              "model rc is not bundled with this build");
    const std::span<const unsigned char> cut(rc.data(), rc.size() / 2);
    EXPECT_EQ(reason(load_registered_weights("rc", "R0-(R1,C1)", &cut)),
              "weight file is truncated");
    EXPECT_EQ(reason(load_registered_weights("rq", "R0-(R1,CPE1)", &good)),
              "model rq is registered as R0-(R1,CPE1) but its weights were trained for R0-(R1,C1)");

    const Bytes broken =
        model_bytes({"R0-(R1,C1", {"R0.r", "R1.r", "C1.c"}, {1, 2, 3}, {true, true, true}});
    const std::span<const unsigned char> broken_span(broken);
    EXPECT_EQ(reason(load_registered_weights("rc", "R0-(R1,C1", &broken_span)),
              "registry circuit R0-(R1,C1");

    const Bytes renamed =
        model_bytes({"R0-(R1,C1)", {"R0.r", "C1.c", "R1.r"}, {1, 2, 3}, {true, true, true}});
    const std::span<const unsigned char> renamed_span(renamed);
    EXPECT_EQ(reason(load_registered_weights("rc", "R0-(R1,C1)", &renamed_span)),
              "model rc has parameters [\"R0.r\", \"C1.c\", \"R1.r\"], expected [\"R0.r\", "
              "\"R1.r\", \"C1.c\"]");
}

TEST(Registry, SlotLoadsOnceUnderConcurrencyAndKeepsItsFailure) {
    ModelSlot slot;
    std::atomic<int> loads{0};
    auto failing = [&]() -> ModelSlot::Loaded {
        ++loads;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return Error::value("weight file has an unparsable value for model x is not bundled");
    };
    std::vector<std::thread> threads;
    std::vector<std::string> seen(8);
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&, i] { seen[i] = slot.get(failing).error().message; });
    for (auto& t : threads) t.join();
    EXPECT_EQ(loads.load(), 1);
    for (const auto& s : seen)
        EXPECT_EQ(s, "weight file has an unparsable value for model x is not bundled");
    // A later caller with a loader that would succeed still gets the stored failure.
    auto succeeding = [&]() -> ModelSlot::Loaded {
        ++loads;
        return std::make_shared<const WeightFile>();
    };
    EXPECT_FALSE(slot.get(succeeding).ok());
    EXPECT_EQ(loads.load(), 1);
}

TEST(Registry, BundledModelsPassTheirSelfCheckOrReportTheirAbsence) {
    for (std::size_t i = 0; i < kTrainedTopologies.size(); ++i) {
        const auto name = kTrainedTopologies[i].name;
        const bool bundled = std::any_of(embedded_models().begin(), embedded_models().end(),
                                         [&](const EmbeddedModel& m) { return m.stem == name; });
        const auto& loaded = registered_weights(i);
        if (bundled) {
            EXPECT_TRUE(loaded.ok()) << name << ": " << loaded.error().message;
        } else {
            ASSERT_FALSE(loaded.ok()) << name;
            EXPECT_EQ(loaded.error().message, "weight file has an unparsable value for model " +
                                                  std::string(name) +
                                                  " is not bundled with this build");
            // The stored failure is what a guess raises, every time.
            EXPECT_EQ(message_of(guess(std::string(kTrainedTopologies[i].circuit), std::nullopt)),
                      loaded.error().message);
        }
    }
}

TEST(Registry, BundledGuessesFollowTheCallersOrderAndAbbreviations) {
    bool any = false;
    if (registered_weights(0).ok()) {  // rc
        any = true;
        auto rc = guess("R0-(R1,C1)", std::nullopt);
        ASSERT_TRUE(rc.ok()) << rc.error().message;
        const Values g = rc.value();
        EXPECT_EQ(guess("(R1,C2)-R3", std::nullopt).value(), (Values{g[1], g[2], g[0]}));
        EXPECT_EQ(guess("R0-K1", std::nullopt).value(), (Values{g[0], g[1], g[1] * g[2]}));
        EXPECT_FALSE(guess("R0-(R1,C1)", std::nullopt, 1).ok());
    }
    if (registered_weights(2).ok()) {  // rq
        any = true;
        auto rq = guess("R0-(R1,CPE1)", std::nullopt);
        ASSERT_TRUE(rq.ok()) << rq.error().message;
        const Values h = rq.value();
        EXPECT_EQ(guess("R0-Zarc1", std::nullopt).value(),
                  (Values{h[0], h[1], std::pow(h[1] * h[2], 1.0 / std::max(h[3], 1e-6)), h[3]}));
    }
    if (!any) GTEST_SKIP() << "neither rc nor rq is bundled with this build";
}

// ---- user weight files ------------------------------------------------------

TEST_F(UserWeights, UserFileGuessesComeBackInTheCallersOwnOrder) {
    const std::string rc = write("rc.eisnn", model_bytes(kRc));
    const std::string rq = write("rq.eisnn", model_bytes(kRq));
    // The model gives R0.r = 10, R1.r = 100, C1.c = 0.001.
    expect_values(guess("R0-(R1,C1)", rc), Values{10, 100, 1e-3});
    expect_values(guess("(R1,C2)-R3", rc), Values{100, 1e-3, 10});
    expect_values(guess("R0-(C1,R1)", rc), Values{10, 1e-3, 100});
    expect_values(guess("R0-K1", rc), Values{10, 100, 100 * 1e-3});
    // rq: R0.r = 10, R1.r = 100, CPE1.q = 0.001, CPE1.alpha = 0.5.
    expect_values(guess("R0-Zarc1", rq), Values{10, 100, std::pow(100 * 1e-3, 1 / 0.5), 0.5});
    expect_values(guess("Zarc1-R0", rq), Values{100, std::pow(100 * 1e-3, 1 / 0.5), 0.5, 10});
}

TEST_F(UserWeights, UserFileFailuresCarryTheirMessagesInOrder) {
    const std::string rq = write("rq.eisnn", model_bytes(kRq));
    EXPECT_EQ(message_of(guess("R0-(R1,C1)", rq)),
              "weight file has an unparsable value for " + rq +
                  " was trained for R0-(R1,CPE1), which is a different circuit");
    const std::string bad = write("bad.eisnn", model_bytes({"R0-(R1,", {"R0.r"}, {1}, {true}}));
    EXPECT_EQ(message_of(guess("R0", bad)),
              "weight file has an unparsable value for circuit R0-(R1, in " + bad);
    const std::string extra = write("extra.eisnn", model_bytes({"R0-(R1,C1)",
                                                                {"R0.r", "R1.r", "C1.c", "X.x"},
                                                                {1, 2, 3, 4},
                                                                {true, true, true, true}}));
    EXPECT_EQ(message_of(guess("R0-(R1,C1)", extra)),
              "weight file has an unparsable value for param_names in " + extra +
                  ": [\"R0.r\", \"R1.r\", \"C1.c\", \"X.x\"], expected [\"R0.r\", \"R1.r\", "
                  "\"C1.c\"] for circuit R0-(R1,C1)");
    const std::string junk = write("junk.eisnn", Bytes{'E', 'I', 'S', 'N', 'N', '0', '0', '2'});
    EXPECT_EQ(message_of(guess("R0-(R1,C1)", junk)), "not an eisnn weight file (bad magic bytes)");
    // The model is located (and its topology checked) before the points are counted.
    const std::string missing = (dir_ / "missing.eisnn").string();
    EXPECT_EQ(message_of(guess("R0-(R1,C1)", missing, 1)).rfind("reading weights: ", 0), 0u);
    EXPECT_EQ(message_of(guess("R0-(R1,C1)", rq, 1)).rfind("weight file has an unparsable", 0), 0u);
    EXPECT_EQ(message_of(guess("R0-(R1,CPE1)", rq, 1)),
              "need at least 2 frequency points to guess, got 1");
}

// Names in another order than the file's own circuit would permute the guess:
// "(R1,C1)-R0" lists R1.r, C1.c, R0.r, so outputs named R0.r, R1.r, C1.c would
// land on the wrong parameters. Refused like a bundled model's mismatch.
TEST_F(UserWeights, ParameterNamesMustFollowTheFilesOwnCircuit) {
    const std::string permuted =
        write("permuted.eisnn", model_bytes({"(R1,C1)-R0", kRc.param_names, kRc.outputs, kRc.log}));
    EXPECT_EQ(message_of(guess("R0-(R1,C1)", permuted)),
              "weight file has an unparsable value for param_names in " + permuted +
                  ": [\"R0.r\", \"R1.r\", \"C1.c\"], expected [\"R1.r\", \"C1.c\", \"R0.r\"] "
                  "for circuit (R1,C1)-R0");
    const std::string renamed =
        write("renamed.eisnn",
              model_bytes({"R0-(R1,C1)", {"R0.r", "R1.r", "C2.c"}, kRc.outputs, kRc.log}));
    EXPECT_EQ(message_of(guess("R0-(R1,C1)", renamed))
                  .rfind("weight file has an unparsable value for param_names in ", 0),
              0u);
    const std::string ordered =
        write("ordered.eisnn",
              model_bytes({"(R1,C1)-R0", {"R1.r", "C1.c", "R0.r"}, {2, -3, 1}, kRc.log}));
    expect_values(guess("R0-(R1,C1)", ordered), Values{10, 100, 1e-3});
    // "R0.r, R1.r, C1.c": white space around the pieces is not part of a name,
    // but messages keep the pieces as written.
    const std::string spaced =
        write("spaced.eisnn",
              model_bytes({"R0-(R1,C1)", {"R0.r", " R1.r", " C1.c "}, kRc.outputs, kRc.log}));
    expect_values(guess("R0-(R1,C1)", spaced), Values{10, 100, 1e-3});
    const std::string spaced_wrong =
        write("spaced_wrong.eisnn",
              model_bytes({"R0-(R1,C1)", {"R0.r", " C1.c", " R1.r"}, kRc.outputs, kRc.log}));
    EXPECT_NE(message_of(guess("R0-(R1,C1)", spaced_wrong)).find("\" C1.c\", \" R1.r\""),
              std::string::npos);
}

// The system reads a path only up to its first NUL: "rc.eisnn\0/elsewhere"
// would load rc.eisnn and cache it under a second name.
TEST_F(UserWeights, PathWithANulByteIsRefusedBeforeAnythingIsRead) {
    const std::string rc = write("rc.eisnn", model_bytes(kRc));
    const std::size_t cached = user_weights_cache().size();
    const std::string hidden = rc + std::string("\0/does/not/exist.eisnn", 23);
    EXPECT_EQ(message_of(guess("R0-(R1,C1)", hidden)), "embedded null byte");
    EXPECT_EQ(message_of(guess("R0-(R1,C1)", std::string("\0", 1))), "embedded null byte");
    EXPECT_EQ(user_weights_cache().size(), cached);
    expect_values(guess("R0-(R1,C1)", rc), Values{10, 100, 1e-3});
}

TEST_F(UserWeights, CacheRetriesMissingFilesAndNeverRereadsLoadedOnes) {
    const std::string path = (dir_ / "later.eisnn").string();
    EXPECT_EQ(message_of(guess("R0-(R1,C1)", path)).rfind("reading weights: ", 0), 0u);
    write("later.eisnn", model_bytes(kRc));
    expect_values(guess("R0-(R1,C1)", path), Values{10, 100, 1e-3});

    // Changed, then deleted on disk: the cached file still answers.
    write("later.eisnn", model_bytes(kRq));
    expect_values(guess("R0-(R1,C1)", path), Values{10, 100, 1e-3});
    fs::remove(path);
    expect_values(guess("(R1,C2)-R3", path), Values{100, 1e-3, 10});
    // Another spelling of the path is another cache entry, read afresh.
    const std::string other = (dir_ / "." / "later.eisnn").string();
    EXPECT_EQ(message_of(guess("R0-(R1,C1)", other)).rfind("reading weights: ", 0), 0u);

    // A topology mismatch does not evict the file either.
    const std::string rq = write("rq.eisnn", model_bytes(kRq));
    EXPECT_FALSE(guess("R0-(R1,C1)", rq).ok());
    fs::remove(rq);
    expect_values(guess("R0-(R1,CPE1)", rq), Values{10, 100, 1e-3, 0.5});
}

TEST(WeightsCache, ReadsEachPathOnceAndPoisonsAfterAFailureInsideTheLock) {
    std::atomic<int> reads{0};
    bool explode = false;
    WeightsCache cache([&](const std::string& path) -> WeightFileResult<WeightFile> {
        ++reads;
        if (explode) throw std::runtime_error("reader failed");
        if (path == "absent") return WeightFileError::io("No such file or directory");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return parse_weight_file(model_bytes(kRc));
    });
    const Circuit rc = parse_ok("R0-(R1,C1)");
    std::vector<std::thread> threads;
    std::atomic<int> found{0};
    for (int i = 0; i < 6; ++i)
        threads.emplace_back([&] { found += cache.find("rc", rc).ok() ? 1 : 0; });
    for (auto& t : threads) t.join();
    EXPECT_EQ(found.load(), 6);
    EXPECT_EQ(reads.load(), 1);

    EXPECT_EQ(cache.find("absent", rc).error().message,
              "reading weights: No such file or directory");
    EXPECT_FALSE(cache.find("absent", rc).ok());
    EXPECT_EQ(reads.load(), 3);  // failures are not cached
    EXPECT_EQ(cache.size(), 1u);

    explode = true;
    EXPECT_THROW(cache.find("new", rc), std::runtime_error);
    const auto after = cache.find("rc", rc);
    ASSERT_FALSE(after.ok());
    EXPECT_EQ(after.error().kind, ErrorKind::Internal);
    EXPECT_EQ(after.error().message, "weights cache poisoned");
}

}  // namespace
}  // namespace korvane
