#include "TextEncoding.h"

#include <unicode/ustring.h>

#include <cstdlib>

namespace hub::detail {

void appendUtf16(std::u16string& out, std::string_view text) {
    const std::size_t start = out.size();
    // Most keys and vocabulary entries are ASCII; widen those without calling into ICU.
    std::size_t ascii = 0;
    while (ascii < text.size() && static_cast<unsigned char>(text[ascii]) < 0x80) {
        ++ascii;
    }
    out.resize(start + text.size());
    for (std::size_t i = 0; i < ascii; ++i) {
        out[start + i] = static_cast<char16_t>(text[i]);
    }
    if (ascii == text.size()) {
        return;
    }
    // A UTF-8 sequence never yields more UTF-16 units than it has bytes.
    const std::string_view rest = text.substr(ascii);
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(out.data() + start + ascii, static_cast<int32_t>(rest.size()), &length,
                         rest.data(), static_cast<int32_t>(rest.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) {
        std::abort();  // cannot happen: the buffer is large enough and input errors are replaced
    }
    out.resize(start + ascii + static_cast<std::size_t>(length));
}

std::u16string utf8ToUtf16(std::string_view text) {
    std::u16string out;
    appendUtf16(out, text);
    return out;
}

std::string utf16ToUtf8(std::u16string_view units) {
    std::string out(units.size() * 3, '\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, units.data(),
                       static_cast<int32_t>(units.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) {
        std::abort();  // cannot happen: three bytes per unit always suffice
    }
    out.resize(static_cast<std::size_t>(length));
    return out;
}

}  // namespace hub::detail
