#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rararozuvu/results/WordTiming.h"

namespace rararozuvu {

// One timed stretch of a transcript, as the segment seeker cut it from a decoded window.
struct TranscriptionSegment {
    // Running number given by the segment seeker.
    std::int64_t id = 0;
    // First sample of the 30 s window that produced the segment.
    std::int64_t seek = 0;
    float start = 0;
    float end = 0;
    std::string text;
    std::vector<std::int64_t> tokens;
    // One map per token: the token id to its log-probability.
    std::vector<std::map<std::int64_t, float>> tokenLogProbs;
    // Measures of the decode that produced the segment.
    float temperature = 0;
    float avgLogprob = 0;
    float compressionRatio = 0;
    float noSpeechProb = 0;
    // Present only when word timestamps were computed.
    std::optional<std::vector<WordTiming>> words;

    float duration() const { return end - start; }

    // Field by field in declaration order; floats compare numerically (NaN is unequal to itself,
    // 0 equals -0).
    friend bool operator==(const TranscriptionSegment&, const TranscriptionSegment&) = default;

    // Keys in field order, token log-probabilities as objects keyed by the decimal token id;
    // "words" is left out when absent and may be missing when read.
    std::string toJson() const;
    static TranscriptionSegment fromJson(std::string_view json);
};

}  // namespace rararozuvu

template <>
struct std::hash<rararozuvu::TranscriptionSegment> {
    std::size_t operator()(const rararozuvu::TranscriptionSegment& segment) const noexcept;
};
