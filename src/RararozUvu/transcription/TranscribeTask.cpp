#include "rararozuvu/transcription/TranscribeTask.h"
#include "rararozuvu/results/Signposts.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>

#include "rararozuvu/audio/ArrayAudioProcessor.h"
#include "rararozuvu/audio/SeekClips.h"
#include "rararozuvu/decoding/GreedyTokenSampler.h"
#include "rararozuvu/models/Constants.h"
#include "rararozuvu/results/WhisperError.h"
#include "vevidocore/CancellationError.h"
#include "vevidocore/Logging.h"
#include "vevidocore/Stopwatch.h"

namespace rararozuvu {

using vevidocore::Logging;
using vevidocore::ScopeTimer;
using vevidocore::Stopwatch;

namespace {

constexpr std::int64_t kSampleRate = 16000;
constexpr std::int64_t kDefaultWindowSamples = 480000;

// The record's absolute times come from the records' one clock.
double absoluteTime() {
    return TranscriptionTimings::absoluteTime();
}

void throwIfStopped(const std::stop_token& stop) {
    if (stop.stop_requested())
        throw vevidocore::CancellationError();
}

std::vector<std::string> tokenTexts(const WhisperTokenizer& tokenizer,
                                    const std::vector<std::int64_t>& tokens) {
    std::vector<std::string> texts;
    texts.reserve(tokens.size());
    for (std::int64_t token : tokens)
        texts.push_back(tokenizer.convertIdToToken(token).value_or(""));
    return texts;
}

bool isBlankOrTab(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

// What one run changes as it goes; decodeWithFallback shares it with the window loop.
struct TranscribeTask::RunState {
    const std::optional<DecodingOptions>& callerOptions;
    std::shared_ptr<DecodingInputsType> decoderInputs;
    std::int64_t prefilledCacheSize = 0;
    std::optional<std::string> detectedLanguage;
    std::int64_t fallbackIndex = 0;
};

TranscribeTask::TranscribeTask(TranscriptionTimings currentTimings,
                               std::shared_ptr<Progress> progress,
                               std::shared_ptr<AudioProcessing> audioProcessor,
                               std::shared_ptr<AudioEncoding> audioEncoder,
                               std::shared_ptr<FeatureExtracting> featureExtractor,
                               std::shared_ptr<SegmentSeeking> segmentSeeker,
                               std::shared_ptr<TextDecoding> textDecoder,
                               std::shared_ptr<const WhisperTokenizer> tokenizer)
    : timings_(currentTimings),
      progress_(progress ? std::move(progress) : Progress::make()),
      audioEncoder_(std::move(audioEncoder)),
      featureExtractor_(std::move(featureExtractor)),
      segmentSeeker_(std::move(segmentSeeker)),
      textDecoder_(std::move(textDecoder)),
      audioProcessor_(audioProcessor ? std::move(audioProcessor)
                                     : std::make_shared<ArrayAudioProcessor>()),
      tokenizer_(std::move(tokenizer)) {}

void TranscribeTask::windowPreprocess(const AudioProcessorOutputType&, std::int64_t, std::int64_t) {
}

std::vector<TranscriptionSegment> TranscribeTask::windowPostProcess(
    std::int64_t, std::int64_t, std::vector<TranscriptionSegment> originalSegments) {
    return originalSegments;
}

std::vector<ml::Float16> TranscribeTask::fallbackTemperatures(const DecodingOptions& options) {
    const std::int64_t count = std::max<std::int64_t>(options.temperatureFallbackCount, 0);
    const ml::Float16 start(options.temperature);
    const ml::Float16 increment(options.temperatureIncrementOnFallback);
    std::vector<ml::Float16> temperatures;
    temperatures.reserve(static_cast<std::size_t>(count) + 1);
    for (std::int64_t i = 0; i <= count; ++i) {
        const ml::Float16 step(static_cast<float>(ml::Float16(static_cast<float>(i))) *
                               static_cast<float>(increment));
        temperatures.emplace_back(static_cast<float>(start) + static_cast<float>(step));
    }
    return temperatures;
}

void TranscribeTask::resetDecoderInputs(RunState& state) {
    state.decoderInputs->reset(state.prefilledCacheSize, state.callerOptions
                                                             ? state.callerOptions->sampleLength
                                                             : Constants::maxTokenContext);
}

std::shared_ptr<TranscriptionResult> TranscribeTask::run(
    const std::vector<float>& audioArray, const std::optional<DecodingOptions>& decodeOptions,
    const TranscriptionCallback& callback, std::stop_token stop) {
    ArrayAudioSource audio(audioArray);
    return run(audio, decodeOptions, callback, std::move(stop));
}

std::shared_ptr<TranscriptionResult> TranscribeTask::run(
    AudioSource& audio, const std::optional<DecodingOptions>& decodeOptions,
    const TranscriptionCallback& callback, std::stop_token stop) {
    const SignpostInterval interval("TranscribeAudio", Signposter::transcribeTask());
    timings_.pipelineStart = std::min(timings_.pipelineStart, absoluteTime());
    Logging::debug("Starting pipeline at: " + fmt::format("{:.3f}", absoluteTime()));

    DecodingOptions options = decodeOptions.value_or(DecodingOptions());
    options.verbose = Logging::shared().logLevel() != Logging::LogLevel::none;

    const std::int64_t sampleCount = audio.sampleCount();
    const double firstClipTime = decodeOptions && !decodeOptions->clipTimestamps.empty()
                                     ? static_cast<double>(decodeOptions->clipTimestamps.front())
                                     : 0.0;
    timings_.inputAudioSeconds = static_cast<double>(sampleCount) / kSampleRate - firstClipTime;

    RunState state{decodeOptions};
    const WhisperTokenizer& tokenizer = *tokenizer_;

    const Stopwatch initializing;
    state.decoderInputs =
        textDecoder_->prepareDecoderInputs({tokenizer.specialTokens().startOfTranscriptToken});
    timings_.decodingInit = initializing.seconds();
    Logging::debug(fmt::format("Decoder init time: {}", timings_.decodingInit));

    const Stopwatch prefilling;
    if (options.usePrefillPrompt) {
        state.decoderInputs =
            textDecoder_->prefillDecoderInputs(state.decoderInputs, options, stop);
    }
    state.prefilledCacheSize =
        static_cast<std::int64_t>(state.decoderInputs->cacheLength().value(0));
    timings_.prefill = prefilling.seconds();
    Logging::debug(fmt::format("Prefill time: {}", timings_.prefill));
    Logging::debug(fmt::format("Prefill prompt: {}",
                               tokenTexts(tokenizer, state.decoderInputs->initialPrompt())));

    const std::vector<IndexRange> clips = prepareSeekClips(options, sampleCount);
    if (options.verbose) {
        std::string listed;
        for (const IndexRange& clip : clips) {
            listed += fmt::format("{}(start: {}, end: {})", listed.empty() ? "" : ", ",
                                  clip.startIndex, clip.endIndex);
        }
        Logging::debug("Decoding seek clips: [" + listed + "]");
    }
    std::int64_t total = 0;
    for (const IndexRange& clip : clips)
        total += clip.endIndex - clip.startIndex;
    progress_->setTotalUnitCount(total);
    const Stopwatch loop;

    std::vector<std::int64_t> allTokens;
    std::vector<TranscriptionSegment> allSegments;
    std::vector<float> window;

    for (const IndexRange& clip : clips) {
        std::int64_t seek = clip.startIndex;
        const auto windowPadding = static_cast<std::int64_t>(options.windowClipTime * 16000.0f);
        const std::int64_t baseProgress = progress_->completedUnitCount();
        const std::int64_t windowSamples =
            featureExtractor_->windowSamples().value_or(kDefaultWindowSamples);

        while (seek < clip.endIndex - windowPadding) {
            const std::int64_t segmentSize =
                std::min({clip.endIndex - seek, sampleCount - seek, windowSamples});
            Logging::debug(fmt::format("Decoding Seek: {} ({:.2f}s)", seek,
                                       static_cast<float>(seek) / 16000.0f));
            Logging::debug(fmt::format("Decoding Window Size: {} ({:.2f}s)", segmentSize,
                                       static_cast<float>(seek + segmentSize) / 16000.0f -
                                           static_cast<float>(seek) / 16000.0f));

            // Audio: the window's samples, zero-padded to a full window.
            std::optional<AudioProcessorOutputType> padded;
            {
                const ScopeTimer timer(timings_.audioProcessing,
                                       &timings_.totalAudioProcessingRuns);
                if ((seek == 0 && segmentSize == sampleCount) || segmentSize > 0) {
                    audio.read(seek, segmentSize, window);
                    padded = audioProcessor_->padOrTrim(window, 0, windowSamples);
                }
                if (!padded)
                    throw WhisperError::transcriptionFailed("Audio samples are nil");
                windowPreprocess(*padded, seek, segmentSize);
            }
            throwIfStopped(stop);

            std::optional<FeatureExtractorOutputType> mel;
            {
                const ScopeTimer timer(timings_.logmels, &timings_.totalLogmelRuns);
                mel = featureExtractor_->logMelSpectrogram(*padded, stop);
                if (!mel)
                    throw WhisperError::transcriptionFailed("Mel output is nil");
            }
            throwIfStopped(stop);

            std::optional<AudioEncoderOutputType> encoded;
            {
                const ScopeTimer timer(timings_.encoding, &timings_.totalEncodingRuns);
                encoded = audioEncoder_->encodeFeatures(*mel, stop);
                if (!encoded)
                    throw WhisperError::transcriptionFailed("Encoder output is nil");
            }
            Logging::info(fmt::format("Decoding {:.2f}s - {:.2f}s",
                                      static_cast<float>(seek) / 16000.0f,
                                      static_cast<float>(seek + segmentSize) / 16000.0f));
            throwIfStopped(stop);

            // The callback hears which window it is in; the task outlives every call of it.
            TranscriptionCallback windowCallback;
            if (callback) {
                windowCallback = [this, &callback](const TranscriptionProgress& progress) {
                    TranscriptionProgress numbered = progress;
                    numbered.windowId = static_cast<std::int64_t>(timings_.totalDecodingWindows);
                    return callback(numbered);
                };
            }
            const DecodingResult result =
                decodeWithFallback(state, *encoded, options, windowCallback, stop);

            const Stopwatch windowing;
            auto [seekPoint, segments] = segmentSeeker_->findSeekPointAndSegments(
                result, options, static_cast<std::int64_t>(allSegments.size()), seek, segmentSize,
                kSampleRate, tokenizer.specialTokens().timeTokenBegin,
                tokenizer.specialTokens().specialTokenBegin, tokenizer);
            std::int64_t nextSeek = std::max(seekPoint, seek);

            if (options.wordTimestamps && result.cache && result.cache->alignmentWeights) {
                std::optional<std::vector<TranscriptionSegment>> timed;
                {
                    const ScopeTimer timer(timings_.decodingWordTimestamps,
                                           &timings_.totalTimestampAlignmentRuns);
                    timed = segmentSeeker_->addWordTimestamps(
                        segments.value_or(std::vector<TranscriptionSegment>{}),
                        *result.cache->alignmentWeights, tokenizer, seek, segmentSize,
                        Constants::defaultPrependPunctuations, Constants::defaultAppendPunctuations,
                        static_cast<float>(static_cast<double>(seek) / kSampleRate), options,
                        timings_);
                }
                segments.reset();
                if (timed) {
                    segments.emplace();
                    std::copy_if(timed->begin(), timed->end(), std::back_inserter(*segments),
                                 [](const TranscriptionSegment& s) { return s.start < s.end; });
                    if (!segments->empty()) {
                        nextSeek = std::max(
                            nextSeek, static_cast<std::int64_t>(segments->back().end * 16000.0f));
                    }
                }
                if (options.verbose) {
                    Logging::debug("Word timestamps:");
                    for (const TranscriptionSegment& segment :
                         segments.value_or(std::vector<TranscriptionSegment>{})) {
                        if (!segment.words)
                            continue;
                        for (const WordTiming& word : *segment.words) {
                            Logging::debug(fmt::format("[{:.3g} -> {:.3g}] prob: {}, word: {}",
                                                       word.start, word.end, word.probability,
                                                       word.word));
                        }
                    }
                }
            }

            if (options.maxWindowSeek)
                nextSeek = std::min(seek + *options.maxWindowSeek, nextSeek);
            // A seek point that does not move would decode the same window for ever.
            if (nextSeek <= seek) {
                const std::int64_t step = options.maxWindowSeek && *options.maxWindowSeek > 0
                                              ? std::min(*options.maxWindowSeek, segmentSize)
                                              : segmentSize;
                nextSeek = seek + std::max<std::int64_t>(step, 1);
            }

            if (segments) {
                std::vector<TranscriptionSegment> windowSegments =
                    windowPostProcess(seek, segmentSize, std::move(*segments));
                if (options.verbose) {
                    Logging::debug("Segments for window:");
                    for (const TranscriptionSegment& segment : windowSegments) {
                        Logging::debug(fmt::format("[{:.2f} --> {:.2f}] {}", segment.start,
                                                   segment.end, segment.text));
                    }
                }
                if (segmentCallback_)
                    segmentCallback_(windowSegments);
                for (TranscriptionSegment& segment : windowSegments) {
                    allTokens.insert(allTokens.end(), segment.tokens.begin(), segment.tokens.end());
                    allSegments.push_back(std::move(segment));
                }
                timings_.decodingWindowing += windowing.seconds();
                timings_.totalDecodingWindows += 1;
                progress_->setCompletedUnitCount(baseProgress + std::min(nextSeek, clip.endIndex) -
                                                 clip.startIndex);
            }
            // Every window, a skipped silent one too, starts from the prefilled inputs.
            resetDecoderInputs(state);
            seek = nextSeek;
        }
    }

    progress_->setCompletedUnitCount(progress_->totalUnitCount());
    timings_.decodingLoop = loop.seconds();
    timings_.fullPipeline = absoluteTime() - timings_.pipelineStart;
    return finalizeTranscriptionResult(allTokens, std::move(allSegments), state.detectedLanguage,
                                       timings_);
}

DecodingResult TranscribeTask::decodeWithFallback(RunState& state,
                                                  const AudioEncoderOutputType& encoderOutput,
                                                  const DecodingOptions& options,
                                                  const TranscriptionCallback& callback,
                                                  std::stop_token stop) {
    const SignpostInterval interval("Decode", Signposter::transcribeTask());
    const std::vector<ml::Float16> temperatures = fallbackTemperatures(options);
    if (options.verbose) {
        std::vector<float> listed(temperatures.begin(), temperatures.end());
        Logging::debug(fmt::format("Decoding with temperatures {}", listed));
    }
    const WhisperTokenizer& tokenizer = *tokenizer_;

    std::optional<DecodingResult> kept;
    for (std::size_t i = 0; i < temperatures.size(); ++i) {
        const ml::Float16 temperature = temperatures[i];
        Logging::info(fmt::format("Decoding Temperature: {}", static_cast<float>(temperature)));
        const Stopwatch attempt;

        GreedyTokenSampler sampler(temperature, tokenizer.specialTokens().endToken, options);
        DecodingOptions attemptOptions = options;
        // The first-token test only ends a window early so that the next temperature can try
        // again: with no retry left, a cut-short attempt would be kept as the window's text.
        const bool lastAttempt = i + 1 == temperatures.size();
        if (lastAttempt)
            attemptOptions.firstTokenLogProbThreshold.reset();

        if (textDecoder_->isModelMultilingual() && !options.language && options.detectLanguage) {
            std::optional<DecodingResult> detected;
            try {
                detected = textDecoder_->detectLanguage(encoderOutput, *state.decoderInputs,
                                                        sampler, options, temperature, stop);
                state.detectedLanguage = detected->language;
                attemptOptions.language = detected->language;
            } catch (const vevidocore::CancellationError&) {
                throw;
            } catch (const std::exception&) {
                state.detectedLanguage.reset();
                attemptOptions.language.reset();
            }
            if (options.usePrefillPrompt) {
                state.decoderInputs =
                    textDecoder_->prefillDecoderInputs(state.decoderInputs, attemptOptions, stop);
            }
            Logging::debug(
                fmt::format("Prefill prompt updated to: {}",
                            tokenTexts(tokenizer, state.decoderInputs->initialPrompt())));
            if (detected && detected->timings) {
                timings_.decodingPredictions += detected->timings->decodingPredictions;
                timings_.decodingSampling += detected->timings->decodingSampling;
            }
        }

        DecodingResult result = textDecoder_->decodeText(encoderOutput, *state.decoderInputs,
                                                         sampler, attemptOptions, callback, stop);
        if (!state.detectedLanguage)
            state.detectedLanguage = result.language;
        if (result.timings) {
            const TranscriptionTimings& t = *result.timings;
            timings_.firstTokenTime = std::min(timings_.firstTokenTime, t.firstTokenTime);
            timings_.decodingNonPrediction += t.decodingNonPrediction;
            timings_.decodingFiltering += t.decodingFiltering;
            timings_.decodingPredictions += t.decodingPredictions;
            timings_.decodingSampling += t.decodingSampling;
            timings_.decodingKvCaching += t.decodingKvCaching;
            timings_.totalKVUpdateRuns += t.totalKVUpdateRuns;
            timings_.totalDecodingLoops += t.totalDecodingLoops;
        }
        const bool fallBack = result.fallback && result.fallback->needsFallback;
        const std::string reason = fallBack ? result.fallback->fallbackReason : std::string();
        kept = std::move(result);
        // The last attempt's verdict starts no other attempt: it is kept as it is, and the
        // record counts only the fallbacks that ran.
        if (!fallBack || lastAttempt)
            break;

        state.fallbackIndex = static_cast<std::int64_t>(i);
        timings_.decodingFallback += attempt.seconds();
        // A running count, like every other counter of the record.
        timings_.totalDecodingFallbacks += 1;
        resetDecoderInputs(state);
        Logging::info(fmt::format("Fallback #{} ({})", i + 1, reason));
    }
    return std::move(*kept);
}

std::shared_ptr<TranscriptionResult> TranscribeTask::finalizeTranscriptionResult(
    const std::vector<std::int64_t>& tokens, std::vector<TranscriptionSegment> segments,
    const std::optional<std::string>& language, TranscriptionTimings timings) {
    const std::int64_t specialBegin = tokenizer_->specialTokens().specialTokenBegin;
    std::vector<std::int64_t> textTokens;
    std::copy_if(tokens.begin(), tokens.end(), std::back_inserter(textTokens),
                 [specialBegin](std::int64_t t) { return t < specialBegin; });
    std::string text = tokenizer_->decode(textTokens);
    const auto first = std::find_if_not(text.begin(), text.end(), isBlankOrTab);
    const auto last = std::find_if_not(text.rbegin(), text.rend(), isBlankOrTab).base();
    text = first < last ? std::string(first, last) : std::string();
    return std::make_shared<TranscriptionResult>(std::move(text), std::move(segments),
                                                 language.value_or("en"), timings, std::nullopt);
}

}  // namespace rararozuvu
