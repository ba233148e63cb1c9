#pragma once

// Float vector routines for the Whisper kernels, written once over vectors as wide as the target's
// registers (16 lanes with AVX-512, 8 with AVX, 4 otherwise). Every routine is exact to float
// rounding except expf (within 2 ulp) and erf (within 1.5e-7 absolute).

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ml/Float16.h"
#include "ml/VectorExp.h"

namespace ml::whisper::vec {

#if defined(__AVX512F__)
constexpr std::size_t kLanes = 16;
#elif defined(__AVX__)
constexpr std::size_t kLanes = 8;
#else
constexpr std::size_t kLanes = 4;
#endif
typedef float FloatVec __attribute__((vector_size(kLanes * sizeof(float))));
typedef std::int32_t IntVec __attribute__((vector_size(kLanes * sizeof(std::int32_t))));
using F16x = FloatVec;  // the earlier name, still used by the runtime's row kernels

inline FloatVec load(const float* p) {
    FloatVec v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store(float* p, FloatVec v) {
    std::memcpy(p, &v, sizeof v);
}
inline FloatVec splat(float x) {
    return FloatVec{} + x;
}

inline float horizontalSum(FloatVec v) {
    float lanes[kLanes];
    std::memcpy(lanes, &v, sizeof v);
    float s = 0;
    for (float x : lanes)
        s += x;
    return s;
}

inline float horizontalMax(FloatVec v) {
    float lanes[kLanes];
    std::memcpy(lanes, &v, sizeof v);
    float m = lanes[0];
    for (float x : lanes)
        m = x > m ? x : m;
    return m;
}

// e^x; 0 below -87.3 (where float would go subnormal) and +inf above 88.7.
inline FloatVec exp(FloatVec x) {
    FloatVec clamped = x < splat(-87.3f) ? splat(-87.3f) : x;
    clamped = clamped > splat(88.7f) ? splat(88.7f) : clamped;
    const FloatVec r = expPolynomial(clamped);
    return x < splat(-87.3f) ? splat(0.0f) : x > splat(88.7f) ? splat(INFINITY) : r;
}

// x · Φ(x) with the exact normal distribution (erf), as Whisper's feed-forward layers use it.
inline FloatVec gelu(FloatVec x) {
    // Abramowitz & Stegun 7.1.26 on |x| / √2.
    const FloatVec z = (x < splat(0.0f) ? -x : x) * splat(0.70710678118654752f);
    const FloatVec t = splat(1.0f) / (splat(1.0f) + splat(0.3275911f) * z);
    FloatVec poly = splat(1.061405429f);
    poly = poly * t + splat(-1.453152027f);
    poly = poly * t + splat(1.421413741f);
    poly = poly * t + splat(-0.284496736f);
    poly = poly * t + splat(0.254829592f);
    const FloatVec erfAbs = splat(1.0f) - poly * t * exp(-z * z);
    const FloatVec erf = x < splat(0.0f) ? -erfAbs : erfAbs;
    return splat(0.5f) * x * (splat(1.0f) + erf);
}

inline float geluScalar(float x) {
    return 0.5f * x * (1.0f + std::erf(x * 0.70710678118654752f));
}

// In-place GELU over n floats.
inline void gelu(float* x, std::size_t n) {
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        store(x + i, gelu(load(x + i)));
    for (; i < n; ++i)
        x[i] = geluScalar(x[i]);
}

inline float dot(const float* a, const float* b, std::size_t n) {
    FloatVec acc0{}, acc1{};
    std::size_t i = 0;
    for (; i + 2 * kLanes <= n; i += 2 * kLanes) {
        acc0 += load(a + i) * load(b + i);
        acc1 += load(a + i + kLanes) * load(b + i + kLanes);
    }
    for (; i + kLanes <= n; i += kLanes)
        acc0 += load(a + i) * load(b + i);
    float s = horizontalSum(acc0 + acc1);
    for (; i < n; ++i)
        s += a[i] * b[i];
    return s;
}

// y += a · x
inline void axpy(float a, const float* x, float* y, std::size_t n) {
    std::size_t i = 0;
    const FloatVec av = splat(a);
    for (; i + kLanes <= n; i += kLanes)
        store(y + i, load(y + i) + av * load(x + i));
    for (; i < n; ++i)
        y[i] += a * x[i];
}

// y += x
inline void add(const float* x, float* y, std::size_t n) {
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        store(y + i, load(y + i) + load(x + i));
    for (; i < n; ++i)
        y[i] += x[i];
}

inline float maximum(const float* x, std::size_t n) {
    std::size_t i = 0;
    float m = -INFINITY;
    if (n >= kLanes) {
        FloatVec mv = load(x);
        for (i = kLanes; i + kLanes <= n; i += kLanes) {
            const FloatVec v = load(x + i);
            mv = v > mv ? v : mv;
        }
        m = horizontalMax(mv);
    }
    for (; i < n; ++i)
        m = x[i] > m ? x[i] : m;
    return m;
}

// x ← e^(x − max x) / Σ; returns nothing useful when every entry is −inf (all become NaN, as
// the formula says).
inline void softmax(float* x, std::size_t n) {
    const float m = maximum(x, n);
    FloatVec acc{};
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        const FloatVec e = exp(load(x + i) - splat(m));
        store(x + i, e);
        acc += e;
    }
    float s = horizontalSum(acc);
    for (; i < n; ++i) {
        x[i] = std::exp(x[i] - m);
        s += x[i];
    }
    const float inv = 1.0f / s;
    for (i = 0; i + kLanes <= n; i += kLanes)
        store(x + i, load(x + i) * splat(inv));
    for (; i < n; ++i)
        x[i] *= inv;
}

// Whisper's layer norm (ε = 1e-5), two-pass for accuracy.
inline void layerNorm(const float* x, const float* gamma, const float* beta, float* out,
                      std::size_t n) {
    FloatVec acc{};
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        acc += load(x + i);
    float sum = horizontalSum(acc);
    for (; i < n; ++i)
        sum += x[i];
    const float mean = sum / static_cast<float>(n);
    acc = FloatVec{};
    for (i = 0; i + kLanes <= n; i += kLanes) {
        const FloatVec d = load(x + i) - splat(mean);
        acc += d * d;
    }
    float var = horizontalSum(acc);
    for (; i < n; ++i)
        var += (x[i] - mean) * (x[i] - mean);
    const float inv = 1.0f / std::sqrt(var / static_cast<float>(n) + 1e-5f);
    for (i = 0; i + kLanes <= n; i += kLanes) {
        store(out + i, (load(x + i) - splat(mean)) * splat(inv) * load(gamma + i) + load(beta + i));
    }
    for (; i < n; ++i)
        out[i] = (x[i] - mean) * inv * gamma[i] + beta[i];
}

}  // namespace ml::whisper::vec
