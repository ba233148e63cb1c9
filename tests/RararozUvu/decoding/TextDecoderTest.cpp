#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <vector>

#include "../DecodingFixtures.h"
#include "ml/ModelBundle.h"
#include "ml/Safetensors.h"
#include "rararozuvu/decoding/GreedyTokenSampler.h"
#include "rararozuvu/decoding/SuppressBlankFilter.h"
#include "rararozuvu/decoding/SuppressTokensFilter.h"
#include "rararozuvu/decoding/TextDecoder.h"
#include "rararozuvu/decoding/TextUtilities.h"
#include "rararozuvu/decoding/TimestampRulesFilter.h"
#include "rararozuvu/models/TextDecoderContextPrefill.h"

namespace {

namespace fs = std::filesystem;
using ml::Float16;
using ml::MultiArray;
using ml::MultiArrayDataType;
using rararozuvu::DecodingInputs;
using rararozuvu::DecodingOptions;
using rararozuvu::DecodingResult;
using rararozuvu::GreedyTokenSampler;
using rararozuvu::TextDecoder;
using rararozuvu::WhisperError;
using rararozuvu::testing::expectWhisperError;
using rararozuvu::testing::kShared;
using rararozuvu::testing::tinyModelFolder;
using rararozuvu::testing::tinyTokenizer;

constexpr std::int64_t kWidth = 4 * 384;
constexpr std::int64_t kFrames = 1500;
constexpr std::int64_t kVocabulary = 51864;

const ml::SafetensorsFile& reference() {
    static const ml::SafetensorsFile file(kShared /
                                          "data/reference/tiny-en-random_sample_000.safetensors");
    return file;
}

// The reference encoder output (frames first) in the stage's layout [1, 384, 1, 1500].
const MultiArray& referenceEmbeds() {
    static const MultiArray embeds = [] {
        const ml::SafetensorsTensor& t = reference().tensor("encoder_output_embeds");
        std::vector<float> framesFirst(static_cast<std::size_t>(kFrames * 384));
        std::memcpy(framesFirst.data(), t.data.data(), framesFirst.size() * sizeof(float));
        MultiArray out({1, 384, 1, kFrames}, MultiArrayDataType::float16);
        for (std::int64_t c = 0; c < 384; ++c) {
            for (std::int64_t f = 0; f < kFrames; ++f) {
                out.data<Float16>()[c * kFrames + f] =
                    Float16(framesFirst[static_cast<std::size_t>(f * 384 + c)]);
            }
        }
        return out;
    }();
    return embeds;
}

std::vector<std::int64_t> referenceTokens() {
    const ml::SafetensorsTensor& t = reference().tensor("tokens");
    std::vector<std::int32_t> raw(t.elementCount());
    std::memcpy(raw.data(), t.data.data(), raw.size() * sizeof(std::int32_t));
    return {raw.begin(), raw.end()};
}

DecodingOptions optionsWith(const std::function<void(DecodingOptions::Parameters&)>& change) {
    DecodingOptions::Parameters p;
    change(p);
    return DecodingOptions(p);
}

// Replaces the log-probabilities of chosen calls and passes everything else to a greedy sampler:
// the only way to put a given log-probability on a given decoder position.
class ScriptedSampler : public rararozuvu::TokenSampling {
public:
    ScriptedSampler(std::int64_t eot, std::map<int, float> logProbs)
        : greedy_(Float16(0.0f), eot, DecodingOptions()), logProbs_(std::move(logProbs)) {}

