// The transcriber wrapper: the tidy-up of the text, and the wrapper over the real speech library
// with the synthetic-speech model in the XDG data folder.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "PrivateHome.h"
#include "QtMessages.h"
#include "ml/whisper/WhisperConverter.h"
#include "quillora/text/Transcriber.h"
#include "rararozuvu/audio/AudioProcessor.h"
#include "rararozuvu/results/WhisperError.h"

namespace quillora {
namespace {

namespace fs = std::filesystem;
using testing::PrivateHome;
using testing::QtMessages;

const fs::path kShared = QUILLORA_SHARED_DIR;
constexpr const char* kRepo = "vevidoinc/rararozuvu-coreml";

TEST(TranscriberTidy, CleansTheTextAsTheRulesSay) {
    const struct {
        const char* raw;
        const char* tidy;
    } cases[] = {
        {"", ""},
        {"  Hello world.  ", "Hello world."},
        {"[BLANK_AUDIO]", ""},
        {" [Music] ", ""},
        {"one <|endoftext|> two", "one two"},
        {"<|startoftranscript|><|en|><|transcribe|><|0.00|> Hi.<|2.00|>", "Hi."},
        {"one  two", "one two"},  // two results, the second beginning with a blank
        {"a\t\nb\r\n\nc", "a b c"},
        {"a\u00A0\u2003b\u3000", "a b"},  // Unicode white space counts
        {"[note] a [x] b", "a b"},
        {"a [unclosed b", "a [unclosed b"},
        {"a <|unclosed b", "a <|unclosed b"},
        {"a <|x|y|> b", "a <|x|y|> b"},  // a bar inside is no special token
        {"[a <|x|> b]", ""},             // tokens go first, then the brackets
        {"<|[x]|>", ""},
        {"a [[x]] b", "a ] b"},
        {"multi\nline [note\nspanning] end", "multi line end"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Transcriber::tidy(c.raw), c.tidy) << "raw: \"" << c.raw << "\"";
    }
}

// A window the library kept although it judged it silent (decoded confidently) is not typed.
TEST(TranscriberSpokenText, LeavesOutWindowsJudgedSilent) {
    const auto segment = [](const char* text, float noSpeechProb) {
        rararozuvu::TranscriptionSegment s;
        s.text = text;
        s.noSpeechProb = noSpeechProb;
        return s;
    };
    const auto result = [](std::vector<rararozuvu::TranscriptionSegment> segments) {
        return rararozuvu::TranscriptionResult("the result's own text", std::move(segments), "en",
                                               {}, std::nullopt);
    };
    EXPECT_EQ(Transcriber::spokenText(result({})), "the result's own text");
    EXPECT_EQ(Transcriber::spokenText(result({segment(" Two.", 0.1f), segment(" Six.", 0.6f)})),
              "the result's own text");  // the threshold itself is still speech
    EXPECT_EQ(Transcriber::spokenText(
                  result({segment("<|0.00|> Two.<|1.00|>", 0.1f), segment(" Thanks.", 0.61f),
                          segment(" Eight.", 0.2f)})),
              "<|0.00|> Two.<|1.00|> Eight.");
    EXPECT_EQ(Transcriber::spokenText(result({segment(" Thank you.", 0.95f)})), "");
}

// The synthetic-speech model converted into the models folder as the local copy of the model
// repository's "openai_whisper-tiny.en", and beside it a "base.en" folder that holds the tokenizer
// but no model bundles. The build's hub is out of reach (there is no network), so the speech
// library takes the local copy, as it does for a model downloaded before.
class TranscriberWithModel : public ::testing::Test {
protected:
    void SetUp() override {
        const fs::path checkpoint = kShared / "models/tiny-en-synth";
        if (!fs::exists(checkpoint)) {
            GTEST_SKIP() << checkpoint << " is not on this machine";
        }
        repository_ = home_.dataHome() / "Quillora" / "Models" / "models" / kRepo;
        ml::WhisperConverter::convert(checkpoint, repository_ / "openai_whisper-tiny.en");
        fs::create_directories(repository_ / "openai_whisper-base.en");
        for (const char* file : {"tokenizer.json", "tokenizer_config.json", "config.json"}) {
            fs::copy_file(checkpoint / file, repository_ / "openai_whisper-base.en" / file);
        }
    }

