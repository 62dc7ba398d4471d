#pragma once
// Which trained network answers a guess for a circuit, and carrying its
// answer back onto that circuit's own parameter order: the compiled-in
// models (loaded once each, self-checked), user weight files (a process-wide
// cache), topology matching up to series order, branch order, labels and the
// K / Zarc abbreviations.

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/circuit.hpp"
#include "nn/topology.hpp"
#include "nn/weight_file.hpp"
#include "runtime/result.hpp"

namespace korvane {

// True when a compiled-in model matches the circuit's topology (directly or
// through the K/Zarc pair expansion). Parses no weight file.
bool has_registered_model(const Circuit& circuit);

// Network guess of starting values for `circuit`, in its param_names() order.
// Without `weights_path` the matching compiled-in model answers; with it, the
// user's file (cached by path text). Failures carry the user-facing message
// (raised as ValueError).
Result<std::vector<double>> guess_parameters(const Circuit& circuit,
                                             std::span<const double> frequencies,
                                             std::span<const Cplx> impedances,
                                             const std::optional<std::string>& weights_path);

// ---- the pieces behind the two entry points ------------------------------

// The first entry of kTrainedTopologies, in table order, whose circuit the
// caller matches. Entries whose circuit string does not parse are skipped.
struct RegisteredMatch {
    std::size_t entry = 0;  // index into kTrainedTopologies
    TopologyMatch match;
};
std::optional<RegisteredMatch> find_registered_model(const Circuit& circuit);

// Loads the weight file of the registry entry (`name`, `circuit`) from `bytes`
// (nullptr: not bundled) and checks it against the entry: the file's circuit
// equals `circuit` byte for byte, `circuit` parses, the file's param_names are
// the parsed circuit's param_names(), and the network tensors have shapes the
// forward pass can use (bundled files are checked once, up front). The error is the bare reason; a
// guess raises it wrapped once as "weight file has an unparsable value for " + reason.
Result<std::shared_ptr<const WeightFile>> load_registered_weights(
    std::string_view name, std::string_view circuit, const std::span<const unsigned char>* bytes);

// A load slot: filled by the first caller, exactly once, while concurrent
// first callers wait; whatever the load produced, failure included, is what
// every later caller gets, without loading again.
class ModelSlot {
  public:
    using Loaded = Result<std::shared_ptr<const WeightFile>>;

    template <class Load>
    const Loaded& get(Load&& load) {
        std::call_once(once_, [&] { loaded_.emplace(load()); });
        return *loaded_;
    }

  private:
    std::once_flag once_;
    std::optional<Loaded> loaded_;
};

// The once-loaded file of registry entry `entry` (index into
// kTrainedTopologies), or its stored, wrapped failure.
const ModelSlot::Loaded& registered_weights(std::size_t entry);

// User weight files by path text, exactly as passed. One lock covers lookup,
// reading, parsing and the topology match, so concurrent first loads of a
// file read it once; the network runs after the lock is released. Failed
// reads are not cached (the next call tries again); a loaded file is never
// read again under the same path text.
class WeightsCache {
  public:
    using Reader = std::function<WeightFileResult<WeightFile>(const std::string& path)>;

    WeightsCache();
    explicit WeightsCache(Reader reader);

    struct Found {
        std::shared_ptr<const WeightFile> file;
        TopologyMatch match;
    };
    // The file at `path`, loaded or from the cache, matched against `caller`.
    // Fails with the read/parse message, "weight file has an unparsable value
    // for circuit {circuit} in {path}", "... for {path} was trained for
    // {circuit}, which is a different circuit", or, once an earlier holder of
    // the lock failed inside it, the internal error "weights cache poisoned".
    Result<Found> find(const std::string& path, const Circuit& caller);

    std::size_t size() const;

  private:
    Result<Found> find_locked(const std::string& path, const Circuit& caller);

    Reader reader_;
    mutable std::mutex mutex_;
    bool poisoned_ = false;  // guarded by mutex_
    std::map<std::string, std::shared_ptr<const WeightFile>, std::less<>> files_;
};

// The process-wide cache used by guess_parameters.
WeightsCache& user_weights_cache();

// Runs the network of `file` on the spectrum and carries its outputs onto the
// caller's parameters through `match` (the pair values converted back to K /
// Zarc parameters when the match went through the expansion).
Result<std::vector<double>> guess_with_model(const WeightFile& file, const TopologyMatch& match,
                                             const Circuit& caller,
                                             std::span<const double> frequencies,
                                             std::span<const Cplx> impedances);

}  // namespace korvane
