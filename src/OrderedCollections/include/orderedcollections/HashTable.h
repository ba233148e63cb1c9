#pragma once

#include <algorithm>
#include <bit>
#include <cassert>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace ordered {

// The open-addressing index behind OrderedSet (and so behind OrderedDictionary): it maps the hash
// of each member to the member's offset in its owner's contiguous element array. It never stores
// elements; the owner hands in hashes and an equality test over its own array.
//
// Layout and invariants:
//  - 2^scale buckets, linear probing with wrap-around, backward-shift deletion (no tombstones).
//  - At most maximumCapacity(scale) = 3/4 of the buckets are occupied, so every probe sequence
//    ends at an empty bucket.
//  - A bucket is one 64-bit word: zero when empty, otherwise the upper 32 bits of the member's
//    seeded hash (which also give its ideal bucket) and, in the lower 32 bits, its offset coded
//    against a bias: code = mask - ((offset - bias) mod mask), offset = (mask - code + bias) mod
//    mask, with mask = 2^scale - 1. A code is never zero. Moving the bias renumbers every member
//    at once, which makes inserting or removing near the front of the array cheap.
//  - The hash bits let probes skip non-matching members without touching the element array and
//    let deletion find each member's ideal bucket without rehashing it.
//  - Every new table has its own seed (derived from its storage address) mixed into the element
//    hashes by the owner; a copy keeps the seed, so its buckets stay valid, and so does a table
//    resized from another, which is filled from the stored hash bits alone. Bucket positions
//    are never comparable between two tables.
//
// Callbacks named `hashAt` take (offset, seed) and return the seeded 64-bit hash of the owner's
// member at that offset.
//
// Misuse of the scale arguments throws std::invalid_argument or std::length_error; a broken
// internal invariant (a member missing from its probe run) is caught by assert in debug builds.
class HashTable {
public:
    struct Bucket {
        std::size_t offset = 0;
        friend bool operator==(Bucket, Bucket) = default;
    };

    static constexpr std::size_t notFound = ~std::size_t{0};

    // A plain offset with a sentinel rather than std::optional: lookups are the hot path, and the
    // optional's flag byte costs a store-forwarding stall when the result is passed on.
    struct FindResult {
        std::size_t offset;  // the member's offset, or notFound
        Bucket bucket;       // where it sits, or the empty bucket where it belongs
        bool found() const noexcept { return offset != notFound; }
    };

    static constexpr int minimumScale = 5;
    // Offsets are coded in 32 bits, and 2^32 buckets of 8 bytes are far beyond any real use.
    static constexpr int maximumScale = 32;
    // The largest member count kept without a table (searched linearly instead).
    static constexpr std::size_t maximumUnhashedCount = 15;

    static constexpr std::size_t maximumCapacity(int scale) noexcept {
        return scale < minimumScale ? maximumUnhashedCount : 3 * (std::size_t{1} << scale) / 4;
    }

    static constexpr std::size_t minimumCapacity(int scale) noexcept {
        return scale < minimumScale ? 0 : (std::size_t{1} << scale) / 4;
    }

    // The smallest scale whose capacity holds `capacity` members, or 0 when no table is needed.
    static int scaleForCapacity(std::size_t capacity) {
        if (capacity <= maximumUnhashedCount) {
            return 0;
        }
        if (capacity > maximumCapacity(maximumScale)) {
            throw std::length_error("ordered collection capacity too large");
        }
        const std::size_t needed = std::max(capacity + 1, (4 * capacity + 2) / 3) - 1;
        return static_cast<int>(std::bit_width(needed));
    }

    HashTable(int scale, int reservedScale = 0) : HashTable(scale, reservedScale, std::nullopt) {}

    // A copy answers every lookup exactly as the original: same seed, bias and buckets.
    HashTable(const HashTable& other)
        : scale_(other.scale_),
          reservedScale_(other.reservedScale_),
          bias_(other.bias_),
          seed_(other.seed_),
          buckets_(std::make_unique_for_overwrite<std::uint64_t[]>(other.bucketCount())) {
        std::memcpy(buckets_.get(), other.buckets_.get(), bucketCount() * sizeof(std::uint64_t));
    }

