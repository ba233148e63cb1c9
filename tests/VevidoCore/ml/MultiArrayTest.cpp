#include "ml/MultiArray.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "ml/MultiArrayCreationError.h"
#include "ml/ShapedArray.h"

namespace {

using ml::Float16;
using ml::ModelError;
using ml::MultiArray;
using ml::MultiArrayDataType;

std::vector<double> values(const MultiArray& a) {
    std::vector<double> out;
    for (std::int64_t i = 0; i < a.count(); ++i)
        out.push_back(a[i]);
    return out;
}

TEST(MultiArray, DataTypeCodesAndShapeLayout) {
    EXPECT_EQ(static_cast<int>(MultiArrayDataType::float16), 65552);
    EXPECT_EQ(static_cast<int>(MultiArrayDataType::float32), 65568);
    EXPECT_EQ(static_cast<int>(MultiArrayDataType::float64), 65600);
    EXPECT_EQ(static_cast<int>(MultiArrayDataType::int32), 131104);
    EXPECT_EQ(static_cast<int>(MultiArrayDataType::int8), 131080);

    MultiArray a({2, 3, 4}, MultiArrayDataType::float32);
    EXPECT_EQ(a.count(), 24);
    EXPECT_EQ(a.strides(), (std::vector<std::int64_t>{12, 4, 1}));
    EXPECT_EQ(a.byteCount(), 96u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.dataPointer()) % 64, 0u);
    EXPECT_EQ(values(a), std::vector<double>(24, 0.0));  // a new buffer starts zeroed
}

TEST(MultiArray, InitialValueFillsEveryElementConvertedToTheElementType) {
    const std::vector<std::int64_t> shape{2, 3};
    struct Case {
        MultiArray array;
        double expected;
    };
    const Case cases[] = {
        {MultiArray({1, 448}, MultiArrayDataType::float16, Float16(-1.5f)), -1.5},
        {MultiArray(shape, MultiArrayDataType::float32, 2.5f), 2.5},
        {MultiArray(shape, MultiArrayDataType::float64, 0.25), 0.25},
        {MultiArray(shape, MultiArrayDataType::int32, std::int32_t{-7}), -7},
        {MultiArray(shape, MultiArrayDataType::int8, std::int8_t{5}), 5},
        // A value of another type is converted (floating to integer truncates and saturates).
        {MultiArray(shape, MultiArrayDataType::float32, 1), 1},
        {MultiArray(shape, MultiArrayDataType::float16, 1.0), 1},
        {MultiArray(shape, MultiArrayDataType::float64, Float16(0.5f)), 0.5},
        {MultiArray(shape, MultiArrayDataType::int32, -2.75f), -2},
        {MultiArray(shape, MultiArrayDataType::int8, 1000), 127},
        {MultiArray(shape, MultiArrayDataType::float16, std::int64_t{-3}), -3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ml::dataTypeName(c.array.dataType()));
        EXPECT_EQ(values(c.array), std::vector<double>(c.array.count(), c.expected));
    }
}

TEST(MultiArray, BadShapesAreRefused) {
    EXPECT_THROW(MultiArray({}, MultiArrayDataType::float16), ml::MultiArrayCreationError);
    try {
        MultiArray({}, MultiArrayDataType::float16, Float16(0.0f));
        FAIL();
    } catch (const ml::MultiArrayCreationError& e) {
        EXPECT_STREQ(e.what(), "Failed to create IOSurface-backed pixel buffer for MLMultiArray");
    }
    EXPECT_THROW(MultiArray({}, MultiArrayDataType::float32), ModelError);
    EXPECT_THROW(MultiArray({2, -1}, MultiArrayDataType::int32), ModelError);
    EXPECT_THROW(MultiArray({1 << 30, 1 << 30, 1 << 30}, MultiArrayDataType::int8), ModelError);
}

TEST(MultiArray, CopiesShareTheBufferUnlessCopiedExplicitly) {
    MultiArray a({4}, MultiArrayDataType::int32);
    MultiArray shared = a;
    MultiArray own = a.copy();
    shared.setValue(2, 9);
    EXPECT_EQ(a[2], 9);
    EXPECT_EQ(own[2], 0);
    EXPECT_TRUE(a.sharesStorageWith(shared));
    EXPECT_FALSE(a.sharesStorageWith(own));
}

