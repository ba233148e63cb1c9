#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "AudioFixtures.h"
#include "LogCapture.h"
#include "PipelineFixtures.h"
#include "rararozuvu/decoding/SuppressBlankFilter.h"
#include "rararozuvu/decoding/TextDecoder.h"
#include "vevidocore/CancellationError.h"

namespace rararozuvu {
namespace {

namespace fs = std::filesystem;
using testing::expectWhisperError;
using testing::quickOptions;
using vevidocore::ModelState;
using StateChange = std::pair<std::optional<ModelState>, ModelState>;

// Records every state change the facade reports.
struct StateLog {
    std::mutex mutex;
    std::vector<StateChange> changes;

    ModelStateCallback callback() {
        return [this](std::optional<ModelState> old, ModelState now) {
            std::lock_guard lock(mutex);
            changes.emplace_back(old, now);
        };
    }
    std::vector<StateChange> take() {
        std::lock_guard lock(mutex);
        return std::exchange(changes, {});
    }
};

// What every result of a transcription must look like, whatever the model heard.
void expectWellFormed(const TranscriptionResult& result, std::int64_t sampleCount) {
    const std::string text = result.text();
    if (!text.empty()) {
        EXPECT_NE(text.front(), ' ');
        EXPECT_NE(text.back(), ' ');
    }
    EXPECT_EQ(result.language(), "en");
    std::int64_t previousSeek = 0;
    std::int64_t expectedId = 0;
    for (const TranscriptionSegment& s : result.segments()) {
        EXPECT_EQ(s.id, expectedId++);
        EXPECT_GE(s.seek, previousSeek);
        EXPECT_LT(s.seek, std::max<std::int64_t>(sampleCount, 1));
        EXPECT_LE(s.start, s.end);
        EXPECT_GE(s.start, static_cast<float>(s.seek) / 16000.0f - 0.001f);
        EXPECT_LE(s.end, static_cast<float>(s.seek) / 16000.0f + 30.001f);
        EXPECT_EQ(s.tokenLogProbs.size(), s.tokens.size());
        previousSeek = s.seek;
    }
    const TranscriptionTimings timings = result.timings();
    EXPECT_DOUBLE_EQ(timings.inputAudioSeconds, static_cast<double>(sampleCount) / 16000.0);
    EXPECT_GE(timings.fullPipeline, 0.0);
}

TEST(RararozUvuFacade, ConstructionFollowsTheConfiguration) {
    // Given a folder, the models load before construction returns.
    RararozUvu& loaded = testing::loadedFacade();
    EXPECT_EQ(loaded.modelState(), ModelState::loaded);
    EXPECT_EQ(loaded.modelVariant(), ModelVariant::tinyEn);
    ASSERT_TRUE(loaded.tokenizer());
    EXPECT_EQ(loaded.textDecoder()->tokenizer(), loaded.tokenizer());
    EXPECT_FALSE(loaded.textDecoder()->isModelMultilingual());

    RararozUvuConfig config = testing::tinyModelConfig();
    config.load = false;
    config.downloadBase = "/base";
    auto decoder = std::make_shared<TextDecoder>();
    config.textDecoder = decoder;
    const std::vector<std::shared_ptr<LogitsFiltering>> filters{
        std::make_shared<SuppressBlankFilter>(testing::tinyTokenizer()->specialTokens(), 0)};
    config.logitsFilters = filters;
    config.verbose = true;
    config.logLevel = vevidocore::Logging::LogLevel::debug;
    {
        const auto idle = RararozUvu::create(config);
        EXPECT_EQ(idle->modelState(), ModelState::unloaded);
        EXPECT_FALSE(idle->tokenizer());
        EXPECT_EQ(idle->tokenizerFolder(), fs::path("/base"));
        EXPECT_EQ(idle->textDecoder(), decoder);
        EXPECT_EQ(decoder->logitsFilters(), filters);
        EXPECT_EQ(vevidocore::Logging::shared().logLevel(), vevidocore::Logging::LogLevel::debug);

        idle->setTokenizer(testing::tinyTokenizer());
        EXPECT_EQ(decoder->tokenizer(), testing::tinyTokenizer());
        idle->setTokenizer(nullptr);
        EXPECT_FALSE(decoder->tokenizer());
    }

    // Not verbose: the shared level is none whatever level was asked for. No folder and no
    // download: nothing to load from.
    const auto bare = RararozUvu::create(RararozUvuConfig{
        .verbose = false, .logLevel = vevidocore::Logging::LogLevel::debug, .download = false});
    EXPECT_EQ(vevidocore::Logging::shared().logLevel(), vevidocore::Logging::LogLevel::none);
    EXPECT_FALSE(bare->modelFolder());
    expectWhisperError([&] { bare->loadModels(); }, WhisperError::Case::modelsUnavailable,
                       "Model folder is not set.");
}

TEST(RararozUvuFacade, StateCallbacksFollowPrewarmLoadAndUnload) {
    RararozUvuConfig config = testing::tinyModelConfig();
    config.load = false;
    const auto facade = RararozUvu::create(config);
    StateLog log;
    facade->setModelStateCallback(log.callback());

    facade->unloadModels();
    EXPECT_EQ(log.take(),
              (std::vector<StateChange>{{ModelState::unloaded, ModelState::unloading},
                                        {ModelState::unloading, ModelState::unloaded}}));

    facade->prewarmModels();
    EXPECT_EQ(log.take(),
              (std::vector<StateChange>{{ModelState::unloaded, ModelState::prewarming},
                                        {ModelState::prewarming, ModelState::prewarmed}}));
    EXPECT_FALSE(facade->tokenizer());
    EXPECT_FALSE(dynamic_cast<WhisperMLModel&>(*facade->audioEncoder()).model());

    facade->loadModels();
    EXPECT_EQ(log.take(), (std::vector<StateChange>{{ModelState::prewarmed, ModelState::loading},
                                                    {ModelState::loading, ModelState::loaded}}));
    const TranscriptionTimings timings = facade->currentTimings();
    EXPECT_GT(timings.decoderSpecializationTime, 0.0);
    EXPECT_GT(timings.encoderLoadTime, 0.0);
    EXPECT_GE(timings.modelLoading, timings.prewarmLoadTime);
    EXPECT_GT(timings.tokenizerLoadTime, 0.0);

    facade->unloadModels();
    EXPECT_EQ(log.take(),
              (std::vector<StateChange>{{ModelState::loaded, ModelState::unloading},
                                        {ModelState::unloading, ModelState::unloaded}}));
    EXPECT_FALSE(dynamic_cast<WhisperMLModel&>(*facade->textDecoder()).model());
    EXPECT_TRUE(facade->tokenizer());

    // A transcription finds the models unloaded and loads them; the tokenizer stays as it was.
    const auto tokenizer = facade->tokenizer();
    {
        testing::LogCapture lines(vevidocore::Logging::LogLevel::debug);
        facade->transcribe(std::vector<float>(100), quickOptions());
        EXPECT_NE(std::find(lines.lines.begin(), lines.lines.end(),
                            "Tokenizer already exists on RararozUvu, skipping load"),
                  lines.lines.end());
    }
    EXPECT_EQ(log.take(), (std::vector<StateChange>{{ModelState::unloaded, ModelState::loading},
                                                    {ModelState::loading, ModelState::loaded}}));
    EXPECT_EQ(facade->tokenizer(), tokenizer);

    facade->clearState();
    EXPECT_EQ(facade->currentTimings().modelLoading, 0.0);
    EXPECT_EQ(facade->currentTimings().pipelineStart, TranscriptionTimings{}.pipelineStart);
    EXPECT_EQ(facade->modelState(), ModelState::loaded);
}

TEST(RararozUvuFacade, FailedLoadsStayLoadingAndTryAgain) {
    const testing::ScratchFolder folder;
    const fs::path model = testing::tinyModelFolder();
    const fs::path withoutEncoder = folder.path() / "without-encoder";
    fs::create_directories(withoutEncoder);
    for (const char* bundle : {"MelSpectrogram.mlmodelc", "TextDecoder.mlmodelc"}) {
        fs::create_directory_symlink(model / bundle, withoutEncoder / bundle);
    }
    const struct {
        fs::path folder;
        std::string message;
    } cases[] = {
        {folder.path(),
         "Model file not found at " + (folder.path() / "MelSpectrogram.mlmodelc").string()},
        {withoutEncoder,
         "Model file not found at " + (withoutEncoder / "AudioEncoder.mlmodelc").string()},
    };
    for (const auto& c : cases) {
        RararozUvuConfig config = testing::tinyModelConfig();
        config.modelFolder = c.folder.string();
        config.load = false;
        const auto facade = RararozUvu::create(config);
        StateLog log;
        facade->setModelStateCallback(log.callback());
        for (int attempt = 0; attempt < 2; ++attempt) {
            expectWhisperError([&] { facade->transcribe(std::vector<float>(100)); },
                               WhisperError::Case::modelsUnavailable, c.message);
        }
        EXPECT_EQ(log.take(),
                  (std::vector<StateChange>{{ModelState::unloaded, ModelState::loading},
                                            {ModelState::loading, ModelState::loading}}));
        EXPECT_FALSE(dynamic_cast<WhisperMLModel&>(*facade->featureExtractor()).model());
    }
}

TEST(RararozUvuFacade, TranscribesArraysOfEveryLength) {
    RararozUvu& facade = testing::loadedFacade();
    const struct {
        std::int64_t samples;
        int minimumWindows;
        int maximumWindows;
    } cases[] = {
        {0, 0, 0}, {8000, 0, 0}, {16000, 0, 0}, {480000, 1, 1}, {500000, 2, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.samples);
        const std::shared_ptr<Progress> before = facade.progress();
        const TranscriptionResults results =
            facade.transcribe(testing::quietNoise(c.samples), quickOptions());
        ASSERT_EQ(results.size(), 1u);
        expectWellFormed(*results[0], c.samples);
        const double windows = results[0]->timings().totalEncodingRuns;
        EXPECT_GE(windows, c.minimumWindows);
        EXPECT_LE(windows, c.maximumWindows);
        if (c.minimumWindows == 0) {
            EXPECT_EQ(results[0]->text(), "");
            EXPECT_TRUE(results[0]->segments().empty());
        }
        // The run finished the facade's progress, which is then replaced for the next one.
        EXPECT_TRUE(before->isFinished());
        EXPECT_NE(facade.progress(), before);
    }
}

TEST(RararozUvuFacade, TranscribesFilesOfEveryLength) {
    RararozUvu& facade = testing::loadedFacade();
    const testing::ScratchFolder folder;
    const std::vector<std::int64_t> lengths{0, 8000, 480000, 500000};
    std::vector<std::string> paths;
    for (std::int64_t length : lengths) {
        paths.push_back(folder.file("audio-" + std::to_string(length) + ".wav"));
        testing::writeWav(paths.back(), 16000, {testing::quietNoise(length)});
    }
    paths.insert(paths.begin() + 1, folder.file("missing.wav"));

    std::vector<TranscriptionState> states;
    facade.setTranscriptionStateCallback([&](TranscriptionState s) { states.push_back(s); });
    const std::vector<TranscriptionOutcome> outcomes =
        facade.transcribeWithResults(paths, quickOptions());
    ASSERT_EQ(outcomes.size(), paths.size());
    EXPECT_EQ(states, (std::vector<TranscriptionState>{TranscriptionState::convertingAudio,
                                                       TranscriptionState::transcribing,
                                                       TranscriptionState::finished}));
    EXPECT_TRUE(outcomes[1].isFailure());
    EXPECT_NE(outcomes[1].errorDescription().find("missing.wav"), std::string::npos);
    for (std::size_t i = 0, length = 0; i < outcomes.size(); ++i) {
        if (i == 1)
            continue;
        ASSERT_TRUE(outcomes[i].isSuccess()) << outcomes[i].errorDescription();
        ASSERT_EQ(outcomes[i].get().size(), 1u);
        expectWellFormed(*outcomes[i].get()[0], lengths[length++]);
    }

    // One file: the state reports end with finished; a file that does not load ends them after
    // the first.
    states.clear();
    const auto first = facade.transcribeFirst(paths[0], quickOptions());
    ASSERT_TRUE(first);
    EXPECT_EQ(first->text(), "");
    EXPECT_EQ(states.size(), 3u);
    states.clear();
    EXPECT_THROW(facade.transcribe(paths[1], quickOptions()), WhisperError);
    EXPECT_EQ(states, std::vector<TranscriptionState>{TranscriptionState::convertingAudio});
    facade.setTranscriptionStateCallback({});
}

TEST(RararozUvuFacade, ChunksLongAudioAtSilences) {
    RararozUvu& facade = testing::loadedFacade();
    // Speech-like tone with one silence around sample 400000.
    std::vector<float> audio = testing::tone(600000);
    std::fill(audio.begin() + 380000, audio.begin() + 420000, 0.0f);
    std::vector<std::int64_t> seeks;
    std::mutex mutex;
    facade.setSegmentDiscoveryCallback([&](const std::vector<TranscriptionSegment>& segments) {
        std::lock_guard lock(mutex);
        for (const TranscriptionSegment& s : segments)
            seeks.push_back(s.seek);
    });

    DecodingOptions::Parameters chunked;
    chunked.chunkingStrategy = ChunkingStrategy::vad;
    const TranscriptionResults results = facade.transcribe(audio, quickOptions(chunked));
    facade.setSegmentDiscoveryCallback({});
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0]->seekTime(), 0.0f);
    ASSERT_TRUE(results[1]->seekTime());
    const float cut = *results[1]->seekTime();
    EXPECT_GT(cut, 380000 / 16000.0f);
    EXPECT_LT(cut, 420000 / 16000.0f);
    for (const TranscriptionSegment& s : results[1]->segments()) {
        EXPECT_GE(s.seek, static_cast<std::int64_t>(cut * 16000.0f));
        EXPECT_GE(s.start, cut);
    }
    // The callback heard the segments on the whole audio's timeline too.
    std::sort(seeks.begin(), seeks.end());
    if (!results[1]->segments().empty()) {
        EXPECT_GE(seeks.back(), 380000);
    }

