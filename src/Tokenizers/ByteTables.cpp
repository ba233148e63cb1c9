#include "tokenizers/ByteTables.h"

#include "tokenizers/Utf8.h"

namespace tokenizers {
namespace {

constexpr bool standsForItself(unsigned b) {
    return (b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC) || (b >= 0xAE && b <= 0xFF);
}

struct Tables {
    std::array<char32_t, 256> codePoint{};
    // Indexed by code point; the alphabet ends at U+0143.
    std::array<int, 0x144> byteOf{};
    std::array<std::string, 256> text;

    Tables() {
        byteOf.fill(-1);
        char32_t shifted = 0x100;
        for (unsigned b = 0; b < 256; ++b) {
            codePoint[b] = standsForItself(b) ? char32_t(b) : shifted++;
            byteOf[codePoint[b]] = static_cast<int>(b);
            utf8::append(text[b], codePoint[b]);
        }
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

}  // namespace

const std::array<std::string, 256>& byteEncoder() {
    return tables().text;
}

std::optional<std::uint8_t> byteDecoder(char32_t character) {
    if (character >= 0x144)
        return std::nullopt;
    const int b = tables().byteOf[character];
    if (b < 0)
        return std::nullopt;
    return static_cast<std::uint8_t>(b);
}

std::optional<std::uint8_t> byteDecoder(std::string_view character) {
    if (character.empty())
        return std::nullopt;
    std::size_t i = 0;
    const char32_t c = utf8::decode(character, i);
    if (i != character.size())
        return std::nullopt;
    return byteDecoder(c);
}

}  // namespace tokenizers
