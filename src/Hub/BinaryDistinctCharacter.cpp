#include "hub/BinaryDistinctCharacter.h"

#include <fmt/core.h>

#include "TextEncoding.h"
#include "hub/Hasher.h"

namespace hub {

BinaryDistinctCharacter::BinaryDistinctCharacter(std::string_view text)
    : bytes_(detail::utf8ToUtf16(text)) {}

std::string BinaryDistinctCharacter::string() const {
    return detail::utf16ToUtf8(bytes_);
}

std::string BinaryDistinctCharacter::description() const {
    std::string units;
    for (char16_t unit : bytes_) {
        units += fmt::format("{}\"0x{:02X}\"", units.empty() ? "" : ", ", unsigned{unit});
    }
    return fmt::format("BinaryDistinctCharacter('{}', bytes: [{}])", string(), units);
}

std::size_t BinaryDistinctCharacter::hashValue() const noexcept {
    Hasher hasher;
    hasher.combine(bytes_.size());
    hasher.combineBytes(bytes_.data(), bytes_.size() * sizeof(char16_t));
    return hasher.finalize();
}

}  // namespace hub