    rararozuvu::SamplingResult update(const std::vector<std::int64_t>& tokens,
                                      const MultiArray& logits,
                                      const std::vector<float>& logProbs) override {
        rararozuvu::SamplingResult r = greedy_.update(tokens, logits, logProbs);
        if (const auto it = logProbs_.find(calls_++); it != logProbs_.end())
            r.logProbs.back() = it->second;
        return r;
    }
    rararozuvu::SamplingResult finalize(const std::vector<std::int64_t>& tokens,
                                        const std::vector<float>& logProbs) override {
        return greedy_.finalize(tokens, logProbs);
    }
    int calls() const { return calls_; }

private:
    GreedyTokenSampler greedy_;
    std::map<int, float> logProbs_;
    int calls_ = 0;
};

class TextDecoderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        model_ = ml::Model::load(tinyModelFolder() / "TextDecoder.mlmodelc");
    }
    static void TearDownTestSuite() { model_.reset(); }

    TextDecoderTest() {
        decoder.setModel(model_);
        decoder.setTokenizer(tinyTokenizer());
    }

    DecodingInputs& prepared(const std::optional<DecodingOptions>& options = DecodingOptions()) {
        inputsHandle = decoder.prefillDecoderInputs(
            decoder.prepareDecoderInputs({special.startOfTranscriptToken}), options);
        return dynamic_cast<DecodingInputs&>(*inputsHandle);
    }

    DecodingResult decode(DecodingInputs& inputs, const DecodingOptions& options,
                          const rararozuvu::TranscriptionCallback& callback = {}) {
        GreedyTokenSampler sampler(Float16(0.0f), special.endToken, options);
        return decoder.decodeText(rararozuvu::AudioEncoderOutputType(referenceEmbeds()), inputs,
                                  sampler, options, callback);
    }

    static std::shared_ptr<ml::Model> model_;
    TextDecoder decoder;
    const rararozuvu::SpecialTokens& special = tinyTokenizer()->specialTokens();
    std::shared_ptr<rararozuvu::DecodingInputsType> inputsHandle;
};
std::shared_ptr<ml::Model> TextDecoderTest::model_;

TEST(TextDecoderStage, WithoutModelOrTokenizerReportsWhatIsMissing) {
    TextDecoder decoder;
    EXPECT_EQ(decoder.kvCacheEmbedDim(), std::nullopt);
    EXPECT_EQ(decoder.logitsSize(), std::nullopt);
    EXPECT_FALSE(decoder.supportsWordTimestamps());
    ASSERT_TRUE(decoder.logitsFilters().has_value());
    EXPECT_TRUE(decoder.logitsFilters()->empty());
    expectWhisperError([&] { decoder.prepareDecoderInputs({1}); },
                       WhisperError::Case::prepareDecoderInputsFailed,
                       "Unable to determine kvCacheEmbedDim");

    const auto half = [](std::vector<std::int64_t> shape) {
        return MultiArray(std::move(shape), MultiArrayDataType::float16);
    };
    auto inputs = std::make_shared<DecodingInputs>(
        std::vector<std::int64_t>{50257}, MultiArray::from({0}, 1), MultiArray::from({0}, 1),
        half({1, 8, 1, 4}), half({1, 8, 1, 4}), half({4, 2}), MultiArray::from({1, 0, 0, 0}, 2),
        half({1, 4}), half({1, 8, 1, 4}), half({1, 8, 1, 4}));
    GreedyTokenSampler sampler(Float16(0.0f), 50256, DecodingOptions());
    const rararozuvu::AudioEncoderOutputType embeds(half({1, 2, 1, 2}));
    expectWhisperError([&] { decoder.prefillDecoderInputs(inputs, DecodingOptions()); },
                       WhisperError::Case::tokenizerUnavailable, "Tokenizer is unavailable");
    expectWhisperError([&] { decoder.decodeText(embeds, *inputs, sampler, DecodingOptions()); },
                       WhisperError::Case::tokenizerUnavailable, "Tokenizer is unavailable");
    expectWhisperError([&] { decoder.predictLogits(rararozuvu::TextDecoderInputType(3)); },
                       WhisperError::Case::transcriptionFailed,
                       "Input must be TextDecoderMLMultiArrayInputType");

    decoder.setTokenizer(tinyTokenizer());
    expectWhisperError(
        [&] { decoder.detectLanguage(embeds, *inputs, sampler, DecodingOptions(), Float16(0.0f)); },
        WhisperError::Case::modelsUnavailable, "Failed to read logits size from model");
    // No model: the step gives no logits, which the loop reports.
    expectWhisperError([&] { decoder.decodeText(embeds, *inputs, sampler, DecodingOptions()); },
                       WhisperError::Case::decodingLogitsFailed, "Unable to decode logits");
    // The blank must be a real token of the vocabulary for blank suppression to mean anything.
    EXPECT_EQ(tinyTokenizer()->decode({tinyTokenizer()->specialTokens().whitespaceToken}), " ");
}

