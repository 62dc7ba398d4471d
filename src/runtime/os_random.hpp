#pragma once
// Bytes from the operating system's random source: the keys of the fit
// methods' generators when no seed is given, and the seed words of
// differential evolution on every run.

#include <cstddef>
#include <span>

#include "runtime/result.hpp"

namespace korvane {

// Fills `out` from getrandom(2), or /dev/urandom where the call is missing.
// Fails (Internal) only when neither source delivers.
Status os_random_bytes(std::span<std::byte> out);

}  // namespace korvane
