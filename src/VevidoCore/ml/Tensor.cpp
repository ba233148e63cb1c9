#include "ml/Tensor.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <numeric>

#include "RowKernels.h"

namespace ml {

namespace {

std::int64_t product(std::span<const std::int64_t> shape) {
    std::int64_t n = 1;
    for (std::int64_t d : shape)
        n *= d;
    return n;
}

[[noreturn]] void unsupportedScalarType(MultiArrayDataType type, int line) {
    static constexpr auto swiftName = [](MultiArrayDataType t) {
        switch (t) {
            case MultiArrayDataType::float16:
                return "Float16";
            case MultiArrayDataType::float32:
                return "Float";
            case MultiArrayDataType::float64:
                return "Double";
            case MultiArrayDataType::int32:
                return "Int32";
            case MultiArrayDataType::int8:
                return "Int8";
        }
        return "Unknown";
    };
    if (line > 0) {
        std::fprintf(stderr, "VevidoCore/MLTensorExtensions:%d: Fatal error: ", line);
    } else {
        std::fprintf(stderr, "VevidoCore/MLTensorExtensions: Fatal error: ");
    }
    std::fprintf(stderr, "Unsupported scalar type: %s\n", swiftName(type));
    std::abort();
}

bool isFloating(MultiArrayDataType t) {
    return t == MultiArrayDataType::float16 || t == MultiArrayDataType::float32 ||
           t == MultiArrayDataType::float64;
}

MultiArrayDataType floatingResult(MultiArrayDataType t) {
    return isFloating(t) ? t : MultiArrayDataType::float32;
}

MultiArrayDataType floatingResult(MultiArrayDataType a, MultiArrayDataType b) {
    if (!isFloating(a))
        return floatingResult(b);
    if (!isFloating(b))
        return a;
    return byteWidth(a) >= byteWidth(b) ? a : b;
}

int normaliseAxis(int axis, int rank) {
    const int a = axis < 0 ? axis + rank : axis;
    if (a < 0 || a >= rank) {
        throw ModelError(ModelError::Case::parameters,
                         fmt::format("axis {} is outside a tensor of rank {}", axis, rank));
    }
    return a;
}

// A tensor's scalars as floats: the tensor's own buffer when it holds float32, else a widened
// copy.
class FloatScalars {
public:
    explicit FloatScalars(const MultiArray& data) {
        if (data.dataType() == MultiArrayDataType::float32) {
            pointer_ = data.data<float>();
        } else {
            owned_ = ShapedArray<float>(data).scalars();
            pointer_ = owned_.data();
        }
    }
    const float* data() const { return pointer_; }

private:
    std::vector<float> owned_;
    const float* pointer_ = nullptr;
};

// A float32 buffer to compute into, handed out in the requested type at the end.
class FloatResult {
public:
    explicit FloatResult(std::int64_t count) : array_({count}, MultiArrayDataType::float32) {}
    float* data() { return array_.data<float>(); }
    MultiArray take(MultiArrayDataType type) {
        return type == MultiArrayDataType::float32 ? array_ : array_.converted(type);
    }

private:
    MultiArray array_;
};

struct AxisLayout {
    std::int64_t outer = 1;
    std::int64_t length = 1;
    std::int64_t inner = 1;
};

AxisLayout layoutAlong(const std::vector<std::int64_t>& shape, int axis) {
    AxisLayout l;
    for (int i = 0; i < axis; ++i)
        l.outer *= shape[static_cast<std::size_t>(i)];
    l.length = shape[static_cast<std::size_t>(axis)];
    for (std::size_t i = static_cast<std::size_t>(axis) + 1; i < shape.size(); ++i) {
        l.inner *= shape[i];
    }
    return l;
}

// Calls row(in, out) for every row along the axis; rows of a non-last axis are copied into
// contiguous scratch and back. `outLength` is the number of outputs per row.
template <class Out, class RowFn>
void forEachRow(const float* in, Out* out, const AxisLayout& l, std::int64_t outLength,
                RowFn&& row) {
    const auto n = static_cast<std::size_t>(l.length);
    const auto m = static_cast<std::size_t>(outLength);
    if (l.inner == 1) {
        for (std::int64_t o = 0; o < l.outer; ++o) {
            row(in + o * l.length, out + o * outLength);
        }
        return;
    }
    std::vector<float> a(n);
    std::vector<Out> b(m);
    for (std::int64_t o = 0; o < l.outer; ++o) {
        for (std::int64_t i = 0; i < l.inner; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                a[j] = in[(o * l.length + static_cast<std::int64_t>(j)) * l.inner + i];
            }
            row(a.data(), b.data());
            for (std::size_t j = 0; j < m; ++j) {
                out[(o * outLength + static_cast<std::int64_t>(j)) * l.inner + i] = b[j];
            }
        }
    }
}

// Runs `row` over every row of `data` along the axis, each writing `outLength` floats, and
// gives the results in the tensor's floating type (float32 for integers).
template <class RowFn>
MultiArray floatRows(const MultiArray& data, const AxisLayout& l, std::int64_t outLength,
                     RowFn&& row) {
    FloatScalars in(data);
    FloatResult out(l.outer * outLength * l.inner);
    forEachRow(in.data(), out.data(), l, outLength, row);
    return out.take(floatingResult(data.dataType()));
}

std::vector<std::int64_t> reducedShape(std::vector<std::int64_t> shape, int axis, bool keepRank) {
    if (keepRank) {
        shape[static_cast<std::size_t>(axis)] = 1;
    } else {
        shape.erase(shape.begin() + axis);
    }
    return shape;
}

std::vector<std::int64_t> broadcastShape(const std::vector<std::int64_t>& a,
                                         const std::vector<std::int64_t>& b) {
    const std::size_t rank = std::max(a.size(), b.size());
    std::vector<std::int64_t> out(rank);
    for (std::size_t i = 0; i < rank; ++i) {
        const std::int64_t da = i < rank - a.size() ? 1 : a[i - (rank - a.size())];
        const std::int64_t db = i < rank - b.size() ? 1 : b[i - (rank - b.size())];
        if (da != db && da != 1 && db != 1) {
            throw ModelError(ModelError::Case::parameters,
                             fmt::format("tensors of shapes {} and {} do not broadcast",
                                         shapeText(a), shapeText(b)));
        }
        out[i] = da == 1 ? db : da;
    }
    return out;
}

// Strides of `shape` seen through the broadcast shape `out`: 0 along stretched dimensions.
std::vector<std::int64_t> broadcastStrides(const std::vector<std::int64_t>& shape,
                                           const std::vector<std::int64_t>& out) {
    std::vector<std::int64_t> strides(out.size(), 0);
    std::int64_t s = 1;
    for (std::size_t k = 0; k < shape.size(); ++k) {
        const std::size_t i = shape.size() - 1 - k;
        const std::size_t o = out.size() - 1 - k;
        strides[o] = shape[i] == 1 ? 0 : s;
        s *= shape[i];
    }
    return strides;
}

template <class T, class Op>
void broadcastApply(const T* a, const std::vector<std::int64_t>& shapeA, const T* b,
                    const std::vector<std::int64_t>& shapeB, T* out,
                    const std::vector<std::int64_t>& shapeOut, Op op) {
    const std::int64_t n = product(shapeOut);
    const std::int64_t na = product(shapeA);
    const std::int64_t nb = product(shapeB);
    if (na == n && nb == n) {
        for (std::int64_t i = 0; i < n; ++i)
            out[i] = op(a[i], b[i]);
        return;
    }
    if (nb == 1) {
        const T s = b[0];
        for (std::int64_t i = 0; i < n; ++i)
            out[i] = op(a[i], s);
        return;
    }
    if (na == 1) {
        const T s = a[0];
        for (std::int64_t i = 0; i < n; ++i)
            out[i] = op(s, b[i]);
        return;
    }
    const auto sa = broadcastStrides(shapeA, shapeOut);
    const auto sb = broadcastStrides(shapeB, shapeOut);
    std::vector<std::int64_t> index(shapeOut.size(), 0);
    std::int64_t ia = 0;
    std::int64_t ib = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        out[i] = op(a[ia], b[ib]);
        for (std::size_t d = shapeOut.size(); d-- > 0;) {
            ++index[d];
            ia += sa[d];
            ib += sb[d];
            if (index[d] < shapeOut[d])
                break;
            ia -= sa[d] * index[d];
            ib -= sb[d] * index[d];
            index[d] = 0;
        }
    }
}

