#include "nn/registry.hpp"

#include <array>
#include <utility>

#include "circuit/params.hpp"
#include "nn/embedded_models.hpp"
#include "nn/network.hpp"
#include "nn/trained_topologies.hpp"
#include "runtime/text.hpp"

namespace korvane {
namespace {

constexpr std::size_t kEntryCount = kTrainedTopologies.size();

// The single wrapping every stored registry failure gets when it is raised.
constexpr std::string_view kUnparsablePrefix = "weight file has an unparsable value for ";

std::optional<Circuit> parse_or_none(std::string_view text) {
    auto parsed = parse_circuit(text);
    if (auto* circuit = std::get_if<Circuit>(&parsed)) return std::move(*circuit);
    return std::nullopt;
}

// ["R0.r", "R1.r", "C1.c"]
std::string name_list(const std::vector<std::string>& names) {
    std::string out = "[";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += ", ";
        out += quoted(names[i]);
    }
    out += ']';
    return out;
}

// A file's param_names piece by piece against the circuit's names. Metadata
// written as "R0.r, R1.r, C1.c" is the same list: white space around a piece
// is ignored here, while messages show the pieces as the file has them.
bool same_names(const std::vector<std::string>& listed, const std::vector<std::string>& expected) {
    if (listed.size() != expected.size()) return false;
    for (std::size_t i = 0; i < listed.size(); ++i) {
        if (trim_white_space(listed[i]) != expected[i]) return false;
    }
    return true;
}

// Topologies of the registry circuits, built once: matching runs on every
// fit without explicit values, and the table never changes.
const std::array<std::optional<Topology>, kEntryCount>& registry_topologies() {
    static const auto topologies = [] {
        std::array<std::optional<Topology>, kEntryCount> out;
        for (std::size_t i = 0; i < kEntryCount; ++i) {
            if (auto circuit = parse_or_none(kTrainedTopologies[i].circuit))
                out[i] = topology_of(*circuit);
        }
        return out;
    }();
    return topologies;
}

const std::span<const unsigned char>* bundled_bytes(std::string_view stem) {
    for (const auto& model : embedded_models())
        if (model.stem == stem) return &model.bytes;
    return nullptr;
}

}  // namespace

std::optional<RegisteredMatch> find_registered_model(const Circuit& circuit) {
    const auto& topologies = registry_topologies();
    for (std::size_t i = 0; i < kEntryCount; ++i) {
        if (!topologies[i]) continue;
        if (auto match = match_topology(circuit, *topologies[i]))
            return RegisteredMatch{i, std::move(*match)};
    }
    return std::nullopt;
}

bool has_registered_model(const Circuit& circuit) {
    return find_registered_model(circuit).has_value();
}

Result<std::shared_ptr<const WeightFile>> load_registered_weights(
    std::string_view name, std::string_view circuit, const std::span<const unsigned char>* bytes) {
    if (bytes == nullptr)
        return Error::value("model " + std::string(name) + " is not bundled with this build");

    auto parsed = parse_weight_file(*bytes);
    if (!parsed) return parsed.error().to_error();
    const WeightFile& file = parsed.value();

    if (file.circuit != circuit)
        return Error::value("model " + std::string(name) + " is registered as " +
                            std::string(circuit) + " but its weights were trained for " +
                            file.circuit);
    const auto entry_circuit = parse_or_none(circuit);
    if (!entry_circuit) return Error::value("registry circuit " + std::string(circuit));
    const std::vector<std::string> expected = param_names(*entry_circuit);
    if (!same_names(file.param_names, expected))
        return Error::value("model " + std::string(name) + " has parameters " +
                            name_list(file.param_names) + ", expected " + name_list(expected));
    if (auto shapes = check_network_shapes(file); !shapes) return shapes.error().to_error();

    return std::make_shared<const WeightFile>(std::move(parsed).value());
}

const ModelSlot::Loaded& registered_weights(std::size_t entry) {
    static std::array<ModelSlot, kEntryCount> slots;
    return slots[entry].get([entry]() -> ModelSlot::Loaded {
        const TrainedTopology& topology = kTrainedTopologies[entry];
        auto loaded =
            load_registered_weights(topology.name, topology.circuit, bundled_bytes(topology.name));
        if (!loaded) return Error::value(std::string(kUnparsablePrefix) + loaded.error().message);
        return loaded;
    });
}

