#include "orderedcollections/OrderedSet.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "TestFixtures.h"

namespace ordered {
namespace {

using namespace ordered::testing;

using TaggedSet = OrderedSet<Tagged, TaggedHash, TaggedEq>;

std::vector<int> members(const OrderedSet<int>& set) {
    return {set.begin(), set.end()};
}

OrderedSet<int> range(int count) {
    OrderedSet<int> set;
    for (int i = 0; i < count; ++i) {
        set.append(i);
    }
    return set;
}

TEST(OrderedSetTest, AppendingKeepsAnExistingMember) {
    for (const int count : {3, 40}) {  // searched linearly, and through a table
        TaggedSet set;
        for (int i = 0; i < count; ++i) {
            set.append({i, "first"});
        }
        const auto [inserted, index] = set.append({1, "second"});
        EXPECT_FALSE(inserted);
        EXPECT_EQ(index, 1u);
        EXPECT_EQ(set[1].tag, "first");

        const auto old = set.updateOrAppend({1, "third"});
        ASSERT_TRUE(old.has_value());
        EXPECT_EQ(old->tag, "first");
        EXPECT_EQ(set[1].tag, "third");
        EXPECT_EQ(set.size(), static_cast<std::size_t>(count));

        EXPECT_EQ(set.updateOrAppend({count, "new"}), std::nullopt);
        EXPECT_EQ(set.indexOf({count, ""}), static_cast<std::size_t>(count));
    }
}

TEST(OrderedSetTest, TableGrowsAndShrinksWithTheCount) {
    OrderedSet<int> set;
    const struct {
        int targetCount;
        int scale;
    } steps[] = {{15, 0}, {16, 5}, {24, 5}, {25, 6}, {48, 6}, {49, 7}, {32, 7},
                 {31, 6}, {16, 6}, {15, 0}, {16, 5}, {8, 5},  {7, 0}};
    int next = 0;
    for (const auto& step : steps) {
        while (static_cast<int>(set.size()) < step.targetCount) {
            set.append(next++);
        }
        while (static_cast<int>(set.size()) > step.targetCount) {
            set.remove(set[set.size() / 2]);
        }
        EXPECT_EQ(set.scale(), step.scale) << "at " << step.targetCount;
        EXPECT_TRUE(indexIsConsistent(set));
    }
    EXPECT_EQ(range(16).hashTable()->bucketCount(), 32u);
}

TEST(OrderedSetTest, ConstructionDropsRepeats) {
    const std::vector<std::string> letters{"a", "b", "a", "c"};
    const OrderedSet<std::string> fromRange(letters.begin(), letters.end());
    const OrderedSet<std::string> fromList{"a", "b", "a", "c"};
    EXPECT_EQ(fromRange, (OrderedSet<std::string>{"a", "b", "c"}));
    EXPECT_EQ(fromList, fromRange);

    std::vector<int> many;
    for (int i = 0; i < 100; ++i) {
        many.push_back(i % 40);
    }
    const OrderedSet<int> set(many.begin(), many.end());
    EXPECT_EQ(members(set), members(range(40)));
    EXPECT_TRUE(indexIsConsistent(set));
    EXPECT_TRUE(indexIsConsistent(OrderedSet<int>::uncheckedUniqueElements(members(range(30)))));
}

TEST(OrderedSetTest, PositionalInsertionAndRemovalAtEveryPosition) {
    // Covers both sides of the array and both ways of renumbering (member by member, and one
    // pass over the buckets) at several scales.
    for (const int count : {16, 17, 24, 30, 47, 48, 100}) {
        const OrderedSet<int> base = range(count);
        for (int p = 0; p <= count; ++p) {
            OrderedSet<int> set = base;
            const auto [inserted, index] = set.insert(-1, static_cast<std::size_t>(p));
            EXPECT_TRUE(inserted);
            EXPECT_EQ(index, static_cast<std::size_t>(p));
            ASSERT_TRUE(indexIsConsistent(set)) << count << " insert at " << p;
            EXPECT_EQ(set[static_cast<std::size_t>(p)], -1);
        }
        for (int p = 0; p < count; ++p) {
            OrderedSet<int> set = base;
            EXPECT_EQ(set.remove(p), p);
            ASSERT_TRUE(indexIsConsistent(set)) << count << " remove at " << p;
            EXPECT_FALSE(set.contains(p));
        }
    }
}

TEST(OrderedSetTest, UpdatingAndReplacing) {
    for (const int count : {3, 20}) {
        OrderedSet<std::string> set;
        for (int i = 0; i < count; ++i) {
            set.append("m" + std::to_string(i));
        }
        // An existing member stays where it is.
        const auto [old, index] = set.updateOrInsert("m2", 0);
        EXPECT_EQ(old, "m2");
        EXPECT_EQ(index, 2u);
        EXPECT_EQ(set[2], "m2");

        EXPECT_EQ(set.replace(1, "new"), "m1");
        EXPECT_EQ(set[0], "m0");
        EXPECT_EQ(set[1], "new");
        EXPECT_EQ(set[2], "m2");
        EXPECT_FALSE(set.contains("m1"));
        EXPECT_EQ(set.replace(1, "new"), "new");
        EXPECT_TRUE(indexIsConsistent(set));

        EXPECT_EQ(set.update("m2", 2), "m2");
        const auto inserted = set.updateOrInsert("front", 0);
        EXPECT_EQ(inserted.originalMember, std::nullopt);
        EXPECT_EQ(set[0], "front");
        EXPECT_TRUE(indexIsConsistent(set));
    }
}

TEST(OrderedSetTest, PreconditionsThrow) {
    OrderedSet<int> set{1, 2, 3};
    EXPECT_THROW(set.insert(9, 4), std::out_of_range);
    EXPECT_THROW(set.updateOrInsert(9, 4), std::out_of_range);
    EXPECT_THROW(set.update(9, 0), std::invalid_argument);
    EXPECT_THROW(set.update(1, 3), std::out_of_range);
    EXPECT_THROW(set.replace(3, 9), std::out_of_range);
    EXPECT_THROW(set.replace(0, 2), std::invalid_argument);
    EXPECT_THROW(set.at(3), std::out_of_range);
    // An existing member is reported before the position is looked at.
    EXPECT_EQ(set.insert(3, 99).index, 2u);
    EXPECT_EQ(members(set), (std::vector<int>{1, 2, 3}));
}

TEST(OrderedSetTest, ReservedCapacity) {
    OrderedSet<int> set;
    set.reserve(100);
    ASSERT_NE(set.hashTable(), nullptr);
    EXPECT_EQ(set.scale(), 8);
    EXPECT_EQ(set.hashTable()->bucketCount(), 256u);
    EXPECT_EQ(set.capacity(), 192u);
    set.append(1);
    set.remove(1);
    EXPECT_EQ(set.hashTable(), nullptr);

    auto persistent = OrderedSet<int>::withMinimumCapacity(100, true);
    persistent.append(1);
    persistent.remove(1);
    EXPECT_EQ(persistent.scale(), 8);
    EXPECT_EQ(persistent.minimumCapacity(), 0u);

    // A plain reservation shrinks a table that is larger than the members need.
    set = range(20);
    set.reserve(1000);
    EXPECT_EQ(set.scale(), 11);
    set.reserve(0);
    EXPECT_EQ(set.scale(), 5);
    EXPECT_TRUE(indexIsConsistent(set));
}

TEST(OrderedSetTest, EqualityAndHashFollowOrder) {
    const OrderedSet<int> a{1, 2};
    const OrderedSet<int> b{2, 1};
    EXPECT_NE(a, b);
    EXPECT_NE(a.hashValue(), b.hashValue());

    // Equal sets hash alike although their tables have different seeds.
    const OrderedSet<int> appended = range(20);
    const auto unchecked = OrderedSet<int>::uncheckedUniqueElements(members(range(20)));
    EXPECT_NE(appended.hashTable()->seed(), unchecked.hashTable()->seed());
    EXPECT_EQ(appended, unchecked);
    EXPECT_EQ(std::hash<OrderedSet<int>>{}(appended), std::hash<OrderedSet<int>>{}(unchecked));
}

TEST(OrderedSetTest, SerialisedForm) {
    IntArrayWriter writer;
    OrderedSet<int>{1, 2, 3}.encode(writer);
    EXPECT_EQ(writer.items, (std::vector<std::int64_t>{1, 2, 3}));

    IntArrayReader empty({});
    EXPECT_TRUE(OrderedSet<int>::decode(empty).empty());

    std::vector<std::int64_t> twenty(20);
    for (std::size_t i = 0; i < twenty.size(); ++i) {
        twenty[i] = static_cast<std::int64_t>(i);
    }
    IntArrayReader large(twenty);
    const auto decoded = OrderedSet<int>::decode(large);
    EXPECT_EQ(decoded, range(20));
    EXPECT_TRUE(indexIsConsistent(decoded));

    twenty[17] = 4;
    const struct {
        std::vector<std::int64_t> items;
        std::string message;
    } failures[] = {
        {{1, 2, 1}, "Decoded elements aren't unique (first duplicate at offset 2)"},
        {twenty, "Decoded elements aren't unique (first duplicate at offset 17)"},
    };
    for (const auto& f : failures) {
        IntArrayReader reader(f.items);
        try {
            OrderedSet<int>::decode(reader);
            ADD_FAILURE() << "no error for " << f.message;
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.errorCase(), DecodingError::Case::dataCorrupted);
            EXPECT_EQ(std::string(e.what()), f.message);
        }
    }
}

TEST(OrderedSetTest, FilterKeepsOrder) {
    for (const int count : {10, 100, 9000}) {  // the last needs a heap bit set
        const OrderedSet<int> set = range(count);
        const auto even = set.filter([](int m) { return m % 2 == 0; });
        ASSERT_EQ(even.size(), static_cast<std::size_t>(count / 2));
        EXPECT_EQ(even[1], 2);
        EXPECT_EQ(even[even.size() - 1], count - 2);
        EXPECT_TRUE(indexIsConsistent(even));
        EXPECT_EQ(set.filter([](int) { return true; }), set);
        EXPECT_TRUE(set.filter([](int) { return false; }).empty());
    }
    const OrderedSet<int> set{1, 2, 3};
    EXPECT_THROW(set.filter([](int m) -> bool { throw std::runtime_error(std::to_string(m)); }),
                 std::runtime_error);
}

TEST(OrderedSetTest, DifferenceAndApplying) {
    using Change = OrderedSet<std::string>::Change;
    using Kind = Change::Kind;
    const OrderedSet<std::string> from{"a", "b", "c"};
    const OrderedSet<std::string> to{"c", "a", "b"};
    const std::vector<Change> expected{
        {Kind::removal, 0, "a", 1},
        {Kind::insertion, 0, "c", 2},
        {Kind::insertion, 1, "a", 0},
        {Kind::removal, 2, "c", 0},
    };
    EXPECT_EQ(to.difference(from), expected);
    EXPECT_EQ(from.applying(to.difference(from)), to);

    const OrderedSet<std::string> other{"x", "b", "y", "z"};
    EXPECT_EQ(from.applying(other.difference(from)), other);
    EXPECT_EQ(from.applying({{Kind::removal, 3, "a", std::nullopt}}), std::nullopt);
    EXPECT_EQ(from.applying({{Kind::insertion, 0, "b", std::nullopt}}), std::nullopt);
}

TEST(OrderedSetTest, DescriptionAndMoves) {
    EXPECT_EQ(OrderedSet<int>().description(), "[]");
    EXPECT_EQ((OrderedSet<int>{1, 2, 3}.description()), "[1, 2, 3]");
    EXPECT_EQ((OrderedSet<std::string>{"a\"b", "c"}.description()), R"(["a\"b", "c"])");

    OrderedSet<int> source = range(30);
    OrderedSet<int> target = std::move(source);
    EXPECT_EQ(target.size(), 30u);
    EXPECT_TRUE(source.empty());
    EXPECT_EQ(source.hashTable(), nullptr);
    source.append(5);
    EXPECT_TRUE(indexIsConsistent(source));
}

}  // namespace
}  // namespace ordered
