#include "rararozuvu/decoding/SuppressTokensFilter.h"

#include "LogitsMath.h"

namespace rararozuvu {

SuppressTokensFilter::SuppressTokensFilter(std::vector<std::int64_t> suppressTokens)
    : suppressTokens(std::move(suppressTokens)), suppressTokenIndexes(this->suppressTokens) {}

ml::MultiArray SuppressTokensFilter::filterLogits(ml::MultiArray logits,
                                                  const std::vector<std::int64_t>& /*tokens*/) {
    const std::span<ml::Float16> scores = detail::halfScores(logits);
    for (std::int64_t id : suppressTokenIndexes)
        detail::suppress(scores, id);
    return logits;
}

}  // namespace rararozuvu
