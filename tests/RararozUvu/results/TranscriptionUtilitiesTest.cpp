#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "../DecodingFixtures.h"
#include "../LogCapture.h"
#include "rararozuvu/audio/AudioChunking.h"
#include "rararozuvu/audio/SeekClips.h"
#include "rararozuvu/results/TextCleanup.h"
#include "rararozuvu/results/TranscriptionOutcome.h"
#include "rararozuvu/results/TranscriptionUtilities.h"

namespace rararozuvu {
namespace {

WordTiming word(std::string text, float start, float end) {
    return WordTiming{std::move(text), {1}, start, end, 0.5f};
}

TranscriptionSegment segment(std::int64_t id, float start, float end, std::string text) {
    TranscriptionSegment s;
    s.id = id;
    s.start = start;
    s.end = end;
    s.text = std::move(text);
    return s;
}

std::shared_ptr<TranscriptionResult> result(std::string text,
                                            std::vector<TranscriptionSegment> segments,
                                            TranscriptionTimings timings = {}) {
    return std::make_shared<TranscriptionResult>(std::move(text), std::move(segments), "de",
                                                 timings, std::nullopt);
}

TEST(TextCleanup, NormalizedAndTrimmed) {
    const struct {
        const char* input;
        const char* expected;
    } cases[] = {
        {" Hello,", "hello"}, {"well-known", "well known"},
        {"- -  -", ""},       {"  Ünïcode  ÉTÉ! ", "ünïcode été"},
        {"a , b\n", "a b"},   {"l'été", "lété"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(normalized(c.input), c.expected) << c.input;

    EXPECT_EQ(trimmingSpecialTokenCharacters("<|en|>"), "en");
    EXPECT_EQ(trimmingSpecialTokenCharacters("<|a<b|c>|>"), "a<b|c");
    EXPECT_EQ(trimmingSpecialTokenCharacters("<||>"), "");
}

TEST(SeekClips, PairsTimestampsAndClampsToTheAudio) {
    const struct {
        std::vector<float> times;
        std::int64_t frames;
        std::vector<IndexRange> expected;
    } cases[] = {
        {{}, 0, {{0, 0}}},
        {{}, 1000, {{0, 1000}}},
        {{5.0f}, 200000, {{80000, 200000}}},
        {{1.0f, 2.0f, 4.5f}, 200000, {{16000, 32000}, {72000, 200000}}},
        // Half a sample rounds away from zero.
        {{0.00003125f, 1.0f}, 20000, {{1, 16000}}},
        // Times beyond the audio, or before it, are clamped to it.
        {{-1.0f, 100.0f}, 20000, {{0, 20000}}},
        {{5.0f}, 1000, {{1000, 1000}}},
    };
    for (const auto& c : cases) {
        DecodingOptions::Parameters p;
        p.clipTimestamps = c.times;
        EXPECT_EQ(prepareSeekClips(DecodingOptions(p), c.frames), c.expected) << c.times.size();
    }
    for (float bad : {std::numeric_limits<float>::infinity(), std::nanf("")}) {
        DecodingOptions::Parameters p;
        p.clipTimestamps = {0.0f, bad};
        testing::expectWhisperError([&] { prepareSeekClips(DecodingOptions(p), 100); },
                                    WhisperError::Case::transcriptionFailed,
                                    "Clip timestamps must be finite numbers");
    }
}

TEST(TranscriptionUtilities, MovesAndFormatsSegments) {
    TranscriptionSegment s = segment(7, 0.2f, 1.0f, " Hi");
    s.words = std::vector<WordTiming>{word(" Hi", 0.2f, 1.0f)};
    const TranscriptionSegment moved = updateSegmentTimings(s, 1.5f);
    EXPECT_EQ(moved.seek, 24000);
    EXPECT_FLOAT_EQ(moved.start, 1.7f);
    EXPECT_FLOAT_EQ(moved.end, 2.5f);
    EXPECT_FLOAT_EQ((*moved.words)[0].start, 1.7f);
    EXPECT_FLOAT_EQ((*moved.words)[0].end, 2.5f);
    EXPECT_EQ(moved.id, 7);

    const std::vector<TranscriptionSegment> segments{segment(0, 0.0f, 2.5f, " Hello")};
    EXPECT_EQ(formatSegments(segments, true), std::vector<std::string>{"[0.00 --> 2.50]  Hello"});
    EXPECT_EQ(formatSegments(segments, false), std::vector<std::string>{" Hello"});

    EXPECT_TRUE(contains(segments, segment(9, 0.0f, 9.0f, "other")));
    EXPECT_FALSE(contains(segments, segment(0, 0.5f, 2.5f, " Hello")));
}

TEST(TranscriptionUtilities, CommonPrefixComparesNormalisedWords) {
    const std::vector<WordTiming> first{word(" Hello,", 0, 1), word(" well-known", 1, 2),
                                        word(" thing", 2, 3)};
    const std::vector<WordTiming> second{word("hello", 10, 11), word(" well known", 11, 12),
                                         word(" thing", 12, 13), word(" more", 13, 14),
                                         word(" words", 14, 15)};
    const std::vector<WordTiming> prefix = findLongestCommonPrefix(first, second);
    ASSERT_EQ(prefix.size(), 3u);
    EXPECT_EQ(prefix[0], second[0]);  // the second list's timings
    const std::vector<WordTiming> suffix = findLongestDifferentSuffix(first, second);
    ASSERT_EQ(suffix.size(), 2u);
    EXPECT_EQ(suffix[0].word, " more");

    EXPECT_EQ(findLongestDifferentSuffix({word("x", 0, 1)}, second).size(), second.size());
}

TEST(TranscriptionUtilities, MergesResults) {
    TranscriptionTimings a;
    a.pipelineStart = 100;
    a.fullPipeline = 5;
    a.firstTokenTime = 101;
    a.encoding = 1;
    a.modelLoading = 2;
    a.totalDecodingWindows = 1;
    a.encoderSpecializationTime = 9;
    TranscriptionTimings b = a;
    b.pipelineStart = 102;
    b.fullPipeline = 10;
    b.modelLoading = 3;

    const auto merged = mergeTranscriptionResults(
        {result("A", {segment(0, 0, 1, "a0"), segment(1, 1, 2, "a1")}, a), nullptr,
         result("B", {segment(0, 3, 4, "b0"), segment(1, 4, 5, "b1")}, b)});
    EXPECT_EQ(merged->text(), "A  B");
    std::vector<std::int64_t> ids;
    for (const TranscriptionSegment& s : merged->segments())
        ids.push_back(s.id);
    EXPECT_EQ(ids, (std::vector<std::int64_t>{0, 1, 1, 2}));
    EXPECT_EQ(merged->language(), "de");
    const TranscriptionTimings t = merged->timings();
    EXPECT_EQ(t.pipelineStart, 100);
    EXPECT_EQ(t.firstTokenTime, 101);
    EXPECT_EQ(t.encoding, 2);
    EXPECT_EQ(t.modelLoading, 3);
    EXPECT_EQ(t.totalDecodingWindows, 2);
    EXPECT_EQ(t.encoderSpecializationTime, 0);
    EXPECT_EQ(t.fullPipeline, 12);  // the span 100..112 is shorter than the summed 15
    EXPECT_FALSE(merged->seekTime());

    const auto confirmed = mergeTranscriptionResults(
        {result("A", {})}, std::vector<WordTiming>{word(" one", 0, 1), word(" two", 1, 2)});
    EXPECT_EQ(confirmed->text(), " one two");

    const auto empty = mergeTranscriptionResults({nullptr, nullptr});
    EXPECT_EQ(empty->text(), " ");
    EXPECT_TRUE(empty->segments().empty());
    EXPECT_EQ(empty->language(), "en");
    EXPECT_EQ(empty->timings().pipelineStart, 0);
    EXPECT_EQ(empty->timings().fullPipeline, 0);
    EXPECT_EQ(empty->timings().inputAudioSeconds, 0);
}

TEST(AudioChunking, PutsChunkResultsBackOnTheTimeline) {
    TranscriptionSegment s = segment(0, 1.0f, 2.5f, " x");
    s.words = std::vector<WordTiming>{word(" x", 1.0f, 2.5f)};
    const auto second = result("x", {s});
    const std::vector<TranscriptionOutcome> outcomes{
        TranscriptionOutcome::failure(std::make_exception_ptr(std::runtime_error("broken"))),
        TranscriptionOutcome::success({second}),
        TranscriptionOutcome::success({}),
    };
    const std::vector<AudioChunk> chunks{{0, {}}, {400000, {}}, {480000, {}}};
    testing::LogCapture log(vevidocore::Logging::LogLevel::debug);
    const TranscriptionResults merged =
        AudioChunking::updateSeekOffsetsForResults(outcomes, chunks);
    ASSERT_EQ(merged.size(), 1u);
    EXPECT_EQ(merged[0], second);  // changed in place
    const TranscriptionSegment moved = merged[0]->segments()[0];
    EXPECT_EQ(moved.seek, 400000);
    EXPECT_FLOAT_EQ(moved.start, 26.0f);
    EXPECT_FLOAT_EQ(moved.end, 27.5f);
    EXPECT_FLOAT_EQ((*moved.words)[0].start, 26.0f);
    EXPECT_EQ(merged[0]->seekTime(), 25.0f);
    EXPECT_EQ(log.lines, std::vector<std::string>{"Error transcribing chunk 0: broken"});

    // An offset whose seconds are not exact in single precision moves the seek by the truncated
    // product: one sample short here.
    const auto odd = result("y", {segment(0, 0, 1, "y")});
    AudioChunking::updateSeekOffsetsForResults({TranscriptionOutcome::success({odd})}, {{251, {}}});
    EXPECT_EQ(odd->segments()[0].seek, 250);

    EXPECT_EQ(toOptionalArrays(outcomes),
              (std::vector<std::optional<TranscriptionResults>>{
                  std::nullopt, TranscriptionResults{second}, TranscriptionResults{}}));
}

}  // namespace
}  // namespace rararozuvu
