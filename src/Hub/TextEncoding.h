#pragma once

// Conversions between UTF-8 and UTF-16 shared by the configuration types. Private to the module.

#include <string>
#include <string_view>

namespace hub::detail {

// Ill-formed sequences become U+FFFD.
std::u16string utf8ToUtf16(std::string_view text);
// Unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(std::u16string_view units);
// Appends the UTF-16 form of UTF-8 text to `out`.
void appendUtf16(std::u16string& out, std::string_view text);

}  // namespace hub::detail
