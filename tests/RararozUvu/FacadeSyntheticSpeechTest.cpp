#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "PipelineFixtures.h"
#include "WordErrorRate.h"
#include "hub/YYJSONParser.h"

namespace rararozuvu {
namespace {

namespace fs = std::filesystem;

// The whole facade on the synthetic samples, with the model trained on their kind of speech:
// files in, texts out, as a user of the library would run it.
TEST(FacadeSyntheticSpeech, TranscribesTheSamplesAsWellAsTheModelCan) {
    const fs::path checkpoint = testing::kShared / "models/tiny-en-synth";
    if (!fs::exists(checkpoint)) GTEST_SKIP() << checkpoint << " is not on this machine";
    const std::optional<double> allowedRate = testing::heldOutErrorRate(checkpoint / "README.md");
    ASSERT_TRUE(allowedRate) << "no held-out word error rate in the model's README";

    const testing::ScratchFolder model;
    ml::WhisperConverter::convert(checkpoint, model.path());
    const auto facade = RararozUvu::create(RararozUvuConfig{.modelFolder = model.path().string(), .verbose = false});

    const fs::path audio = testing::kShared / "data/audio-synth";
    const hub::Config records = hub::YYJSONParser::parseToConfig([&] {
        std::ifstream in(audio / "transcripts.json");
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }());
    std::vector<std::string> paths;
    std::vector<std::string> expected;
    for (const hub::Config& record : *records.array()) {
        paths.push_back((audio / *record["file"].string()).string());
        expected.push_back(*record["text"].string());
    }
    const std::vector<TranscriptionOutcome> outcomes = facade->transcribeWithResults(paths);
    ASSERT_EQ(outcomes.size(), paths.size());
    std::size_t edits = 0;
    std::size_t words = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        ASSERT_TRUE(outcomes[i].isSuccess()) << paths[i] << ": " << outcomes[i].errorDescription();
        std::string heard;
        for (const auto& result : outcomes[i].get()) heard += result->text() + " ";
        edits += testing::wordEdits(testing::wordsOf(expected[i]), testing::wordsOf(heard));
        words += testing::wordsOf(expected[i]).size();
    }
    ASSERT_GT(words, 0u);
    const double rate = 100.0 * static_cast<double>(edits) / static_cast<double>(words);
    EXPECT_LE(rate, *allowedRate + 2.0) << "word error rate " << rate << "%";
}

}  // namespace
}  // namespace rararozuvu
