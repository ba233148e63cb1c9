#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace hub {

// One user-perceived character (extended grapheme cluster) held as its UTF-16 code units.
// Equality and hashing look at the code units only, never at Unicode equivalence.
class BinaryDistinctCharacter {
public:
    BinaryDistinctCharacter() = default;
    // The UTF-16 form of UTF-8 text; ill-formed UTF-8 becomes U+FFFD. Implicit, so text literals
    // serve as keys.
    BinaryDistinctCharacter(std::string_view text);
    BinaryDistinctCharacter(const char* text) : BinaryDistinctCharacter(std::string_view(text)) {}
    BinaryDistinctCharacter(const std::string& text)
        : BinaryDistinctCharacter(std::string_view(text)) {}
    // Takes the code units as they are.
    explicit BinaryDistinctCharacter(std::u16string_view bytes) : bytes_(bytes) {}

    const std::u16string& bytes() const noexcept { return bytes_; }

    // The character as UTF-8 text.
    std::string string() const;
    // "BinaryDistinctCharacter('é', bytes: ["0x65", "0x301"])" style: the text and each code unit.
    std::string description() const;

    std::size_t hashValue() const noexcept;

    friend bool operator==(const BinaryDistinctCharacter&,
                           const BinaryDistinctCharacter&) = default;

private:
    std::u16string bytes_;
};

}  // namespace hub

template <>
struct std::hash<hub::BinaryDistinctCharacter> {
    std::size_t operator()(const hub::BinaryDistinctCharacter& c) const noexcept {
        return c.hashValue();
    }
};
