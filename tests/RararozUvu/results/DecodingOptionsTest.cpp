#include "rararozuvu/results/DecodingOptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../JsonTestSupport.h"
#include "rararozuvu/results/DecodingError.h"

namespace rararozuvu {
namespace {

using testing::keysOf;
using testing::withoutKey;

TEST(DecodingOptionsTest, DefaultRecordHoldsEveryDefault) {
    const DecodingOptions o;
    EXPECT_FALSE(o.verbose);
    EXPECT_EQ(o.task, DecodingTask::transcribe);
    EXPECT_FALSE(o.language);
    EXPECT_EQ(o.temperature, 0.0f);
    EXPECT_EQ(o.temperatureIncrementOnFallback, 0.2f);
    EXPECT_EQ(o.temperatureFallbackCount, 5);
    EXPECT_EQ(o.sampleLength, 224);
    EXPECT_EQ(o.topK, 5);
    EXPECT_TRUE(o.usePrefillPrompt);
    EXPECT_TRUE(o.usePrefillCache);
    EXPECT_FALSE(o.detectLanguage);
    EXPECT_FALSE(o.skipSpecialTokens);
    EXPECT_FALSE(o.withoutTimestamps);
    EXPECT_FALSE(o.wordTimestamps);
    EXPECT_FALSE(o.maxInitialTimestamp);
    EXPECT_FALSE(o.maxWindowSeek);
    EXPECT_TRUE(o.clipTimestamps.empty());
    EXPECT_EQ(o.windowClipTime, 1.0f);
    EXPECT_FALSE(o.promptTokens);
    EXPECT_FALSE(o.prefixTokens);
    EXPECT_FALSE(o.suppressBlank);
    EXPECT_TRUE(o.supressTokens.empty());
    EXPECT_EQ(o.compressionRatioThreshold, 2.4f);
    EXPECT_EQ(o.logProbThreshold, -1.0f);
    EXPECT_EQ(o.firstTokenLogProbThreshold, -1.5f);
    EXPECT_EQ(o.noSpeechThreshold, 0.6f);
    EXPECT_EQ(o.concurrentWorkerCount, 16);
    EXPECT_FALSE(o.chunkingStrategy);
}

TEST(DecodingOptionsTest, UnsetParametersResolveAtConstruction) {
    struct Case {
        DecodingOptions::Parameters parameters;
        bool detectLanguage;
        std::int64_t concurrentWorkerCount;
    };
    const Case cases[] = {
        {{.usePrefillPrompt = false}, true, 16},
        {{.usePrefillPrompt = false, .detectLanguage = false}, false, 16},
        {{.usePrefillPrompt = true, .detectLanguage = true}, true, 16},
        {{.concurrentWorkerCount = 0}, false, 0},
    };
    for (const Case& c : cases) {
        const DecodingOptions options(c.parameters);
        EXPECT_EQ(options.detectLanguage, c.detectLanguage);
        EXPECT_EQ(options.concurrentWorkerCount, c.concurrentWorkerCount);
    }
    EXPECT_EQ(DecodingOptions({.supressTokens = std::vector<std::int64_t>{1, 2}}).supressTokens,
              (std::vector<std::int64_t>{1, 2}));
}

TEST(DecodingOptionsTest, DefaultRecordEncodesTwentyTwoKeysInFieldOrder) {
    const std::string json = DecodingOptions().toJson();
    EXPECT_EQ(json, R"({"verbose":false,"task":{"transcribe":{}},"temperature":0,)"
                    R"("temperatureIncrementOnFallback":0.2,"temperatureFallbackCount":5,)"
                    R"("sampleLength":224,"topK":5,"usePrefillPrompt":true,"usePrefillCache":true,)"
                    R"("detectLanguage":false,"skipSpecialTokens":false,"withoutTimestamps":false,)"
                    R"("wordTimestamps":false,"clipTimestamps":[],"windowClipTime":1,)"
                    R"("suppressBlank":false,"supressTokens":[],"compressionRatioThreshold":2.4,)"
                    R"("logProbThreshold":-1,"firstTokenLogProbThreshold":-1.5,)"
                    R"("noSpeechThreshold":0.6,"concurrentWorkerCount":16})");
    EXPECT_EQ(keysOf(json).size(), 22u);
}

TEST(DecodingOptionsTest, EveryFieldRoundTrips) {
    const DecodingOptions options({
        .verbose = true,
        .task = DecodingTask::translate,
        .language = "de",
        .temperature = 0.4f,
        .temperatureIncrementOnFallback = 0.1f,
        .temperatureFallbackCount = 3,
        .sampleLength = 100,
        .topK = 2,
        .usePrefillPrompt = false,
        .usePrefillCache = false,
        .detectLanguage = false,
        .skipSpecialTokens = true,
        .withoutTimestamps = true,
        .wordTimestamps = true,
        .maxInitialTimestamp = 1.5f,
        .maxWindowSeek = 48000,
        .clipTimestamps = {0.5f, 2.25f, 7.0f},
        .windowClipTime = 0.75f,
        .promptTokens = std::vector<std::int64_t>{50361, 1, 2},
        .prefixTokens = std::vector<std::int64_t>{},
        .suppressBlank = true,
        .supressTokens = std::vector<std::int64_t>{220, 50256},
        .compressionRatioThreshold = std::nullopt,
        .logProbThreshold = -0.5f,
        .firstTokenLogProbThreshold = std::nullopt,
        .noSpeechThreshold = 0.3f,
        .concurrentWorkerCount = 4,
        .chunkingStrategy = ChunkingStrategy::vad,
    });
    const std::string json = options.toJson();
    const std::vector<std::string> expectedKeys = {"verbose",
                                                   "task",
                                                   "language",
                                                   "temperature",
                                                   "temperatureIncrementOnFallback",
                                                   "temperatureFallbackCount",
                                                   "sampleLength",
                                                   "topK",
                                                   "usePrefillPrompt",
                                                   "usePrefillCache",
                                                   "detectLanguage",
                                                   "skipSpecialTokens",
                                                   "withoutTimestamps",
                                                   "wordTimestamps",
                                                   "maxInitialTimestamp",
                                                   "maxWindowSeek",
                                                   "clipTimestamps",
                                                   "windowClipTime",
                                                   "promptTokens",
                                                   "prefixTokens",
                                                   "suppressBlank",
                                                   "supressTokens",
                                                   "logProbThreshold",
                                                   "noSpeechThreshold",
                                                   "concurrentWorkerCount",
                                                   "chunkingStrategy"};
    EXPECT_EQ(keysOf(json), expectedKeys);

    const DecodingOptions read = DecodingOptions::fromJson(json);
    EXPECT_EQ(read.toJson(), json);
    EXPECT_EQ(read.task, DecodingTask::translate);
    EXPECT_EQ(read.language, "de");
    EXPECT_EQ(read.temperatureIncrementOnFallback, 0.1f);
    EXPECT_EQ(read.clipTimestamps, (std::vector<float>{0.5f, 2.25f, 7.0f}));
    EXPECT_EQ(read.prefixTokens, std::vector<std::int64_t>{});
    EXPECT_FALSE(read.compressionRatioThreshold);
    EXPECT_EQ(read.chunkingStrategy, ChunkingStrategy::vad);
}

TEST(DecodingOptionsTest, DecodingRequiresEveryPlainFieldButNoDefaultIsRestored) {
    const std::string full = DecodingOptions().toJson();
    for (const char* key : {"concurrentWorkerCount", "detectLanguage", "supressTokens", "task"}) {
        try {
            DecodingOptions::fromJson(withoutKey(full, key));
            ADD_FAILURE() << key;
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.kind(), DecodingError::Kind::keyNotFound) << key;
            EXPECT_NE(e.description().find(key), std::string::npos) << e.description();
        }
    }
    const DecodingOptions lenient =
        DecodingOptions::fromJson(withoutKey(full, "compressionRatioThreshold"));
    EXPECT_FALSE(lenient.compressionRatioThreshold);
    EXPECT_EQ(lenient.logProbThreshold, -1.0f);