// ---- user weight files ----------------------------------------------------

WeightsCache::WeightsCache() : reader_(&read_weight_file) {}
WeightsCache::WeightsCache(Reader reader) : reader_(std::move(reader)) {}

std::size_t WeightsCache::size() const {
    std::lock_guard lock(mutex_);
    return files_.size();
}

Result<WeightsCache::Found> WeightsCache::find(const std::string& path, const Circuit& caller) {
    std::lock_guard lock(mutex_);
    if (poisoned_) return Error::internal("weights cache poisoned");
    // A std::mutex is released, not poisoned, when an exception leaves the
    // locked section; the flag records that the cache may be half-updated so
    // every later caller refuses it instead of trusting it.
    try {
        return find_locked(path, caller);
    } catch (...) {
        poisoned_ = true;
        throw;
    }
}

Result<WeightsCache::Found> WeightsCache::find_locked(const std::string& path,
                                                      const Circuit& caller) {
    auto cached = files_.find(path);
    if (cached == files_.end()) {
        auto read = reader_(path);
        if (!read) return read.error().to_error();
        // No shape check here: infer() binds and checks every network tensor
        // before it reads one, and does so after counting the points, which is
        // the order a user sees ("need at least 2 frequency points" before
        // "weight file is missing w.stem.bias").
        auto file = std::make_shared<const WeightFile>(std::move(read).value());
        cached = files_.emplace(path, std::move(file)).first;
    }
    std::shared_ptr<const WeightFile> file = cached->second;

    const auto model = parse_or_none(file->circuit);
    if (!model)
        return Error::value(std::string(kUnparsablePrefix) + "circuit " + file->circuit + " in " +
                            path);
    auto match = match_topology(caller, topology_of(*model));
    if (!match)
        return Error::value(std::string(kUnparsablePrefix) + path + " was trained for " +
                            file->circuit + ", which is a different circuit");
    // The outputs are picked by the model circuit's parameter indices: a file
    // naming other outputs, or the same ones in another order, would silently
    // shift or permute the guess. The bundled models pass the same check.
    const std::vector<std::string> expected = param_names(*model);
    if (!same_names(file->param_names, expected))
        return Error::value(std::string(kUnparsablePrefix) + "param_names in " + path + ": " +
                            name_list(file->param_names) + ", expected " + name_list(expected) +
                            " for circuit " + file->circuit);
    return Found{std::move(file), std::move(*match)};
}

WeightsCache& user_weights_cache() {
    static WeightsCache cache;
    return cache;
}

// ---- the guess ------------------------------------------------------------

Result<std::vector<double>> guess_with_model(const WeightFile& file, const TopologyMatch& match,
                                             const Circuit& caller,
                                             std::span<const double> frequencies,
                                             std::span<const Cplx> impedances) {
    auto outputs = infer(file, frequencies, impedances);
    if (!outputs) return outputs.error().to_error();
    auto mapped = apply_mapping(match.mapping, outputs.value());
    if (!mapped || !match.pair_conversion) return mapped;
    return convert_pairs_back(caller, mapped.value());
}

Result<std::vector<double>> guess_parameters(const Circuit& circuit,
                                             std::span<const double> frequencies,
                                             std::span<const Cplx> impedances,
                                             const std::optional<std::string>& weights_path) {
    if (weights_path) {
        // The operating system reads a path up to its first NUL, so
        // "rc.eisnn\0/elsewhere" would open rc.eisnn and cache it under a
        // second name; refuse it as open() does, before anything is read.
        if (weights_path->find('\0') != std::string::npos)
            return Error::value("embedded null byte");
        auto found = user_weights_cache().find(*weights_path, circuit);
        if (!found) return found.take_error();
        // The cache lock is released here; the file is immutable and shared.
        return guess_with_model(*found->file, found->match, circuit, frequencies, impedances);
    }

    const auto registered = find_registered_model(circuit);
    if (!registered)
        return Error::value(
            "No training data on this circuit. Machine-learning based initial parameters "
            "available for " +
            model_list_text());
    const auto& loaded = registered_weights(registered->entry);
    if (!loaded) return loaded.error();
    return guess_with_model(*loaded.value(), registered->match, circuit, frequencies, impedances);
}

}  // namespace korvane
