#pragma once

#include <cassert>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <ranges>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "orderedcollections/DebugText.h"
#include "orderedcollections/DecodingError.h"
#include "orderedcollections/Hasher.h"
#include "orderedcollections/OrderedSet.h"

namespace ordered {

// One entry of an OrderedDictionary, by value.
template <class K, class V>
struct KeyValuePair {
    K key;
    V value;
    friend bool operator==(const KeyValuePair&, const KeyValuePair&) = default;
};

// One entry of an OrderedDictionary as its iterators hand it out: the key (read-only) and the
// value (writable unless V is const) in place. `auto [key, value] = *it` binds both by reference.
template <class K, class V>
class KeyValueRef {
public:
    const K& key;
    V& value;

    KeyValueRef(const K& k, V& v) noexcept : key(k), value(v) {}

    // From a writable entry, and from an entry value (for the iterator concepts).
    template <class W>
    KeyValueRef(const KeyValueRef<K, W>& other) noexcept requires std::same_as<V, const W>
        : key(other.key), value(other.value) {}
    template <class W>
    KeyValueRef(KeyValuePair<K, W>& pair) noexcept requires std::same_as<std::remove_const_t<V>, W>
        : key(pair.key), value(pair.value) {}
    template <class W>
    KeyValueRef(const KeyValuePair<K, W>& pair) noexcept requires std::same_as<V, const W>
        : key(pair.key), value(pair.value) {}

    operator KeyValuePair<K, std::remove_const_t<V>>() const { return {key, value}; }
};

// An insertion-ordered hash dictionary: the keys in an OrderedSet (and so with its HashTable
// index), the values in a parallel contiguous array. The entry at position i is (keys()[i],
// values()[i]). Entries stay in the order their keys were first inserted:
//  - assigning to a present key replaces the value in place (the stored key is kept);
//  - removing a key closes the gap, the later entries move down one position;
//  - a key removed and inserted again goes to the end.
// Up to 15 keys are searched linearly; beyond that the key set's table is sized as OrderedSet
// describes.
//
// A dictionary is an ordinary value: copying copies keys, table and values; moving leaves the
// source empty. Iterators, positions and references stay valid until the next insertion or
// removal; assigning values in place (through operator[], values(), iterators) does not
// invalidate them.
//
// Keys and values live in std::vectors, so neither may be bool (its vector is not contiguous).
//
// Preconditions are checked and thrown: std::invalid_argument for repeated keys where unique
// keys are required and for key and value counts that differ, std::out_of_range for an
// insertion position outside 0...size() and for at() of a missing key. Operations give the basic
// exception guarantee, provided Hash, Eq and moves do not throw. A function handed to an
// operation must not change the dictionary itself.
template <class K, class V, class Hash = std::hash<K>, class Eq = std::equal_to<K>>
class OrderedDictionary {
    static_assert(!std::is_same_v<V, bool>,
                  "std::vector<bool> is not contiguous; wrap bool values in a small enum");

    template <bool Const>
    class Iterator;

public:
    using key_type = K;
    using mapped_type = V;
    using value_type = KeyValuePair<K, V>;
    using size_type = std::size_t;
    using difference_type = std::ptrdiff_t;
    using reference = KeyValueRef<K, V>;
    using const_reference = KeyValueRef<K, const V>;
    using iterator = Iterator<false>;
    using const_iterator = Iterator<true>;
    using Keys = OrderedSet<K, Hash, Eq>;

    struct UpdateResult {
        std::optional<V> originalMember;
        size_type index;
    };

    // Construction.
    OrderedDictionary() = default;

    // From entries with distinct keys, in order; a repeated key throws std::invalid_argument.
    OrderedDictionary(std::initializer_list<value_type> entries) {
        *this = uniqueKeysWithValues(entries);
    }

    // Takes a key set and a value array of the same length as they are (a copy of another
    // dictionary's keys keeps its table, so nothing is rehashed).
    OrderedDictionary(Keys keys, std::vector<V> values) {
        if (keys.size() != values.size()) {
            throw std::invalid_argument("OrderedDictionary: key and value counts differ");
        }
        keys_ = std::move(keys);
        values_ = std::move(values);
    }

