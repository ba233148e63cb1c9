#pragma once

#include <optional>
#include <string>

#include "rararozuvu/results/DecodingOptions.h"

namespace rararozuvu {

// Whether a window is decoded again at the next temperature, and why.
struct DecodingFallback {
    bool needsFallback = false;
    // "firstTokenLogProbThreshold", "silence", "compressionRatioThreshold" or "logProbThreshold".
    std::string fallbackReason;

    // The verdict on one decode, first match wins (every comparison strict, so NaN never
    // matches): a too unlikely first token falls back; a no-speech probability above the
    // options' threshold is silence and does not; a compression ratio above its threshold, or an
    // average log-probability below its threshold, falls back. Nothing when no rule applies: the
    // result is kept.
    static std::optional<DecodingFallback> verdict(const DecodingOptions& options,
                                                   bool isFirstTokenLogProbTooLow,
                                                   float noSpeechProb, float compressionRatio,
                                                   float avgLogProb);
};

}  // namespace rararozuvu
