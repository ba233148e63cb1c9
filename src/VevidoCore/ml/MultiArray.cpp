#include "ml/MultiArray.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "ml/MultiArrayCreationError.h"
#include "ml/PageBuffer.h"

namespace ml {

namespace {

constexpr std::size_t kAlignment = 64;

template <class T>
T saturatingFromDouble(double v) {
    if constexpr (std::is_integral_v<T>) {
        if (std::isnan(v))
            return 0;
        if (v <= static_cast<double>(std::numeric_limits<T>::min())) {
            return std::numeric_limits<T>::min();
        }
        if (v >= static_cast<double>(std::numeric_limits<T>::max())) {
            return std::numeric_limits<T>::max();
        }
        return static_cast<T>(v);
    } else if constexpr (std::same_as<T, Float16>) {
        return Float16(static_cast<float>(v));
    } else {
        return static_cast<T>(v);
    }
}

template <class F>
decltype(auto) visitType(MultiArrayDataType type, F&& f) {
    switch (type) {
        case MultiArrayDataType::float16:
            return f(Float16{});
        case MultiArrayDataType::float32:
            return f(float{});
        case MultiArrayDataType::float64:
            return f(double{});
        case MultiArrayDataType::int32:
            return f(std::int32_t{});
        case MultiArrayDataType::int8:
            return f(std::int8_t{});
    }
    throw ModelError(ModelError::Case::parameters,
                     fmt::format("unknown multi-array data type {}", static_cast<int>(type)));
}

template <class T>
double toDouble(T v) {
    if constexpr (std::same_as<T, Float16>) {
        return static_cast<float>(v);
    } else {
        return static_cast<double>(v);
    }
}

// Buffers from this size up get pages of their own: the audio window, the mel spectrogram, the
// encoder output and the decoder's caches, made afresh every window. The heap would keep them
// after they go (and their pages resident), and new heap pages fault in one by one.
constexpr std::size_t kOwnPagesBytes = std::size_t{256} << 10;

// The elements, preceded by one alignment unit that holds the seal flag.
std::shared_ptr<std::byte> zeroedBuffer(std::size_t byteCount) {
    const std::size_t rounded = (byteCount + kAlignment - 1) / kAlignment * kAlignment;
    if (rounded >= kOwnPagesBytes) {
        auto pages = std::make_shared<PageBuffer>(kAlignment + rounded);
        std::byte* const elements = pages->data() + kAlignment;
        new (pages->data()) std::atomic<bool>(false);
        return std::shared_ptr<std::byte>(std::move(pages), elements);
    }
    void* bytes = std::aligned_alloc(kAlignment, kAlignment + rounded);
    if (bytes == nullptr)
        throw std::bad_alloc();
    std::memset(bytes, 0, kAlignment + rounded);
    new (bytes) std::atomic<bool>(false);
    return std::shared_ptr<std::byte>(
        static_cast<std::byte*>(bytes) + kAlignment, [](std::byte* p) {
            reinterpret_cast<std::atomic<bool>*>(p - kAlignment)->~atomic();
            std::free(p - kAlignment);
        });
}

}  // namespace

std::string_view dataTypeName(MultiArrayDataType type) {
    switch (type) {
        case MultiArrayDataType::float16:
            return "float16";
        case MultiArrayDataType::float32:
            return "float32";
        case MultiArrayDataType::float64:
            return "float64";
        case MultiArrayDataType::int32:
            return "int32";
        case MultiArrayDataType::int8:
            return "int8";
    }
    return "unknown";
}

std::optional<MultiArrayDataType> dataTypeNamed(std::string_view name) {
    for (auto type :
         {MultiArrayDataType::float16, MultiArrayDataType::float32, MultiArrayDataType::float64,
          MultiArrayDataType::int32, MultiArrayDataType::int8}) {
        if (dataTypeName(type) == name)
            return type;
    }
    return std::nullopt;
}

std::string shapeText(std::span<const std::int64_t> shape) {
    return fmt::format("[{}]", fmt::join(shape, ", "));
}

MultiArray::MultiArray(std::vector<std::int64_t> shape, MultiArrayDataType dataType)
    : shape_(std::move(shape)), dataType_(dataType) {
    if (shape_.empty()) {
        if (dataType == MultiArrayDataType::float16)
            throw MultiArrayCreationError();
        throw ModelError(ModelError::Case::parameters,
                         "a multi-array needs at least one dimension");
    }
    if (!dataTypeNamed(dataTypeName(dataType))) {
        throw ModelError(
            ModelError::Case::parameters,
            fmt::format("unknown multi-array data type {}", static_cast<int>(dataType)));
    }
    const std::int64_t limit = std::numeric_limits<std::int64_t>::max() / 8;
    count_ = 1;
    for (std::int64_t d : shape_) {
        if (d < 0 || (d > 0 && count_ > limit / d)) {
            throw ModelError(
                ModelError::Case::parameters,
                fmt::format("cannot make a multi-array of shape {}", shapeText(shape_)));
        }
        count_ *= d;
    }
    strides_.assign(shape_.size(), 1);
    for (std::size_t i = shape_.size() - 1; i > 0; --i) {
        strides_[i - 1] = strides_[i] * std::max<std::int64_t>(shape_[i], 1);
    }
    storage_ = zeroedBuffer(byteCount());
}

MultiArray MultiArray::from(std::span<const std::int64_t> values, int dims) {
    if (dims < 1) {
        throw ModelError(ModelError::Case::parameters,
                         fmt::format("a multi-array needs at least one dimension, not {}", dims));
    }
    std::vector<std::int64_t> shape(static_cast<std::size_t>(dims), 1);
    shape.back() = static_cast<std::int64_t>(values.size());
    MultiArray array(std::move(shape), MultiArrayDataType::int32);
    std::int32_t* p = array.data<std::int32_t>();
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (values[i] < std::numeric_limits<std::int32_t>::min() ||
            values[i] > std::numeric_limits<std::int32_t>::max()) {
            throw ModelError(ModelError::Case::parameters,
                             fmt::format("{} does not fit in a 32-bit integer array", values[i]));
        }
        p[i] = static_cast<std::int32_t>(values[i]);
    }
    return array;
}

