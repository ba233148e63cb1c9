#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ml/MultiArray.h"
#include "ml/ShapedArray.h"

namespace ml {

// An immutable multi-dimensional value with the operations token sampling and logits filtering
// need. Scalars are float16, float32, float64, int32 or int8; a tensor of rank 0 holds one scalar.
//
// Floating-point operations compute in single precision and give a tensor of the operand's
// floating type (float32 for integer operands). Axes count from 0; a negative axis counts from
// the end (-1 is the last). An axis outside the rank, or shapes that do not broadcast, throw
// ModelError. Operations along an axis run over contiguous rows when the axis is the last one,
// which is how the sampler and filters use them.
class Tensor {
public:
    // Copies the scalars.
    explicit Tensor(const MultiArray& array);
    template <MultiArrayElement T>
    explicit Tensor(const ShapedArray<T>& array) : Tensor(array.shape(), array.scalars()) {}
    template <MultiArrayElement T>
    Tensor(std::vector<std::int64_t> shape, const std::vector<T>& scalars);

    const std::vector<std::int64_t>& shape() const { return shape_; }
    int rank() const { return static_cast<int>(shape_.size()); }
    std::int64_t scalarCount() const { return data_.count(); }
    MultiArrayDataType scalarType() const { return data_.dataType(); }

    Tensor cast(MultiArrayDataType type) const;
    Tensor reshaped(std::vector<std::int64_t> shape) const;

    // Element-wise arithmetic with broadcasting (shapes aligned at their last dimension; a
    // dimension of 1 stretches). Integer operands give float32 results except for + - * of two
    // int32 tensors.
    friend Tensor operator+(const Tensor& a, const Tensor& b);
    friend Tensor operator-(const Tensor& a, const Tensor& b);
    friend Tensor operator*(const Tensor& a, const Tensor& b);
    friend Tensor operator/(const Tensor& a, const Tensor& b);
    friend Tensor operator+(const Tensor& a, float b);
    friend Tensor operator*(const Tensor& a, float b);
    friend Tensor operator/(const Tensor& a, float b);
    // 1 where a < b, else 0, as float32 (broadcasting like the arithmetic).
    Tensor lessThan(const Tensor& other) const;
    Tensor lessThan(float scalar) const;

    Tensor log() const;
    Tensor exp() const;
    // Along one axis. A row whose every entry is -infinity has no distribution: its softmax and
    // log-softmax are NaN.
    Tensor softmax(int axis = -1) const;
    Tensor logSoftmax(int axis = -1) const;
    Tensor cumulativeSum(int axis = -1) const;

    // Reductions along one axis, dropping it unless keepRank (then it stays with length 1).
    Tensor sum(int axis, bool keepRank = false) const;
    Tensor max(int axis, bool keepRank = false) const;
    Tensor logSumExp(int axis, bool keepRank = false) const;
    // The sum of every scalar, as a rank-0 tensor.
    Tensor sum() const;

    // Index of the first largest entry along an axis, as int32.
    Tensor argmax(int axis = -1, bool keepRank = false) const;
    // The permutation that sorts each row along an axis (stable: equal entries keep their
    // order), as int32.
    Tensor argsort(int axis = -1, bool descendingOrder = false) const;
    // The k largest entries of each row of the last axis, largest first (equal entries in index
    // order), and their int32 indices. Throws ModelError when k is not in 1...row length.
    std::pair<Tensor, Tensor> topK(std::int64_t k) const;

    // Picks entries along `axis` at integer `indices`: the result's shape is this shape with the
    // axis replaced by the indices' shape. Throws ModelError for an index outside the axis.
    Tensor gathering(const Tensor& indices, int axis) const;
    // Entries begin..<end of one axis.
    Tensor slice(int axis, std::int64_t begin, std::int64_t end) const;

    template <MultiArrayElement T>
    ShapedArray<T> shapedArray() const {
        return ShapedArray<T>(shape_, std::vector<T>(ShapedArray<T>(data_).scalars()));
    }

    // The scalars in order. toIntArray needs an int32 tensor; toFloatArray and toMultiArray take
    // float32, float16 or int32 ones. Any other scalar type is a programming error that stops the
    // process with "Unsupported scalar type: " and the type's name.
    std::vector<std::int64_t> toIntArray() const;
    std::vector<float> toFloatArray() const;
    // A multi-array of the tensor's shape and scalar type (a rank-0 tensor gives shape [1]).
    MultiArray toMultiArray() const;
    // The same conversions; the tensor's contents are always ready, so nothing waits.
    std::vector<std::int64_t> asIntArray() const { return toIntArray(); }
    std::vector<float> asFloatArray() const { return toFloatArray(); }
    MultiArray asMultiArray() const { return toMultiArray(); }

private:
    Tensor(std::vector<std::int64_t> shape, MultiArray data);

    std::vector<std::int64_t> shape_;
    MultiArray data_;  // every scalar in order; its own shape does not matter; never written
};

template <MultiArrayElement T>
Tensor::Tensor(std::vector<std::int64_t> shape, const std::vector<T>& scalars)
    : Tensor(shape,
             ShapedArray<T>({static_cast<std::int64_t>(scalars.size())}, scalars).multiArray()) {}

}  // namespace ml