TEST_F(TextDecoderTest, PreparesTheArraysOfTheLoadedModel) {
    EXPECT_EQ(decoder.kvCacheEmbedDim(), kWidth);
    EXPECT_EQ(decoder.kvCacheMaxSequenceLength(), 224);
    EXPECT_EQ(decoder.windowSize(), kFrames);
    EXPECT_EQ(decoder.embedSize(), 384);
    EXPECT_EQ(decoder.logitsSize(), kVocabulary);
    EXPECT_TRUE(decoder.supportsWordTimestamps());

    const auto handle = decoder.prepareDecoderInputs({7, 8});
    const auto& inputs = dynamic_cast<const DecodingInputs&>(*handle);
    EXPECT_EQ(inputs.initialPrompt(), (std::vector<std::int64_t>{7, 8}));
    EXPECT_EQ(inputs.keyCache().shape(), (std::vector<std::int64_t>{1, kWidth, 1, 224}));
    EXPECT_EQ(inputs.alignmentWeights().shape(), (std::vector<std::int64_t>{224, kFrames}));
    EXPECT_EQ(inputs.kvCacheUpdateMask().dataType(), MultiArrayDataType::int32);
    EXPECT_EQ(inputs.kvCacheUpdateMask().value(0), 1);
    EXPECT_EQ(inputs.kvCacheUpdateMask().value(1), 0);
    EXPECT_EQ(inputs.decoderKeyPaddingMask().value(0), 0);
    EXPECT_EQ(inputs.decoderKeyPaddingMask().data<Float16>()[223].bits, 0xF0E2);
}

TEST_F(TextDecoderTest, BuildsTheForcedPrompt) {
    const std::int64_t sot = special.startOfTranscriptToken;
    const std::int64_t tb = special.timeTokenBegin;
    std::vector<std::int64_t> previous;
    for (std::int64_t i = 0; i < 120; ++i)
        previous.push_back(1000 + i);
    previous[20] = special.endToken;  // special tokens among the kept ones are dropped
    previous[100] = tb + 3;
    std::vector<std::int64_t> keptPrevious{special.startOfPreviousToken};
    for (std::size_t i = 9; i < 120; ++i) {
        if (i != 20 && i != 100)
            keptPrevious.push_back(previous[i]);
    }
    std::vector<std::int64_t> keptPrefix;
    for (std::size_t i = 8; i < 120; ++i) {
        if (i != 20 && i != 100)
            keptPrefix.push_back(previous[i]);
    }
    const auto id = [&](const char* text) { return *tinyTokenizer()->convertTokenToId(text); };
    const auto concat = [](std::vector<std::int64_t> a, const std::vector<std::int64_t>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };

    struct Case {
        std::string name;
        bool multilingual;
        std::optional<DecodingOptions> options;
        std::vector<std::int64_t> prompt;
    };
    const std::vector<Case> cases = {
        {"no options", false, std::nullopt, {sot}},
        {"defaults", false, DecodingOptions(), {sot, tb}},
        {"without timestamps",
         false,
         optionsWith([](auto& p) { p.withoutTimestamps = true; }),
         {sot, special.noTimestampsToken}},
        {"previous text", false, optionsWith([&](auto& p) { p.promptTokens = previous; }),
         concat(keptPrevious, {sot, tb})},
        {"prefix", false, optionsWith([&](auto& p) { p.prefixTokens = previous; }),
         concat({sot, tb}, keptPrefix)},
        {"multilingual",
         true,
         optionsWith([](auto& p) { p.language = "de"; }),
         {sot, id("<|de|>"), special.transcribeToken, tb}},
        {"translate",
         true,
         optionsWith([](auto& p) { p.task = rararozuvu::DecodingTask::translate; }),
         {sot, special.englishToken, special.translateToken, tb}},
        {"unknown language",
         true,
         optionsWith([](auto& p) { p.language = "xx"; }),
         {sot, special.englishToken, special.transcribeToken, tb}},
    };
    for (const Case& c : cases) {
        decoder.setIsModelMultilingual(c.multilingual);
        const DecodingInputs& inputs = prepared(c.options);
        EXPECT_EQ(inputs.initialPrompt(), c.prompt) << c.name;
        // Without a prefill model the decoder starts at position 0.
        EXPECT_EQ(inputs.cacheLength().value(0), 0) << c.name;
        EXPECT_EQ(inputs.kvCacheUpdateMask().value(0), 1) << c.name;
        EXPECT_EQ(inputs.decoderKeyPaddingMask().value(0), 0) << c.name;
        EXPECT_EQ(inputs.decoderKeyPaddingMask().value(1), -10000) << c.name;
    }
}

