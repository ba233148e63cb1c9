#pragma once

#include <cstdint>
#include <set>
#include <utility>
#include <vector>

#include "rararozuvu/decoding/LogitsFiltering.h"

namespace rararozuvu {

// Leaves only language tokens selectable, from the sample begin on.
class LanguageLogitsFilter : public LogitsFiltering {
public:
    LanguageLogitsFilter(std::set<std::int64_t> allLanguageTokens, std::int64_t logitsDim,
                         std::int64_t sampleBegin);

    // Logits of another size than `logitsDim` have only the ids below both forbidden.
    ml::MultiArray filterLogits(ml::MultiArray logits,
                                const std::vector<std::int64_t>& tokens) override;

    const std::set<std::int64_t> allLanguageTokens;
    const std::int64_t logitsDim;
    const std::int64_t sampleBegin;
    // Every id from 0 to logitsDim - 1 that is not a language token, ascending, as half-open
    // runs [begin, end) so that a step fills whole stretches of the vocabulary.
    const std::vector<std::pair<std::int64_t, std::int64_t>> nonLanguageTokenIndexes;
};

}  // namespace rararozuvu
