#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace vevidocore {

// A 128-bit universally unique identifier.
class UUID {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    // The nil identifier (all zero).
    constexpr UUID() = default;
    constexpr explicit UUID(const Bytes& bytes) : bytes_(bytes) {}

    // A fresh random (version 4) identifier from the system's random source.
    static UUID random();

    const Bytes& bytes() const noexcept { return bytes_; }

    // Upper-case hexadecimal digits in groups of 8-4-4-4-12, as log lines show it.
    std::string uuidString() const;
    std::string description() const { return uuidString(); }

    friend constexpr bool operator==(const UUID&, const UUID&) = default;
    friend constexpr auto operator<=>(const UUID&, const UUID&) = default;

private:
    Bytes bytes_{};
};

}  // namespace vevidocore

template <>
struct std::hash<vevidocore::UUID> {
    std::size_t operator()(const vevidocore::UUID& uuid) const noexcept;
};
