#pragma once

#include <cstdint>
#include <vector>

#include "rararozuvu/decoding/LogitsFiltering.h"

namespace rararozuvu {

// Forbids a fixed list of tokens at every step.
class SuppressTokensFilter : public LogitsFiltering {
public:
    explicit SuppressTokensFilter(std::vector<std::int64_t> suppressTokens);

    // Ids outside the vocabulary (a negative id, or one past the logits) are passed over.
    ml::MultiArray filterLogits(ml::MultiArray logits,
                                const std::vector<std::int64_t>& tokens) override;

    // The ids to forbid, as given (duplicates kept).
    const std::vector<std::int64_t> suppressTokens;
    // Positions in the last dimension of the [1, 1, V] logits, one per entry above.
    const std::vector<std::int64_t> suppressTokenIndexes;
};

}  // namespace rararozuvu