// The first four steps of greedy decoding against an independent implementation. Timestamp
// rules are left out (the reference chain has none), and the first-token test too: random
// weights make every token unlikely.
TEST_F(TextDecoderTest, ReproducesTheReferenceArgMaxChain) {
    const DecodingOptions options = optionsWith([](auto& p) {
        p.withoutTimestamps = true;
        p.firstTokenLogProbThreshold.reset();
        p.sampleLength = 5;
    });
    DecodingInputs& inputs = prepared(options);
    inputs.initialPrompt() = {special.startOfTranscriptToken, special.timeTokenBegin};
    const DecodingResult result = decode(inputs, options);

    const std::vector<std::int64_t> chain = referenceTokens();
    EXPECT_EQ(result.tokens, (std::vector<std::int64_t>{special.startOfTranscriptToken,
                                                        special.timeTokenBegin, chain[0], chain[1],
                                                        chain[2], chain[3], special.endToken}));
    ASSERT_EQ(result.tokenLogProbs.size(), result.tokens.size());
    for (std::size_t i = 2; i < 6; ++i) {
        const float lp = result.tokenLogProbs[i].at(result.tokens[i]);
        EXPECT_LT(lp, 0.0f);
        EXPECT_GT(lp, -20.0f);
    }
    EXPECT_EQ(result.text, tinyTokenizer()->decode(result.tokens));
    EXPECT_EQ(result.language, "en");
    EXPECT_EQ(result.languageProbs, (std::map<std::string, float>{{"en", 0.0f}}));
    EXPECT_EQ(result.compressionRatio,
              rararozuvu::TextUtilities::compressionRatio(
                  std::vector<std::int64_t>{chain[0], chain[1], chain[2], chain[3]}));
    EXPECT_EQ(result.temperature, 0.0f);
    ASSERT_TRUE(result.timings);
    EXPECT_EQ(result.timings->totalDecodingLoops, 5);
    EXPECT_EQ(result.timings->totalKVUpdateRuns, 5);
    EXPECT_LT(result.timings->firstTokenTime, std::numeric_limits<double>::max());

    // The loop left its cache behind: rows 0-4 written, masks open through 5, alignment rows
    // 1-5 (one per predicted token) filled.
    ASSERT_TRUE(result.cache && result.cache->alignmentWeights);
    EXPECT_EQ(inputs.cacheLength().value(0), 4);
    EXPECT_EQ(inputs.kvCacheUpdateMask().value(5), 1);
    EXPECT_EQ(inputs.kvCacheUpdateMask().value(4), 0);
    EXPECT_EQ(inputs.decoderKeyPaddingMask().value(5), 0);
    EXPECT_EQ(inputs.decoderKeyPaddingMask().value(6), -10000);
    const auto rowSum = [&](std::int64_t row) {
        double sum = 0;
        for (std::int64_t f = 0; f < kFrames; ++f)
            sum += inputs.alignmentWeights()[row * kFrames + f];
        return sum;
    };
    EXPECT_EQ(rowSum(0), 0);
    for (std::int64_t row = 1; row <= 5; ++row)
        EXPECT_GT(rowSum(row), 0) << row;
    EXPECT_EQ(rowSum(6), 0);
}

