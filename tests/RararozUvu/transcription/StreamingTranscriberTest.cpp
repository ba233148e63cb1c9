// The streaming transcriber on live capture from a private PulseAudio server, with the model
// trained on synthetic speech: what it hears through the pipe source must read as the file does.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "../PipelineFixtures.h"
#include "../WordErrorRate.h"
#include "PulseServer.h"
#include "WaitFor.h"
#include "ml/whisper/WhisperConverter.h"
#include "rararozuvu/audio/AudioProcessor.h"
#include "rararozuvu/decoding/TextUtilities.h"
#include "rararozuvu/transcription/AudioStreamTranscriber.h"

namespace rararozuvu {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using quillora::testing::PulseServer;
using quillora::testing::waitFor;
using State = AudioStreamTranscriber::State;

// The latest state the transcriber reported.
class StateLog {
public:
    AudioStreamTranscriber::StateChangeCallback callback() {
        return [this](const State&, const State& now) {
            std::lock_guard lock(mutex_);
            latest_ = now;
            ++changes_;
        };
    }
    State latest() const {
        std::lock_guard lock(mutex_);
        return latest_;
    }

private:
    mutable std::mutex mutex_;
    State latest_;
    int changes_ = 0;
};

// The words of the segments, without their special tokens.
std::vector<std::string> wordsOf(const std::vector<TranscriptionSegment>& segments) {
    std::string text;
    for (const TranscriptionSegment& segment : segments) {
        for (std::size_t at = 0; at < segment.text.size();) {
            const std::size_t open = segment.text.find("<|", at);
            text += segment.text.substr(at, open - at) + " ";
            const std::size_t close =
                open == std::string::npos ? open : segment.text.find("|>", open);
            at = close == std::string::npos ? segment.text.size() : close + 2;
        }
    }
    return testing::wordsOf(text);
}

// Greedy decoding without the log-probability verdict, so the file and the stream are decoded
// alike: that verdict would make the file fall back to sampling and cut the stream's windows
// short (the early stop), and this test model is rarely confident.
DecodingOptions plainOptions() {
    DecodingOptions::Parameters parameters;
    parameters.temperatureFallbackCount = 0;
    parameters.logProbThreshold = std::nullopt;
    return DecodingOptions(parameters);
}

class StreamingTranscriber : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const fs::path checkpoint = testing::kShared / "models/tiny-en-synth";
        if (!fs::exists(checkpoint))
            return;
        model_ = std::make_unique<testing::ScratchFolder>();
        ml::WhisperConverter::convert(checkpoint, model_->path());
        facade_ = RararozUvu::create(
            RararozUvuConfig{.modelFolder = model_->path().string(), .verbose = false});
    }
    static void TearDownTestSuite() {
        facade_.reset();
        model_.reset();
    }
    void SetUp() override {
        if (!facade_)
            GTEST_SKIP() << "models/tiny-en-synth is not on this machine";
    }

    std::unique_ptr<AudioStreamTranscriber> transcriber(std::shared_ptr<AudioProcessing> processor,
                                                        bool useVAD, StateLog& log,
                                                        int requiredSegmentsForConfirmation = 2) {
        return std::make_unique<AudioStreamTranscriber>(
            facade_->audioEncoder(), facade_->featureExtractor(), facade_->segmentSeeker(),
            facade_->textDecoder(), facade_->tokenizer(), std::move(processor), plainOptions(),
            requiredSegmentsForConfirmation, /*silenceThreshold=*/0.3f,
            /*compressionCheckWindow=*/60, useVAD, log.callback());
    }

    // One session: `speech` and a second of silence after it go into the pipe source (the
    // default input); the session ends once a pass has started with all of the speech in.
    // Without the voice check, a pass starts whenever more than a second is new, so one starts
    // within the silence at the latest.
    static State session(PulseServer& server, AudioStreamTranscriber& transcriber,
                         const AudioProcessor& processor, const StateLog& log,
                         const std::vector<float>& speech, bool paced) {
        std::vector<float> audio = speech;
        audio.resize(speech.size() + 16000 + 1600, 0.0f);
        std::jthread running([&] { transcriber.startStreamTranscription(); });
        EXPECT_TRUE(waitFor([&] { return processor.hasAudioEngine(); }));
        server.writePipe(audio, paced);
        const bool heard = waitFor(
            [&] { return log.latest().lastBufferSize >= std::int64_t(speech.size()); }, 300s);
        EXPECT_TRUE(heard) << "passes took in " << log.latest().lastBufferSize << " of "
                           << speech.size() << " samples";
        transcriber.stopStreamTranscription();
        running.join();
        return log.latest();
    }

    static inline std::unique_ptr<testing::ScratchFolder> model_;
    static inline std::unique_ptr<RararozUvu> facade_;
};

