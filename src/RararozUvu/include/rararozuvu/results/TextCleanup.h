#pragma once

#include <string>
#include <string_view>

namespace rararozuvu {

// The text without the characters "<", "|" and ">" at either end: "<|en|>" gives "en".
std::string trimmingSpecialTokenCharacters(std::string_view text);

// The text made ready for comparing words: lower-cased (full Unicode mapping), every "-" a blank,
// punctuation (Unicode category P) removed, runs of blanks made one, white space and line breaks
// trimmed at both ends.
std::string normalized(std::string_view text);

}  // namespace rararozuvu
