#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ml/PageBuffer.h"

namespace tokenizers {

// An open-addressing map from exact text to an int, with every key stored once in one arena.
// Vocabularies have tens of thousands of short keys that are read far more often than written:
// one probe sequence over a flat array and no allocation per key keep both loading and lookups
// cheap. Keys are valid until the next insertion.
class TextTable {
public:
    void reserve(std::size_t count) {
        std::size_t capacity = 16;
        while (capacity < count * 2)
            capacity *= 2;
        if (capacity > slots_.size())
            rehash(capacity);
        arena_.reserve(count * 8);
        ml::makeResident(arena_.data(), arena_.capacity());
    }

    // Inserts `key` with `value`, or replaces the value of an existing key when `replace`.
    // Returns the index of the key's slot.
    std::size_t insert(std::string_view key, int value, bool replace = true) {
        if ((size_ + 1) * 2 > slots_.size())
            rehash(slots_.empty() ? 16 : slots_.size() * 2);
        const std::uint64_t h = hash(key);
        const auto tag = static_cast<std::uint32_t>(h >> 32);
        for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (s.length == empty) {
                s = Slot{tag, static_cast<std::uint32_t>(arena_.size()),
                         static_cast<std::uint32_t>(key.size()), value};
                arena_.append(key);
                ++size_;
                return i;
            }
            if (s.tag == tag && keyOf(s) == key) {
                if (replace)
                    s.value = value;
                return i;
            }
        }
    }

    const int* find(std::string_view key) const {
        if (slots_.empty())
            return nullptr;
        const std::uint64_t h = hash(key);
        const auto tag = static_cast<std::uint32_t>(h >> 32);
        for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.length == empty)
                return nullptr;
            if (s.tag == tag && keyOf(s) == key)
                return &s.value;
        }
    }

    std::size_t size() const { return size_; }

    // Calls f(key, value) for every entry.
    template <class F>
    void forEach(F&& f) const {
        for (const Slot& s : slots_) {
            if (s.length != empty)
                f(keyOf(s), s.value);
        }
    }

    static std::uint64_t hash(std::string_view key) {
        std::uint64_t h = 0x9E3779B97F4A7C15ull ^ key.size();
        const char* p = key.data();
        std::size_t n = key.size();
        const auto mix = [&](std::uint64_t k) {
            h = (h ^ k) * 0xBF58476D1CE4E5B9ull;
            h ^= h >> 31;
        };
        for (; n >= 8; p += 8, n -= 8) {
            std::uint64_t k;
            std::memcpy(&k, p, 8);
            mix(k);
        }
        if (n > 0) {
            std::uint64_t k = 0;
            std::memcpy(&k, p, n);
            mix(k);
        }
        h ^= h >> 29;
        h *= 0x94D049BB133111EBull;
        return h ^ (h >> 32);
    }

private:
    static constexpr std::uint32_t empty = 0xFFFFFFFF;
    // 16 bytes: the upper half of the hash tells most keys apart without reading the arena, the
    // lower half picks the slot (and is recomputed when the table grows).
    struct Slot {
        std::uint32_t tag = 0;
        std::uint32_t offset = 0;
        std::uint32_t length = empty;
        int value = 0;
    };

    std::string_view keyOf(const Slot& s) const {
        return std::string_view(arena_.data() + s.offset, s.length);
    }

    void rehash(std::size_t capacity) {
        std::vector<Slot> old = std::move(slots_);
        // A vocabulary's table spans hundreds of pages: made resident at once, they do not
        // fault in one by one as the slots are filled.
        slots_ = std::vector<Slot>();
        slots_.reserve(capacity);
        ml::makeResident(slots_.data(), capacity * sizeof(Slot));
        slots_.assign(capacity, Slot{});
        mask_ = capacity - 1;
        for (const Slot& s : old) {
            if (s.length == empty)
                continue;
            std::size_t i = hash(keyOf(s)) & mask_;
            while (slots_[i].length != empty)
                i = (i + 1) & mask_;
            slots_[i] = s;
        }
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
    std::string arena_;
};

}  // namespace tokenizers