template <class Op>
Tensor binary(const Tensor& a, const Tensor& b, Op op, bool integerKeepsType) {
    const auto shape = broadcastShape(a.shape(), b.shape());
    const std::int64_t n = product(shape);
    if (integerKeepsType && a.scalarType() == MultiArrayDataType::int32 &&
        b.scalarType() == MultiArrayDataType::int32) {
        const auto av = a.shapedArray<std::int32_t>();
        const auto bv = b.shapedArray<std::int32_t>();
        std::vector<std::int32_t> out(static_cast<std::size_t>(n));
        broadcastApply(av.scalars().data(), a.shape(), bv.scalars().data(), b.shape(), out.data(),
                       shape, [&](std::int32_t x, std::int32_t y) {
                           return static_cast<std::int32_t>(
                               op(static_cast<std::int64_t>(x), static_cast<std::int64_t>(y)));
                       });
        return Tensor(shape, out);
    }
    const auto av = a.shapedArray<float>();
    const auto bv = b.shapedArray<float>();
    std::vector<float> out(static_cast<std::size_t>(n));
    broadcastApply(av.scalars().data(), a.shape(), bv.scalars().data(), b.shape(), out.data(),
                   shape, [&](float x, float y) { return static_cast<float>(op(x, y)); });
    return Tensor(shape, out).cast(floatingResult(a.scalarType(), b.scalarType()));
}

