#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>

#include "rararozuvu/audio/AudioProcessor.h"

namespace rararozuvu {
namespace {

std::vector<float> counting(std::size_t n) {
    std::vector<float> samples(n);
    std::iota(samples.begin(), samples.end(), 1.0f);
    return samples;
}

TEST(PadOrTrimTest, WindowsHoldSamplesThenZeros) {
    struct Case {
        std::size_t source;
        std::int64_t start;
        std::int64_t length;
        std::size_t copied;
    };
    const Case cases[] = {
        {100, 0, 480000, 100},
        {1000000, 960000, 480000, 40000},
        {1000000, 0, 480000, 480000},
        {10, 9, 4, 1},
    };
    for (const Case& c : cases) {
        const std::vector<float> source = counting(c.source);
        for (bool saveSegment : {false, true}) {
            const auto window =
                AudioProcessor::padOrTrimAudio(source, c.start, c.length, saveSegment);
            ASSERT_TRUE(window.has_value());
            ASSERT_EQ(window->size(), static_cast<std::size_t>(c.length));
            EXPECT_TRUE(std::equal(window->begin(), window->begin() + std::ptrdiff_t(c.copied),
                                   source.begin() + c.start));
            EXPECT_TRUE(std::all_of(window->begin() + std::ptrdiff_t(c.copied), window->end(),
                                    [](float x) { return x == 0.0f; }));
        }
    }
}

TEST(PadOrTrimTest, StartOutsideTheSamplesGivesNone) {
    const std::vector<float> source = counting(100);
    EXPECT_FALSE(AudioProcessor::padOrTrimAudio(source, 100, 480000));
    EXPECT_FALSE(AudioProcessor::padOrTrimAudio(source, -1, 480000));
    EXPECT_FALSE(AudioProcessor::padOrTrimAudio({}, 0, 480000));
    EXPECT_FALSE(AudioProcessor::padOrTrimAudio(source, 0, 0));
}

TEST(AudioEnergyTest, EnergyIsRmsPeakAndFloor) {
    const std::vector<float> signal = {0.5f, -1.0f, 0.25f};
    const AudioProcessor::Energy energy = AudioProcessor::calculateEnergy(signal);
    EXPECT_FLOAT_EQ(energy.avg, std::sqrt(1.3125f / 3.0f));
    EXPECT_EQ(energy.max, 1.0f);
    EXPECT_EQ(energy.min, 0.25f);
    EXPECT_FLOAT_EQ(AudioProcessor::calculateAverageEnergy(signal), energy.avg);

    // Long enough for the vector loop, with the extremes in its tail.
    std::vector<float> longer(37, 0.5f);
    longer[35] = -0.75f;
    longer[36] = 0.125f;
    const AudioProcessor::Energy tail = AudioProcessor::calculateEnergy(longer);
    EXPECT_EQ(tail.max, 0.75f);
    EXPECT_EQ(tail.min, 0.125f);

    const AudioProcessor::Energy empty = AudioProcessor::calculateEnergy({});
    EXPECT_EQ(empty.avg, 0.0f);
    EXPECT_EQ(empty.max, 0.0f);
    EXPECT_EQ(empty.min, 0.0f);
}

TEST(AudioEnergyTest, RelativeEnergyScale) {
    const auto constant = [](float level) { return std::vector<float>(160, level); };
    struct Case {
        float level;
        std::optional<float> reference;
        float expected;
    };
    const Case cases[] = {
        {0.0f, {}, 0.0f},
        {1.0f, {}, 1.0f},
        {0.001f, {}, 0.0f},
        {0.0316228f, {}, 0.5f},
        {0.001f, 0.0f, 0.625f},  // a zero reference counts as 1e-8, -160 dB
        {0.5f, std::numeric_limits<float>::infinity(), 0.0f},
        {0.01f, 0.01f, 0.0f},
        {0.1f, 0.01f, 0.5f},
        {2.0f, 0.01f, 1.0f},
    };
    for (const Case& c : cases) {
        EXPECT_NEAR(AudioProcessor::calculateRelativeEnergy(constant(c.level), c.reference),
                    c.expected, 1e-4f)
            << c.level << " against " << c.reference.value_or(-1);
    }
}

TEST(AudioEnergyTest, VoiceCheckLooksAtAllButTheNewestSecond) {
    struct Case {
        std::size_t count;
        float seconds;
        std::size_t loud;  // index of the one value above the threshold
        bool expected;
    };
    const Case cases[] = {
        {25, 2.0f, 5, true},  // the last 20 start at index 5, the first 10 of them count
        {25, 2.0f, 14, true},   {25, 2.0f, 15, false},  // in the newest second
        {25, 2.0f, 4, false},                           // older than the new audio
        {35, 3.0f, 24, true},                           // last 30, first 20 of them
        {35, 3.0f, 25, false},  {5, 2.0f, 4, true},     // fewer than asked: all of them
        {25, -1.0f, 24, false}, {25, std::numeric_limits<float>::quiet_NaN(), 24, false},
        {25, 1e30f, 14, true},
    };
    for (const Case& c : cases) {
        std::vector<float> energies(c.count, 0.1f);
        energies[c.loud] = 0.9f;
        EXPECT_EQ(AudioProcessor::isVoiceDetected(energies, c.seconds, 0.3f), c.expected)
            << c.count << " energies, " << c.seconds << " s, loud at " << c.loud;
    }
    EXPECT_FALSE(AudioProcessor::isVoiceDetected({}, 2.0f, 0.3f));
    const std::vector<float> atThreshold(20, 0.3f);
    EXPECT_FALSE(AudioProcessor::isVoiceDetected(atThreshold, 2.0f, 0.3f));
}

TEST(AudioEnergyTest, FrameActivityReadsOverlapAndStopsAtTheEnd) {
    // 3600 samples: silence, then loud samples only in 1600..<2000 and 3200..<3600.
    std::vector<float> signal(3600, 0.0f);
    std::fill(signal.begin() + 1600, signal.begin() + 2000, 0.5f);
    std::fill(signal.begin() + 3200, signal.end(), 0.5f);
    // Frame 0 reads 0..<2000 through its overlap and so sees the loud part; frame 2 is cut at
    // 3600; frame 3 starts past the end.
    EXPECT_EQ(AudioProcessor::calculateVoiceActivityInChunks(signal, 4, 1600, 400, 0.02f),
              (std::vector<bool>{true, true, true, false}));
    EXPECT_EQ(AudioProcessor::calculateVoiceActivityInChunks(signal, 3, 1600, 0, 0.02f),
              (std::vector<bool>{false, true, true}));

    const std::vector<float> atThreshold(1600, 0.02f);
    EXPECT_EQ(AudioProcessor::calculateVoiceActivityInChunks(atThreshold, 1, 1600, 0, 0.02f),
              std::vector<bool>{false});
}

TEST(AudioEnergyTest, NonSilentChunksUseTenthSecondFrames) {
    std::vector<float> signal(16000, 0.0f);
    std::fill(signal.begin() + 3200, signal.begin() + 6400, 0.1f);
    EXPECT_EQ(AudioProcessor::calculateNonSilentChunks(signal),
              (std::vector<IndexRange>{{3200, 6400}}));
}

}  // namespace
}  // namespace rararozuvu
