#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "rararozuvu/results/TranscriptionTimings.h"

namespace rararozuvu {

// What the decoder reports while it decodes a window.
struct TranscriptionProgress {
    TranscriptionTimings timings;
    // The decoded text at the time of the report.
    std::string text;
    std::vector<std::int64_t> tokens;
    std::optional<float> temperature;
    std::optional<float> avgLogprob;
    std::optional<float> compressionRatio;
    // Number of the window being decoded.
    std::int64_t windowId = 0;
};

// The progress callback: an answer of false stops the current window early; nothing or true lets
// it go on. An empty function means no callback.
using TranscriptionCallback = std::function<std::optional<bool>(const TranscriptionProgress&)>;

}  // namespace rararozuvu