TEST(MultiArray, WriteAccessThroughAnyHandleBreaksTheSeal) {
    using Write = void (*)(ml::MultiArray&);
    const Write writes[] = {
        [](ml::MultiArray& a) { a.data<ml::Float16>(); },
        [](ml::MultiArray& a) { a.span<ml::Float16>(); },
        [](ml::MultiArray& a) { a.dataPointer(); },
        [](ml::MultiArray& a) { a.setValue(0, 1.0); },
        [](ml::MultiArray& a) { a.fillLastDimension(0, 1, ml::Float16(1.0f)); },
        [](ml::MultiArray& a) {
            const std::vector<std::vector<std::int64_t>> at{{0, 0, 1}};
            a.fill<ml::Float16>(at, ml::Float16(2.0f));
        },
    };
    // A small buffer and one large enough for pages of its own keep their seal alike.
    for (const std::int64_t length : {4, 1 << 20}) {
        for (const Write write : writes) {
            ml::MultiArray sealed({1, 1, length}, ml::MultiArrayDataType::float16);
            EXPECT_FALSE(sealed.isSealed());
            sealed.seal();
            const ml::MultiArray reader = sealed;
            ml::MultiArray writer = sealed;
            EXPECT_TRUE(reader.isSealed());
            (void)reader.data<ml::Float16>();  // reading keeps it
            (void)reader.value(0);
            EXPECT_TRUE(sealed.isSealed());
            EXPECT_FALSE(sealed.buffer().owner_before(reader.buffer()) ||
                         reader.buffer().owner_before(sealed.buffer()));
            write(writer);
            EXPECT_FALSE(reader.isSealed());
            EXPECT_FALSE(sealed.copy().isSealed());
        }
    }
}

TEST(MultiArray, TypedAccessChecksTheElementType) {
    MultiArray a({3}, MultiArrayDataType::float16);
    EXPECT_NO_THROW(a.data<Float16>());
    EXPECT_THROW(a.data<float>(), ModelError);
    EXPECT_THROW(a.span<std::int32_t>(), ModelError);
}

TEST(MultiArray, NumericBoxesConvertToTheElementType) {
    MultiArray mask({1, 224}, MultiArrayDataType::float16);
    mask.setValue(0, -10000);
    EXPECT_EQ(mask.data<Float16>()[0].bits, 0xF0E2);
    EXPECT_EQ(mask[0], -10000);

    MultiArray ints({3}, MultiArrayDataType::int32);
    ints.setValue(0, 3.7);
    ints.setValue(1, -1e12);  // saturates instead of overflowing
    ints.setValue(2, std::nan(""));
    EXPECT_EQ(values(ints), (std::vector<double>{3, -2147483648.0, 0}));

    EXPECT_EQ(ints.value(std::vector<std::int64_t>{1}), -2147483648.0);
    EXPECT_THROW(ints.value(std::vector<std::int64_t>{3}), ModelError);
    EXPECT_THROW(ints.value(std::vector<std::int64_t>{0, 0}), ModelError);
    EXPECT_THROW(ints.setValue(3, 1), ModelError);
}

TEST(MultiArray, FromIntegersMakesAnInt32ArrayOfTheAskedRank) {
    const MultiArray a = MultiArray::from({5, 7, 9}, 3);
    EXPECT_EQ(a.shape(), (std::vector<std::int64_t>{1, 1, 3}));
    EXPECT_EQ(a.dataType(), MultiArrayDataType::int32);
    EXPECT_EQ(values(a), (std::vector<double>{5, 7, 9}));
    EXPECT_EQ(MultiArray::from({50259}, 1).shape(), (std::vector<std::int64_t>{1}));

    EXPECT_THROW(MultiArray::from({1}, 0), ModelError);
    EXPECT_THROW(MultiArray::from({std::int64_t{1} << 31}, 1), ModelError);
}

