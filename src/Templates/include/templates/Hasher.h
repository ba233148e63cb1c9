#pragma once

#include <cstdint>
#include <string_view>

namespace templates {

// A seeded streaming hasher (SipHash-1-3). Values feed it words, bytes and byte runs in a fixed
// order; finalize() reads the digest without disturbing the stream, so a copy taken midway can be
// finished on its own (the keyword maps of the syntax tree rely on that). Hash values serve
// in-memory tables only: the default seed is chosen afresh for each process.
class Hasher {
public:
    Hasher() : Hasher(defaultSeed()) {}
    explicit Hasher(std::uint64_t seed);

    void combineWord(std::uint64_t word);
    void combineByte(std::uint8_t byte);
    void combineBytes(std::string_view bytes);

    std::uint64_t finalize() const;

    static std::uint64_t defaultSeed();

private:
    void compress(std::uint64_t block);

    std::uint64_t v0_, v1_, v2_, v3_;
    std::uint64_t tail_ = 0;
    unsigned tailBytes_ = 0;
    std::uint64_t length_ = 0;
};

}  // namespace templates