TEST_F(StreamingTranscriber, SpeechWrittenInRealTimeReadsAsTheFileDoes) {
    const std::string file = (testing::kShared / "data/audio-synth/sample_000.wav").string();
    const TranscriptionResults fromFile = facade_->transcribe(file, plainOptions());
    ASSERT_FALSE(fromFile.empty());
    const std::vector<std::string> expected = testing::wordsOf(fromFile.front()->text());
    ASSERT_FALSE(expected.empty());

    PulseServer server;
    ASSERT_EQ(server.pactl({"set-default-source", "pipe"}).exitCode, 0);
    auto processor = std::make_shared<AudioProcessor>();
    StateLog log;
    // Without the voice check: it may leave the end of the capture to no pass, and this test
    // waits for the pass that takes all of it in. The model hears two segments in it: with one
    // segment required behind it, the first is confirmed on the way.
    const auto streaming =
        transcriber(processor, /*useVAD=*/false, log, /*requiredSegmentsForConfirmation=*/1);
    const std::vector<float> speech = AudioProcessor::loadAudioAsFloatArray(file);
    const State state = session(server, *streaming, *processor, log, speech, /*paced=*/true);

    EXPECT_FALSE(state.isRecording);
    // The last pass may have ended before the stop, and the next turn is then waiting for more.
    EXPECT_TRUE(state.currentText.empty() || state.currentText == "Waiting for speech...")
        << state.currentText;
    // One energy per 0.1 s buffer: all of the speech is in, and the capture may have gone on a
    // buffer or two after the last one reached the state.
    EXPECT_GE(state.bufferEnergy.size(), speech.size() / 1600);
    EXPECT_LE(state.bufferEnergy.size(), processor->relativeEnergy().size());
    ASSERT_FALSE(state.confirmedSegments.empty());
    EXPECT_EQ(state.lastConfirmedSegmentEndSeconds, state.confirmedSegments.back().end);
    EXPECT_LE(state.unconfirmedSegments.size(), 1u);
    // What is confirmed reads as the start of the file; the rest as the file read from where the
    // confirmed part ends, which is where the last pass began.
    const std::vector<std::string> confirmed = wordsOf(state.confirmedSegments);
    ASSERT_LE(confirmed.size(), expected.size());
    EXPECT_TRUE(std::equal(confirmed.begin(), confirmed.end(), expected.begin()))
        << "the file reads \"" << fromFile.front()->text() << "\"";
    DecodingOptions fromConfirmedEnd = plainOptions();
    fromConfirmedEnd.clipTimestamps = {state.lastConfirmedSegmentEndSeconds};
    const TranscriptionResults rest = facade_->transcribe(file, fromConfirmedEnd);
    ASSERT_FALSE(rest.empty());
    EXPECT_EQ(wordsOf(state.unconfirmedSegments), testing::wordsOf(rest.front()->text()));
}

TEST_F(StreamingTranscriber, ARestartedSessionTranscribesItsNewCaptureFromTheStart) {
    const std::string file = (testing::kShared / "data/audio-synth/sample_001.wav").string();
    const std::vector<float> audio = AudioProcessor::loadAudioAsFloatArray(file);
    const std::vector<std::string> expected =
        testing::wordsOf(facade_->transcribe(file, plainOptions()).front()->text());

    PulseServer server;
    ASSERT_EQ(server.pactl({"set-default-source", "pipe"}).exitCode, 0);
    auto processor = std::make_shared<AudioProcessor>();
    StateLog log;
    const auto streaming = transcriber(processor, /*useVAD=*/false, log);
    std::vector<float> longer = audio;
    longer.resize(audio.size() + 48000, 0.0f);
    longer.insert(longer.end(), audio.begin(), audio.end());
    session(server, *streaming, *processor, log, longer, /*paced=*/false);
    ASSERT_GE(log.latest().lastBufferSize, std::int64_t(longer.size()));

    // The new capture is shorter than the last: the pass bookkeeping must start again with it.
    const State second = session(server, *streaming, *processor, log, audio, /*paced=*/false);
    EXPECT_GE(second.lastBufferSize, std::int64_t(audio.size()));
    EXPECT_LE(second.lastBufferSize, std::int64_t(audio.size()) + 16000 + 1600);
    EXPECT_LE(second.lastConfirmedSegmentEndSeconds, float(second.lastBufferSize) / 16000.0f);
    EXPECT_EQ(wordsOf(second.unconfirmedSegments), expected);
}

