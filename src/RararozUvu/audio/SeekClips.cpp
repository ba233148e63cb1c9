#include "rararozuvu/audio/SeekClips.h"

#include <algorithm>
#include <cmath>

#include "rararozuvu/results/WhisperError.h"

namespace rararozuvu {

std::vector<IndexRange> prepareSeekClips(const DecodingOptions& options,
                                         std::int64_t contentFrames) {
    std::vector<std::int64_t> points;
    points.reserve(options.clipTimestamps.size() + 1);
    for (float seconds : options.clipTimestamps) {
        if (!std::isfinite(seconds)) {
            throw WhisperError::transcriptionFailed("Clip timestamps must be finite numbers");
        }
        // Rounded in double so that no timestamp overflows on its way to a sample index.
        const double sample = std::round(static_cast<double>(seconds * 16000.0f));
        points.push_back(static_cast<std::int64_t>(std::clamp(
            sample, 0.0, static_cast<double>(std::max<std::int64_t>(contentFrames, 0)))));
    }
    if (points.empty())
        points.push_back(0);
    if (points.size() % 2 == 1)
        points.push_back(contentFrames);

    std::vector<IndexRange> clips;
    clips.reserve(points.size() / 2);
    for (std::size_t i = 0; i + 1 < points.size(); i += 2)
        clips.push_back({points[i], points[i + 1]});
    return clips;
}

}  // namespace rararozuvu
