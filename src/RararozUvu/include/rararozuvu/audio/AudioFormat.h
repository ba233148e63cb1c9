#pragma once

#include <cstdint>

namespace rararozuvu {

// The layout of every buffer in the speech library: 32-bit float samples, one plane per channel.
// Only the rate and the channel count vary.
struct AudioFormat {
    double sampleRate = 16000.0;
    std::uint32_t channelCount = 1;

    friend bool operator==(const AudioFormat&, const AudioFormat&) = default;
};

}  // namespace rararozuvu
