#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "hub/BinaryDistinctCharacter.h"
#include "hub/Hasher.h"

namespace hub {

// Text held as its exact UTF-16 code units: equality, hashing and ordering compare code units and
// never normalise, so keys that render alike but are encoded differently (a precomposed letter
// against a letter plus combining mark) stay distinct. This is what keeps vocabulary entries that
// differ only in encoding apart.
//
// Equality, hashing, ordering, concatenation and the prefix/suffix tests work on the code units
// directly. Everything that speaks of characters (count, positions, iteration, slicing) decodes
// the text on each call and caches nothing.
class BinaryDistinctString {
public:
    BinaryDistinctString() = default;
    // The UTF-16 form of UTF-8 text; ill-formed UTF-8 becomes U+FFFD. Implicit, so text literals
    // serve as keys. Never normalises.
    BinaryDistinctString(std::string_view text);
    BinaryDistinctString(const char* text) : BinaryDistinctString(std::string_view(text)) {}
    BinaryDistinctString(const std::string& text) : BinaryDistinctString(std::string_view(text)) {}
    // Takes the code units as they are.
    explicit BinaryDistinctString(std::u16string units) : value_(std::move(units)) {}
    explicit BinaryDistinctString(std::u16string_view units) : value_(units) {}
    explicit BinaryDistinctString(const char16_t* units) : value_(units) {}
    explicit BinaryDistinctString(const BinaryDistinctCharacter& c) : value_(c.bytes()) {}
    explicit BinaryDistinctString(const std::vector<BinaryDistinctCharacter>& characters);

    // The code units.
    const std::u16string& value() const noexcept { return value_; }
    // The text as UTF-8 (unpaired surrogates become U+FFFD).
    std::string string() const;
    std::string description() const { return string(); }

    std::size_t hashValue() const noexcept;
    // Feeds the number of code units, then the code units.
    void hash(Hasher& hasher) const noexcept;

    friend bool operator==(const BinaryDistinctString&, const BinaryDistinctString&) = default;
    // Lexicographic over the code units as unsigned 16-bit numbers; a proper prefix sorts first.
    friend std::strong_ordering operator<=>(const BinaryDistinctString& a,
                                            const BinaryDistinctString& b) noexcept {
        return a.value_.compare(b.value_) <=> 0;
    }

    friend BinaryDistinctString operator+(const BinaryDistinctString& a,
                                          const BinaryDistinctString& b) {
        return BinaryDistinctString(a.value_ + b.value_);
    }

    bool hasPrefix(const BinaryDistinctString& prefix) const noexcept;
    bool hasSuffix(const BinaryDistinctString& suffix) const noexcept;

    // Lower-cased scalar by scalar with the full Unicode mapping (no context-dependent rules).
    BinaryDistinctString lowercased() const;
    // Replaces every occurrence of `target` matched as text under canonical equivalence (so a
    // precomposed letter matches its decomposed form), not code unit by code unit.
    BinaryDistinctString replacingOccurrences(const BinaryDistinctString& target,
                                              const BinaryDistinctString& replacement) const;

    // Characters are extended grapheme clusters of the decoded text.
    std::vector<BinaryDistinctCharacter> characters() const;
    std::ptrdiff_t count() const;
    std::ptrdiff_t startIndex() const noexcept { return 0; }
    std::ptrdiff_t endIndex() const { return count(); }
    // i + n; stops the program with "Index out of bounds" unless 0 <= i + n <= count().
    std::ptrdiff_t index(std::ptrdiff_t i, std::ptrdiff_t n) const;
    // i + n, or nothing when that passes `limit`.
    std::optional<std::ptrdiff_t> index(std::ptrdiff_t i, std::ptrdiff_t n,
                                        std::ptrdiff_t limit) const noexcept;
    // The characters at positions [lower, upper); stops the program with "Index out of bounds"
    // unless 0 <= lower <= upper <= count().
    BinaryDistinctString slice(std::ptrdiff_t lower, std::ptrdiff_t upper) const;
    // The characters from `lower` to the end.
    BinaryDistinctString slice(std::ptrdiff_t lower) const;

private:
    std::u16string value_;
};

// Merges `other` into `receiver`: a new key is inserted, and for a key already present the stored
// value becomes strategy(stored, incoming). `other` may be keyed by BinaryDistinctString or by
// UTF-8 text, which is converted first.
template <class Value, class OtherKey, class Strategy>
void merge(std::unordered_map<BinaryDistinctString, Value>& receiver,
           const std::unordered_map<OtherKey, Value>& other, Strategy&& strategy) {
    for (const auto& [key, value] : other) {
        auto [it, inserted] = receiver.try_emplace(BinaryDistinctString(key), value);
        if (!inserted) {
            it->second = strategy(it->second, value);
        }
    }
}

// Like merge(), on a copy; `receiver` is left unchanged.
template <class Value, class OtherKey, class Strategy>
std::unordered_map<BinaryDistinctString, Value> merging(
    const std::unordered_map<BinaryDistinctString, Value>& receiver,
    const std::unordered_map<OtherKey, Value>& other, Strategy&& strategy) {
    auto copy = receiver;
    merge(copy, other, std::forward<Strategy>(strategy));
    return copy;
}

}  // namespace hub

template <>
struct std::hash<hub::BinaryDistinctString> {
    std::size_t operator()(const hub::BinaryDistinctString& s) const noexcept {
        return s.hashValue();
    }
};
