#include "rararozuvu/decoding/SuppressBlankFilter.h"

#include "LogitsMath.h"

namespace rararozuvu {

SuppressBlankFilter::SuppressBlankFilter(SpecialTokens specialTokens, std::int64_t sampleBegin)
    : specialTokens(specialTokens),
      sampleBegin(sampleBegin),
      suppressTokenIndexes{specialTokens.whitespaceToken, specialTokens.endToken} {}

ml::MultiArray SuppressBlankFilter::filterLogits(ml::MultiArray logits,
                                                 const std::vector<std::int64_t>& tokens) {
    if (static_cast<std::int64_t>(tokens.size()) == sampleBegin) {
        const std::span<ml::Float16> scores = detail::halfScores(logits);
        for (std::int64_t id : suppressTokenIndexes)
            detail::suppress(scores, id);
    }
    return logits;
}

}  // namespace rararozuvu
