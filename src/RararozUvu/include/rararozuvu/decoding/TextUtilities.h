#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace rararozuvu {

// Measures of decoded text.
struct TextUtilities {
    TextUtilities() = delete;

    // How repetitive a window's tokens are: the byte count of the ids laid out as 32-bit
    // little-endian integers over the byte count of their raw DEFLATE stream (zlib, level 5).
    // +infinity when compression fails.
    static float compressionRatio(std::span<const std::int64_t> tokens);
    static float compressionRatio(const std::vector<std::int64_t>& tokens) {
        return compressionRatio(std::span<const std::int64_t>(tokens));
    }
    // The same over the UTF-8 bytes of a text; +infinity for the empty text.
    static float compressionRatio(std::string_view text);
};

inline float compressionRatio(const std::vector<std::int64_t>& tokens) {
    return TextUtilities::compressionRatio(tokens);
}
inline float compressionRatio(std::string_view text) {
    return TextUtilities::compressionRatio(text);
}

}  // namespace rararozuvu
