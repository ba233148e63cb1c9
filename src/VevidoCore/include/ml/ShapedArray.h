#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "ml/ModelError.h"
#include "ml/MultiArray.h"

namespace ml {

// A value-typed multi-dimensional array of scalars of one type, row-major (last dimension
// fastest). Unlike a MultiArray it owns its scalars: copies are independent.
template <MultiArrayElement T>
class ShapedArray {
public:
    // Throws ModelError when the scalar count is not the product of the shape.
    ShapedArray(std::vector<std::int64_t> shape, std::vector<T> scalars)
        : shape_(std::move(shape)), scalars_(std::move(scalars)) {
        std::int64_t n = 1;
        for (std::int64_t d : shape_)
            n *= d;
        if (n != static_cast<std::int64_t>(scalars_.size())) {
            throw ModelError(ModelError::Case::parameters,
                             "a shaped array of shape " + shapeText(shape_) + " cannot hold " +
                                 std::to_string(scalars_.size()) + " scalars");
        }
    }

    // The elements of `array`, converted to T where the element types differ.
    explicit ShapedArray(const MultiArray& array) : shape_(array.shape()) {
        const MultiArray same =
            array.dataType() == dataTypeOf<T>() ? array : array.converted(dataTypeOf<T>());
        const std::span<const T> in = same.span<T>();
        scalars_.assign(in.begin(), in.end());
    }

    const std::vector<std::int64_t>& shape() const { return shape_; }
    std::int64_t count() const { return static_cast<std::int64_t>(scalars_.size()); }
    const std::vector<T>& scalars() const { return scalars_; }
    std::vector<T>& scalars() { return scalars_; }

    // A new multi-array of T's element type holding these scalars.
    MultiArray multiArray() const {
        MultiArray out(shape_, dataTypeOf<T>());
        if (!scalars_.empty()) {
            std::memcpy(out.dataPointer(), scalars_.data(), scalars_.size() * sizeof(T));
        }
        return out;
    }

private:
    std::vector<std::int64_t> shape_;
    std::vector<T> scalars_;
};

}  // namespace ml
