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
#include <random>
#include <ranges>
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

// Rearranges `buffer` so that the elements at `sources` (in that order) stand at to ..< to + n
// and the others keep their relative order around them. `sorted` holds the same offsets
// ascending; `contiguous` says the sources are consecutive and ascending.
template <class X>
void moveInBuffer(std::vector<X>& buffer, std::span<const std::size_t> sources,
                  std::span<const std::size_t> sorted, bool contiguous, std::size_t to) {
    const std::size_t n = sources.size();
    if (n == 0) {
        return;
    }
    const auto at = [&](std::size_t i) { return buffer.begin() + static_cast<std::ptrdiff_t>(i); };
    if (contiguous) {
        const std::size_t from = sources.front();
        if (to > from) {
            std::rotate(at(from), at(from + n), at(to + n));
        } else if (to < from) {
            std::rotate(at(to), at(from), at(from + n));
        }
        return;
    }
    std::vector<X> moved;
    moved.reserve(n);
    for (const std::size_t s : sources) {
        moved.push_back(std::move(buffer[s]));
    }
    // The first `to` of the others fill the front in order, the rest fill the back; neither
    // pass overwrites an element the other still has to read.
    std::size_t read = 0;
    std::size_t next = 0;
    for (std::size_t write = 0; write < to; ++write, ++read) {
        while (next < n && sorted[next] == read) {
            ++next;
            ++read;
        }
        if (write != read) {
            buffer[write] = std::move(buffer[read]);
        }
    }
    read = buffer.size();
    next = n;
    for (std::size_t write = buffer.size(); write > to + n;) {
        --write;
        --read;
        while (next > 0 && sorted[next - 1] == read) {
            --next;
            --read;
        }
        if (write != read) {
            buffer[write] = std::move(buffer[read]);
        }
    }
    std::move(moved.begin(), moved.end(), at(to));
}

// Reorders `buffer` so that position i holds what was at permutation[i].
template <class X>
void applyPermutation(std::vector<X>& buffer, const std::vector<std::size_t>& permutation) {
    std::vector<X> result;
    result.reserve(buffer.size());
    for (const std::size_t from : permutation) {
        result.push_back(std::move(buffer[from]));
    }
    buffer = std::move(result);
}

// A uniform draw from 0 ..< bound with any standard generator.
template <class Generator>
std::size_t uniformBelow(Generator& generator, std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound - 1)(generator);
}

// The permutation of 0 ..< count that a forward Fisher-Yates pass with `generator` gives.
template <class Generator>
std::vector<std::size_t> shuffledOffsets(std::size_t count, Generator& generator) {
    std::vector<std::size_t> order(count);
    for (std::size_t i = 0; i < count; ++i) {
        order[i] = i;
    }
    for (std::size_t i = 0; count - i >= 2; ++i) {
        std::swap(order[i], order[i + uniformBelow(generator, count - i)]);
    }
    return order;
}

// The generator behind shuffle() without one: seeded once per thread from the system.
inline std::mt19937_64& systemRandom() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    return generator;
}