TEST(MultiArray, LinearOffsetRunsOverTheShorterList) {
    const MultiArray a({2, 3, 4}, MultiArrayDataType::float32);
    struct Case {
        std::vector<std::int64_t> index;
        std::vector<std::int64_t> strides;
        std::int64_t expected;
    };
    const Case cases[] = {
        {{1, 2}, {10, 1, 5}, 12},
        {{1, 2}, {10}, 10},
        {{}, {10, 1}, 0},
        {{1, 2, 3}, {}, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MultiArray::linearOffset(c.index, c.strides), c.expected);
    }
    EXPECT_EQ(a.linearOffset(std::vector<std::int64_t>{1, 2, 3}), 23);
}

TEST(MultiArray, FillWritesEveryIndexOrNothing) {
    const Float16 minusInfinity = Float16::fromBits(0xFC00);
    MultiArray logits({1, 1, 8}, MultiArrayDataType::float16, Float16(1.0f));
    const std::vector<std::vector<std::int64_t>> indexes{{0, 0, 1}, {0, 0, 6}, {0, 0, 1}};
    logits.fill(std::span(indexes), minusInfinity);
    for (std::int64_t i = 0; i < 8; ++i) {
        EXPECT_EQ(logits[i], (i == 1 || i == 6) ? -INFINITY : 1.0) << i;
    }

    // A value of another type, or an index past the end, writes nothing at all.
    MultiArray fresh({1, 1, 8}, MultiArrayDataType::float16);
    const std::vector<std::vector<std::int64_t>> outside{{0, 0, 2}, {0, 0, 8}};
    EXPECT_THROW(fresh.fill(std::span(indexes), -1.0f), ModelError);
    EXPECT_THROW(fresh.fill(std::span(outside), minusInfinity), ModelError);
    EXPECT_EQ(values(fresh), std::vector<double>(8, 0.0));
}

TEST(MultiArray, FillLastDimensionWritesTheRange) {
    MultiArray logits({1, 1, 6}, MultiArrayDataType::float16);
    logits.fillLastDimension(2, 5, Float16(-3.0f));
    EXPECT_EQ(values(logits), (std::vector<double>{0, 0, -3, -3, -3, 0}));
    logits.fillLastDimension(3, 3, Float16(7.0f));  // empty range
    logits.fillLastDimension(0, 6, Float16(1.0f));
    EXPECT_EQ(values(logits), std::vector<double>(6, 1.0));

    EXPECT_THROW(logits.fillLastDimension(4, 7, Float16(0.0f)), ModelError);
    EXPECT_THROW(logits.fillLastDimension(-1, 2, Float16(0.0f)), ModelError);
    MultiArray flat({6}, MultiArrayDataType::float16);
    EXPECT_THROW(flat.fillLastDimension(0, 1, Float16(0.0f)), ModelError);
    MultiArray single({1, 1, 6}, MultiArrayDataType::float32);
    EXPECT_THROW(single.fillLastDimension(0, 1, Float16(0.0f)), ModelError);
}

TEST(MultiArray, ConvertedAndShapedArraysKeepValues) {
    MultiArray half({2, 2}, MultiArrayDataType::float16);
    for (int i = 0; i < 4; ++i)
        half.setValue(i, 0.5 * i - 1);
    const MultiArray single = half.converted(MultiArrayDataType::float32);
    EXPECT_EQ(single.dataType(), MultiArrayDataType::float32);
    EXPECT_EQ(values(single), (std::vector<double>{-1, -0.5, 0, 0.5}));
    EXPECT_FALSE(single.sharesStorageWith(half));

    MultiArray big({2}, MultiArrayDataType::float32);
    big.setValue(0, 1e10);
    big.setValue(1, -2.9);
    EXPECT_EQ(values(big.converted(MultiArrayDataType::int8)), (std::vector<double>{127, -2}));

    const ml::ShapedArray<float> shaped(half);
    EXPECT_EQ(shaped.shape(), half.shape());
    EXPECT_EQ(shaped.scalars(), (std::vector<float>{-1, -0.5f, 0, 0.5f}));
    const MultiArray back = ml::ShapedArray<std::int32_t>({3}, {4, 5, 6}).multiArray();
    EXPECT_EQ(back.dataType(), MultiArrayDataType::int32);
    EXPECT_EQ(values(back), (std::vector<double>{4, 5, 6}));
    EXPECT_THROW(ml::ShapedArray<float>({2, 2}, {1, 2, 3}), ModelError);
}

}  // namespace
