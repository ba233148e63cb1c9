#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

namespace ml {

// Zeroed memory in pages of its own, mapped from the kernel and made resident when it is made,
// for the large working arrays of the model stages (several megabytes each).
//
// A page first touched by a program costs a fault each, about 10-15 µs on a virtual machine:
// hundreds of microseconds per megabyte, several times the work done on it by a window. Made
// resident in one call, the same pages cost a small fraction of that, and the 2 MiB-aligned
// parts of a buffer of 2 MiB or more are backed by huge pages where the system allows them on
// request (one fault and one TLB entry per 2 MiB). Nothing is rounded up to a huge page: a buffer
// keeps exactly the resident size a heap block of its size would.
//
// The pages go back to the system when the buffer goes, instead of staying in the heap for
// whatever asks next. Throws std::bad_alloc when the system has no room.
class PageBuffer {
public:
    PageBuffer() noexcept = default;
    // Only the first `resident` bytes are made resident at once; the rest come a small page at
    // a time when first touched (room to grow into).
    explicit PageBuffer(std::size_t bytes, std::size_t resident = SIZE_MAX);
    PageBuffer(PageBuffer&& other) noexcept
        : mapping_(std::exchange(other.mapping_, nullptr)),
          mappedBytes_(std::exchange(other.mappedBytes_, 0)),
          size_(std::exchange(other.size_, 0)) {}
    PageBuffer& operator=(PageBuffer&& other) noexcept {
        PageBuffer gone(std::move(*this));
        mapping_ = std::exchange(other.mapping_, nullptr);
        mappedBytes_ = std::exchange(other.mappedBytes_, 0);
        size_ = std::exchange(other.size_, 0);
        return *this;
    }
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    ~PageBuffer();

    std::byte* data() const noexcept { return static_cast<std::byte*>(mapping_); }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

private:
    void* mapping_ = nullptr;
    std::size_t mappedBytes_ = 0;
    std::size_t size_ = 0;
};

// Makes the whole pages within [bytes, bytes + size) of writable private memory (heap memory
// included) resident in one call, where first writes would fault them in one by one. A no-op for
// pages already present, and on kernels without the call.
void makeResident(void* bytes, std::size_t size) noexcept;

// `count` zeroed elements of a trivially copyable type (all bits zero) in a PageBuffer.
template <class T>
requires std::is_trivially_copyable_v<T>
class PageArray {
public:
    PageArray() noexcept = default;
    // The first `resident` elements are made resident at once (see PageBuffer).
    explicit PageArray(std::size_t count, std::size_t resident = SIZE_MAX)
        : bytes_(bytesFor(count), resident < count ? resident * sizeof(T) : SIZE_MAX),
          count_(count) {}
    PageArray(PageArray&& other) noexcept
        : bytes_(std::move(other.bytes_)), count_(std::exchange(other.count_, 0)) {}
    PageArray& operator=(PageArray&& other) noexcept {
        bytes_ = std::move(other.bytes_);
        count_ = std::exchange(other.count_, 0);
        return *this;
    }

    T* data() noexcept { return reinterpret_cast<T*>(bytes_.data()); }
    const T* data() const noexcept { return reinterpret_cast<const T*>(bytes_.data()); }
    std::size_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }
    std::span<T> span() noexcept { return {data(), count_}; }
    std::span<const T> span() const noexcept { return {data(), count_}; }

private:
    static std::size_t bytesFor(std::size_t count) {
        if (count > SIZE_MAX / sizeof(T))
            throw std::bad_alloc();
        return count * sizeof(T);
    }

    PageBuffer bytes_;
    std::size_t count_ = 0;
};

}  // namespace ml