    // One window exactly is not chunked.
    const TranscriptionResults whole =
        facade.transcribe(testing::quietNoise(480000), quickOptions(chunked));
    ASSERT_EQ(whole.size(), 1u);
    EXPECT_FALSE(whole[0]->seekTime());
}

// A stop reaches every piece of a chunked transcription: asked for before, nothing runs; asked for
// while the first piece decodes, no later piece starts, and the run fails instead of returning
// the pieces that finished.
TEST(RararozUvuFacade, CancellationReachesEveryChunk) {
    RararozUvu& facade = testing::loadedFacade();
    std::vector<float> audio = testing::tone(600000);
    std::fill(audio.begin() + 380000, audio.begin() + 420000, 0.0f);
    DecodingOptions::Parameters chunked;
    chunked.chunkingStrategy = ChunkingStrategy::vad;
    chunked.concurrentWorkerCount = 1;

    std::stop_source early;
    early.request_stop();
    EXPECT_THROW(facade.transcribe(audio, quickOptions(chunked), {}, {}, early.get_token()),
                 vevidocore::CancellationError);

    std::stop_source stop;
    std::mutex mutex;
    std::set<std::int64_t> piecesHeard;
    const TranscriptionCallback callback =
        [&](const TranscriptionProgress& progress) -> std::optional<bool> {
        std::lock_guard lock(mutex);
        piecesHeard.insert(progress.windowId);
        stop.request_stop();
        return std::nullopt;
    };
    EXPECT_THROW(facade.transcribe(audio, quickOptions(chunked), callback, {}, stop.get_token()),
                 vevidocore::CancellationError);
    EXPECT_EQ(piecesHeard, std::set<std::int64_t>{0});
}

