#pragma once

#include <string>
#include <string_view>

namespace vevidocore {

// Removes the character `character` (one user-perceived character, in UTF-8) from the end of the
// text, at most `upto` times; stops at the first last character that differs. Characters compare
// by canonical equivalence. A count below 1 leaves the text unchanged.
std::string trimmingFromEnd(std::string_view text, std::string_view character, int upto);

}  // namespace vevidocore
