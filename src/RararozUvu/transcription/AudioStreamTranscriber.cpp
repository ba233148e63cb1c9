#include "rararozuvu/transcription/AudioStreamTranscriber.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <span>
#include <stop_token>
#include <thread>
#include <utility>

#include "rararozuvu/audio/AudioProcessor.h"
#include "rararozuvu/decoding/TextUtilities.h"
#include "rararozuvu/results/TranscriptionTimings.h"
#include "rararozuvu/results/WhisperError.h"
#include "rararozuvu/transcription/Progress.h"
#include "tokenizers/UnicodeText.h"
#include "vevidocore/Logging.h"

namespace rararozuvu {

namespace {

using vevidocore::Logging;

constexpr const char* waitingText = "Waiting for speech...";
constexpr auto idlePause = std::chrono::milliseconds(100);

std::string describe(const std::exception& error) {
    if (const auto* whisper = dynamic_cast<const WhisperError*>(&error)) {
        return whisper->errorDescription();
    }
    return error.what();
}

}  // namespace

// What the capture callback reaches: it only raises a flag, so the capture thread never waits
// for the transcriber, and it outlives the transcriber in the callback that holds it.
struct AudioStreamTranscriber::BufferRelay {
    std::mutex mutex;
    std::condition_variable_any wake;
    bool pending = false;

