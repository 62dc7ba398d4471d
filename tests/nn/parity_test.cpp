// The compiled-in guessing networks against the trainer's own float64
// forward pass (tools/train/export.py): the same binary16 weights, the same
// preprocessing, the same spectra. Agreement to 1e-9 relative shows that the
// inference reproduces what was trained, layer for layer; a transposed
// kernel, a wrong padding, a mis-ordered pooling or a wrong scaling row moves
// the guesses by far more.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "nn/embedded_models.hpp"
#include "nn/network.hpp"
#include "nn/trained_topologies.hpp"
#include "nn/weight_file.hpp"
#include "support/verbose.hpp"

namespace korvane {
namespace {

const std::filesystem::path kFixtureDir =
    std::filesystem::path(__FILE__).parent_path() / "data" / "parity";

struct Spectrum {
    std::vector<double> frequencies;
    std::vector<Cplx> impedances;
    std::vector<double> expected;
};

struct Fixture {
    std::string model;
    std::size_t params = 0;
    std::vector<Spectrum> spectra;
};

// "model NAME", "params P", then per spectrum "spectrum N", N lines
// "f re im" and "expected v0 ... v(P-1)"; '#' starts a comment line.
bool read_fixture(const std::filesystem::path& path, Fixture& out) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::string tag;
        words >> tag;
        if (tag == "model") {
            words >> out.model;
        } else if (tag == "params") {
            words >> out.params;
        } else if (tag == "spectrum") {
            std::size_t n = 0;
            words >> n;
            Spectrum s;
            for (std::size_t i = 0; i < n && std::getline(in, line); ++i) {
                std::istringstream point(line);
                double f = 0, re = 0, im = 0;
                point >> f >> re >> im;
                s.frequencies.push_back(f);
                s.impedances.push_back({re, im});
            }
            out.spectra.push_back(std::move(s));
        } else if (tag == "expected") {
            if (out.spectra.empty()) return false;
            double v = 0;
            while (words >> v) out.spectra.back().expected.push_back(v);
        }
    }
    return true;
}

const EmbeddedModel* embedded(std::string_view stem) {
    for (const auto& m : embedded_models()) {
        if (m.stem == stem) return &m;
    }
    return nullptr;
}

// Byte sizes fixed by the shape of each network (Ch, H, P) and its metadata.
struct Expected {
    std::string_view name;
    std::size_t bytes;
    std::size_t params;
};
constexpr Expected kExpected[] = {
    {"rc", 37039, 3},           {"rc_l", 138455, 4},           {"rq", 138462, 4},
    {"rq_l", 139014, 5},        {"two_rc", 139009, 5},         {"two_rc_l", 139561, 6},
    {"two_rq", 140127, 7},      {"two_rq_l", 140679, 8},       {"randles", 139015, 5},
    {"sei_randles", 541576, 8}, {"sei_randles_wo", 542642, 9},
};

TEST(ParityTest, EveryTrainedTopologyShipsAWellFormedFile) {
    ASSERT_EQ(std::size(kExpected), kTrainedTopologies.size());
    for (std::size_t i = 0; i < kTrainedTopologies.size(); ++i) {
        const auto& topo = kTrainedTopologies[i];
        const auto& want = kExpected[i];
        SCOPED_TRACE(std::string(topo.name));
        ASSERT_EQ(want.name, topo.name);
        const EmbeddedModel* m = embedded(topo.name);
        ASSERT_NE(m, nullptr) << "models/" << topo.name << ".eisnn is not embedded";
        EXPECT_EQ(m->bytes.size(), want.bytes);
        auto file = parse_weight_file(m->bytes);
        ASSERT_TRUE(file.ok()) << file.error().message();
        EXPECT_EQ(file->circuit, topo.circuit);
        EXPECT_EQ(file->param_names.size(), want.params);
        EXPECT_EQ(file->channels * 2 + 2, file->tensors.at("w.head.0.weight").shape.at(1));
        EXPECT_TRUE(check_network_shapes(*file).ok());
        // Parsing ends exactly at the last byte: one byte less is truncated.
        auto shorter = parse_weight_file(m->bytes.first(m->bytes.size() - 1));
        EXPECT_FALSE(shorter.ok());
    }
}

TEST(ParityTest, InferenceReproducesTheTrainerForwardPass) {
    for (const auto& topo : kTrainedTopologies) {
        SCOPED_TRACE(std::string(topo.name));
        Fixture fx;
        ASSERT_TRUE(read_fixture(kFixtureDir / (std::string(topo.name) + ".txt"), fx))
            << "missing fixture for " << topo.name;
        ASSERT_EQ(fx.model, topo.name);
        ASSERT_GE(fx.spectra.size(), 2u);
        const EmbeddedModel* m = embedded(topo.name);
        ASSERT_NE(m, nullptr);
        auto file = parse_weight_file(m->bytes);
        ASSERT_TRUE(file.ok()) << file.error().message();
        double worst = 0.0;
        for (std::size_t s = 0; s < fx.spectra.size(); ++s) {
            const Spectrum& sp = fx.spectra[s];
            SCOPED_TRACE("spectrum " + std::to_string(s));
            ASSERT_EQ(sp.expected.size(), fx.params);
            auto got = infer(*file, sp.frequencies, sp.impedances);
            ASSERT_TRUE(got.ok()) << got.error().message();
            ASSERT_EQ(got->size(), fx.params);
            for (std::size_t p = 0; p < fx.params; ++p) {
                const double want = sp.expected[p];
                ASSERT_TRUE(std::isfinite(want));
                const double deviation = std::abs((*got)[p] - want) / std::abs(want);
                worst = std::max(worst, deviation);
                EXPECT_LE(deviation, 1e-9)
                    << file->param_names[p] << ": " << (*got)[p] << " vs " << want;
            }
        }
        if (testing::verbose()) {
            std::printf("[ parity   ] %s: %zu spectra, largest relative deviation %.3g\n",
                        fx.model.c_str(), fx.spectra.size(), worst);
        }
    }
}

}  // namespace
}  // namespace korvane
