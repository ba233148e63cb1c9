#pragma once

// Loops over one contiguous row of floats, written so that the compiler vectorises them: no
// branches in the bodies and reductions split over independent lanes.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace ml::rows {

constexpr std::size_t kLanes = 8;

// e^x within 2 ulp over the float range, exactly 0 below the smallest normal result and for
// -infinity, +infinity above the largest, NaN for NaN. Branch-free so that loops calling it
// vectorise.
inline float exp(float x) {
    const bool isNan = x != x;
    const bool under = x < -87.33654f;
    const bool over = x > 88.72283905206835f;
    float c = isNan ? 0.0f : x;
    c = std::min(std::max(c, -87.33654f), 88.72283905206835f);
    const float n = std::floor(c * 1.44269504088896341f + 0.5f);
    float r = c - n * 0.693359375f;
    r = r - n * -2.12194440e-4f;
    float p = 1.9875691500e-4f;
    p = p * r + 1.3981999507e-3f;
    p = p * r + 8.3334519073e-3f;
    p = p * r + 4.1665795894e-2f;
    p = p * r + 1.6666665459e-1f;
    p = p * r + 5.0000001201e-1f;
    const float y = p * r * r + r + 1.0f;
    // 2^n in two halves: n reaches 128 near the top of the range, one past the largest exponent.
    const auto k = static_cast<std::int32_t>(n);
    const std::int32_t k1 = k >> 1;
    const std::int32_t k2 = k - k1;
    const float s1 = std::bit_cast<float>(static_cast<std::uint32_t>(k1 + 127) << 23);
    const float s2 = std::bit_cast<float>(static_cast<std::uint32_t>(k2 + 127) << 23);
    float result = y * s1 * s2;
    result = under ? 0.0f : result;
    result = over ? std::numeric_limits<float>::infinity() : result;
    return isNan ? x : result;
}

inline float max(const float* x, std::size_t n) {
    float lanes[kLanes];
    std::fill(lanes, lanes + kLanes, -std::numeric_limits<float>::infinity());
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        for (std::size_t l = 0; l < kLanes; ++l) lanes[l] = std::max(lanes[l], x[i + l]);
    }
    float m = -std::numeric_limits<float>::infinity();
    for (; i < n; ++i) m = std::max(m, x[i]);
    for (float v : lanes) m = std::max(m, v);
    return m;
}

// Writes e^(x - shift) to out and returns the sum of what it wrote.
inline float expShifted(const float* x, float shift, float* out, std::size_t n) {
    float lanes[kLanes] = {};
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        for (std::size_t l = 0; l < kLanes; ++l) {
            const float e = rows::exp(x[i + l] - shift);
            out[i + l] = e;
            lanes[l] += e;
        }
    }
    float s = 0;
    for (; i < n; ++i) {
        out[i] = rows::exp(x[i] - shift);
        s += out[i];
    }
    for (float v : lanes) s += v;
    return s;
}

inline void softmax(const float* x, float* out, std::size_t n) {
    const float m = rows::max(x, n);
    const float s = expShifted(x, m, out, n);
    const float inv = 1.0f / s;
    for (std::size_t i = 0; i < n; ++i) out[i] *= inv;
}

// log(sum(e^x)); -infinity for an empty row or one of only -infinity.
inline float logSumExp(const float* x, float* scratch, std::size_t n) {
    const float m = rows::max(x, n);
    if (m == -std::numeric_limits<float>::infinity()) return m;
    return m + std::log(expShifted(x, m, scratch, n));
}

inline void logSoftmax(const float* x, float* out, std::size_t n) {
    const float m = rows::max(x, n);
    const float lse = m + std::log(expShifted(x, m, out, n));
    for (std::size_t i = 0; i < n; ++i) out[i] = x[i] - lse;
}

}  // namespace ml::rows
