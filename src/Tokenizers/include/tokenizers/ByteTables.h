#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The byte alphabet of byte-level BPE: every byte value written as one printable character.
// The 188 printable bytes 0x21-0x7E, 0xA1-0xAC and 0xAE-0xFF stand for themselves (the character
// with the same code point); the other 68, in ascending order, take U+0100, U+0101, ... U+0143.
// The tables are built once, are immutable and may be read from any thread.
namespace tokenizers {

// Byte -> its character, as UTF-8 text.
const std::array<std::string, 256>& byteEncoder();

// Character -> byte: the inverse of byteEncoder. Nothing for a code point outside the alphabet.
std::optional<std::uint8_t> byteDecoder(char32_t character);
// The same for a character given as text (one code point; anything else is not in the alphabet).
std::optional<std::uint8_t> byteDecoder(std::string_view character);

}  // namespace tokenizers
