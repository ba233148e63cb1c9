#pragma once

#include <optional>

#include "ml/MultiArray.h"

namespace rararozuvu {

// A key-value cache carried out of a decode.
struct DecodingCache {
    std::optional<ml::MultiArray> keyCache;
    std::optional<ml::MultiArray> valueCache;
    std::optional<ml::MultiArray> alignmentWeights;
};

}  // namespace rararozuvu
