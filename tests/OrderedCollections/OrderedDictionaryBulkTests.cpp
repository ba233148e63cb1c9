#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "TestFixtures.h"
#include "orderedcollections/OrderedDictionary.h"

namespace ordered {
namespace {

using Dictionary = OrderedDictionary<int, std::string>;
using Pairs = std::vector<std::pair<int, std::string>>;

Pairs pairs(const Dictionary& d) {
    Pairs out;
    for (const auto& [key, value] : d) {
        out.emplace_back(key, value);
    }
    return out;
}

Dictionary numbered(int count) {
    Dictionary d;
    for (int i = 0; i < count; ++i) {
        d[i] = "v" + std::to_string(i);
    }
    return d;
}

// Every key still maps to its own value and is found at its position.
::testing::AssertionResult aligned(const Dictionary& d) {
    for (std::size_t i = 0; i < d.size(); ++i) {
        if (d.values()[i] != "v" + std::to_string(d.keys()[i])) {
            return ::testing::AssertionFailure() << "pair " << i << " lost its value";
        }
    }
    return testing::indexIsConsistent(d.keys());
}

TEST(OrderedDictionaryBulkTest, MergesFiltersAndMaps) {
    Dictionary d{{1, "a"}, {2, "b"}};
    d.merge(Pairs{{3, "c"}, {1, "A"}, {4, "d"}},
            [](const std::string&, const std::string& incoming) { return incoming; });
    EXPECT_EQ(pairs(d), (Pairs{{1, "A"}, {2, "b"}, {3, "c"}, {4, "d"}}));
    const Dictionary kept = d.merging(
        Pairs{{2, "x"}}, [](const std::string& current, const std::string&) { return current; });
    EXPECT_EQ(kept, d);
    EXPECT_THROW(d.merge(Pairs{{5, "e"}, {2, "y"}},
                         [](const std::string&, const std::string&) -> std::string {
                             throw std::runtime_error("no");
                         }),
                 std::runtime_error);
    EXPECT_EQ(pairs(d), (Pairs{{1, "A"}, {2, "b"}, {3, "c"}, {4, "d"}, {5, "e"}}));

    EXPECT_EQ(pairs(d.filter([](int key, const std::string&) { return key % 2 == 1; })),
              (Pairs{{1, "A"}, {3, "c"}, {5, "e"}}));
    const auto lengths = numbered(20).mapValues([](const std::string& v) { return v.size(); });
    EXPECT_EQ(lengths.values()[15], 3u);
    EXPECT_EQ(lengths.indexOf(17), 17u);
    const auto some = numbered(20).compactMapValues([](const std::string& v) {
        return v.size() == 2 ? std::optional<int>(v[1] - '0') : std::nullopt;
    });
    EXPECT_EQ(some.size(), 10u);
    EXPECT_EQ(*some.get(9), 9);
    EXPECT_TRUE(testing::indexIsConsistent(some.keys()));
}

TEST(OrderedDictionaryBulkTest, ReordersKeysAndValuesTogether) {
    struct Case {
        const char* name;
        int count;
        std::function<void(Dictionary&)> change;
        std::vector<int> order;  // the expected keys, when given
    };
    const Case cases[] = {
        {"block to the end", 5, [](Dictionary& d) { d.moveSubrange(0, 2, 5); }, {2, 3, 4, 0, 1}},
        {"block onto itself", 5, [](Dictionary& d) { d.moveSubrange(0, 2, 1); }, {0, 1, 2, 3, 4}},
        {"keys to the front",
         5,
         [](Dictionary& d) {
             d.moveKeys(std::vector<int>{4, 9, 2}, 0);
         },
         {4, 2, 0, 1, 3}},
        {"indices",
         5,
         [](Dictionary& d) {
             d.moveIndices(std::vector<int>{0, 3}, 5);
         },
         {1, 2, 4, 0, 3}},
        {"swap", 5, [](Dictionary& d) { d.swapAt(0, 4); }, {4, 1, 2, 3, 0}},
        {"reverse", 5, [](Dictionary& d) { d.reverse(); }, {4, 3, 2, 1, 0}},
        {"sort descending",
         5,
         [](Dictionary& d) { d.sort([](auto a, auto b) { return a.key > b.key; }); },
         {4, 3, 2, 1, 0}},
        {"remove every second",
         6,
         [](Dictionary& d) { d.removeAllWhere([](int k, const std::string&) { return k % 2; }); },
         {0, 2, 4}},
        {"remove ends",
         6,
         [](Dictionary& d) {
             EXPECT_EQ(d.removeFirst().key, 0);
             EXPECT_EQ(d.removeLast().value, "v5");
             d.removeFirst(1);
         },
         {2, 3, 4}},
        {"partition",
         40,
         [](Dictionary& d) {
             EXPECT_EQ(d.partition([](int k, const std::string&) { return k < 10; }), 30u);
         },
         {}},
        {"scattered move over many",
         40,
         [](Dictionary& d) {
             d.moveIndices(std::vector<int>{39, 0, 20}, 10);
         },
         {}},
        {"big block over many", 40, [](Dictionary& d) { d.moveSubrange(5, 35, 40); }, {}},
        {"shuffle",
         40,
         [](Dictionary& d) {
             std::mt19937_64 generator(9);
             d.shuffle(generator);
         },
         {}},
        {"sort after shuffle",
         40,
         [](Dictionary& d) {
             d.shuffle();
             d.sort();
         },
         {0, 1, 2, 3}},
        {"remove a range", 40, [](Dictionary& d) { d.removeSubrange(3, 30); }, {0, 1, 2, 30}},
    };
    for (const Case& c : cases) {
        Dictionary d = numbered(c.count);
        c.change(d);
        EXPECT_TRUE(aligned(d)) << c.name;
        const std::vector<int> keys(d.keys().begin(), d.keys().end());
        EXPECT_TRUE(std::equal(c.order.begin(), c.order.end(), keys.begin())) << c.name;
    }
}

TEST(OrderedDictionaryBulkTest, ValuesViewAndReplacement) {
    Dictionary d = numbered(3);
    std::swap(d.values()[0], d.values()[2]);
    EXPECT_EQ(pairs(d), (Pairs{{0, "v2"}, {1, "v1"}, {2, "v0"}}));

    Dictionary e = numbered(3);
    const auto old = e.replaceElement(1, 7, "seven");
    EXPECT_EQ(old.key, 1);
    EXPECT_EQ(old.value, "v1");
    EXPECT_EQ(e.replaceElement(1, 7, "again").value, "seven");
    EXPECT_EQ(e.indexOf(7), 1u);
    EXPECT_EQ(e.indexOf(1), std::nullopt);
    EXPECT_THROW(e.replaceElement(1, 2, "x"), std::invalid_argument);
    EXPECT_THROW(e.replaceElement(3, 9, "x"), std::out_of_range);
    EXPECT_THROW(e.moveSubrange(0, 1, 4), std::out_of_range);
    EXPECT_EQ(arrayDescription(Dictionary().values()), "[]");
}

TEST(OrderedDictionaryBulkTest, ElementSlices) {
    const Dictionary d = numbered(5);
    const auto slice = d.elements(1, 3);
    EXPECT_EQ(slice.indexOf(2), 2u);
    EXPECT_EQ(slice.indexOf(4), std::nullopt);
    EXPECT_EQ(slice[2].value, "v2");
    EXPECT_THROW(slice[3], std::out_of_range);
    EXPECT_EQ(slice.description(), R"([1: "v1", 2: "v2"])");
    EXPECT_EQ(d.elements(2, 2).description(), "[:]");
    EXPECT_EQ(slice.values().size(), 2u);
    EXPECT_THROW(d.elements(3, 6), std::out_of_range);
}

}  // namespace
}  // namespace ordered
