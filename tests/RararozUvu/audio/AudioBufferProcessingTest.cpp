#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "rararozuvu/audio/AudioProcessor.h"

namespace rararozuvu {
namespace {

using ChannelMode = AudioInputConfig::ChannelMode;

AudioBuffer makeBuffer(double rate, const std::vector<std::vector<float>>& channels) {
    const auto frames = static_cast<std::uint32_t>(channels.at(0).size());
    AudioBuffer buffer(AudioFormat{rate, static_cast<std::uint32_t>(channels.size())}, frames);
    buffer.setFrameLength(frames);
    for (std::uint32_t c = 0; c < channels.size(); ++c) {
        std::copy(channels[c].begin(), channels[c].end(), buffer.channel(c).begin());
    }
    return buffer;
}

std::vector<float> samplesOf(const AudioBuffer& buffer) {
    return {buffer.channel(0).begin(), buffer.channel(0).end()};
}

std::vector<float> scaled(std::vector<float> x, float factor) {
    for (float& v : x) {
        v *= factor;
    }
    return x;
}

TEST(ChannelMixingTest, ModesSelectOrSumChannels) {
    const std::vector<float> left = {0.5f, -0.25f, 0.1f};
    const std::vector<float> right = {0.2f, 0.4f, -0.8f};
    const AudioBuffer stereo = makeBuffer(16000, {left, right});
    // The sum [0.7, 0.15, -0.7] peaks at 0.7 and is scaled back to the loudest channel's 0.8.
    const std::vector<float> sum = scaled({0.7f, 0.15f, -0.7f}, 0.8f / 0.7f);

    struct Case {
        ChannelMode mode;
        std::vector<float> expected;
    };
    const std::vector<Case> cases = {
        {ChannelMode::specificChannel(1), right},
        {ChannelMode::specificChannel(-1), left},
        {ChannelMode::specificChannel(2), left},
        {ChannelMode::sumChannels(), sum},
        {ChannelMode::sumChannels(std::vector<std::int64_t>{}), sum},
        {ChannelMode::sumChannels(std::vector<std::int64_t>{5}), left},
        {ChannelMode::sumChannels(std::vector<std::int64_t>{1, 1}), right},
        {ChannelMode::sumChannels(std::vector<std::int64_t>{-3, 0, 9}), left},
    };
    for (const Case& c : cases) {
        const std::optional<AudioBuffer> mono = AudioProcessor::convertToMono(stereo, c.mode);
        ASSERT_TRUE(mono.has_value());
        EXPECT_EQ(mono->format(), (AudioFormat{16000, 1}));
        const std::vector<float> got = samplesOf(*mono);
        ASSERT_EQ(got.size(), c.expected.size()) << c.mode.toJson();
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_NEAR(got[i], c.expected[i], 1e-6f) << c.mode.toJson() << " sample " << i;
        }
    }
}

TEST(ChannelMixingTest, InPhaseKeepsPeakAndAntiphaseStaysSilent) {
    const std::vector<float> wave = {0.5f, -0.5f, 0.25f, 0.0f};
    const std::vector<float> inverted = scaled(wave, -1.0f);
    EXPECT_EQ(samplesOf(*AudioProcessor::convertToMono(makeBuffer(8000, {wave, wave}),
                                                       ChannelMode::sumChannels())),
              wave);
    EXPECT_EQ(samplesOf(*AudioProcessor::convertToMono(makeBuffer(8000, {wave, inverted}),
                                                       ChannelMode::sumChannels())),
              std::vector<float>(4, 0.0f));
    const AudioBuffer mono = makeBuffer(8000, {wave});
    EXPECT_EQ(samplesOf(*AudioProcessor::convertToMono(mono, ChannelMode::specificChannel(3))),
              wave);
}

TEST(ChannelMixingTest, BufferToArrayTakesFirstChannelAndClearsIt) {
    AudioBuffer buffer = makeBuffer(16000, {{1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}});
    EXPECT_EQ(AudioProcessor::convertBufferToArray(buffer, 2), (std::vector<float>{1, 2, 3, 4, 5}));
    EXPECT_EQ(samplesOf(buffer), std::vector<float>(5, 0.0f));
    EXPECT_EQ(buffer.channel(1)[0], 6.0f);
}

TEST(AudioBufferTest, AppendKeepsWithinCapacityAndRefusesMismatches) {
    const AudioBuffer source = makeBuffer(16000, {{1, 2, 3, 4}});
    AudioBuffer target(AudioFormat{16000, 1}, 3);
    EXPECT_TRUE(target.appendContents(source, 1, 2));
    EXPECT_TRUE(target.appendContents(source, 0, 4));  // only one more fits
    EXPECT_EQ(samplesOf(target), (std::vector<float>{2, 3, 1}));
    EXPECT_FALSE(target.appendContents(source, 3, 2));  // past the source's frames
    AudioBuffer other(AudioFormat{8000, 1}, 10);
    EXPECT_FALSE(other.appendContents(source, 0, 1));
    EXPECT_EQ(other.frameLength(), 0u);
}

TEST(AudioBufferTest, SamplesSurviveGrowingPastTheHeapIntoPagesOfTheirOwn) {
    // A block of a file grows a decoder frame at a time, from a few samples to megabytes.
    AudioBuffer buffer(AudioFormat{44100, 2}, 1 << 20);
    std::uint32_t length = 0;
    for (const std::uint32_t step : {1000u, 60000u, 200000u, 700000u}) {
        buffer.setFrameLength(length + step);
        for (std::uint32_t c = 0; c < 2; ++c) {
            for (std::uint32_t i = length; i < length + step; ++i)
                buffer.channel(c)[i] = static_cast<float>(i) + 0.5f * static_cast<float>(c);
        }
        length += step;
    }
    EXPECT_EQ(buffer.frameLength(), 961000u);
    const AudioBuffer copy = buffer;
    buffer.setFrameLength(10);  // shrinking and growing again reads the regained frames as 0
    buffer.setFrameLength(500000);
    EXPECT_EQ(buffer.channel(0)[9], 9.0f);
    EXPECT_EQ(buffer.channel(1)[10], 0.0f);
    EXPECT_EQ(buffer.channel(0)[499999], 0.0f);
    ASSERT_EQ(copy.channel(1).size(), 961000u);
    for (const std::uint32_t i : {0u, 999u, 1000u, 65535u, 65536u, 960999u})
        EXPECT_EQ(copy.channel(1)[i], static_cast<float>(i) + 0.5f) << i;
    AudioBuffer appended(AudioFormat{44100, 2}, 1 << 20);
    EXPECT_TRUE(appended.appendContents(copy, 1, 100000));
    EXPECT_TRUE(appended.appendContents(copy, 0, 2));
    EXPECT_EQ(appended.channel(0)[99999], 100000.0f);
    EXPECT_EQ(appended.channel(1)[100001], 1.5f);
}

TEST(ResampleBufferTest, CapacityRoundsHalfToEvenAndAtLeastOne) {
    struct Case {
        double from;
        double to;
        std::uint32_t frames;
        std::uint32_t capacity;
    };
    const Case cases[] = {
        {32000, 16000, 2469, 1234},  // 1234.5
        {32000, 16000, 2471, 1236},  // 1235.5
        {10, 3, 1, 1},               // 0.3
        {44100, 16000, 441, 160},
        {48000, 16000, 0, 0},
    };
    for (const Case& c : cases) {
        AudioConverter converter(AudioFormat{c.from, 1}, AudioFormat{c.to, 1});
        AudioBuffer input(AudioFormat{c.from, 1}, c.frames);
        input.setFrameLength(c.frames);
        const AudioBuffer output = AudioProcessor::resampleBuffer(input, converter);
        EXPECT_EQ(output.frameCapacity(), c.capacity) << c.from << "->" << c.to << " " << c.frames;
        EXPECT_LE(output.frameLength(), output.frameCapacity());
    }
}

// Feeding a stream buffer by buffer through one converter gives exactly the one-shot conversion:
// no frame lost or repeated where the buffers meet.
TEST(ResampleBufferTest, ConsecutiveBuffersJoinSeamlessly) {
    std::vector<float> wave(48000);
    for (std::size_t i = 0; i < wave.size(); ++i) {
        wave[i] = 0.5f * float(std::sin(2 * std::numbers::pi * 440.0 * double(i) / 48000.0));
    }
    const std::optional<AudioBuffer> whole =
        AudioProcessor::resampleAudio(makeBuffer(48000, {wave}), 16000, 1);
    ASSERT_TRUE(whole.has_value());
    ASSERT_EQ(whole->frameLength(), 16000u);

    AudioConverter converter(AudioFormat{48000, 1}, AudioFormat{16000, 1});
    std::vector<float> joined;
    std::size_t offset = 0;
    for (std::size_t size : {4800u, 7u, 1000u, 16384u, 3u}) {
        size = std::min(size, wave.size() - offset);
        const AudioBuffer piece = AudioProcessor::resampleBuffer(
            makeBuffer(48000, {{wave.begin() + std::ptrdiff_t(offset),
                                wave.begin() + std::ptrdiff_t(offset + size)}}),
            converter);
        joined.insert(joined.end(), piece.channel(0).begin(), piece.channel(0).end());
        offset += size;
    }
    const AudioBuffer rest = AudioProcessor::resampleBuffer(
        makeBuffer(48000, {{wave.begin() + std::ptrdiff_t(offset), wave.end()}}), converter);
    joined.insert(joined.end(), rest.channel(0).begin(), rest.channel(0).end());
    AudioBuffer tail(AudioFormat{16000, 1}, 1000);
    converter.flush(tail);
    joined.insert(joined.end(), tail.channel(0).begin(), tail.channel(0).end());
    EXPECT_EQ(joined, samplesOf(*whole));
}

TEST(ResampleBufferTest, ImpossibleFormatsGiveNoResult) {
    const AudioBuffer buffer = makeBuffer(16000, {{0.1f, 0.2f}});
    EXPECT_FALSE(AudioProcessor::resampleAudio(buffer, 0.0, 1).has_value());
    EXPECT_FALSE(AudioProcessor::resampleAudio(buffer, 16000, 0).has_value());
    AudioConverter converter(AudioFormat{8000, 1}, AudioFormat{16000, 1});
    EXPECT_THROW(AudioProcessor::resampleBuffer(buffer, converter), WhisperError);
}

}  // namespace
}  // namespace rararozuvu
