#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "DecodingFixtures.h"
#include "WordErrorRate.h"
#include "hub/YYJSONParser.h"
#include "rararozuvu/AudioEncoder.h"
#include "rararozuvu/AudioProcessor.h"
#include "rararozuvu/Constants.h"
#include "rararozuvu/FeatureExtractor.h"
#include "rararozuvu/GreedyTokenSampler.h"
#include "rararozuvu/SegmentSeeker.h"
#include "rararozuvu/TextDecoder.h"

namespace {

namespace fs = std::filesystem;
using rararozuvu::testing::kShared;
using rararozuvu::testing::heldOutErrorRate;
using rararozuvu::testing::wordEdits;
using rararozuvu::testing::wordsOf;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}


// Greedy decoding of every synthetic sample with the model trained on their kind of speech: the
// words, the segment times and the word timings of the whole pipeline below the facade.
TEST(SyntheticSpeech, GreedyDecodingTranscribesTheSamples) {
    const fs::path checkpoint = kShared / "models/tiny-en-synth";
    if (!fs::exists(checkpoint))
        GTEST_SKIP() << checkpoint << " is not on this machine";
    const std::optional<double> allowedRate = heldOutErrorRate(checkpoint / "README.md");
    ASSERT_TRUE(allowedRate) << "no held-out word error rate in the model's README";

    const rararozuvu::testing::TempFolder temporary;
    const fs::path folder = temporary.file("tiny-en-synth");
    ml::WhisperConverter::convert(checkpoint, folder);
    rararozuvu::FeatureExtractor extractor;
    extractor.loadModel(folder / "MelSpectrogram.mlmodelc", ml::ComputeUnits::all);
    rararozuvu::AudioEncoder encoder;
    encoder.loadModel(folder / "AudioEncoder.mlmodelc", ml::ComputeUnits::all);
    rararozuvu::TextDecoder decoder;
    decoder.loadModel(folder / "TextDecoder.mlmodelc", ml::ComputeUnits::all);
    auto tokenizer = std::make_shared<rararozuvu::WhisperTokenizerWrapper>(
        std::shared_ptr<const tokenizers::Tokenizer>(
            tokenizers::AutoTokenizer::from(checkpoint, true)),
        checkpoint);
    decoder.setTokenizer(tokenizer);
    const rararozuvu::SpecialTokens& special = tokenizer->specialTokens();

    rararozuvu::DecodingOptions::Parameters parameters;
    parameters.wordTimestamps = true;
    const rararozuvu::DecodingOptions options(parameters);
    const auto inputsHandle = decoder.prefillDecoderInputs(
        decoder.prepareDecoderInputs({special.startOfTranscriptToken}), options);
    auto& inputs = dynamic_cast<rararozuvu::DecodingInputs&>(*inputsHandle);
    const std::int64_t prefilled = static_cast<std::int64_t>(inputs.cacheLength().value(0));
    rararozuvu::SegmentSeeker seeker;

    const fs::path audio = kShared / "data/audio-synth";
    const hub::Config records =
        hub::YYJSONParser::parseToConfig(readFile(audio / "transcripts.json"));
    std::size_t errors = 0;
    std::size_t referenceWords = 0;
    for (const hub::Config& record : *records.array()) {
        const std::string file = *record["file"].string();
        const std::vector<float> samples =
            rararozuvu::AudioProcessor::loadAudioAsFloatArray((audio / file).string());
        const auto window = rararozuvu::AudioProcessor::padOrTrimAudio(samples, 0, 480000);
        ASSERT_TRUE(window) << file;
        ml::MultiArray windowArray({480000}, ml::MultiArrayDataType::float32);
        std::copy(window->begin(), window->end(), windowArray.data<float>());
        const auto mel = extractor.logMelSpectrogram(windowArray);
        ASSERT_TRUE(mel) << file;
        const auto embeds = encoder.encodeFeatures(*mel);
        ASSERT_TRUE(embeds) << file;

        inputs.reset(prefilled, options.sampleLength);
        rararozuvu::GreedyTokenSampler sampler(ml::Float16(0.0f), special.endToken, options);
        const rararozuvu::DecodingResult result =
            decoder.decodeText(*embeds, inputs, sampler, options);
        const auto [seek, found] = seeker.findSeekPointAndSegments(
            result, options, 0, 0, 480000, 16000, special.timeTokenBegin, special.specialTokenBegin,
            *tokenizer);
        ASSERT_TRUE(found) << file;
        ASSERT_TRUE(result.cache && result.cache->alignmentWeights) << file;
        const auto segments = seeker.addWordTimestamps(
            *found, *result.cache->alignmentWeights, *tokenizer, 0, 480000,
            rararozuvu::Constants::defaultPrependPunctuations,
            rararozuvu::Constants::defaultAppendPunctuations, 0.0f, options, {});
        ASSERT_TRUE(segments) << file;

        std::string text;
        std::vector<std::int64_t> textTokens;
        for (std::int64_t t : result.tokens) {
            if (t < special.specialTokenBegin)
                textTokens.push_back(t);
        }
        text = tokenizer->decode(textTokens);
        const std::vector<std::string> expected = wordsOf(*record["text"].string());
        errors += wordEdits(expected, wordsOf(text));
        referenceWords += expected.size();

        // Segments lie within the sample's speech (with the 20 ms timestamp grid and a margin for
        // the model's guesses at the edges); words run forward in time.
        const hub::Config spoken = record["segments"];
        const float speechStart = *spoken[0]["start"].floating();
        const float speechEnd =
            *spoken[static_cast<std::int64_t>(spoken.array()->size()) - 1]["end"].floating();
        float previousStart = 0;
        for (const rararozuvu::TranscriptionSegment& s : *segments) {
            if (s.text.empty())
                continue;
            EXPECT_GE(s.start, speechStart - 0.6f) << file << ": " << s.text;
            EXPECT_LE(s.end, speechEnd + 0.6f) << file << ": " << s.text;
            EXPECT_LE(s.start, s.end) << file;
            ASSERT_TRUE(s.words) << file;
            for (const rararozuvu::WordTiming& w : *s.words) {
                EXPECT_LE(w.start, w.end) << file << ": " << w.word;
                EXPECT_GE(w.start, previousStart) << file << ": " << w.word;
                previousStart = w.start;
            }
        }
    }
    ASSERT_GT(referenceWords, 0u);
    const double rate = 100.0 * static_cast<double>(errors) / static_cast<double>(referenceWords);
    EXPECT_LE(rate, *allowedRate + 2.0) << "word error rate " << rate << "%";
}

}  // namespace
