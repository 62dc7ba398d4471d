#pragma once
// Which instruction set the network's layers run on. The forward pass exists
// in three builds of the same arithmetic: the plain loops (any processor),
// and vector kernels for AVX2 and AVX-512 (x86-64, chosen at run time from
// what the processor reports). Every path performs, for every output value,
// the same IEEE operations in the same order — the vectors run across
// independent outputs (output channels, positions, groups, rows), never
// across the terms of one sum, and no multiply-add is fused — so all paths
// give the same bits and the choice is invisible to every caller.

#include <string_view>

namespace korvane {

enum class InferencePath { Plain, Avx2, Avx512 };

inline constexpr InferencePath kInferencePaths[] = {InferencePath::Plain, InferencePath::Avx2,
                                                    InferencePath::Avx512};

// "plain", "avx2", "avx512".
std::string_view inference_path_name(InferencePath path);

// Built into this binary and supported by this processor (and its operating
// system). Plain is always available.
bool inference_path_available(InferencePath path);

// The widest available path: what inference uses unless told otherwise.
InferencePath widest_inference_path();

// The path every inference in the process takes from now on.
InferencePath inference_path();

// Forces `path` for every later inference in the process; for tests and
// benchmarks that compare paths. Returns false, changing nothing, when the
// path is not available. Not meant to be switched while other threads infer
// (each inference reads the setting once, so a switch is never torn, but
// which path a concurrent call takes is then unspecified).
bool set_inference_path(InferencePath path);

}  // namespace korvane