    HashTable& operator=(const HashTable& other) {
        if (this != &other) {
            HashTable copy(other);
            *this = std::move(copy);
        }
        return *this;
    }

    HashTable(HashTable&&) noexcept = default;
    HashTable& operator=(HashTable&&) noexcept = default;

    // Creates a table for `count` distinct members. The scale is the largest of `scale`,
    // `reservedScale` and the one `count` needs; below minimumScale no table is made.
    template <class HashAt>
    static std::optional<HashTable> create(std::size_t count, int scale, int reservedScale,
                                           HashAt&& hashAt) {
        const int s = std::max({scale, reservedScale, scaleForCapacity(count)});
        if (s < minimumScale) {
            return std::nullopt;
        }
        std::optional<HashTable> table(std::in_place, s, reservedScale);
        table->fill(count, hashAt);
        return table;
    }

    // The same members in a table of another scale, under the same seed: each entry's hash bits
    // give its ideal bucket at any scale, so no member is hashed again. `newOffset(offset)`
    // renumbers the members (notFound leaves one out); the scale must hold those that remain.
    template <class NewOffset>
    HashTable resized(int scale, int reservedScale, NewOffset&& newOffset) const {
        HashTable table(scale, reservedScale, seed_);
        for (std::size_t b = 0; b < bucketCount(); ++b) {
            const std::uint64_t entry = buckets_[b];
            if (entry == 0) {
                continue;
            }
            const std::size_t offset = newOffset(decode(entry));
            if (offset != notFound) {
                Bucket target = table.idealBucketOfEntry(entry);
                while (table.isOccupied(target)) {
                    target = table.bucketAfter(target);
                }
                table.buckets_[target.offset] = table.entryFor(entry >> 32, offset);
            }
        }
        return table;
    }

    // Geometry and header values.
    int scale() const noexcept { return scale_; }
    int reservedScale() const noexcept { return reservedScale_; }
    void setReservedScale(int reservedScale) {
        reservedScale_ = checkedReservedScale(reservedScale);
    }
    std::uint64_t seed() const noexcept { return seed_; }
    std::size_t bias() const noexcept { return bias_; }
    // Takes any value in (-mask, 2 * mask) and stores it reduced into 0 ..< mask.
    void setBias(std::ptrdiff_t bias) noexcept {
        const auto mask = static_cast<std::ptrdiff_t>(bucketMask());
        if (bias < 0) {
            bias += mask;
        }
        if (bias >= mask) {
            bias -= mask;
        }
        bias_ = static_cast<std::size_t>(bias);
    }
    std::size_t bucketCount() const noexcept { return std::size_t{1} << scale_; }
    std::size_t bucketMask() const noexcept { return bucketCount() - 1; }
    std::size_t capacity() const noexcept { return maximumCapacity(scale_); }
    // The member count below which the owner should shrink the table; never for a table sized
    // by a reservation.
    std::size_t minimumCapacity() const noexcept {
        return scale_ == reservedScale_ ? 0 : minimumCapacity(scale_);
    }

    // Buckets.
    Bucket idealBucket(std::uint64_t hash) const noexcept {
        return {static_cast<std::size_t>(hashBits(hash)) & bucketMask()};
    }
    Bucket bucketAfter(Bucket b) const noexcept { return {(b.offset + 1) & bucketMask()}; }
    Bucket bucketBefore(Bucket b) const noexcept { return {(b.offset - 1) & bucketMask()}; }
    bool isOccupied(Bucket b) const noexcept { return buckets_[b.offset] != 0; }
    std::uint64_t raw(Bucket b) const noexcept { return buckets_[b.offset]; }
    std::optional<std::size_t> operator[](Bucket b) const noexcept {
        const std::uint64_t entry = buckets_[b.offset];
        if (entry == 0) {
            return std::nullopt;
        }
        return decode(entry);
    }
    // Stores the member with the given seeded hash at `offset` into bucket `b` (which should be
    // the empty bucket a lookup for it ended at).
    void store(Bucket b, std::size_t offset, std::uint64_t hash) noexcept {
        buckets_[b.offset] = entryFor(hashBits(hash), offset);
    }

