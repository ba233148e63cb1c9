#include <gtest/gtest.h>

#include <cstddef>
#include <numeric>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "TestFixtures.h"
#include "orderedcollections/OrderedSet.h"

namespace ordered {
namespace {

using Set = OrderedSet<int>;

std::vector<int> members(const Set& set) {
    return {set.begin(), set.end()};
}

Set range(int count) {
    std::vector<int> values(static_cast<std::size_t>(count));
    std::iota(values.begin(), values.end(), 0);
    return Set(values.begin(), values.end());
}

TEST(OrderedSetReorderingTest, MovesBlocksAndScatteredMembers) {
    struct Case {
        const char* name;
        int count;
        std::function<void(Set&)> move;
        std::vector<int> front;  // the expected first members
    };
    const Case cases[] = {
        {"block to its own start", 10, [](Set& s) { s.moveSubrange(2, 4, 2); }, {0, 1, 2, 3, 4}},
        {"block to inside itself", 10, [](Set& s) { s.moveSubrange(2, 4, 3); }, {0, 1, 2, 3, 4}},
        {"block to its own end", 10, [](Set& s) { s.moveSubrange(2, 4, 4); }, {0, 1, 2, 3, 4}},
        {"block right", 10, [](Set& s) { s.moveSubrange(2, 4, 6); }, {0, 1, 4, 5, 2, 3, 6}},
        {"block left", 10, [](Set& s) { s.moveSubrange(5, 7, 1); }, {0, 5, 6, 1, 2, 3, 4, 7}},
        {"members, a stranger skipped",
         10,
         [](Set& s) {
             s.moveMembers(std::vector<int>{7, 99}, 0);
         },
         {7, 0, 1, 2}},
        {"indices in listed order",
         10,
         [](Set& s) {
             s.moveIndices(std::vector<int>{5, 1}, 0);
         },
         {5, 1, 0, 2, 3, 4, 6}},
        {"few of many by two places", 200, [](Set& s) { s.moveSubrange(100, 103, 105); }, {}},
        {"most of many",
         200,
         [](Set& s) { s.moveSubrange(10, 160, 200); },
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 160}},
        {"scattered over many",
         200,
         [](Set& s) {
             s.moveIndices(std::vector<int>{190, 3, 150, 77}, 20);
         },
         {}},
    };
    for (const Case& c : cases) {
        Set set = range(c.count);
        c.move(set);
        const std::vector<int> got = members(set);
        EXPECT_TRUE(std::equal(c.front.begin(), c.front.end(), got.begin())) << c.name;
        EXPECT_TRUE(std::is_permutation(got.begin(), got.end(), members(range(c.count)).begin()))
            << c.name;
        EXPECT_TRUE(testing::indexIsConsistent(set)) << c.name;
    }
    Set set = range(200);
    set.moveIndices(std::vector<int>{190, 3, 150, 77}, 20);
    EXPECT_EQ(std::vector<int>(set.begin() + 19, set.begin() + 23),
              (std::vector<int>{190, 3, 150, 77}));
}

TEST(OrderedSetReorderingTest, RefusesBadPositions) {
    Set set = range(10);
    EXPECT_THROW(set.moveSubrange(2, 4, 11), std::out_of_range);
    EXPECT_THROW(set.moveSubrange(4, 2, 0), std::out_of_range);
    EXPECT_THROW(set.moveIndices(std::vector<int>{1, 10}, 0), std::out_of_range);
    EXPECT_THROW(set.moveIndices(std::vector<int>{3, 1, 3}, 0), std::invalid_argument);
    EXPECT_THROW(set.moveMembers(std::vector<int>{1}, 11), std::out_of_range);
    EXPECT_THROW(set.swapAt(0, 10), std::out_of_range);
    EXPECT_THROW(set.removeAt(10), std::out_of_range);
    EXPECT_THROW(set.removeFirst(11), std::out_of_range);
    EXPECT_THROW(set.removeSubrange(5, 11), std::out_of_range);
    Set empty;
    EXPECT_THROW(empty.removeFirst(), std::out_of_range);
    EXPECT_THROW(empty.removeLast(), std::out_of_range);
    EXPECT_EQ(members(set), members(range(10)));
}

TEST(OrderedSetReorderingTest, PartitionsSortsAndShuffles) {
    for (const int count : {10, 40}) {
        Set set = range(count);
        const std::size_t split = set.partition([](int x) { return x % 3 == 0; });
        EXPECT_EQ(split, static_cast<std::size_t>(count - (count + 2) / 3)) << count;
        EXPECT_TRUE(testing::indexIsConsistent(set));

        set.sort(std::greater<int>());
        EXPECT_EQ(set[0], count - 1);
        std::mt19937_64 generator(5);
        set.shuffle(generator);
        EXPECT_TRUE(testing::indexIsConsistent(set));
        set.reverse();
        EXPECT_TRUE(testing::indexIsConsistent(set));
    }

    // A comparison that fails leaves the set as it was, index included.
    Set set = range(40);
    set.reverse();
    int calls = 0;
    EXPECT_THROW(set.sort([&](int a, int b) {
        if (++calls == 50) {
            throw std::runtime_error("comparison failed");
        }
        return a < b;
    }),
                 std::runtime_error);
    EXPECT_EQ(set[0], 39);
    EXPECT_TRUE(testing::indexIsConsistent(set));

    Set one{7};
    one.shuffle();
    one.sort();
    EXPECT_EQ(members(one), std::vector<int>{7});
}

TEST(OrderedSetReorderingTest, RemovalKeepsOrRebuildsTheTable) {
    struct Case {
        const char* name;
        int count;
        std::function<void(Set&)> remove;
        std::size_t size;
        int scale;  // -1: the scale the count needs
    };
    const Case cases[] = {
        {"one of 100 keeps the scale", 100, [](Set& s) { s.removeSubrange(50, 51); }, 99, 8},
        {"60 of 100 rebuilds", 100, [](Set& s) { s.removeSubrange(20, 80); }, 40, 6},
        {"below 16 drops the table", 20, [](Set& s) { s.removeLast(13); }, 7, 0},
        {"removeLast under a quarter", 64,
         [](Set& s) {
             s.removeLast(31);
             s.removeLast();
             EXPECT_EQ(s.scale(), 7);
             s.removeLast();
         },
         31, 6},
        {"keeping capacity", 100, [](Set& s) { s.removeAll(true); }, 0, 8},
        {"dropping capacity", 100, [](Set& s) { s.removeAll(); }, 0, 0},
        {"every second", 100, [](Set& s) { s.removeAllWhere([](int x) { return x % 2; }); }, 50, 7},
    };
    for (const Case& c : cases) {
        Set set = range(c.count);
        c.remove(set);
        EXPECT_EQ(set.size(), c.size) << c.name;
        EXPECT_EQ(set.scale(), c.scale) << c.name;
        EXPECT_TRUE(testing::indexIsConsistent(set)) << c.name;
    }

    // A reserved scale is never shrunk.
    Set reserved = Set::withMinimumCapacity(100, true);
    for (int i = 0; i < 30; ++i) {
        reserved.append(i);
    }
    reserved.removeLast(25);
    EXPECT_EQ(reserved.scale(), 8);
    EXPECT_TRUE(testing::indexIsConsistent(reserved));

    // A failing predicate leaves everything in place.
    Set set = range(30);
    EXPECT_THROW(set.removeAllWhere([](int x) -> bool {
        if (x == 20) {
            throw std::runtime_error("no");
        }
        return x % 2 == 0;
    }),
                 std::runtime_error);
    EXPECT_EQ(members(set), members(range(30)));
}

TEST(OrderedSetAlgebraTest, OrdersResultsByTheReceiver) {
    const Set a{1, 2, 3};
    const std::vector<int> other{3, 4, 1, 5};
    EXPECT_EQ(members(a.union_(other)), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(members(a.symmetricDifference(other)), (std::vector<int>{2, 4, 5}));
    EXPECT_EQ(members(a.subtracting(std::vector<int>{3})), (std::vector<int>{1, 2}));
    EXPECT_EQ(members(Set{3, 1, 2}.intersection(Set{2, 3, 9})), (std::vector<int>{3, 2}));
    EXPECT_EQ(members(Set{1, 2}.symmetricDifference(std::vector<int>{3, 3, 1, 4, 3})),
              (std::vector<int>{2, 3, 4}));
    EXPECT_EQ(members(a.intersection(std::vector<int>{3, 2, 1, 1})), members(a));
    EXPECT_TRUE(a.subtracting(std::vector<int>{1, 2, 3, 4}).empty());
}

TEST(OrderedSetAlgebraTest, ComparesAsSets) {
    const Set empty;
    const Set ab{1, 2};
    const std::vector<int> none;
    EXPECT_TRUE(empty.isSubset(none));
    EXPECT_FALSE(empty.isStrictSubset(none));
    EXPECT_TRUE(empty.isStrictSubset(std::vector<int>{4}));
    EXPECT_FALSE(empty.isStrictSuperset(none));
    EXPECT_TRUE(empty.isDisjoint(none));
    EXPECT_TRUE(ab.isDisjoint(none));
    EXPECT_TRUE(ab.isEqualSet(std::vector<int>{2, 1, 2}));
    EXPECT_FALSE(ab.isEqualSet(std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(ab.isEqualSet(std::vector<int>{1}));
    EXPECT_FALSE(ab.isStrictSubset(std::vector<int>{2, 2, 1}));
    EXPECT_TRUE(ab.isStrictSubset(std::vector<int>{2, 3, 1}));
    EXPECT_TRUE(ab.isStrictSuperset(std::unordered_set<int>{2}));
    EXPECT_FALSE(ab.isSuperset(std::unordered_set<int>{1, 2, 3}));
    EXPECT_TRUE(ab.isEqualSet(Set{2, 1}));
}

TEST(OrderedSetViewsTest, SlicesUseTheBasePositions) {
    const Set set{1, 2, 3, 4};
    const auto slice = set.slice(1, 3);
    EXPECT_EQ(slice.startIndex(), 1u);
    EXPECT_EQ(slice[1], 2);
    EXPECT_THROW(slice[0], std::out_of_range);
    EXPECT_THROW(slice.slice(0, 2), std::out_of_range);
    EXPECT_EQ(slice.indexOf(3), 2u);
    EXPECT_EQ(slice.indexOf(4), std::nullopt);
    EXPECT_FALSE(slice.contains(1));
    EXPECT_EQ(slice.description(), "[2, 3]");

    const Set other{2, 3, 9};
    EXPECT_TRUE(slice == other.slice(0, 2));
    EXPECT_EQ(slice.hashValue(), other.slice(0, 2).hashValue());
    const auto empty = set.slice(2, 2);
    EXPECT_EQ(empty.size(), 0u);
    EXPECT_EQ(empty.description(), "[]");
    EXPECT_TRUE(empty == other.slice(3, 3));
    EXPECT_EQ(members(Set(slice)), (std::vector<int>{2, 3}));
}

TEST(OrderedSetViewsTest, UnorderedViewIgnoresOrder) {
    const auto a = Set{1, 2, 3}.unordered();
    const auto b = Set{3, 1, 2}.unordered();
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a.base() == b.base());
    EXPECT_EQ(a.hashValue(), b.hashValue());
    EXPECT_FALSE((a == Set{1, 2}.unordered()));

    using TaggedSet = OrderedSet<testing::Tagged, testing::TaggedHash, testing::TaggedEq>;
    TaggedSet::UnorderedView view{{1, "a"}, {2, "b"}};
    const auto [inserted, member] = view.insert({1, "new"});
    EXPECT_FALSE(inserted);
    EXPECT_EQ(member.tag, "a");
    const auto old = view.update({1, "newer"});
    ASSERT_TRUE(old);
    EXPECT_EQ(old->tag, "a");
    EXPECT_EQ(view.base()[0].tag, "newer");
    EXPECT_EQ(view.update({3, "c"}), std::nullopt);
    EXPECT_EQ(view.size(), 3u);

    auto u = Set{3, 1}.unordered();
    u.formUnion(Set{2, 3}.unordered());
    EXPECT_EQ(members(u.base()), (std::vector<int>{3, 1, 2}));
    EXPECT_TRUE(u.isEqualSet(Set{1, 2, 3}.unordered()));
}

TEST(OrderedSetViewsTest, TableShapes) {
    const Set empty;
    EXPECT_EQ(empty.capacity(), 15u);
    EXPECT_EQ(empty.minimumCapacity(), 0u);
    EXPECT_EQ(empty.bias(), 0u);
    EXPECT_TRUE(empty.hashTableContents().empty());

    const std::vector<int> few{1, 2, 3};
    EXPECT_EQ(Set::withTableShape(0, 0, few).hashTable(), nullptr);
    const Set biased = Set::withTableShape(5, 30, few);
    EXPECT_EQ(biased.bias(), 30u);
    EXPECT_EQ(biased.hashTableContents().size(), 32u);
    EXPECT_TRUE(testing::indexIsConsistent(biased));
    EXPECT_THROW(Set::withTableShape(3, 0, few), std::invalid_argument);
    EXPECT_THROW(Set::withTableShape(5, 31, few), std::invalid_argument);
    EXPECT_THROW(Set::withTableShape(5, 0, {1, 1}), std::invalid_argument);
}

}  // namespace
}  // namespace ordered
