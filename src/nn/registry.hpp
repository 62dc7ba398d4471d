#pragma once
// Which trained network answers a guess for a circuit, and carrying its
// answer back onto that circuit's own parameter order: the compiled-in
// models (loaded once each, self-checked), user weight files (a process-wide
// cache), topology matching up to series order, branch order, labels and the
// K / Zarc abbreviations.

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "circuit/circuit.hpp"
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

}  // namespace korvane
