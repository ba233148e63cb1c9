#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "orderedcollections/DebugText.h"
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
