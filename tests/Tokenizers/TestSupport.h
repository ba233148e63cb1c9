#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "hub/Config.h"
#include "hub/YYJSONParser.h"
#include "tokenizers/TokenizerError.h"

namespace tokenizers::testing {

inline hub::Config json(std::string_view text) {
    return hub::YYJSONParser::parseToConfig(text);
}

inline std::filesystem::path tokenizerFolder(std::string_view family) {
    return std::filesystem::path(QUILLORA_SHARED_DIR) / "data" / "tokenizers" / family;
}

// The description of `f` that `build` throws, or "" when it throws nothing.
template <class F>
std::string thrownMessage(F&& build) {
    try {
        build();
    } catch (const TokenizerError& e) {
        return e.what();
    }
    return "";
}

}  // namespace tokenizers::testing
