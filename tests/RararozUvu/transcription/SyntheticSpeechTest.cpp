#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../SynthFixtures.h"
#include "rararozuvu/audio/AudioProcessor.h"
#include "rararozuvu/decoding/GreedyTokenSampler.h"
#include "rararozuvu/decoding/SegmentSeeker.h"
#include "rararozuvu/decoding/TextDecoder.h"
#include "rararozuvu/decoding/TimestampRulesFilter.h"
#include "rararozuvu/models/AudioEncoder.h"
#include "rararozuvu/models/FeatureExtractor.h"

namespace rararozuvu {
namespace {

namespace fs = std::filesystem;
using testing::GreedyReference;
using testing::greedyReferences;

// Keeps a copy of the scores it is handed, with the length of the sequence they extend; placed
// first in the decoder's filters, it sees every step's scores as the model gave them.
class LogitsRecorder : public LogitsFiltering {
public:
    struct Step {
        std::size_t tokenCount;
        ml::MultiArray logits;
    };
    std::vector<Step> steps;

    ml::MultiArray filterLogits(ml::MultiArray logits,
                                const std::vector<std::int64_t>& tokens) override {
        steps.push_back({tokens.size(), logits.copy()});
        return logits;
    }
};

std::int64_t argMax(const ml::MultiArray& logits) {
    const ml::Float16* scores = logits.data<ml::Float16>();
    std::int64_t best = 0;
    for (std::int64_t i = 1; i < logits.count(); ++i) {
        if (static_cast<float>(scores[i]) > static_cast<float>(scores[best]))
            best = i;
    }
    return best;
}

// The stages below the facade on the model trained on synthetic speech, against the tokens an
// independent implementation of the same model decoded. Each recording is encoded once for the
// whole suite.
class SyntheticSpeech : public ::testing::Test {
protected:
    struct Stages {
        FeatureExtractor extractor;
        AudioEncoder encoder;
        TextDecoder decoder;
        std::shared_ptr<const WhisperTokenizer> tokenizer;
        std::map<std::string, ml::MultiArray> encoded;
    };

    static void SetUpTestSuite() {
        stages_ = std::make_unique<Stages>();
        const fs::path& folder = testing::synthModelFolder();
        stages_->extractor.loadModel(folder / "MelSpectrogram.mlmodelc", ml::ComputeUnits::all);
        stages_->encoder.loadModel(folder / "AudioEncoder.mlmodelc", ml::ComputeUnits::all);
        stages_->decoder.loadModel(folder / "TextDecoder.mlmodelc", ml::ComputeUnits::all);
        stages_->tokenizer = std::make_shared<WhisperTokenizerWrapper>(
            std::shared_ptr<const tokenizers::Tokenizer>(
                tokenizers::AutoTokenizer::from(folder, true)),
            folder);
        stages_->decoder.setTokenizer(stages_->tokenizer);
    }
    static void TearDownTestSuite() { stages_.reset(); }

    static const SpecialTokens& special() { return stages_->tokenizer->specialTokens(); }

    // The encoder output of the first window of an audio file.
    static const ml::MultiArray& encoded(const fs::path& file) {
        auto found = stages_->encoded.find(file.string());
        if (found != stages_->encoded.end())
            return found->second;
        const std::vector<float> samples = AudioProcessor::loadAudioAsFloatArray(file.string());
        const auto window = AudioProcessor::padOrTrimAudio(samples, 0, 480000);
        ml::MultiArray windowArray({480000}, ml::MultiArrayDataType::float32);
        std::copy(window->begin(), window->end(), windowArray.data<float>());
        const auto mel = stages_->extractor.logMelSpectrogram(windowArray);
        const auto embeds = stages_->encoder.encodeFeatures(*mel);
        return stages_->encoded.emplace(file.string(), std::any_cast<ml::MultiArray>(*embeds))
            .first->second;
    }

    // Options whose filters leave the arg-max alone: no suppression, no blank suppression, no
    // early end on an unlikely first token, temperature 0.
    static DecodingOptions::Parameters argMaxParameters(bool withoutTimestamps) {
        DecodingOptions::Parameters p;
        p.withoutTimestamps = withoutTimestamps;
        p.suppressBlank = false;
        p.supressTokens = std::vector<std::int64_t>{};
        p.firstTokenLogProbThreshold.reset();
        return p;
    }

    // One window decoded at temperature 0, with the prompt `promptOptions` build and the logits
    // filters of `options`.
    static DecodingResult decode(const ml::MultiArray& embeds, const DecodingOptions& options,
                                 const DecodingOptions& promptOptions) {
        TextDecoder& decoder = stages_->decoder;
        const auto inputsHandle = decoder.prefillDecoderInputs(
            decoder.prepareDecoderInputs({special().startOfTranscriptToken}), promptOptions);
        auto& inputs = dynamic_cast<DecodingInputs&>(*inputsHandle);
        GreedyTokenSampler sampler(ml::Float16(0.0f), special().endToken, options);
        return decoder.decodeText(embeds, inputs, sampler, options).front();
    }

