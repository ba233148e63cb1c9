#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

namespace ordered {

// A set of small unsigned integers, one bit each, over 64-bit words that someone else owns: member
// m lives in word m / 64 at bit m % 64. The set never allocates; copies share the same words.
// Members ascend in iteration. insert() and insertAll() trust the caller to stay below capacity().
class UnsafeBitSet {
public:
    using Word = std::uint64_t;
    static constexpr std::size_t bitsPerWord = 64;

    // Words needed for members 0 ..< capacity.
    static std::size_t wordCount(std::size_t capacity) {
        if (capacity > std::numeric_limits<std::size_t>::max() - (bitsPerWord - 1)) {
            throw std::length_error("bit set capacity too large");
        }
        return (capacity + bitsPerWord - 1) / bitsPerWord;
    }

    // Runs body(UnsafeBitSet&) on an empty bit set with room for `capacity` members and returns
    // its result. Up to 128 words (8192 members) live on the stack, more on the heap; either way
    // the words are gone when the body returns or throws.
    template <class Body>
    static decltype(auto) withTemporaryBitSet(std::size_t capacity, Body&& body) {
        constexpr std::size_t stackWords = 128;
        const std::size_t count = wordCount(capacity);
        if (count <= stackWords) {
            std::array<Word, stackWords> words;
            std::fill_n(words.begin(), count, Word{0});
            UnsafeBitSet bits(std::span<Word>(words.data(), count));
            return body(bits);
        }
        std::vector<Word> words(count, 0);
        UnsafeBitSet bits{std::span<Word>(words)};
        return body(bits);
    }

    explicit UnsafeBitSet(std::span<Word> words) noexcept : words_(words) {}

    std::size_t wordCount() const noexcept { return words_.size(); }
    std::size_t capacity() const noexcept { return words_.size() * bitsPerWord; }
    bool isWithinBounds(std::size_t member) const noexcept { return member < capacity(); }

    bool contains(std::size_t member) const noexcept {
        const std::size_t word = member / bitsPerWord;
        return word < words_.size() && (words_[word] & bit(member)) != 0;
    }

    // Returns true when the member was not in the set.
    bool insert(std::size_t member) noexcept {
        Word& word = words_[member / bitsPerWord];
        const bool inserted = (word & bit(member)) == 0;
        word |= bit(member);
        return inserted;
    }

    // Returns true when the member was in the set.
    bool remove(std::size_t member) noexcept {
        const std::size_t index = member / bitsPerWord;
        if (index >= words_.size()) {
            return false;
        }
        const bool removed = (words_[index] & bit(member)) != 0;
        words_[index] &= ~bit(member);
        return removed;
    }

    void update(std::size_t member, bool isMember) noexcept {
        if (isMember) {
            insert(member);
        } else {
            remove(member);
        }
    }

    // Makes 0 ..< count members.
    void insertAll(std::size_t count) noexcept {
        const std::size_t full = count / bitsPerWord;
        std::fill_n(words_.begin(), full, ~Word{0});
        if (const std::size_t rest = count % bitsPerWord; rest != 0) {
            words_[full] |= (Word{1} << rest) - 1;
        }
    }

    std::size_t count() const noexcept {
        std::size_t total = 0;
        for (const Word word : words_) {
            total += static_cast<std::size_t>(std::popcount(word));
        }
        return total;
    }

    bool empty() const noexcept {
        for (const Word word : words_) {
            if (word != 0) {
                return false;
            }
        }
        return true;
    }

    // ---- Positions: the members ascending, capacity() as the end. Positions past the end,
    // and walks past either end, throw std::out_of_range. ----

    std::size_t startIndex() const noexcept { return indexFrom(0); }
    std::size_t endIndex() const noexcept { return capacity(); }

    // The first member above `i`, which need not be a member itself.
    std::size_t indexAfter(std::size_t i) const {
        if (i >= endIndex()) {
            throw std::out_of_range("bit set position out of range");
        }
        return indexFrom(i + 1);
    }

    // The greatest member below `i`.
    std::size_t indexBefore(std::size_t i) const {
        if (i > endIndex()) {
            throw std::out_of_range("bit set position out of range");
        }
        for (std::size_t w = i / bitsPerWord + 1; w-- > 0;) {
            Word word = w < words_.size() ? words_[w] : 0;
            if (w == i / bitsPerWord) {
                word &= bit(i) - 1;
            }
            if (word != 0) {
                return w * bitsPerWord + (bitsPerWord - 1 - std::countl_zero(word));
            }
        }
        throw std::out_of_range("bit set has no member below the position");
    }

