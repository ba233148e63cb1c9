#include "rararozuvu/models/MelSpectrogramFeatures.h"

#include "FeatureProviderSupport.h"

namespace rararozuvu {

std::set<std::string> MelSpectrogramInput::featureNames() const {
    return detail::names({{"audio", &audio}});
}

std::optional<ml::FeatureValue> MelSpectrogramInput::featureValue(std::string_view name) const {
    return detail::lookUp({{"audio", &audio}}, name);
}

MelSpectrogramOutput::MelSpectrogramOutput(ml::MultiArray melspectrogram_features)
    : ModelStageOutput(
          detail::dictionaryOf({{"melspectrogram_features", melspectrogram_features}})) {}

}  // namespace rararozuvu
