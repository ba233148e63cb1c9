#pragma once

#include <bit>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>

namespace ordered {

// Bit helpers on fixed-width integers, for the bit sets and the table geometry.

// The smallest power of two at or above `value`; 0 for values at or below 0 and when the power
// does not fit (a full-width shift gives 0, so a signed 64-bit value above 2^62 comes out as
// the type's minimum).
template <std::integral I>
constexpr I roundUpToPowerOfTwo(I value) noexcept {
    if (value <= 0) {
        return 0;
    }
    using U = std::make_unsigned_t<I>;
    constexpr int width = std::numeric_limits<U>::digits;
    const int shift = width - std::countl_zero(static_cast<U>(static_cast<U>(value) - 1));
    return shift >= width ? I{0} : static_cast<I>(U{1} << shift);
}

// The number of set bits below position `bit` (which must be below the width).
template <std::unsigned_integral U>
constexpr int rankOfBit(U value, int bit) noexcept {
    return std::popcount(static_cast<U>(value & static_cast<U>((U{1} << bit) - 1)));
}

// The position of the set bit with exactly `n` set bits below it, if there is one.
template <std::unsigned_integral U>
constexpr std::optional<int> bitRanked(U value, int n) noexcept {
    int shift = 0;
    for (int width = std::numeric_limits<U>::digits / 2; width >= 2; width /= 2) {
        const U low = static_cast<U>(value >> shift) & static_cast<U>((U{1} << width) - 1);
        const int c = std::popcount(low);
        if (n >= c) {
            n -= c;
            shift += width;
        }
    }
    const int b = static_cast<int>((value >> shift) & 1u);
    if (n > b) {
        return std::nullopt;
    }
    if (n == b) {
        shift += 1;
    }
    if (shift >= std::numeric_limits<U>::digits || ((value >> shift) & 1u) == 0) {
        return std::nullopt;
    }
    return shift;
}

// Bit i moved to bit 63 - i.
constexpr std::uint64_t reversedBits(std::uint64_t value) noexcept {
    std::uint64_t result = 0;
    for (int i = 0; i < 64; ++i) {
        result = (result << 1) | ((value >> i) & 1u);
    }
    return result;
}

}  // namespace ordered
