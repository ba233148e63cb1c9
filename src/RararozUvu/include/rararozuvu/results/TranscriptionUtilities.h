#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rararozuvu/results/TranscriptionResult.h"
#include "rararozuvu/results/TranscriptionSegment.h"
#include "rararozuvu/results/WordTiming.h"

namespace rararozuvu {

// Operations on finished transcripts: moving segments in time, printing them, comparing word
// sequences and merging results. Pure apart from reading results through their locks.
struct TranscriptionUtilities {
    TranscriptionUtilities() = delete;

    // The segment moved later by `seekTime` seconds: seek by the truncated seekTime x 16000
    // (single precision), start, end and every word's times by seekTime.
    static TranscriptionSegment updateSegmentTimings(const TranscriptionSegment& segment,
                                                     float seekTime);

    // One line per segment: "[<start> --> <end>] <text>" with two decimals, or the text alone.
    static std::vector<std::string> formatSegments(
        const std::vector<TranscriptionSegment>& segments, bool withTimestamps);

    // The words of `second` from its start for as long as they match `first` word by word after
    // normalising both (see normalized()); they keep their own timings.
    static std::vector<WordTiming> findLongestCommonPrefix(const std::vector<WordTiming>& first,
                                                           const std::vector<WordTiming>& second);
    // The words of `second` after that common prefix.
    static std::vector<WordTiming> findLongestDifferentSuffix(
        const std::vector<WordTiming>& first, const std::vector<WordTiming>& second);

    // One result from several (an absent element is a null pointer): the texts joined with a
    // blank (absent ones as empty texts), or the confirmed words' texts run together when given;
    // every present result's segments in order, each renumbered from its result's position among
    // the present ones; the first present language ("en" without one); the timings combined
    // field by field (earliest starts, summed durations and counts, longest loads).
    static std::shared_ptr<TranscriptionResult> mergeTranscriptionResults(
        const std::vector<std::shared_ptr<TranscriptionResult>>& results,
        const std::optional<std::vector<WordTiming>>& confirmedWords = std::nullopt);
};

inline TranscriptionSegment updateSegmentTimings(const TranscriptionSegment& segment,
                                                 float seekTime) {
    return TranscriptionUtilities::updateSegmentTimings(segment, seekTime);
}
inline std::vector<std::string> formatSegments(const std::vector<TranscriptionSegment>& segments,
                                               bool withTimestamps) {
    return TranscriptionUtilities::formatSegments(segments, withTimestamps);
}
inline std::vector<WordTiming> findLongestCommonPrefix(const std::vector<WordTiming>& first,
                                                       const std::vector<WordTiming>& second) {
    return TranscriptionUtilities::findLongestCommonPrefix(first, second);
}
inline std::vector<WordTiming> findLongestDifferentSuffix(const std::vector<WordTiming>& first,
                                                          const std::vector<WordTiming>& second) {
    return TranscriptionUtilities::findLongestDifferentSuffix(first, second);
}
inline std::shared_ptr<TranscriptionResult> mergeTranscriptionResults(
    const std::vector<std::shared_ptr<TranscriptionResult>>& results,
    const std::optional<std::vector<WordTiming>>& confirmedWords = std::nullopt) {
    return TranscriptionUtilities::mergeTranscriptionResults(results, confirmedWords);
}

// Whether some segment of the list starts where `segment` starts; nothing else is compared.
bool contains(const std::vector<TranscriptionSegment>& segments,
              const TranscriptionSegment& segment);

}  // namespace rararozuvu
