#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "rararozuvu/audio/AudioChunk.h"
#include "rararozuvu/results/DecodingOptions.h"
#include "rararozuvu/results/TranscriptionOutcome.h"

namespace rararozuvu {

// Cuts long audio into pieces that can be transcribed independently, and puts the pieces'
// results back on the timeline of the whole audio.
class AudioChunking {
public:
    virtual ~AudioChunking() = default;

    // The pieces of the audio in order, each at most maxChunkLength samples; audio no longer
    // than that is one piece at offset 0.
    virtual std::vector<AudioChunk> chunkAll(
        const std::vector<float>& audioArray, std::int64_t maxChunkLength,
        const std::optional<DecodingOptions>& decodeOptions) = 0;

    // The results of every successful piece, piece by piece, each moved later by its piece's
    // offset t = seekOffsetIndex / 16000 (single precision): segments' seek by the truncated
    // t x 16000, segments' and words' times by t, and the result's seekTime set to t. The
    // results are changed in place. A failed piece is left out after a debug line
    // "Error transcribing chunk <k>: <error>". The two lists correspond by position; pieces
    // beyond the shorter one are ignored.
    static TranscriptionResults updateSeekOffsetsForResults(
        const std::vector<TranscriptionOutcome>& chunkedResults,
        const std::vector<AudioChunk>& audioChunks);
};

}  // namespace rararozuvu
