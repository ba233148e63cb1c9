#pragma once

#include <algorithm>
#include <cassert>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "orderedcollections/DebugText.h"
#include "orderedcollections/DecodingError.h"
#include "orderedcollections/HashTable.h"
#include "orderedcollections/Hasher.h"
#include "orderedcollections/UnsafeBitSet.h"

namespace ordered {

template <class K, class V, class Hash, class Eq>
class OrderedDictionary;

namespace detail {

// Objects of a handful of entries are the common case: start the arrays at room for four
// rather than growing them through one and two.
template <class Vector>
void makeRoomForOneMore(Vector& vector) {
    constexpr std::size_t smallestCapacity = 4;
    if (vector.size() == vector.capacity() && vector.capacity() < smallestCapacity) {
        vector.reserve(smallestCapacity);
    }
}

}  // namespace detail

// An insertion-ordered set: distinct members in a contiguous array, which fixes the order, plus a
// HashTable of their offsets. Up to 15 members there is no table and lookups scan the array.
//
// Invariants:
//  - members are pairwise unequal under Eq (and Hash is consistent with Eq);
//  - with a table, it holds exactly one bucket per member and at most capacity() members;
//  - more than 15 members always have a table. A table grows by one scale step when a member
//    would pass 3/4 load and is rebuilt smaller when a removal leaves fewer than 1/4 load
//    (minimumCapacity()), unless its scale was reserved with persistent = true. Below 16
//    members and without a reservation it is dropped.
//
// A set is an ordinary value: copying it copies the array and the table (which keeps its seed,
// so nothing is rehashed). Moving leaves the source empty. Iterators and positions stay valid
// until the next insertion or removal. Members are read-only through the set; update() and the
// other replacing operations change them in place.
//
// Members are stored in a std::vector, so bool is not supported (its vector is not contiguous).
//
// Preconditions are checked and thrown: std::out_of_range for a position outside the array (or
// outside 0...size() for an insertion), std::invalid_argument for a member that must match the
// one at a position and does not. Operations give the basic exception guarantee, provided Hash,
// Eq and the members' moves do not throw.
template <class T, class Hash = std::hash<T>, class Eq = std::equal_to<T>>
class OrderedSet {
    static_assert(!std::is_same_v<T, bool>,
                  "std::vector<bool> is not contiguous; wrap bool members in a small enum");

public:
    using value_type = T;
    using size_type = std::size_t;
    using difference_type = std::ptrdiff_t;
    using reference = const T&;
    using const_reference = const T&;
    using iterator = const T*;
    using const_iterator = const T*;
    using hasher = Hash;
    using key_equal = Eq;

    struct InsertResult {
        bool inserted;
        size_type index;
    };

    struct UpdateResult {
        std::optional<T> originalMember;
        size_type index;
    };

    // One step of a difference(): `element` leaves (removal) or enters (insertion) at `offset`;
    // `associatedWith` is its offset on the other side, if it has one there.
    struct Change {
        enum class Kind { removal, insertion };
        Kind kind;
        size_type offset;
        T element;
        std::optional<size_type> associatedWith;
        friend bool operator==(const Change&, const Change&) = default;
    };

    // Construction. The range and list forms keep the first occurrence of each member.
    OrderedSet() = default;

    OrderedSet(std::initializer_list<T> members) : OrderedSet(members.begin(), members.end()) {}

    template <std::input_iterator It, std::sentinel_for<It> S>
    OrderedSet(It first, S last) {
        if constexpr (std::sized_sentinel_for<S, It>) {
            reserve(static_cast<size_type>(last - first));
        }
        for (; first != last; ++first) {
            append(*first);
        }
    }

    // From members known to be distinct: no repeats are looked for, the caller guarantees them.
    static OrderedSet uncheckedUniqueElements(std::vector<T> members) {
        OrderedSet set;
        set.elements_ = std::move(members);
        set.table_ = set.tableFor(set.size(), 0, 0, set.elementAt());
        return set;
    }