Tensor scalarTensor(float v) {
    return Tensor({}, std::vector<float>{v});
}

// Sort keys that keep NaN from breaking the ordering: it sorts as the smallest value.
float orderKey(float v) {
    return std::isnan(v) ? -std::numeric_limits<float>::infinity() : v;
}

}  // namespace

Tensor::Tensor(std::vector<std::int64_t> shape, MultiArray data)
    : shape_(std::move(shape)), data_(std::move(data)) {
    for (std::int64_t d : shape_) {
        if (d < 0) {
            throw ModelError(ModelError::Case::parameters,
                             fmt::format("a tensor cannot have shape {}", shapeText(shape_)));
        }
    }
    if (product(shape_) != data_.count()) {
        throw ModelError(ModelError::Case::parameters,
                         fmt::format("a tensor of shape {} cannot hold {} scalars",
                                     shapeText(shape_), data_.count()));
    }
}

Tensor::Tensor(const MultiArray& array) : Tensor(array.shape(), array.copy()) {}

Tensor Tensor::cast(MultiArrayDataType type) const {
    return Tensor(shape_, data_.converted(type));
}

Tensor Tensor::reshaped(std::vector<std::int64_t> shape) const {
    return Tensor(std::move(shape), data_);
}

Tensor operator+(const Tensor& a, const Tensor& b) {
    return binary(a, b, std::plus<>(), true);
}
Tensor operator-(const Tensor& a, const Tensor& b) {
    return binary(a, b, std::minus<>(), true);
}
Tensor operator*(const Tensor& a, const Tensor& b) {
    return binary(a, b, std::multiplies<>(), true);
}
Tensor operator/(const Tensor& a, const Tensor& b) {
    return binary(a, b, std::divides<>(), false);
}
Tensor operator+(const Tensor& a, float b) {
    return binary(a, scalarTensor(b), std::plus<>(), false).cast(floatingResult(a.scalarType()));
}
Tensor operator*(const Tensor& a, float b) {
    return binary(a, scalarTensor(b), std::multiplies<>(), false)
        .cast(floatingResult(a.scalarType()));
}
Tensor operator/(const Tensor& a, float b) {
    return binary(a, scalarTensor(b), std::divides<>(), false).cast(floatingResult(a.scalarType()));
}

Tensor Tensor::lessThan(const Tensor& other) const {
    return binary(
               *this, other, [](float x, float y) { return x < y ? 1.0f : 0.0f; }, false)
        .cast(MultiArrayDataType::float32);
}

Tensor Tensor::lessThan(float scalar) const {
    return lessThan(scalarTensor(scalar));
}

Tensor Tensor::log() const {
    const AxisLayout whole{1, scalarCount(), 1};
    return Tensor(shape_, floatRows(data_, whole, whole.length, [&whole](const float* x, float* y) {
                      for (std::int64_t i = 0; i < whole.length; ++i)
                          y[i] = std::log(x[i]);
                  }));
}

Tensor Tensor::exp() const {
    const AxisLayout whole{1, scalarCount(), 1};
    const auto n = static_cast<std::size_t>(whole.length);
    return Tensor(shape_, floatRows(data_, whole, whole.length,
                                    [n](const float* x, float* y) { rows::exp(x, y, n); }));
}

Tensor Tensor::softmax(int axis) const {
    const AxisLayout l = layoutAlong(shape_, normaliseAxis(axis, rank()));
    const auto n = static_cast<std::size_t>(l.length);
    return Tensor(shape_, floatRows(data_, l, l.length,
                                    [n](const float* x, float* y) { rows::softmax(x, y, n); }));
}

Tensor Tensor::logSoftmax(int axis) const {
    const AxisLayout l = layoutAlong(shape_, normaliseAxis(axis, rank()));
    const auto n = static_cast<std::size_t>(l.length);
    return Tensor(shape_, floatRows(data_, l, l.length,
                                    [n](const float* x, float* y) { rows::logSoftmax(x, y, n); }));
}