TEST_F(TextDecoderTest, BoundsAndEarlyStops) {
    // A start at the bound runs no step.
    DecodingOptions none = optionsWith([](auto& p) { p.sampleLength = 0; });
    const DecodingResult empty = decode(prepared(none), none);
    EXPECT_EQ(empty.tokens, (std::vector<std::int64_t>{special.startOfTranscriptToken,
                                                       special.timeTokenBegin, special.endToken}));
    EXPECT_EQ(empty.timings->totalDecodingLoops, 0);
    EXPECT_EQ(empty.timings->decodingLoop, 0);
    EXPECT_EQ(empty.timings->firstTokenTime, std::numeric_limits<double>::max());
    EXPECT_FALSE(empty.fallback.has_value());
    EXPECT_FALSE(empty.cache->alignmentWeights.has_value());

    // A false answer during the forced prompt is ignored; the first one after it stops the
    // window. Progress carries the special tokens in its text.
    const DecodingOptions options = optionsWith([](auto& p) {
        p.firstTokenLogProbThreshold.reset();
        p.sampleLength = 10;
        p.language = "de";
    });
    std::vector<rararozuvu::TranscriptionProgress> reports;
    const DecodingResult stopped = decode(prepared(options), options, [&](const auto& progress) {
        reports.push_back(progress);
        return std::optional<bool>(false);
    });
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(stopped.tokens.size(), 4u);
    EXPECT_EQ(reports[1].tokens,
              (std::vector<std::int64_t>(stopped.tokens.begin(), stopped.tokens.end() - 1)));
    EXPECT_EQ(reports[1].windowId, 0);
    EXPECT_FALSE(reports[1].temperature.has_value());
    EXPECT_NE(reports[1].text.find("<|startoftranscript|>"), std::string::npos);
    EXPECT_EQ(reports[1].timings.totalKVUpdateRuns, 2);
    EXPECT_EQ(stopped.languageProbs, (std::map<std::string, float>{{"de", 0.0f}}));

    // No answer never stops; the sample length does.
    int calls = 0;
    const DecodingResult full = decode(prepared(options), options, [&](const auto&) {
        ++calls;
        return std::optional<bool>();
    });
    EXPECT_EQ(calls, 10);
    EXPECT_EQ(full.tokens.size(), 2u + 9u + 1u);
    EXPECT_EQ(full.tokens.back(), special.endToken);
    EXPECT_NEAR(
        full.avgLogProb,
        [&] {
            float sum = 0;
            for (const auto& m : full.tokenLogProbs)
                sum += m.begin()->second;
            return sum / static_cast<float>(full.tokenLogProbs.size());
        }(),
        1e-5);
}

