#include "rararozuvu/audio/VADAudioChunker.h"

#include <algorithm>

#include "rararozuvu/audio/EnergyVAD.h"
#include "rararozuvu/results/WhisperError.h"

namespace rararozuvu {

VADAudioChunker::VADAudioChunker(std::int64_t windowPadding,
                                 std::shared_ptr<const VoiceActivityDetector> vad)
    : windowPadding_(windowPadding),
      vad_(vad ? std::move(vad) : std::make_shared<const EnergyVAD>()) {}

std::int64_t VADAudioChunker::splitPoint(std::span<const float> audioArray, std::int64_t startIndex,
                                         std::int64_t endIndex) const {
    if (endIndex <= startIndex) {
        return endIndex;
    }
    // Only the second half of the window is searched, so no piece comes out shorter than half a
    // window.
    const std::int64_t mid = startIndex + (endIndex - startIndex) / 2;
    const std::vector<bool> activity = vad_->voiceActivity(audioArray.subspan(
        static_cast<std::size_t>(mid), static_cast<std::size_t>(endIndex - mid)));
    const std::optional<IndexRange> silence = VoiceActivityDetector::findLongestSilence(activity);
    if (!silence) {
        return endIndex;
    }
    const std::int64_t middleFrame =
        silence->startIndex + (silence->endIndex - silence->startIndex) / 2;
    return std::min(mid + middleFrame * vad_->frameLengthSamples(), endIndex);
}

std::vector<IndexRange> VADAudioChunker::chunkRanges(std::span<const float> audioArray,
                                                     std::int64_t maxChunkLength,
                                                     std::span<const IndexRange> seekClips) const {
    const auto count = static_cast<std::int64_t>(audioArray.size());
    if (count <= maxChunkLength) {
        return {IndexRange{0, count}};
    }
    const IndexRange wholeAudio{0, count};
    if (seekClips.empty()) {
        seekClips = std::span<const IndexRange>(&wholeAudio, 1);
    }
    std::vector<IndexRange> chunks;
    for (const IndexRange& clip : seekClips) {
        if (clip.startIndex < clip.endIndex - windowPadding_ &&
            (clip.startIndex < 0 || clip.startIndex >= count)) {
            throw WhisperError::audioProcessingFailed("startIndex is outside the buffer size");
        }
        // A clip may reach past the audio; its pieces stop where the samples do.
        const std::int64_t clipEnd = std::min(clip.endIndex, count);
        const std::size_t firstOfClip = chunks.size();
        std::int64_t seek = std::max<std::int64_t>(clip.startIndex, 0);
        while (seek < clipEnd - windowPadding_) {
            const std::int64_t chunkEnd = seek + maxChunkLength < clipEnd
                                              ? splitPoint(audioArray, seek, seek + maxChunkLength)
                                              : clipEnd;
            if (chunkEnd <= seek) {
                break;
            }
            chunks.push_back({seek, chunkEnd});
            seek = chunkEnd;
        }
        // The clip's tail, too short to start a piece of its own, still has to be heard.
        if (chunks.size() > firstOfClip) {
            chunks.back().endIndex = std::max(chunks.back().endIndex, clipEnd);
        } else if (seek < clipEnd) {
            chunks.push_back({seek, clipEnd});
        }
    }
    return chunks;
}

}  // namespace rararozuvu
