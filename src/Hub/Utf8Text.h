#pragma once

// UTF-8 text checks shared by the token and metadata readers. Private to the module.

#include <string>
#include <string_view>
#include <vector>

namespace hub::detail {

bool isValidUtf8(std::string_view text);

// Splits at every line break taken singly: LF, VT, FF, CR, NEL, LS and PS. "a\r\nb" gives three
// lines, the middle one empty.
std::vector<std::string_view> splitLines(std::string_view text);

// Removes white space and line breaks (the Unicode White_Space characters) at both ends.
std::string_view trimmedWhitespace(std::string_view text);

}  // namespace hub::detail
