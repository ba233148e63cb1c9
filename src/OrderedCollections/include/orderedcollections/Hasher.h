#pragma once

#include <cstddef>
#include <cstdint>

namespace ordered {

// A streaming 64-bit hasher with a seed. The hash tables mix each member's own hash with their
// per-table seed through `seededHash`; collections feed their count and members through `Hasher`
// to hash themselves consistently with their equality.
//
// Both rest on one folded 64x64->128 bit multiply, which spreads every input bit over the whole
// result, so that identity hashes (std::hash of integers) still fill the buckets evenly.
namespace detail {

__extension__ using UInt128 = unsigned __int128;

inline std::uint64_t foldedMultiply(std::uint64_t a, std::uint64_t b) noexcept {
    const UInt128 product = static_cast<UInt128>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

inline constexpr std::uint64_t kMix0 = 0x9E3779B97F4A7C15ull;
inline constexpr std::uint64_t kMix1 = 0xD6E8FEB86659FD93ull;
inline constexpr std::uint64_t kMix2 = 0xA0761D6478BD642Full;

}  // namespace detail

// Mixes an element's own hash value with a table seed.
inline std::uint64_t seededHash(std::uint64_t hash, std::uint64_t seed) noexcept {
    return detail::foldedMultiply(hash ^ seed ^ detail::kMix1, detail::kMix0);
}

class Hasher {
public:
    explicit Hasher(std::uint64_t seed = 0) noexcept : state_(seed ^ detail::kMix2) {}

    void combine(std::uint64_t value) noexcept {
        state_ = detail::foldedMultiply(state_ ^ value, detail::kMix0) + detail::kMix1;
    }

    std::uint64_t finalize() const noexcept {
        return detail::foldedMultiply(state_ ^ detail::kMix2, detail::kMix1);
    }

private:
    std::uint64_t state_;
};

}  // namespace ordered
