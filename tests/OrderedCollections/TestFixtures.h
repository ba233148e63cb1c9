#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "orderedcollections/HashTable.h"

namespace ordered::testing {

// Members that compare by `key` only, so that a test can see which of two equal members is stored.
struct Tagged {
    int key;
    std::string tag;
};
struct TaggedHash {
    std::size_t operator()(const Tagged& t) const { return std::hash<int>{}(t.key); }
};
struct TaggedEq {
    bool operator()(const Tagged& a, const Tagged& b) const { return a.key == b.key; }
};

// Checks that a set's index agrees with its array: every member is found at its own position,
// the table holds each offset exactly once, and the load limits hold (a table above 15 members,
// at most 3/4 load). The lower limit is not checked: a set built from a range with many repeats
// starts with the table the whole range would need.
template <class Set>
::testing::AssertionResult indexIsConsistent(const Set& set) {
    for (std::size_t i = 0; i < set.size(); ++i) {
        const auto found = set.indexOf(set[i]);
        if (!found || *found != i) {
            return ::testing::AssertionFailure() << "member at " << i << " found at "
                                                 << (found ? static_cast<long>(*found) : -1L);
        }
    }
    if (set.size() > set.capacity()) {
        return ::testing::AssertionFailure()
               << "size " << set.size() << " above capacity " << set.capacity();
    }
    const HashTable* table = set.hashTable();
    if (table == nullptr) {
        if (set.size() > HashTable::maximumUnhashedCount) {
            return ::testing::AssertionFailure() << set.size() << " members without a table";
        }
        return ::testing::AssertionSuccess();
    }
    std::vector<std::size_t> offsets;
    for (const auto& offset : table->debugContents()) {
        if (offset) {
            offsets.push_back(*offset);
        }
    }
    std::sort(offsets.begin(), offsets.end());
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        if (offsets[i] != i) {
            return ::testing::AssertionFailure() << "table offsets are not 0..<" << set.size();
        }
    }
    if (offsets.size() != set.size()) {
        return ::testing::AssertionFailure()
               << "table holds " << offsets.size() << " offsets for " << set.size() << " members";
    }
    return ::testing::AssertionSuccess();
}

// An unkeyed container over a flat array of integers, standing in for a JSON array.
class IntArrayReader {
public:
    explicit IntArrayReader(std::vector<std::int64_t> items) : items_(std::move(items)) {}
    bool isAtEnd() const { return position_ == items_.size(); }
    template <class T>
    T decode() {
        if (isAtEnd()) {
            throw std::out_of_range("read past the end");
        }
        return static_cast<T>(items_[position_++]);
    }

private:
    std::vector<std::int64_t> items_;
    std::size_t position_ = 0;
};

struct IntArrayWriter {
    std::vector<std::int64_t> items;
    template <class T>
    void encode(const T& value) {
        items.push_back(static_cast<std::int64_t>(value));
    }
};

}  // namespace ordered::testing