    // An empty set with room for `minimumCapacity` members before its table must grow. With
    // `persistent`, removals never shrink the table below that size.
    static OrderedSet withMinimumCapacity(size_type minimumCapacity, bool persistent = false) {
        OrderedSet set;
        set.reserveCapacity(minimumCapacity, persistent);
        return set;
    }

    OrderedSet(const OrderedSet&) = default;
    OrderedSet& operator=(const OrderedSet&) = default;

    OrderedSet(OrderedSet&& other) noexcept
        : elements_(std::move(other.elements_)), table_(std::move(other.table_)) {
        other.elements_.clear();
        other.table_.reset();
    }

    OrderedSet& operator=(OrderedSet&& other) noexcept {
        if (this != &other) {
            elements_ = std::move(other.elements_);
            table_ = std::move(other.table_);
            other.elements_.clear();
            other.table_.reset();
        }
        return *this;
    }

    // Contiguous, read-only access to the members in order.
    const_iterator begin() const noexcept { return elements_.data(); }
    const_iterator end() const noexcept { return elements_.data() + elements_.size(); }
    const T* data() const noexcept { return elements_.data(); }
    size_type size() const noexcept { return elements_.size(); }
    bool empty() const noexcept { return elements_.empty(); }
    std::span<const T> elements() const noexcept { return elements_; }
    const T& operator[](size_type index) const noexcept {
        assert(index < size());
        return elements_[index];
    }
    const T& at(size_type index) const {
        checkIndex(index);
        return elements_[index];
    }

    // Lookup.
    bool contains(const T& item) const { return findSlot(item).found(); }
    std::optional<size_type> indexOf(const T& item) const { return findSlot(item).position(); }

    // Appends the item unless an equal member exists; an existing member is kept as it is.
    // Returns whether it was inserted and its position.
    InsertResult append(const T& item) { return appendImpl(item); }
    InsertResult append(T&& item) { return appendImpl(std::move(item)); }

    template <std::input_iterator It, std::sentinel_for<It> S>
    void append(It first, S last) {
        for (; first != last; ++first) {
            append(*first);
        }
    }

    // Inserts the item at `index` (0...size()) unless an equal member exists, which then stays
    // where it is; the members from `index` on move up one position.
    InsertResult insert(const T& item, size_type index) { return insertImpl(item, index); }
    InsertResult insert(T&& item, size_type index) { return insertImpl(std::move(item), index); }

    // Replaces the member at `index`, which must equal `item`; returns the old member.
    T update(T item, size_type index) {
        checkIndex(index);
        if (!eq_(elements_[index], item)) {
            throw std::invalid_argument("OrderedSet::update: item differs from the member");
        }
        return std::exchange(elements_[index], std::move(item));
    }

    // Replaces an equal member in place (returning it), or appends the item.
    std::optional<T> updateOrAppend(T item) {
        const Slot slot = findSlot(item);
        if (slot.found()) {
            return std::exchange(elements_[slot.index], std::move(item));
        }
        appendNew(std::move(item), slot);
        return std::nullopt;
    }

    // Replaces an equal member in place, wherever it is (`index` is then not used), or inserts
    // the item at `index` (0...size()).
    UpdateResult updateOrInsert(T item, size_type index) {
        const Slot slot = findSlot(item);
        if (slot.found()) {
            return {std::exchange(elements_[slot.index], std::move(item)), slot.index};
        }
        checkInsertionIndex(index);
        insertNew(std::move(item), index, slot);
        return {std::nullopt, index};
    }