TEST_F(TextDecoderTest, FirstTokenTestJudgesTheFirstPredictedToken) {
    const DecodingOptions options = optionsWith([](auto& p) {
        p.sampleLength = 6;
        p.withoutTimestamps = true;
    });
    // Without a prefilled cache, step 0 predicts at the forced start of transcript: its
    // log-probability is no verdict on the window.
    ScriptedSampler forcedUnlikely(special.endToken, {{0, -5.0f}, {1, -0.1f}});
    const DecodingResult kept =
        decoder.decodeText(rararozuvu::AudioEncoderOutputType(referenceEmbeds()), prepared(options),
                           forcedUnlikely, options);
    EXPECT_GT(kept.tokens.size(), 3u);
    EXPECT_TRUE(!kept.fallback || kept.fallback->fallbackReason != "firstTokenLogProbThreshold");

    ScriptedSampler firstUnlikely(special.endToken, {{0, -0.1f}, {1, -5.0f}});
    const DecodingResult rejected =
        decoder.decodeText(rararozuvu::AudioEncoderOutputType(referenceEmbeds()), prepared(options),
                           firstUnlikely, options);
    EXPECT_EQ(firstUnlikely.calls(), 2);
    EXPECT_EQ(rejected.tokens,
              (std::vector<std::int64_t>{special.startOfTranscriptToken, special.noTimestampsToken,
                                         special.endToken}));
    ASSERT_TRUE(rejected.fallback);
    EXPECT_TRUE(rejected.fallback->needsFallback);
    EXPECT_EQ(rejected.fallback->fallbackReason, "firstTokenLogProbThreshold");
}

TEST_F(TextDecoderTest, FilterListFollowsTheOptions) {
    const auto filters =
        decoder.createLogitsFilters(optionsWith([](auto& p) {
                                        p.suppressBlank = true;
                                        p.supressTokens = std::vector<std::int64_t>{5, 50300};
                                    }),
                                    1, 4, *tinyTokenizer());
    ASSERT_EQ(filters.size(), 3u);
    // Blank suppression starts where sampling does, not where a prefilled cache ends.
    const auto* blank = dynamic_cast<rararozuvu::SuppressBlankFilter*>(filters[0].get());
    ASSERT_NE(blank, nullptr);
    EXPECT_EQ(blank->sampleBegin, 4);
    const auto* suppress = dynamic_cast<rararozuvu::SuppressTokensFilter*>(filters[1].get());
    ASSERT_NE(suppress, nullptr);
    EXPECT_EQ(suppress->suppressTokens, std::vector<std::int64_t>{5});
    const auto* timestamps = dynamic_cast<rararozuvu::TimestampRulesFilter*>(filters[2].get());
    ASSERT_NE(timestamps, nullptr);
    EXPECT_EQ(timestamps->sampleBegin, 4);

    decoder.setLogitsFilters(std::vector<std::shared_ptr<rararozuvu::LogitsFiltering>>{filters[1]});
    const auto own = decoder.createLogitsFilters(
        optionsWith([](auto& p) { p.withoutTimestamps = true; }), 0, 2, *tinyTokenizer());
    EXPECT_EQ(own, std::vector<std::shared_ptr<rararozuvu::LogitsFiltering>>{filters[1]});
}

