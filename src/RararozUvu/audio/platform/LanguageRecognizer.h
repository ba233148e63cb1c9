#pragma once

// Stands in for the platform's language recognizer. Private to the module.

#include <optional>
#include <string>
#include <string_view>

namespace rararozuvu::platform {

// The primary language subtag ("th", "ja", "zh", "en" ...) most likely for the text's dominant
// script: the script of most of its letters, where characters shared by all scripts (blanks,
// digits, punctuation) and combining marks count for none. Equal counts go to the script met
// first. Nothing for text without such characters.
std::optional<std::string> dominantLanguage(std::string_view text);

}  // namespace rararozuvu::platform