MultiArray MultiArray::converted(MultiArrayDataType dataType) const {
    if (dataType == dataType_)
        return copy();
    MultiArray out(shape_, dataType);
    if (dataType_ == MultiArrayDataType::float16 && dataType == MultiArrayDataType::float32) {
        convertToFloat(data<Float16>(), out.data<float>(), static_cast<std::size_t>(count_));
        return out;
    }
    if (dataType_ == MultiArrayDataType::float32 && dataType == MultiArrayDataType::float16) {
        convertToFloat16(data<float>(), out.data<Float16>(), static_cast<std::size_t>(count_));
        return out;
    }
    visitType(dataType_, [&](auto from) {
        using From = decltype(from);
        visitType(dataType, [&](auto to) {
            using To = decltype(to);
            const From* in = static_cast<const From*>(dataPointer());
            To* o = static_cast<To*>(out.dataPointer());
            for (std::int64_t i = 0; i < count_; ++i) {
                o[i] = saturatingFromDouble<To>(toDouble(in[i]));
            }
        });
    });
    return out;
}

MultiArray MultiArray::copy() const {
    MultiArray out(shape_, dataType_);
    std::memcpy(out.dataPointer(), dataPointer(), byteCount());
    return out;
}

double MultiArray::value(std::int64_t linearIndex) const {
    checkOffset(linearIndex);
    return visitType(dataType_, [&](auto tag) {
        using T = decltype(tag);
        return toDouble(static_cast<const T*>(dataPointer())[linearIndex]);
    });
}

void MultiArray::setValue(std::int64_t linearIndex, double v) {
    checkOffset(linearIndex);
    visitType(dataType_, [&](auto tag) {
        using T = decltype(tag);
        static_cast<T*>(dataPointer())[linearIndex] = saturatingFromDouble<T>(v);
    });
}

void MultiArray::fillWith(double v) {
    visitType(dataType_, [&](auto tag) {
        using T = decltype(tag);
        const T element = saturatingFromDouble<T>(v);
        T* p = static_cast<T*>(dataPointer());
        for (std::int64_t i = 0; i < count_; ++i)
            p[i] = element;
    });
}

double MultiArray::value(std::span<const std::int64_t> index) const {
    bool inside = index.size() == shape_.size();
    for (std::size_t i = 0; inside && i < index.size(); ++i) {
        inside = index[i] >= 0 && index[i] < shape_[i];
    }
    if (!inside) {
        throw ModelError(ModelError::Case::parameters,
                         fmt::format("index {} is outside a multi-array of shape {}",
                                     shapeText(index), shapeText(shape_)));
    }
    return value(linearOffset(index));
}

std::int64_t MultiArray::linearOffset(std::span<const std::int64_t> index,
                                      std::span<const std::int64_t> strides) {
    std::int64_t offset = 0;
    const std::size_t n = std::min(index.size(), strides.size());
    for (std::size_t i = 0; i < n; ++i)
        offset += index[i] * strides[i];
    return offset;
}

void MultiArray::fillLastDimension(std::int64_t begin, std::int64_t end, Float16 v) {
    if (shape_.size() != 3 || shape_[0] != 1 || shape_[1] != 1) {
        throw ModelError(
            ModelError::Case::parameters,
            fmt::format("fillLastDimension needs a multi-array of shape [1, 1, n], not {}",
                        shapeText(shape_)));
    }
    if (begin < 0 || end > shape_[2] || begin > end) {
        throw ModelError(ModelError::Case::parameters,
                         fmt::format("range {}..<{} is outside the last dimension of length {}",
                                     begin, end, shape_[2]));
    }
    Float16* p = data<Float16>();
    const std::int64_t stride = strides_[2];
    for (std::int64_t i = begin; i < end; ++i)
        p[i * stride] = v;
}

std::atomic<bool>* MultiArray::sealFlag() const {
    if (!storage_)
        return nullptr;
    return std::launder(reinterpret_cast<std::atomic<bool>*>(storage_.get() - kAlignment));
}

void MultiArray::checkElementType(MultiArrayDataType requested) const {
    if (requested != dataType_) {
        throw ModelError(ModelError::Case::parameters,
                         fmt::format("a {} multi-array read or written as {}",
                                     dataTypeName(dataType_), dataTypeName(requested)));
    }
}

void MultiArray::checkOffset(std::int64_t offset) const {
    if (offset < 0 || offset >= count_) {
        throw ModelError(
            ModelError::Case::parameters,
            fmt::format("element {} is outside a multi-array of {} elements", offset, count_));
    }
}

}  // namespace ml
