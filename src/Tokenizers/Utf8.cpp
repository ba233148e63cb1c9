#include "tokenizers/Utf8.h"

namespace tokenizers::utf8 {

char32_t decode(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
    const std::uint8_t lead = byte(i);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    int continuation = 0;
    char32_t value = 0;
    std::uint8_t low = 0x80, high = 0xBF;  // allowed range of the first continuation byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        continuation = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        continuation = 2;
        value = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        if (lead == 0xED)
            high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        continuation = 3;
        value = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;  // nothing above U+10FFFF
    } else {
        ++i;
        return replacementCharacter;
    }
    std::size_t j = i + 1;
    for (int k = 0; k < continuation; ++k, ++j) {
        if (j >= text.size() || byte(j) < low || byte(j) > high) {
            i = j;
            return replacementCharacter;
        }
        value = (value << 6) | (byte(j) & 0x3F);
        low = 0x80;
        high = 0xBF;
    }
    i = j;
    return value;
}

void append(std::string& out, char32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c < 0xE000))
        c = replacementCharacter;
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

bool isValid(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        if (static_cast<std::uint8_t>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        const char32_t c = decode(text, i);
        // U+FFFD itself is three bytes; anything shorter that decoded to it was ill-formed.
        if (c == replacementCharacter && i - start != 3)
            return false;
        if (c == replacementCharacter && text.substr(start, 3) != "\xEF\xBF\xBD")
            return false;
    }
    return true;
}

std::string sanitized(std::string_view text) {
    if (isValid(text))
        return std::string(text);
    std::string out;
    out.reserve(text.size() + 8);
    std::size_t i = 0;
    while (i < text.size())
        append(out, decode(text, i));
    return out;
}

std::string fromBytes(std::span<const std::uint8_t> bytes) {
    return sanitized(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::size_t codePointCount(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++count)
        decode(text, i);
    return count;
}

}  // namespace tokenizers::utf8
