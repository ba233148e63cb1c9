#pragma once

#include <unicode/unistr.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace vevidocore::detail {

// A text split into user-perceived characters (extended grapheme clusters).
struct Graphemes {
    icu::UnicodeString text;
    // Offsets (UTF-16 units) of every character's start, and the text's length last.
    std::vector<std::int32_t> boundaries;

    std::size_t count() const { return boundaries.empty() ? 0 : boundaries.size() - 1; }
    icu::UnicodeString character(std::size_t index) const {
        return icu::UnicodeString(text, boundaries[index],
                                  boundaries[index + 1] - boundaries[index]);
    }
};

// Invalid UTF-8 reads as the replacement character.
Graphemes splitGraphemes(std::string_view utf8);

// Two characters are the same when they are canonically equivalent ("é" and "e" + U+0301).
bool canonicallyEquivalent(const icu::UnicodeString& a, const icu::UnicodeString& b);

}  // namespace vevidocore::detail