    static OrderedDictionary withMinimumCapacity(size_type minimumCapacity,
                                                 bool persistent = false) {
        OrderedDictionary dictionary;
        dictionary.keys_ = Keys::withMinimumCapacity(minimumCapacity, persistent);
        dictionary.values_.reserve(minimumCapacity);
        return dictionary;
    }

    // From a range of (key, value) pairs (pairs, tuples, KeyValuePair) in order. A repeated key
    // throws std::invalid_argument.
    template <std::ranges::input_range R>
    static OrderedDictionary uniqueKeysWithValues(R&& entries) {
        OrderedDictionary dictionary = reservedFor(entries);
        for (auto&& entry : entries) {
            auto&& [key, value] = entry;
            const auto slot = dictionary.keys_.findSlot(key);
            if (slot.found()) {
                throw std::invalid_argument("OrderedDictionary: duplicate key");
            }
            dictionary.appendNew(K(key), V(value), slot);
        }
        return dictionary;
    }

    // The same without looking for repeated keys: the caller guarantees they are distinct.
    template <std::ranges::input_range R>
    static OrderedDictionary uncheckedUniqueKeysWithValues(R&& entries) {
        std::vector<K> keys;
        std::vector<V> values;
        if constexpr (std::ranges::sized_range<R>) {
            keys.reserve(std::ranges::size(entries));
            values.reserve(std::ranges::size(entries));
        }
        for (auto&& entry : entries) {
            auto&& [key, value] = entry;
            keys.emplace_back(key);
            values.emplace_back(value);
        }
        return OrderedDictionary(Keys::uncheckedUniqueElements(std::move(keys)), std::move(values));
    }

    // Pairs keys and values by position. Counts that differ or a repeated key throw
    // std::invalid_argument.
    template <std::ranges::input_range KR, std::ranges::input_range VR>
    static OrderedDictionary uniqueKeys(KR&& keys, VR&& values) {
        std::vector<K> keyArray = collect<K>(keys);
        std::vector<V> valueArray = collect<V>(values);
        if (keyArray.size() != valueArray.size()) {
            throw std::invalid_argument("OrderedDictionary: key and value counts differ");
        }
        Keys keySet(std::make_move_iterator(keyArray.begin()),
                    std::make_move_iterator(keyArray.end()));
        if (keySet.size() != valueArray.size()) {
            throw std::invalid_argument("OrderedDictionary: duplicate key");
        }
        return OrderedDictionary(std::move(keySet), std::move(valueArray));
    }

    // The same without looking for repeated keys; counts that differ still throw.
    template <std::ranges::input_range KR, std::ranges::input_range VR>
    static OrderedDictionary uncheckedUniqueKeys(KR&& keys, VR&& values) {
        return OrderedDictionary(Keys::uncheckedUniqueElements(collect<K>(keys)),
                                 collect<V>(values));
    }

    // Groups the elements of a range under keyOf(element): groups (V, e.g. std::vector of the
    // elements, filled with push_back) appear in the order their keys first occur.
    template <std::ranges::input_range R, class KeyOf>
    static OrderedDictionary grouping(R&& elements, KeyOf&& keyOf) {
        OrderedDictionary groups;
        for (auto&& element : elements) {
            groups.updateValue(
                keyOf(element), [] { return V{}; }, [&](V& group) { group.push_back(element); });
        }
        return groups;
    }

    OrderedDictionary(const OrderedDictionary&) = default;
    OrderedDictionary& operator=(const OrderedDictionary&) = default;

    // Both fields end up empty in the source: the key set sees to it, and a moved-from
    // std::vector with the standard allocator has handed over its buffer.
    OrderedDictionary(OrderedDictionary&&) noexcept = default;
    OrderedDictionary& operator=(OrderedDictionary&&) noexcept = default;

