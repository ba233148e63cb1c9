#include "ml/PageBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <utility>

#include "ml/MultiArray.h"

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

TEST(PageBuffer, IsZeroedAndWritableOverItsWholeSize) {
    // Below a page, a few pages, and around and past the 2 MiB where huge pages start, where the
    // mapping is trimmed to an aligned start.
    for (const std::size_t size : std::initializer_list<std::size_t>{
             1, 4096, 256 * 1024 + 3, 2 * kMiB - 1, 2 * kMiB, 2 * kMiB + 4097, 5 * kMiB + 1}) {
        SCOPED_TRACE(size);
        ml::PageBuffer buffer(size);
        ASSERT_EQ(buffer.size(), size);
        EXPECT_FALSE(buffer.empty());
        std::byte* data = buffer.data();
        EXPECT_TRUE(std::all_of(data, data + size, [](std::byte b) { return b == std::byte{0}; }));
        if (size >= 2 * kMiB) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data) % (2 * kMiB), 0u);
        }
        std::fill(data, data + size, std::byte{0x5a});
        EXPECT_EQ(data[0], std::byte{0x5a});
        EXPECT_EQ(data[size - 1], std::byte{0x5a});
    }
    EXPECT_TRUE(ml::PageBuffer(0).empty());
    EXPECT_EQ(ml::PageBuffer(0).data(), nullptr);
}

TEST(PageBuffer, MovingHandsThePagesOver) {
    ml::PageBuffer first(3 * kMiB);
    first.data()[42] = std::byte{7};
    std::byte* const data = first.data();
    ml::PageBuffer second(std::move(first));
    EXPECT_TRUE(first.empty());  // NOLINT(bugprone-use-after-move): moved-from state is specified
    EXPECT_EQ(first.data(), nullptr);
    EXPECT_EQ(second.data(), data);
    EXPECT_EQ(second.data()[42], std::byte{7});
    ml::PageBuffer third(4096);
    third = std::move(second);  // the third's own pages go
    EXPECT_EQ(third.data(), data);
    EXPECT_EQ(third.size(), 3 * kMiB);
}

TEST(PageArray, HoldsItsCountOfZeroedElements) {
    ml::PageArray<float> array(600000);
    ASSERT_EQ(array.size(), 600000u);
    EXPECT_TRUE(
        std::all_of(array.span().begin(), array.span().end(), [](float v) { return v == 0.0f; }));
    array.data()[599999] = 2.5f;
    ml::PageArray<float> moved(std::move(array));
    EXPECT_EQ(moved.data()[599999], 2.5f);
    EXPECT_TRUE(ml::PageArray<float>().empty());
}

TEST(PageBuffer, LargeMultiArraysStartZeroedAndAligned) {
    ml::MultiArray audio({480000}, ml::MultiArrayDataType::float32);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(audio.dataPointer()) % 64, 0u);
    const std::span<const float> samples = std::as_const(audio).span<float>();
    EXPECT_TRUE(std::all_of(samples.begin(), samples.end(), [](float v) { return v == 0.0f; }));
    const ml::MultiArray copy = audio.copy();
    audio.data<float>()[479999] = 1.0f;
    EXPECT_EQ(copy[479999], 0.0);
    EXPECT_EQ(audio[479999], 1.0);
}

}  // namespace
