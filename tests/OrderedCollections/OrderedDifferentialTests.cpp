// Drives an OrderedDictionary and a plain vector of pairs with the same random operations and
// compares them after every step, while the size wanders across the table thresholds (15/16,
// 24/25, 48/49, ...) and copies taken along the way must stay independent.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "TestFixtures.h"
#include "orderedcollections/OrderedDictionary.h"

namespace ordered {
namespace {

// Eight keys share each hash value: long probe runs of equal hashes, so lookups, deletion and
// renumbering must rely on key equality.
struct ClusteredHash {
    std::size_t operator()(int key) const { return std::hash<int>{}(key / 8); }
};

class Model {
public:
    std::vector<std::pair<int, int>> entries;

    std::optional<std::size_t> indexOf(int key) const {
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].first == key) {
                return i;
            }
        }
        return std::nullopt;
    }
    std::optional<int> get(int key) const {
        const auto i = indexOf(key);
        return i ? std::optional(entries[*i].second) : std::nullopt;
    }
    std::optional<int> set(int key, int value) {
        if (const auto i = indexOf(key)) {
            return std::exchange(entries[*i].second, value);
        }
        entries.emplace_back(key, value);
        return std::nullopt;
    }
    std::optional<int> remove(int key) {
        const auto i = indexOf(key);
        if (!i) {
            return std::nullopt;
        }
        const int value = entries[*i].second;
        entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(*i));
        return value;
    }
};

// The scale the sizing rules give after each change of the count, without reservations: grow to
// fit when the count passes 3/4 load, shrink to fit (or drop below 16) under 1/4 load.
class ScaleModel {
public:
    void countChanged(std::size_t count) {
        if (count > HashTable::maximumCapacity(scale) ||
            count < HashTable::minimumCapacity(scale)) {
            scale = HashTable::scaleForCapacity(count);
        }
    }
    int scale = 0;
};

template <class Dictionary>
::testing::AssertionResult matches(const Dictionary& d, const Model& model) {
    if (d.size() != model.entries.size()) {
        return ::testing::AssertionFailure()
               << "size " << d.size() << ", expected " << model.entries.size();
    }
    for (std::size_t i = 0; i < d.size(); ++i) {
        if (d.keys()[i] != model.entries[i].first || d.values()[i] != model.entries[i].second) {
            return ::testing::AssertionFailure() << "entry " << i << " differs";
        }
    }
    return ::testing::AssertionSuccess();
}

template <class Hash>
class OrderedDifferentialTest : public ::testing::Test {};

using Hashes = ::testing::Types<std::hash<int>, ClusteredHash>;
TYPED_TEST_SUITE(OrderedDifferentialTest, Hashes);

TYPED_TEST(OrderedDifferentialTest, AgreesWithAVectorOfPairs) {
    using Dictionary = OrderedDictionary<int, int, TypeParam>;
    constexpr int operations = 100'000;
    constexpr int keyUniverse = 500;
    const std::pair<std::size_t, std::size_t> bands[] = {{12, 20}, {20, 28},  {44, 54},
                                                         {0, 6},   {90, 210}, {14, 18}};

    std::mt19937_64 rng(20240613);
    const auto uniform = [&](std::size_t low, std::size_t high) {  // low...high
        return std::uniform_int_distribution<std::size_t>(low, high)(rng);
    };

    Dictionary d;
    Model model;
    ScaleModel scale;
    std::vector<std::pair<Dictionary, Model>> snapshots;
    std::size_t target = 0;

    const auto presentKey = [&] {
        return model.entries[uniform(0, model.entries.size() - 1)].first;
    };
    const auto anyKey = [&] { return static_cast<int>(uniform(0, keyUniverse - 1)); };

    for (int op = 0; op < operations; ++op) {
        if (op % 2000 == 0) {
            const auto& band = bands[uniform(0, std::size(bands) - 1)];
            target = uniform(band.first, band.second);
        }
        const bool grow = model.entries.size() < target;
        const std::size_t roll = uniform(0, 99);
        const bool inserting = grow ? roll < 65 : roll < 15;
        const bool removing = !inserting && (grow ? roll >= 85 : roll >= 35);
        const int key = (inserting || model.entries.empty()) ? anyKey() : presentKey();
        const int value = static_cast<int>(uniform(0, 1'000'000));
        const std::size_t before = model.entries.size();

        if (removing) {
            switch (uniform(0, 2)) {
                case 0:
                    ASSERT_EQ(d.removeValue(key), model.remove(key)) << op;
                    break;
                case 1: {
                    const auto removed = d.modify(
                        key, [](std::optional<int>& v) { return std::exchange(v, std::nullopt); });
                    ASSERT_EQ(removed, model.remove(key)) << op;
                    break;
                }
                default:
                    ASSERT_EQ(d.removeValue(key + keyUniverse), std::nullopt) << op;
                    break;
            }
        } else {
            switch (uniform(0, 4)) {
                case 0:
                    d[key] = value;
                    model.set(key, value);
                    break;
                case 1:
                    ASSERT_EQ(d.updateValue(key, value), model.set(key, value)) << op;
                    break;
                case 2: {
                    const std::size_t at = uniform(0, model.entries.size());
                    const auto result = d.updateValue(key, value, at);
                    const auto present = model.indexOf(key);
                    ASSERT_EQ(result.originalMember, model.get(key)) << op;
                    ASSERT_EQ(result.index, present.value_or(at)) << op;
                    if (present) {
                        model.entries[*present].second = value;
                    } else {
                        model.entries.insert(
                            model.entries.begin() + static_cast<std::ptrdiff_t>(at), {key, value});
                    }
                    break;
                }
                case 3:
                    d.updateValue(
                        key, [&] { return value; }, [](int& v) { v += 1; });
                    model.set(key, model.get(key).value_or(value) + 1);
                    break;
                default:
                    d.modify(key, [&](std::optional<int>& v) { v = value; });
                    model.set(key, value);
                    break;
            }
        }
        if (model.entries.size() != before) {
            scale.countChanged(model.entries.size());
        }

        ASSERT_TRUE(matches(d, model)) << "after operation " << op;
        ASSERT_EQ(d.keys().scale(), scale.scale) << "after operation " << op;
        const int probe = anyKey();
        ASSERT_EQ(d.get(probe) ? std::optional(*d.get(probe)) : std::nullopt, model.get(probe));
        if (op % 64 == 0) {
            ASSERT_TRUE(testing::indexIsConsistent(d.keys())) << "after operation " << op;
        }

        if (op % 5000 == 2500) {
            snapshots.emplace_back(d, model);
        }
        if (op % 7000 == 3500) {
            // A dictionary rebuilt on a copy of the key set carries on in its place.
            Dictionary rebuilt(d.keys(), std::vector<int>(d.values().begin(), d.values().end()));
            d = std::move(rebuilt);
        }
    }

    for (auto& [copy, copyModel] : snapshots) {
        ASSERT_TRUE(matches(copy, copyModel));
        ASSERT_TRUE(testing::indexIsConsistent(copy.keys()));
        if (!copyModel.entries.empty()) {
            const int first = copyModel.entries.front().first;
            ASSERT_EQ(copy.removeValue(first), copyModel.remove(first));
            copy[first] = -1;
            copyModel.set(first, -1);
            ASSERT_TRUE(matches(copy, copyModel));
            ASSERT_TRUE(testing::indexIsConsistent(copy.keys()));
        }
    }
    EXPECT_TRUE(matches(d, model));
}

}  // namespace
}  // namespace ordered