    // Puts the item at `index` in place of the member there, which is returned. If the item is
    // already a member, it must be the one at `index`.
    T replace(size_type index, T item) {
        checkIndex(index);
        const Slot slot = findSlot(item);
        if (slot.found()) {
            if (slot.index != index) {
                throw std::invalid_argument("OrderedSet::replace: item is a member elsewhere");
            }
            return std::exchange(elements_[index], std::move(item));
        }
        if (table_) {
            // The old member's bucket goes first, so that the new one lands on the first empty
            // bucket of its run as it is after the removal.
            table_->erase(table_->bucketFor(index, hashOf(elements_[index], table_->seed())));
            table_->store(table_->firstUnoccupiedBucket(slot.hash), index, slot.hash);
        }
        return std::exchange(elements_[index], std::move(item));
    }

    // Removes an equal member and returns it; the later members move down one position.
    std::optional<T> remove(const T& item) {
        const Slot slot = findSlot(item);
        if (!slot.found()) {
            return std::nullopt;
        }
        return removeExistingMember(slot.index, slot);
    }

    // Capacity: how many members fit before the table is rebuilt larger (15 without a table),
    // and the count below which a removal rebuilds it smaller.
    size_type capacity() const noexcept {
        return table_ ? table_->capacity() : HashTable::maximumUnhashedCount;
    }
    size_type minimumCapacity() const noexcept { return table_ ? table_->minimumCapacity() : 0; }
    int scale() const noexcept { return table_ ? table_->scale() : 0; }
    int reservedScale() const noexcept { return table_ ? table_->reservedScale() : 0; }
    size_type bias() const noexcept { return table_ ? table_->bias() : 0; }
    const HashTable* hashTable() const noexcept { return table_ ? &*table_ : nullptr; }

    // Makes room for `minimumCapacity` members; may also shrink an oversized table that was not
    // reserved persistently.
    void reserve(size_type minimumCapacity) { reserveCapacity(minimumCapacity, false); }

    // The members for which `test` holds, in order.
    template <class Predicate>
    OrderedSet filter(Predicate&& test) const {
        return UnsafeBitSet::withTemporaryBitSet(size(), [&](UnsafeBitSet& bits) {
            for (size_type i = 0; i < size(); ++i) {
                if (test(elements_[i])) {
                    bits.insert(i);
                }
            }
            return extractSubset(bits);
        });
    }

    // The changes that turn `other` into this set: removals of other's members and insertions of
    // this set's, each with its offset on its own side.
    std::vector<Change> difference(const OrderedSet& other) const {
        const std::vector<T>& a = other.elements_;
        const std::vector<T>& b = elements_;
        std::vector<Change> changes;
        size_type x = 0;
        size_type y = 0;
        const auto removeA = [&] {
            changes.push_back({Change::Kind::removal, x, a[x], indexOf(a[x])});
            ++x;
        };
        const auto insertB = [&] {
            changes.push_back({Change::Kind::insertion, y, b[y], other.indexOf(b[y])});
            ++y;
        };
        while (x < a.size() || y < b.size()) {
            if (y == b.size()) {
                removeA();
                continue;
            }
            if (x == a.size()) {
                insertB();
                continue;
            }
            const auto bx = indexOf(a[x]);
            if (!bx || *bx < y) {
                removeA();
                continue;
            }
            const auto ay = other.indexOf(b[y]);
            if (!ay || *ay < x) {
                insertB();
                continue;
            }
            if (*ay == x) {
                ++x;
                ++y;
            } else if (*ay - x < *bx - y) {
                insertB();
            } else {
                removeA();
            }
        }
        return changes;
    }

