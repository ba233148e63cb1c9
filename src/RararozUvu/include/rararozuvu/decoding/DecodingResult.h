#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "rararozuvu/decoding/DecodingCache.h"
#include "rararozuvu/decoding/DecodingFallback.h"
#include "rararozuvu/results/TranscriptionTimings.h"

namespace rararozuvu {

// What one decode of one window returns. A plain value without JSON or equality.
struct DecodingResult {
    // Language code of the window.
    std::string language;
    // Language code to probability.
    std::map<std::string, float> languageProbs;
    std::vector<std::int64_t> tokens;
    // One map per token: the token id to its log-probability.
    std::vector<std::map<std::int64_t, float>> tokenLogProbs;
    std::string text;
    float avgLogProb = 0;
    float noSpeechProb = 0;
    float temperature = 0;
    float compressionRatio = 0;
    std::optional<DecodingCache> cache;
    std::optional<TranscriptionTimings> timings = TranscriptionTimings{};
    std::optional<DecodingFallback> fallback;

    // Empty texts and lists, zero measures, and no cache, timings or fallback.
    static DecodingResult emptyResults() {
        DecodingResult result;
        result.timings.reset();
        return result;
    }
};

}  // namespace rararozuvu
