#pragma once

#include <cstdint>
#include <vector>

#include "ml/MultiArray.h"

namespace rararozuvu {

// What the decoding loop reaches of its inputs without knowing their concrete type. The loop and
// the prefill step need the full DecodingInputs and convert to it with a checked cast.
class DecodingInputsType {
public:
    virtual ~DecodingInputsType() = default;

    // The prompt tokens the inputs were prepared with.
    virtual std::vector<std::int64_t>& initialPrompt() = 0;
    virtual const std::vector<std::int64_t>& initialPrompt() const = 0;
    // The token fed at the current step, shape [1].
    virtual ml::MultiArray& inputIds() = 0;
    virtual const ml::MultiArray& inputIds() const = 0;
    // Cache positions already filled, shape [1].
    virtual ml::MultiArray& cacheLength() = 0;
    virtual const ml::MultiArray& cacheLength() const = 0;

    // Rewinds the arrays for a new window whose first `prefilledCacheSize` positions are filled,
    // decoding at most `maxTokenContext` steps.
    virtual void reset(std::int64_t prefilledCacheSize, std::int64_t maxTokenContext) = 0;
};

}  // namespace rararozuvu