    // The first empty bucket on the probe run of `hash`.
    Bucket firstUnoccupiedBucket(std::uint64_t hash) const noexcept {
        Bucket b = idealBucket(hash);
        while (isOccupied(b)) {
            b = bucketAfter(b);
        }
        return b;
    }

    // The first bucket of the run of occupied buckets that holds `b`. Needs an empty bucket
    // somewhere, which the load limit guarantees.
    Bucket firstOccupiedBucketInChain(Bucket b) const noexcept {
        Bucket previous = bucketBefore(b);
        while (isOccupied(previous)) {
            b = previous;
            previous = bucketBefore(b);
        }
        return b;
    }

    // Probes the run of `hash`; `matches(offset)` compares the owner's member at that offset with
    // the item looked for. Only members with the same hash bits are compared.
    template <class Matches>
    FindResult find(std::uint64_t hash, Matches&& matches) const {
        const std::uint64_t bits = hashBits(hash);
        const std::size_t mask = bucketMask();
        std::size_t b = static_cast<std::size_t>(bits) & mask;
        for (;;) {
            const std::uint64_t entry = buckets_[b];
            if (entry == 0) {
                return {notFound, Bucket{b}};
            }
            if ((entry >> 32) == bits) {
                const std::size_t offset = decode(entry);
                if (matches(offset)) {
                    return {offset, Bucket{b}};
                }
            }
            b = (b + 1) & mask;
        }
    }

    // The bucket holding the member at `offset`, whose seeded hash is `hash`.
    Bucket bucketFor(std::size_t offset, std::uint64_t hash) const noexcept {
        const std::uint64_t wanted = entryFor(hashBits(hash), offset);
        Bucket b = idealBucket(hash);
        while (buckets_[b.offset] != wanted) {
            assert(isOccupied(b) && "member missing from its probe run");
            b = bucketAfter(b);
        }
        return b;
    }

    // Removes the entry in bucket `b`, moving later members of its run back so that no probe
    // sequence is broken.
    void erase(Bucket b) noexcept {
        Bucket hole = b;
        Bucket next = bucketAfter(b);
        if (!isOccupied(next)) {
            buckets_[hole.offset] = 0;
            return;
        }
        const Bucket start = firstOccupiedBucketInChain(b);
        for (; isOccupied(next); next = bucketAfter(next)) {
            const std::size_t candidate = idealBucketOfEntry(buckets_[next.offset]).offset;
            const bool moves = start.offset <= hole.offset
                                   ? start.offset <= candidate && candidate <= hole.offset
                                   : candidate >= start.offset || candidate <= hole.offset;
            if (moves) {
                buckets_[hole.offset] = buckets_[next.offset];
                hole = next;
            }
        }
        buckets_[hole.offset] = 0;
    }

    // Renumbers the members of an array of `count` members before a new one is inserted at
    // `offset`; afterwards the caller stores `offset` for the new member. The shorter side of
    // the array moves: the front through the bias, the back by renumbering.
    template <class HashAt>
    void adjustForInsertion(std::size_t offset, std::size_t count, HashAt&& hashAt) noexcept {
        const std::size_t threshold = capacity() / 3;
        if (offset < count / 2) {
            setBias(static_cast<std::ptrdiff_t>(bias_) + 1);
            // Everything now reads one higher; put the members in front back.
            if (offset <= threshold) {
                for (std::size_t i = 1; i <= offset; ++i) {
                    renumber(i - 1, i, i - 1, hashAt);
                }
            } else {
                rewriteOffsets([&](std::size_t v) { return v <= offset ? v - 1 : v; });
            }
        } else if (count - offset <= threshold + 1) {
            // From the back, so that a probe never meets a number it has just written.
            for (std::size_t i = count; i-- > offset;) {
                renumber(i, i, i + 1, hashAt);
            }
        } else {
            rewriteOffsets([&](std::size_t v) { return v >= offset ? v + 1 : v; });
        }
    }

