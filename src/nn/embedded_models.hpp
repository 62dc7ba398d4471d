#pragma once
// The weight files under models/, compiled into the module image by the
// build (tools/embed_models.cmake). Keyed by file stem, e.g. "rc".

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

namespace korvane {

struct EmbeddedModel {
    std::string_view stem;
    std::span<const unsigned char> bytes;
};

// Every embedded file, sorted by stem. Empty when models/ held no files.
const std::vector<EmbeddedModel>& embedded_models();

}  // namespace korvane
