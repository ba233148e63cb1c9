#include "orderedcollections/OrderedDictionary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <ranges>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "TestFixtures.h"

namespace ordered {
namespace {

using namespace ordered::testing;

using Dictionary = OrderedDictionary<std::string, int>;

static_assert(std::random_access_iterator<Dictionary::iterator>);
static_assert(std::random_access_iterator<Dictionary::const_iterator>);
static_assert(std::ranges::random_access_range<const Dictionary>);
static_assert(std::ranges::contiguous_range<Dictionary::Keys>);

// The template engine nests dictionaries in the values they hold.
struct Tree {
    OrderedDictionary<std::string, Tree> children;
};

std::vector<std::pair<std::string, int>> entries(const Dictionary& d) {
    std::vector<std::pair<std::string, int>> result;
    for (const auto& [key, value] : d) {
        result.emplace_back(key, value);
    }
    return result;
}

Dictionary numbered(int count) {
    Dictionary d;
    for (int i = 0; i < count; ++i) {
        d["k" + std::to_string(i)] = i;
    }
    return d;
}

TEST(OrderedDictionaryTest, AssigningToAPresentKeyKeepsItsPlace) {
    for (const int count : {3, 30}) {
        OrderedDictionary<Tagged, int, TaggedHash, TaggedEq> d;
        for (int i = 0; i < count; ++i) {
            d[{i, "first"}] = i;
        }
        EXPECT_EQ(d.updateValue({1, "second"}, 100), 1);
        d[{2, "third"}] = 200;
        EXPECT_EQ(d.size(), static_cast<std::size_t>(count));
        EXPECT_EQ(d.indexOf({1, ""}), 1u);
        EXPECT_EQ(d.keys()[1].tag, "first");
        EXPECT_EQ(d.keys()[2].tag, "first");
        EXPECT_EQ(d.values()[1], 100);
        EXPECT_EQ(d.values()[2], 200);
        EXPECT_EQ(d.updateValue({count, "new"}, 7), std::nullopt);
        EXPECT_EQ(d.indexOf({count, ""}), static_cast<std::size_t>(count));
    }
}

TEST(OrderedDictionaryTest, RemovalClosesTheGapAndReinsertionAppends) {
    for (const int count : {3, 40}) {
        Dictionary d = numbered(count);
        EXPECT_EQ(d.removeValue("k1"), 1);
        EXPECT_EQ(d.removeValue("k1"), std::nullopt);
        EXPECT_EQ(d.size(), static_cast<std::size_t>(count - 1));
        EXPECT_EQ(d.indexOf("k2"), 1u);
        EXPECT_EQ(*d.get("k2"), 2);
        EXPECT_EQ(d.keys()[1], "k2");
        EXPECT_EQ(d.values()[1], 2);

        d["k1"] = -1;
        EXPECT_EQ(d.indexOf("k1"), static_cast<std::size_t>(count - 1));
        EXPECT_EQ(entries(d).back(), std::make_pair(std::string("k1"), -1));
        EXPECT_TRUE(indexIsConsistent(d.keys()));
    }
}

TEST(OrderedDictionaryTest, ModifyInPlace) {
    using Expected = std::vector<std::pair<std::string, int>>;
    const struct {
        const char* key;
        bool keep;  // leave a value in place (changed) or take it out
        bool present;
        Expected result;
    } cases[] = {
        {"k2", false, true, {{"k0", 0}, {"k1", 1}}},
        {"k1", false, true, {{"k0", 0}, {"k2", 2}}},
        {"k1", true, true, {{"k0", 0}, {"k1", 11}, {"k2", 2}}},
        {"new", true, false, {{"k0", 0}, {"k1", 1}, {"k2", 2}, {"new", 10}}},
        {"new", false, false, {{"k0", 0}, {"k1", 1}, {"k2", 2}}},
    };
    for (const auto& c : cases) {
        Dictionary d = numbered(3);
        const bool found = d.modify(c.key, [&](std::optional<int>& value) {
            const bool had = value.has_value();
            if (c.keep) {
                value = value.value_or(0) + 10;
            } else {
                value.reset();
            }
            return had;
        });
        EXPECT_EQ(found, c.present);
        EXPECT_EQ(entries(d), c.result) << c.key << " " << c.keep;
    }

    Dictionary only{{"only", 1}};
    only.modify("only", [](std::optional<int>& value) { value.reset(); });
    EXPECT_TRUE(only.empty());
    EXPECT_FALSE(only.contains("only"));

    // What the body leaves behind is stored even when it throws.
    Dictionary d = numbered(3);
    EXPECT_THROW(d.modify("k0",
                          [](std::optional<int>& value) {
                              value = 5;
                              throw std::runtime_error("body");
                          }),
                 std::runtime_error);
    EXPECT_EQ(*d.get("k0"), 5);
}

TEST(OrderedDictionaryTest, PositionalInsertion) {
    Dictionary d = numbered(3);
    const auto present = d.updateValue("k2", 20, 0);
    EXPECT_EQ(present.originalMember, 2);
    EXPECT_EQ(present.index, 2u);
    EXPECT_EQ(d.values()[2], 20);

    const auto inserted = d.updateValue("front", 9, 0);
    EXPECT_EQ(inserted.originalMember, std::nullopt);
    EXPECT_EQ(inserted.index, 0u);
    EXPECT_EQ(entries(d).front(), std::make_pair(std::string("front"), 9));
    EXPECT_EQ(d.indexOf("k2"), 3u);
    EXPECT_THROW(d.updateValue("late", 1, 6), std::out_of_range);

    const int result = d.updateValue(
        "middle", [] { return 100; }, 2, [](int& value) { return ++value; });
    EXPECT_EQ(result, 101);
    EXPECT_EQ(d.indexOf("middle"), 2u);
    EXPECT_EQ(d.values()[2], 101);
    EXPECT_THROW(d.updateValue(
                     "late", [] { return 0; }, 7, [](int&) {}),
                 std::out_of_range);
    EXPECT_EQ(d.size(), 5u);
}

TEST(OrderedDictionaryTest, Defaults) {
    Dictionary d = numbered(2);
    EXPECT_EQ(d.valueOr("missing", 42), 42);
    EXPECT_EQ(d.valueOr("k1", 42), 1);
    EXPECT_FALSE(d.contains("missing"));

    // Changing through a default appends the key first.
    d.updateValue(
        "missing", [] { return 42; }, [](int& value) { value += 1; });
    EXPECT_EQ(d.indexOf("missing"), 2u);
    EXPECT_EQ(*d.get("missing"), 43);
    d["other"] += 5;
    EXPECT_EQ(entries(d).back(), std::make_pair(std::string("other"), 5));

    EXPECT_THROW(d.at("absent"), std::out_of_range);
    EXPECT_EQ(std::as_const(d).at("k0"), 0);
    EXPECT_EQ(std::as_const(d).get("absent"), nullptr);
    EXPECT_EQ(d.find("absent"), d.end());
    EXPECT_EQ(d.find("k1")->value, 1);
}

TEST(OrderedDictionaryTest, Grouping) {
    enum class Parity { odd, even };
    const std::vector<int> numbers{1, 2, 3, 4, 5};
    const auto groups = OrderedDictionary<Parity, std::vector<int>>::grouping(
        numbers, [](int n) { return n % 2 == 1 ? Parity::odd : Parity::even; });
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups.keys()[0], Parity::odd);
    EXPECT_EQ(groups.values()[0], (std::vector<int>{1, 3, 5}));
    EXPECT_EQ(groups.values()[1], (std::vector<int>{2, 4}));
}

TEST(OrderedDictionaryTest, BuildingFromPairsAndKeys) {
    const std::vector<std::pair<std::string, int>> pairs{{"b", 2}, {"a", 1}};
    EXPECT_EQ(entries(Dictionary::uniqueKeysWithValues(pairs)), pairs);
    EXPECT_EQ(entries(Dictionary::uncheckedUniqueKeysWithValues(pairs)), pairs);
    const std::map<std::string, int> sorted{{"b", 2}, {"a", 1}};
    EXPECT_EQ(Dictionary::uniqueKeysWithValues(sorted), (Dictionary{{"a", 1}, {"b", 2}}));

    const std::vector<std::string> keys{"x", "y"};
    const std::vector<int> values{1, 2};
    EXPECT_EQ(Dictionary::uniqueKeys(keys, values), (Dictionary{{"x", 1}, {"y", 2}}));
    EXPECT_EQ(Dictionary::uncheckedUniqueKeys(keys, values), (Dictionary{{"x", 1}, {"y", 2}}));

    const std::vector<std::pair<std::string, int>> repeated{{"a", 1}, {"a", 2}};
    const std::vector<std::string> repeatedKeys{"x", "x"};
    const std::vector<int> oneValue{1};
    EXPECT_THROW(Dictionary::uniqueKeysWithValues(repeated), std::invalid_argument);
    EXPECT_THROW((Dictionary{{"a", 1}, {"a", 2}}), std::invalid_argument);
    EXPECT_THROW(Dictionary::uniqueKeys(repeatedKeys, values), std::invalid_argument);
    EXPECT_THROW(Dictionary::uniqueKeys(keys, oneValue), std::invalid_argument);
    EXPECT_THROW(Dictionary::uncheckedUniqueKeys(keys, oneValue), std::invalid_argument);
    EXPECT_THROW(Dictionary(Dictionary::Keys{"x"}, {1, 2}), std::invalid_argument);

    // A dictionary on another one's key set with new values: the copied table still finds
    // every key, without rehashing (the seed is kept).
    const Dictionary source = numbered(40);
    std::vector<int> doubled(source.values().begin(), source.values().end());
    for (int& v : doubled) {
        v *= 2;
    }
    Dictionary mapped(source.keys(), doubled);
    EXPECT_EQ(mapped.keys().hashTable()->seed(), source.keys().hashTable()->seed());
    EXPECT_EQ(*mapped.get("k39"), 78);
    mapped.removeValue("k0");
    EXPECT_EQ(mapped.indexOf("k39"), 38u);
    EXPECT_EQ(source.indexOf("k39"), 39u);
}

TEST(OrderedDictionaryTest, EqualityAndHashFollowOrder) {
    const Dictionary ab{{"a", 1}, {"b", 2}};
    const Dictionary ba{{"b", 2}, {"a", 1}};
    EXPECT_NE(ab, ba);
    EXPECT_NE(ab.hashValue(), ba.hashValue());
    EXPECT_NE(ab, (Dictionary{{"a", 1}, {"b", 3}}));

    Dictionary rebuilt = numbered(20);
    Dictionary removed = numbered(21);
    removed.removeValue("k20");
    EXPECT_EQ(rebuilt, removed);
    EXPECT_EQ(std::hash<Dictionary>{}(rebuilt), std::hash<Dictionary>{}(removed));
}

TEST(OrderedDictionaryTest, SerialisedForm) {
    using IntDictionary = OrderedDictionary<int, int>;
    IntArrayWriter writer;
    IntDictionary{{1, 10}, {2, 20}}.encode(writer);
    EXPECT_EQ(writer.items, (std::vector<std::int64_t>{1, 10, 2, 20}));
    IntArrayWriter emptyWriter;
    IntDictionary().encode(emptyWriter);
    EXPECT_TRUE(emptyWriter.items.empty());

    IntArrayReader empty({});
    EXPECT_TRUE(IntDictionary::decode(empty).empty());
    IntArrayReader pairs({1, 10, 2, 20});
    EXPECT_EQ(IntDictionary::decode(pairs), (IntDictionary{{1, 10}, {2, 20}}));

    const struct {
        std::vector<std::int64_t> items;
        const char* message;
    } failures[] = {
        {{1, 10, 1, 20}, "Duplicate key at offset 2"},
        {{1}, "Unkeyed container reached end before value in key-value pair"},
        {{1, 10, 1}, "Duplicate key at offset 2"},
        {{1, 10, 2, 20, 3, 30, 2, 0}, "Duplicate key at offset 6"},
    };
    for (const auto& f : failures) {
        IntArrayReader reader(f.items);
        try {
            IntDictionary::decode(reader);
            ADD_FAILURE() << "no error for " << f.message;
        } catch (const DecodingError& e) {
            EXPECT_EQ(std::string(e.what()), f.message);
        }
    }
}

TEST(OrderedDictionaryTest, Descriptions) {
    EXPECT_EQ(Dictionary().description(), "[:]");
    EXPECT_EQ((OrderedDictionary<int, int>{{1, 10}, {2, 20}}.description()), "[1: 10, 2: 20]");
    EXPECT_EQ((OrderedDictionary<std::string, double>{{"a\n", 1.0}, {"b", 0.5}}.description()),
              R"(["a\n": 1.0, "b": 0.5])");
    EXPECT_EQ((OrderedDictionary<std::string, Dictionary>{{"x", {{"y", 1}}}}.description()),
              R"(["x": ["y": 1]])");
}

TEST(OrderedDictionaryTest, IteratorsReachIntoTheEntries) {
    Dictionary d = numbered(5);
    for (auto [key, value] : d) {
        value *= 10;
    }
    EXPECT_EQ(d.values()[4], 40);
    auto it = std::ranges::find_if(d, [](const auto& entry) { return entry.value == 30; });
    ASSERT_NE(it, d.end());
    EXPECT_EQ(it->key, "k3");
    EXPECT_EQ(it - d.begin(), 3);
    EXPECT_EQ(d.begin()[2].key, "k2");
    Dictionary::const_iterator constIt = it;
    EXPECT_EQ((*constIt).value, 30);
    const std::vector<KeyValuePair<std::string, int>> copied(d.begin(), d.end());
    EXPECT_EQ(copied[1], (KeyValuePair<std::string, int>{"k1", 10}));
    EXPECT_EQ(std::ranges::distance(std::as_const(d)), 5);

    Tree tree;
    tree.children["a"].children["b"] = Tree{};
    EXPECT_TRUE(tree.children.at("a").children.contains("b"));
}

TEST(OrderedDictionaryTest, MovesLeaveTheSourceEmpty) {
    Dictionary source = numbered(20);
    Dictionary target = std::move(source);
    EXPECT_EQ(target.size(), 20u);
    EXPECT_TRUE(source.empty());
    EXPECT_TRUE(source.keys().empty());
    source["again"] = 1;
    EXPECT_EQ(entries(source), (std::vector<std::pair<std::string, int>>{{"again", 1}}));
}

}  // namespace
}  // namespace ordered
