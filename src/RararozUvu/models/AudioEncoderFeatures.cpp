#include "rararozuvu/models/AudioEncoderFeatures.h"

#include "FeatureProviderSupport.h"

namespace rararozuvu {

std::set<std::string> AudioEncoderInput::featureNames() const {
    return detail::names({{"melspectrogram_features", &melspectrogram_features}});
}

std::optional<ml::FeatureValue> AudioEncoderInput::featureValue(std::string_view name) const {
    return detail::lookUp({{"melspectrogram_features", &melspectrogram_features}}, name);
}

AudioEncoderOutput::AudioEncoderOutput(ml::MultiArray encoder_output_embeds)
    : ModelStageOutput(detail::dictionaryOf({{"encoder_output_embeds", encoder_output_embeds}})) {}

}  // namespace rararozuvu
