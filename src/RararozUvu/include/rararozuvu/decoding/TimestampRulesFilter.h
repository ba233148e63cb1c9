#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "rararozuvu/decoding/LogitsFiltering.h"
#include "rararozuvu/models/SpecialTokens.h"

namespace rararozuvu {

// Enforces the timestamp grammar of a window: timestamps come in pairs around text, never go
// back in time, and one must be sampled when the timestamps together are more likely than the
// best text token.
class TimestampRulesFilter : public LogitsFiltering {
public:
    TimestampRulesFilter(SpecialTokens specialTokens, std::int64_t sampleBegin,
                         bool isModelMultilingual);

    ml::MultiArray filterLogits(ml::MultiArray logits,
                                const std::vector<std::int64_t>& tokens) override;

    // Where the sampled part of `tokens` starts; absent on a multilingual model when none of the
    // first three tokens is a task token (the window then gets no timestamp rules).
    std::optional<std::int64_t> sampledStart(const std::vector<std::int64_t>& tokens) const;

    // Whether the timestamps' total probability exceeds the best text token's, both compared as
    // half-precision log-probabilities. Never true when every timestamp is forbidden.
    bool timestampMassDominates(const ml::MultiArray& logits);

    const SpecialTokens specialTokens;
    const std::int64_t sampleBegin;
    const bool isModelMultilingual;

private:
    // The widened logits of the current step; kept so that a window allocates them once.
    std::vector<float> scratch_;
};

}  // namespace rararozuvu
