#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "orderedcollections/DebugText.h"
#include "orderedcollections/IntegerTricks.h"
#include "orderedcollections/UnsafeBitSet.h"

namespace ordered {
namespace {

TEST(UnsafeBitSetTest, MembersAcrossWords) {
    const struct {
        std::size_t capacity, words;
    } sizes[] = {{0, 0}, {1, 1}, {64, 1}, {65, 2}, {8192, 128}, {8193, 129}};
    for (const auto& s : sizes) {
        UnsafeBitSet::withTemporaryBitSet(s.capacity, [&](UnsafeBitSet& bits) {
            EXPECT_EQ(bits.wordCount(), s.words) << s.capacity;
            EXPECT_TRUE(bits.empty());
            EXPECT_TRUE(bits.begin() == bits.end());
            EXPECT_FALSE(bits.contains(s.capacity));
            EXPECT_FALSE(bits.remove(s.capacity + 64));
        });
    }

    const std::vector<std::size_t> members =
        UnsafeBitSet::withTemporaryBitSet(200, [](UnsafeBitSet& bits) {
            EXPECT_TRUE(bits.insert(130));
            EXPECT_FALSE(bits.insert(130));
            bits.insert(0);
            bits.insert(63);
            bits.insert(64);
            bits.update(199, true);
            bits.update(64, false);
            EXPECT_TRUE(bits.remove(0));
            EXPECT_FALSE(bits.remove(0));
            EXPECT_EQ(bits.count(), 3u);
            std::vector<std::size_t> result;
            for (const std::size_t member : bits) {
                result.push_back(member);
            }
            return result;
        });
    EXPECT_EQ(members, (std::vector<std::size_t>{63, 130, 199}));

    UnsafeBitSet::withTemporaryBitSet(200, [](UnsafeBitSet& bits) {
        bits.insertAll(70);
        EXPECT_EQ(bits.count(), 70u);
        EXPECT_TRUE(bits.contains(69));
        EXPECT_FALSE(bits.contains(70));
    });
    EXPECT_THROW(UnsafeBitSet::withTemporaryBitSet(~std::size_t{0}, [](UnsafeBitSet&) {}),
                 std::length_error);
}

TEST(UnsafeBitSetTest, PositionsWalkTheMembers) {
    UnsafeBitSet::withTemporaryBitSet(64, [](UnsafeBitSet& bits) {
        bits.insert(1);
        bits.insert(5);
        bits.insert(9);
        EXPECT_EQ(bits.startIndex(), 1u);
        EXPECT_EQ(bits.index(1, 2), 9u);
        EXPECT_EQ(bits.index(1, 3), 64u);
        EXPECT_THROW(bits.index(1, 4), std::out_of_range);
        EXPECT_THROW(bits.index(2, 1), std::out_of_range);
        EXPECT_EQ(bits.index(9, -2), 1u);
        EXPECT_EQ(bits.index(64, -1), 9u);
        EXPECT_THROW(bits.index(1, -1), std::out_of_range);
        EXPECT_EQ(bits.index(1, 2, 9), std::optional<std::size_t>(9));
        EXPECT_EQ(bits.index(1, 2, 6), std::nullopt);
        EXPECT_EQ(bits.index(1, 3, 64), std::optional<std::size_t>(64));
        EXPECT_EQ(bits.index(1, 4, 64), std::nullopt);
        EXPECT_EQ(bits.index(9, 1, 0), std::optional<std::size_t>(64));  // limit behind
        EXPECT_EQ(bits.distance(1, 9), 2);
        EXPECT_EQ(bits.distance(9, 1), -2);
        EXPECT_EQ(bits.distance(0, 64), 3);
        EXPECT_EQ(bits.indexAfter(9), 64u);
        EXPECT_EQ(bits.indexAfter(2), 5u);
        EXPECT_EQ(bits.indexBefore(5), 1u);
        EXPECT_THROW(bits.indexBefore(1), std::out_of_range);
        EXPECT_THROW(bits.indexAfter(64), std::out_of_range);
    });
    UnsafeBitSet::withTemporaryBitSet(0, [](UnsafeBitSet& bits) {
        EXPECT_EQ(bits.startIndex(), 0u);
        EXPECT_EQ(bits.endIndex(), 0u);
        EXPECT_EQ(bits.distance(0, 0), 0);
    });
}

TEST(IntegerTricksTest, BitHelpers) {
    const struct {
        std::int64_t in, out;
    } rounds[] = {{0, 0},
                  {-5, 0},
                  {1, 1},
                  {2, 2},
                  {3, 4},
                  {1000, 1024},
                  {(std::int64_t{1} << 62) + 1, std::numeric_limits<std::int64_t>::min()}};
    for (const auto& r : rounds) {
        EXPECT_EQ(roundUpToPowerOfTwo(r.in), r.out) << r.in;
    }
    EXPECT_EQ(roundUpToPowerOfTwo((std::uint64_t{1} << 63) + 1), 0u);

    const std::uint64_t word = 0b1011;
    const std::optional<int> ranked[] = {0, 1, 3, std::nullopt};
    for (int n = 0; n < 4; ++n) {
        EXPECT_EQ(bitRanked(word, n), ranked[n]) << n;
    }
    EXPECT_EQ(bitRanked(~std::uint64_t{0}, 63), 63);
    EXPECT_EQ(bitRanked(~std::uint64_t{0}, 64), std::nullopt);
    EXPECT_EQ(bitRanked(std::uint32_t{0b1011}, 2), 3);
    EXPECT_EQ(bitRanked(std::uint16_t{0x8000}, 0), 15);
    EXPECT_EQ(rankOfBit(word, 3), 2);
    EXPECT_EQ(reversedBits(1), std::uint64_t{1} << 63);
}

TEST(DebugTextTest, ShowsValuesAsADebuggerWould) {
    const auto text = [](const auto& value) {
        std::string out;
        appendDebugText(out, value);
        return out;
    };
    EXPECT_EQ(text(std::string("plain")), "\"plain\"");
    EXPECT_EQ(text(std::string("q\"b\\n\n\t\r") + '\0' + "\x01\x7f"),
              R"("q\"b\\n\n\t\r\0\u{1}\u{7f}")");
    EXPECT_EQ(text("héllo"), "\"héllo\"");
    EXPECT_EQ(text(-42), "-42");
    EXPECT_EQ(text(std::uint64_t{18446744073709551615u}), "18446744073709551615");
    EXPECT_EQ(text(1.0), "1.0");
    EXPECT_EQ(text(0.1), "0.1");
    EXPECT_EQ(text(1e300), "1e+300");
    EXPECT_EQ(text(true), "true");
    EXPECT_EQ(text('c'), "\"c\"");
    EXPECT_EQ(text(std::optional<int>(3)), "Optional(3)");
    EXPECT_EQ(text(std::optional<int>()), "nil");

    EXPECT_EQ(arrayDescription(std::vector<int>{}), "[]");
    EXPECT_EQ(arrayDescription(std::vector<int>{7}), "[7]");
    EXPECT_EQ(dictionaryDescription(std::vector<std::pair<int, int>>{}), "[:]");
    EXPECT_EQ(dictionaryDescription(std::vector<std::pair<std::string, int>>{{"a", 1}, {"b", 2}}),
              R"(["a": 1, "b": 2])");
}

}  // namespace
}  // namespace ordered
