#include "rararozuvu/audio/AudioChunking.h"

#include <fmt/format.h>

#include "rararozuvu/audio/SeekClips.h"
#include "rararozuvu/audio/VADAudioChunker.h"
#include "rararozuvu/results/TranscriptionUtilities.h"
#include "vevidocore/Logging.h"

namespace rararozuvu {

std::vector<AudioChunk> VADAudioChunker::chunkAll(
    const std::vector<float>& audioArray, std::int64_t maxChunkLength,
    const std::optional<DecodingOptions>& decodeOptions) {
    const auto count = static_cast<std::int64_t>(audioArray.size());
    if (count <= maxChunkLength)
        return {AudioChunk{0, audioArray}};

    const std::vector<IndexRange> clips =
        prepareSeekClips(decodeOptions.value_or(DecodingOptions()), count);
    std::vector<AudioChunk> chunks;
    for (const IndexRange& range : chunkRanges(audioArray, maxChunkLength, clips)) {
        vevidocore::Logging::debug(fmt::format("Found chunk from {:.2f} to {:.2f}",
                                               static_cast<double>(range.startIndex) / 16000.0,
                                               static_cast<double>(range.endIndex) / 16000.0));
        chunks.push_back(
            {range.startIndex, std::vector<float>(audioArray.begin() + range.startIndex,
                                                  audioArray.begin() + range.endIndex)});
    }
    return chunks;
}

TranscriptionResults AudioChunking::updateSeekOffsetsForResults(
    const std::vector<TranscriptionOutcome>& chunkedResults,
    const std::vector<AudioChunk>& audioChunks) {
    TranscriptionResults merged;
    for (std::size_t k = 0; k < chunkedResults.size() && k < audioChunks.size(); ++k) {
        const TranscriptionOutcome& outcome = chunkedResults[k];
        if (outcome.isFailure()) {
            vevidocore::Logging::debug(
                fmt::format("Error transcribing chunk {}: {}", k, outcome.errorDescription()));
            continue;
        }
        const float offset = static_cast<float>(audioChunks[k].seekOffsetIndex) / 16000.0f;
        for (const auto& result : outcome.get()) {
            result->modifySegments([offset](std::vector<TranscriptionSegment>& segments) {
                for (TranscriptionSegment& segment : segments) {
                    segment = TranscriptionUtilities::updateSegmentTimings(segment, offset);
                }
            });
            result->setSeekTime(offset);
            merged.push_back(result);
        }
    }
    return merged;
}

}  // namespace rararozuvu
