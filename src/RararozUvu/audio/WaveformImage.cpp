#include "rararozuvu/audio/WaveformImage.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "rararozuvu/results/WhisperError.h"

namespace rararozuvu {

WaveformImage WaveformImage::fromSamples(std::span<const float> samples, double width,
                                         double height) {
    static_assert(sizeof(float) == bytesPerPixel);
    if (!std::isfinite(width) || !std::isfinite(height)) {
        throw WhisperError::audioProcessingFailed("Waveform image size is not finite");
    }
    // Anything above the sample count cannot be filled; checking before the conversion keeps
    // huge doubles from overflowing the integers.
    const auto count = static_cast<double>(samples.size());
    const double w = std::trunc(width);
    const double h = std::trunc(height);
    if (w < 1 || h < 1) {
        throw WhisperError::audioProcessingFailed("Waveform image size is empty");
    }
    if (w > count || h > count || w * h > count) {
        throw WhisperError::audioProcessingFailed(
            "Waveform image of " + std::to_string(static_cast<long long>(std::min(w, 1e18))) +
            " x " + std::to_string(static_cast<long long>(std::min(h, 1e18))) +
            " pixels needs more than the " + std::to_string(samples.size()) + " samples given");
    }
    WaveformImage image;
    image.width = static_cast<std::int64_t>(w);
    image.height = static_cast<std::int64_t>(h);
    const std::size_t pixelCount =
        static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height);
    image.pixels.resize(pixelCount * bytesPerPixel);
    std::memcpy(image.pixels.data(), samples.data(), image.pixels.size());
    return image;
}

}  // namespace rararozuvu
