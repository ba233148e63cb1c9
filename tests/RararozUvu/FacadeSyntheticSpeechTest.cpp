#include <gtest/gtest.h>

#include "PipelineFixtures.h"
#include "SynthFixtures.h"
#include "WordErrorRate.h"
#include "rararozuvu/audio/AudioProcessor.h"

namespace rararozuvu {
namespace {

namespace fs = std::filesystem;

double errorRate(const std::vector<std::string>& expected, const std::vector<std::string>& heard) {
    std::size_t edits = 0;
    std::size_t words = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        edits += testing::wordEdits(testing::wordsOf(expected[i]), testing::wordsOf(heard[i]));
        words += testing::wordsOf(expected[i]).size();
    }
    return words == 0 ? 100.0 : 100.0 * static_cast<double>(edits) / static_cast<double>(words);
}

// The whole facade, with its default options, on the synthetic recordings and the model trained
// on their kind of speech: files in, texts out, as a user of the library would run it. The model
// is weak by design: its README gives its error rate on these recordings, which the filters and
// the fallback may worsen by a little; silence and noise must give no text at all.
TEST(FacadeSyntheticSpeech, TranscribesTheRecordingsAsWellAsTheModelCan) {
    const std::optional<double> readmeRate =
        testing::developerErrorRate(testing::kSynthCheckpoint / "README.md");
    ASSERT_TRUE(readmeRate) << "no error rate for the developer recordings in the model's README";

    // The README's figure and this word counting agree on the reference decoding's texts.
    const std::map<std::string, std::string> spoken = testing::spokenTexts();
    std::vector<std::string> paths;
    std::vector<std::string> expected;
    std::vector<std::string> referenceTexts;
    for (const testing::GreedyReference& reference : testing::greedyReferences()) {
        paths.push_back((testing::kSynthAudio / reference.file).string());
        expected.push_back(spoken.at(reference.file));
        referenceTexts.push_back(reference.timestampText);
    }
    ASSERT_EQ(paths.size(), 20u);
    EXPECT_NEAR(errorRate(expected, referenceTexts), *readmeRate, 0.05);

    const testing::ScratchFolder scratch;
    const std::string silence = scratch.file("silence.wav");
    const std::string noise = scratch.file("noise.wav");
    testing::sox("-n -r 16000 -c 1 -b 16 " + silence + " trim 0 8");
    testing::sox("-n -r 16000 -c 1 -b 16 " + noise + " synth 8 whitenoise vol 0.05");
    paths.push_back(silence);
    paths.push_back(noise);

    // The rate is a random quantity: a window whose decode falls short is decoded again at a
    // raised temperature, which draws at random. Its mean over a few passes is what the bound
    // speaks of; one pass strays a few points either way.
    const auto facade = RararozUvu::create(
        RararozUvuConfig{.modelFolder = testing::synthModelFolder().string(), .verbose = false});
    constexpr int passes = 3;
    double rates = 0;
    for (int pass = 0; pass < passes; ++pass) {
        const std::vector<TranscriptionOutcome> outcomes = facade->transcribeWithResults(paths);
        ASSERT_EQ(outcomes.size(), paths.size());
        std::vector<std::string> heard;
        for (std::size_t i = 0; i < paths.size(); ++i) {
            ASSERT_TRUE(outcomes[i].isSuccess())
                << paths[i] << ": " << outcomes[i].errorDescription();
            std::string text;
            for (const auto& result : outcomes[i].get())
                text += result->text();
            heard.push_back(text);
        }
        heard.resize(expected.size());
        rates += errorRate(expected, heard);
        for (std::size_t i = expected.size(); i < paths.size(); ++i) {
            for (const auto& result : outcomes[i].get()) {
                EXPECT_EQ(result->text(), "") << paths[i];
                EXPECT_TRUE(result->segments().empty()) << paths[i];
            }
        }
    }
    const double rate = rates / passes;
    EXPECT_LE(rate, *readmeRate + 3.0) << "mean word error rate " << rate << "%";
}

// A file is read window by window, not loaded whole: its transcription must be exactly that of
// its samples handed over in memory, over several windows of a resampled file.
TEST(FacadeSyntheticSpeech, StreamedFileTranscribesAsItsSamples) {
    const testing::ScratchFolder scratch;
    const std::string gap = scratch.file("gap.wav");
    testing::sox("-n -r 16000 -c 1 -b 16 " + gap + " trim 0 17");
    std::string parts;
    for (const char* sample : {"sample_010.wav", "sample_012.wav", "sample_013.wav"}) {
        parts += (testing::kSynthAudio / sample).string() + " " + gap + " ";
    }
    const std::string path = scratch.file("several-windows.flac");
    testing::sox(parts + "-r 44100 -c 2 " + path);

    const auto facade = RararozUvu::create(
        RararozUvuConfig{.modelFolder = testing::synthModelFolder().string(), .verbose = false});
    DecodingOptions::Parameters parameters;
    parameters.temperatureFallbackCount = 0;
    const DecodingOptions options(parameters);
    const TranscriptionResults streamed = facade->transcribe(path, options);
    const TranscriptionResults inMemory =
        facade->transcribe(AudioProcessor::loadAudioAsFloatArray(path), options);
    ASSERT_EQ(streamed.size(), 1u);
    ASSERT_EQ(inMemory.size(), 1u);
    EXPECT_EQ(streamed[0]->text(), inMemory[0]->text());
    const auto& a = streamed[0]->segments();
    const auto& b = inMemory[0]->segments();
    ASSERT_EQ(a.size(), b.size());
    ASSERT_FALSE(a.empty());
    EXPECT_GT(a.back().seek, 30 * 16000) << "the speech should span several windows";
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].seek, b[i].seek);
        EXPECT_EQ(a[i].start, b[i].start);
        EXPECT_EQ(a[i].end, b[i].end);
        EXPECT_EQ(a[i].tokens, b[i].tokens);
    }
    EXPECT_EQ(streamed[0]->timings().inputAudioSeconds, inMemory[0]->timings().inputAudioSeconds);
}

}  // namespace
}  // namespace rararozuvu
