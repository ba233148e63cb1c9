#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "rararozuvu/results/Result.h"
#include "rararozuvu/results/TranscriptionResult.h"

namespace rararozuvu {

// What one transcription call gives: its results, in order.
using TranscriptionResults = std::vector<std::shared_ptr<TranscriptionResult>>;
// One audio's outcome in a batch: its results, or the error that stopped it.
using TranscriptionOutcome = Result<TranscriptionResults>;

// Each success's results, and nothing for each failure, position by position.
inline std::vector<std::optional<TranscriptionResults>> toOptionalArrays(
    const std::vector<TranscriptionOutcome>& outcomes) {
    std::vector<std::optional<TranscriptionResults>> arrays;
    arrays.reserve(outcomes.size());
    for (const TranscriptionOutcome& outcome : outcomes) {
        arrays.push_back(outcome.isSuccess() ? std::optional(outcome.get()) : std::nullopt);
    }
    return arrays;
}

}  // namespace rararozuvu
