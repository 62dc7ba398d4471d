#pragma once
// Tables and figures that a test computes along the way (the MINPACK runs,
// the parity deviations) are for a reader comparing runs, not for every test
// run: they are printed only with KORVANE_VERBOSE set to anything but "" or
// "0", so a plain run shows failures and the summary alone.

#include <cstdlib>
#include <cstring>

namespace korvane::testing {

inline bool verbose() {
    const char* value = std::getenv("KORVANE_VERBOSE");
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

}  // namespace korvane::testing