    // `d` members on from `i` (a member or the end); with a limit in the direction of travel,
    // nothing when the walk would pass it.
    std::size_t index(std::size_t i, std::ptrdiff_t d) const { return *walk(i, d, std::nullopt); }
    std::optional<std::size_t> index(std::size_t i, std::ptrdiff_t d, std::size_t limit) const {
        if (limit > endIndex()) {
            throw std::out_of_range("bit set limit out of range");
        }
        if ((d > 0 && limit < i) || (d < 0 && limit > i)) {
            return walk(i, d, std::nullopt);
        }
        return walk(i, d, limit);
    }

    // The members in [min(a, b), max(a, b)), negative when b < a.
    std::ptrdiff_t distance(std::size_t a, std::size_t b) const {
        if (a > endIndex() || b > endIndex()) {
            throw std::out_of_range("bit set position out of range");
        }
        const std::size_t lo = std::min(a, b);
        const std::size_t hi = std::max(a, b);
        std::size_t count = 0;
        for (std::size_t w = lo / bitsPerWord; w < words_.size() && w * bitsPerWord < hi; ++w) {
            Word word = words_[w];
            if (w == lo / bitsPerWord) {
                word &= ~(bit(lo) - 1);
            }
            if (w == hi / bitsPerWord) {
                word &= bit(hi) - 1;
            }
            count += static_cast<std::size_t>(std::popcount(word));
        }
        return b < a ? -static_cast<std::ptrdiff_t>(count) : static_cast<std::ptrdiff_t>(count);
    }

    class Iterator {
    public:
        using value_type = std::size_t;
        using difference_type = std::ptrdiff_t;

        Iterator() = default;

        std::size_t operator*() const noexcept {
            return index_ * bitsPerWord + static_cast<std::size_t>(std::countr_zero(pending_));
        }
        Iterator& operator++() noexcept {
            pending_ &= pending_ - 1;
            skipEmptyWords();
            return *this;
        }
        Iterator operator++(int) noexcept {
            Iterator old = *this;
            ++*this;
            return old;
        }
        friend bool operator==(const Iterator& it, std::default_sentinel_t) noexcept {
            return it.pending_ == 0;
        }

    private:
        friend class UnsafeBitSet;
        explicit Iterator(std::span<const Word> words) noexcept
            : words_(words), pending_(words.empty() ? 0 : words[0]) {
            skipEmptyWords();
        }
        void skipEmptyWords() noexcept {
            while (pending_ == 0 && index_ + 1 < words_.size()) {
                pending_ = words_[++index_];
            }
        }

        std::span<const Word> words_;
        std::size_t index_ = 0;
        Word pending_ = 0;
    };

    Iterator begin() const noexcept { return Iterator(words_); }
    std::default_sentinel_t end() const noexcept { return {}; }

private:
    // The first member at or above `i`, or the end.
    std::size_t indexFrom(std::size_t i) const noexcept {
        for (std::size_t w = i / bitsPerWord; w < words_.size(); ++w) {
            Word word = words_[w];
            if (w == i / bitsPerWord) {
                word &= ~(bit(i) - 1);
            }
            if (word != 0) {
                return w * bitsPerWord + static_cast<std::size_t>(std::countr_zero(word));
            }
        }
        return endIndex();
    }

    // Member by member, which is plenty for the short walks positions take here.
    std::optional<std::size_t> walk(std::size_t i, std::ptrdiff_t d,
                                    std::optional<std::size_t> limit) const {
        if (i > endIndex() || (i != endIndex() && !contains(i))) {
            throw std::out_of_range("bit set position is not a member");
        }
        for (; d > 0; --d) {
            if (i == endIndex()) {
                if (limit) {
                    return std::nullopt;
                }
                throw std::out_of_range("bit set walk past the end");
            }
            i = indexFrom(i + 1);
            if (limit && i > *limit) {
                return std::nullopt;
            }
        }
        for (; d < 0; ++d) {
            if (startIndex() >= i) {
                if (limit) {
                    return std::nullopt;
                }
                throw std::out_of_range("bit set walk past the start");
            }
            i = indexBefore(i);
            if (limit && i < *limit) {
                return std::nullopt;
            }
        }
        return i;
    }

    static Word bit(std::size_t member) noexcept { return Word{1} << (member % bitsPerWord); }

    std::span<Word> words_;
};

}  // namespace ordered