    static std::vector<float> sample(const std::string& file, std::optional<double> from = {},
                                     std::optional<double> to = {}) {
        return rararozuvu::AudioProcessor::loadAudioAsFloatArray(
            (kShared / "data/audio-synth" / file).string(),
            rararozuvu::AudioProcessor::ChannelMode::sumChannels(), from, to);
    }

    PrivateHome home_;
    fs::path repository_;
};

TEST_F(TranscriberWithModel, LoadsWarmsUpAndTranscribes) {
    Transcriber transcriber;
    EXPECT_THROW(transcriber.transcribe(sample("sample_001.wav")), Transcriber::TranscriberError);

    QtMessages log;
    transcriber.load("tiny.en");
    EXPECT_EQ(transcriber.loadedName(), "tiny.en");
    EXPECT_EQ(Transcriber::modelsDirectory(), home_.dataHome() / "Quillora" / "Models");
    EXPECT_TRUE(log.contains("Quillora: model tiny.en loaded in "));
    EXPECT_TRUE(log.contains("Quillora: warm-up finished in "));

    // "Two seven eight three two eight.": the model is weak, so no exact words are expected.
    const std::vector<float> samples = sample("sample_001.wav");
    const std::string text = transcriber.transcribe(samples);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(Transcriber::tidy(text), text);
    EXPECT_TRUE(log.contains("Quillora: transcribed 3.7s of audio in "));

    // The same name again is no new load: nothing is looked up, loaded or logged.
    const std::size_t logged = log.lines().size();
    transcriber.load("tiny.en");
    EXPECT_EQ(log.lines().size(), logged);
    EXPECT_EQ(transcriber.transcribe(samples), text);
}

// Up to one second of speech is not lost: the library alone decodes no window of it.
TEST_F(TranscriberWithModel, ShortDictationsAreNotLost) {
    std::vector<float> clip = sample("sample_000.wav", 2.55, 3.55);  // "Eight three."
    clip.resize(std::min<std::size_t>(clip.size(), 16000));
    ASSERT_GE(clip.size(), 15000u);

    Transcriber transcriber;
    transcriber.load("tiny.en");
    EXPECT_FALSE(transcriber.transcribe(clip).empty());

    const auto library = rararozuvu::RararozUvu::create(rararozuvu::RararozUvuConfig{
        .modelFolder = (repository_ / "openai_whisper-tiny.en").string(), .verbose = false});
    std::string raw;
    for (const auto& result : library->transcribe(clip, Transcriber::decodingOptions())) {
        raw += result->text();
    }
    EXPECT_EQ(raw, "");
}

TEST_F(TranscriberWithModel, FailedLoadsLeaveTheRightPipeline) {
    Transcriber transcriber;

    // The folder downloads but holds no model: the load fails with the reason, and no pipeline
    // is kept.
    try {
        transcriber.load("base.en");
        ADD_FAILURE() << "loaded a folder without models";
    } catch (const rararozuvu::WhisperError& e) {
        EXPECT_NE(std::string(e.what()).find("holds neither model bundles"), std::string::npos)
            << e.what();
    }
    EXPECT_EQ(transcriber.loadedName(), std::nullopt);

    // A name that is nowhere to be found: the error goes to the caller, and the previous
    // pipeline is gone already.
    try {
        transcriber.load("small.en");
        ADD_FAILURE() << "loaded a model the hub does not have";
    } catch (const rararozuvu::WhisperError& e) {
        EXPECT_TRUE(std::string(e.what()).starts_with(
            "Model not found. Please check the model or repo name and try again.\nError: "))
            << e.what();
    }
    EXPECT_EQ(transcriber.loadedName(), std::nullopt);
    try {
        transcriber.transcribe(std::vector<float>(32000, 0.0f));
        ADD_FAILURE() << "transcribed without a pipeline";
    } catch (const Transcriber::TranscriberError& e) {
        EXPECT_EQ(e.errorCase(), Transcriber::TranscriberError::Case::notLoaded);
        EXPECT_STREQ(e.what(), "The speech model isn't loaded yet.");
    }
}

}  // namespace
}  // namespace quillora
