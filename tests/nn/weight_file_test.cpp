#include "nn/weight_file.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "eisnn_builder.hpp"
#include "nn/embedded_models.hpp"
#include "nn/half.hpp"
#include "nn/network.hpp"

namespace korvane {
namespace {

using testing::FileBuilder;
using testing::network_file;
using testing::NetworkShape;
using Bytes = std::vector<unsigned char>;

// A complete file with only the tables and metadata: enough for the parser.
FileBuilder minimal_file() {
    FileBuilder b;
    b.set("circuit", "R0-(R1,C1)")
        .set("param_names", "R0.r,R1.r,C1.c")
        .set("estimator", "reactive_centroid")
        .set("n_grid", "64")
        .set("channels", "16")
        .set("kernel", "5")
        .set("groups", "8")
        .set("dilations", "1,2,4,8")
        .set("alpha_min", "0.05")
        .set("alpha_max", "1.0");
    b.f32("target_mean", {3}, {0.5, -0.25, 2.0});
    b.f32("target_std", {3}, {1.0, 0.5, 0.25});
    b.f32("log_params", {3}, {1.0, 1.0, 0.0});
    b.f32("scaling", {3, 4}, {1, 0, 0, -1, 1, 0, 0, -1, -1, -1, 0, 2});
    return b;
}

std::string message_of(const Bytes& bytes) {
    auto parsed = parse_weight_file(bytes);
    return parsed ? std::string("ok") : parsed.error().message();
}

std::string message_of(const FileBuilder& b) { return message_of(b.bytes()); }

WeightFile parsed(const FileBuilder& b) {
    auto r = parse_weight_file(b.bytes());
    EXPECT_TRUE(r.ok()) << r.error().message();
    return r ? std::move(r).value() : WeightFile{};
}

TEST(WeightFileParse, ShortFilesAreTruncatedAndWrongMagicIsBadMagic) {
    const Bytes full = minimal_file().bytes();
    for (std::size_t n = 0; n < 8; ++n) {
        EXPECT_EQ(message_of(Bytes(full.begin(), full.begin() + n)), "weight file is truncated")
            << n;
    }
    Bytes wrong = full;
    wrong[7] = '2';  // "EISNN002"
    EXPECT_EQ(message_of(wrong), "not an eisnn weight file (bad magic bytes)");
    EXPECT_EQ(message_of(Bytes{'E', 'I', 'S', 'N', 'N', '0', '0', '2'}),
              "not an eisnn weight file (bad magic bytes)");
}

TEST(WeightFileParse, EveryStrictPrefixIsTruncatedAndTrailingBytesAreIgnored) {
    const Bytes full = minimal_file().bytes();
    ASSERT_EQ(message_of(full), "ok");
    for (std::size_t n = 0; n < full.size(); ++n) {
        ASSERT_EQ(message_of(Bytes(full.begin(), full.begin() + n)), "weight file is truncated")
            << "prefix " << n << " of " << full.size();
    }
    Bytes trailing = full;
    trailing.insert(trailing.end(), {0xFF, 0x00, 0x13, 'x'});
    EXPECT_EQ(message_of(trailing), "ok");
}

TEST(WeightFileParse, InvalidUtf8AnywhereIsTruncated) {
    const std::vector<std::string> bad = {
        "\x80",              // lone continuation byte
        "\xC0\x80",          // overlong NUL
        "\xE0\x80\xAF",      // overlong '/'
        "\xED\xA0\x80",      // UTF-16 surrogate
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "\xE2\x82",          // cut multi-byte sequence
        "\xFF",
    };
    for (const std::string& s : bad) {
        EXPECT_EQ(message_of(minimal_file().set("circuit", s)), "weight file is truncated");
        EXPECT_EQ(message_of(minimal_file().set("x" + s, "1")), "weight file is truncated");
        FileBuilder b = minimal_file();
        b.f32("name" + s, {}, {1.0});
        EXPECT_EQ(message_of(b), "weight file is truncated");
    }
    // Valid multi-byte text of every length passes and is kept verbatim.
    const std::string good = "R\xCE\xA9-\xE2\x82\xAC-\xF0\x9F\x94\x8B";
    EXPECT_EQ(parsed(minimal_file().set("circuit", good)).circuit, good);
}

TEST(WeightFileParse, ElementCountRules) {
    FileBuilder b = minimal_file();
    b.f32("scalar", {}, {7.0});
    b.f32("zero_dim", {3, 0, 5}, {8.0});
    b.f32("wraps_to_zero", {65536, 65536}, {9.0});  // 2^32 mod 2^32 = 0 → 1 value
    b.f32("wraps", {65536, 65537}, std::vector<double>(65536, 1.5));
    const WeightFile f = parsed(b);
    EXPECT_EQ(f.tensors.at("scalar").values, std::vector<double>{7.0});
    EXPECT_TRUE(f.tensors.at("scalar").shape.empty());
    EXPECT_EQ(f.tensors.at("zero_dim").values, std::vector<double>{8.0});
    EXPECT_EQ(f.tensors.at("zero_dim").shape, (std::vector<std::uint32_t>{3, 0, 5}));
    EXPECT_EQ(f.tensors.at("wraps_to_zero").values, std::vector<double>{9.0});
    EXPECT_EQ(f.tensors.at("wraps").values.size(), 65536u);

    // A zero dimension still needs its one value.
    FileBuilder short_payload = minimal_file();
    short_payload.raw({"empty", 0, {0}, {}});
    EXPECT_EQ(message_of(short_payload), "weight file is truncated");
}

TEST(WeightFileParse, Encodings) {
    FileBuilder b = minimal_file();
    b.i8("int8", {2}, 0.5f, {2, -2});
    b.i8("int8_widened", {1}, 0.1f, {3});
    b.f16_bits("half", {9},
               {0x3C00, 0x0001, 0x7C00, 0xFC00, 0x7E00, 0x03FF, 0x7BFF, 0x8000, 0xC000});
    b.f32("single", {2}, {0.1, -3.0e38});
    const WeightFile f = parsed(b);
    EXPECT_EQ(f.tensors.at("int8").values, (std::vector<double>{1.0, -1.0}));
    // The scale is widened before the multiplication: 3·(double)0.1f, which
    // differs from the float product 3·0.1f.
    EXPECT_EQ(f.tensors.at("int8_widened").values[0], 3.0 * static_cast<double>(0.1f));
    EXPECT_NE(f.tensors.at("int8_widened").values[0], static_cast<double>(3.0f * 0.1f));

    const auto& h = f.tensors.at("half").values;
    EXPECT_EQ(h[0], 1.0);
    EXPECT_EQ(h[1], std::ldexp(1.0, -24));
    EXPECT_EQ(h[2], std::numeric_limits<double>::infinity());
    EXPECT_EQ(h[3], -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(h[4]));
    EXPECT_EQ(h[5], 1023 * std::ldexp(1.0, -24));
    EXPECT_EQ(h[6], 65504.0);
    EXPECT_EQ(h[7], 0.0);
    EXPECT_TRUE(std::signbit(h[7]));
    EXPECT_EQ(h[8], -2.0);

    EXPECT_EQ(f.tensors.at("single").values[0], static_cast<double>(0.1f));
    EXPECT_EQ(f.tensors.at("single").values[1], static_cast<double>(-3.0e38f));
}

#ifdef __FLT16_MAX__
TEST(WeightFileParse, HalfDecodingMatchesHardwareForAllPatterns) {
    for (std::uint32_t bits = 0; bits < 65536; ++bits) {
        const auto h = std::bit_cast<_Float16>(static_cast<std::uint16_t>(bits));
        const double expected = static_cast<double>(h);
        const double got = half_to_double(static_cast<std::uint16_t>(bits));
        if (std::isnan(expected)) {
            ASSERT_TRUE(std::isnan(got)) << bits;
            ASSERT_EQ(std::signbit(got), std::signbit(expected)) << bits;
        } else {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(expected))
                << bits;
        }
    }
}
#endif

TEST(WeightFileParse, UnknownEncodingNamesTheCode) {
    for (const std::uint8_t code : {3, 255}) {
        FileBuilder b = minimal_file();
        b.raw({"odd", code, {1}, {0, 0, 0, 0}});
        EXPECT_EQ(message_of(b), "weight file uses tensor encoding " + std::to_string(code) +
                                     ", which this build does not know");
    }
}

TEST(WeightFileParse, RepeatedKeysAndNamesKeepTheLast) {
    FileBuilder b = minimal_file();
    b.meta.emplace_back("circuit", "R0-(R1,CPE1)");
    b.raw({"target_mean", 0, {1}, {0, 0, 0x80, 0x3F}});  // 1.0f, shorter than before
    b.f32("scaling", {1, 4}, {1, 0, 0, -1});
    const WeightFile f = parsed(b);
    EXPECT_EQ(f.circuit, "R0-(R1,CPE1)");
    EXPECT_EQ(f.target_mean, std::vector<double>{1.0});
    EXPECT_EQ(f.scaling.size(), 1u);
}

TEST(WeightFileParse, TablesAreTakenBeforeMetadataInOrder) {
    FileBuilder no_meta = minimal_file();
    no_meta.meta.clear();
    EXPECT_EQ(message_of(FileBuilder(no_meta).remove_tensor("target_mean")),
              "weight file is missing target_mean");
    EXPECT_EQ(message_of(FileBuilder(no_meta).remove_tensor("target_std").remove_tensor("scaling")),
              "weight file is missing target_std");
    EXPECT_EQ(message_of(FileBuilder(no_meta).remove_tensor("log_params").remove_tensor("scaling")),
              "weight file is missing log_params");
    EXPECT_EQ(message_of(FileBuilder(no_meta).remove_tensor("scaling")),
              "weight file is missing scaling");
    EXPECT_EQ(message_of(no_meta), "weight file is missing dilations");

    FileBuilder short_scaling = minimal_file();
    short_scaling.f32("target_mean", {4}, {0, 0, 0, 0});
    short_scaling.f32("scaling", {3, 4}, std::vector<double>(12, 0.0));
    EXPECT_EQ(message_of(short_scaling), "tensor scaling has 12 elements, expected 16");
}

TEST(WeightFileParse, MetadataKeysAreTakenInOrder) {
    const std::vector<std::string> order = {"dilations", "estimator", "circuit", "param_names",
                                            "n_grid",    "channels",  "kernel",  "groups",
                                            "alpha_min", "alpha_max"};
    // Removing every key from position i on reports key i.
    for (std::size_t i = 0; i < order.size(); ++i) {
        FileBuilder b = minimal_file();
        for (std::size_t j = i; j < order.size(); ++j) b.remove(order[j]);
        EXPECT_EQ(message_of(b), "weight file is missing " + order[i]);
    }
    // An unparsable value is reported before a later missing key.
    EXPECT_EQ(message_of(minimal_file().set("kernel", "five").remove("alpha_max")),
              "weight file has an unparsable value for kernel");
}

TEST(WeightFileParse, EstimatorMustBeReactiveCentroid) {
    EXPECT_EQ(message_of(minimal_file().set("estimator", "median")),
              "weight file was normalised with the median scale estimator, which this build "
              "does not implement (supported: reactive_centroid)");
    EXPECT_EQ(message_of(minimal_file().set("estimator", "Reactive_centroid")),
              "weight file was normalised with the Reactive_centroid scale estimator, which this "
              "build does not implement (supported: reactive_centroid)");
}

TEST(WeightFileParse, UnsignedValues) {
    EXPECT_EQ(parsed(minimal_file().set("n_grid", "+64")).n_grid, 64u);
    EXPECT_EQ(parsed(minimal_file().set("channels", "0016")).channels, 16u);
    EXPECT_EQ(parsed(minimal_file().set("groups", "4294967295")).groups, 4294967295u);
    for (const char* bad :
         {" 64", "64 ", "-1", "4294967296", "", "+", "++64", "6 4", "0x40", "64.0",
          "\xC2\xA0"
          "64",
          "99999999999999999999"}) {
        EXPECT_EQ(message_of(minimal_file().set("n_grid", bad)),
                  "weight file has an unparsable value for n_grid")
            << bad;
    }
    for (const char* key : {"channels", "kernel", "groups"}) {
        EXPECT_EQ(message_of(minimal_file().set(key, "-3")),
                  std::string("weight file has an unparsable value for ") + key);
    }
}

TEST(WeightFileParse, DilationsAreTrimmedPieces) {
    EXPECT_EQ(parsed(minimal_file().set("dilations", "1, 2,4 ,8")).dilations,
              (std::vector<std::uint32_t>{1, 2, 4, 8}));
    // Unicode white space (NBSP, ideographic space, line separator) is trimmed too.
    EXPECT_EQ(parsed(minimal_file().set("dilations",
                                        "\xC2\xA0"
                                        "3\xE3\x80\x80,\t+5\xE2\x80\xA8"))
                  .dilations,
              (std::vector<std::uint32_t>{3, 5}));
    for (const char* bad : {"1,,2", "", "1,", ",1", " ", "1;2", "1 2", "-1", "1,4294967296"}) {
        EXPECT_EQ(message_of(minimal_file().set("dilations", bad)),
                  "weight file has an unparsable value for dilations")
            << bad;
    }
}

TEST(WeightFileParse, ParamNamesAreSplitAtEveryCommaVerbatim) {
    EXPECT_EQ(parsed(minimal_file().set("param_names", "R0.r, R1.r")).param_names,
              (std::vector<std::string>{"R0.r", " R1.r"}));
    EXPECT_EQ(parsed(minimal_file().set("param_names", "a,,b,")).param_names,
              (std::vector<std::string>{"a", "", "b", ""}));
}

TEST(WeightFileParse, FloatValues) {
    EXPECT_EQ(parsed(minimal_file().set("alpha_min", "5e-2")).alpha_min, 0.05);
    EXPECT_EQ(message_of(minimal_file().set("alpha_min", "0,05")),
              "weight file has an unparsable value for alpha_min");
    EXPECT_EQ(message_of(minimal_file().set("alpha_max", "1.0 ")),
              "weight file has an unparsable value for alpha_max");

    struct Case {
        const char* text;
        double value;
    };
    const double inf = std::numeric_limits<double>::infinity();
    for (const Case c :
         {Case{"0.05", 0.05}, Case{"5.", 5.0}, Case{".5", 0.5}, Case{"+1e3", 1000.0},
          Case{"-2.5E+2", -250.0}, Case{"1e-3", 0.001}, Case{"inf", inf}, Case{"-Infinity", -inf},
          Case{"+INF", inf}, Case{"1e400", inf}, Case{"-1e400", -inf}, Case{"1e-400", 0.0},
          Case{"0.000000000000000000001e-400", 0.0}, Case{"100000000000000000000e300", inf},
          Case{"007", 7.0}}) {
        double v = std::numeric_limits<double>::quiet_NaN();
        EXPECT_TRUE(parse_float_text(c.text, v)) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
    }
    double v = 0.0;
    EXPECT_TRUE(parse_float_text("NaN", v));
    EXPECT_TRUE(std::isnan(v));
    EXPECT_TRUE(parse_float_text("-nan", v));
    EXPECT_TRUE(std::isnan(v));
    for (const char* bad : {"", ".", "e5", "1e", "1e+", "1.5.2", " 1", "1 ", "0x1p3", "nan(1)",
                            "infin", "in", "--1", "+-1", "1_000", "١", "0,05"}) {
        EXPECT_FALSE(parse_float_text(bad, v)) << bad;
    }
}

TEST(WeightFileParse, TablesBecomeTypedLists) {
    FileBuilder b = minimal_file();
    b.f32("log_params", {5}, {0.0, -0.0, 2.0, std::nan(""), -1.0});
    b.f32("target_mean", {5}, {0, 0, 0, 0, 0});
    b.f32("scaling", {5, 4}, {1,  0.5, 0, 2.5,           //
                              -1, -1,  0, -2.5,          //
                              0,  0,   3, 1.4999,        //
                              0,  0,   0, std::nan(""),  //
                              0,  0,   0, -0.4});
    const WeightFile f = parsed(b);
    EXPECT_EQ(f.log_params, (std::vector<bool>{false, false, true, true, true}));
    ASSERT_EQ(f.scaling.size(), 5u);
    EXPECT_EQ(f.scaling[0].impedance_exponent, 1.0);
    EXPECT_EQ(f.scaling[0].frequency_exponent, 0.5);
    EXPECT_EQ(f.scaling[2].alpha_coefficient, 3.0);
    EXPECT_EQ(f.scaling[0].alpha_index, 3);
    EXPECT_EQ(f.scaling[1].alpha_index, -3);
    EXPECT_EQ(f.scaling[2].alpha_index, 1);
    EXPECT_EQ(f.scaling[3].alpha_index, 0);
    EXPECT_EQ(f.scaling[4].alpha_index, 0);

    EXPECT_EQ(round_to_int32(1e10), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(round_to_int32(-1e10), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(round_to_int32(-std::numeric_limits<double>::infinity()),
              std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(round_to_int32(2147483646.5), 2147483647);
}

TEST(WeightFileParse, TensorLookupReportsTheMissingName) {
    const WeightFile f = parsed(minimal_file());
    ASSERT_TRUE(f.tensor("target_std").ok());
    EXPECT_EQ(f.tensor("w.stem.weight").error().message(), "weight file is missing w.stem.weight");
}

TEST(WeightFileRead, ReadsFilesAndReportsSystemErrors) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("korvane_wf_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const Bytes bytes = minimal_file().bytes();
    const auto path = dir / "ok.eisnn";
    std::FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);

    auto good = read_weight_file(path.string());
    ASSERT_TRUE(good.ok()) << good.error().message();
    EXPECT_EQ(good->circuit, "R0-(R1,C1)");

    auto missing = read_weight_file((dir / "absent.eisnn").string());
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().kind, WeightFileErrorKind::Io);
    EXPECT_EQ(missing.error().message(), "reading weights: No such file or directory");

    auto directory = read_weight_file(dir.string());
    ASSERT_FALSE(directory.ok());
    EXPECT_EQ(directory.error().message(), "reading weights: Is a directory");
    std::filesystem::remove_all(dir);
}

// The bundled files end exactly at their last record (cutting one byte breaks
// them) and carry network shapes the forward pass accepts.
TEST(WeightFileParse, EmbeddedModelsParseToTheirFullLength) {
    for (const EmbeddedModel& model : embedded_models()) {
        const Bytes bytes(model.bytes.begin(), model.bytes.end());
        auto file = parse_weight_file(bytes);
        ASSERT_TRUE(file.ok()) << model.stem << ": " << file.error().message();
        EXPECT_TRUE(check_network_shapes(*file).ok()) << model.stem;
        EXPECT_EQ(message_of(Bytes(bytes.begin(), bytes.end() - 1)), "weight file is truncated")
            << model.stem;
    }
}

}  // namespace
}  // namespace korvane
