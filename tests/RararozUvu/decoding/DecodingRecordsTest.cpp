#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "rararozuvu/decoding/DecodingFallback.h"
#include "rararozuvu/decoding/DecodingInputs.h"
#include "rararozuvu/decoding/DecodingResult.h"

namespace rararozuvu {
namespace {

using ml::MultiArray;
using ml::MultiArrayDataType;

// Inputs as the decoder prepares them, for a cache of `length` positions.
DecodingInputs preparedInputs(std::int64_t length) {
    const std::vector<std::int64_t> cache = {1, 4, 1, length};
    MultiArray updateMask({1, length}, MultiArrayDataType::int32);
    updateMask.setValue(0, 1);
    MultiArray paddingMask({1, length}, MultiArrayDataType::float16, ml::Float16(-10000.0f));
    paddingMask.setValue(0, 0);
    return DecodingInputs({50257}, MultiArray({1}, MultiArrayDataType::int32),
                          MultiArray({1}, MultiArrayDataType::int32),
                          MultiArray(cache, MultiArrayDataType::float16),
                          MultiArray(cache, MultiArrayDataType::float16),
                          MultiArray({length, 3}, MultiArrayDataType::float16), updateMask,
                          paddingMask, MultiArray(cache, MultiArrayDataType::float16),
                          MultiArray(cache, MultiArrayDataType::float16));
}

std::vector<double> values(const MultiArray& array) {
    std::vector<double> list;
    for (std::int64_t i = 0; i < array.count(); ++i) {
        list.push_back(array[i]);
    }
    return list;
}

TEST(DecodingInputsTest, ResetRewindsTheMasks) {
    struct Case {
        std::int64_t length;
        std::int64_t prefilled;
        std::int64_t maxTokenContext;
        std::vector<double> padding;
        std::vector<double> update;
    };
    const double x = -10000;
    const Case cases[] = {
        {8, 3, 8, {0, 0, 0, 0, x, x, x, x}, {0, 0, 0, 1, 0, 0, 0, 0}},
        {4, 0, 4, {0, x, x, x}, {1, 0, 0, 0}},
        {4, 10, 4, {0, 0, 0, 0}, {0, 0, 0, 1}},
        // Positions from the maximum onwards keep what they held.
        {6, 1, 3, {0, 0, x, x, x, x}, {0, 1, 0, 0, 0, 0}},
        // A maximum beyond the masks stops at their end.
        {4, 2, 224, {0, 0, 0, x}, {0, 0, 1, 0}},
        {4, 9, 224, {0, 0, 0, 0}, {0, 0, 0, 1}},
        {4, 2, 0, {0, x, x, x}, {1, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        DecodingInputs inputs = preparedInputs(c.length);
        inputs.keyCache().setValue(5, 2.0);
        inputs.inputIds().setValue(0, 440);
        DecodingInputsType& type = inputs;
        type.reset(c.prefilled, c.maxTokenContext);
        EXPECT_EQ(inputs.cacheLength()[0], static_cast<double>(c.prefilled));
        EXPECT_EQ(values(inputs.decoderKeyPaddingMask()), c.padding)
            << c.prefilled << "/" << c.maxTokenContext;
        EXPECT_EQ(values(inputs.kvCacheUpdateMask()), c.update)
            << c.prefilled << "/" << c.maxTokenContext;
        EXPECT_EQ(inputs.keyCache()[5], 2.0);
        EXPECT_EQ(inputs.inputIds()[0], 440.0);
        EXPECT_EQ(inputs.initialPrompt(), std::vector<std::int64_t>{50257});
    }
}

TEST(DecodingFallbackTest, VerdictAppliesTheFirstMatchingRule) {
    const DecodingOptions defaults;
    const DecodingOptions noThresholds({.compressionRatioThreshold = std::nullopt,
                                        .logProbThreshold = std::nullopt,
                                        .noSpeechThreshold = std::nullopt});
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const DecodingOptions& options;
        bool firstTokenTooLow;
        float noSpeech;
        float compression;
        float avgLogProb;
        std::optional<bool> needsFallback;  // nothing: no verdict
        const char* reason;
    };
    const Case cases[] = {
        {defaults, true, 0.9f, 3.0f, -2.0f, true, "firstTokenLogProbThreshold"},
        {defaults, false, 0.7f, 3.0f, -2.0f, false, "silence"},
        {defaults, false, 0.6f, 2.41f, 0.0f, true, "compressionRatioThreshold"},
        {defaults, false, 0.0f, 2.4f, -1.0f, std::nullopt, ""},
        {defaults, false, 0.0f, 2.4f, -1.01f, true, "logProbThreshold"},
        {defaults, false, nan, nan, nan, std::nullopt, ""},
        {noThresholds, false, 1.0f, 100.0f, -100.0f, std::nullopt, ""},
        {noThresholds, true, 0.0f, 0.0f, 0.0f, true, "firstTokenLogProbThreshold"},
    };
    for (const Case& c : cases) {
        const auto verdict = DecodingFallback::verdict(c.options, c.firstTokenTooLow, c.noSpeech,
                                                       c.compression, c.avgLogProb);
        ASSERT_EQ(verdict.has_value(), c.needsFallback.has_value()) << c.reason;
        if (verdict) {
            EXPECT_EQ(verdict->needsFallback, *c.needsFallback);
            EXPECT_EQ(verdict->fallbackReason, c.reason);
        }
    }
}

TEST(DecodingResultTest, EmptyResultsCarryNothing) {
    const DecodingResult empty = DecodingResult::emptyResults();
    EXPECT_TRUE(empty.language.empty() && empty.text.empty());
    EXPECT_TRUE(empty.languageProbs.empty() && empty.tokens.empty() && empty.tokenLogProbs.empty());
    EXPECT_EQ(empty.avgLogProb, 0);
    EXPECT_EQ(empty.noSpeechProb, 0);
    EXPECT_EQ(empty.temperature, 0);
    EXPECT_EQ(empty.compressionRatio, 0);
    EXPECT_FALSE(empty.cache);
    EXPECT_FALSE(empty.timings);
    EXPECT_FALSE(empty.fallback);
    // A built result starts with fresh timings.
    const DecodingResult built{.language = "en"};
    ASSERT_TRUE(built.timings);
    EXPECT_EQ(built.timings->inputAudioSeconds, 0.001);
}

}  // namespace
}  // namespace rararozuvu
