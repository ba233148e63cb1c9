#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "ml/MultiArray.h"
#include "rararozuvu/decoding/SegmentSeeking.h"

namespace rararozuvu {

// Cuts a decoded window at its timestamp tokens into timed segments, finds where the next window
// starts, and times the words of the segments from the decoder's cross-attention. Keeps no state:
// one instance may serve any number of windows and threads.
class SegmentSeeker : public SegmentSeeking {
public:
    // A token path through the alignment matrix: token rows and encoder frames, both running
    // from the start.
    struct AlignmentPath {
        std::vector<std::int64_t> textIndices;
        std::vector<std::int64_t> timeIndices;
    };

    SegmentSeeker() = default;

    std::pair<std::int64_t, std::optional<std::vector<TranscriptionSegment>>>
    findSeekPointAndSegments(const DecodingResult& decodingResult, const DecodingOptions& options,
                             std::int64_t allSegmentsCount, std::int64_t currentSeek,
                             std::int64_t segmentSize, std::int64_t sampleRate,
                             std::int64_t timeToken, std::int64_t specialToken,
                             const WhisperTokenizer& tokenizer) override;

    // Never absent. A window whose segments hold no token comes back unchanged.
    std::optional<std::vector<TranscriptionSegment>> addWordTimestamps(
        const std::vector<TranscriptionSegment>& segments, const ml::MultiArray& alignmentWeights,
        const WhisperTokenizer& tokenizer, std::int64_t seek, std::int64_t segmentSize,
        std::string_view prependPunctuations, std::string_view appendPunctuations,
        float lastSpeechTimestamp, const DecodingOptions& options,
        const TranscriptionTimings& timings) override;

    // The cheapest path through a [tokens, frames] matrix of attention weights (high weight is
    // low cost). Throws WhisperError (segmentingFailed) unless the matrix has two dimensions.
    AlignmentPath dynamicTimeWarping(const ml::MultiArray& matrix) const;
    // The path that a trace matrix of moves (0 diagonal, 1 up a token, 2 back a frame) leads to
    // from its last cell.
    AlignmentPath backtrace(const std::vector<std::vector<int>>& traceMatrix) const;

    // Words of the tokens (one log-probability each) timed along the warping path; none when
    // the tokens make fewer than two words.
    std::vector<WordTiming> findAlignment(const std::vector<std::int64_t>& wordTokenIds,
                                          const ml::MultiArray& alignmentWeights,
                                          const std::vector<float>& tokenLogProbs,
                                          const WhisperTokenizer& tokenizer,
                                          const TranscriptionTimings* timings = nullptr) const;

    // The median of the positive word durations (at most 0.7 s) and twice that.
    std::pair<float, float> calculateWordDurationConstraints(
        const std::vector<WordTiming>& alignment) const;
    // Cuts words longer than maxDuration that are, or follow, a sentence end.
    std::vector<WordTiming> truncateLongWordsAtSentenceBoundaries(std::vector<WordTiming> alignment,
                                                                  float maxDuration) const;
    // Joins opening marks to the word after them and closing marks to the word before them, then
    // drops the words that are punctuation alone. Joined and dropped words hand their tokens on
    // (a dropped word's to the word before it, or after it at the start), so the tokens of the
    // result are exactly those of the input.
    std::vector<WordTiming> mergePunctuations(const std::vector<WordTiming>& alignment,
                                              std::string_view prepended,
                                              std::string_view appended) const;
    // Hands the words out to the segments by their text-token counts, in absolute time, and
    // reconciles each segment's start and end with its words.
    std::vector<TranscriptionSegment> updateSegmentsWithWordTimings(
        std::vector<TranscriptionSegment> segments, const std::vector<WordTiming>& mergedAlignment,
        std::int64_t seek, float lastSpeechTimestamp, float constrainedMedianDuration,
        float maxDuration, const WhisperTokenizer& tokenizer) const;
};

}  // namespace rararozuvu
