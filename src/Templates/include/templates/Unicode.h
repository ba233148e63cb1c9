#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "templates/Hasher.h"

// The Unicode services of the template engine. Text is UTF-8 throughout; a "character" is an
// extended grapheme cluster and two texts are equal when they are canonically equivalent.
namespace templates::unicode {

bool isAscii(std::string_view text) noexcept;
bool isValidUtf8(std::string_view text) noexcept;

// Each ill-formed UTF-8 sequence becomes U+FFFD, so that every later step sees Unicode text.
std::string repairedUtf8(std::string_view text);

// Normalization Form C of the text.
std::string normalized(std::string_view text);

bool canonicallyEquivalent(std::string_view a, std::string_view b);

// -1, 0 or 1 by the Unicode scalars of the canonical forms: locale-free, "B" before "a".
int compare(std::string_view a, std::string_view b);
// The same after full case folding of both texts.
int caseInsensitiveCompare(std::string_view a, std::string_view b);

// Whether `needle` occurs in `text` as a run of whole characters, canonical forms compared. The
// empty needle occurs in every text.
bool contains(std::string_view text, std::string_view needle);

// Feeds the text so that canonically equivalent texts feed the same bytes (its NFC form followed
// by a terminator byte that no UTF-8 text contains).
void combineText(Hasher& hasher, std::string_view text);

struct CanonicalHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const;
};

struct CanonicalEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const {
        return canonicallyEquivalent(a, b);
    }
};

// Byte offsets of the extended grapheme cluster boundaries: 0, each boundary, then text.size().
// A text of n characters gives n + 1 offsets.
std::vector<std::size_t> graphemeBoundaries(std::string_view text);

// The characters of the text, each a view into it.
std::vector<std::string_view> characters(std::string_view text);

// The character classes of the lexer, decided by a character's first scalar.
char32_t firstScalar(std::string_view character) noexcept;
bool isWhitespace(char32_t scalar) noexcept;  // White_Space
bool isLetter(char32_t scalar) noexcept;      // Alphabetic
bool isNumber(char32_t scalar) noexcept;      // any Numeric_Type other than none

// Full, locale-independent case mappings (one character may become several).
std::string uppercased(std::string_view text);
std::string lowercased(std::string_view text);
// Every word's first letter in title case and the rest in lower case; words are separated by
// white space.
std::string capitalizedWords(std::string_view text);

// U+0009 to U+000D, U+0085 and the separators (general category Z): white space and line breaks.
bool isSpaceOrLineBreak(char32_t scalar) noexcept;

// The text without the leading and/or trailing scalars for which `strip` holds.
template <class Predicate>
std::string_view trimmed(std::string_view text, Predicate strip, bool leading, bool trailing);

// The scalars of a UTF-8 text (ill-formed sequences read as U+FFFD), with the byte offset where
// each starts.
struct Scalar {
    char32_t value;
    std::size_t offset;
    std::size_t length;
};
std::vector<Scalar> scalars(std::string_view text);

template <class Predicate>
std::string_view trimmed(std::string_view text, Predicate strip, bool leading, bool trailing) {
    const std::vector<Scalar> all = scalars(text);
    std::size_t first = 0;
    std::size_t last = all.size();
    if (leading) {
        while (first < last && strip(all[first].value)) {
            ++first;
        }
    }
    if (trailing) {
        while (last > first && strip(all[last - 1].value)) {
            --last;
        }
    }
    if (first == last) {
        return text.substr(0, 0);
    }
    const std::size_t begin = all[first].offset;
    const std::size_t end = all[last - 1].offset + all[last - 1].length;
    return text.substr(begin, end - begin);
}

}  // namespace templates::unicode
