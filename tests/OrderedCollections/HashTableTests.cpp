#include "orderedcollections/HashTable.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

namespace ordered {
namespace {

using Bucket = HashTable::Bucket;
using Contents = std::vector<std::optional<std::size_t>>;

// A seeded hash whose ideal bucket (at any scale up to 8) is `bucket`; `tag` tells members with
// the same ideal bucket apart.
std::uint64_t hashFor(std::size_t bucket, std::uint64_t tag = 0) {
    return (tag << 40) | (static_cast<std::uint64_t>(bucket) << 32);
}

// A table over members given by their hashes, filled in order.
struct Members {
    std::vector<std::uint64_t> hashes;
    auto hashAt() const {
        return [this](std::size_t i, std::uint64_t) { return hashes[i]; };
    }
    HashTable table(int scale = HashTable::minimumScale) const {
        auto table = HashTable::create(hashes.size(), scale, 0, hashAt());
        EXPECT_TRUE(table.has_value());
        return *table;
    }
};

TEST(HashTableTest, ScaleForCapacity) {
    const struct {
        std::size_t capacity;
        int scale;
    } cases[] = {{0, 0},  {15, 0}, {16, 5}, {24, 5}, {25, 6},
                 {48, 6}, {49, 7}, {96, 7}, {97, 8}, {100, 8}};
    for (const auto& c : cases) {
        EXPECT_EQ(HashTable::scaleForCapacity(c.capacity), c.scale) << c.capacity;
        EXPECT_GE(HashTable::maximumCapacity(c.scale), c.capacity);
    }
    EXPECT_THROW(HashTable::scaleForCapacity(std::size_t{1} << 61), std::length_error);
}

TEST(HashTableTest, GeometryPerScale) {
    const struct {
        int scale;
        std::size_t buckets, capacity, minimumCapacity;
    } cases[] = {{5, 32, 24, 8}, {6, 64, 48, 16}, {7, 128, 96, 32}, {8, 256, 192, 64}};
    for (const auto& c : cases) {
        const HashTable table(c.scale);
        EXPECT_EQ(table.bucketCount(), c.buckets);
        EXPECT_EQ(table.bucketMask(), c.buckets - 1);
        EXPECT_EQ(table.capacity(), c.capacity);
        EXPECT_EQ(table.minimumCapacity(), c.minimumCapacity);
        EXPECT_EQ(table.seed() & 63, static_cast<std::uint64_t>(c.scale));
        // A table sized by a reservation never asks to shrink.
        EXPECT_EQ(HashTable(c.scale, c.scale).minimumCapacity(), 0u);
    }
    EXPECT_EQ(HashTable::maximumCapacity(0), 15u);
    EXPECT_EQ(HashTable::minimumCapacity(4), 0u);
    EXPECT_THROW(HashTable(4), std::invalid_argument);
    EXPECT_THROW(HashTable(HashTable::maximumScale + 1), std::invalid_argument);
}

TEST(HashTableTest, OffsetsReadBackUnderEveryBias) {
    HashTable table(5);
    const std::ptrdiff_t mask = 31;
    const struct {
        std::ptrdiff_t set;
        std::size_t stored;
    } biases[] = {{0, 0}, {1, 1}, {30, 30}, {31, 0}, {-1, 30}, {-30, 1}, {2 * mask - 1, 30}};
    for (const auto& b : biases) {
        table.setBias(b.set);
        EXPECT_EQ(table.bias(), b.stored) << b.set;
        // Every offset below the modulus 2^scale - 1 can be coded (the load limit keeps real
        // offsets lower still).
        for (std::size_t offset = 0; offset < table.bucketMask(); ++offset) {
            table.store(Bucket{offset}, offset, hashFor(offset));
            EXPECT_EQ(table[Bucket{offset}], offset);
            EXPECT_NE(table.raw(Bucket{offset}), 0u);
        }
        // The offset equal to the bias is coded as all ones, never as the empty code.
        EXPECT_EQ(table.raw(Bucket{b.stored}) & 0xFFFF'FFFFu, 31u);
        table.clear();
        EXPECT_EQ(table[Bucket{0}], std::nullopt);
        EXPECT_EQ(table.raw(Bucket{0}), 0u);
        EXPECT_EQ(table.bias(), b.stored);
    }
}

TEST(HashTableTest, DeletionShiftsTheRunBack) {
    // 32 buckets, 29 and 2 empty; A (ideal 30) in 30, B (ideal 30) in 31, C (ideal 31) in 0,
    // D (ideal 1) in 1.
    HashTable table(5);
    const std::uint64_t a = hashFor(30, 1), b = hashFor(30, 2), c = hashFor(31, 3),
                        d = hashFor(1, 4);
    table.store(Bucket{30}, 0, a);
    table.store(Bucket{31}, 1, b);
    table.store(Bucket{0}, 2, c);
    table.store(Bucket{1}, 3, d);
    EXPECT_EQ(table.firstOccupiedBucketInChain(Bucket{1}), Bucket{30});

    table.erase(Bucket{30});
    Contents expected(32);
    expected[30] = 1;
    expected[31] = 2;
    expected[1] = 3;
    EXPECT_EQ(table.debugContents(), expected);

    // The last entry of a run only clears its bucket.
    table.erase(Bucket{1});
    expected[1] = std::nullopt;
    EXPECT_EQ(table.debugContents(), expected);
    EXPECT_EQ(table.debugOccupiedCount(), 2u);
}

TEST(HashTableTest, FindComparesOnlyMatchingHashes) {
    const Members members{{hashFor(3, 1), hashFor(3, 2), hashFor(4, 3)}};
    const HashTable table = members.table();
    int comparisons = 0;
    const auto found = table.find(hashFor(3, 2), [&](std::size_t offset) {
        ++comparisons;
        return offset == 1;
    });
    EXPECT_EQ(found.offset, 1u);
    EXPECT_EQ(found.bucket, Bucket{4});
    EXPECT_EQ(comparisons, 1);
    // A missing member ends at the empty bucket where it belongs.
    const auto missing = table.find(hashFor(3, 9), [](std::size_t) { return true; });
    EXPECT_FALSE(missing.found());
    EXPECT_EQ(missing.bucket, Bucket{6});
}

TEST(HashTableTest, InsertingAtTheFrontMovesOnlyTheBias) {
    const Members members{{hashFor(3), hashFor(9), hashFor(12), hashFor(20)}};
    HashTable table = members.table();
    const Contents before = table.debugContents();
    table.adjustForInsertion(0, 4, members.hashAt());
    EXPECT_EQ(table.bias(), 1u);
    for (std::size_t b = 0; b < before.size(); ++b) {
        EXPECT_EQ(table.debugContents()[b],
                  before[b] ? std::optional(*before[b] + 1) : std::nullopt);
    }

    // With a single member there is nothing in front: the member itself is renumbered.
    const Members one{{hashFor(7)}};
    HashTable single = one.table();
    single.adjustForInsertion(0, 1, one.hashAt());
    EXPECT_EQ(single.bias(), 0u);
    EXPECT_EQ(single[Bucket{7}], 1u);
}

TEST(HashTableTest, RemovingTheFirstMemberMovesOnlyTheBias) {
    const Members members{{hashFor(3), hashFor(9), hashFor(12), hashFor(20)}};
    HashTable table = members.table();
    table.erase(Bucket{3});
    table.adjustForRemoval(0, 1, 4, members.hashAt());
    EXPECT_EQ(table.bias(), 30u);
    EXPECT_EQ(table[Bucket{9}], 0u);
    EXPECT_EQ(table[Bucket{12}], 1u);
    EXPECT_EQ(table[Bucket{20}], 2u);
}

TEST(HashTableTest, FillStopsAtTheFirstRepeat) {
    const std::vector<int> withRepeat{7, 8, 7, 9};
    const std::vector<int> distinct{7, 8, 9};
    for (const auto* elements : {&withRepeat, &distinct}) {
        HashTable table(5);
        const auto end = table.fillUntilFirstDuplicate(
            elements->size(),
            [&](std::size_t i, std::uint64_t) {
                return hashFor(static_cast<std::size_t>((*elements)[i]) % 4);
            },
            [&](std::size_t i, std::size_t j) { return (*elements)[i] == (*elements)[j]; });
        EXPECT_EQ(end, elements == &withRepeat ? 2u : 3u);
        EXPECT_EQ(table.debugOccupiedCount(), end);
    }
}

TEST(HashTableTest, CopyKeepsSeedAndBuckets) {
    const Members members{{hashFor(1), hashFor(1, 1), hashFor(31), hashFor(31, 1), hashFor(5)}};
    HashTable table = members.table();
    table.setBias(17);
    table.setReservedScale(5);
    const HashTable copy = table;
    EXPECT_EQ(copy.seed(), table.seed());
    EXPECT_EQ(copy.bias(), 17u);
    EXPECT_EQ(copy.reservedScale(), 5);
    EXPECT_EQ(copy.debugContents(), table.debugContents());
    // A new table gets a seed of its own.
    EXPECT_NE(members.table().seed(), table.seed());
}

TEST(HashTableTest, ResizingCarriesMembersOverUnderTheSameSeed) {
    Members members;
    for (std::size_t i = 0; i < 20; ++i) {
        members.hashes.push_back(hashFor(i * 5 % 32, i));
    }
    const HashTable table = members.table();
    // Into a larger table with member 3 left out and the later ones renumbered.
    const HashTable larger = table.resized(7, 0, [](std::size_t offset) {
        return offset == 3 ? HashTable::notFound : offset < 3 ? offset : offset - 1;
    });
    EXPECT_EQ(larger.scale(), 7);
    EXPECT_EQ(larger.seed(), table.seed());
    EXPECT_EQ(larger.debugOccupiedCount(), 19u);
    for (std::size_t i = 0; i < 20; ++i) {
        const auto found = larger.find(members.hashes[i], [](std::size_t) { return true; });
        EXPECT_EQ(found.offset, i == 3 ? HashTable::notFound : i < 3 ? i : i - 1) << i;
    }
}

TEST(HashTableTest, Description) {
    const Members members{{hashFor(0), hashFor(2), hashFor(2, 1)}};
    const HashTable table = members.table();
    const std::string text = table.description();
    const std::string head = "HashTable(scale: 5, reservedScale: 0, bias: 0, seed: ";
    EXPECT_EQ(text.substr(0, head.size()), head);
    EXPECT_NE(text.find(")\n  load factor: 0.09375\n  0 _ 1 2 _ _"), std::string::npos) << text;
}

}  // namespace
}  // namespace ordered
