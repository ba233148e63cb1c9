#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "rararozuvu/audio/AudioChunking.h"
#include "rararozuvu/audio/IndexRange.h"
#include "rararozuvu/audio/VoiceActivityDetector.h"

namespace rararozuvu {

// Cuts audio longer than one model window into pieces at the middle of the longest silence in the
// second half of each window, so the pieces can be transcribed in parallel.
class VADAudioChunker : public AudioChunking {
public:
    // Without a detector the default EnergyVAD (16 kHz, 0.1 s frames, threshold 0.02) is used.
    explicit VADAudioChunker(std::int64_t windowPadding = 16000,
                             std::shared_ptr<const VoiceActivityDetector> vad = nullptr);

    std::int64_t windowPadding() const noexcept { return windowPadding_; }
    const VoiceActivityDetector& vad() const noexcept { return *vad_; }

    // The sample ranges of the pieces, in order. Audio of at most maxChunkLength samples is one
    // piece. Otherwise each seek clip (a sample range; the whole audio when none are given) is cut
    // into pieces of at most maxChunkLength samples; a tail of a clip shorter than windowPadding
    // joins the clip's last piece, and a clip that short is a piece of its own, so no sample of a
    // clip is left out. Clip ends past the audio are cut at its end. Throws WhisperError
    // (audioProcessingFailed, "startIndex is outside the buffer size") for a clip that starts
    // outside the samples.
    std::vector<IndexRange> chunkRanges(std::span<const float> audioArray,
                                        std::int64_t maxChunkLength,
                                        std::span<const IndexRange> seekClips = {}) const;

    // The pieces of chunkRanges over the options' seek clips (the whole audio without options),
    // each with its samples copied; a debug line "Found chunk from <start> to <end>" (seconds)
    // for each.
    std::vector<AudioChunk> chunkAll(const std::vector<float>& audioArray,
                                     std::int64_t maxChunkLength,
                                     const std::optional<DecodingOptions>& decodeOptions) override;

private:
    std::int64_t splitPoint(std::span<const float> audioArray, std::int64_t startIndex,
                            std::int64_t endIndex) const;

    std::int64_t windowPadding_;
    std::shared_ptr<const VoiceActivityDetector> vad_;
};

}  // namespace rararozuvu