    // This set with the changes applied (removals first, from the back; then insertions, from the
    // front). Nothing when a change does not fit or the result would repeat a member.
    std::optional<OrderedSet> applying(const std::vector<Change>& changes) const {
        std::vector<const Change*> removals;
        std::vector<const Change*> insertions;
        for (const Change& change : changes) {
            (change.kind == Change::Kind::removal ? removals : insertions).push_back(&change);
        }
        const auto byOffset = [](const Change* l, const Change* r) {
            return l->offset < r->offset;
        };
        const auto sameOffset = [](const Change* l, const Change* r) {
            return l->offset == r->offset;
        };
        std::sort(removals.begin(), removals.end(), byOffset);
        std::sort(insertions.begin(), insertions.end(), byOffset);
        if (std::adjacent_find(removals.begin(), removals.end(), sameOffset) != removals.end() ||
            std::adjacent_find(insertions.begin(), insertions.end(), sameOffset) !=
                insertions.end()) {
            return std::nullopt;
        }
        std::vector<T> result = elements_;
        for (auto it = removals.rbegin(); it != removals.rend(); ++it) {
            if ((*it)->offset >= result.size()) {
                return std::nullopt;
            }
            result.erase(result.begin() + static_cast<difference_type>((*it)->offset));
        }
        for (const Change* change : insertions) {
            if (change->offset > result.size()) {
                return std::nullopt;
            }
            result.insert(result.begin() + static_cast<difference_type>(change->offset),
                          change->element);
        }
        OrderedSet set(result.begin(), result.end());
        if (set.size() < result.size()) {
            return std::nullopt;
        }
        return set;
    }

    // Equal when the members are equal in the same order.
    friend bool operator==(const OrderedSet& a, const OrderedSet& b) {
        return std::equal(a.elements_.begin(), a.elements_.end(), b.elements_.begin(),
                          b.elements_.end(), a.eq_);
    }

    // Consistent with ==: the count, then each member in order.
    std::uint64_t hashValue(std::uint64_t seed = 0) const {
        Hasher hasher(seed);
        hasher.combine(size());
        for (const T& member : elements_) {
            hasher.combine(static_cast<std::uint64_t>(hash_(member)));
        }
        return hasher.finalize();
    }

    // "[a, b, c]" with each member's debug text.
    std::string description() const { return arrayDescription(elements_); }

    // Serialised form: a plain array of the members. `writer.encode(member)` writes one array
    // element; `reader.isAtEnd()` and `reader.template decode<T>()` read them back. Reading
    // throws DecodingError when a member repeats.
    template <class Writer>
    void encode(Writer& writer) const {
        for (const T& member : elements_) {
            writer.encode(member);
        }
    }

    template <class Reader>
    static OrderedSet decode(Reader& reader) {
        OrderedSet set;
        while (!reader.isAtEnd()) {
            set.elements_.push_back(reader.template decode<T>());
        }
        const size_type end = set.adoptUntilFirstDuplicate();
        if (end != set.size()) {
            throw DecodingError::dataCorrupted(
                "Decoded elements aren't unique (first duplicate at offset " + std::to_string(end) +
                ")");
        }
        return set;
    }

private:
    template <class, class, class, class>
    friend class OrderedDictionary;

    // Where a lookup ended: the member's offset if found, and the bucket it sits in or would go
    // to, with the item's seeded hash (bucket and hash mean nothing without a table).
    struct Slot {
        size_type index;  // HashTable::notFound when missing
        HashTable::Bucket bucket;
        std::uint64_t hash;
        bool found() const noexcept { return index != HashTable::notFound; }
        std::optional<size_type> position() const noexcept {
            return found() ? std::optional(index) : std::nullopt;
        }
    };

    std::uint64_t hashOf(const T& item, std::uint64_t seed) const {
        return seededHash(static_cast<std::uint64_t>(hash_(item)), seed);
    }

    auto elementAt() const {
        return [this](size_type i) -> const T& { return elements_[i]; };
    }

    auto hashAt() const {
        return [this](size_type i, std::uint64_t seed) { return hashOf(elements_[i], seed); };
    }

    // `touch(offset)` sees each candidate offset before its member is compared; the dictionary
    // uses it to start loading the value alongside the key.
    struct NoTouch {
        void operator()(size_type) const noexcept {}
    };

    template <class Touch = NoTouch>
    Slot findSlot(const T& item, Touch&& touch = {}) const {
        if (!table_) {
            const size_type n = elements_.size();
            for (size_type i = 0; i < n; ++i) {
                if (eq_(elements_[i], item)) {
                    return {i, {}, 0};
                }
            }
            return {HashTable::notFound, {}, 0};
        }
        const std::uint64_t hash = hashOf(item, table_->seed());
        const auto found = table_->find(hash, [&](size_type offset) {
            touch(offset);
            return eq_(elements_[offset], item);
        });
        return {found.offset, found.bucket, hash};
    }

