#include <gtest/gtest.h>

#include <memory>

#include "rararozuvu/audio/EnergyVAD.h"
#include "rararozuvu/audio/VADAudioChunker.h"
#include "rararozuvu/results/WhisperError.h"

namespace rararozuvu {
namespace {

// Reports a fixed activity, so chunk ranges can be checked frame by frame.
class ScriptedVAD : public VoiceActivityDetector {
public:
    explicit ScriptedVAD(std::vector<bool> activity)
        : VoiceActivityDetector(16000, 1600, 0), activity_(std::move(activity)) {}
    std::vector<bool> voiceActivity(std::span<const float>) const override { return activity_; }

private:
    std::vector<bool> activity_;
};

// Speech everywhere except the given sample ranges.
std::vector<float> speechWithPauses(std::size_t count, std::vector<IndexRange> pauses) {
    std::vector<float> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = (i % 2 == 0) ? 0.3f : -0.3f;
    }
    for (const IndexRange& pause : pauses) {
        std::fill(samples.begin() + pause.startIndex, samples.begin() + pause.endIndex, 0.0f);
    }
    return samples;
}

TEST(VoiceActivityTest, LongestSilence) {
    struct Case {
        std::vector<bool> activity;
        std::optional<IndexRange> expected;
    };
    const Case cases[] = {
        {{true, false, false, true, false, false}, IndexRange{1, 3}},
        {{true, false, true, false, false, false}, IndexRange{3, 6}},
        {{true, true}, std::nullopt},
        {{}, std::nullopt},
        {{false, false}, IndexRange{0, 2}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VoiceActivityDetector::findLongestSilence(c.activity), c.expected);
    }
}

TEST(VoiceActivityTest, ActiveChunksJoinConsecutiveFrames) {
    const ScriptedVAD vad({false, true, true, false, true});
    const std::vector<float> samples(8000, 0.0f);
    EXPECT_EQ(vad.calculateActiveChunks(samples),
              (std::vector<IndexRange>{{1600, 4800}, {6400, 8000}}));
    EXPECT_EQ(vad.calculateNonSilentSeekClips(samples),
              (std::vector<IndexRange>{{1600, 4800}, {6400, 8000}}));
    EXPECT_EQ(vad.voiceActivityClipTimestamps(samples),
              (std::vector<float>{0.1f, 0.3f, 0.4f, 0.5f}));
    EXPECT_EQ(vad.voiceActivityIndexToSeconds(10), 1.0f);
    EXPECT_EQ(vad.voiceActivityIndexToAudioSampleIndex(3), 4800);
}

TEST(EnergyVADTest, FramesCoverEverySample) {
    const EnergyVAD vad;
    // 7000 samples are 5 frames; the last one, 6400..<7000, holds the only sound.
    std::vector<float> samples(7000, 0.0f);
    std::fill(samples.begin() + 6500, samples.end(), 0.5f);
    EXPECT_EQ(vad.voiceActivity(samples), (std::vector<bool>{false, false, false, false, true}));
    EXPECT_EQ(vad.calculateActiveChunks(samples), (std::vector<IndexRange>{{6400, 7000}}));
    EXPECT_TRUE(vad.voiceActivity({}).empty());

    const EnergyVAD seconds = EnergyVAD::withDurations(16000, 0.1f, 0.025f, 0.05f);
    EXPECT_EQ(seconds.frameLengthSamples(), 1600);
    EXPECT_EQ(seconds.frameOverlapSamples(), 400);
    EXPECT_EQ(seconds.energyThreshold(), 0.05f);

    const EnergyVAD broken(16000, 0, 0, 0.02f);
    EXPECT_TRUE(broken.voiceActivity(samples).empty());
}

TEST(VADAudioChunkerTest, CutsAtTheMiddleOfTheLongestLateSilence) {
    const VADAudioChunker chunker;
    struct Case {
        const char* name;
        std::size_t count;
        std::vector<IndexRange> pauses;
        std::vector<IndexRange> expected;
    };
    const std::vector<Case> cases = {
        {"one window", 480000, {}, {{0, 480000}}},
        {"no silence", 600000, {}, {{0, 480000}, {480000, 600000}}},
        // The pause covers frames 98..<114 of the second half (from 240000); the cut is at its
        // middle frame, 240000 + 106 x 1600.
        {"pause near 400000", 600000, {{396800, 422400}}, {{0, 409600}, {409600, 600000}}},
        // A pause in the first half of the window is not looked at.
        {"early pause", 600000, {{100000, 200000}}, {{0, 480000}, {480000, 600000}}},
        // The last 10000 samples after a cut are too short for a piece and join the last one.
        {"short tail", 490000, {}, {{0, 490000}}},
        {"long tail", 1000000, {}, {{0, 480000}, {480000, 960000}, {960000, 1000000}}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(chunker.chunkRanges(speechWithPauses(c.count, c.pauses), 480000), c.expected)
            << c.name;
    }
}

TEST(VADAudioChunkerTest, SeekClipsLoseNoSamples) {
    const VADAudioChunker chunker;
    const std::vector<float> samples = speechWithPauses(1000000, {});
    struct Case {
        const char* name;
        std::vector<IndexRange> clips;
        std::vector<IndexRange> expected;
    };
    const std::vector<Case> cases = {
        {"two clips",
         {{0, 500000}, {600000, 1000000}},
         {{0, 480000}, {480000, 500000}, {600000, 1000000}}},
        {"short clip", {{0, 490000}, {990000, 1000000}}, {{0, 490000}, {990000, 1000000}}},
        {"end past the audio", {{500000, 5000000}}, {{500000, 980000}, {980000, 1000000}}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(chunker.chunkRanges(samples, 480000, c.clips), c.expected) << c.name;
    }
    const std::vector<IndexRange> outside = {{2000000, 3000000}};
    try {
        chunker.chunkRanges(samples, 480000, outside);
        ADD_FAILURE() << "a clip outside the samples was chunked";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error,
                  WhisperError::audioProcessingFailed("startIndex is outside the buffer size"));
    }
}

TEST(VADAudioChunkerTest, UsesTheGivenDetector) {
    // Silence in frames 2..<6 of the half window searched: the cut lands on its frame 4.
    std::vector<bool> activity(150, true);
    std::fill(activity.begin() + 2, activity.begin() + 6, false);
    const VADAudioChunker chunker(16000, std::make_shared<ScriptedVAD>(activity));
    const std::vector<float> samples(600000, 0.1f);
    EXPECT_EQ(chunker.chunkRanges(samples, 480000),
              (std::vector<IndexRange>{{0, 246400}, {246400, 600000}}));
}

}  // namespace
}  // namespace rararozuvu
