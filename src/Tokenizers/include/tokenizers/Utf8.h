#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// UTF-8 coding for the tokenizer's texts. Texts are std::string holding UTF-8; every function
// here is total: ill-formed input never reads out of bounds, it decodes as U+FFFD.
namespace tokenizers::utf8 {

inline constexpr char32_t replacementCharacter = 0xFFFD;

// Decodes the code point that starts at `i` and moves `i` past it. An ill-formed sequence gives
// U+FFFD and moves `i` past its maximal subpart (the longest prefix of a well-formed sequence,
// at least one byte), so decoding a whole text substitutes one U+FFFD per maximal subpart.
// Precondition: i < text.size().
char32_t decode(std::string_view text, std::size_t& i);

// Appends the UTF-8 form of `codePoint` (surrogates and values above U+10FFFF become U+FFFD).
void append(std::string& out, char32_t codePoint);

bool isValid(std::string_view text);

// The text with each maximal ill-formed subpart replaced by U+FFFD; valid text comes back as is.
std::string sanitized(std::string_view text);
std::string fromBytes(std::span<const std::uint8_t> bytes);

// Position of the code point after the one starting at `i` (decoding as above).
inline std::size_t nextCodePoint(std::string_view text, std::size_t i) {
    decode(text, i);
    return i;
}

// Number of code points (ill-formed subparts count as one each).
std::size_t codePointCount(std::string_view text);

}  // namespace tokenizers::utf8
