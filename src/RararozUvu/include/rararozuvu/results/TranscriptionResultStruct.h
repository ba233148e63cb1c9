#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rararozuvu/results/TranscriptionSegment.h"
#include "rararozuvu/results/TranscriptionTimings.h"

namespace rararozuvu {

// A plain value copy of a result's five fields, for callers that want one. Its JSON leaves an
// absent "seekTime" out and accepts it missing or null.
struct TranscriptionResultStruct {
    std::string text;
    std::vector<TranscriptionSegment> segments;
    std::string language;
    TranscriptionTimings timings;
    std::optional<float> seekTime;

    std::string toJson() const;
    static TranscriptionResultStruct fromJson(std::string_view json);
};

}  // namespace rararozuvu
