#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "ml/Float16.h"
#include "rararozuvu/audio/AudioProcessing.h"
#include "rararozuvu/audio/AudioSource.h"
#include "rararozuvu/decoding/DecodingResult.h"
#include "rararozuvu/decoding/SegmentSeeking.h"
#include "rararozuvu/decoding/TextDecoding.h"
#include "rararozuvu/decoding/TranscriptionProgress.h"
#include "rararozuvu/models/AudioEncoder.h"
#include "rararozuvu/models/FeatureExtractor.h"
#include "rararozuvu/models/WhisperTokenizer.h"
#include "rararozuvu/results/DecodingOptions.h"
#include "rararozuvu/results/TranscriptionResult.h"
#include "rararozuvu/results/TranscriptionTimings.h"
#include "rararozuvu/transcription/PipelineCallbacks.h"
#include "rararozuvu/transcription/Progress.h"

namespace rararozuvu {

// One transcription of one array of 16 kHz mono samples. The run prepares the decoder inputs
// once, cuts the audio into the options' seek clips and each clip into model windows, and for
// every window runs the mel stage, the encoder, the decoding with temperature fallback, the
// segment seeker and, on request, the word timings; then it assembles one result.
//
// A task serves one run and keeps its timings; the caller must not run it twice at once. Several
// tasks may share their stages and tokenizer and run in parallel. Subclasses may replace the
// window hooks and the final assembly.
class TranscribeTask {
public:
    // A missing progress is replaced by a new one, a missing audio front end by an
    // ArrayAudioProcessor.
    TranscribeTask(TranscriptionTimings currentTimings, std::shared_ptr<Progress> progress,
                   std::shared_ptr<AudioProcessing> audioProcessor,
                   std::shared_ptr<AudioEncoding> audioEncoder,
                   std::shared_ptr<FeatureExtracting> featureExtractor,
                   std::shared_ptr<SegmentSeeking> segmentSeeker,
                   std::shared_ptr<TextDecoding> textDecoder,
                   std::shared_ptr<const WhisperTokenizer> tokenizer);
    virtual ~TranscribeTask() = default;

    TranscribeTask(const TranscribeTask&) = delete;
    TranscribeTask& operator=(const TranscribeTask&) = delete;

    virtual const std::shared_ptr<const WhisperTokenizer>& tokenizer() const { return tokenizer_; }
    // Called once per window that produced segments, with that window's segments; read afresh
    // for every window.
    const SegmentDiscoveryCallback& segmentDiscoveryCallback() const { return segmentCallback_; }
    void setSegmentDiscoveryCallback(SegmentDiscoveryCallback callback) {
        segmentCallback_ = std::move(callback);
    }
    // The timings as the run has filled them so far.
    const TranscriptionTimings& timings() const { return timings_; }
    // Counts samples of audio: the total is the seek clips' length, the completed count moves
    // after every window with segments and reaches the total at the end.
    const std::shared_ptr<Progress>& progress() const { return progress_; }

    // Transcribes the samples. Absent options mean the defaults; inside the run `verbose`
    // follows the shared logger (on unless its level is none). The callback hears the decoding
    // progress, with windowId the number of windows finished so far; an answer of false ends the
    // current window's decoding early. Throws WhisperError (transcriptionFailed: "Audio samples
    // are nil", "Mel output is nil", "Encoder output is nil", or clip timestamps that are not
    // finite), the stages' errors unchanged, and vevidocore::CancellationError when `stop` is
    // requested between stages.
    std::shared_ptr<TranscriptionResult> run(const std::vector<float>& audioArray,
                                             const std::optional<DecodingOptions>& decodeOptions,
                                             const TranscriptionCallback& callback = {},
                                             std::stop_token stop = {});
    // The same over samples read window by window; only the current window is held. Throws
    // also the source's loading errors.
    std::shared_ptr<TranscriptionResult> run(AudioSource& audio,
                                             const std::optional<DecodingOptions>& decodeOptions,
                                             const TranscriptionCallback& callback = {},
                                             std::stop_token stop = {});

    // Called once per window after its samples are cut and padded; does nothing.
    virtual void windowPreprocess(const AudioProcessorOutputType& paddedAudio, std::int64_t seek,
                                  std::int64_t segmentSize);
    // Called once per window that produced segments; what it returns is what the run reports
    // and keeps. Returns the segments unchanged.
    virtual std::vector<TranscriptionSegment> windowPostProcess(
        std::int64_t seek, std::int64_t segmentSize,
        std::vector<TranscriptionSegment> originalSegments);
    // The result of the run: the text is one decode of the tokens below the special tokens,
    // trimmed of blanks and tabs at both ends; the language "en" when none was found.
    virtual std::shared_ptr<TranscriptionResult> finalizeTranscriptionResult(
        const std::vector<std::int64_t>& tokens, std::vector<TranscriptionSegment> segments,
        const std::optional<std::string>& language, TranscriptionTimings timings);

    // The temperature of every decoding attempt of a window: temperature + i x increment for i
    // = 0 ... fallback count, in half precision (the product rounded, then the sum). A negative
    // fallback count counts as 0.
    static std::vector<ml::Float16> fallbackTemperatures(const DecodingOptions& options);

private:
    struct RunState;

    DecodingResult decodeWithFallback(RunState& state, const AudioEncoderOutputType& encoderOutput,
                                      const DecodingOptions& options,
                                      const TranscriptionCallback& callback, std::stop_token stop);
    void resetDecoderInputs(RunState& state);

    TranscriptionTimings timings_;
    std::shared_ptr<Progress> progress_;
    std::shared_ptr<AudioEncoding> audioEncoder_;
    std::shared_ptr<FeatureExtracting> featureExtractor_;
    std::shared_ptr<SegmentSeeking> segmentSeeker_;
    std::shared_ptr<TextDecoding> textDecoder_;
    std::shared_ptr<AudioProcessing> audioProcessor_;
    std::shared_ptr<const WhisperTokenizer> tokenizer_;
    SegmentDiscoveryCallback segmentCallback_;
};

}  // namespace rararozuvu