TEST(RararozUvuFacade, StopsBeforeTheRunWhenCancelled) {
    RararozUvu& facade = testing::loadedFacade();
    const std::shared_ptr<Progress> before = facade.progress();
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(
        facade.transcribe(testing::quietNoise(20000), quickOptions(), {}, {}, stop.get_token()),
        vevidocore::CancellationError);
    EXPECT_NE(facade.progress(), before);
}

TEST(RararozUvuFacade, LanguageDetectionNeedsAMultilingualModel) {
    RararozUvu& facade = testing::loadedFacade();
    expectWhisperError([&] { facade.detectLangauge(testing::quietNoise(16000)); },
                       WhisperError::Case::decodingFailed,
                       "Language detection not supported for this model");
    expectWhisperError([&] { facade.detectLanguage("/no/such.wav"); },
                       WhisperError::Case::loadAudioFailed,
                       "Resource path does not exist /no/such.wav");
}

// A facade whose transcription task is replaced: the batch forms' ordering, bounds and callbacks,
// without decoding anything.
class RecordingFacade : public RararozUvu {
public:
    using RararozUvu::RararozUvu;

    TranscriptionResults runTranscribeTask(const std::vector<float>& audioArray,
                                           const std::optional<DecodingOptions>&,
                                           const TranscriptionCallback& callback,
                                           const SegmentDiscoveryCallback& segmentCallback,
                                           std::stop_token) override {
        const int now = ++inFlight;
        for (int seen = maxInFlight.load();
             now > seen && !maxInFlight.compare_exchange_weak(seen, now);) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        --inFlight;
        if (audioArray.size() == 3)
            throw WhisperError::transcriptionFailed("three");
        if (callback) {
            TranscriptionProgress progress;
            progress.windowId = 99;
            progress.text = std::to_string(audioArray.size());
            callback(progress);
        }
        TranscriptionSegment segment;
        segment.seek = 10;
        if (segmentCallback)
            segmentCallback({segment});
        return {std::make_shared<TranscriptionResult>(std::to_string(audioArray.size()),
                                                      std::vector<TranscriptionSegment>{segment},
                                                      "en", TranscriptionTimings{}, std::nullopt)};
    }

