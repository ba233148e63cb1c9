#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

namespace templates {

// An immutable array whose elements live in one shared, reference-counted buffer: copying costs
// one reference whatever the length, so syntax trees and values can hand their lists around
// freely. T may be incomplete where the array is only stored or copied.
//
// Invariant: storage_ is null exactly when the array is empty.
template <class T>
class SharedArray {
public:
    SharedArray() noexcept = default;
    SharedArray(std::vector<T> items)  // NOLINT(google-explicit-constructor): arrays are values
        : storage_(items.empty() ? nullptr
                                 : std::make_shared<const std::vector<T>>(std::move(items))) {}
    SharedArray(std::initializer_list<T> items) : SharedArray(std::vector<T>(items)) {}

    std::size_t size() const noexcept { return storage_ ? storage_->size() : 0; }
    bool empty() const noexcept { return !storage_; }

    const T* begin() const noexcept { return storage_ ? storage_->data() : nullptr; }
    const T* end() const noexcept {
        return storage_ ? storage_->data() + storage_->size() : nullptr;
    }
    const T& operator[](std::size_t i) const { return (*storage_)[i]; }
    const T& front() const { return storage_->front(); }
    const T& back() const { return storage_->back(); }

    std::vector<T> toVector() const { return std::vector<T>(begin(), end()); }

    // True when both arrays are the same buffer (two empty arrays share "no buffer").
    bool sharesStorageWith(const SharedArray& other) const noexcept {
        return storage_ == other.storage_;
    }

private:
    std::shared_ptr<const std::vector<T>> storage_;
};

}  // namespace templates
