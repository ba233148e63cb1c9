#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace rararozuvu {

// A picture of raw samples: width x height pixels of 4 bytes each (8 bits per component,
// little-endian 32-bit pixels, premultiplied alpha first, device RGB), rows of 4 x width bytes.
// The pixel bytes are the samples' own bytes in order, one 32-bit float per pixel: the image is a
// view of the samples' storage, not a drawn curve.
struct WaveformImage {
    static constexpr std::size_t bytesPerPixel = 4;
    static constexpr std::size_t bitsPerComponent = 8;

    std::int64_t width = 0;
    std::int64_t height = 0;
    std::vector<std::uint8_t> pixels;

    std::size_t bytesPerRow() const noexcept {
        return static_cast<std::size_t>(width) * bytesPerPixel;
    }

    // Width and height are the size's, each cut toward zero. Throws WhisperError
    // (audioProcessingFailed) for a size that is not finite, cuts to less than one pixel either
    // way or holds more pixels than there are samples: the image would otherwise read past the
    // samples.
    static WaveformImage fromSamples(std::span<const float> samples, double width, double height);
};

}  // namespace rararozuvu
