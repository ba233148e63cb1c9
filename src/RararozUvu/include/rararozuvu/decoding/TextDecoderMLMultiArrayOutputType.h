#pragma once

#include <optional>

#include "ml/MultiArray.h"
#include "rararozuvu/decoding/DecodingCache.h"

namespace rararozuvu {

// What one decoder step gives: the next position's logits [1, 1, V] and the step's cache rows
// (keys and values [1, E, 1, 1], alignment weights [1, W] when the model has them). Both absent
// when no model was loaded.
struct TextDecoderMLMultiArrayOutputType {
    std::optional<ml::MultiArray> logits;
    std::optional<DecodingCache> cache;
};

}  // namespace rararozuvu
