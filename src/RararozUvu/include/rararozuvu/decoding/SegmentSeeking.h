#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "ml/MultiArray.h"
#include "rararozuvu/decoding/DecodingResult.h"
#include "rararozuvu/models/WhisperTokenizer.h"
#include "rararozuvu/results/DecodingOptions.h"
#include "rararozuvu/results/TranscriptionSegment.h"
#include "rararozuvu/results/TranscriptionTimings.h"

namespace rararozuvu {

// Turns a decoded window's tokens into timed segments and word timings, and finds where the next
// window starts.
class SegmentSeeking {
public:
    virtual ~SegmentSeeking() = default;

    // The next seek point in samples, and the window's segments (numbered from
    // `allSegmentsCount`), or no segments when the window is skipped as silence.
    virtual std::pair<std::int64_t, std::optional<std::vector<TranscriptionSegment>>>
    findSeekPointAndSegments(const DecodingResult& decodingResult, const DecodingOptions& options,
                             std::int64_t allSegmentsCount, std::int64_t currentSeek,
                             std::int64_t segmentSize, std::int64_t sampleRate,
                             std::int64_t timeToken, std::int64_t specialToken,
                             const WhisperTokenizer& tokenizer) = 0;

    // The segments with their words timed from the decoder's alignment weights. Throws
    // WhisperError (segmentingFailed).
    virtual std::optional<std::vector<TranscriptionSegment>> addWordTimestamps(
        const std::vector<TranscriptionSegment>& segments, const ml::MultiArray& alignmentWeights,
        const WhisperTokenizer& tokenizer, std::int64_t seek, std::int64_t segmentSize,
        std::string_view prependPunctuations, std::string_view appendPunctuations,
        float lastSpeechTimestamp, const DecodingOptions& options,
        const TranscriptionTimings& timings) = 0;
};

}  // namespace rararozuvu
