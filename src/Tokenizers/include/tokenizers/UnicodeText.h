#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

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

bool isWhiteSpace(char32_t c);       // the White_Space property
bool isLetter(char32_t c);           // general category L
bool isNumber(char32_t c);           // general category N
bool isPunctuation(char32_t c);      // general category P
bool isHorizontalSpace(char32_t c);  // general category Zs or U+0009

}  // namespace tokenizers::unicode
