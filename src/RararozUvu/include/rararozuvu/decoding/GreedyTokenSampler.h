#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "ml/Float16.h"
#include "rararozuvu/decoding/TokenSampling.h"
#include "rararozuvu/results/DecodingOptions.h"

namespace rararozuvu {

// Arg-max decoding at temperature 0; above it, a draw among the topK most probable tokens of the
// tempered distribution. One sampler serves one decoding attempt of one window, from one thread.
class GreedyTokenSampler : public TokenSampling {
public:
    // Without a seed the draws come from the system's random source; with one they repeat.
    GreedyTokenSampler(ml::Float16 temperature, std::int64_t eotToken,
                       DecodingOptions decodingOptions,
                       std::optional<std::uint64_t> seed = std::nullopt);

    // Throws WhisperError (decodingFailed) when no token can be drawn: every score suppressed
    // (negative infinity) or not a number, or logits that are not a half-precision array.
    SamplingResult update(const std::vector<std::int64_t>& tokens, const ml::MultiArray& logits,
                          const std::vector<float>& logProbs) override;
    SamplingResult finalize(const std::vector<std::int64_t>& tokens,
                            const std::vector<float>& logProbs) override;

    // The next token and the natural log of its probability over the whole vocabulary at the
    // sampler's temperature (not renormalised over the candidates). What update appends; the
    // decoding loop calls it directly so that a step copies no token list.
    std::pair<std::int64_t, float> sample(const ml::MultiArray& logits);

    // 0 selects arg-max decoding.
    ml::Float16 temperature;
    std::int64_t eotToken;
    // Only topK is read.
    DecodingOptions decodingOptions;

private:
    std::pair<std::int64_t, float> sampleAtTemperature(std::int64_t candidates);

    std::mt19937_64 generator_;
    // The step's scores in single precision (tempered above temperature 0), reused per step.
    std::vector<float> scores_;
    std::vector<ml::Float16> tempered_;
    std::vector<std::int64_t> candidateIds_;
    std::vector<float> candidateScores_;
    std::vector<float> candidateProbabilities_;
};

}  // namespace rararozuvu
