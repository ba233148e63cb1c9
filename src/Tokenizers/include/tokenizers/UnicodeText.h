#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "tokenizers/Utf8.h"

// Unicode text services over ICU for UTF-8 texts: normalization forms, full lower-case mapping,
// user-perceived characters (extended grapheme clusters) and a few character properties.
namespace tokenizers::unicode {

enum class NormalizationForm { nfd, nfc, nfkd, nfkc };

std::string normalized(std::string_view text, NormalizationForm form);

// Full Unicode lower-case mapping (root locale); a character may become several.
std::string lowercased(std::string_view text);

// The extended grapheme clusters of `text`, in order, as views into it.
std::vector<std::string_view> graphemeClusters(std::string_view text);
std::size_t graphemeCount(std::string_view text);

// True when every byte of the text is below 0x80.
inline bool isAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

// True when every code point of the (valid UTF-8) text lies below U+0300. Such text is in NFC
// already and each code point is a grapheme cluster of its own, except that a carriage return
// followed by a line feed is one cluster: no character below U+0300 combines with a neighbour or
// extends a cluster.
inline bool isBelowCombiningMarks(std::string_view text) {
    // A code point below U+0300 encodes with lead bytes below 0xCC, and continuation bytes are
    // below 0xC0, so one byte comparison per byte decides it.
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0xCC)
            return false;
    }
    return true;
}

// Calls f(character, firstScalar) for each user-perceived character of the (valid UTF-8) text,
// in order; many rules of tokenizer descriptions judge a character by its first scalar.
template <class F>
void forEachCharacter(std::string_view text, F&& f);

// The text in NFD with every nonspacing mark (general category Mn) removed: accents go, base
// letters stay.
std::string withoutNonspacingMarks(std::string_view text);

// The text with a blank on each side of every character whose first scalar is a CJK ideograph
// (isCJKIdeograph), so that each becomes a word of its own.
std::string spacedCJKIdeographs(std::string_view text);

// True when every code point of the (valid UTF-8) text is a character of its own, except that a
// carriage return followed by a line feed is one: no code point extends, joins or prepends to a
// neighbour (its Grapheme_Cluster_Break is Other, Control, CR or LF). Most text of most scripts
// is like this, and its characters need no break iterator.
bool hasSingleScalarCharacters(std::string_view text);

bool isWhiteSpace(char32_t c);       // the White_Space property
bool isLetter(char32_t c);           // general category L
bool isNumber(char32_t c);           // general category N
bool isPunctuation(char32_t c);      // general category P
bool isHorizontalSpace(char32_t c);  // general category Zs or U+0009
// Punctuation as BERT-style splitting sees it: general category P, and every printable ASCII
// character that is not a letter or digit (U+0021-U+002F, U+003A-U+0040, U+005B-U+0060,
// U+007B-U+007E), so that "$", "+" and "~" split words too.
inline bool isPunctuationOrAsciiSymbol(char32_t c) {
    if (c < 0x80) {
        return (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60) ||
               (c >= 0x7B && c <= 0x7E);
    }
    return isPunctuation(c);
}
// General category C: control, format, surrogate, private use or unassigned.
bool isOtherCategory(char32_t c);
// The CJK ideographs that BERT-style tokenizers set apart as words of their own: U+4E00-U+9FFF,
// U+3400-U+4DBF, U+20000-U+2A6DF, U+2A700-U+2CEAF, U+F900-U+FAFF and U+2F800-U+2FA1F.
constexpr bool isCJKIdeograph(char32_t c) {
    return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) ||
           (c >= 0x20000 && c <= 0x2A6DF) || (c >= 0x2A700 && c <= 0x2CEAF) ||
           (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x2F800 && c <= 0x2FA1F);
}

template <class F>
void forEachCharacter(std::string_view text, F&& f) {
    if (hasSingleScalarCharacters(text)) {
        for (std::size_t i = 0; i < text.size();) {
            const std::size_t start = i;
            const char32_t c = utf8::decode(text, i);
            if (c == U'\r' && i < text.size() && text[i] == '\n')
                ++i;
            f(text.substr(start, i - start), c);
        }
        return;
    }
    for (std::string_view character : graphemeClusters(text)) {
        std::size_t i = 0;
        f(character, utf8::decode(character, i));
    }
}

}  // namespace tokenizers::unicode