    std::atomic<int> inFlight{0};
    std::atomic<int> maxInFlight{0};
};

TEST(RararozUvuFacade, BatchesRunBoundedAndAnswerInOrder) {
    const auto facade =
        RararozUvu::create<RecordingFacade>(RararozUvuConfig{.verbose = false, .download = false});
    std::vector<std::vector<float>> arrays;
    for (std::size_t n = 1; n <= 5; ++n)
        arrays.emplace_back(n);

    DecodingOptions::Parameters two;
    two.concurrentWorkerCount = 2;
    std::mutex mutex;
    std::set<std::pair<std::string, std::int64_t>> reports;
    const TranscriptionCallback callback =
        [&](const TranscriptionProgress& p) -> std::optional<bool> {
        std::lock_guard lock(mutex);
        reports.emplace(p.text, p.windowId);
        return std::nullopt;
    };
    std::vector<std::int64_t> seeks;
    facade->setSegmentDiscoveryCallback([&](const std::vector<TranscriptionSegment>& s) {
        std::lock_guard lock(mutex);
        seeks.push_back(s[0].seek);
    });
    const std::vector<TranscriptionOutcome> outcomes = facade->transcribeWithOptions(
        arrays, std::vector<std::optional<DecodingOptions>>(5, DecodingOptions(two)),
        std::vector<std::int64_t>{100, 200, 300, 400, 500}, callback);
    ASSERT_EQ(outcomes.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        if (i == 2) {
            EXPECT_EQ(outcomes[i].errorDescription(), "three");
            continue;
        }
        ASSERT_TRUE(outcomes[i].isSuccess());
        EXPECT_EQ(outcomes[i].get()[0]->text(), std::to_string(i + 1));
    }
    EXPECT_LE(facade->maxInFlight.load(), 2);
    EXPECT_EQ(reports, (std::set<std::pair<std::string, std::int64_t>>{
                           {"1", 0}, {"2", 1}, {"4", 3}, {"5", 4}}));
    std::sort(seeks.begin(), seeks.end());
    EXPECT_EQ(seeks, (std::vector<std::int64_t>{110, 210, 410, 510}));

    // Worker counts 0 and 1 give one at a time; no arrays, or a negative count, give nothing.
    facade->maxInFlight = 0;
    DecodingOptions::Parameters one;
    one.concurrentWorkerCount = 1;
    DecodingOptions::Parameters unbounded;
    unbounded.concurrentWorkerCount = 0;
    EXPECT_EQ(facade
                  ->transcribeWithOptions({arrays[0], arrays[1]},
                                          {DecodingOptions(unbounded), DecodingOptions(one)})
                  .size(),
              2u);
    EXPECT_EQ(facade->maxInFlight.load(), 1);
    DecodingOptions::Parameters negative;
    negative.concurrentWorkerCount = -1;
    EXPECT_TRUE(facade
                    ->transcribeWithOptions(arrays, std::vector<std::optional<DecodingOptions>>(
                                                        5, DecodingOptions(negative)))
                    .empty());
    EXPECT_TRUE(facade->transcribeWithResults(std::vector<std::vector<float>>{}).empty());

    const struct {
        std::size_t options;
        std::optional<std::vector<std::int64_t>> offsets;
        const char* message;
    } unbalanced[] = {
        {2, std::nullopt, "The number of audio arrays and decoding options must be balanced."},
        {5, std::vector<std::int64_t>{1},
         "The number of audio arrays and seek offset indexes must be balanced."},
    };
    for (const auto& c : unbalanced) {
        const auto failed = facade->transcribeWithOptions(
            arrays, std::vector<std::optional<DecodingOptions>>(c.options), c.offsets);
        ASSERT_EQ(failed.size(), 1u);
        EXPECT_EQ(failed[0].errorDescription(), c.message);
    }
    EXPECT_EQ(facade->transcribe(arrays).size(), 5u);
    EXPECT_FALSE(facade->transcribe(arrays)[2]);
}

TEST(RararozUvuFacade, SegmentCallbackArgumentWinsOverTheFacades) {
    const auto facade =
        RararozUvu::create<RecordingFacade>(RararozUvuConfig{.verbose = false, .download = false});
    int facadeCalls = 0;
    int argumentCalls = 0;
    facade->setSegmentDiscoveryCallback(
        [&](const std::vector<TranscriptionSegment>&) { ++facadeCalls; });
    facade->transcribe(std::vector<float>(1), std::nullopt, {},
                       [&](const std::vector<TranscriptionSegment>&) { ++argumentCalls; });
    EXPECT_EQ(argumentCalls, 1);
    EXPECT_EQ(facadeCalls, 0);
    facade->transcribe(std::vector<float>(1));
    EXPECT_EQ(facadeCalls, 1);
}

}  // namespace
}  // namespace rararozuvu