    static std::unique_ptr<Stages> stages_;
};

std::unique_ptr<SyntheticSpeech::Stages> SyntheticSpeech::stages_;

TEST_F(SyntheticSpeech, ArgMaxDecodingGivesTheReferenceTokens) {
    ASSERT_EQ(greedyReferences().size(), 20u);
    const DecodingOptions plain(argMaxParameters(true));
    // The timestamp prompt with the timestamp rules off: the prompt comes from options that ask
    // for timestamps, the filters from options that do not.
    const DecodingOptions timestampPrompt(argMaxParameters(false));
    for (const GreedyReference& reference : greedyReferences()) {
        const ml::MultiArray& embeds = encoded(testing::kSynthAudio / reference.file);
        const DecodingResult withoutTimestamps = decode(embeds, plain, plain);
        EXPECT_EQ(withoutTimestamps.tokens, reference.plainTokens) << reference.file;
        const DecodingResult withTimestamps = decode(embeds, plain, timestampPrompt);
        EXPECT_EQ(withTimestamps.tokens, reference.timestampTokens) << reference.file;
    }
}

// With the timestamp rules on, the tokens follow the reference until a step at which a rule takes
// the model's first choice away; from there on they may go their own way.
TEST_F(SyntheticSpeech, TimestampRulesDepartFromTheArgMaxOnlyWhereARuleDecides) {
    const DecodingOptions options(argMaxParameters(false));
    const auto recorder = std::make_shared<LogitsRecorder>();
    stages_->decoder.setLogitsFilters(std::vector<std::shared_ptr<LogitsFiltering>>{recorder});
    int departures = 0;
    for (const GreedyReference& reference : greedyReferences()) {
        recorder->steps.clear();
        const DecodingResult result =
            decode(encoded(testing::kSynthAudio / reference.file), options, options);
        const std::vector<std::int64_t>& ours = result.tokens;
        const std::vector<std::int64_t>& theirs = reference.timestampTokens;
        const auto [ourDeparture, theirDeparture] =
            std::mismatch(ours.begin(), ours.end(), theirs.begin(), theirs.end());
        if (ourDeparture == ours.end() && theirDeparture == theirs.end())
            continue;
        ++departures;
        ASSERT_NE(ourDeparture, ours.end()) << reference.file;
        ASSERT_NE(theirDeparture, theirs.end()) << reference.file;
        const auto k = static_cast<std::size_t>(ourDeparture - ours.begin());
        ASSERT_GE(k, 2u) << reference.file << ": the prompt differs";

        // The step that chose token k extended the first k tokens; the last such step is the one
        // whose choice was kept (the forced prompt is predicted over at every position).
        const auto step = std::find_if(recorder->steps.rbegin(), recorder->steps.rend(),
                                       [&](const auto& s) { return s.tokenCount == k; });
        ASSERT_NE(step, recorder->steps.rend()) << reference.file;
        EXPECT_EQ(argMax(step->logits), theirs[k]) << reference.file << " at " << k;
        TimestampRulesFilter rules(special(), 2, false);
        const ml::MultiArray ruled = rules.filterLogits(
            step->logits.copy(), std::vector<std::int64_t>(ours.begin(), ourDeparture));
        EXPECT_EQ(ruled.data<ml::Float16>()[theirs[k]].bits, 0xFC00)
            << reference.file << ": the rules left token " << theirs[k] << " at " << k;
        EXPECT_EQ(argMax(ruled), ours[k]) << reference.file << " at " << k;
    }
    stages_->decoder.setLogitsFilters(std::nullopt);
    RecordProperty("departures", departures);
}

// The no-speech probability of each window is that of the model at the start-of-transcript
// position; silence and noise get the silence verdict and no segments.
TEST_F(SyntheticSpeech, NoSpeechProbabilityIsTheModelsAtTheStartOfTranscript) {
    const DecodingOptions defaults;
    for (const GreedyReference& reference : greedyReferences()) {
        const DecodingResult result =
            decode(encoded(testing::kSynthAudio / reference.file), defaults, defaults);
        EXPECT_NEAR(result.noSpeechProb, reference.noSpeechProb, 1e-3) << reference.file;
        EXPECT_FALSE(result.fallback && result.fallback->fallbackReason == "silence")
            << reference.file;
    }

    const testing::TempFolder folder;
    const std::string silence = folder.file("silence.wav");
    const std::string noise = folder.file("noise.wav");
    testing::sox("-n -r 16000 -c 1 -b 16 " + silence + " trim 0 5");
    testing::sox("-n -r 16000 -c 1 -b 16 " + noise + " synth 5 pinknoise vol 0.1");
    SegmentSeeker seeker;
    for (const std::string& file : {silence, noise}) {
        const DecodingResult result = decode(encoded(file), defaults, defaults);
        EXPECT_GT(result.noSpeechProb, 0.99f) << file;
        ASSERT_TRUE(result.fallback) << file;
        EXPECT_EQ(result.fallback->fallbackReason, "silence") << file;
        EXPECT_FALSE(result.fallback->needsFallback) << file;
        const auto [seek, segments] = seeker.findSeekPointAndSegments(
            result, defaults, 0, 0, 80000, 16000, special().timeTokenBegin,
            special().specialTokenBegin, *stages_->tokenizer);
        EXPECT_FALSE(segments) << file << ": " << result.text;
        EXPECT_EQ(seek, 80000) << file;
    }
}

}  // namespace
}  // namespace rararozuvu
