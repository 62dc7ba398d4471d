// Seeded mutation loop over a valid weight file: every truncation, then random
// bit flips, byte overwrites, huge length/count/dimension fields, removed and
// repeated records and pairs, hostile metadata values and re-dimensioned
// tensors. Each variant goes through parse → check_network_shapes → infer; a
// variant that is accepted is run on a spectrum, so a shape check that lets an
// out-of-bounds read through shows up under AddressSanitizer.
//
//   weight_file_fuzz_tool [variants=150000] [seed=1]
//
// Prints the count of variants and of each outcome; exits non-zero only if a
// valid file is rejected (a sanitizer finding aborts the process by itself).

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "eisnn_builder.hpp"
#include "nn/network.hpp"
#include "nn/weight_file.hpp"

using namespace korvane;
using korvane::testing::FileBuilder;
using korvane::testing::Layout;
using Bytes = std::vector<unsigned char>;

namespace {

FileBuilder base_file() {
    korvane::testing::NetworkShape s;
    s.channels = 8;
    s.kernel = 3;
    s.groups = 4;
    s.n_grid = 24;
    s.dilations = {1, 3};
    s.head = 16;
    s.names = {"R0.r", "R1.r", "W1.aw", "CPE1.q", "CPE1.alpha"};
    s.circuit = "R0-(R1-W1,CPE1)";
    FileBuilder b = korvane::testing::network_file(s);
    // Cover the other two encodings in the mutated bytes too.
    std::vector<std::uint16_t> half(8 * 8 * 3);
    for (std::size_t i = 0; i < half.size(); ++i) {
        half[i] = static_cast<std::uint16_t>((i % 2 ? 0xB000 : 0x3000) + (i * 37) % 1024);
    }
    b.f16_bits("w.blocks.0.conv1.weight", {8, 8, 3}, half);
    std::vector<std::int8_t> q(16 * 16);
    for (std::size_t i = 0; i < q.size(); ++i)
        q[i] = static_cast<std::int8_t>((i * 53) % 255 - 127);
    b.i8("w.head.2.weight", {16, 16}, 1.0f / 400, q);
    b.f32("log_params", {5}, {1, 1, 1, 1, 0});
    b.f32("scaling", {5, 4}, {1, 0, 0, -1, 1, 0, 0, -1, 1, 0.5, 0, -1, -1, 0, -1, 4, 0, 0, 0, -1});
    return b;
}

struct Spectrum {
    std::vector<double> f;
    std::vector<Cplx> z;
};

Spectrum spectrum() {
    Spectrum s;
    for (int k = 0; k < 30; ++k) {
        const double f = std::pow(10.0, -1.0 + 5.0 * k / 29);
        const Cplx y{1.0 / 80.0, 6.283185307179586 * f * 3e-5};
        s.f.push_back(f);
        s.z.push_back(Cplx{5.0, 0.0} + reciprocal(y));
    }
    return s;
}

class Fuzzer {
  public:
    explicit Fuzzer(std::uint64_t seed) : rng_(seed), base_(base_file()) {
        bytes_ = base_.bytes(&layout_);
    }

    const Bytes& base_bytes() const { return bytes_; }

    void run(const Bytes& variant) {
        ++count_;
        auto file = parse_weight_file(variant);
        if (!file) {
            ++outcomes_["parse: " + kind_name(file.error().kind)];
            return;
        }
        auto status = check_network_shapes(*file);
        if (!status) {
            ++outcomes_["shape: " + kind_name(status.error().kind)];
            return;
        }
        auto result = infer(*file, spectrum_.f, spectrum_.z);
        ++outcomes_[result ? "inferred" : "infer: " + kind_name(result.error().kind)];
    }

    Bytes mutate() {
        const int rounds = pick(0, 9) == 0 ? pick(2, 3) : 1;
        Bytes out;
        bool from_builder = false;
        for (int r = 0; r < rounds; ++r) {
            const int kind = pick(0, 10);
            if (kind >= 8 && r == 0) {
                out = structural(kind);
                from_builder = true;
                continue;
            }
            if (out.empty() && !from_builder) out = bytes_;
            byte_level(out, kind % 8);
        }
        return out;
    }

