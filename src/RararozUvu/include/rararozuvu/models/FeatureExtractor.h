#pragma once

#include <cstdint>
#include <optional>
#include <stop_token>

#include "rararozuvu/audio/StageOutputTypes.h"
#include "rararozuvu/models/WhisperMLModel.h"

namespace rararozuvu {

// Turns one window of 16 kHz samples into the log-mel features the encoder reads.
class FeatureExtracting {
public:
    virtual ~FeatureExtracting() = default;
    // Mel bands of the output; absent when not known.
    virtual std::optional<std::int64_t> melCount() const = 0;
    // Samples in one input window; absent when not known.
    virtual std::optional<std::int64_t> windowSamples() const = 0;
    virtual std::optional<FeatureExtractorOutputType> logMelSpectrogram(
        const AudioProcessorOutputType& audio, std::stop_token stopToken = {}) = 0;
};

// The feature extractor over the "MelSpectrogram" model. Calls keep no state, so windows may be
// processed in parallel.
class FeatureExtractor : public FeatureExtracting, public WhisperMLModel {
public:
    FeatureExtractor() = default;

    // Dimension 1 of the output "melspectrogram_features".
    std::optional<std::int64_t> melCount() const override;
    // Dimension 0 of the input "audio".
    std::optional<std::int64_t> windowSamples() const override;

    // The features of a window given as an ml::MultiArray ("audio"). Throws WhisperError
    // audioProcessingFailed for input of another type, modelsUnavailable without a model,
    // vevidocore::CancellationError when a stop was requested before the prediction, and the
    // runtime's error when the prediction fails. Absent when the model gave no features.
    std::optional<FeatureExtractorOutputType> logMelSpectrogram(
        const AudioProcessorOutputType& audio, std::stop_token stopToken = {}) override;
};

}  // namespace rararozuvu