// A context-prefill bundle whose table holds exactly the cache row that the decoder writes for
// the start of transcript over the reference audio: decoding from it must equal forcing the
// prompt through the decoder.
TEST_F(TextDecoderTest, PrefilledCacheStandsInForTheForcedPrompt) {
    const rararozuvu::testing::TempFolder folder;
    // One step at position 0: the update mask and the only visible position there.
    {
        MultiArray mask = MultiArray::from(std::vector<std::int64_t>(224, 0), 2);
        mask.setValue(0, 1);
        MultiArray padding({1, 224}, MultiArrayDataType::float16, Float16(-10000.0f));
        padding.setValue(0, 0);
        const auto step = decoder.predictLogits(
            MultiArray::from({special.startOfTranscriptToken}, 1), MultiArray::from({0}, 1),
            MultiArray({1, kWidth, 1, 224}, MultiArrayDataType::float16),
            MultiArray({1, kWidth, 1, 224}, MultiArrayDataType::float16), mask, referenceEmbeds(),
            padding);
        ASSERT_TRUE(step);
        const fs::path bundle = folder.file("TextDecoderContextPrefill.mlmodelc");
        fs::create_directories(bundle);
        ml::ModelBundle description =
            ml::ModelBundle::read(tinyModelFolder() / "TextDecoder.mlmodelc");
        description.program = "TextDecoderContextPrefill";
        description.hyperParameters.set("prefill_length", std::int64_t{1});
        description.hyperParameters.set("first_language_token", special.englishToken);
        description.hyperParameters.set("language_count", std::int64_t{1});
        const auto feature = [](const char* name, MultiArrayDataType type,
                                std::vector<std::int64_t> shape) {
            return ml::FeatureDescription{name, ml::FeatureType::multiArray, false,
                                          ml::MultiArrayConstraint{std::move(shape), type}};
        };
        description.description.inputs = {feature("task", MultiArrayDataType::int32, {1}),
                                          feature("language", MultiArrayDataType::int32, {1})};
        description.description.outputs = {
            feature("key_cache_prefill", MultiArrayDataType::float16, {1, kWidth, 1, 1}),
            feature("value_cache_prefill", MultiArrayDataType::float16, {1, kWidth, 1, 1})};
        description.weights = "weights.safetensors";
        description.write(bundle);
        const auto table = [](const MultiArray& row) {
            std::vector<std::byte> bytes(2 * row.byteCount());
            std::memcpy(bytes.data(), row.dataPointer(), row.byteCount());
            std::memcpy(bytes.data() + row.byteCount(), row.dataPointer(), row.byteCount());
            return bytes;
        };
        ml::SafetensorsWriter weights;
        weights.add("key_cache_prefill", ml::SafetensorsDType::F16, {2, 1, kWidth, 1},
                    table(*step->second.keyCache));
        weights.add("value_cache_prefill", ml::SafetensorsDType::F16, {2, 1, kWidth, 1},
                    table(*step->second.valueCache));
        weights.write(bundle / "weights.safetensors");
    }
    auto prefill = std::make_shared<rararozuvu::TextDecoderContextPrefill>();
    prefill->loadModel(folder.file("TextDecoderContextPrefill.mlmodelc"), ml::ComputeUnits::all);

    // Without timestamps: a forced timestamp at the end of the prompt would give way to the one
    // the decoder predicts before it, a step the prefilled cache skips.
    const DecodingOptions options = optionsWith([](auto& p) {
        p.firstTokenLogProbThreshold.reset();
        p.sampleLength = 8;
        p.withoutTimestamps = true;
    });
    const DecodingResult plain = decode(prepared(options), options);

    decoder.setPrefillData(prefill);
    DecodingInputs& inputs = prepared(options);
    EXPECT_EQ(inputs.cacheLength().value(0), 1);
    EXPECT_EQ(inputs.kvCacheUpdateMask().value(0), 0);
    EXPECT_EQ(inputs.kvCacheUpdateMask().value(1), 1);
    EXPECT_EQ(inputs.decoderKeyPaddingMask().value(1), 0);
    EXPECT_EQ(inputs.decoderKeyPaddingMask().value(2), -10000);
    EXPECT_EQ(inputs.prefillKeyCache().shape(), (std::vector<std::int64_t>{1, kWidth, 1, 1}));
    EXPECT_EQ(inputs.keyCache().value(224), inputs.prefillKeyCache().value(1));
    const DecodingResult prefilled = decode(inputs, options);
    EXPECT_EQ(prefilled.tokens, plain.tokens);
    EXPECT_EQ(prefilled.timings->totalDecodingLoops, plain.timings->totalDecodingLoops - 1);
    // The prefilled start-of-transcript position is predicted on its own for the no-speech
    // probability.
    EXPECT_GT(plain.noSpeechProb, 0.0f);
    EXPECT_NEAR(prefilled.noSpeechProb, plain.noSpeechProb, 1e-4f);

    // Previous text is never prefilled.
    const DecodingInputs& withPrompt =
        prepared(optionsWith([](auto& p) { p.promptTokens = std::vector<std::int64_t>{1000}; }));
    EXPECT_EQ(withPrompt.cacheLength().value(0), 0);

    decoder.unloadModel();
    EXPECT_EQ(decoder.prefillData(), nullptr);
    EXPECT_EQ(decoder.model(), nullptr);
    EXPECT_NE(decoder.tokenizer(), nullptr);
}

