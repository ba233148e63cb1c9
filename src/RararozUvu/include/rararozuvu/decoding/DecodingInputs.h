#pragma once

#include <cstdint>
#include <vector>

#include "ml/MultiArray.h"
#include "rararozuvu/decoding/DecodingInputsType.h"

namespace rararozuvu {

// The arrays one decoding loop feeds to the decoder model at every step, created once per
// transcription and updated in place. E is the key-value embedding width, L the longest key-value
// sequence and W the encoder's frames per window.
//
// Shared by reference and not locked: one decoding loop uses it at a time.
class DecodingInputs : public DecodingInputsType {
public:
    DecodingInputs(std::vector<std::int64_t> initialPrompt, ml::MultiArray inputIds,
                   ml::MultiArray cacheLength, ml::MultiArray keyCache, ml::MultiArray valueCache,
                   ml::MultiArray alignmentWeights, ml::MultiArray kvCacheUpdateMask,
                   ml::MultiArray decoderKeyPaddingMask, ml::MultiArray prefillKeyCache,
                   ml::MultiArray prefillValueCache);

    std::vector<std::int64_t>& initialPrompt() override { return initialPrompt_; }
    const std::vector<std::int64_t>& initialPrompt() const override { return initialPrompt_; }
    // Int32 [1].
    ml::MultiArray& inputIds() override { return inputIds_; }
    const ml::MultiArray& inputIds() const override { return inputIds_; }
    // Int32 [1].
    ml::MultiArray& cacheLength() override { return cacheLength_; }
    const ml::MultiArray& cacheLength() const override { return cacheLength_; }
    // Float16 [1, E, 1, L].
    ml::MultiArray& keyCache() { return keyCache_; }
    const ml::MultiArray& keyCache() const { return keyCache_; }
    ml::MultiArray& valueCache() { return valueCache_; }
    const ml::MultiArray& valueCache() const { return valueCache_; }
    // Float16 [L, W].
    ml::MultiArray& alignmentWeights() { return alignmentWeights_; }
    const ml::MultiArray& alignmentWeights() const { return alignmentWeights_; }
    // Int32 [1, L]: 1 at the one position the current step writes.
    ml::MultiArray& kvCacheUpdateMask() { return kvCacheUpdateMask_; }
    const ml::MultiArray& kvCacheUpdateMask() const { return kvCacheUpdateMask_; }
    // Float16 [1, L]: 0 admits a position, -10000 shuts it out.
    ml::MultiArray& decoderKeyPaddingMask() { return decoderKeyPaddingMask_; }
    const ml::MultiArray& decoderKeyPaddingMask() const { return decoderKeyPaddingMask_; }
    // Float16 [1, E, 1, L]: the context-prefill model's cache.
    ml::MultiArray& prefillKeyCache() { return prefillKeyCache_; }
    const ml::MultiArray& prefillKeyCache() const { return prefillKeyCache_; }
    ml::MultiArray& prefillValueCache() { return prefillValueCache_; }
    const ml::MultiArray& prefillValueCache() const { return prefillValueCache_; }

    // Sets the cache length to p = prefilledCacheSize and, over the first maxTokenContext mask
    // positions, admits 0...p, shuts out the rest and marks p (or the last position, when p is
    // beyond it) as the next write. Positions past the masks' length are never written; nothing
    // else is touched. A maximum of 0 or below only sets the cache length.
    void reset(std::int64_t prefilledCacheSize, std::int64_t maxTokenContext) override;

private:
    std::vector<std::int64_t> initialPrompt_;
    ml::MultiArray inputIds_;
    ml::MultiArray cacheLength_;
    ml::MultiArray keyCache_;
    ml::MultiArray valueCache_;
    ml::MultiArray alignmentWeights_;
    ml::MultiArray kvCacheUpdateMask_;
    ml::MultiArray decoderKeyPaddingMask_;
    ml::MultiArray prefillKeyCache_;
    ml::MultiArray prefillValueCache_;
};

}  // namespace rararozuvu
