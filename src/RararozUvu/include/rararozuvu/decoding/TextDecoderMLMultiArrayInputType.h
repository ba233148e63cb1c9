#pragma once

#include "ml/MultiArray.h"

namespace rararozuvu {

// The seven arrays of one decoder step, as the shipped decoder takes them through
// TextDecoding::predictLogits. Copies share the arrays.
struct TextDecoderMLMultiArrayInputType {
    ml::MultiArray inputIds;
    ml::MultiArray cacheLength;
    ml::MultiArray keyCache;
    ml::MultiArray valueCache;
    ml::MultiArray kvCacheUpdateMask;
    ml::MultiArray encoderOutputEmbeds;
    ml::MultiArray decoderKeyPaddingMask;
};

}  // namespace rararozuvu