    // Size and positional views.
    size_type size() const noexcept { return values_.size(); }
    bool empty() const noexcept { return values_.empty(); }
    const Keys& keys() const noexcept { return keys_; }
    std::span<V> values() noexcept { return values_; }
    std::span<const V> values() const noexcept { return values_; }

    iterator begin() noexcept { return {keys_.data(), values_.data()}; }
    iterator end() noexcept { return begin() + static_cast<difference_type>(size()); }
    const_iterator begin() const noexcept { return {keys_.data(), values_.data()}; }
    const_iterator end() const noexcept { return begin() + static_cast<difference_type>(size()); }
    const_iterator cbegin() const noexcept { return begin(); }
    const_iterator cend() const noexcept { return end(); }

    // Lookup. get() gives the stored value or nullptr.
    V* get(const K& key) {
        const auto slot = keys_.findSlot(key, prefetchValue());
        return slot.found() ? &values_[slot.index] : nullptr;
    }
    const V* get(const K& key) const {
        const auto slot = keys_.findSlot(key, prefetchValue());
        return slot.found() ? &values_[slot.index] : nullptr;
    }
    bool contains(const K& key) const { return keys_.findSlot(key).found(); }
    std::optional<size_type> indexOf(const K& key) const { return keys_.findSlot(key).position(); }
    iterator find(const K& key) {
        const auto slot = keys_.findSlot(key);
        return slot.found() ? begin() + static_cast<difference_type>(slot.index) : end();
    }
    const_iterator find(const K& key) const {
        const auto slot = keys_.findSlot(key);
        return slot.found() ? begin() + static_cast<difference_type>(slot.index) : end();
    }
    // The stored value; a missing key throws std::out_of_range.
    V& at(const K& key) {
        V* value = get(key);
        if (value == nullptr) {
            throw std::out_of_range("OrderedDictionary::at: key not found");
        }
        return *value;
    }
    const V& at(const K& key) const {
        const V* value = get(key);
        if (value == nullptr) {
            throw std::out_of_range("OrderedDictionary::at: key not found");
        }
        return *value;
    }
    // The stored value, or `fallback` when the key is missing; nothing is stored.
    V valueOr(const K& key, V fallback) const {
        const V* value = get(key);
        return value != nullptr ? *value : std::move(fallback);
    }

    // The stored value; a missing key is first appended with a default-constructed value.
    V& operator[](const K& key) { return subscriptImpl(key); }
    V& operator[](K&& key) { return subscriptImpl(std::move(key)); }

    // Stores `value` under `key` and returns the old value. A present key keeps its position
    // (and its stored key); a missing one is appended.
    std::optional<V> updateValue(const K& key, V value) {
        return updateValueImpl(key, std::move(value));
    }
    std::optional<V> updateValue(K&& key, V value) {
        return updateValueImpl(std::move(key), std::move(value));
    }

    // The same, but a missing key is inserted at `index` (0...size()). A present key keeps its
    // position, which is returned with the old value.
    UpdateResult updateValue(K key, V value, size_type index) {
        const auto slot = keys_.findSlot(key);
        if (slot.found()) {
            return {std::exchange(values_[slot.index], std::move(value)), slot.index};
        }
        keys_.checkInsertionIndex(index);
        insertNew(std::move(key), std::move(value), index, slot);
        return {std::nullopt, index};
    }

    // Runs body(V&) on the value stored under `key` and returns its result; a missing key is
    // first appended with makeDefault(). The key stays even if the body throws.
    template <std::invocable MakeDefault, class Body>
    requires std::invocable<Body&, V&>
    decltype(auto) updateValue(const K& key, MakeDefault&& makeDefault, Body&& body) {
        const auto slot = keys_.findSlot(key);
        size_type index;
        if (slot.found()) {
            index = slot.index;
        } else {
            appendNew(K(key), V(makeDefault()), slot);
            index = size() - 1;
        }
        return body(values_[index]);
    }

