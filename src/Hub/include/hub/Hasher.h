#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace hub {

// Accumulates a hash from a sequence of fed values, so that composite values (strings,
// configuration trees) hash by feeding their parts in a fixed order. The seed is fixed: hashes are
// stable within and across runs, which keeps containers keyed by these types deterministic.
class Hasher {
public:
    void combine(std::uint64_t v) noexcept { state_ = mix(state_ ^ (v + 0x9E3779B97F4A7C15ull)); }

    // Feeds a run of bytes as one unit; callers feed the length first when runs of different
    // lengths must not collide by concatenation.
    void combineBytes(const void* data, std::size_t size) noexcept {
        combine(
            std::hash<std::string_view>{}(std::string_view(static_cast<const char*>(data), size)));
    }

    std::size_t finalize() const noexcept { return static_cast<std::size_t>(mix(state_)); }

private:
    static constexpr std::uint64_t mix(std::uint64_t x) noexcept {
        x ^= x >> 33;
        x *= 0xFF51AFD7ED558CCDull;
        x ^= x >> 33;
        x *= 0xC4CEB9FE1A85EC53ull;
        x ^= x >> 33;
        return x;
    }

    std::uint64_t state_ = 0x243F6A8885A308D3ull;
};

}  // namespace hub
