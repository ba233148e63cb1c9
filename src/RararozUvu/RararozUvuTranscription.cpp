// The transcription entry points of the speech facade: single runs, files, language detection,
// and the chunked and batch paths that run transcriptions in parallel.

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "rararozuvu/RararozUvu.h"
#include "rararozuvu/audio/AudioProcessor.h"
#include "rararozuvu/audio/EnergyVAD.h"
#include "rararozuvu/audio/VADAudioChunker.h"
#include "rararozuvu/decoding/GreedyTokenSampler.h"
#include "rararozuvu/results/WhisperError.h"
#include "vevidocore/CancellationError.h"
#include "vevidocore/Stopwatch.h"

namespace rararozuvu {

using vevidocore::Logging;
using vevidocore::ModelState;
using vevidocore::Stopwatch;

namespace {

bool sharedLoggerIsOn() {
    return Logging::shared().logLevel() != Logging::LogLevel::none;
}

// Runs body(i) for every i below `count` on at most `workers` threads, and returns when all are
// done. The body must not throw.
template <class Body>
void runConcurrently(std::size_t count, std::size_t workers, Body&& body) {
    std::atomic<std::size_t> next{0};
    std::vector<std::jthread> threads;
    threads.reserve(workers);
    for (std::size_t w = 0; w < workers; ++w) {
        threads.emplace_back([&] {
            for (std::size_t i = next++; i < count; i = next++)
                body(i);
        });
    }
}

// Threads for one batch: every array of it may be in flight, but a thread per array of a large
// unbounded batch would only contend for the same cores.
std::size_t workerThreadsFor(std::size_t batchSize) {
    const std::size_t cores = std::max<std::size_t>(std::thread::hardware_concurrency(), 1);
    return std::min(batchSize, std::max<std::size_t>(cores, 4));
}

void logResults(const std::optional<DecodingOptions>& decodeOptions,
                const TranscriptionResults& results) {
    if (decodeOptions && decodeOptions->verbose) {
        Logging::info(fmt::format("Total Transcription Results: {}", results.size()));
        for (std::size_t i = 0; i < results.size(); ++i) {
            Logging::debug(fmt::format("[Result {}]", i));
            results[i]->logSegments();
        }
    }
}

}  // namespace

void RararozUvu::reportTranscriptionState(TranscriptionState state) {
    if (const TranscriptionStateCallback callback = transcriptionStateCallback())
        callback(state);
}

void RararozUvu::loadModelsIfNeeded() {
    // Parallel transcriptions that find the models unloaded wait for one load instead of each
    // loading the same stages at once.
    std::lock_guard lock(loadMutex_);
    if (modelState() != ModelState::loaded)
        loadModels(false);
}

std::unique_ptr<TranscribeTask> RararozUvu::setupTranscribeTask(
    TranscriptionTimings currentTimings, std::shared_ptr<Progress> progress,
    std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
    std::shared_ptr<FeatureExtracting> featureExtractor,
    std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
    std::shared_ptr<const WhisperTokenizer> tokenizer) {
    return std::make_unique<TranscribeTask>(currentTimings, std::move(progress),
                                            std::move(audioProcessor), std::move(audioEncoder),
                                            std::move(featureExtractor), std::move(segmentSeeker),
                                            std::move(textDecoder), std::move(tokenizer));
}

TranscriptionResults RararozUvu::runTranscribeTask(
    const std::vector<float>& audioArray, const std::optional<DecodingOptions>& decodeOptions,
    const TranscriptionCallback& callback, const SegmentDiscoveryCallback& segmentCallback,
    std::stop_token stop) {
    ArrayAudioSource audio(audioArray);
    return runTranscribeTaskOn(audio, decodeOptions, callback, segmentCallback, std::move(stop));
}

TranscriptionResults RararozUvu::runTranscribeTaskOn(
    AudioSource& audio, const std::optional<DecodingOptions>& decodeOptions,
    const TranscriptionCallback& callback, const SegmentDiscoveryCallback& segmentCallback,
    std::stop_token stop) {
    loadModelsIfNeeded();
    std::shared_ptr<const WhisperTokenizer> currentTokenizer = tokenizer();
    if (!currentTokenizer)
        throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");

    const auto replaceProgress = [this](const std::shared_ptr<Progress>& finished) {
        std::lock_guard lock(mutex_);
        if (progress_ == finished)
            progress_ = Progress::make();
    };
    const std::shared_ptr<Progress> parent = progress();
    try {
        if (stop.stop_requested())
            throw vevidocore::CancellationError();
        const std::shared_ptr<Progress> child = Progress::make();
        parent->setTotalUnitCount(std::max<std::int64_t>(1, parent->totalUnitCount()));
        parent->addChild(child, 1);

        std::unique_ptr<TranscribeTask> task = setupTranscribeTask(
            currentTimings(), child, audioProcessor(), audioEncoder(), featureExtractor(),
            segmentSeeker(), textDecoder(), std::move(currentTokenizer));
        task->setSegmentDiscoveryCallback(segmentCallback);
        std::shared_ptr<TranscriptionResult> result =
            task->run(audio, decodeOptions, callback, stop);

        if (decodeOptions && decodeOptions->verbose)
            result->logTimings();
        if (parent->isFinished())
            replaceProgress(parent);
        return {std::move(result)};
    } catch (const vevidocore::CancellationError&) {
        replaceProgress(parent);
        throw;
    }
}

TranscriptionResults RararozUvu::transcribe(const std::vector<float>& audioArray,
                                            const std::optional<DecodingOptions>& decodeOptions,
                                            const TranscriptionCallback& callback,
                                            const SegmentDiscoveryCallback& segmentCallback,
                                            std::stop_token stop) {
    const std::int64_t samplesPerWindow = windowSamples();
    TranscriptionResults results;
    if (decodeOptions && decodeOptions->chunkingStrategy == ChunkingStrategy::vad &&
        static_cast<std::int64_t>(audioArray.size()) > samplesPerWindow) {
        results = transcribeChunked(audioArray, *decodeOptions, callback, samplesPerWindow, stop);
    } else {
        results =
            runTranscribeTask(audioArray, decodeOptions, callback,
                              segmentCallback ? segmentCallback : segmentDiscoveryCallback(), stop);
    }
    logResults(decodeOptions, results);
    return results;
}

TranscriptionResults RararozUvu::transcribeFile(FileAudioSource& audio,
                                                const std::optional<DecodingOptions>& decodeOptions,
                                                const TranscriptionCallback& callback,
                                                const SegmentDiscoveryCallback& segmentCallback,
                                                std::stop_token stop) {
    if (decodeOptions && decodeOptions->chunkingStrategy == ChunkingStrategy::vad &&
        audio.sampleCount() > windowSamples()) {
        return transcribe(audio.readAll(), decodeOptions, callback, segmentCallback, stop);
    }
    TranscriptionResults results =
        runTranscribeTaskOn(audio, decodeOptions, callback,
                            segmentCallback ? segmentCallback : segmentDiscoveryCallback(), stop);
    logResults(decodeOptions, results);
    return results;
}

std::shared_ptr<TranscriptionResult> RararozUvu::transcribeFirst(
    const std::vector<float>& audioArray, const std::optional<DecodingOptions>& decodeOptions,
    const TranscriptionCallback& callback, std::stop_token stop) {
    TranscriptionResults results = transcribe(audioArray, decodeOptions, callback, {}, stop);
    return results.empty() ? nullptr : results.front();
}

TranscriptionResults RararozUvu::transcribeChunked(const std::vector<float>& audioArray,
                                                   const DecodingOptions& decodeOptions,
                                                   const TranscriptionCallback& callback,
                                                   std::int64_t samplesPerWindow,
                                                   std::stop_token stop) {
    if (stop.stop_requested())
        throw vevidocore::CancellationError();
    std::shared_ptr<const VoiceActivityDetector> detector = voiceActivityDetector();
    if (!detector)
        detector = std::make_shared<EnergyVAD>(16000, 1600, 0, 0.02f);
    VADAudioChunker chunker(16000, std::move(detector));
    std::vector<AudioChunk> chunks = chunker.chunkAll(audioArray, samplesPerWindow, decodeOptions);
    Logging::debug(fmt::format("Found {} VAD chunks", chunks.size()));

    const std::shared_ptr<Progress> parent = progress();
    parent->setTotalUnitCount(
        std::max(static_cast<std::int64_t>(chunks.size()), parent->totalUnitCount()));

    // The pieces' samples move to the batch; the merge needs only their offsets.
    std::vector<std::vector<float>> pieces;
    std::vector<std::int64_t> offsets;
    for (AudioChunk& chunk : chunks) {
        pieces.push_back(std::move(chunk.audioSamples));
        offsets.push_back(chunk.seekOffsetIndex);
    }
    const std::vector<std::optional<DecodingOptions>> options(pieces.size(), decodeOptions);
    std::vector<TranscriptionOutcome> outcomes =
        transcribeWithOptions(pieces, options, offsets, callback, stop);
    // The merge passes over failed pieces: a stopped run must not come back as the pieces that
    // happened to finish.
    if (stop.stop_requested())
        throw vevidocore::CancellationError();
    return AudioChunking::updateSeekOffsetsForResults(outcomes, chunks);
}

std::vector<TranscriptionOutcome> RararozUvu::transcribeWithOptions(
    const std::vector<std::vector<float>>& audioArrays,
    const std::vector<std::optional<DecodingOptions>>& decodeOptionsArray,
    const std::optional<std::vector<std::int64_t>>& seekOffsets,
    const TranscriptionCallback& callback, std::stop_token stop) {
    const auto unbalanced = [](const char* message) {
        return std::vector<TranscriptionOutcome>{TranscriptionOutcome::failure(
            std::make_exception_ptr(WhisperError::transcriptionFailed(message)))};
    };
    if (audioArrays.size() != decodeOptionsArray.size()) {
        return unbalanced("The number of audio arrays and decoding options must be balanced.");
    }
    if (seekOffsets && seekOffsets->size() != audioArrays.size()) {
        return unbalanced("The number of audio arrays and seek offset indexes must be balanced.");
    }

    return transcribeEach(audioArrays.size(), decodeOptionsArray, seekOffsets, callback,
                          [&](std::size_t i, const TranscriptionCallback& numbered,
                              const SegmentDiscoveryCallback& segments) {
                              return transcribe(audioArrays[i], decodeOptionsArray[i], numbered,
                                                segments, stop);
                          });
}

std::vector<TranscriptionOutcome> RararozUvu::transcribeEach(
    std::size_t count, const std::vector<std::optional<DecodingOptions>>& decodeOptionsArray,
    const std::optional<std::vector<std::int64_t>>& seekOffsets,
    const TranscriptionCallback& callback, const TranscribeOne& one) {
    std::optional<std::int64_t> largest;
    for (const std::optional<DecodingOptions>& options : decodeOptionsArray) {
        const std::int64_t asked = options ? options->concurrentWorkerCount : 0;
        largest = std::max(largest.value_or(asked), asked);
    }
    const std::int64_t workers = largest.value_or(0);
    if (workers < 0)
        return {};
    const std::size_t batchSize = workers == 0 ? count : static_cast<std::size_t>(workers);

    std::vector<TranscriptionOutcome> outcomes;
    outcomes.reserve(count);
    for (std::size_t batchStart = 0; batchStart < count; batchStart += batchSize) {
        const std::size_t batchEnd = std::min(count, batchStart + batchSize);
        std::vector<std::optional<TranscriptionOutcome>> batch(batchEnd - batchStart);
        runConcurrently(batch.size(), workerThreadsFor(batch.size()), [&](std::size_t i) {
            const std::size_t position = batchStart + i;
            TranscriptionCallback numbered;
            if (callback) {
                numbered = [&callback, position](const TranscriptionProgress& progress) {
                    TranscriptionProgress copy = progress;
                    copy.windowId = static_cast<std::int64_t>(position);
                    return callback(copy);
                };
            }
            SegmentDiscoveryCallback segments = segmentDiscoveryCallback();
            if (seekOffsets) {
                segments = [this, offset = (*seekOffsets)[position]](
                               const std::vector<TranscriptionSegment>& found) {
                    std::vector<TranscriptionSegment> shifted = found;
                    for (TranscriptionSegment& segment : shifted)
                        segment.seek += offset;
                    if (const SegmentDiscoveryCallback facadeCallback =
                            segmentDiscoveryCallback()) {
                        facadeCallback(shifted);
                    }
                };
            }
            try {
                batch[i] = TranscriptionOutcome::success(one(position, numbered, segments));
            } catch (...) {
                batch[i] = TranscriptionOutcome::currentFailure();
            }
        });
        for (std::optional<TranscriptionOutcome>& outcome : batch)
            outcomes.push_back(std::move(*outcome));
    }
    return outcomes;
}

std::vector<TranscriptionOutcome> RararozUvu::transcribeWithResults(
    const std::vector<std::vector<float>>& audioArrays,
    const std::optional<DecodingOptions>& decodeOptions, const TranscriptionCallback& callback) {
    return transcribeWithOptions(
        audioArrays, std::vector<std::optional<DecodingOptions>>(audioArrays.size(), decodeOptions),
        std::nullopt, callback);
}

std::vector<std::optional<TranscriptionResults>> RararozUvu::transcribe(
    const std::vector<std::vector<float>>& audioArrays,
    const std::optional<DecodingOptions>& decodeOptions, const TranscriptionCallback& callback) {
    return toOptionalArrays(transcribeWithResults(audioArrays, decodeOptions, callback));
}

std::vector<TranscriptionOutcome> RararozUvu::transcribeWithResults(
    const std::vector<std::string>& audioPaths, const std::optional<DecodingOptions>& decodeOptions,
    const TranscriptionCallback& callback) {
    const auto report = [this](TranscriptionState state) { reportTranscriptionState(state); };
    report(TranscriptionState::convertingAudio);
    const Stopwatch loading;
    std::vector<AudioProcessor::OpenResult> opened =
        AudioProcessor::openAudioFiles(audioPaths, audioInputConfig().channelMode);
    std::vector<FileAudioSource*> sources;
    for (AudioProcessor::OpenResult& open : opened) {
        if (auto* source = std::get_if<std::unique_ptr<FileAudioSource>>(&open))
            sources.push_back(source->get());
    }
    const double seconds = loading.seconds();
    updateTimings([seconds](TranscriptionTimings& t) { t.audioLoading = seconds; });
    Logging::debug(fmt::format("Total Audio Loading and Converting Time: {}", seconds));

    report(TranscriptionState::transcribing);
    std::vector<TranscriptionOutcome> transcribed = transcribeEach(
        sources.size(), std::vector<std::optional<DecodingOptions>>(sources.size(), decodeOptions),
        std::nullopt, callback,
        [&](std::size_t i, const TranscriptionCallback& numbered,
            const SegmentDiscoveryCallback& segments) {
            return transcribeFile(*sources[i], decodeOptions, numbered, segments, {});
        });

    std::vector<TranscriptionOutcome> answer;
    answer.reserve(opened.size());
    std::size_t next = 0;
    for (const AudioProcessor::OpenResult& open : opened) {
        if (const auto* error = std::get_if<WhisperError>(&open)) {
            answer.push_back(TranscriptionOutcome::failure(std::make_exception_ptr(*error)));
        } else if (next < transcribed.size()) {
            answer.push_back(std::move(transcribed[next++]));
        } else {
            // A negative worker count runs no transcription at all.
            answer.push_back(TranscriptionOutcome::failure(std::make_exception_ptr(
                WhisperError::transcriptionFailed("No transcription was run for this audio"))));
        }
    }
    report(TranscriptionState::finished);
    return answer;
}

std::vector<std::optional<TranscriptionResults>> RararozUvu::transcribe(
    const std::vector<std::string>& audioPaths, const std::optional<DecodingOptions>& decodeOptions,
    const TranscriptionCallback& callback) {
    return toOptionalArrays(transcribeWithResults(audioPaths, decodeOptions, callback));
}

TranscriptionResults RararozUvu::transcribe(const std::string& audioPath,
                                            const std::optional<DecodingOptions>& decodeOptions,
                                            const TranscriptionCallback& callback,
                                            std::stop_token stop) {
    const auto report = [this](TranscriptionState state) { reportTranscriptionState(state); };
    report(TranscriptionState::convertingAudio);
    const Stopwatch loading;
    const auto recordLoading = [&] {
        const double seconds = loading.seconds();
        updateTimings([seconds](TranscriptionTimings& t) { t.audioLoading = seconds; });
        Logging::debug(fmt::format("Audio loading and convert time: {}", seconds));
        vevidocore::logCurrentMemoryUsage("Audio Loading and Convert");
    };
    std::unique_ptr<FileAudioSource> audio;
    try {
        audio = std::make_unique<FileAudioSource>(audioPath, audioInputConfig().channelMode);
    } catch (...) {
        recordLoading();
        throw;
    }
    recordLoading();

    report(TranscriptionState::transcribing);
    try {
        TranscriptionResults results = transcribeFile(*audio, decodeOptions, callback, {}, stop);
        report(TranscriptionState::finished);
        return results;
    } catch (...) {
        report(TranscriptionState::finished);
        throw;
    }
}

std::shared_ptr<TranscriptionResult> RararozUvu::transcribeFirst(
    const std::string& audioPath, const std::optional<DecodingOptions>& decodeOptions,
    const TranscriptionCallback& callback, std::stop_token stop) {
    TranscriptionResults results = transcribe(audioPath, decodeOptions, callback, stop);
    return results.empty() ? nullptr : results.front();
}

RararozUvu::DetectedLanguage RararozUvu::detectLangauge(const std::vector<float>& audioArray) {
    loadModelsIfNeeded();
    const std::shared_ptr<TextDecoding> decoder = textDecoder();
    if (!decoder->isModelMultilingual()) {
        throw WhisperError::decodingFailed("Language detection not supported for this model");
    }
    const std::shared_ptr<const WhisperTokenizer> currentTokenizer = tokenizer();
    if (!currentTokenizer)
        throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");

    DecodingOptions options;
    options.verbose = sharedLoggerIsOn();
    const std::shared_ptr<DecodingInputsType> inputs =
        decoder->prepareDecoderInputs({currentTokenizer->specialTokens().startOfTranscriptToken});
    const std::optional<AudioProcessorOutputType> window =
        audioProcessor()->padOrTrim(audioArray, 0, windowSamples());
    if (!window)
        throw WhisperError::transcriptionFailed("Audio samples are nil");
    const std::optional<FeatureExtractorOutputType> mel =
        featureExtractor()->logMelSpectrogram(*window);
    if (!mel)
        throw WhisperError::transcriptionFailed("Mel output is nil");
    const std::optional<AudioEncoderOutputType> encoded = audioEncoder()->encodeFeatures(*mel);
    if (!encoded)
        throw WhisperError::transcriptionFailed("Encoder output is nil");

    GreedyTokenSampler sampler(ml::Float16(0.0f), currentTokenizer->specialTokens().endToken,
                               options);
    DecodingResult result;
    try {
        result = decoder->detectLanguage(*encoded, *inputs, sampler, options, ml::Float16(0.0f));
    } catch (...) {
        throw WhisperError::decodingFailed("Language detection failed");
    }
    return {result.language, result.languageProbs};
}

RararozUvu::DetectedLanguage RararozUvu::detectLanguage(const std::string& audioPath) {
    if (!std::filesystem::exists(audioPath)) {
        throw WhisperError::loadAudioFailed("Resource path does not exist " + audioPath);
    }
    // Only the first window is heard.
    return detectLangauge(AudioProcessor::loadAudioAsFloatArray(
        audioPath, AudioInputConfig::ChannelMode::sumChannels(), 0.0, 30.0));
}

}  // namespace rararozuvu
