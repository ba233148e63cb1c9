#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
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

bool canonicallyEquivalentSlowly(std::string_view a, std::string_view b);

// Byte equality, compared in place for texts of up to 16 bytes (names and keys, mostly): a call
// to memcmp costs more than such a comparison.
inline bool sameBytes(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = a.size();
    if (n != b.size()) {
        return false;
    }
    const char* p = a.data();
    const char* q = b.data();
    const auto load8 = [](const char* at) {
        std::uint64_t word;
        std::memcpy(&word, at, 8);
        return word;
    };
    const auto load4 = [](const char* at) {
        std::uint32_t word;
        std::memcpy(&word, at, 4);
        return word;
    };
    if (n > 16) {
        return std::memcmp(p, q, n) == 0;
    }
    // Two loads from each end that overlap in the middle cover every byte.
    if (n >= 8) {
        return load8(p) == load8(q) && load8(p + n - 8) == load8(q + n - 8);
    }
    if (n >= 4) {
        return load4(p) == load4(q) && load4(p + n - 4) == load4(q + n - 4);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] != q[i]) {
            return false;
        }
    }
    return true;
}

// Key and name comparisons mostly meet identical texts or texts that differ in their first
// ASCII letter; both are settled here without a call.
inline bool canonicallyEquivalent(std::string_view a, std::string_view b) {
    if (!a.empty() && !b.empty() && a[0] != b[0]) {
        if (static_cast<unsigned char>(a[0]) < 0x80 && static_cast<unsigned char>(b[0]) < 0x80) {
            return false;
        }
    } else if (sameBytes(a, b)) {
        return true;
    }
    return canonicallyEquivalentSlowly(a, b);
}

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
// How many characters the text has, counted without storing their boundaries.
std::size_t characterCount(std::string_view text);

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

// The one scalar that starts at byte `offset` (before the end of the text), read as scalars()
// reads it.
Scalar scalarAt(std::string_view text, std::size_t offset);

template <class Predicate>
std::string_view trimmed(std::string_view text, Predicate strip, bool leading, bool trailing) {
    // Reading from the front one scalar at a time finds the same scalars as reading the whole
    // text, and an ASCII byte is always a scalar of its own, so only a non-ASCII byte at the end
    // needs the scalars of what is left.
    std::size_t begin = 0;
    std::size_t end = text.size();
    if (leading) {
        while (begin < end) {
            const Scalar scalar = scalarAt(text, begin);
            if (!strip(scalar.value)) {
                break;
            }
            begin += scalar.length;
        }
    }
    if (trailing) {
        while (end > begin && static_cast<unsigned char>(text[end - 1]) < 0x80 &&
               strip(static_cast<char32_t>(text[end - 1]))) {
            --end;
        }
        if (end > begin && static_cast<unsigned char>(text[end - 1]) >= 0x80) {
            const std::vector<Scalar> rest = scalars(text.substr(begin, end - begin));
            std::size_t last = rest.size();
            while (last > 0 && strip(rest[last - 1].value)) {
                --last;
            }
            end = last == 0 ? begin : begin + rest[last - 1].offset + rest[last - 1].length;
        }
    }
    if (begin == end) {
        return text.substr(0, 0);
    }
    return text.substr(begin, end - begin);
}

}  // namespace templates::unicode