    std::uint64_t count() const { return count_; }
    const std::map<std::string, std::uint64_t>& outcomes() const { return outcomes_; }

  private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    std::size_t index(std::size_t n) {
        return n == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
    }

    static std::string kind_name(WeightFileErrorKind k) {
        switch (k) {
            case WeightFileErrorKind::Io:
                return "Io";
            case WeightFileErrorKind::BadMagic:
                return "BadMagic";
            case WeightFileErrorKind::Truncated:
                return "Truncated";
            case WeightFileErrorKind::Missing:
                return "Missing";
            case WeightFileErrorKind::Unparsable:
                return "Unparsable";
            case WeightFileErrorKind::UnsupportedEstimator:
                return "UnsupportedEstimator";
            case WeightFileErrorKind::UnknownEncoding:
                return "UnknownEncoding";
            case WeightFileErrorKind::ShapeMismatch:
                return "ShapeMismatch";
            case WeightFileErrorKind::TooFewPoints:
                return "TooFewPoints";
        }
        return "?";
    }

    static void put_u32_at(Bytes& b, std::size_t at, std::uint32_t v) {
        if (at + 4 > b.size()) return;
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
    }
    static std::uint32_t u32_at(const Bytes& b, std::size_t at) {
        if (at + 4 > b.size()) return 0;
        return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
    }

    void byte_level(Bytes& b, int kind) {
        if (b.empty()) return;
        switch (kind) {
            case 0: {  // bit flips
                for (int i = pick(1, 8); i > 0; --i) b[index(b.size())] ^= 1u << pick(0, 7);
                break;
            }
            case 1:
            case 2:
            case 3: {  // overwrite with 0x00, 0xFF or random bytes
                for (int i = pick(1, 4); i > 0; --i) {
                    b[index(b.size())] = kind == 1   ? 0x00
                                         : kind == 2 ? 0xFF
                                                     : static_cast<unsigned char>(pick(0, 255));
                }
                break;
            }
            case 4: {  // a length, count or dimension field set to a huge value
                static const std::uint32_t huge[] = {0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u,
                                                     0x40000000u, 0x10000u,    0x10001u};
                const std::size_t at = layout_.u32_fields[index(layout_.u32_fields.size())];
                std::uint32_t v = huge[index(std::size(huge))];
                if (pick(0, 3) == 0) v = static_cast<std::uint32_t>(b.size() + pick(-8, 8));
                if (pick(0, 3) == 0) v = static_cast<std::uint32_t>(rng_());
                put_u32_at(b, at, v);
                break;
            }
            case 5: {  // remove a tensor record, keeping or fixing the count
                const auto [begin, end] = layout_.records[index(layout_.records.size())];
                if (end > b.size()) break;
                b.erase(b.begin() + begin, b.begin() + end);
                if (pick(0, 1))
                    put_u32_at(b, layout_.tensor_count_at, u32_at(b, layout_.tensor_count_at) - 1);
                break;
            }
            case 6: {  // repeat a tensor record (later wins) or a metadata pair
                const bool tensor = pick(0, 1);
                const auto [begin, end] = tensor ? layout_.records[index(layout_.records.size())]
                                                 : layout_.pairs[index(layout_.pairs.size())];
                if (end > b.size()) break;
                const Bytes copy(b.begin() + begin, b.begin() + end);
                const std::size_t at = tensor ? bytes_.size() : layout_.tensor_count_at;
                if (at > b.size()) break;
                b.insert(b.begin() + at, copy.begin(), copy.end());
                const std::size_t count_at =
                    tensor ? layout_.tensor_count_at : layout_.pair_count_at;
                if (pick(0, 3)) put_u32_at(b, count_at, u32_at(b, count_at) + 1);
                break;
            }
            case 7: {  // truncate at a random point, or append junk
                if (pick(0, 1)) {
                    b.resize(index(b.size()));
                } else {
                    for (int i = pick(1, 16); i > 0; --i)
                        b.push_back(static_cast<unsigned char>(pick(0, 255)));
                }
                break;
            }
        }
    }

