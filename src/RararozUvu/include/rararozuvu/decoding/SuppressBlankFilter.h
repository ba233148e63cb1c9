#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "rararozuvu/decoding/LogitsFiltering.h"
#include "rararozuvu/models/SpecialTokens.h"

namespace rararozuvu {

// Keeps a window from beginning with a blank or ending at once: forbids the blank and the
// end-of-text token at the first sampled position only.
class SuppressBlankFilter : public LogitsFiltering {
public:
    SuppressBlankFilter(SpecialTokens specialTokens, std::int64_t sampleBegin);

    ml::MultiArray filterLogits(ml::MultiArray logits,
                                const std::vector<std::int64_t>& tokens) override;

    const SpecialTokens specialTokens;
    // Length of the token sequence when the first token is about to be sampled.
    const std::int64_t sampleBegin;
    // The blank, then the end of text.
    const std::array<std::int64_t, 2> suppressTokenIndexes;
};

}  // namespace rararozuvu
