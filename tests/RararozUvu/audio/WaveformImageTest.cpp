#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "rararozuvu/audio/AudioProcessor.h"

namespace rararozuvu {
namespace {

TEST(WaveformImageTest, PixelsAreTheSamplesBytes) {
    const std::vector<float> samples{0.5f, -1.0f, 0.25f, 2.0f, 7.0f, 0.0f, 1.5f};
    const struct {
        double width, height;
        std::int64_t w, h;
    } sizes[] = {{3, 2, 3, 2}, {2.9, 1.99, 2, 1}, {7, 1, 7, 1}, {1, 7, 1, 7}};
    for (const auto& s : sizes) {
        const WaveformImage image = AudioProcessor::createWaveformImage(samples, s.width, s.height);
        EXPECT_EQ(image.width, s.w);
        EXPECT_EQ(image.height, s.h);
        EXPECT_EQ(image.bytesPerRow(), static_cast<std::size_t>(4 * s.w));
        ASSERT_EQ(image.pixels.size(), static_cast<std::size_t>(4 * s.w * s.h));
        EXPECT_EQ(std::memcmp(image.pixels.data(), samples.data(), image.pixels.size()), 0);
    }
}

TEST(WaveformImageTest, RefusesSizesTheSamplesCannotFill) {
    const std::vector<float> samples(6, 0.5f);
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double width, height;
    } refused[] = {{3, 3},   {7, 1},   {1e300, 1e300}, {inf, 1}, {1, NAN},
                   {0.5, 4}, {-2, -3}, {4, 0},         {-inf, 1}};
    for (const auto& r : refused) {
        EXPECT_THROW(AudioProcessor::createWaveformImage(samples, r.width, r.height), WhisperError)
            << r.width << " x " << r.height;
    }
    EXPECT_THROW(AudioProcessor::createWaveformImage({}, 1, 1), WhisperError);
}

}  // namespace
}  // namespace rararozuvu
