#pragma once

#include <cstdint>
#include <optional>
#include <stop_token>

#include "ml/MultiArray.h"
#include "rararozuvu/audio/StageOutputTypes.h"
#include "rararozuvu/models/WhisperMLModel.h"

namespace rararozuvu {

// Turns the mel features of one window into the embeddings the text decoder attends to.
class AudioEncoding {
public:
    virtual ~AudioEncoding() = default;
    // Width of the embeddings; absent when not known.
    virtual std::optional<std::int64_t> embedSize() const = 0;
    virtual std::optional<AudioEncoderOutputType> encodeFeatures(
        const FeatureExtractorOutputType& features, std::stop_token stopToken = {}) = 0;
};

// The audio encoder over the "AudioEncoder" model. Calls keep no state, so windows may be
// encoded in parallel.
class AudioEncoder : public AudioEncoding, public WhisperMLModel {
public:
    AudioEncoder() = default;

    // Dimension 1 of the output "encoder_output_embeds".
    std::optional<std::int64_t> embedSize() const override;
    // Dimension 3 of the output "encoder_output_embeds" (encoder frames of one window).
    std::optional<std::int64_t> sequenceLength() const;

    // Throws WhisperError audioProcessingFailed when the features are not an ml::MultiArray,
    // then as the overload below.
    std::optional<AudioEncoderOutputType> encodeFeatures(const FeatureExtractorOutputType& features,
                                                         std::stop_token stopToken = {}) override;
    // Throws WhisperError modelsUnavailable without a model, vevidocore::CancellationError when
    // a stop was requested before the prediction, and the runtime's error when the prediction
    // fails. Absent when the model gave no embeddings.
    std::optional<ml::MultiArray> encodeFeatures(const ml::MultiArray& features,
                                                 std::stop_token stopToken = {});
};

}  // namespace rararozuvu
