#pragma once

#include <cstdint>
#include <vector>

#include "rararozuvu/decoding/TokenSampling.h"

namespace rararozuvu {

// Reserved for beam search; nothing builds one yet, and both operations stop the program.
class BeamSearchTokenSampler : public TokenSampling {
public:
    BeamSearchTokenSampler(std::int64_t beamSize, std::int64_t eotToken, float patience = 1,
                           std::int64_t maxCandidates = 0);

    SamplingResult update(const std::vector<std::int64_t>& tokens, const ml::MultiArray& logits,
                          const std::vector<float>& logProbs) override;
    SamplingResult finalize(const std::vector<std::int64_t>& tokens,
                            const std::vector<float>& logProbs) override;

    std::int64_t beamSize;
    std::int64_t eotToken;
    float patience;
    std::int64_t maxCandidates;
    std::vector<float> finishedSequences;
};

}  // namespace rararozuvu
