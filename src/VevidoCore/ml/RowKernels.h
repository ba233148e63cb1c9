#pragma once

// Loops over one contiguous row of floats for the tensor operations, over the kernels' vector
// routines.

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

#include "VectorMath.h"

namespace ml::rows {

namespace vec = whisper::vec;

// e^x element by element; NaN stays NaN.
inline void exp(const float* x, float* out, std::size_t n) {
    std::size_t i = 0;
    for (; i + vec::kLanes <= n; i += vec::kLanes) {
        const vec::FloatVec v = vec::load(x + i);
        vec::store(out + i, v != v ? v : vec::exp(v));
    }
    for (; i < n; ++i)
        out[i] = std::exp(x[i]);
}

inline float max(const float* x, std::size_t n) {
    return vec::maximum(x, n);
}

// Writes e^(x - shift) to out and returns the sum of what it wrote.
inline float expShifted(const float* x, float shift, float* out, std::size_t n) {
    vec::FloatVec acc{};
    std::size_t i = 0;
    for (; i + vec::kLanes <= n; i += vec::kLanes) {
        const vec::FloatVec e = vec::exp(vec::load(x + i) - vec::splat(shift));
        vec::store(out + i, e);
        acc += e;
    }
    float s = vec::horizontalSum(acc);
    for (; i < n; ++i) {
        out[i] = std::exp(x[i] - shift);
        s += out[i];
    }
    return s;
}

inline void softmax(const float* x, float* out, std::size_t n) {
    if (x != out)
        std::memcpy(out, x, n * sizeof(float));
    vec::softmax(out, n);
}

// log(sum(e^x)); -infinity for an empty row or one of only -infinity.
inline float logSumExp(const float* x, float* scratch, std::size_t n) {
    const float m = rows::max(x, n);
    if (m == -std::numeric_limits<float>::infinity())
        return m;
    return m + std::log(expShifted(x, m, scratch, n));
}

inline void logSoftmax(const float* x, float* out, std::size_t n) {
    const float m = rows::max(x, n);
    const float lse = m + std::log(expShifted(x, m, out, n));
    std::size_t i = 0;
    for (; i + vec::kLanes <= n; i += vec::kLanes) {
        vec::store(out + i, vec::load(x + i) - vec::splat(lse));
    }
    for (; i < n; ++i)
        out[i] = x[i] - lse;
}

}  // namespace ml::rows