    // The same, but a missing key is inserted at `index` (0...size()) with makeDefault().
    template <std::invocable MakeDefault, class Body>
    requires std::invocable<Body&, V&>
    decltype(auto) updateValue(const K& key, MakeDefault&& makeDefault, size_type index,
                               Body&& body) {
        const auto slot = keys_.findSlot(key);
        if (slot.found()) {
            index = slot.index;
        } else {
            keys_.checkInsertionIndex(index);
            insertNew(K(key), V(makeDefault()), index, slot);
        }
        return body(values_[index]);
    }

    // Runs body(std::optional<V>&) on the value stored under `key` (empty when missing) and
    // returns its result. Afterwards: a value left in place is stored (appending a missing key),
    // an emptied optional removes the key. This also happens when the body throws.
    template <std::invocable<std::optional<V>&> Body>
    decltype(auto) modify(const K& key, Body&& body) {
        const auto slot = keys_.findSlot(key);
        std::optional<V> value;
        if (slot.found()) {
            value.emplace(std::move(values_[slot.index]));
        }
        const auto finish = [&] {
            if (slot.found()) {
                if (value) {
                    values_[slot.index] = std::move(*value);
                } else {
                    removeExisting(slot.index, slot);
                }
            } else if (value) {
                appendNew(K(key), std::move(*value), slot);
            }
        };
        if constexpr (std::is_void_v<std::invoke_result_t<Body&, std::optional<V>&>>) {
            try {
                body(value);
            } catch (...) {
                finish();
                throw;
            }
            finish();
        } else {
            std::invoke_result_t<Body&, std::optional<V>&> result = [&]() -> decltype(auto) {
                try {
                    return body(value);
                } catch (...) {
                    finish();
                    throw;
                }
            }();
            finish();
            return result;
        }
    }

    // Removes the key and returns its value; later entries move down one position.
    std::optional<V> removeValue(const K& key) {
        const auto slot = keys_.findSlot(key);
        if (!slot.found()) {
            return std::nullopt;
        }
        std::optional<V> removed(std::move(values_[slot.index]));
        removeExisting(slot.index, slot);
        return removed;
    }

    // Room for `minimumCapacity` entries in keys, table and values.
    void reserve(size_type minimumCapacity) {
        keys_.reserve(minimumCapacity);
        values_.reserve(minimumCapacity);
    }

    // Equal when the keys are equal in the same order and so are the values.
    friend bool operator==(const OrderedDictionary& a, const OrderedDictionary& b) {
        return a.keys_ == b.keys_ && a.values_ == b.values_;
    }

    // Consistent with ==: the count, then each key and value in order.
    std::uint64_t hashValue(std::uint64_t seed = 0) const {
        Hasher hasher(seed);
        hasher.combine(size());
        for (size_type i = 0; i < size(); ++i) {
            hasher.combine(static_cast<std::uint64_t>(keys_.hash_(keys_[i])));
            hasher.combine(static_cast<std::uint64_t>(std::hash<V>{}(values_[i])));
        }
        return hasher.finalize();
    }

    // "[k1: v1, k2: v2]" with each key's and value's debug text; "[:]" when empty.
    std::string description() const { return dictionaryDescription(*this); }

    // Serialised form: one flat array key 0, value 0, key 1, value 1, ... `writer.encode(x)`
    // writes one array element; `reader.isAtEnd()` and `reader.template decode<X>()` read them
    // back. Reading throws DecodingError for a repeated key or a key without a value.
    template <class Writer>
    void encode(Writer& writer) const {
        for (size_type i = 0; i < size(); ++i) {
            writer.encode(keys_[i]);
            writer.encode(values_[i]);
        }
    }

    template <class Reader>
    static OrderedDictionary decode(Reader& reader) {
        OrderedDictionary dictionary;
        while (!reader.isAtEnd()) {
            K key = reader.template decode<K>();
            const auto slot = dictionary.keys_.findSlot(key);
            if (slot.found()) {
                throw DecodingError::dataCorrupted("Duplicate key at offset " +
                                                   std::to_string(2 * dictionary.size()));
            }
            if (reader.isAtEnd()) {
                throw DecodingError::dataCorrupted(
                    "Unkeyed container reached end before value in key-value pair");
            }
            V value = reader.template decode<V>();
            dictionary.appendNew(std::move(key), std::move(value), slot);
        }
        return dictionary;
    }