    // Variants built from the editable file: hostile metadata values, removed
    // pairs, tensors with other dimensions over their old payload.
    Bytes structural(int kind) {
        FileBuilder b = base_;
        if (kind == 8) {
            static const std::map<std::string, std::vector<std::string>> values = {
                {"n_grid", {"0", "1", "2", "3", "4096", "4294967295", "+24"}},
                {"channels", {"0", "1", "4", "7", "16", "4294967295"}},
                {"kernel", {"0", "1", "2", "4", "100000", "4294967295"}},
                {"groups", {"0", "1", "2", "3", "8", "16"}},
                {"dilations", {"0", "1", "4294967295", "1,2,3", "100000,1", "", "2147483648"}},
                {"alpha_min", {"nan", "inf", "-inf", "2", "-1e308", "1e-320"}},
                {"alpha_max", {"nan", "-inf", "0", "0.01"}},
                {"param_names", {"a", "", "a,b,c,d,e,f,g,h,i,j,k", "a,b,c,d,e,f"}},
                {"estimator", {"median", ""}},
            };
            auto it = values.begin();
            std::advance(it, index(values.size()));
            if (pick(0, 7) == 0) {
                b.remove(it->first);
            } else {
                b.set(it->first, it->second[index(it->second.size())]);
            }
        } else if (kind == 9) {  // other dimensions over the same payload
            auto& r = b.tensors[index(b.tensors.size())];
            r.dims.resize(index(4));
            for (auto& d : r.dims) {
                d = static_cast<std::uint32_t>(pick(0, 3) == 0 ? rng_() : pick(0, 40));
            }
        } else {  // re-dimension consistently: a valid record of another size
            auto& r = b.tensors[index(b.tensors.size())];
            const std::size_t width = r.encoding == 0 ? 4 : r.encoding == 1 ? 2 : 1;
            const std::size_t n = pick(1, 300);
            r.dims = {static_cast<std::uint32_t>(n)};
            if (pick(0, 1) && n % 4 == 0) r.dims = {static_cast<std::uint32_t>(n / 4), 4};
            r.payload.resize((r.encoding == 2 ? 4 : 0) + n * width, 0x11);
        }
        return b.bytes();
    }

    std::mt19937_64 rng_;
    FileBuilder base_;
    Layout layout_;
    Bytes bytes_;
    Spectrum spectrum_ = spectrum();
    std::uint64_t count_ = 0;
    std::map<std::string, std::uint64_t> outcomes_;
};

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t variants = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 150000;
    const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    Fuzzer fuzzer(seed);

    const Bytes& valid = fuzzer.base_bytes();
    {
        auto file = parse_weight_file(valid);
        if (!file || !infer(*file, spectrum().f, spectrum().z)) {
            std::fprintf(stderr, "the unmutated file was rejected\n");
            return 1;
        }
    }
    for (std::size_t n = 0; n < valid.size(); ++n) {
        fuzzer.run(Bytes(valid.begin(), valid.begin() + n));
    }
    const std::uint64_t truncations = fuzzer.count();
    while (fuzzer.count() < variants) fuzzer.run(fuzzer.mutate());

    std::printf("base file: %zu bytes; seed %llu\n", valid.size(),
                static_cast<unsigned long long>(seed));
    std::printf("variants: %llu (%llu truncations, %llu mutations)\n",
                static_cast<unsigned long long>(fuzzer.count()),
                static_cast<unsigned long long>(truncations),
                static_cast<unsigned long long>(fuzzer.count() - truncations));
    for (const auto& [outcome, n] : fuzzer.outcomes()) {
        std::printf("  %-28s %llu\n", outcome.c_str(), static_cast<unsigned long long>(n));
    }
    return 0;
}