    void checkIndex(size_type index) const {
        if (index >= size()) {
            throw std::out_of_range("ordered collection position out of range");
        }
    }

    void checkInsertionIndex(size_type index) const {
        if (index > size()) {
            throw std::out_of_range("ordered collection insertion position out of range");
        }
    }

    template <class U>
    InsertResult appendImpl(U&& item) {
        const Slot slot = findSlot(item);
        if (slot.found()) {
            return {false, slot.index};
        }
        appendNew(T(std::forward<U>(item)), slot);
        return {true, size() - 1};
    }

    template <class U>
    InsertResult insertImpl(U&& item, size_type index) {
        const Slot slot = findSlot(item);
        if (slot.found()) {
            return {false, slot.index};
        }
        checkInsertionIndex(index);
        insertNew(T(std::forward<U>(item)), index, slot);
        return {true, index};
    }

    // Appends an item that a lookup (`slot`) found missing.
    void appendNew(T&& item, const Slot& slot) {
        detail::makeRoomForOneMore(elements_);
        elements_.push_back(std::move(item));
        if (capacity() >= size()) {
            if (table_) {
                table_->store(slot.bucket, size() - 1, slot.hash);
            }
            return;
        }
        try {
            growHashTable(size() - 1, slot);
        } catch (...) {
            elements_.pop_back();
            throw;
        }
    }

    // Appends an item known to be missing, without comparing it to any member.
    void appendNew(T&& item) {
        Slot slot{HashTable::notFound, {}, 0};
        if (table_) {
            slot.hash = hashOf(item, table_->seed());
            slot.bucket = table_->firstUnoccupiedBucket(slot.hash);
        }
        appendNew(std::move(item), slot);
    }

    // Inserts at `index` (already checked) an item that a lookup found missing.
    void insertNew(T&& item, size_type index, const Slot& slot) {
        const size_type count = size();
        detail::makeRoomForOneMore(elements_);
        const auto position = elements_.begin() + static_cast<difference_type>(index);
        elements_.insert(position, std::move(item));
        if (count >= capacity()) {
            try {
                growHashTable(index, slot);
            } catch (...) {
                elements_.erase(elements_.begin() + static_cast<difference_type>(index));
                throw;
            }
            return;
        }
        if (table_) {
            // The table still numbers the array as it was before the insertion.
            table_->adjustForInsertion(index, count, [&](size_type i, std::uint64_t seed) {
                return hashOf(elements_[i < index ? i : i + 1], seed);
            });
            table_->store(slot.bucket, index, slot.hash);
        }
    }

    // Removes the member at `index`, which a lookup (`slot`) found; later members move down.
    T removeExistingMember(size_type index, const Slot& slot) {
        const size_type count = size();
        const auto position = elements_.begin() + static_cast<difference_type>(index);
        if (count - 1 < minimumCapacity()) {
            // Build the smaller table first, so that a failure leaves the set as it was.
            std::optional<HashTable> table = regeneratedTable(
                count - 1,
                [&](size_type i) -> const T& { return elements_[i < index ? i : i + 1]; });
            T removed = std::move(*position);
            elements_.erase(position);
            table_ = std::move(table);
            return removed;
        }
        if (table_) {
            table_->erase(slot.bucket);
            table_->adjustForRemoval(index, index + 1, count, hashAt());
        }
        T removed = std::move(*position);
        elements_.erase(position);
        return removed;
    }

    template <class ElementAt>
    std::optional<HashTable> tableFor(size_type count, int scale, int reservedScale,
                                      ElementAt&& element) const {
        return HashTable::create(count, scale, reservedScale, [&](size_type i, std::uint64_t seed) {
            return hashOf(element(i), seed);
        });
    }