    // ---- Bulk operations. Keys and values always move together. ----

    // Merges (key, value) pairs in place: a present key keeps its position and gets
    // combine(current, new); a missing one is appended. An exception from `combine` keeps the
    // pairs merged before it and the value it was combining.
    template <std::ranges::input_range R, class Combine>
    void merge(R&& entries, Combine&& combine) {
        for (auto&& entry : entries) {
            auto&& [key, value] = entry;
            const auto slot = keys_.findSlot(key);
            if (slot.found()) {
                values_[slot.index] = combine(std::as_const(values_[slot.index]), value);
            } else {
                appendNew(K(key), V(value), slot);
            }
        }
    }
    template <std::ranges::input_range R, class Combine>
    OrderedDictionary merging(R&& entries, Combine&& combine) const {
        OrderedDictionary copy = *this;
        copy.merge(std::forward<R>(entries), std::forward<Combine>(combine));
        return copy;
    }

    // The pairs for which test(key, value) holds, in order.
    template <class Predicate>
    OrderedDictionary filter(Predicate&& test) const {
        OrderedDictionary result;
        for (size_type i = 0; i < size(); ++i) {
            if (test(keys_[i], values_[i])) {
                result.appendNewUnchecked(K(keys_[i]), V(values_[i]));
            }
        }
        return result;
    }

    // The same keys (and key table) with transform(value) as values.
    template <class Transform, class W = std::invoke_result_t<Transform&, const V&>>
    OrderedDictionary<K, W, Hash, Eq> mapValues(Transform&& transform) const {
        std::vector<W> mapped;
        mapped.reserve(size());
        for (const V& value : values_) {
            mapped.push_back(transform(value));
        }
        return OrderedDictionary<K, W, Hash, Eq>(keys_, std::move(mapped));
    }

    // The pairs whose transform(value), an optional, holds something, with that as value.
    template <class Transform,
              class W = typename std::invoke_result_t<Transform&, const V&>::value_type>
    OrderedDictionary<K, W, Hash, Eq> compactMapValues(Transform&& transform) const {
        OrderedDictionary<K, W, Hash, Eq> result;
        for (size_type i = 0; i < size(); ++i) {
            if (auto mapped = transform(values_[i])) {
                result.appendNewUnchecked(K(keys_[i]), std::move(*mapped));
            }
        }
        return result;
    }

    // ---- Removal by position. ----

    void removeAll(bool keepingCapacity = false) {
        keys_.removeAll(keepingCapacity);
        if (keepingCapacity) {
            values_.clear();
        } else {
            values_ = std::vector<V>();
        }
    }
    value_type removeAt(size_type index) {
        K key = keys_.removeAt(index);
        V value = std::move(values_[index]);
        values_.erase(values_.begin() + static_cast<difference_type>(index));
        return {std::move(key), std::move(value)};
    }
    value_type removeFirst() {
        keys_.checkNotEmpty();
        return removeAt(0);
    }
    value_type removeLast() {
        keys_.checkNotEmpty();
        return removeAt(size() - 1);
    }
    void removeFirst(size_type k) {
        keys_.checkCount(k);
        removeSubrange(0, k);
    }
    void removeLast(size_type k) {
        keys_.checkCount(k);
        removeSubrange(size() - k, size());
    }
    void removeSubrange(size_type lower, size_type upper) {
        keys_.removeSubrange(lower, upper);
        values_.erase(values_.begin() + static_cast<difference_type>(lower),
                      values_.begin() + static_cast<difference_type>(upper));
    }
    // Removes the pairs for which test(key, value) holds, keeping the others in order. Every
    // pair is tested before anything changes.
    template <class Predicate>
    void removeAllWhere(Predicate&& test) {
        const std::vector<size_type> kept =
            keys_.keptOffsets([&](size_type i) { return test(keys_[i], values_[i]); });
        if (kept.size() == size()) {
            return;
        }
        detail::applyPermutation(keys_.elements_, kept);
        detail::applyPermutation(values_, kept);
        keys_.regenerateHashTable();
    }

