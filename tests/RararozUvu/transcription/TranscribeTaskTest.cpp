#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "../LogCapture.h"
#include "../PipelineFixtures.h"
#include "../SynthFixtures.h"
#include "rararozuvu/decoding/SegmentSeeker.h"
#include "rararozuvu/transcription/TranscribeTask.h"

namespace rararozuvu {
namespace {

using testing::quickOptions;

// The real seeker, except that the test decides where the next window starts and whether the
// window has segments; it records where each window started.
class SteeredSeeker : public SegmentSeeking {
public:
    std::function<std::int64_t(std::int64_t seek, std::int64_t segmentSize)> nextSeek;
    bool withSegments = true;
    std::vector<std::int64_t> windowStarts;

    std::pair<std::int64_t, std::optional<std::vector<TranscriptionSegment>>>
    findSeekPointAndSegments(const DecodingResult& result, const DecodingOptions& options,
                             std::int64_t allSegmentsCount, std::int64_t currentSeek,
                             std::int64_t segmentSize, std::int64_t sampleRate,
                             std::int64_t timeToken, std::int64_t specialToken,
                             const WhisperTokenizer& tokenizer) override {
        windowStarts.push_back(currentSeek);
        auto [seek, segments] = real_.findSeekPointAndSegments(result, options, allSegmentsCount,
                                                               currentSeek, segmentSize, sampleRate,
                                                               timeToken, specialToken, tokenizer);
        if (!withSegments)
            return {nextSeek(currentSeek, segmentSize), std::nullopt};
        return {nextSeek(currentSeek, segmentSize),
                segments.value_or(std::vector<TranscriptionSegment>{})};
    }

