#pragma once

#include <cstdint>
#include <vector>

#include "ml/MultiArray.h"

namespace rararozuvu {

// Forbids some tokens at one decoding step by setting their scores to negative infinity.
class LogitsFiltering {
public:
    virtual ~LogitsFiltering() = default;

    // `logits` holds the half-precision scores of one step, shape [1, 1, vocabulary size];
    // `tokens` the window's sequence so far (the forced prompt first). Edits the scores in place
    // and returns the same array. Never fails.
    virtual ml::MultiArray filterLogits(ml::MultiArray logits,
                                        const std::vector<std::int64_t>& tokens) = 0;
};

}  // namespace rararozuvu