    // ---- Reordering. ----

    void swapAt(size_type i, size_type j) {
        keys_.swapAt(i, j);
        std::swap(values_[i], values_[j]);
    }
    void reverse() {
        keys_.reverse();
        std::reverse(values_.begin(), values_.end());
    }
    // Puts the pairs for which secondGroup(key, value) is false first; returns where the
    // others begin. Not stable.
    template <class Predicate>
    size_type partition(Predicate&& secondGroup) {
        return keys_.partitionImpl(
            [&](size_type i) { return bool(secondGroup(keys_[i], values_[i])); },
            [&](size_type a, size_type b) { std::swap(values_[a], values_[b]); });
    }
    // Stable sort by less(pairA, pairB) over KeyValueRef<K, const V> pairs; the key table is
    // then built afresh for the count. An exception from `less` leaves the dictionary as it was.
    template <class Less>
    void sort(Less&& less) {
        std::vector<size_type> order(size());
        for (size_type i = 0; i < size(); ++i) {
            order[i] = i;
        }
        std::stable_sort(order.begin(), order.end(), [&](size_type a, size_type b) {
            return bool(
                less(const_reference(keys_[a], values_[a]), const_reference(keys_[b], values_[b])));
        });
        rebuildInOrder(order);
    }
    // By key.
    void sort() {
        sort([](const const_reference& a, const const_reference& b) { return a.key < b.key; });
    }
    template <class Generator>
    void shuffle(Generator& generator) {
        if (size() < 2) {
            return;
        }
        rebuildInOrder(detail::shuffledOffsets(size(), generator));
    }
    void shuffle() { shuffle(detail::systemRandom()); }

    // Moves the pairs lower ..< upper before the pair that was at `insertionIndex`.
    void moveSubrange(size_type lower, size_type upper, size_type insertionIndex) {
        keys_.checkRange(lower, upper);
        keys_.checkInsertionIndex(insertionIndex);
        keys_.moveSubrangeImpl(lower, upper, insertionIndex, moveValues());
    }
    // Moves the pairs of the listed keys (absent ones skipped) to `insertionIndex`, in order.
    template <std::ranges::input_range R>
    void moveKeys(R&& keys, size_type insertionIndex) {
        keys_.moveMembersImpl(keys, insertionIndex, moveValues());
    }
    template <std::ranges::input_range R>
    void moveIndices(R&& indices, size_type insertionIndex) {
        keys_.moveIndicesImpl(indices, insertionIndex, moveValues());
    }

    // Puts (key, value) at `index` and returns the pair that was there. The key may be the
    // one at `index` or absent; a key present elsewhere throws std::invalid_argument.
    value_type replaceElement(size_type index, K key, V value) {
        keys_.checkIndex(index);
        K old = keys_.replace(index, std::move(key));
        return {std::move(old), std::exchange(values_[index], std::move(value))};
    }

    // A slice of the pairs lower ..< upper, with the dictionary's own positions. It refers to
    // the dictionary and stays valid until the dictionary changes.
    class ElementsSlice {
    public:
        ElementsSlice(const OrderedDictionary& base, size_type lower, size_type upper)
            : base_(&base), lower_(lower), upper_(upper) {
            base.keys_.checkRange(lower, upper);
        }
        size_type startIndex() const noexcept { return lower_; }
        size_type endIndex() const noexcept { return upper_; }
        size_type size() const noexcept { return upper_ - lower_; }
        bool empty() const noexcept { return lower_ == upper_; }
        const_iterator begin() const noexcept {
            return base_->begin() + static_cast<difference_type>(lower_);
        }
        const_iterator end() const noexcept {
            return base_->begin() + static_cast<difference_type>(upper_);
        }
        const_reference operator[](size_type index) const {
            if (index < lower_ || index >= upper_) {
                throw std::out_of_range("dictionary slice position out of range");
            }
            return base_->begin()[static_cast<difference_type>(index)];
        }
        typename Keys::Slice keys() const { return base_->keys_.slice(lower_, upper_); }
        std::span<const V> values() const {
            return base_->values().subspan(lower_, upper_ - lower_);
        }
        // The key's position when it lies in the slice.
        std::optional<size_type> indexOf(const K& key) const { return keys().indexOf(key); }
        std::string description() const { return dictionaryDescription(*this); }

