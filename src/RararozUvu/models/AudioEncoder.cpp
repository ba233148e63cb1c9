#include "rararozuvu/models/AudioEncoder.h"
#include "rararozuvu/results/Signposts.h"

#include "rararozuvu/models/AudioEncoderFeatures.h"
#include "rararozuvu/results/WhisperError.h"
#include "vevidocore/CancellationError.h"
#include "vevidocore/ModelUtilities.h"

namespace rararozuvu {

std::optional<std::int64_t> AudioEncoder::embedSize() const {
    return vevidocore::ModelUtilities::getModelOutputDimension(model().get(),
                                                               "encoder_output_embeds", 1);
}

std::optional<std::int64_t> AudioEncoder::sequenceLength() const {
    return vevidocore::ModelUtilities::getModelOutputDimension(model().get(),
                                                               "encoder_output_embeds", 3);
}

std::optional<AudioEncoderOutputType> AudioEncoder::encodeFeatures(
    const FeatureExtractorOutputType& features, std::stop_token stopToken) {
    const auto* mel = std::any_cast<ml::MultiArray>(&features);
    if (mel == nullptr) {
        throw WhisperError::audioProcessingFailed("AudioEncoder input must be MLMultiArray");
    }
    if (auto embeds = encodeFeatures(*mel, std::move(stopToken))) {
        return AudioEncoderOutputType(*std::move(embeds));
    }
    return std::nullopt;
}

std::optional<ml::MultiArray> AudioEncoder::encodeFeatures(const ml::MultiArray& features,
                                                           std::stop_token stopToken) {
    const SignpostInterval interval("EncodeAudio", Signposter::audioEncoding());
    const std::shared_ptr<ml::Model> encoderModel = model();
    if (!encoderModel)
        throw WhisperError::modelsUnavailable("Models are unavailable");
    if (stopToken.stop_requested())
        throw vevidocore::CancellationError();
    return encoderModel->predict(AudioEncoderInput(features))->multiArray("encoder_output_embeds");
}

}  // namespace rararozuvu