// Ranges whose membership test answers at once (hashed sets and the like).
template <class R, class T>
concept HasFastContains = requires(const R& range, const T& item) {
    { range.contains(item) } -> std::convertible_to<bool>;
    { range.size() } -> std::convertible_to<std::size_t>;
};

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
        return hashMembers(elements_, hash_, seed);
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

    // ---- Reordering. Every operation brings the table back in line with the new offsets. ----

    // Exchanges the members at i and j.
    void swapAt(size_type i, size_type j) {
        checkIndex(i);
        checkIndex(j);
        if (i == j) {
            return;
        }
        std::swap(elements_[i], elements_[j]);
        patchSwap(i, j);
    }

    // Moves the block lower ..< upper so that it stands before the member that was at
    // `insertionIndex` (0...size()); an insertion index inside the block changes nothing.
    void moveSubrange(size_type lower, size_type upper, size_type insertionIndex) {
        checkRange(lower, upper);
        checkInsertionIndex(insertionIndex);
        moveSubrangeImpl(lower, upper, insertionIndex, [](auto&&...) {});
    }

    // Moves the listed members (those not in the set are skipped) to `insertionIndex`, in the
    // order listed. A member listed twice throws std::invalid_argument.
    template <std::ranges::input_range R>
    void moveMembers(R&& members, size_type insertionIndex) {
        moveMembersImpl(members, insertionIndex, [](auto&&...) {});
    }

    // The same for the members at the listed positions, each in 0 ..< size().
    template <std::ranges::input_range R>
    void moveIndices(R&& indices, size_type insertionIndex) {
        moveIndicesImpl(indices, insertionIndex, [](auto&&...) {});
    }

    // Puts the members for which `secondGroup` is false first and returns where the others
    // begin. Not stable. An exception from the predicate leaves the members partly reordered,
    // with the index matching.
    template <class Predicate>
    size_type partition(Predicate&& secondGroup) {
        return partitionImpl([&](size_type i) { return bool(secondGroup(elements_[i])); },
                             [](size_type, size_type) {});
    }

    // Sorts by `less` (stable), then rebuilds the index at its current size. An exception
    // from the comparison leaves the set as it was.
    template <class Less = std::less<T>>
    void sort(Less&& less = {}) {
        std::vector<size_type> order(size());
        for (size_type i = 0; i < size(); ++i) {
            order[i] = i;
        }
        std::stable_sort(order.begin(), order.end(), [&](size_type a, size_type b) {
            return bool(less(elements_[a], elements_[b]));
        });
        detail::applyPermutation(elements_, order);
        refillHashTable();
    }

    template <class Generator>
    void shuffle(Generator& generator) {
        if (size() < 2) {
            return;
        }
        detail::applyPermutation(elements_, detail::shuffledOffsets(size(), generator));
        refillHashTable();
    }
    void shuffle() { shuffle(detail::systemRandom()); }

    void reverse() {
        std::reverse(elements_.begin(), elements_.end());
        if (table_) {
            table_->reverse(size());
        }
    }

    // ---- Removal by position. ----

    // Empties the set; with `keepingCapacity` the array keeps its storage and the table its
    // scale, otherwise both are released.
    void removeAll(bool keepingCapacity = false) {
        if (keepingCapacity) {
            elements_.clear();
            if (table_) {
                table_->clear();
            }
        } else {
            elements_ = std::vector<T>();
            table_.reset();
        }
    }

    // Removes and returns the member at `index`; later members move down one position.
    T removeAt(size_type index) {
        checkIndex(index);
        return removeExistingMember(index, slotOf(index));
    }
    T removeFirst() {
        checkNotEmpty();
        return removeAt(0);
    }
    T removeLast() {
        checkNotEmpty();
        return removeAt(size() - 1);
    }
    void removeFirst(size_type k) {
        checkCount(k);
        removeSubrange(0, k);
    }
    void removeLast(size_type k) {
        checkCount(k);
        removeSubrange(size() - k, size());
    }

    // Removes the members at lower ..< upper. While more than half remain and the table stays
    // above its minimum load, only the removed buckets are touched; otherwise it is rebuilt.
    void removeSubrange(size_type lower, size_type upper) {
        checkRange(lower, upper);
        if (lower == upper) {
            return;
        }
        const size_type count = size();
        const size_type remaining = count - (upper - lower);
        const auto first = elements_.begin() + static_cast<difference_type>(lower);
        const auto last = elements_.begin() + static_cast<difference_type>(upper);
        if (table_ && remaining > count / 2 && remaining >= minimumCapacity()) {
            for (size_type i = lower; i < upper; ++i) {
                table_->erase(table_->bucketFor(i, hashOf(elements_[i], table_->seed())));
            }
            table_->adjustForRemoval(lower, upper, count, hashAt());
            elements_.erase(first, last);
            return;
        }
        elements_.erase(first, last);
        if (table_) {
            regenerateHashTable();
        }
    }

    // Removes the members for which `test` holds, keeping the others in order. The predicate
    // sees every member before anything changes, so an exception from it leaves the set as it
    // was.
    template <class Predicate>
    void removeAllWhere(Predicate&& test) {
        std::vector<size_type> kept = keptOffsets([&](size_type i) { return test(elements_[i]); });
        if (kept.size() == size()) {
            return;
        }
        detail::applyPermutation(elements_, kept);
        regenerateHashTable();
    }

    // ---- Set algebra. Results are ordered: the receiver's members first, in its order. ----

    // The members, then the other's elements not yet present, in the other's order.
    template <std::ranges::input_range R>
    OrderedSet union_(R&& other) const {
        OrderedSet result = *this;
        result.formUnion(std::forward<R>(other));
        return result;
    }
    template <std::ranges::input_range R>
    void formUnion(R&& other) {
        for (auto&& item : other) {
            append(std::forward<decltype(item)>(item));
        }
    }
    template <std::ranges::input_range R>
    OrderedSet appending(R&& other) const {
        return union_(std::forward<R>(other));
    }

    // The members the other holds, in the receiver's order.
    OrderedSet intersection(const OrderedSet& other) const {
        OrderedSet result = withMinimumCapacity(std::min(size(), other.size()));
        for (const T& member : elements_) {
            if (other.contains(member)) {
                result.appendNew(T(member));
            }
        }
        return result;
    }
    template <std::ranges::input_range R>
    requires(!std::same_as<std::remove_cvref_t<R>, OrderedSet>) OrderedSet intersection(R&& other)
    const {
        return UnsafeBitSet::withTemporaryBitSet(size(), [&](UnsafeBitSet& seen) {
            for (auto&& item : other) {
                if (const auto offset = indexOf(item)) {
                    seen.insert(*offset);
                }
            }
            return extractSubset(seen);
        });
    }
    template <class O>
    void formIntersection(O&& other) {
        *this = intersection(std::forward<O>(other));
    }

    // The members the other does not hold, in the receiver's order. Stops reading the other
    // once every member is gone.
    template <std::ranges::input_range R>
    OrderedSet subtracting(R&& other) const {
        if (empty()) {
            return OrderedSet();
        }
        return UnsafeBitSet::withTemporaryBitSet(size(), [&](UnsafeBitSet& kept) {
            kept.insertAll(size());
            size_type remaining = size();
            for (auto&& item : other) {
                const auto offset = indexOf(item);
                if (offset && kept.remove(*offset) && --remaining == 0) {
                    return OrderedSet();
                }
            }
            return extractSubset(kept);
        });
    }
    template <std::ranges::input_range R>
    void subtract(R&& other) {
        *this = subtracting(std::forward<R>(other));
    }

    // The members the other lacks, then the other's elements the receiver lacks (first
    // occurrence, in the other's order).
    OrderedSet symmetricDifference(const OrderedSet& other) const {
        return UnsafeBitSet::withTemporaryBitSet(size(), [&](UnsafeBitSet& mine) {
            return UnsafeBitSet::withTemporaryBitSet(other.size(), [&](UnsafeBitSet& theirs) {
                mine.insertAll(size());
                theirs.insertAll(other.size());
                for (size_type i = 0; i < other.size(); ++i) {
                    if (const auto offset = indexOf(other.elements_[i])) {
                        mine.remove(*offset);
                        theirs.remove(i);
                    }
                }
                OrderedSet result = extractSubset(mine, theirs.count());
                for (const size_type i : theirs) {
                    result.appendNew(T(other.elements_[i]));
                }
                return result;
            });
        });
    }
    template <std::ranges::input_range R>
    requires(!std::same_as<std::remove_cvref_t<R>, OrderedSet>) OrderedSet
        symmetricDifference(R&& other)
    const {
        return UnsafeBitSet::withTemporaryBitSet(size(), [&](UnsafeBitSet& mine) {
            mine.insertAll(size());
            OrderedSet added;
            for (auto&& item : other) {
                if (const auto offset = indexOf(item)) {
                    mine.remove(*offset);
                } else {
                    added.append(item);
                }
            }
            OrderedSet result = extractSubset(mine, added.size());
            for (T& member : added.elements_) {
                result.appendNew(std::move(member));
            }
            return result;
        });
    }
    template <class O>
    void formSymmetricDifference(O&& other) {
        *this = symmetricDifference(std::forward<O>(other));
    }

    // Every member is in the other. Repeats in a sequence count once.
    bool isSubset(const OrderedSet& other) const { return isSubsetOfHashed(other); }
    template <std::ranges::input_range R>
    bool isSubset(const R& other) const {
        if constexpr (detail::HasFastContains<R, T>) {
            return isSubsetOfHashed(other);
        } else {
            if (empty()) {
                return true;
            }
            return UnsafeBitSet::withTemporaryBitSet(size(), [&](UnsafeBitSet& seen) {
                size_type count = 0;
                for (auto&& item : other) {
                    const auto offset = indexOf(item);
                    if (offset && seen.insert(*offset) && ++count == size()) {
                        return true;
                    }
                }
                return false;
            });
        }
    }

    // Every element of the other is a member.
    bool isSuperset(const OrderedSet& other) const { return other.isSubset(*this); }
    template <std::ranges::input_range R>
    bool isSuperset(const R& other) const {
        if constexpr (detail::HasFastContains<R, T>) {
            if (size() < other.size()) {
                return false;
            }
        }
        for (auto&& item : other) {
            if (!contains(item)) {
                return false;
            }
        }
        return true;
    }

    // A subset, and the other holds something more.
    bool isStrictSubset(const OrderedSet& other) const {
        return size() < other.size() && isSubset(other);
    }
    template <std::ranges::input_range R>
    bool isStrictSubset(const R& other) const {
        if constexpr (detail::HasFastContains<R, T>) {
            return size() < other.size() && isSubsetOfHashed(other);
        } else {
            if (empty()) {
                return std::ranges::begin(other) != std::ranges::end(other);
            }
            return UnsafeBitSet::withTemporaryBitSet(size(), [&](UnsafeBitSet& seen) {
                size_type count = 0;
                bool extra = false;
                for (auto&& item : other) {
                    const auto offset = indexOf(item);
                    if (!offset) {
                        if (count == size()) {
                            return true;
                        }
                        extra = true;
                    } else if (seen.insert(*offset) && ++count == size() && extra) {
                        return true;
                    }
                }
                return false;
            });
        }
    }

    // A superset, and the receiver holds something the other lacks.
    bool isStrictSuperset(const OrderedSet& other) const {
        return other.size() < size() && other.isSubset(*this);
    }
    template <std::ranges::input_range R>
    bool isStrictSuperset(const R& other) const {
        if constexpr (detail::HasFastContains<R, T>) {
            return other.size() < size() && isSuperset(other);
        } else {
            if (empty()) {
                return false;
            }
            return UnsafeBitSet::withTemporaryBitSet(size(), [&](UnsafeBitSet& seen) {
                size_type count = 0;
                for (auto&& item : other) {
                    const auto offset = indexOf(item);
                    if (!offset) {
                        return false;
                    }
                    if (seen.insert(*offset) && ++count == size()) {
                        return false;
                    }
                }
                return count < size();
            });
        }
    }

    // No member is in the other. Two sets walk the smaller one.
    bool isDisjoint(const OrderedSet& other) const { return isDisjointWithHashed(other); }
    template <std::ranges::input_range R>
    bool isDisjoint(const R& other) const {
        if constexpr (detail::HasFastContains<R, T>) {
            return isDisjointWithHashed(other);
        } else {
            if (empty()) {
                return true;
            }
            for (auto&& item : other) {
                if (contains(item)) {
                    return false;
                }
            }
            return true;
        }
    }

    // The same members, order ignored; a sequence may repeat elements.
    bool isEqualSet(const OrderedSet& other) const { return UnorderedView::equal(*this, other); }
    template <std::ranges::input_range R>
    bool isEqualSet(const R& other) const {
        if constexpr (detail::HasFastContains<R, T>) {
            // Its elements are distinct: counting them settles it.
            if (other.size() != size()) {
                return false;
            }
            for (auto&& item : other) {
                if (!contains(item)) {
                    return false;
                }
            }
            return true;
        } else {
            if (empty()) {
                return std::ranges::begin(other) == std::ranges::end(other);
            }
            return UnsafeBitSet::withTemporaryBitSet(size(), [&](UnsafeBitSet& seen) {
                size_type count = 0;
                for (auto&& item : other) {
                    const auto offset = indexOf(item);
                    if (!offset) {
                        return false;
                    }
                    count += seen.insert(*offset) ? 1 : 0;
                }
                return count == size();
            });
        }
    }

    // ---- Views. ----

    // A contiguous slice lower ..< upper, with the set's own positions. It refers to the set
    // and stays valid until the set changes.
    class Slice {
    public:
        Slice(const OrderedSet& base, size_type lower, size_type upper)
            : base_(&base), lower_(lower), upper_(upper) {
            base.checkRange(lower, upper);
        }

        size_type startIndex() const noexcept { return lower_; }
        size_type endIndex() const noexcept { return upper_; }
        size_type size() const noexcept { return upper_ - lower_; }
        bool empty() const noexcept { return lower_ == upper_; }
        const_iterator begin() const noexcept { return base_->begin() + lower_; }
        const_iterator end() const noexcept { return base_->begin() + upper_; }
        std::span<const T> elements() const noexcept { return {begin(), end()}; }
        const OrderedSet& base() const noexcept { return *base_; }

        // By the set's position, which must lie in the slice.
        const T& operator[](size_type index) const {
            if (index < lower_ || index >= upper_) {
                throw std::out_of_range("ordered set slice position out of range");
            }
            return (*base_)[index];
        }
        // A sub-slice, which must lie within this one.
        Slice slice(size_type lower, size_type upper) const {
            if (lower > upper || lower < lower_ || upper > upper_) {
                throw std::out_of_range("ordered set slice range out of range");
            }
            return Slice(*base_, lower, upper);
        }

        // Found through the set's table whatever the slice's length; members outside the
        // slice are not found.
        std::optional<size_type> indexOf(const T& item) const {
            const auto found = base_->indexOf(item);
            if (found && *found >= lower_ && *found < upper_) {
                return found;
            }
            return std::nullopt;
        }
        bool contains(const T& item) const { return indexOf(item).has_value(); }

        // Equal when the members are equal in order; bounds and bases may differ.
        friend bool operator==(const Slice& a, const Slice& b) {
            return std::equal(a.begin(), a.end(), b.begin(), b.end(), Eq{});
        }
        std::uint64_t hashValue(std::uint64_t seed = 0) const {
            return hashMembers(elements(), base_->hash_, seed);
        }
        std::string description() const { return arrayDescription(elements()); }

    private:
        const OrderedSet* base_;
        size_type lower_;
        size_type upper_;
    };

    Slice slice(size_type lower, size_type upper) const { return Slice(*this, lower, upper); }

    // A set of a slice's members, in order; they are distinct already.
    explicit OrderedSet(const Slice& slice)
        : OrderedSet(uncheckedUniqueElements(std::vector<T>(slice.begin(), slice.end()))) {}

    // The set seen as a plain mathematical set: equality and hashing ignore order. The algebra
    // forwards to the ordered set's, so results still keep the receiver's order.
    class UnorderedView {
    public:
        UnorderedView() = default;
        explicit UnorderedView(OrderedSet base) : base_(std::move(base)) {}
        UnorderedView(std::initializer_list<T> members) : base_(members) {}

        const OrderedSet& base() const& noexcept { return base_; }
        OrderedSet base() && noexcept { return std::move(base_); }

        size_type size() const noexcept { return base_.size(); }
        bool empty() const noexcept { return base_.empty(); }
        const_iterator begin() const noexcept { return base_.begin(); }
        const_iterator end() const noexcept { return base_.end(); }
        bool contains(const T& item) const { return base_.contains(item); }

        // Appends an absent item; returns whether it did and the stored member.
        std::pair<bool, T> insert(T item) {
            const auto [inserted, index] = base_.append(std::move(item));
            return {inserted, base_[index]};
        }
        // Appends an absent item (giving nothing) or replaces the stored member in place
        // (giving the old one).
        std::optional<T> update(T item) { return base_.updateOrAppend(std::move(item)); }
        std::optional<T> remove(const T& item) { return base_.remove(item); }

        // Same members, whatever the order; the same shared table would settle it at once,
        // but copies never share one here.
        static bool equal(const OrderedSet& a, const OrderedSet& b) {
            if (a.size() != b.size()) {
                return false;
            }
            for (const T& member : a.elements_) {
                if (!b.contains(member)) {
                    return false;
                }
            }
            return true;
        }
        friend bool operator==(const UnorderedView& a, const UnorderedView& b) {
            return equal(a.base_, b.base_);
        }

        // Order-free: each member's hash under a seed drawn from `seed`, XORed together.
        std::uint64_t hashValue(std::uint64_t seed = 0) const {
            const std::uint64_t memberSeed = Hasher(seed).finalize();
            std::uint64_t combined = 0;
            for (const T& member : base_.elements_) {
                Hasher h(memberSeed);
                h.combine(static_cast<std::uint64_t>(base_.hash_(member)));
                combined ^= h.finalize();
            }
            Hasher hasher(seed);
            hasher.combine(combined);
            return hasher.finalize();
        }
        std::string description() const { return base_.description(); }

        template <class O>
        bool isEqualSet(const O& other) const {
            return base_.isEqualSet(unwrap(other));
        }
        template <class O>
        UnorderedView union_(const O& other) const {
            return UnorderedView(base_.union_(unwrap(other)));
        }
        template <class O>
        void formUnion(const O& other) {
            base_.formUnion(unwrap(other));
        }
        template <class O>
        UnorderedView intersection(const O& other) const {
            return UnorderedView(base_.intersection(unwrap(other)));
        }
        template <class O>
        void formIntersection(const O& other) {
            base_.formIntersection(unwrap(other));
        }
        template <class O>
        UnorderedView subtracting(const O& other) const {
            return UnorderedView(base_.subtracting(unwrap(other)));
        }
        template <class O>
        void subtract(const O& other) {
            base_.subtract(unwrap(other));
        }
        template <class O>
        UnorderedView symmetricDifference(const O& other) const {
            return UnorderedView(base_.symmetricDifference(unwrap(other)));
        }
        template <class O>
        void formSymmetricDifference(const O& other) {
            base_.formSymmetricDifference(unwrap(other));
        }
        template <class O>
        bool isSubset(const O& other) const {
            return base_.isSubset(unwrap(other));
        }
        template <class O>
        bool isSuperset(const O& other) const {
            return base_.isSuperset(unwrap(other));
        }
        template <class O>
        bool isStrictSubset(const O& other) const {
            return base_.isStrictSubset(unwrap(other));
        }
        template <class O>
        bool isStrictSuperset(const O& other) const {
            return base_.isStrictSuperset(unwrap(other));
        }
        template <class O>
        bool isDisjoint(const O& other) const {
            return base_.isDisjoint(unwrap(other));
        }

    private:
        template <class O>
        static const auto& unwrap(const O& other) {
            if constexpr (std::is_same_v<O, UnorderedView>) {
                return other.base_;
            } else {
                return other;
            }
        }

        OrderedSet base_;
    };

    UnorderedView unordered() const& { return UnorderedView(*this); }
    UnorderedView unordered() && { return UnorderedView(std::move(*this)); }

    // The table's buckets in order: the offset each holds, or nothing when empty. Empty when
    // there is no table.
    std::vector<std::optional<size_type>> hashTableContents() const {
        return table_ ? table_->debugContents() : std::vector<std::optional<size_type>>();
    }

    // A set with a chosen table shape, for tests of the index: scale 0 (no table, at most 15
    // members) or minimumScale...maximumScale, and a bias below 2^scale - 1 (0 without a
    // table). Anything else, or repeated members, throws std::invalid_argument.
    static OrderedSet withTableShape(int scale, size_type bias, std::vector<T> contents) {
        if (scale < 0 || scale > HashTable::maximumScale ||
            scale < HashTable::scaleForCapacity(contents.size())) {
            throw std::invalid_argument("OrderedSet: scale out of range for the contents");
        }
        const size_type biasLimit = std::max<size_type>(1, (size_type{1} << scale) - 1);
        if (bias >= biasLimit || (scale < HashTable::minimumScale && bias != 0) ||
            (scale != 0 && scale < HashTable::minimumScale)) {
            throw std::invalid_argument("OrderedSet: bias or scale out of range");
        }
        OrderedSet set;
        set.elements_ = std::move(contents);
        HashTable table(std::max(scale, HashTable::minimumScale), 0);
        table.setBias(static_cast<std::ptrdiff_t>(bias));
        const size_type end = table.fillUntilFirstDuplicate(
            set.size(), set.hashAt(),
            [&](size_type i, size_type j) { return set.eq_(set.elements_[i], set.elements_[j]); });
        if (end != set.size()) {
            throw std::invalid_argument("OrderedSet: repeated member");
        }
        if (scale >= HashTable::minimumScale) {
            set.table_ = std::move(table);
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

    void checkRange(size_type lower, size_type upper) const {
        if (lower > upper || upper > size()) {
            throw std::out_of_range("ordered collection range out of range");
        }
    }
    void checkNotEmpty() const {
        if (empty()) {
            throw std::out_of_range("ordered collection is empty");
        }
    }
    void checkCount(size_type k) const {
        if (k > size()) {
            throw std::out_of_range("ordered collection count out of range");
        }
    }

    static std::uint64_t hashMembers(std::span<const T> members, const Hash& hash,
                                     std::uint64_t seed) {
        Hasher hasher(seed);
        hasher.combine(members.size());
        for (const T& member : members) {
            hasher.combine(static_cast<std::uint64_t>(hash(member)));
        }
        return hasher.finalize();
    }

    // The lookup result for the member at `index`, as removeExistingMember wants it.
    Slot slotOf(size_type index) const {
        if (!table_) {
            return {index, {}, 0};
        }
        const std::uint64_t hash = hashOf(elements_[index], table_->seed());
        return {index, table_->bucketFor(index, hash), hash};
    }

    // The largest number of buckets patched one by one; beyond it a pass over the whole table
    // is cheaper.
    size_type patchLimit() const noexcept { return capacity() / 3; }

    // After the members at i and j were exchanged.
    void patchSwap(size_type i, size_type j) {
        if (!table_) {
            return;
        }
        table_->renumber(j, i, hashOf(elements_[i], table_->seed()));
        table_->renumber(i, j, hashOf(elements_[j], table_->seed()));
    }

    // Empties the table and indexes the members again, keeping scale, reservation and seed.
    void refillHashTable() {
        if (table_) {
            table_->clear();
            table_->fill(size(), hashAt());
        }
    }

    template <class OnMove>
    void moveSubrangeImpl(size_type lower, size_type upper, size_type insertionIndex,
                          OnMove&& onMove) {
        const size_type n = upper - lower;
        const size_type to =
            insertionIndex - std::min(n, insertionIndex > lower ? insertionIndex - lower : 0);
        std::vector<size_type> sources(n);
        for (size_type k = 0; k < n; ++k) {
            sources[k] = lower + k;
        }
        moveOffsets(std::move(sources), to, onMove);
    }

    template <class R, class OnMove>
    void moveMembersImpl(R& members, size_type insertionIndex, OnMove&& onMove) {
        checkInsertionIndex(insertionIndex);
        std::vector<size_type> sources;
        size_type below = 0;
        for (auto&& member : members) {
            if (const auto offset = indexOf(member)) {
                sources.push_back(*offset);
                below += *offset < insertionIndex ? 1 : 0;
            }
        }
        moveOffsets(std::move(sources), insertionIndex - below, onMove);
    }

    template <class R, class OnMove>
    void moveIndicesImpl(R& indices, size_type insertionIndex, OnMove&& onMove) {
        checkInsertionIndex(insertionIndex);
        std::vector<size_type> sources;
        size_type below = 0;
        for (auto&& index : indices) {
            const auto offset = static_cast<size_type>(index);
            checkIndex(offset);
            sources.push_back(offset);
            below += offset < insertionIndex ? 1 : 0;
        }
        moveOffsets(std::move(sources), insertionIndex - below, onMove);
    }

    // Puts the members at `sources` (in that order) at to ..< to + n, the others in their order
    // around them, and hands the same move to `onMove(sources, sorted, contiguous, to)`.
    template <class OnMove>
    void moveOffsets(std::vector<size_type> sources, size_type to, OnMove&& onMove) {
        const size_type n = sources.size();
        if (n == 0) {
            return;
        }
        bool contiguous = true;
        bool ascending = true;
        for (size_type k = 1; k < n; ++k) {
            contiguous = contiguous && sources[k] == sources[k - 1] + 1;
            ascending = ascending && sources[k] > sources[k - 1];
        }
        if (contiguous && sources.front() == to) {
            return;
        }
        std::vector<size_type> sorted;
        if (!ascending) {
            sorted = sources;
            std::sort(sorted.begin(), sorted.end());
            if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
                throw std::invalid_argument("ordered collection: a member is moved twice");
            }
        }
        const std::span<const size_type> sortedSpan = ascending ? sources : sorted;
        detail::moveInBuffer(elements_, sources, sortedSpan, contiguous, to);
        updateHashAfterMove(sources, sortedSpan, contiguous, to);
        onMove(std::span<const size_type>(sources), sortedSpan, contiguous, to);
    }

    void updateHashAfterMove(std::span<const size_type> sources, std::span<const size_type> sorted,
                             bool contiguous, size_type to) {
        if (!table_) {
            return;
        }
        const size_type n = sources.size();
        const size_type lo = std::min(to, sorted.front());
        const size_type hi = std::max(to + n - 1, sorted.back());
        const size_type limit = patchLimit();
        const size_type src = sorted.front();
        const size_type distance = to > src ? to - src : src - to;
        const bool patch = contiguous ? n <= limit && distance <= limit : hi - lo + 1 <= limit;
        if (patch) {
            std::vector<size_type> oldOffsetAt(hi - lo + 1);
            for (size_type k = 0; k < n; ++k) {
                oldOffsetAt[to + k - lo] = sources[k];
            }
            // The unmoved members of the span keep their order: walk their old offsets.
            size_type old = lo;
            size_type next = 0;
            const auto nextUnmoved = [&] {
                while (next < n && sorted[next] == old) {
                    ++next;
                    ++old;
                }
                return old++;
            };
            for (size_type p = lo; p < to; ++p) {
                oldOffsetAt[p - lo] = nextUnmoved();
            }
            for (size_type p = to + n; p <= hi; ++p) {
                oldOffsetAt[p - lo] = nextUnmoved();
            }
            for (size_type p = lo; p <= hi; ++p) {
                if (oldOffsetAt[p - lo] != p) {
                    table_->renumber(oldOffsetAt[p - lo], p, hashOf(elements_[p], table_->seed()));
                }
            }
        } else if (contiguous) {
            if (to > src) {
                table_->rewriteOffsets([&](size_type o) {
                    return o >= src && o < src + n      ? o + distance
                           : o >= src + n && o < to + n ? o - n
                                                        : o;
                });
            } else {
                table_->rewriteOffsets([&](size_type o) {
                    return o >= src && o < src + n ? o - distance : o >= to && o < src ? o + n : o;
                });
            }
        } else {
            refillHashTable();
        }
    }

    // Two-ended partition over offsets: `secondGroup(i)` tests the member at i, `onSwap(a, b)`
    // follows every exchange (the dictionary swaps its values there).
    template <class Predicate, class OnSwap>
    size_type partitionImpl(Predicate&& secondGroup, OnSwap&& onSwap) {
        size_type lo = 0;
        size_type hi = size();
        for (;;) {
            while (lo < hi && !secondGroup(lo)) {
                ++lo;
            }
            if (lo == hi) {
                return lo;
            }
            --hi;
            while (hi > lo && secondGroup(hi)) {
                --hi;
            }
            if (hi == lo) {
                return lo;
            }
            std::swap(elements_[lo], elements_[hi]);
            patchSwap(lo, hi);
            onSwap(lo, hi);
            ++lo;
        }
    }

    // The offsets for which `remove(i)` is false, ascending; every test runs before any change.
    template <class Remove>
    std::vector<size_type> keptOffsets(Remove&& remove) const {
        std::vector<size_type> kept;
        kept.reserve(size());
        for (size_type i = 0; i < size(); ++i) {
            if (!remove(i)) {
                kept.push_back(i);
            }
        }
        return kept;
    }

    template <class S>
    bool isSubsetOfHashed(const S& other) const {
        if (other.size() < size()) {
            return false;
        }
        for (const T& member : elements_) {
            if (!other.contains(member)) {
                return false;
            }
        }
        return true;
    }

    template <class S>
    bool isDisjointWithHashed(const S& other) const {
        if (empty() || other.size() == 0) {
            return true;
        }
        if (other.size() >= size()) {
            for (const T& member : elements_) {
                if (other.contains(member)) {
                    return false;
                }
            }
            return true;
        }
        for (auto&& item : other) {
            if (contains(item)) {
                return false;
            }
        }
        return true;
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
