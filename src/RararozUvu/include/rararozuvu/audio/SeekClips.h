#pragma once

#include <cstdint>
#include <vector>

#include "rararozuvu/audio/IndexRange.h"
#include "rararozuvu/results/DecodingOptions.h"

namespace rararozuvu {

// The sample ranges (16 kHz) that a transcription walks, from the options' clip timestamps: each
// time rounded to the nearest sample (halves away from zero), no times meaning [0], an odd count
// closed by the end of the audio, then taken in pairs (start, end) in the order given. Times are
// clamped to the audio, so a clip never reaches outside it. Throws WhisperError
// (transcriptionFailed) for a time that is not a finite number.
std::vector<IndexRange> prepareSeekClips(const DecodingOptions& options,
                                         std::int64_t contentFrames);

}  // namespace rararozuvu
