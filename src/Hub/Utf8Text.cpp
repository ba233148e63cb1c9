#include "Utf8Text.h"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace hub::detail {

namespace {

// The code point at `position` of valid UTF-8 and its length in bytes.
struct Decoded {
    char32_t codePoint;
    std::size_t length;
};

std::optional<Decoded> decodeAt(std::string_view text, std::size_t position) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(position);
    std::size_t length = 0;
    char32_t codePoint = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        return Decoded{lead, 1};
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, codePoint = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, codePoint = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, codePoint = lead & 0x07, minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (position + length > text.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(position + i) & 0xC0) != 0x80) {
            return std::nullopt;
        }
        codePoint = (codePoint << 6) | (byte(position + i) & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return std::nullopt;
    }
    return Decoded{codePoint, length};
}

bool isLineBreak(char32_t c) {
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isWhitespace(char32_t c) {
    return c == 0x09 || c == 0x20 || isLineBreak(c) || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Code points of the text with their byte positions; ill-formed bytes come as U+FFFD.
template <class Visit>
void forEachCodePoint(std::string_view text, Visit&& visit) {
    for (std::size_t position = 0; position < text.size();) {
        const std::optional<Decoded> decoded = decodeAt(text, position);
        const Decoded step = decoded.value_or(Decoded{0xFFFD, 1});
        visit(step.codePoint, position, step.length);
        position += step.length;
    }
}

}  // namespace

bool isValidUtf8(std::string_view text) {
    for (std::size_t position = 0; position < text.size();) {
        const std::optional<Decoded> decoded = decodeAt(text, position);
        if (!decoded) {
            return false;
        }
        position += decoded->length;
    }
    return true;
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    forEachCodePoint(text, [&](char32_t c, std::size_t position, std::size_t length) {
        if (isLineBreak(c)) {
            lines.push_back(text.substr(start, position - start));
            start = position + length;
        }
    });
    lines.push_back(text.substr(start));
    return lines;
}

std::string_view trimmedWhitespace(std::string_view text) {
    std::size_t first = text.size();
    std::size_t end = 0;
    forEachCodePoint(text, [&](char32_t c, std::size_t position, std::size_t length) {
        if (!isWhitespace(c)) {
            first = std::min(first, position);
            end = position + length;
        }
    });
    return first >= end ? std::string_view() : text.substr(first, end - first);
}

}  // namespace hub::detail
