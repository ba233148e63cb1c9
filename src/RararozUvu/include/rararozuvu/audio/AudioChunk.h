#pragma once

#include <cstdint>
#include <vector>

namespace rararozuvu {

// One piece of a long recording cut at a silence.
struct AudioChunk {
    // Index of the piece's first sample in the whole audio.
    std::int64_t seekOffsetIndex = 0;
    std::vector<float> audioSamples;
};

}  // namespace rararozuvu
