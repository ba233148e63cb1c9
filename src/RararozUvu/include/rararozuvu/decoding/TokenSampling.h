#pragma once

#include <cstdint>
#include <vector>

#include "ml/MultiArray.h"

namespace rararozuvu {

// A sampler's answer: the sequence with the new token, the log-probabilities of the sampled
// tokens, and whether the window is finished.
struct SamplingResult {
    std::vector<std::int64_t> tokens;
    std::vector<float> logProbs;
    bool completed = false;
};

// Picks the next token of a window from one step's filtered logits.
class TokenSampling {
public:
    virtual ~TokenSampling() = default;

    virtual SamplingResult update(const std::vector<std::int64_t>& tokens,
                                  const ml::MultiArray& logits,
                                  const std::vector<float>& logProbs) = 0;
    // Closes the sequence at the end of the window.
    virtual SamplingResult finalize(const std::vector<std::int64_t>& tokens,
                                    const std::vector<float>& logProbs) = 0;
};

}  // namespace rararozuvu