Tensor Tensor::cumulativeSum(int axis) const {
    const AxisLayout l = layoutAlong(shape_, normaliseAxis(axis, rank()));
    return Tensor(shape_, floatRows(data_, l, l.length, [&l](const float* x, float* y) {
                      float s = 0;
                      for (std::int64_t j = 0; j < l.length; ++j)
                          y[j] = s += x[j];
                  }));
}

Tensor Tensor::sum(int axis, bool keepRank) const {
    const int a = normaliseAxis(axis, rank());
    const AxisLayout l = layoutAlong(shape_, a);
    return Tensor(reducedShape(shape_, a, keepRank),
                  floatRows(data_, l, 1, [&l](const float* x, float* y) {
                      double s = 0;
                      for (std::int64_t j = 0; j < l.length; ++j)
                          s += x[j];
                      *y = static_cast<float>(s);
                  }));
}

Tensor Tensor::max(int axis, bool keepRank) const {
    const int a = normaliseAxis(axis, rank());
    const AxisLayout l = layoutAlong(shape_, a);
    const auto n = static_cast<std::size_t>(l.length);
    return Tensor(reducedShape(shape_, a, keepRank),
                  floatRows(data_, l, 1, [n](const float* x, float* y) { *y = rows::max(x, n); }));
}

Tensor Tensor::logSumExp(int axis, bool keepRank) const {
    const int a = normaliseAxis(axis, rank());
    const AxisLayout l = layoutAlong(shape_, a);
    const auto n = static_cast<std::size_t>(l.length);
    std::vector<float> scratch(n);
    return Tensor(reducedShape(shape_, a, keepRank),
                  floatRows(data_, l, 1, [&](const float* x, float* y) {
                      *y = rows::logSumExp(x, scratch.data(), n);
                  }));
}

Tensor Tensor::sum() const {
    FloatScalars in(data_);
    double s = 0;
    for (std::int64_t i = 0; i < scalarCount(); ++i)
        s += in.data()[i];
    return scalarTensor(static_cast<float>(s)).cast(floatingResult(scalarType()));
}

Tensor Tensor::argmax(int axis, bool keepRank) const {
    const int a = normaliseAxis(axis, rank());
    const AxisLayout l = layoutAlong(shape_, a);
    if (l.length == 0) {
        throw ModelError(ModelError::Case::parameters, "arg-max along an empty axis");
    }
    FloatScalars in(data_);
    std::vector<std::int32_t> out(static_cast<std::size_t>(l.outer * l.inner));
    forEachRow(in.data(), out.data(), l, 1, [&l](const float* x, std::int32_t* y) {
        // The largest value in one vector pass, then the first place it occurs. NaN entries
        // never win; a row of only NaN gives 0.
        const float m = rows::max(x, static_cast<std::size_t>(l.length));
        std::int64_t best = 0;
        while (best < l.length && !(x[best] == m))
            ++best;
        *y = static_cast<std::int32_t>(best == l.length ? 0 : best);
    });
    return Tensor(reducedShape(shape_, a, keepRank), out);
}

Tensor Tensor::argsort(int axis, bool descendingOrder) const {
    const AxisLayout l = layoutAlong(shape_, normaliseAxis(axis, rank()));
    FloatScalars in(data_);
    std::vector<std::int32_t> out(static_cast<std::size_t>(scalarCount()));
    forEachRow(in.data(), out.data(), l, l.length, [&](const float* x, std::int32_t* y) {
        std::iota(y, y + l.length, 0);
        if (descendingOrder) {
            std::stable_sort(y, y + l.length, [x](std::int32_t p, std::int32_t q) {
                return orderKey(x[p]) > orderKey(x[q]);
            });
        } else {
            std::stable_sort(y, y + l.length, [x](std::int32_t p, std::int32_t q) {
                return orderKey(x[p]) < orderKey(x[q]);
            });
        }
    });
    return Tensor(shape_, out);
}

