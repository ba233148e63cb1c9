// Drives an OrderedSet and a plain vector with the same random reorderings, positional removals
// and set algebra, computing the expected results with the standard algorithms, and checks the
// members and the whole index after every step. The size wanders across the table thresholds,
// and a clustering hash makes long probe runs of equal hashes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <iterator>
#include <numeric>
#include <random>
#include <unordered_set>
#include <vector>

#include "TestFixtures.h"
#include "orderedcollections/OrderedSet.h"

namespace ordered {
namespace {

struct ClusteredHash {
    std::size_t operator()(int key) const { return std::hash<int>{}(key / 8); }
};

template <class Hash>
class OrderedSetDifferentialTest : public ::testing::Test {};

using Hashes = ::testing::Types<std::hash<int>, ClusteredHash>;
TYPED_TEST_SUITE(OrderedSetDifferentialTest, Hashes);

bool holds(const std::vector<int>& v, int x) {
    return std::find(v.begin(), v.end(), x) != v.end();
}

std::vector<int> sortedCopy(std::vector<int> v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return v;
}

TYPED_TEST(OrderedSetDifferentialTest, AgreesWithTheStandardAlgorithms) {
    using Set = OrderedSet<int, TypeParam>;
    constexpr int operations = 4000;
    constexpr int universe = 600;
    std::mt19937_64 rng(77031);
    const auto uniform = [&](std::size_t low, std::size_t high) {  // low...high
        return std::uniform_int_distribution<std::size_t>(low, high)(rng);
    };
    const auto randomValues = [&](std::size_t count) {
        std::vector<int> values;
        for (std::size_t i = 0; i < count; ++i) {
            values.push_back(static_cast<int>(uniform(0, universe - 1)));
        }
        return values;
    };

    Set set;
    std::vector<int> model;
    std::size_t target = 40;
    for (int op = 0; op < operations; ++op) {
        if (op % 150 == 0) {
            const std::size_t bands[] = {10, 20, 40, 70, 200, 400};
            target = bands[uniform(0, std::size(bands) - 1)];
        }
        const std::size_t n = model.size();
        const std::size_t kind = uniform(0, 17);
        if (model.size() < target && kind < 4) {
            for (const int x : randomValues(uniform(1, target - model.size()))) {
                set.append(x);
                if (!holds(model, x)) {
                    model.push_back(x);
                }
            }
        } else if (kind == 4 && n >= 2) {
            const std::size_t i = uniform(0, n - 1);
            const std::size_t j = uniform(0, n - 1);
            set.swapAt(i, j);
            std::swap(model[i], model[j]);
        } else if (kind == 5) {
            const std::size_t lower = uniform(0, n);
            const std::size_t upper = uniform(lower, std::min(n, lower + uniform(0, n)));
            const std::size_t at = uniform(0, n);
            set.moveSubrange(lower, upper, at);
            const auto first = model.begin() + static_cast<std::ptrdiff_t>(lower);
            const auto last = model.begin() + static_cast<std::ptrdiff_t>(upper);
            if (at < lower) {
                std::rotate(model.begin() + static_cast<std::ptrdiff_t>(at), first, last);
            } else if (at > upper) {
                std::rotate(first, last, model.begin() + static_cast<std::ptrdiff_t>(at));
            }
        } else if ((kind == 6 || kind == 7) && n > 0) {
            // Scattered moves, given as positions or as members (with strangers mixed in).
            std::vector<std::size_t> positions(n);
            std::iota(positions.begin(), positions.end(), std::size_t{0});
            std::shuffle(positions.begin(), positions.end(), rng);
            positions.resize(uniform(0, std::min<std::size_t>(n, uniform(0, 1) ? 6 : n)));
            const std::size_t at = uniform(0, n);
            std::vector<int> moved;
            for (const std::size_t p : positions) {
                moved.push_back(model[p]);
            }
            std::vector<int> rest;
            std::copy_if(model.begin(), model.end(), std::back_inserter(rest),
                         [&](int x) { return !holds(moved, x); });
            const auto below = std::count_if(positions.begin(), positions.end(),
                                             [&](std::size_t p) { return p < at; });
            rest.insert(rest.begin() + static_cast<std::ptrdiff_t>(at) - below, moved.begin(),
                        moved.end());
            if (kind == 6) {
                set.moveIndices(positions, at);
            } else {
                std::vector<int> members = moved;
                members.insert(members.begin() + static_cast<std::ptrdiff_t>(members.size() / 2),
                               universe + 5);
                set.moveMembers(members, at);
            }
            model = rest;
        } else if (kind == 8) {
            const int pivot = static_cast<int>(uniform(0, universe));
            const auto second = [&](int x) { return x >= pivot; };
            const std::size_t split = set.partition(second);
            ASSERT_EQ(split, static_cast<std::size_t>(std::count_if(
                                 model.begin(), model.end(), [&](int x) { return !second(x); })));
            ASSERT_TRUE(
                std::is_partitioned(set.begin(), set.end(), [&](int x) { return !second(x); }));
            ASSERT_TRUE(std::is_permutation(set.begin(), set.end(), model.begin(), model.end()));
            model.assign(set.begin(), set.end());
        } else if (kind == 9) {
            if (uniform(0, 1)) {
                set.sort();
                std::sort(model.begin(), model.end());
            } else {
                set.sort(std::greater<int>());
                std::sort(model.begin(), model.end(), std::greater<int>());
            }
        } else if (kind == 10) {
            std::mt19937_64 generator(static_cast<std::uint64_t>(op));
            set.shuffle(generator);
            ASSERT_TRUE(std::is_permutation(set.begin(), set.end(), model.begin(), model.end()));
            model.assign(set.begin(), set.end());
        } else if (kind == 11) {
            set.reverse();
            std::reverse(model.begin(), model.end());
        } else if (kind == 12 && n > 0) {
            const std::size_t lower = uniform(0, n);
            const std::size_t upper = uniform(lower, std::min(n, lower + uniform(0, n / 2 + 1)));
            switch (uniform(0, 3)) {
                case 0:
                    set.removeSubrange(lower, upper);
                    break;
                case 1:
                    ASSERT_EQ(set.removeAt(lower % n), model[lower % n]);
                    model.erase(model.begin() + static_cast<std::ptrdiff_t>(lower % n));
                    continue;
                case 2:
                    set.removeFirst(upper - lower);
                    model.erase(model.begin(),
                                model.begin() + static_cast<std::ptrdiff_t>(upper - lower));
                    continue;
                default:
                    set.removeLast(upper - lower);
                    model.erase(model.end() - static_cast<std::ptrdiff_t>(upper - lower),
                                model.end());
                    continue;
            }
            model.erase(model.begin() + static_cast<std::ptrdiff_t>(lower),
                        model.begin() + static_cast<std::ptrdiff_t>(upper));
        } else if (kind == 13) {
            const int m = static_cast<int>(uniform(2, 7));
            set.removeAllWhere([&](int x) { return x % m == 0; });
            std::erase_if(model, [&](int x) { return x % m == 0; });
        } else {
            // Set algebra against a random operand, as a sequence with repeats, as another
            // ordered set and as a hashed set.
            const std::vector<int> other = randomValues(uniform(0, 2 * target));
            const Set otherSet(other.begin(), other.end());
            const std::unordered_set<int> hashed(other.begin(), other.end());
            std::vector<int> inOther, notInOther, added;
            std::copy_if(model.begin(), model.end(), std::back_inserter(inOther),
                         [&](int x) { return hashed.contains(x); });
            std::copy_if(model.begin(), model.end(), std::back_inserter(notInOther),
                         [&](int x) { return !hashed.contains(x); });
            for (const int x : other) {
                if (!holds(model, x) && !holds(added, x)) {
                    added.push_back(x);
                }
            }
            std::vector<int> unionModel = model;
            unionModel.insert(unionModel.end(), added.begin(), added.end());
            std::vector<int> symmetricModel = notInOther;
            symmetricModel.insert(symmetricModel.end(), added.begin(), added.end());
            const auto same = [](const Set& s, const std::vector<int>& v) {
                return std::equal(s.begin(), s.end(), v.begin(), v.end()) &&
                       testing::indexIsConsistent(s);
            };
            ASSERT_TRUE(same(set.union_(other), unionModel)) << op;
            ASSERT_TRUE(same(set.union_(otherSet), unionModel)) << op;
            ASSERT_TRUE(same(set.intersection(other), inOther)) << op;
            ASSERT_TRUE(same(set.intersection(otherSet), inOther)) << op;
            ASSERT_TRUE(same(set.subtracting(other), notInOther)) << op;
            ASSERT_TRUE(same(set.subtracting(hashed), notInOther)) << op;
            ASSERT_TRUE(same(set.symmetricDifference(other), symmetricModel)) << op;
            ASSERT_TRUE(same(set.symmetricDifference(otherSet), symmetricModel)) << op;

            const std::vector<int> a = sortedCopy(model);
            const std::vector<int> b = sortedCopy(other);
            const bool subset = std::includes(b.begin(), b.end(), a.begin(), a.end());
            const bool superset = std::includes(a.begin(), a.end(), b.begin(), b.end());
            std::vector<int> common;
            std::set_intersection(a.begin(), a.end(), b.begin(), b.end(),
                                  std::back_inserter(common));
            for (const bool viaSet : {false, true}) {
                const auto check = [&](const auto& operand) {
                    EXPECT_EQ(set.isSubset(operand), subset) << op;
                    EXPECT_EQ(set.isSuperset(operand), superset) << op;
                    EXPECT_EQ(set.isStrictSubset(operand), subset && !superset) << op;
                    EXPECT_EQ(set.isStrictSuperset(operand), superset && !subset) << op;
                    EXPECT_EQ(set.isDisjoint(operand), common.empty()) << op;
                    EXPECT_EQ(set.isEqualSet(operand), subset && superset) << op;
                };
                if (viaSet) {
                    check(otherSet);
                    check(hashed);
                } else {
                    check(other);
                }
            }
            if (uniform(0, 3) == 0) {
                // Keep one result, so that the size also moves through the algebra.
                switch (uniform(0, 3)) {
                    case 0:
                        set.formUnion(other);
                        model = unionModel;
                        break;
                    case 1:
                        set.formIntersection(other);
                        model = inOther;
                        break;
                    case 2:
                        set.subtract(otherSet);
                        model = notInOther;
                        break;
                    default:
                        set.formSymmetricDifference(otherSet);
                        model = symmetricModel;
                        break;
                }
            }
        }
        ASSERT_TRUE(std::equal(set.begin(), set.end(), model.begin(), model.end()))
            << "after operation " << op << " (kind " << kind << ")";
        ASSERT_TRUE(testing::indexIsConsistent(set))
            << "after operation " << op << " (kind " << kind << ")";
    }
}

}  // namespace
}  // namespace ordered
