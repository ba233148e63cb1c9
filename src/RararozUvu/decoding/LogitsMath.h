#pragma once

// Reductions over one step's scores, written for the vector units: the filters and the sampler
// run them once per decoded token over the whole vocabulary.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ml/Float16.h"
#include "ml/MultiArray.h"

namespace rararozuvu::detail {

// Suppressed scores: half-precision negative infinity (bits 0xFC00).
inline constexpr ml::Float16 kSuppressed = ml::Float16::fromBits(0xFC00);

// The half-precision scores of a logits array; empty for an array of another element type, which
// the filters then leave alone.
inline std::span<ml::Float16> halfScores(ml::MultiArray& logits) {
    if (logits.dataType() != ml::MultiArrayDataType::float16)
        return {};
    return logits.span<ml::Float16>();
}
inline std::span<const ml::Float16> halfScores(const ml::MultiArray& logits) {
    if (logits.dataType() != ml::MultiArrayDataType::float16)
        return {};
    return logits.span<ml::Float16>();
}

// Sets every score to `value`, a whole vector at a time.
void fill(std::span<ml::Float16> scores, ml::Float16 value);

// Sets ids [begin, end) to the suppressed score, clipped to the scores.
inline void suppressRange(std::span<ml::Float16> scores, std::int64_t begin, std::int64_t end) {
    const auto size = static_cast<std::int64_t>(scores.size());
    begin = begin < 0 ? 0 : begin;
    end = end > size ? size : end;
    if (begin < end) {
        fill(scores.subspan(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin)),
             kSuppressed);
    }
}

// Sets one id to the suppressed score when it lies inside the scores.
inline void suppress(std::span<ml::Float16> scores, std::int64_t id) {
    if (id >= 0 && id < static_cast<std::int64_t>(scores.size())) {
        scores[static_cast<std::size_t>(id)] = kSuppressed;
    }
}

// The scores widened to single precision into `out` (resized to fit; its buffer is reused from
// step to step).
void widen(std::span<const ml::Float16> scores, std::vector<float>& out);

// The largest value (negative infinity for an empty range or one of negative infinities only).
float maxValue(std::span<const float> values);

// Position of the first largest value; 0 for an empty range. NaNs are passed over unless the
// range starts with one.
std::size_t argMax(std::span<const float> values);

// Sum of exp(v - shift) over the values. A value of negative infinity adds nothing; the shift
// must be finite.
double sumExp(std::span<const float> values, float shift);

// log(sum(exp(v))) over the values: negative infinity when every value is (or there is none).
float logSumExp(std::span<const float> values);

}  // namespace rararozuvu::detail
