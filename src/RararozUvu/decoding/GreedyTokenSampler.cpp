#include "rararozuvu/decoding/GreedyTokenSampler.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "LogitsMath.h"
#include "rararozuvu/results/WhisperError.h"
#include "vevidocore/Logging.h"

namespace rararozuvu {

namespace {

std::uint64_t systemSeed() {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

[[noreturn]] void samplingFailed(const std::string& reason) {
    vevidocore::Logging::error("Sampling error: " + reason);
    throw WhisperError::decodingFailed("Sampling error: " + reason);
}

}  // namespace

GreedyTokenSampler::GreedyTokenSampler(ml::Float16 temperature, std::int64_t eotToken,
                                       DecodingOptions decodingOptions,
                                       std::optional<std::uint64_t> seed)
    : temperature(temperature),
      eotToken(eotToken),
      decodingOptions(std::move(decodingOptions)),
      generator_(seed ? *seed : systemSeed()) {}

SamplingResult GreedyTokenSampler::update(const std::vector<std::int64_t>& tokens,
                                          const ml::MultiArray& logits,
                                          const std::vector<float>& logProbs) {
    const auto [token, logProb] = sample(logits);
    SamplingResult result{tokens, logProbs, token == eotToken};
    result.tokens.push_back(token);
    result.logProbs.push_back(logProb);
    return result;
}

SamplingResult GreedyTokenSampler::finalize(const std::vector<std::int64_t>& tokens,
                                            const std::vector<float>& logProbs) {
    SamplingResult result{tokens, logProbs, true};
    if (tokens.empty() || tokens.back() != eotToken) {
        result.tokens.push_back(eotToken);
        result.logProbs.push_back(0.0f);
    }
    return result;
}

std::pair<std::int64_t, float> GreedyTokenSampler::sample(const ml::MultiArray& logits) {
    const std::span<const ml::Float16> scores = detail::halfScores(logits);
    if (scores.empty())
        samplingFailed("the logits are not a half-precision array");
    detail::widen(scores, scores_);

    const float t = temperature;
    if (t == 0.0f) {
        const std::size_t token = detail::argMax(scores_);
        const float best = scores_[token];
        if (!std::isfinite(best))
            samplingFailed("no token has a finite score");
        // The arg-max's log-probability is its score less the log-normaliser, which is 0 - log(S)
        // with the sum taken relative to the maximum.
        return {static_cast<std::int64_t>(token),
                -static_cast<float>(std::log(detail::sumExp(scores_, best)))};
    }

    // The tempered scores are half-precision values, as the scale factor is.
    const float alpha = ml::Float16(1.0f / t);
    for (float& s : scores_)
        s *= alpha;
    tempered_.resize(scores_.size());
    ml::convertToFloat16(scores_.data(), tempered_.data(), scores_.size());
    ml::convertToFloat(tempered_.data(), scores_.data(), scores_.size());
    const auto vocabulary = static_cast<std::int64_t>(scores_.size());
    return sampleAtTemperature(std::clamp<std::int64_t>(decodingOptions.topK, 1, vocabulary));
}

std::pair<std::int64_t, float> GreedyTokenSampler::sampleAtTemperature(std::int64_t candidates) {
    const float best = detail::maxValue(scores_);
    if (!std::isfinite(best))
        samplingFailed("no token has a finite score");
    const double normaliser = detail::sumExp(scores_, best);

    // The k best, largest first; among equal scores the lower id comes first.
    const auto k = static_cast<std::size_t>(candidates);
    std::vector<std::int64_t>& ids = candidateIds_;
    std::vector<float>& values = candidateScores_;
    ids.clear();
    values.clear();
    ids.reserve(k + 1);
    values.reserve(k + 1);
    for (std::size_t i = 0; i < scores_.size(); ++i) {
        const float v = scores_[i];
        if (values.size() == k && !(v > values.back()))
            continue;
        if (v == -std::numeric_limits<float>::infinity() || std::isnan(v))
            continue;
        const auto at = std::upper_bound(values.begin(), values.end(), v, std::greater<>());
        const auto offset = at - values.begin();
        values.insert(at, v);
        ids.insert(ids.begin() + offset, static_cast<std::int64_t>(i));
        if (values.size() > k) {
            values.pop_back();
            ids.pop_back();
        }
    }

    std::vector<float>& probabilities = candidateProbabilities_;
    probabilities.resize(values.size());
    float total = 0;
    for (std::size_t j = 0; j < values.size(); ++j) {
        probabilities[j] =
            static_cast<float>(std::exp(static_cast<double>(values[j]) - best) / normaliser);
        total += probabilities[j];
    }
    const float draw = std::generate_canonical<float, 24>(generator_) * total;
    std::size_t pick = 0;
    float running = 0;
    for (std::size_t j = 0; j < probabilities.size(); ++j) {
        running += probabilities[j];
        if (running > draw) {
            pick = j;
            break;
        }
    }
    return {ids[pick], std::log(probabilities[pick])};
}

}  // namespace rararozuvu