    // The table a set of `count` members (given by `element`) should have now.
    template <class ElementAt>
    std::optional<HashTable> regeneratedTable(size_type count, ElementAt&& element) const {
        const int reserved = reservedScale();
        if (count <= HashTable::maximumUnhashedCount && reserved == 0) {
            return std::nullopt;
        }
        return tableFor(count, HashTable::scaleForCapacity(count), reserved, element);
    }

    void regenerateHashTable() { table_ = regeneratedTable(size(), elementAt()); }

    // Grows the table past its capacity for the member just added at `offset` (with the later
    // members moved up one), whose hash under the table's seed a lookup left in `slot`. An
    // existing table is carried over without hashing its members again.
    void growHashTable(size_type offset, const Slot& slot) {
        if (!table_) {
            regenerateHashTable();
            return;
        }
        const int reserved = table_->reservedScale();
        HashTable grown =
            table_->resized(std::max(HashTable::scaleForCapacity(size()), reserved), reserved,
                            [&](size_type old) { return old >= offset ? old + 1 : old; });
        grown.store(grown.firstUnoccupiedBucket(slot.hash), offset, slot.hash);
        table_ = std::move(grown);
    }

    void regenerateHashTable(int scale, int reservedScale) {
        table_ = tableFor(size(), std::max(scale, reservedScale), reservedScale, elementAt());
    }

    void reserveCapacity(size_type minimumCapacity, bool persistent) {
        elements_.reserve(minimumCapacity);
        const int current = scale();
        const int required = HashTable::scaleForCapacity(minimumCapacity);
        const int reserved = persistent ? required : reservedScale();
        if (current < required) {
            regenerateHashTable(required, reserved);
            return;
        }
        const int target = std::max({required, reserved, HashTable::scaleForCapacity(size())});
        if (target < current) {
            regenerateHashTable(target, reserved);
        } else if (table_ && table_->reservedScale() != reserved) {
            table_->setReservedScale(reserved);
        }
    }

    // The members at the offsets in `bits`, in order, with room for `extraCapacity` more.
    OrderedSet extractSubset(const UnsafeBitSet& bits, size_type extraCapacity = 0) const {
        const size_type count = bits.count();
        if (count == 0) {
            return withMinimumCapacity(extraCapacity);
        }
        if (count == size()) {
            OrderedSet copy = *this;
            if (capacity() - size() < extraCapacity) {
                copy.reserve(size() + extraCapacity);
            }
            return copy;
        }
        OrderedSet subset = withMinimumCapacity(count + extraCapacity);
        for (const size_type offset : bits) {
            subset.appendNew(T(elements_[offset]));
        }
        return subset;
    }

    // Indexes the members in place up to the first one that repeats an earlier one, whose
    // offset is returned (size() when none repeats).
    size_type adoptUntilFirstDuplicate() {
        const size_type count = size();
        const int s = HashTable::scaleForCapacity(count);
        if (s < HashTable::minimumScale) {
            for (size_type i = 1; i < count; ++i) {
                for (size_type j = 0; j < i; ++j) {
                    if (eq_(elements_[j], elements_[i])) {
                        return i;
                    }
                }
            }
            return count;
        }
        table_.emplace(s, 0);
        return table_->fillUntilFirstDuplicate(count, hashAt(), [&](size_type i, size_type j) {
            return eq_(elements_[i], elements_[j]);
        });
    }

    std::vector<T> elements_;
    std::optional<HashTable> table_;
    [[no_unique_address]] Hash hash_{};
    [[no_unique_address]] Eq eq_{};
};

}  // namespace ordered

template <class T, class Hash, class Eq>
struct std::hash<ordered::OrderedSet<T, Hash, Eq>> {
    std::size_t operator()(const ordered::OrderedSet<T, Hash, Eq>& set) const {
        return static_cast<std::size_t>(set.hashValue());
    }
};