    // Renumbers the members of an array of `count` members before those in lower ..< upper leave
    // it; their buckets must already be erased.
    template <class HashAt>
    void adjustForRemoval(std::size_t lower, std::size_t upper, std::size_t count,
                          HashAt&& hashAt) noexcept {
        if (upper <= lower) {
            return;
        }
        const std::size_t d = upper - lower;
        const std::size_t threshold = capacity() / 3;
        if ((count - d) / 2 <= lower) {
            if (count - upper >= threshold) {
                rewriteOffsets([&](std::size_t v) { return v >= upper ? v - d : v; });
            } else {
                for (std::size_t i = upper; i < count; ++i) {
                    renumber(i, i, i - d, hashAt);
                }
            }
        } else {
            if (lower >= threshold) {
                rewriteOffsets([&](std::size_t v) { return v < lower ? v + d : v; });
            } else {
                // From the back, so that a probe never meets a number it has just written.
                for (std::size_t i = lower; i-- > 0;) {
                    renumber(i, i, i + d, hashAt);
                }
            }
            // The front reads as before again, everything from `upper` on reads d lower.
            setBias(static_cast<std::ptrdiff_t>(bias_) - static_cast<std::ptrdiff_t>(d));
        }
    }

    // The member with seeded hash `hash` moved from offset `from` to `to`. While several members
    // are renumbered one by one, two buckets may briefly hold the same offset; a probe may then
    // take the other one, which is harmless because entries that compare equal here also share
    // their hash bits and so their probe run.
    void renumber(std::size_t from, std::size_t to, std::uint64_t hash) noexcept {
        const Bucket b = bucketFor(from, hash);
        buckets_[b.offset] = entryFor(hashBits(hash), to);
    }

    // Rewrites every stored offset through `newOffset`, without hashing anything.
    template <class F>
    void rewriteOffsets(F&& newOffset) noexcept {
        for (std::size_t b = 0; b < bucketCount(); ++b) {
            const std::uint64_t entry = buckets_[b];
            if (entry != 0) {
                buckets_[b] = entryFor(entry >> 32, newOffset(decode(entry)));
            }
        }
    }

    // After the owner reversed its array of `count` members.
    void reverse(std::size_t count) noexcept {
        rewriteOffsets([&](std::size_t v) { return count - 1 - v; });
    }

    // Empties every bucket; scale, seed, reserved scale and bias stay.
    void clear() noexcept { std::fill_n(buckets_.get(), bucketCount(), std::uint64_t{0}); }