    private:
        const OrderedDictionary* base_;
        size_type lower_;
        size_type upper_;
    };

    ElementsSlice elements(size_type lower, size_type upper) const {
        return ElementsSlice(*this, lower, upper);
    }

private:
    using Slot = typename Keys::Slot;

    template <class, class, class, class>
    friend class OrderedDictionary;

    // Appends a pair whose key is known to be missing, without looking for it.
    void appendNewUnchecked(K&& key, V&& value) {
        detail::makeRoomForOneMore(values_);
        values_.push_back(std::move(value));
        try {
            keys_.appendNew(std::move(key));
        } catch (...) {
            values_.pop_back();
            throw;
        }
    }

    // The pairs in `order`, with a key table made from scratch for the count.
    void rebuildInOrder(const std::vector<size_type>& order) {
        std::vector<K> keys = std::move(keys_.elements_);
        detail::applyPermutation(keys, order);
        detail::applyPermutation(values_, order);
        keys_ = Keys::uncheckedUniqueElements(std::move(keys));
    }

    auto moveValues() {
        return [this](std::span<const size_type> sources, std::span<const size_type> sorted,
                      bool contiguous, size_type to) {
            detail::moveInBuffer(values_, sources, sorted, contiguous, to);
        };
    }

    // In a large dictionary key and value sit in two arrays, each likely a cache miss: ask for
    // the value while the key is being compared.
    auto prefetchValue() const {
        return [this](size_type offset) { __builtin_prefetch(values_.data() + offset); };
    }

    template <class X, std::ranges::input_range R>
    static std::vector<X> collect(R& range) {
        std::vector<X> items;
        if constexpr (std::ranges::sized_range<R>) {
            items.reserve(std::ranges::size(range));
        }
        for (auto&& item : range) {
            items.emplace_back(item);
        }
        return items;
    }

    template <std::ranges::input_range R>
    static OrderedDictionary reservedFor(R& entries) {
        if constexpr (std::ranges::sized_range<R>) {
            return withMinimumCapacity(std::ranges::size(entries));
        } else {
            return OrderedDictionary();
        }
    }

    template <class Q>
    V& subscriptImpl(Q&& key) {
        const auto slot = keys_.findSlot(key);
        if (slot.found()) {
            return values_[slot.index];
        }
        appendNew(K(std::forward<Q>(key)), V(), slot);
        return values_.back();
    }

    template <class Q>
    std::optional<V> updateValueImpl(Q&& key, V&& value) {
        const auto slot = keys_.findSlot(key);
        if (slot.found()) {
            return std::exchange(values_[slot.index], std::move(value));
        }
        appendNew(K(std::forward<Q>(key)), std::move(value), slot);
        return std::nullopt;
    }

    // Appends an entry whose key a lookup (`slot`) found missing.
    void appendNew(K&& key, V&& value, const Slot& slot) {
        detail::makeRoomForOneMore(values_);
        values_.push_back(std::move(value));
        try {
            keys_.appendNew(std::move(key), slot);
        } catch (...) {
            values_.pop_back();
            throw;
        }
    }

    // Inserts at `index` (already checked) an entry whose key a lookup found missing.
    void insertNew(K&& key, V&& value, size_type index, const Slot& slot) {
        detail::makeRoomForOneMore(values_);
        const auto position = values_.begin() + static_cast<difference_type>(index);
        values_.insert(position, std::move(value));
        try {
            keys_.insertNew(std::move(key), index, slot);
        } catch (...) {
            values_.erase(values_.begin() + static_cast<difference_type>(index));
            throw;
        }
    }

    void removeExisting(size_type index, const Slot& slot) {
        keys_.removeExistingMember(index, slot);
        values_.erase(values_.begin() + static_cast<difference_type>(index));
    }

