#include "ml/PageBuffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <new>

namespace ml {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t roundUp(std::size_t n, std::size_t unit) {
    return (n + unit - 1) / unit * unit;
}

std::size_t pageSize() {
    static const std::size_t size = [] {
        const long s = ::sysconf(_SC_PAGESIZE);
        return s > 0 ? static_cast<std::size_t>(s) : std::size_t{4096};
    }();
    return size;
}

}  // namespace

PageBuffer::PageBuffer(std::size_t bytes, std::size_t resident) {
    if (bytes == 0)
        return;
    const std::size_t page = pageSize();
    if (bytes > SIZE_MAX - kHugePage)
        throw std::bad_alloc();
    const std::size_t length = roundUp(bytes, page);
    // Room to grow into keeps small pages: a huge page would make up to 2 MiB of it resident
    // at the first write.
    const bool huge = length >= kHugePage && resident >= bytes;
    // A huge page needs a 2 MiB-aligned start: map a huge page more and give back what lies
    // before the aligned start and after the buffer's end.
    const std::size_t reserved = huge ? length + kHugePage : length;
    void* raw =
        ::mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        throw std::bad_alloc();
    auto* start = static_cast<std::byte*>(raw);
    if (huge) {
        const auto address = reinterpret_cast<std::uintptr_t>(raw);
        const std::size_t head = roundUp(address, kHugePage) - address;
        if (head != 0)
            ::munmap(raw, head);
        start += head;
        const std::size_t tail = reserved - head - length;
        if (tail != 0)
            ::munmap(start + length, tail);
        // Advice only: where huge pages are off, or none is free, the range keeps small pages.
        ::madvise(start, length, MADV_HUGEPAGE);
    }
#ifdef MADV_POPULATE_WRITE
    // Fails on kernels before 5.14; the pages then come on first touch, as heap memory's do.
    ::madvise(start, std::min(length, roundUp(std::min(resident, bytes), page)),
              MADV_POPULATE_WRITE);
#endif
    mapping_ = start;
    mappedBytes_ = length;
    size_ = bytes;
}

void makeResident(void* bytes, std::size_t size) noexcept {
#ifdef MADV_POPULATE_WRITE
    const std::size_t page = pageSize();
    const auto address = reinterpret_cast<std::uintptr_t>(bytes);
    const std::uintptr_t begin = roundUp(address, page);
    const std::uintptr_t end = (address + size) / page * page;
    if (end > begin)
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
    (void)bytes;
    (void)size;
#endif
}

PageBuffer::~PageBuffer() {
    if (mapping_ != nullptr)
        ::munmap(mapping_, mappedBytes_);
}

}  // namespace ml
