#pragma once
// Text primitives shared by every message: quoting of names, labels, keys and
// paths inside messages.

#include <string>
#include <string_view>

namespace korvane {

// Writes s in double quotes with a backslash before '"' and '\\', and escape
// sequences for control characters (\n, \t, \r, \0, \u{..} style for others),
// e.g. unknown parameter "R2.r". Bytes of valid UTF-8 above 0x7F are kept.
std::string quoted(std::string_view s);

}  // namespace korvane