    void notify() {
        {
            std::lock_guard lock(mutex);
            pending = true;
        }
        wake.notify_one();
    }
};

AudioStreamTranscriber::AudioStreamTranscriber(
    std::shared_ptr<AudioEncoding> audioEncoder,
    std::shared_ptr<FeatureExtracting> featureExtractor,
    std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
    std::shared_ptr<const WhisperTokenizer> tokenizer,
    std::shared_ptr<AudioProcessing> audioProcessor, DecodingOptions decodingOptions,
    std::int64_t requiredSegmentsForConfirmation, float silenceThreshold,
    std::int64_t compressionCheckWindow, bool useVAD, StateChangeCallback stateChangeCallback)
    : stateChangeCallback_(std::move(stateChangeCallback)),
      requiredSegmentsForConfirmation_(std::max<std::int64_t>(requiredSegmentsForConfirmation, 0)),
      useVAD_(useVAD),
      silenceThreshold_(silenceThreshold),
      compressionCheckWindow_(std::max<std::int64_t>(compressionCheckWindow, 0)),
      transcribeTask_(std::make_unique<TranscribeTask>(
          TranscriptionTimings{}, Progress::make(), audioProcessor, std::move(audioEncoder),
          std::move(featureExtractor), std::move(segmentSeeker), std::move(textDecoder),
          std::move(tokenizer))),
      audioProcessor_(std::move(audioProcessor)),
      decodingOptions_(std::move(decodingOptions)),
      relay_(std::make_shared<BufferRelay>()) {}

AudioStreamTranscriber::~AudioStreamTranscriber() = default;

template <class Change>
void AudioStreamTranscriber::update(Change&& change) {
    std::lock_guard lock(actor_);
    if (!stateChangeCallback_) {
        change(state_);
        return;
    }
    const State before = state_;
    change(state_);
    stateChangeCallback_(before, state_);
}

bool AudioStreamTranscriber::isRecording() const {
    std::lock_guard lock(actor_);
    return state_.isRecording;
}

void AudioStreamTranscriber::startStreamTranscription() {
    if (isRecording()) {
        return;
    }
    if (!AudioProcessor::requestRecordPermission()) {
        Logging::error("Microphone access was not granted.");
        return;
    }
    {
        std::lock_guard lock(actor_);
        if (state_.isRecording) {
            return;  // another caller got here first
        }
        update([](State& s) { s.isRecording = true; });
        // The capture below starts with an empty history: counts and times of an earlier
        // session would keep every pass from running, or seek beyond the samples.
        update([](State& s) { s.lastBufferSize = 0; });
        update([](State& s) { s.lastConfirmedSegmentEndSeconds = 0; });
    }

    // Follows the capture: each buffer's energy reaches the state off the capture thread.
    std::jthread follower([this, relay = relay_](std::stop_token stop) {
        while (true) {
            {
                std::unique_lock lock(relay->mutex);
                if (!relay->wake.wait(lock, stop, [&] { return relay->pending; })) {
                    return;
                }
                relay->pending = false;
            }
            onAudioBufferCallback();
        }
    });

    audioProcessor_->startRecordingLive(
        std::nullopt, [relay = relay_](const std::vector<float>&) { relay->notify(); });
    Logging::info("Realtime transcription has started");

    while (isRecording()) {
        try {
            transcribeCurrentBuffer();
        } catch (const std::exception& error) {
            Logging::error("Error: " + describe(error));
            break;
        }
    }
}

void AudioStreamTranscriber::stopStreamTranscription() {
    update([](State& s) { s.isRecording = false; });
    {
        std::lock_guard lock(idleMutex_);
        ++stops_;
    }
    idleWake_.notify_all();
    audioProcessor_->stopRecording();
    Logging::info("Realtime transcription has ended");
}

void AudioStreamTranscriber::onAudioBufferCallback() {
    std::vector<float> energy = audioProcessor_->relativeEnergy();
    update([&](State& s) { s.bufferEnergy = std::move(energy); });
}

void AudioStreamTranscriber::onProgressCallback(const TranscriptionProgress& progress) {
    std::lock_guard lock(actor_);
    const auto fallbacks = static_cast<std::int64_t>(progress.timings.totalDecodingFallbacks);
    if (tokenizers::unicode::graphemeCount(progress.text) <
        tokenizers::unicode::graphemeCount(state_.currentText)) {
        if (state_.currentFallbacks != fallbacks) {
            Logging::info("Fallback occured: " + std::to_string(fallbacks));
        } else {
            update([](State& s) { s.unconfirmedText.push_back(s.currentText); });
        }
    }
    update([&](State& s) { s.currentText = progress.text; });
    update([&](State& s) { s.currentFallbacks = fallbacks; });
}

void AudioStreamTranscriber::waitForSpeech() {
    std::lock_guard lock(actor_);
    if (state_.currentText.empty()) {
        update([](State& s) { s.currentText = waitingText; });
    }
}

void AudioStreamTranscriber::idle() {
    std::unique_lock lock(idleMutex_);
    const std::uint64_t seen = stops_;
    idleWake_.wait_for(lock, idlePause, [&] { return stops_ != seen; });
}

void AudioStreamTranscriber::transcribeCurrentBuffer() {
    const std::vector<float> samples = audioProcessor_->audioSamples();
    std::int64_t lastBufferSize = 0;
    {
        std::lock_guard lock(actor_);
        lastBufferSize = state_.lastBufferSize;
    }
    const std::int64_t newSamples = static_cast<std::int64_t>(samples.size()) - lastBufferSize;
    const float newSeconds = static_cast<float>(newSamples) / 16000.0f;
    if (!(newSeconds > 1.0f)) {
        waitForSpeech();
        idle();
        return;
    }
    if (useVAD_ && !AudioProcessor::isVoiceDetected(audioProcessor_->relativeEnergy(), newSeconds,
                                                    silenceThreshold_)) {
        Logging::debug("No voice detected, skipping transcribe");
        waitForSpeech();
        idle();
        return;
    }
    update([&](State& s) { s.lastBufferSize = static_cast<std::int64_t>(samples.size()); });

    const std::shared_ptr<TranscriptionResult> result = transcribeAudioSamples(samples);
    const std::vector<TranscriptionSegment> segments =
        result ? result->segments() : std::vector<TranscriptionSegment>{};

    std::lock_guard lock(actor_);
    update([](State& s) { s.currentText.clear(); });
    update([](State& s) { s.unconfirmedText.clear(); });
    const auto required = static_cast<std::size_t>(requiredSegmentsForConfirmation_);
    if (segments.size() > required) {
        const auto split =
            segments.begin() + static_cast<std::ptrdiff_t>(segments.size() - required);
        const std::vector<TranscriptionSegment> confirmed(segments.begin(), split);
        const std::vector<TranscriptionSegment> remaining(split, segments.end());
        if (confirmed.back().end > state_.lastConfirmedSegmentEndSeconds) {
            update([&](State& s) { s.lastConfirmedSegmentEndSeconds = confirmed.back().end; });
            const bool known =
                std::search(state_.confirmedSegments.begin(), state_.confirmedSegments.end(),
                            confirmed.begin(), confirmed.end()) != state_.confirmedSegments.end();
            if (!known) {
                update([&](State& s) {
                    s.confirmedSegments.insert(s.confirmedSegments.end(), confirmed.begin(),
                                               confirmed.end());
                });
            }
        }
        update([&](State& s) { s.unconfirmedSegments = remaining; });
    } else {
        update([&](State& s) { s.unconfirmedSegments = segments; });
    }
}

std::shared_ptr<TranscriptionResult> AudioStreamTranscriber::transcribeAudioSamples(
    const std::vector<float>& samples) {
    DecodingOptions options = decodingOptions_;
    {
        std::lock_guard lock(actor_);
        options.clipTimestamps = {state_.lastConfirmedSegmentEndSeconds};
    }
    const std::int64_t window = compressionCheckWindow_;
    const TranscriptionCallback callback = [this, options,
                                            window](const TranscriptionProgress& progress) {
        onProgressCallback(progress);
        return shouldStopEarly(progress, options, window);
    };
    return transcribeTask_->run(samples, options, callback);
}

std::optional<bool> AudioStreamTranscriber::shouldStopEarly(const TranscriptionProgress& progress,
                                                            const DecodingOptions& options,
                                                            std::int64_t compressionCheckWindow) {
    const auto window = static_cast<std::size_t>(std::max<std::int64_t>(compressionCheckWindow, 0));
    if (progress.tokens.size() > window) {
        const auto recent = std::span<const std::int64_t>(progress.tokens).last(window);
        if (TextUtilities::compressionRatio(recent) >
            options.compressionRatioThreshold.value_or(0.0f)) {
            return false;
        }
    }
    if (!progress.avgLogprob || !options.logProbThreshold) {
        return std::nullopt;
    }
    if (*progress.avgLogprob < *options.logProbThreshold) {
        return false;
    }
    return std::nullopt;
}

}  // namespace rararozuvu
