#include "LogitsMath.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "ml/VectorExp.h"

namespace rararozuvu::detail {

namespace {

// Eight lanes; the compiler maps them onto whatever vector unit the target has.
using Floats = float __attribute__((vector_size(32)));
using Ints = std::int32_t __attribute__((vector_size(32)));
constexpr std::size_t kLanes = 8;

Floats load(const float* p) {
    Floats v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

Floats splat(float x) {
    return Floats{x, x, x, x, x, x, x, x};
}

// exp(x) for x <= 0; values below -87 give (almost) zero, so negative infinity adds nothing to
// a sum.
Floats expNonPositive(Floats x) {
    const Floats lowest = splat(-87.0f);
    return ml::whisper::expPolynomial(x < lowest ? lowest : x);
}

float horizontalMax(Floats v) {
    float m = v[0];
    for (std::size_t i = 1; i < kLanes; ++i)
        m = std::max(m, v[i]);
    return m;
}

}  // namespace

void widen(std::span<const ml::Float16> scores, std::vector<float>& out) {
    out.resize(scores.size());
    ml::convertToFloat(scores.data(), out.data(), scores.size());
}

float maxValue(std::span<const float> values) {
    const float* p = values.data();
    const std::size_t n = values.size();
    float best = -std::numeric_limits<float>::infinity();
    std::size_t i = 0;
    if (n >= kLanes) {
        Floats m = load(p);
        for (i = kLanes; i + kLanes <= n; i += kLanes) {
            const Floats v = load(p + i);
            m = v > m ? v : m;
        }
        best = horizontalMax(m);
    }
    for (; i < n; ++i)
        best = std::max(best, p[i]);
    return best;
}

std::size_t argMax(std::span<const float> values) {
    const float* p = values.data();
    const std::size_t n = values.size();
    std::size_t bestIndex = 0;
    float best = n > 0 ? p[0] : 0.0f;
    std::size_t i = 0;
    if (n >= kLanes) {
        // Each lane keeps its own first maximum; the lanes are then compared by value and, among
        // equals, by position, so the first maximum overall wins.
        Floats laneBest = load(p);
        Ints laneIndex = {0, 1, 2, 3, 4, 5, 6, 7};
        Ints index = laneIndex;
        for (i = kLanes; i + kLanes <= n; i += kLanes) {
            index += static_cast<std::int32_t>(kLanes);
            const Floats v = load(p + i);
            const Ints better = v > laneBest;
            laneBest = better ? v : laneBest;
            laneIndex = better ? index : laneIndex;
        }
        best = laneBest[0];
        bestIndex = static_cast<std::size_t>(laneIndex[0]);
        for (std::size_t l = 1; l < kLanes; ++l) {
            const auto at = static_cast<std::size_t>(laneIndex[l]);
            if (laneBest[l] > best || (laneBest[l] == best && at < bestIndex)) {
                best = laneBest[l];
                bestIndex = at;
            }
        }
    }
    for (; i < n; ++i) {
        if (p[i] > best) {
            best = p[i];
            bestIndex = i;
        }
    }
    return bestIndex;
}

void fill(std::span<ml::Float16> scores, ml::Float16 value) {
    using Halves = std::uint16_t __attribute__((vector_size(32)));
    constexpr std::size_t kHalves = sizeof(Halves) / sizeof(std::uint16_t);
    Halves v;
    for (std::size_t l = 0; l < kHalves; ++l)
        v[l] = value.bits;
    std::size_t i = 0;
    for (; i + kHalves <= scores.size(); i += kHalves)
        std::memcpy(static_cast<void*>(scores.data() + i), &v, sizeof v);
    for (; i < scores.size(); ++i)
        scores[i] = value;
}

double sumExp(std::span<const float> values, float shift) {
    const float* p = values.data();
    const std::size_t n = values.size();
    const Floats s = splat(shift);
    double total = 0;
    std::size_t i = 0;
    // Blocks summed in single precision, blocks added in double: the error of a float running
    // sum over a whole vocabulary would show in the log-probabilities.
    constexpr std::size_t kBlock = 512;
    while (i + kLanes <= n) {
        Floats acc = splat(0.0f);
        const std::size_t end = std::min(n - n % kLanes, i + kBlock);
        for (; i < end; i += kLanes)
            acc += expNonPositive(load(p + i) - s);
        for (std::size_t l = 0; l < kLanes; ++l)
            total += acc[l];
    }
    for (; i < n; ++i)
        total += std::exp(static_cast<double>(p[i]) - shift);
    return total;
}

float logSumExp(std::span<const float> values) {
    const float m = maxValue(values);
    if (!std::isfinite(m))
        return m;
    return m + static_cast<float>(std::log(sumExp(values, m)));
}

}  // namespace rararozuvu::detail