    // Null stands for an absent optional field.
    std::string withNull = full;
    withNull.insert(withNull.size() - 1, R"(,"language":null)");
    EXPECT_FALSE(DecodingOptions::fromJson(withNull).language);
    // The first failing field is the one reported.
    EXPECT_THROW(DecodingOptions::fromJson(R"({"verbose":1})"), DecodingError);
}

TEST(DecodingOptionsTest, TaskIsAnObjectWithExactlyOneKnownKey) {
    EXPECT_EQ(toJson(DecodingTask::transcribe), R"({"transcribe":{}})");
    EXPECT_EQ(toJson(DecodingTask::translate), R"({"translate":{}})");
    EXPECT_EQ(decodingTaskFromJson(R"({"translate":{}})"), DecodingTask::translate);
    EXPECT_EQ(decodingTaskFromJson(R"({"other":1,"transcribe":{}})"), DecodingTask::transcribe);
    for (const char* json : {R"({"transcribe":{},"translate":{}})", "{}", R"({"other":{}})"}) {
        try {
            decodingTaskFromJson(json);
            ADD_FAILURE() << json;
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.kind(), DecodingError::Kind::typeMismatch);
            EXPECT_EQ(e.description(), "Invalid number of keys found, expected one.");
        }
    }
    EXPECT_THROW(decodingTaskFromJson(R"({"transcribe":1})"), DecodingError);
    EXPECT_EQ(description(DecodingTask::translate), "translate");
}

TEST(DecodingOptionsTest, ChunkingStrategyIsItsExactRawValue) {
    EXPECT_EQ(chunkingStrategyFromRawValue("vad"), ChunkingStrategy::vad);
    EXPECT_EQ(chunkingStrategyFromRawValue("none"), ChunkingStrategy::none);
    EXPECT_FALSE(chunkingStrategyFromRawValue("VAD"));
    std::string json = DecodingOptions({.chunkingStrategy = ChunkingStrategy::none}).toJson();
    EXPECT_NE(json.find(R"("chunkingStrategy":"none")"), std::string::npos);
    json.replace(json.find(R"("none")"), 6, R"("VAD")");
    EXPECT_THROW(DecodingOptions::fromJson(json), DecodingError);
}

}  // namespace
}  // namespace rararozuvu
