#pragma once

#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "ml/Float16.h"
#include "ml/ModelError.h"

namespace ml {

// Element types of a multi-array. The values are the codes models and callers test for: the high
// half says integer (2) or floating point (1), the low byte the width in bits.
enum class MultiArrayDataType : std::int32_t {
    float16 = 0x10010,
    float32 = 0x10020,
    float64 = 0x10040,
    int32 = 0x20020,
    int8 = 0x20008,
};

// Bytes per element.
constexpr std::size_t byteWidth(MultiArrayDataType type) {
    return static_cast<std::size_t>(static_cast<std::int32_t>(type) & 0xff) / 8;
}
// "float16", "float32", "float64", "int32" or "int8" (the spelling of model descriptions).
std::string_view dataTypeName(MultiArrayDataType type);
std::optional<MultiArrayDataType> dataTypeNamed(std::string_view name);

template <class T>
concept MultiArrayElement = std::same_as<T, Float16> || std::same_as<T, float> ||
    std::same_as<T, double> || std::same_as<T, std::int32_t> || std::same_as<T, std::int8_t>;

template <MultiArrayElement T>
constexpr MultiArrayDataType dataTypeOf() {
    if constexpr (std::same_as<T, Float16>)
        return MultiArrayDataType::float16;
    if constexpr (std::same_as<T, float>)
        return MultiArrayDataType::float32;
    if constexpr (std::same_as<T, double>)
        return MultiArrayDataType::float64;
    if constexpr (std::same_as<T, std::int32_t>)
        return MultiArrayDataType::int32;
    if constexpr (std::same_as<T, std::int8_t>)
        return MultiArrayDataType::int8;
}

// "[1, 80, 1, 3000]", for messages.
std::string shapeText(std::span<const std::int64_t> shape);

// A dense multi-dimensional array of one element type, laid out row-major (last dimension
// fastest) with no padding: strides are always the products of the later dimensions.
//
// A MultiArray is a handle to a buffer. Copying the handle shares the buffer, so a write through
// one copy is seen through every other; copy() makes an independent buffer. A new buffer starts
// zeroed and is aligned to 64 bytes. No operation locks: one array must not be written from two
// threads at once.
//
// A buffer can be sealed by whoever filled it (a model's output, by the program that computed
// it): from then on until anyone asks for write access to its elements through any handle
// (non-const data(), span() or dataPointer(), setValue(), fill(), fillLastDimension()), the
// elements stay as they were, and a consumer that derived something from them may recognise the
// buffer by identity instead of comparing its content. Write access breaks the seal for good.
class MultiArray {
public:
    // A zeroed array. Throws MultiArrayCreationError for a half-precision array with an empty
    // shape, ModelError for any other empty shape, a negative dimension or a size that overflows.
    MultiArray(std::vector<std::int64_t> shape, MultiArrayDataType dataType);

    // An array whose every element is `initialValue`. A value of another numeric type (an int
    // for a float32 array) is converted to the element type as setValue() converts.
    template <class T>
    requires std::is_arithmetic_v<T> || std::same_as<T, Float16> MultiArray(
        std::vector<std::int64_t> shape, MultiArrayDataType dataType, T initialValue)
        : MultiArray(std::move(shape), dataType) {
        if constexpr (MultiArrayElement<T>) {
            if (dataTypeOf<T>() == dataType_) {
                T* p = data<T>();
                for (std::int64_t i = 0; i < count_; ++i)
                    p[i] = initialValue;
                return;
            }
        }
        if constexpr (std::same_as<T, Float16>)
            fillWith(static_cast<double>(static_cast<float>(initialValue)));
        else
            fillWith(static_cast<double>(initialValue));
    }

    // A 32-bit integer array of `dims` dimensions, all 1 but the last, which holds `values` in
    // order. Throws ModelError when `dims` is below 1 or a value does not fit in 32 bits.
    static MultiArray from(std::span<const std::int64_t> values, int dims);
    static MultiArray from(std::initializer_list<std::int64_t> values, int dims) {
        return from(std::span<const std::int64_t>(values.begin(), values.size()), dims);
    }

    // A new array of the given type holding this one's values converted element by element
    // (floating to integer truncates toward zero and saturates; NaN becomes 0).
    MultiArray converted(MultiArrayDataType dataType) const;
    // A new array with its own buffer holding the same elements.
    MultiArray copy() const;

