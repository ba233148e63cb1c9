#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "DecodingFixtures.h"
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

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Lower-case words of letters, digits and apostrophes.
std::vector<std::string> wordsOf(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text + " ") {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '\'') {
            word += static_cast<char>(std::tolower(u));
        } else if (!word.empty()) {
            words.push_back(word);
            word.clear();
        }
    }
    return words;
}

std::size_t editDistance(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t up = row[j];
            row[j] =
                std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

// The word error rate, in percent, that the model's README reports on held-out samples: the
// first number followed by "%" on a line that mentions held-out data.
std::optional<double> heldOutErrorRate(const fs::path& readme) {
    std::istringstream lines(readFile(readme));
    for (std::string line; std::getline(lines, line);) {
        std::string lower = line;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower.find("held-out") == std::string::npos &&
            lower.find("held out") == std::string::npos) {
            continue;
        }
        for (std::size_t percent = line.find('%'); percent != std::string::npos;
             percent = line.find('%', percent + 1)) {
            std::size_t end = percent;
            while (end > 0 && line[end - 1] == ' ')
                --end;
            std::size_t begin = end;
            while (begin > 0 && (std::isdigit(static_cast<unsigned char>(line[begin - 1])) ||
                                 line[begin - 1] == '.')) {
                --begin;
            }
            if (begin < end)
                return std::stod(line.substr(begin, end - begin));
        }
    }
    return std::nullopt;
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
        errors += editDistance(expected, wordsOf(text));
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