TEST_F(StreamingTranscriber, SilenceWaitsForSpeech) {
    PulseServer server;
    ASSERT_EQ(server.pactl({"set-default-source", "pipe"}).exitCode, 0);
    auto processor = std::make_shared<AudioProcessor>();
    StateLog log;
    const auto streaming = transcriber(processor, /*useVAD=*/true, log);
    std::jthread running([&] { streaming->startStreamTranscription(); });
    ASSERT_TRUE(waitFor([&] { return processor->hasAudioEngine(); }));
    server.writePipe(std::vector<float>(3 * 16000, 0.0f), false);
    ASSERT_TRUE(waitFor([&] { return log.latest().bufferEnergy.size() == 30; }));
    // A few checks after the last buffer, none of which may start a pass on silence.
    std::this_thread::sleep_for(300ms);
    streaming->stopStreamTranscription();
    running.join();
    const State state = log.latest();
    EXPECT_EQ(state.currentText, "Waiting for speech...");
    EXPECT_EQ(state.lastBufferSize, 0);
    EXPECT_TRUE(state.unconfirmedSegments.empty());

    // Without a microphone a start only says so.
    setenv("PULSE_SERVER", "unix:/nonexistent/quillora", 1);
    streaming->startStreamTranscription();
    EXPECT_FALSE(log.latest().isRecording);
}

TEST(StreamingEarlyStop, CompressionAndLogProbabilityDecide) {
    DecodingOptions options;
    options.compressionRatioThreshold = 2.4f;
    options.logProbThreshold = -1.0f;
    const std::vector<std::int64_t> repeated(80, 440);
    std::vector<std::int64_t> varied;
    for (std::int64_t i = 0; i < 80; ++i)
        varied.push_back(1000 + i * 37);
    ASSERT_GT(TextUtilities::compressionRatio(std::span(repeated).last(60)), 2.4f);
    ASSERT_LT(TextUtilities::compressionRatio(std::span(varied).last(60)), 2.4f);

    struct Case {
        std::vector<std::int64_t> tokens;
        std::optional<float> avgLogprob;
        std::optional<float> compressionThreshold;
        std::optional<float> logProbThreshold;
        std::optional<bool> answer;
    };
    const Case cases[] = {
        {repeated, -0.1f, 2.4f, -1.0f, false},       // compresses too well
        {varied, -0.1f, 2.4f, -1.0f, std::nullopt},  // fine
        {varied, -2.0f, 2.4f, -1.0f, false},         // too unlikely
        {varied, -2.0f, 2.4f, std::nullopt, std::nullopt},
        {varied, std::nullopt, 2.4f, -1.0f, std::nullopt},
        {varied, -0.1f, std::nullopt, -1.0f, false},  // no threshold: any long window stops
        {std::vector<std::int64_t>(repeated.begin(), repeated.begin() + 60), -0.1f, 2.4f, -1.0f,
         std::nullopt},  // not more tokens than the window: not measured
    };
    for (const Case& c : cases) {
        options.compressionRatioThreshold = c.compressionThreshold;
        options.logProbThreshold = c.logProbThreshold;
        TranscriptionProgress progress;
        progress.tokens = c.tokens;
        progress.avgLogprob = c.avgLogprob;
        EXPECT_EQ(AudioStreamTranscriber::shouldStopEarly(progress, options, 60), c.answer)
            << c.tokens.size() << " tokens";
    }
}

}  // namespace
}  // namespace rararozuvu
