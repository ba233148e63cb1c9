#include "rararozuvu/results/TranscriptionTimings.h"

#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <cmath>

#include "../JsonTestSupport.h"
#include "../LogCapture.h"
#include "rararozuvu/results/DecodingError.h"
#include "rararozuvu/results/TranscriptionResult.h"

namespace rararozuvu {
namespace {

using testing::LogCapture;
using vevidocore::Logging;

TranscriptionSegment segmentWithTokens(std::size_t count) {
    TranscriptionSegment segment;
    segment.tokens.assign(count, 440);
    segment.tokenLogProbs.assign(count, {{440, 0.0f}});
    return segment;
}

std::string reportOf(const TranscriptionTimings& timings,
                     std::vector<TranscriptionSegment> segments) {
    LogCapture log(Logging::LogLevel::info);
    TranscriptionResult("", std::move(segments), "en", timings, std::nullopt).logTimings();
    EXPECT_EQ(log.lines.size(), 1u);
    return log.lines.empty() ? std::string() : log.lines.front();
}

TEST(TranscriptionTimingsTest, ReportOfARecordedTranscription) {
    TranscriptionTimings t;
    t.pipelineStart = 100.0;
    t.firstTokenTime = 100.75;
    t.inputAudioSeconds = 10;
    t.modelLoading = 1.234;
    t.prewarmLoadTime = 0.5;
    t.encoderLoadTime = 0.25;
    t.decoderLoadTime = 0.125;
    t.tokenizerLoadTime = 0.0625;
    t.audioLoading = 0.1;
    t.audioProcessing = 0.2;
    t.logmels = 0.3;
    t.encoding = 0.4;
    t.prefill = 0.05;
    t.decodingInit = 0.01;
    t.decodingLoop = 1.5;
    t.decodingPredictions = 1.0;
    t.decodingFiltering = 0.1;
    t.decodingSampling = 0.05;
    t.decodingFallback = 0.3;
    t.decodingWindowing = 0.12;
    t.decodingKvCaching = 0.02;
    t.decodingWordTimestamps = 0.08;
    t.decodingNonPrediction = 0.4;
    t.totalAudioProcessingRuns = 2;
    t.totalLogmelRuns = 2;
    t.totalEncodingRuns = 2;
    t.totalDecodingLoops = 100;
    t.totalKVUpdateRuns = 100;
    t.totalTimestampAlignmentRuns = 2;
    t.totalDecodingFallbacks = 1;
    t.totalDecodingWindows = 2;
    t.fullPipeline = 2.5;

    // The token count comes from the segments, not from the decoding loops.
    EXPECT_EQ(reportOf(t, {segmentWithTokens(3), segmentWithTokens(5)}),
              "---- Transcription Timings ----\n"
              "Audio Load:            100.00 ms /      1 runs (  100.00 ms/run)  4.00%\n"
              "Audio Processing:      200.00 ms /      2 runs (  100.00 ms/run)  8.00%\n"
              "Mels:                  300.00 ms /      2 runs (  150.00 ms/run) 12.00%\n"
              "Encoding:              400.00 ms /      2 runs (  200.00 ms/run) 16.00%\n"
              "Matrices Init:          10.00 ms /      1 runs (   10.00 ms/run)  0.40%\n"
              "Prefill:                50.00 ms /      1 runs (   50.00 ms/run)  2.00%\n"
              "Decoding:             1000.00 ms /    100 runs (   10.00 ms/run) 40.00%\n"
              "Non-inference:         400.00 ms /    100 runs (    4.00 ms/run) 16.00%\n"
              "- Logit Filtering:     100.00 ms /    100 runs (    1.00 ms/run)  4.00%\n"
              "- Sampling:             50.00 ms /    100 runs (    0.50 ms/run)  2.00%\n"
              "- Kv Caching:           20.00 ms /    100 runs (    0.20 ms/run)  0.80%\n"
              "- Word Timestamps:      80.00 ms /      2 runs (   40.00 ms/run)  3.20%\n"
              "- Windowing:            40.00 ms /      2 runs (   20.00 ms/run)  1.60%\n"
              "Fallbacks:             300.00 ms /      1 runs (  300.00 ms/run) 12.00%\n"
              "Decoding Full Loop:   1500.00 ms /    100 runs (   15.00 ms/run) 60.00%\n"
              "-------------------------------\n"
              "Model Load Time:               1.23 seconds\n"
              "- Prewarm:                     0.50 seconds\n"
              "- Encoder:                     0.25 seconds\n"
              "- Decoder:                     0.12 seconds\n"
              "- Tokenizer:                   0.06 seconds\n"
              "Inference Duration (Global):   2.50 seconds\n"
              "- Decoding Loop (Avg/window):  0.75 seconds\n"
              "- Audio Windows:               2.00\n"
              "Time to first token:           0.75 seconds\n"
              "Total Tokens:                  8\n"
              "Tokens per Second:             40.00 tok/s\n"
              "Real Time Factor:              0.250\n"
              "Speed Factor:                  4.000\n"
              "Fallbacks:                     1.0");
}

TEST(TranscriptionTimingsTest, ReportOfAnEmptyRecord) {
    const std::string report = reportOf(TranscriptionTimings{}, {});
    // With no time recorded every share is undefined, and a stage without runs costs nothing.
    EXPECT_NE(
        report.find("Audio Load:              0.00 ms /      1 runs (    0.00 ms/run)   nan%\n"),
        std::string::npos);
    EXPECT_NE(
        report.find("Mels:                    0.00 ms /      0 runs (    0.00 ms/run)   nan%\n"),
        std::string::npos);
    EXPECT_NE(report.find("Time to first token:           0.00 seconds\n"), std::string::npos);
    EXPECT_NE(report.find("Tokens per Second:             nan tok/s\n"), std::string::npos);
    EXPECT_NE(report.find("Real Time Factor:              0.000\n"), std::string::npos);
    EXPECT_NE(report.find("Speed Factor:                  inf\n"), std::string::npos);
    EXPECT_TRUE(report.ends_with("Fallbacks:                     0.0"));

    LogCapture quiet(Logging::LogLevel::error);
    TranscriptionResult("", {}, "en", {}, std::nullopt).logTimings();
    EXPECT_TRUE(quiet.lines.empty());
}

TEST(TranscriptionTimingsTest, DerivedValuesAreUnguardedDivisions) {
    TranscriptionTimings t;
    EXPECT_EQ(t.realTimeFactor(), 0.0);
    EXPECT_TRUE(std::isnan(t.tokensPerSecond()));
    EXPECT_TRUE(std::isinf(t.speedFactor()));
    t.inputAudioSeconds = 30;
    t.fullPipeline = 3;
    t.totalDecodingLoops = 60;
    EXPECT_DOUBLE_EQ(t.realTimeFactor(), 0.1);
    EXPECT_DOUBLE_EQ(t.speedFactor(), 1 / t.realTimeFactor());
    EXPECT_DOUBLE_EQ(t.tokensPerSecond(), 20);
}

TEST(TranscriptionTimingsTest, JsonHoldsAllThirtyFourFields) {
    TranscriptionTimings t;
    t.pipelineStart = 12345.678;
    t.decodingWordTimestamps = 0.1;
    t.totalDecodingFallbacks = 2;
    const std::string json = t.toJson();
    rapidjson::Document document;
    document.Parse(json.c_str());
    ASSERT_EQ(document.MemberCount(), 34u);
    EXPECT_STREQ(document.MemberBegin()->name.GetString(), "pipelineStart");
    EXPECT_STREQ((document.MemberEnd() - 1)->name.GetString(), "fullPipeline");
    EXPECT_EQ(document["firstTokenTime"].GetDouble(), std::numeric_limits<double>::max());

    const TranscriptionTimings read = TranscriptionTimings::fromJson(json);
    EXPECT_EQ(read.toJson(), json);
    EXPECT_EQ(read.decodingWordTimestamps, 0.1);

    for (auto member = document.MemberBegin(); member != document.MemberEnd(); ++member) {
        const std::string key = member->name.GetString();
        EXPECT_THROW(TranscriptionTimings::fromJson(testing::withoutKey(json, key)), DecodingError)
            << key;
    }
}

}  // namespace
}  // namespace rararozuvu