std::pair<Tensor, Tensor> Tensor::topK(std::int64_t k) const {
    if (rank() == 0)
        throw ModelError(ModelError::Case::parameters, "top-k of a rank-0 tensor");
    const AxisLayout l = layoutAlong(shape_, rank() - 1);
    if (k < 1 || k > l.length) {
        throw ModelError(ModelError::Case::parameters,
                         fmt::format("top-{} of rows of length {}", k, l.length));
    }
    FloatScalars in(data_);
    FloatResult values(l.outer * k);
    std::vector<std::int32_t> indices(static_cast<std::size_t>(l.outer * k));
    std::vector<std::int32_t> order(static_cast<std::size_t>(l.length));
    for (std::int64_t o = 0; o < l.outer; ++o) {
        const float* x = in.data() + o * l.length;
        std::iota(order.begin(), order.end(), 0);
        std::partial_sort(order.begin(), order.begin() + k, order.end(),
                          [x](std::int32_t p, std::int32_t q) {
                              const float a = orderKey(x[p]);
                              const float b = orderKey(x[q]);
                              return a > b || (a == b && p < q);
                          });
        for (std::int64_t j = 0; j < k; ++j) {
            const std::int32_t index = order[static_cast<std::size_t>(j)];
            values.data()[o * k + j] = x[index];
            indices[static_cast<std::size_t>(o * k + j)] = index;
        }
    }
    auto shape = shape_;
    shape.back() = k;
    return {Tensor(shape, values.take(floatingResult(scalarType()))), Tensor(shape, indices)};
}

Tensor Tensor::gathering(const Tensor& indices, int axis) const {
    const int a = normaliseAxis(axis, rank());
    const AxisLayout l = layoutAlong(shape_, a);
    const std::vector<std::int64_t> picks = indices.cast(MultiArrayDataType::int32).toIntArray();
    for (std::int64_t p : picks) {
        if (p < 0 || p >= l.length) {
            throw ModelError(
                ModelError::Case::parameters,
                fmt::format("gather index {} is outside an axis of length {}", p, l.length));
        }
    }
    std::vector<std::int64_t> shape(shape_.begin(), shape_.begin() + a);
    shape.insert(shape.end(), indices.shape().begin(), indices.shape().end());
    shape.insert(shape.end(), shape_.begin() + a + 1, shape_.end());
    const auto count = static_cast<std::int64_t>(picks.size());
    MultiArray out({l.outer * count * l.inner}, scalarType());
    const std::size_t width = byteWidth(scalarType());
    const std::size_t rowBytes = static_cast<std::size_t>(l.inner) * width;
    const auto* src = static_cast<const std::byte*>(data_.dataPointer());
    auto* dst = static_cast<std::byte*>(out.dataPointer());
    for (std::int64_t o = 0; o < l.outer; ++o) {
        for (std::int64_t p = 0; p < count; ++p) {
            const std::int64_t from = (o * l.length + picks[static_cast<std::size_t>(p)]) * l.inner;
            const std::int64_t to = (o * count + p) * l.inner;
            std::memcpy(dst + static_cast<std::size_t>(to) * width,
                        src + static_cast<std::size_t>(from) * width, rowBytes);
        }
    }
    return Tensor(std::move(shape), std::move(out));
}

Tensor Tensor::slice(int axis, std::int64_t begin, std::int64_t end) const {
    const int a = normaliseAxis(axis, rank());
    const AxisLayout l = layoutAlong(shape_, a);
    if (begin < 0 || end > l.length || begin > end) {
        throw ModelError(
            ModelError::Case::parameters,
            fmt::format("slice {}..<{} is outside an axis of length {}", begin, end, l.length));
    }
    std::vector<std::int64_t> picks(static_cast<std::size_t>(end - begin));
    std::iota(picks.begin(), picks.end(), begin);
    std::vector<std::int32_t> narrow(picks.begin(), picks.end());
    return gathering(Tensor({static_cast<std::int64_t>(narrow.size())}, narrow), a);
}

std::vector<std::int64_t> Tensor::toIntArray() const {
    if (scalarType() != MultiArrayDataType::int32)
        unsupportedScalarType(scalarType(), 0);
    const std::int32_t* p = data_.data<std::int32_t>();
    return std::vector<std::int64_t>(p, p + scalarCount());
}

std::vector<float> Tensor::toFloatArray() const {
    switch (scalarType()) {
        case MultiArrayDataType::float32:
        case MultiArrayDataType::float16:
        case MultiArrayDataType::int32:
            return ShapedArray<float>(data_).scalars();
        default:
            unsupportedScalarType(scalarType(), 29);
    }
}

MultiArray Tensor::toMultiArray() const {
    switch (scalarType()) {
        case MultiArrayDataType::float32:
        case MultiArrayDataType::float16:
        case MultiArrayDataType::int32: {
            MultiArray out(shape_.empty() ? std::vector<std::int64_t>{1} : shape_, scalarType());
            std::memcpy(out.dataPointer(), data_.dataPointer(), data_.byteCount());
            return out;
        }
        default:
            unsupportedScalarType(scalarType(), 44);
    }
}

}  // namespace ml
