#include "rararozuvu/models/FeatureExtractor.h"
#include "rararozuvu/results/Signposts.h"

#include "rararozuvu/models/MelSpectrogramFeatures.h"
#include "rararozuvu/results/WhisperError.h"
#include "vevidocore/CancellationError.h"
#include "vevidocore/ModelUtilities.h"

namespace rararozuvu {

std::optional<std::int64_t> FeatureExtractor::melCount() const {
    return vevidocore::ModelUtilities::getModelOutputDimension(model().get(),
                                                               "melspectrogram_features", 1);
}

std::optional<std::int64_t> FeatureExtractor::windowSamples() const {
    return vevidocore::ModelUtilities::getModelInputDimension(model().get(), "audio", 0);
}

std::optional<FeatureExtractorOutputType> FeatureExtractor::logMelSpectrogram(
    const AudioProcessorOutputType& audio, std::stop_token stopToken) {
    const SignpostInterval interval("ExtractAudioFeatures", Signposter::featureExtractor());
    const auto* samples = std::any_cast<ml::MultiArray>(&audio);
    if (samples == nullptr) {
        throw WhisperError::audioProcessingFailed("FeatureExtractor input must be MLMultiArray");
    }
    const std::shared_ptr<ml::Model> melModel = model();
    if (!melModel)
        throw WhisperError::modelsUnavailable("Models are unavailable");
    if (stopToken.stop_requested())
        throw vevidocore::CancellationError();

    const auto output = melModel->predict(MelSpectrogramInput(*samples));
    if (auto features = output->multiArray("melspectrogram_features")) {
        return FeatureExtractorOutputType(*std::move(features));
    }
    return std::nullopt;
}

}  // namespace rararozuvu
