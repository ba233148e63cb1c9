#include "templates/Hasher.h"

#include <bit>
#include <random>

namespace templates {

namespace {

inline void sipRound(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2, std::uint64_t& v3) {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
}

// Spreads one seed word over the second key half so that nearby seeds give unrelated keys.
std::uint64_t splitMix(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

}  // namespace

Hasher::Hasher(std::uint64_t seed) {
    const std::uint64_t k0 = seed;
    const std::uint64_t k1 = splitMix(seed);
    v0_ = k0 ^ 0x736f6d6570736575ULL;
    v1_ = k1 ^ 0x646f72616e646f6dULL;
    v2_ = k0 ^ 0x6c7967656e657261ULL;
    v3_ = k1 ^ 0x7465646279746573ULL;
}

std::uint64_t Hasher::defaultSeed() {
    static const std::uint64_t seed = [] {
        std::random_device device;
        return (static_cast<std::uint64_t>(device()) << 32) ^ device();
    }();
    return seed;
}

void Hasher::compress(std::uint64_t block) {
    v3_ ^= block;
    sipRound(v0_, v1_, v2_, v3_);
    v0_ ^= block;
}

void Hasher::combineWord(std::uint64_t word) {
    length_ += 8;
    if (tailBytes_ == 0) {
        compress(word);
        return;
    }
    // Keep the byte stream little-endian across a partly filled tail.
    const unsigned shift = tailBytes_ * 8;
    compress(tail_ | (word << shift));
    tail_ = word >> (64 - shift);
}

void Hasher::combineByte(std::uint8_t byte) {
    length_ += 1;
    tail_ |= static_cast<std::uint64_t>(byte) << (tailBytes_ * 8);
    if (++tailBytes_ == 8) {
        compress(tail_);
        tail_ = 0;
        tailBytes_ = 0;
    }
}

void Hasher::combineBytes(std::string_view bytes) {
    for (char c : bytes) {
        combineByte(static_cast<std::uint8_t>(c));
    }
}

std::uint64_t Hasher::finalize() const {
    std::uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
    const std::uint64_t last = (length_ << 56) | tail_;
    v3 ^= last;
    sipRound(v0, v1, v2, v3);
    v0 ^= last;
    v2 ^= 0xff;
    sipRound(v0, v1, v2, v3);
    sipRound(v0, v1, v2, v3);
    sipRound(v0, v1, v2, v3);
    return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace templates
