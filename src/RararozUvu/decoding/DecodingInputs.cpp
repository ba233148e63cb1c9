#include "rararozuvu/decoding/DecodingInputs.h"

#include <algorithm>

namespace rararozuvu {

namespace {

// The padding mask's value for a position the decoder must ignore (exact in half precision).
constexpr double shutOut = -10000;

}  // namespace

DecodingInputs::DecodingInputs(std::vector<std::int64_t> initialPrompt, ml::MultiArray inputIds,
                               ml::MultiArray cacheLength, ml::MultiArray keyCache,
                               ml::MultiArray valueCache, ml::MultiArray alignmentWeights,
                               ml::MultiArray kvCacheUpdateMask,
                               ml::MultiArray decoderKeyPaddingMask, ml::MultiArray prefillKeyCache,
                               ml::MultiArray prefillValueCache)
    : initialPrompt_(std::move(initialPrompt)),
      inputIds_(std::move(inputIds)),
      cacheLength_(std::move(cacheLength)),
      keyCache_(std::move(keyCache)),
      valueCache_(std::move(valueCache)),
      alignmentWeights_(std::move(alignmentWeights)),
      kvCacheUpdateMask_(std::move(kvCacheUpdateMask)),
      decoderKeyPaddingMask_(std::move(decoderKeyPaddingMask)),
      prefillKeyCache_(std::move(prefillKeyCache)),
      prefillValueCache_(std::move(prefillValueCache)) {}

void DecodingInputs::reset(std::int64_t prefilledCacheSize, std::int64_t maxTokenContext) {
    const std::int64_t p = prefilledCacheSize;
    cacheLength_.setValue(0, static_cast<double>(p));
    // A sample length longer than the masks must not write past them.
    const std::int64_t end =
        std::min({maxTokenContext, kvCacheUpdateMask_.count(), decoderKeyPaddingMask_.count()});
    for (std::int64_t i = 0; i < end; ++i) {
        if (i > p) {
            decoderKeyPaddingMask_.setValue(i, shutOut);
            kvCacheUpdateMask_.setValue(i, 0);
        } else {
            decoderKeyPaddingMask_.setValue(i, 0);
            if (i > 0) {
                kvCacheUpdateMask_.setValue(i - 1, 0);
            }
            kvCacheUpdateMask_.setValue(i, 1);
        }
    }
}

}  // namespace rararozuvu