    const std::vector<std::int64_t>& shape() const { return shape_; }
    const std::vector<std::int64_t>& strides() const { return strides_; }
    MultiArrayDataType dataType() const { return dataType_; }
    std::int64_t count() const { return count_; }
    std::size_t byteCount() const {
        return static_cast<std::size_t>(count_) * byteWidth(dataType_);
    }

    void* dataPointer() {
        breakSeal();
        return storage_.get();
    }
    const void* dataPointer() const { return storage_.get(); }

    // The elements as T. Throws ModelError when T is not the array's element type.
    template <MultiArrayElement T>
    T* data() {
        checkElementType(dataTypeOf<T>());
        return static_cast<T*>(dataPointer());
    }
    template <MultiArrayElement T>
    const T* data() const {
        checkElementType(dataTypeOf<T>());
        return static_cast<const T*>(dataPointer());
    }
    template <MultiArrayElement T>
    std::span<T> span() {
        return {data<T>(), static_cast<std::size_t>(count_)};
    }
    template <MultiArrayElement T>
    std::span<const T> span() const {
        return {data<T>(), static_cast<std::size_t>(count_)};
    }

    // Element `linearIndex` as a number, and its replacement by a number converted to the
    // element type (as value() of converted() would). Throw ModelError outside the array.
    double value(std::int64_t linearIndex) const;
    void setValue(std::int64_t linearIndex, double value);
    // The element at a full index (one entry per dimension, each inside its dimension).
    double value(std::span<const std::int64_t> index) const;
    double operator[](std::int64_t linearIndex) const { return value(linearIndex); }

    // Sum of index[i] * strides[i] over the shorter of the two lists; the array's own strides
    // when none are given. Nothing is checked: an empty index gives 0.
    std::int64_t linearOffset(std::span<const std::int64_t> index) const {
        return linearOffset(index, strides_);
    }
    static std::int64_t linearOffset(std::span<const std::int64_t> index,
                                     std::span<const std::int64_t> strides);

    // Writes `value` at every index of the list, in order. T must be the element type, and every
    // index must land inside the array; otherwise ModelError is thrown before anything is written.
    template <MultiArrayElement T>
    void fill(std::span<const std::vector<std::int64_t>> indexes, T value) {
        T* p = data<T>();
        for (const auto& index : indexes)
            checkOffset(linearOffset(index));
        for (const auto& index : indexes)
            p[linearOffset(index)] = value;
    }

    // Writes `value` at positions [begin, end) of the last dimension of a half-precision array of
    // shape [1, 1, n]. Throws ModelError for another shape or type or a range outside 0..<n.
    void fillLastDimension(std::int64_t begin, std::int64_t end, Float16 value);

    // True when both handles refer to one buffer.
    bool sharesStorageWith(const MultiArray& other) const { return storage_ == other.storage_; }

    // See the class comment. isSealed() is true from seal() until the next write access.
    void seal() {
        if (std::atomic<bool>* sealed = sealFlag())
            sealed->store(true, std::memory_order_release);
    }
    bool isSealed() const {
        const std::atomic<bool>* sealed = sealFlag();
        return sealed != nullptr && sealed->load(std::memory_order_acquire);
    }
    // The buffer, to recognise it by later; weak, so that a buffer freed and a new one at the
    // same address are never taken for each other.
    std::weak_ptr<const void> buffer() const { return storage_; }

private:
    // Every element set to `value` converted to the element type.
    void fillWith(double value);
    // The seal flag sits in the buffer's allocation, just before the elements (none in a
    // moved-from array).
    std::atomic<bool>* sealFlag() const;
    void breakSeal() {
        std::atomic<bool>* sealed = sealFlag();
        if (sealed != nullptr && sealed->load(std::memory_order_relaxed))
            sealed->store(false, std::memory_order_release);
    }
    void checkElementType(MultiArrayDataType requested) const;
    void checkOffset(std::int64_t offset) const;

    std::vector<std::int64_t> shape_;
    std::vector<std::int64_t> strides_;
    MultiArrayDataType dataType_;
    std::int64_t count_ = 0;
    std::shared_ptr<std::byte> storage_;
};

}  // namespace ml