TEST_F(TextDecoderTest, DetectsTheMostLikelyLanguageInOneStep) {
    DecodingInputs& inputs = prepared();
    const auto raw = decoder.predictLogits(
        inputs.inputIds(), inputs.cacheLength(), inputs.keyCache(), inputs.valueCache(),
        inputs.kvCacheUpdateMask(), referenceEmbeds(), inputs.decoderKeyPaddingMask());
    ASSERT_TRUE(raw);
    const auto& languages = tinyTokenizer()->allLanguageTokens();
    std::int64_t best = *languages.begin();
    for (std::int64_t t : languages) {
        if (raw->first[t] > raw->first[best])
            best = t;
    }
    std::string code = tinyTokenizer()->decode({best});
    code = code.substr(2, code.size() - 4);

    GreedyTokenSampler sampler(Float16(0.0f), special.endToken, DecodingOptions());
    const DecodingResult result =
        decoder.detectLanguage(rararozuvu::AudioEncoderOutputType(referenceEmbeds()), inputs,
                               sampler, DecodingOptions(), Float16(0.0f));
    EXPECT_EQ(result.language, code);
    ASSERT_EQ(result.languageProbs.size(), 1u);
    EXPECT_LT(result.languageProbs.at(code), 0.0f);
    EXPECT_TRUE(result.tokens.empty());
    EXPECT_EQ(result.text, "");
    EXPECT_GT(result.timings->decodingPredictions, 0);

    const auto filter = decoder.languageLogitsFilter();
    ASSERT_NE(filter, nullptr);
    decoder.detectLanguage(rararozuvu::AudioEncoderOutputType(referenceEmbeds()), inputs, sampler,
                           DecodingOptions(), Float16(0.0f));
    EXPECT_EQ(decoder.languageLogitsFilter(), filter);

    // A sampler that picks something else than a language falls back to English.
    class NotALanguage : public rararozuvu::TokenSampling {
    public:
        rararozuvu::SamplingResult update(const std::vector<std::int64_t>& tokens,
                                          const MultiArray&,
                                          const std::vector<float>& logProbs) override {
            auto t = tokens;
            t.push_back(42);
            auto l = logProbs;
            l.push_back(-1);
            return {t, l, false};
        }
        rararozuvu::SamplingResult finalize(const std::vector<std::int64_t>& tokens,
                                            const std::vector<float>& logProbs) override {
            return {tokens, logProbs, true};
        }
    } notALanguage;
    const DecodingResult fallback =
        decoder.detectLanguage(rararozuvu::AudioEncoderOutputType(referenceEmbeds()), inputs,
                               notALanguage, DecodingOptions(), Float16(0.0f));
    EXPECT_EQ(fallback.language, "en");
    EXPECT_TRUE(fallback.languageProbs.empty());

    decoder.unloadModel();
    EXPECT_EQ(decoder.languageLogitsFilter(), nullptr);
}

TEST(TextUtilities, CompressionRatioOfTokensAndText) {
    using rararozuvu::TextUtilities;
    // Four ids are 16 bytes, nine once deflated; a zlib or gzip wrapper would add six or more.
    EXPECT_FLOAT_EQ(
        TextUtilities::compressionRatio(std::vector<std::int64_t>{50364, 50364, 50364, 50364}),
        16.0f / 9.0f);
    EXPECT_GT(TextUtilities::compressionRatio(std::vector<std::int64_t>(200, 11107)), 10.0f);
    EXPECT_FLOAT_EQ(TextUtilities::compressionRatio("abc"), 3.0f / 5.0f);
    EXPECT_EQ(TextUtilities::compressionRatio(""), std::numeric_limits<float>::infinity());
    // Token ids are laid out as 32-bit little-endian integers.
    EXPECT_EQ(TextUtilities::compressionRatio(std::vector<std::int64_t>{0x64636261}),
              TextUtilities::compressionRatio("abcd"));
}

}  // namespace