    // Indexes offsets 0 ..< count of members known to be distinct.
    template <class HashAt>
    void fill(std::size_t count, HashAt&& hashAt) noexcept {
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t hash = hashAt(i, seed_);
            store(firstUnoccupiedBucket(hash), i, hash);
        }
    }

    // Indexes offsets 0, 1, ... until a member equals an earlier one (`equal(i, j)` compares the
    // owner's members at two offsets). Returns the offset of that repeat, or `count`.
    template <class HashAt, class Equal>
    std::size_t fillUntilFirstDuplicate(std::size_t count, HashAt&& hashAt, Equal&& equal) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t hash = hashAt(i, seed_);
            const FindResult found = find(hash, [&](std::size_t j) { return equal(j, i); });
            if (found.found()) {
                return i;
            }
            store(found.bucket, i, hash);
        }
        return count;
    }

    // Debugging aids.
    std::size_t debugOccupiedCount() const noexcept {
        return static_cast<std::size_t>(
            std::count_if(buckets_.get(), buckets_.get() + bucketCount(),
                          [](std::uint64_t entry) { return entry != 0; }));
    }
    double debugLoadFactor() const noexcept {
        return static_cast<double>(debugOccupiedCount()) / static_cast<double>(bucketCount());
    }
    std::vector<std::optional<std::size_t>> debugContents() const {
        std::vector<std::optional<std::size_t>> contents;
        contents.reserve(bucketCount());
        for (std::size_t b = 0; b < bucketCount(); ++b) {
            contents.push_back((*this)[Bucket{b}]);
        }
        return contents;
    }
    // "HashTable(scale: 5, reservedScale: 0, bias: 0, seed: 5f3e...)", the load factor, and for
    // fewer than 128 buckets every bucket's offset ("_" when empty).
    std::string description() const {
        std::string text = "HashTable(scale: " + std::to_string(scale_) +
                           ", reservedScale: " + std::to_string(reservedScale_) +
                           ", bias: " + std::to_string(bias_) + ", seed: ";
        char buffer[32];
        auto end = std::to_chars(buffer, buffer + sizeof buffer, seed_, 16).ptr;
        text.append(buffer, end);
        text += ")\n  load factor: ";
        end = std::to_chars(buffer, buffer + sizeof buffer, debugLoadFactor()).ptr;
        text.append(buffer, end);
        if (bucketCount() < 128) {
            text += "\n  ";
            for (std::size_t b = 0; b < bucketCount(); ++b) {
                if (b > 0) {
                    text += ' ';
                }
                const auto offset = (*this)[Bucket{b}];
                text += offset ? std::to_string(*offset) : "_";
            }
        }
        return text;
    }

private:
    // A new table takes its seed from its own storage address, unless it carries on another's.
    HashTable(int scale, int reservedScale, std::optional<std::uint64_t> seed)
        : scale_(checkedScale(scale)),
          reservedScale_(checkedReservedScale(reservedScale)),
          buckets_(std::make_unique<std::uint64_t[]>(bucketCount())) {
        seed_ = seed.value_or(
            (static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(buckets_.get())) << 6) |
            static_cast<std::uint64_t>(scale_));
    }

    static int checkedScale(int scale) {
        if (scale < minimumScale || scale > maximumScale) {
            throw std::invalid_argument("hash table scale out of range");
        }
        return scale;
    }
    static int checkedReservedScale(int scale) {
        if (scale < 0 || scale > maximumScale) {
            throw std::invalid_argument("hash table reserved scale out of range");
        }
        return scale;
    }

    static std::uint64_t hashBits(std::uint64_t hash) noexcept { return hash >> 32; }

    Bucket idealBucketOfEntry(std::uint64_t entry) const noexcept {
        return {static_cast<std::size_t>(entry >> 32) & bucketMask()};
    }

    std::size_t decode(std::uint64_t entry) const noexcept {
        const std::size_t mask = bucketMask();
        std::size_t offset = mask - static_cast<std::size_t>(entry & 0xFFFF'FFFFu) + bias_;
        if (offset >= mask) {
            offset -= mask;
        }
        return offset;
    }

    std::uint64_t encode(std::size_t offset) const noexcept {
        const std::size_t mask = bucketMask();
        const std::size_t distance = offset >= bias_ ? offset - bias_ : offset + mask - bias_;
        return static_cast<std::uint64_t>(mask - distance);
    }

    std::uint64_t entryFor(std::uint64_t bits, std::size_t offset) const noexcept {
        return (bits << 32) | encode(offset);
    }

    // Finds the member at `member` (hashed through hashAt) whose bucket currently reads `from`
    // and makes it read `to`.
    template <class HashAt>
    void renumber(std::size_t member, std::size_t from, std::size_t to, HashAt& hashAt) noexcept {
        const std::uint64_t hash = hashAt(member, seed_);
        const Bucket b = bucketFor(from, hash);
        buckets_[b.offset] = entryFor(hashBits(hash), to);
    }

    int scale_;
    int reservedScale_;
    std::size_t bias_ = 0;
    std::uint64_t seed_ = 0;
    std::unique_ptr<std::uint64_t[]> buckets_;
};

}  // namespace ordered