    template <bool Const>
    class Iterator {
        using Value = std::conditional_t<Const, const V, V>;

    public:
        using iterator_category = std::random_access_iterator_tag;
        using iterator_concept = std::random_access_iterator_tag;
        using value_type = KeyValuePair<K, V>;
        using difference_type = std::ptrdiff_t;
        using reference = KeyValueRef<K, Value>;

        // `it->key` and `it->value` reach into the entry.
        struct pointer {
            reference entry;
            const reference* operator->() const noexcept { return &entry; }
        };

        Iterator() = default;
        Iterator(const K* key, Value* value) noexcept : key_(key), value_(value) {}
        // A mutable iterator converts to a read-only one.
        template <bool OtherConst>
        Iterator(const Iterator<OtherConst>& other) noexcept requires(Const && !OtherConst)
            : key_(other.key_), value_(other.value_) {}

        reference operator*() const noexcept { return {*key_, *value_}; }
        pointer operator->() const noexcept { return {**this}; }
        reference operator[](difference_type n) const noexcept { return *(*this + n); }

        Iterator& operator++() noexcept { return *this += 1; }
        Iterator operator++(int) noexcept {
            Iterator old = *this;
            ++*this;
            return old;
        }
        Iterator& operator--() noexcept { return *this -= 1; }
        Iterator operator--(int) noexcept {
            Iterator old = *this;
            --*this;
            return old;
        }
        Iterator& operator+=(difference_type n) noexcept {
            key_ += n;
            value_ += n;
            return *this;
        }
        Iterator& operator-=(difference_type n) noexcept { return *this += -n; }
        friend Iterator operator+(Iterator it, difference_type n) noexcept { return it += n; }
        friend Iterator operator+(difference_type n, Iterator it) noexcept { return it += n; }
        friend Iterator operator-(Iterator it, difference_type n) noexcept { return it -= n; }
        friend difference_type operator-(const Iterator& a, const Iterator& b) noexcept {
            return a.key_ - b.key_;
        }
        friend bool operator==(const Iterator& a, const Iterator& b) noexcept {
            return a.key_ == b.key_;
        }
        friend auto operator<=>(const Iterator& a, const Iterator& b) noexcept {
            return a.key_ <=> b.key_;
        }

    private:
        template <bool>
        friend class Iterator;

        const K* key_ = nullptr;
        Value* value_ = nullptr;
    };

    Keys keys_;
    std::vector<V> values_;
};

}  // namespace ordered

// The common reference of an entry reference and an entry value, which lets the dictionary's
// iterators satisfy the standard iterator concepts (and so work with std::ranges algorithms). It
// is read-only when either side is.
namespace ordered::detail {
template <class K, class V, class W, class PairQualified>
using CommonEntryRef =
    KeyValueRef<K, std::conditional_t<std::is_const_v<V> ||
                                          std::is_const_v<std::remove_reference_t<PairQualified>>,
                                      const W, W>>;
}  // namespace ordered::detail

template <class K, class V, class W, template <class> class TQual, template <class> class UQual>
requires std::same_as<std::remove_const_t<V>, W>
struct std::basic_common_reference<ordered::KeyValueRef<K, V>, ordered::KeyValuePair<K, W>, TQual,
                                   UQual> {
    using type = ordered::detail::CommonEntryRef<K, V, W, UQual<W>>;
};

template <class K, class V, class W, template <class> class TQual, template <class> class UQual>
requires std::same_as<std::remove_const_t<V>, W>
struct std::basic_common_reference<ordered::KeyValuePair<K, W>, ordered::KeyValueRef<K, V>, TQual,
                                   UQual> {
    using type = ordered::detail::CommonEntryRef<K, V, W, TQual<W>>;
};

template <class K, class V, class Hash, class Eq>
struct std::hash<ordered::OrderedDictionary<K, V, Hash, Eq>> {
    std::size_t operator()(const ordered::OrderedDictionary<K, V, Hash, Eq>& dictionary) const {
        return static_cast<std::size_t>(dictionary.hashValue());
    }
};
