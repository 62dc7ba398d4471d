#pragma once
// Builds weight-file bytes for tests: metadata pairs and tensor records kept as
// editable lists, so a test can drop, repeat or corrupt any part before
// serialising. `network_file` makes a complete, loadable file with small
// deterministic weights.

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace korvane::testing {

inline void put_u32(std::vector<unsigned char>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

inline void put_string(std::vector<unsigned char>& out, const std::string& s) {
    put_u32(out, static_cast<std::uint32_t>(s.size()));
    out.insert(out.end(), s.begin(), s.end());
}

struct RecordBytes {
    std::string name;
    std::uint8_t encoding = 0;
    std::vector<std::uint32_t> dims;
    std::vector<unsigned char> payload;  // exactly as stored after the dims
};

// Offsets of the fields inside serialised bytes, for targeted corruption.
struct Layout {
    std::vector<std::size_t> u32_fields;                       // every count/length/dim
    std::vector<std::pair<std::size_t, std::size_t>> records;  // [begin, end) of each tensor
    std::vector<std::pair<std::size_t, std::size_t>> pairs;    // [begin, end) of each metadata pair
    std::size_t pair_count_at = 0;
    std::size_t tensor_count_at = 0;
};

struct FileBuilder {
    std::vector<std::pair<std::string, std::string>> meta;
    std::vector<RecordBytes> tensors;

    // Replaces the value of `key` (every occurrence) or appends the pair.
    FileBuilder& set(const std::string& key, const std::string& value) {
        bool found = false;
        for (auto& [k, v] : meta) {
            if (k == key) v = value, found = true;
        }
        if (!found) meta.emplace_back(key, value);
        return *this;
    }
    FileBuilder& remove(const std::string& key) {
        std::erase_if(meta, [&](const auto& p) { return p.first == key; });
        return *this;
    }
    FileBuilder& remove_tensor(const std::string& name) {
        std::erase_if(tensors, [&](const RecordBytes& r) { return r.name == name; });
        return *this;
    }
    RecordBytes* find_tensor(const std::string& name) {
        for (auto& r : tensors) {
            if (r.name == name) return &r;
        }
        return nullptr;
    }

    // Binary32 record; replaces an existing record of that name in place.
    FileBuilder& f32(const std::string& name, std::vector<std::uint32_t> dims,
                     const std::vector<double>& values) {
        RecordBytes r{name, 0, std::move(dims), {}};
        for (const double v : values) {
            const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(v));
            put_u32(r.payload, bits);
        }
        return put(std::move(r));
    }
    FileBuilder& f16_bits(const std::string& name, std::vector<std::uint32_t> dims,
                          const std::vector<std::uint16_t>& bits) {
        RecordBytes r{name, 1, std::move(dims), {}};
        for (const std::uint16_t b : bits) {
            r.payload.push_back(static_cast<unsigned char>(b & 0xFF));
            r.payload.push_back(static_cast<unsigned char>(b >> 8));
        }
        return put(std::move(r));
    }
    FileBuilder& i8(const std::string& name, std::vector<std::uint32_t> dims, float scale,
                    const std::vector<std::int8_t>& bytes) {
        RecordBytes r{name, 2, std::move(dims), {}};
        put_u32(r.payload, std::bit_cast<std::uint32_t>(scale));
        for (const std::int8_t b : bytes) r.payload.push_back(static_cast<unsigned char>(b));
        return put(std::move(r));
    }
    FileBuilder& raw(RecordBytes r) {
        tensors.push_back(std::move(r));
        return *this;
    }

    std::vector<unsigned char> bytes(Layout* layout = nullptr) const {
        std::vector<unsigned char> out = {'E', 'I', 'S', 'N', 'N', '0', '0', '1'};
        auto mark = [&] {
            if (layout) layout->u32_fields.push_back(out.size());
        };
        if (layout) layout->pair_count_at = out.size();
        mark();
        put_u32(out, static_cast<std::uint32_t>(meta.size()));
        for (const auto& [k, v] : meta) {
            const std::size_t begin = out.size();
            mark();
            put_string(out, k);
            mark();
            put_string(out, v);
            if (layout) layout->pairs.emplace_back(begin, out.size());
        }
        if (layout) layout->tensor_count_at = out.size();
        mark();
        put_u32(out, static_cast<std::uint32_t>(tensors.size()));
        for (const RecordBytes& r : tensors) {
            const std::size_t begin = out.size();
            mark();
            put_string(out, r.name);
            out.push_back(r.encoding);
            out.push_back(static_cast<unsigned char>(r.dims.size()));
            for (const std::uint32_t d : r.dims) {
                mark();
                put_u32(out, d);
            }
            out.insert(out.end(), r.payload.begin(), r.payload.end());
            if (layout) layout->records.emplace_back(begin, out.size());
        }
        return out;
    }

  private:
    FileBuilder& put(RecordBytes r) {
        if (RecordBytes* existing = find_tensor(r.name)) {
            *existing = std::move(r);
        } else {
            tensors.push_back(std::move(r));
        }
        return *this;
    }
};

struct NetworkShape {
    std::uint32_t channels = 16;
    std::uint32_t kernel = 5;
    std::uint32_t groups = 8;
    std::uint32_t n_grid = 64;
    std::vector<std::uint32_t> dilations = {1, 2, 4, 8};
    std::uint32_t head = 64;
    std::vector<std::string> names = {"R0.r", "R1.r", "C1.c"};
    std::string circuit = "R0-(R1,C1)";
};

// Deterministic small weights: a fixed sine pattern, scaled by 1/√fan-in.
inline std::vector<double> pattern(std::size_t n, double scale, double phase) {
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = scale * std::sin(0.7 * static_cast<double>(i) + phase);
    return v;
}

inline FileBuilder network_file(const NetworkShape& s) {
    FileBuilder b;
    std::string dilations, names;
    for (std::size_t i = 0; i < s.dilations.size(); ++i) {
        if (i) dilations += ',';
        dilations += std::to_string(s.dilations[i]);
    }
    for (std::size_t i = 0; i < s.names.size(); ++i) {
        if (i) names += ',';
        names += s.names[i];
    }
    b.set("circuit", s.circuit)
        .set("param_names", names)
        .set("estimator", "reactive_centroid")
        .set("n_grid", std::to_string(s.n_grid))
        .set("channels", std::to_string(s.channels))
        .set("kernel", std::to_string(s.kernel))
        .set("groups", std::to_string(s.groups))
        .set("dilations", dilations)
        .set("alpha_min", "0.05")
        .set("alpha_max", "1.0");
    const std::uint32_t ch = s.channels, k = s.kernel, h = s.head;
    const auto p = static_cast<std::uint32_t>(s.names.size());
    double phase = 0.1;
    auto conv = [&](const std::string& name, std::uint32_t c_in) {
        b.f32(name + ".weight", {ch, c_in, k},
              pattern(std::size_t{ch} * c_in * k, 1.0 / std::sqrt(double(c_in * k)), phase += 0.3));
        b.f32(name + ".bias", {ch}, pattern(ch, 0.1, phase += 0.3));
    };
    auto norm = [&](const std::string& name) {
        auto gamma = pattern(ch, 0.2, phase += 0.3);
        for (double& g : gamma) g += 1.0;
        b.f32(name + ".weight", {ch}, gamma);
        b.f32(name + ".bias", {ch}, pattern(ch, 0.1, phase += 0.3));
    };
    auto dense = [&](const std::string& name, std::uint32_t rows, std::uint32_t cols) {
        b.f32(name + ".weight", {rows, cols},
              pattern(std::size_t{rows} * cols, 1.0 / std::sqrt(double(cols)), phase += 0.3));
        b.f32(name + ".bias", {rows}, pattern(rows, 0.1, phase += 0.3));
    };
    conv("w.stem", 3);
    for (std::size_t i = 0; i < s.dilations.size(); ++i) {
        const std::string pre = "w.blocks." + std::to_string(i) + ".";
        conv(pre + "conv1", ch);
        norm(pre + "norm1");
        conv(pre + "conv2", ch);
        norm(pre + "norm2");
    }
    dense("w.head.0", h, 2 * ch + 2);
    dense("w.head.2", h, h);
    dense("w.head.4", 2 * p, h);
    std::vector<double> mean(p, 0.0), std_dev(p, 0.5), log(p, 1.0), scaling;
    for (std::uint32_t i = 0; i < p; ++i) scaling.insert(scaling.end(), {1.0, 0.0, 0.0, -1.0});
    b.f32("target_mean", {p}, mean);
    b.f32("target_std", {p}, std_dev);
    b.f32("scaling", {p, 4}, scaling);
    b.f32("log_params", {p}, log);
    return b;
}

}  // namespace korvane::testing
