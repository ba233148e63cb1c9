#include "rararozuvu/decoding/LanguageLogitsFilter.h"

#include <algorithm>

#include "LogitsMath.h"

namespace rararozuvu {

namespace {

std::vector<std::pair<std::int64_t, std::int64_t>> gapsBetween(const std::set<std::int64_t>& kept,
                                                               std::int64_t size) {
    std::vector<std::pair<std::int64_t, std::int64_t>> runs;
    std::int64_t next = 0;
    for (std::int64_t id : kept) {
        if (id >= size)
            break;
        if (id < next)
            continue;
        if (id > next)
            runs.emplace_back(next, id);
        next = id + 1;
    }
    if (next < size)
        runs.emplace_back(next, size);
    return runs;
}

}  // namespace

LanguageLogitsFilter::LanguageLogitsFilter(std::set<std::int64_t> allLanguageTokens,
                                           std::int64_t logitsDim, std::int64_t sampleBegin)
    : allLanguageTokens(std::move(allLanguageTokens)),
      logitsDim(logitsDim),
      sampleBegin(sampleBegin),
      nonLanguageTokenIndexes(gapsBetween(this->allLanguageTokens, logitsDim)) {}

ml::MultiArray LanguageLogitsFilter::filterLogits(ml::MultiArray logits,
                                                  const std::vector<std::int64_t>& tokens) {
    if (static_cast<std::int64_t>(tokens.size()) >= sampleBegin) {
        const std::span<ml::Float16> scores = detail::halfScores(logits);
        for (const auto& [begin, end] : nonLanguageTokenIndexes) {
            detail::suppressRange(scores, begin, end);
        }
    }
    return logits;
}

}  // namespace rararozuvu
