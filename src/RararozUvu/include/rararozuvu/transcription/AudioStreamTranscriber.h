#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "rararozuvu/audio/AudioProcessing.h"
#include "rararozuvu/decoding/SegmentSeeking.h"
#include "rararozuvu/decoding/TextDecoding.h"
#include "rararozuvu/decoding/TranscriptionProgress.h"
#include "rararozuvu/models/AudioEncoder.h"
#include "rararozuvu/models/FeatureExtractor.h"
#include "rararozuvu/models/WhisperTokenizer.h"
#include "rararozuvu/results/DecodingOptions.h"
#include "rararozuvu/results/TranscriptionResult.h"
#include "rararozuvu/results/TranscriptionSegment.h"
#include "rararozuvu/transcription/TranscribeTask.h"

namespace rararozuvu {

// Live microphone audio to text while the user speaks. It captures through an audio front end
// and, whenever more than a second of new audio has come in (and, optionally, its energy shows a
// voice), transcribes the whole capture again from the end of the last confirmed segment. All
// but the last few segments of each result are confirmed and never change again.
//
// Thread safety: startStreamTranscription() blocks its caller for the whole session; every other
// member may be called from any thread meanwhile. State changes are serialised and each is
// reported at once to the callback, with the state before and after it, on the thread that made
// the change (the session's, the decoder's, or the one that follows the capture).
class AudioStreamTranscriber {
public:
    struct State {
        bool isRecording = false;
        // The decoding-fallback count of the latest progress report.
        std::int64_t currentFallbacks = 0;
        // Captured samples at the start of the latest pass.
        std::int64_t lastBufferSize = 0;
        // Seconds from the start of the capture; every pass decodes from here.
        float lastConfirmedSegmentEndSeconds = 0;
        // The relative energy of every captured buffer.
        std::vector<float> bufferEnergy;
        // The text of the running pass, or "Waiting for speech..." while there is none.
        std::string currentText;
        std::vector<TranscriptionSegment> confirmedSegments;
        std::vector<TranscriptionSegment> unconfirmedSegments;
        // Texts of the running pass that a later, shorter report replaced.
        std::vector<std::string> unconfirmedText;

        friend bool operator==(const State&, const State&) = default;
    };
    using StateChangeCallback = std::function<void(const State& oldState, const State& newState)>;

    // requiredSegmentsForConfirmation and compressionCheckWindow count as 0 when negative.
    AudioStreamTranscriber(std::shared_ptr<AudioEncoding> audioEncoder,
                           std::shared_ptr<FeatureExtracting> featureExtractor,
                           std::shared_ptr<SegmentSeeking> segmentSeeker,
                           std::shared_ptr<TextDecoding> textDecoder,
                           std::shared_ptr<const WhisperTokenizer> tokenizer,
                           std::shared_ptr<AudioProcessing> audioProcessor,
                           DecodingOptions decodingOptions,
                           std::int64_t requiredSegmentsForConfirmation, float silenceThreshold,
                           std::int64_t compressionCheckWindow, bool useVAD,
                           StateChangeCallback stateChangeCallback = {});
    // Waits for nothing and stops no capture; a session still running must be stopped first.
    ~AudioStreamTranscriber();
    AudioStreamTranscriber(const AudioStreamTranscriber&) = delete;
    AudioStreamTranscriber& operator=(const AudioStreamTranscriber&) = delete;

    // Starts the capture and transcribes until stopStreamTranscription() or a failing pass;
    // returns at once when a session is running already, and after the line "Microphone access
    // was not granted." when there is no microphone. Each start begins a new capture, so the
    // pass bookkeeping starts afresh; the segments and texts of earlier sessions stay. Throws
    // what the capture throws when it cannot start.
    void startStreamTranscription();
    // Ends the session: the running pass finishes, then startStreamTranscription() returns.
    void stopStreamTranscription();

    // Whether a decoder should stop the current window (false) or go on (nothing): its recent
    // tokens compress too well, or its average log-probability fell below the threshold.
    static std::optional<bool> shouldStopEarly(const TranscriptionProgress& progress,
                                               const DecodingOptions& options,
                                               std::int64_t compressionCheckWindow);

private:
    struct BufferRelay;

    // Every change of the state goes through here, with the actor's lock held.
    template <class Change>
    void update(Change&& change);
    bool isRecording() const;
    void onAudioBufferCallback();
    void onProgressCallback(const TranscriptionProgress& progress);
    void transcribeCurrentBuffer();
    std::shared_ptr<TranscriptionResult> transcribeAudioSamples(const std::vector<float>& samples);
    void waitForSpeech();
    void idle();

    // Stands in for the actor: recursive, so that the state callback may call back in.
    mutable std::recursive_mutex actor_;
    State state_;
    StateChangeCallback stateChangeCallback_;
    std::int64_t requiredSegmentsForConfirmation_;
    bool useVAD_;
    float silenceThreshold_;
    std::int64_t compressionCheckWindow_;
    std::unique_ptr<TranscribeTask> transcribeTask_;
    std::shared_ptr<AudioProcessing> audioProcessor_;
    DecodingOptions decodingOptions_;

    // Wakes an idle pause early when the session is stopped. Never taken with the actor's lock
    // waited for, so the state callback may stop the session.
    std::mutex idleMutex_;
    std::condition_variable idleWake_;
    std::uint64_t stops_ = 0;
    std::shared_ptr<BufferRelay> relay_;
};

}  // namespace rararozuvu