    std::optional<std::vector<TranscriptionSegment>> addWordTimestamps(
        const std::vector<TranscriptionSegment>& segments, const ml::MultiArray& alignmentWeights,
        const WhisperTokenizer& tokenizer, std::int64_t seek, std::int64_t segmentSize,
        std::string_view prependPunctuations, std::string_view appendPunctuations,
        float lastSpeechTimestamp, const DecodingOptions& options,
        const TranscriptionTimings& timings) override {
        return real_.addWordTimestamps(segments, alignmentWeights, tokenizer, seek, segmentSize,
                                       prependPunctuations, appendPunctuations, lastSpeechTimestamp,
                                       options, timings);
    }

private:
    SegmentSeeker real_;
};

template <class Task = TranscribeTask>
std::unique_ptr<Task> taskWith(std::shared_ptr<SegmentSeeking> seeker) {
    RararozUvu& facade = testing::loadedFacade();
    return std::make_unique<Task>(TranscriptionTimings{}, nullptr, nullptr, facade.audioEncoder(),
                                  facade.featureExtractor(),
                                  seeker ? std::move(seeker) : facade.segmentSeeker(),
                                  facade.textDecoder(), facade.tokenizer());
}

TEST(TranscribeTask, TemperaturesOfTheFallbackAttempts) {
    const struct {
        float temperature;
        float increment;
        std::int64_t count;
        std::vector<float> expected;
    } cases[] = {
        {0.0f, 0.2f, 5, {0.0f, 0.199951171875f, 0.39990234375f, 0.599609375f, 0.7998046875f, 1.0f}},
        {0.5f, 0.2f, 0, {0.5f}},
        // A negative count is taken as no fallback.
        {0.5f, 0.2f, -3, {0.5f}},
    };
    for (const auto& c : cases) {
        DecodingOptions::Parameters p;
        p.temperature = c.temperature;
        p.temperatureIncrementOnFallback = c.increment;
        p.temperatureFallbackCount = c.count;
        const std::vector<ml::Float16> temperatures =
            TranscribeTask::fallbackTemperatures(DecodingOptions(p));
        EXPECT_EQ(std::vector<float>(temperatures.begin(), temperatures.end()), c.expected)
            << c.count;
    }
}

TEST(TranscribeTask, WindowsAlwaysMoveForward) {
    const auto stay = [](std::int64_t seek, std::int64_t) { return seek; };
    const auto leap = [](std::int64_t seek, std::int64_t) { return seek + 10000000; };
    const struct {
        const char* name;
        std::int64_t samples;
        std::function<std::int64_t(std::int64_t, std::int64_t)> nextSeek;
        DecodingOptions::Parameters parameters;
        std::vector<std::int64_t> windowStarts;
    } cases[] = {
        // A seek point that does not move advances by the window.
        {"stuck", 500000, stay, {}, {0, 480000}},
        // maxWindowSeek bounds how far one window moves the seek.
        {"bounded", 300000, leap, {.maxWindowSeek = 200000}, {0, 200000}},
        // A clip reaching past the audio ends with it.
        {"clip", 40000, stay, {.clipTimestamps = {0.5f, 100.0f}}, {8000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto seeker = std::make_shared<SteeredSeeker>();
        seeker->nextSeek = c.nextSeek;
        auto task = taskWith(seeker);
        int windowsHeard = 0;
        task->setSegmentDiscoveryCallback(
            [&](const std::vector<TranscriptionSegment>&) { ++windowsHeard; });
        const auto result = task->run(testing::quietNoise(c.samples), quickOptions(c.parameters));
        EXPECT_EQ(seeker->windowStarts, c.windowStarts);
        EXPECT_EQ(windowsHeard, static_cast<int>(c.windowStarts.size()));
        EXPECT_TRUE(task->progress()->isFinished());
        EXPECT_EQ(result->timings().totalDecodingWindows,
                  static_cast<double>(c.windowStarts.size()));
    }
}

TEST(TranscribeTask, WindowsWithoutSegmentsAreNotReported) {
    auto seeker = std::make_shared<SteeredSeeker>();
    seeker->nextSeek = [](std::int64_t seek, std::int64_t size) { return seek + size; };
    seeker->withSegments = false;
    auto task = taskWith(seeker);
    int windowsHeard = 0;
    task->setSegmentDiscoveryCallback(
        [&](const std::vector<TranscriptionSegment>&) { ++windowsHeard; });
    DecodingOptions::Parameters clipped;
    clipped.clipTimestamps = {0.25f};
    const auto result = task->run(testing::quietNoise(20000), quickOptions(clipped));
    EXPECT_EQ(seeker->windowStarts,
              std::vector<std::int64_t>{});  // 16000 samples: within the padding
    EXPECT_EQ(windowsHeard, 0);
    EXPECT_DOUBLE_EQ(result->timings().inputAudioSeconds, 20000.0 / 16000.0 - 0.25);
    EXPECT_EQ(task->progress()->completedUnitCount(), 16000);
    EXPECT_TRUE(task->progress()->isFinished());

    const auto second = taskWith(seeker);
    second->setSegmentDiscoveryCallback(
        [&](const std::vector<TranscriptionSegment>&) { ++windowsHeard; });
    const auto silent = second->run(testing::quietNoise(40000), quickOptions());
    EXPECT_EQ(seeker->windowStarts, std::vector<std::int64_t>{0});
    EXPECT_EQ(windowsHeard, 0);
    EXPECT_TRUE(silent->segments().empty());
    EXPECT_EQ(silent->timings().totalEncodingRuns, 1.0);
}

// A task whose post-processing drops every segment.
class DroppingTask : public TranscribeTask {
public:
    using TranscribeTask::TranscribeTask;
    std::vector<TranscriptionSegment> windowPostProcess(
        std::int64_t, std::int64_t, std::vector<TranscriptionSegment>) override {
        return {};
    }
};

TEST(TranscribeTask, PostProcessingDecidesWhatIsReported) {
    auto seeker = std::make_shared<SteeredSeeker>();
    seeker->nextSeek = [](std::int64_t seek, std::int64_t size) { return seek + size; };
    auto task = taskWith<DroppingTask>(seeker);
    std::vector<std::size_t> reported;
    task->setSegmentDiscoveryCallback(
        [&](const std::vector<TranscriptionSegment>& s) { reported.push_back(s.size()); });
    const auto result = task->run(testing::quietNoise(40000), quickOptions());
    EXPECT_EQ(reported, std::vector<std::size_t>{0});
    EXPECT_TRUE(result->segments().empty());
    EXPECT_EQ(result->text(), "");
}

TEST(TranscribeTask, FallbackAttemptsAreCountedAndLogged) {
    auto task = taskWith(nullptr);
    DecodingOptions::Parameters p;
    p.sampleLength = 4;
    p.temperatureFallbackCount = 2;
    testing::LogCapture log(vevidocore::Logging::LogLevel::debug);
    const auto result = task->run(testing::quietNoise(20000), DecodingOptions(p));
    int attempts = 0;
    int fallbacks = 0;
    for (const std::string& line : log.lines) {
        attempts += line.starts_with("Decoding Temperature: ");
        fallbacks += line.starts_with("Fallback #");
    }
    // A fallback is a retry: the last attempt's verdict starts none, and is not counted.
    EXPECT_EQ(attempts, fallbacks + 1);
    EXPECT_LE(attempts, 3);
    EXPECT_EQ(result->timings().totalDecodingFallbacks, fallbacks);
    EXPECT_EQ(result->timings().decodingFallback > 0, fallbacks > 0);
    // The caller asked for no verbosity, but the logger is at debug level: the run is verbose.
    EXPECT_NE(std::find(log.lines.begin(), log.lines.end(),
                        "Decoding seek clips: [(start: 0, end: 20000)]"),
              log.lines.end());
}

// The first-token test ends a window early only so that a warmer attempt can try again. With no
// retry left the window is decoded to its end; the record counts the retries that ran.
TEST(TranscribeTask, FirstTokenTestNeedsARetryLeft) {
    const auto facade = RararozUvu::create(
        RararozUvuConfig{.modelFolder = testing::synthModelFolder().string(), .verbose = false});
    const std::string speech = (testing::kSynthAudio / "sample_001.wav").string();
    const auto transcribed = [&](DecodingOptions::Parameters p) {
        const TranscriptionResults results = facade->transcribe(speech, DecodingOptions(p));
        EXPECT_EQ(results.size(), 1u);
        return results.front();
    };
    DecodingOptions::Parameters once;
    once.temperatureFallbackCount = 0;
    once.firstTokenLogProbThreshold.reset();
    const auto unjudged = transcribed(once);
    ASSERT_NE(unjudged->text(), "");

    // No first token is likely enough for a threshold above 0.
    once.firstTokenLogProbThreshold = 1.0f;
    const auto lastChance = transcribed(once);
    EXPECT_EQ(lastChance->text(), unjudged->text());
    EXPECT_EQ(lastChance->timings().totalDecodingFallbacks, 0);
    EXPECT_EQ(lastChance->timings().decodingFallback, 0);

    DecodingOptions::Parameters twice = once;
    twice.temperatureFallbackCount = 1;
    const auto retried = transcribed(twice);
    EXPECT_NE(retried->text(), "");
    EXPECT_EQ(retried->timings().totalDecodingFallbacks, retried->timings().totalEncodingRuns);
}

// The first token's time and the pipeline's start are read from one clock.
TEST(TranscribeTask, TimeToFirstTokenLiesWithinThePipeline) {
    auto task = taskWith(nullptr);
    const auto result = task->run(testing::tone(32000), quickOptions());
    const TranscriptionTimings& t = result->timings();
    ASSERT_LT(t.firstTokenTime, std::numeric_limits<double>::max()) << "no token was decoded";
    EXPECT_GE(t.firstTokenTime - t.pipelineStart, 0.0);
    EXPECT_LE(t.firstTokenTime - t.pipelineStart, t.fullPipeline);
}

TEST(TranscribeTask, ResultTextIsTheTextTokensDecoded) {
    auto task = taskWith(nullptr);
    const std::shared_ptr<const WhisperTokenizer> tokenizer = testing::tinyTokenizer();
    const SpecialTokens& special = tokenizer->specialTokens();
    std::vector<std::int64_t> tokens{special.startOfTranscriptToken, special.timeTokenBegin};
    for (std::int64_t t : tokenizer->encode(" Hello world\t")) {
        if (t < special.specialTokenBegin)
            tokens.push_back(t);
    }
    tokens.push_back(special.timeTokenBegin + 50);
    tokens.push_back(special.endToken);
    const auto result = task->finalizeTranscriptionResult(tokens, {}, std::nullopt, {});
    EXPECT_EQ(result->text(), "Hello world");
    EXPECT_EQ(result->language(), "en");
    EXPECT_FALSE(result->seekTime());
    EXPECT_EQ(task->finalizeTranscriptionResult({}, {}, "de", {})->text(), "");
    EXPECT_EQ(task->finalizeTranscriptionResult({}, {}, "de", {})->language(), "de");
}

}  // namespace
}  // namespace rararozuvu
